#include "components/MemBitmapIO/tzrmembitmapunit.h"

namespace qb {

QImage::Format QImageFormatOf(TPixelFormat format) {
    switch (format) {
    case pf24bit: return QImage::Format_BGR888;
    case pf32bit: return QImage::Format_ARGB32;
    default: return QImage::Format_Invalid;
    }
}

TPixelFormat PixelFormatOf(const QImage& image) {
    switch (image.format()) {
    case QImage::Format_BGR888: return pf24bit;
    case QImage::Format_ARGB32: return pf32bit;
    default: return pfCustom;
    }
}

}  // namespace qb
