#include "components/MemBitmapIO/zrtiffstrips.h"

#include <algorithm>
#include <new>

#include "components/MemBitmapIO/zrmembitmap_io.h"
#include "core/exceptions.h"

namespace qb {

TzrTiffStrips::TzrTiffStrips(TIFF* tif, int width, int height, int rowsPerStrip, int bytesPerPixel)
    : tif_(tif), width_(width), height_(height), bpp_(bytesPerPixel) {
    rows_ = std::max(1, std::min(rowsPerStrip, height));
    strips_ = height > 0 ? (height - 1) / rows_ + 1 : 0;
    rowBytes_ = std::size_t(width) * std::size_t(bpp_);
    std::uint16_t bits = 0, samples = 0, planar = PLANARCONFIG_CONTIG, photometric = 0, orientation = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    const bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 1;
    // A fourth sample is alpha, associated or not: the RGBA reader would multiply
    // unassociated colours by their alpha, which our bitmaps keep apart.
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    direct_ = !TIFFIsTiled(tif) && bits == 8 && planar == PLANARCONFIG_CONTIG && hasPhotometric &&
              photometric == PHOTOMETRIC_RGB && orientation == ORIENTATION_TOPLEFT &&
              ((samples == 3 && extraCount == 0) || (samples == 4 && extraCount == 1)) &&
              TIFFStripSize64(tif) == std::uint64_t(rows_) * std::uint64_t(width) * samples;
    samples_ = samples;
    try {
        pixels_.resize(rowBytes_ * std::size_t(rows_));
        if (direct_) raw_.resize(std::size_t(width) * samples * std::size_t(rows_));
        else rgba_.resize(std::size_t(width) * std::size_t(rows_));
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory(Format("Out of memory: could not allocate a strip of %d rows of %d pixels", rows_, width));
    }
}

int TzrTiffStrips::RowsIn(int strip) const { return std::min(rows_, height_ - strip * rows_); }

void TzrTiffStrips::Read(int strip) {
    const int rows = RowsIn(strip);
    if (direct_) {
        const tmsize_t want = tmsize_t(rows) * width_ * samples_;
        if (TIFFReadEncodedStrip(tif_, static_cast<std::uint32_t>(strip), raw_.data(), want) != want)
            throw Exception("TIFFReadEncodedStrip failed");
        const std::uint8_t* s = raw_.data();
        std::uint8_t* d = pixels_.data();
        const std::size_t n = std::size_t(rows) * width_;
        if (samples_ == 4 && bpp_ == 4) {
            for (std::size_t i = 0; i < n; ++i, s += 4, d += 4) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
                d[3] = s[3];
            }
        } else {
            for (std::size_t i = 0; i < n; ++i, s += samples_, d += bpp_) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
                if (bpp_ == 4) d[3] = samples_ == 4 ? s[3] : 255;
            }
        }
        return;
    }
    if (TIFFReadRGBAStrip(tif_, static_cast<std::uint32_t>(strip * rows_), rgba_.data()) != 1)
        throw Exception("TIFFReadRGBAStrip failed");
    // The RGBA reader gives the strip's rows from the bottom up.
    const std::uint32_t* source = rgba_.data();
    for (int i = rows - 1; i >= 0; --i, source += width_)
        io::RGBAToPixels(source, pixels_.data() + std::size_t(i) * rowBytes_, width_, bpp_);
}

}  // namespace qb
