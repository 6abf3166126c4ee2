// Drawing a memory bitmap onto a QPainter: whole, cut to an area, or a window magnified by
// an integer zoom. The pixels always travel through a temporary QImage of limited size, so
// that a bitmap of any size is drawn in strips without one large image.
#include <QPainter>
#include <QPaintDevice>

#include <algorithm>
#include <climits>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"

namespace qb {

namespace {

// Pixels of one strip of the temporary image.
constexpr int StripPixels = 90000;

long long FloorDiv(long long a, long long b) {
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

long long CeilDiv(long long a, long long b) { return -FloorDiv(-a, b); }

QImage NewImage(int width, int height, TPixelFormat format) {
    QImage image(width, height, QImageFormatOf(format));
    if (image.isNull())
        throw EOutOfMemory(Format("Out of memory: could not allocate %lld bytes",
                                  static_cast<long long>(width) * height * 4));
    image.fill(0);
    return image;
}

// The canvas copies the pixels as they are (alpha included), like a plain source copy.
class SourceCopyMode {
public:
    explicit SourceCopyMode(QPainter& canvas) : Canvas(canvas) {
        Canvas.save();
        Canvas.setCompositionMode(QPainter::CompositionMode_Source);
        Canvas.setRenderHint(QPainter::SmoothPixmapTransform, false);
    }
    ~SourceCopyMode() { Canvas.restore(); }
    SourceCopyMode(const SourceCopyMode&) = delete;
    SourceCopyMode& operator=(const SourceCopyMode&) = delete;

private:
    QPainter& Canvas;
};

}  // namespace

void TzrMemBitmap::DrawToCanvas(QPainter& canvas, int x, int y) const {
    TzrReadHold hold(*this);
    if (Width <= 0 || Height <= 0) return;
    QImage image;
    AssignTo(&image);
    SourceCopyMode mode(canvas);
    canvas.drawImage(x, y, image);
}

void TzrMemBitmap::DrawToCanvas(QPainter& canvas, const TRect& area, bool centre) const {
    TzrReadHold hold(*this);
    const int w = std::min(Width, area.Width());
    const int h = std::min(Height, area.Height());
    if (w <= 0 || h <= 0) return;
    // Only the part that is drawn is copied.
    QImage image = NewImage(w, h, PixelFormat);
    AssignTo(&image, 0, 0);
    int x = area.left;
    int y = area.top;
    if (centre) {
        x += (area.Width() - w) / 2;
        y += (area.Height() - h) / 2;
    }
    SourceCopyMode mode(canvas);
    canvas.drawImage(x, y, image);
}

void TzrMemBitmap::DrawToCanvasNoClip(QPainter& canvas, int srcX, int srcY, int dstX, int dstY,
                                      int srcW, int srcH, int zoom) const {
    TzrReadHold hold(*this);
    srcW = static_cast<int>(std::min<long long>(srcW, static_cast<long long>(Width) - srcX));
    srcH = static_cast<int>(std::min<long long>(srcH, static_cast<long long>(Height) - srcY));
    if (srcW <= 0 || srcH <= 0 || zoom < 1) return;
    // Target coordinates beyond the painter's range cannot be drawn.
    if (static_cast<long long>(zoom) * srcW > INT_MAX / 2 || static_cast<long long>(zoom) * srcH > INT_MAX / 2)
        return;
    const int stripRows = std::clamp(StripPixels / srcW, 1, srcH);
    QImage strip = NewImage(srcW, stripRows, PixelFormat);
    SourceCopyMode mode(canvas);
    int rowsLeft = srcH;
    while (rowsLeft > 0) {
        const int rows = std::min(stripRows, rowsLeft);
        if (rows < strip.height()) strip = NewImage(srcW, rows, PixelFormat);
        AssignTo(&strip, srcX, srcY);
        canvas.drawImage(QRect(dstX, dstY, zoom * srcW, zoom * rows), strip);
        dstY += zoom * rows;
        srcY += rows;
        rowsLeft -= rows;
    }
}

void TzrMemBitmap::DrawToCanvas(QPainter& canvas, int srcX, int srcY, int dstX, int dstY, int srcW,
                                int srcH, int zoom) const {
    DrawToCanvasExclude(canvas, srcX, srcY, dstX, dstY, srcW, srcH, zoom, TRect());
}

void TzrMemBitmap::DrawToCanvasExclude(QPainter& canvas, int srcX, int srcY, int dstX, int dstY,
                                       int srcW, int srcH, int zoom, const TRect& exclude) const {
    TzrReadHold hold(*this);
    if (zoom < 1) return;
    // The area to paint: the canvas's clip rectangle (the whole device without clipping),
    // else the target area.
    TRect area;
    if (canvas.hasClipping()) {
        const QRect clip = canvas.clipBoundingRect().toAlignedRect();
        area = TRect(clip.left(), clip.top(), clip.left() + clip.width(), clip.top() + clip.height());
    } else if (canvas.device()) {
        area = TRect(0, 0, canvas.device()->width(), canvas.device()->height());
    }
    if (area.Width() < 1 || area.Height() < 1) {
        const long long right = static_cast<long long>(dstX) + static_cast<long long>(zoom) * srcW;
        const long long bottom = static_cast<long long>(dstY) + static_cast<long long>(zoom) * srcH;
        area = TRect(dstX, dstY, static_cast<int>(std::clamp<long long>(right, INT_MIN, INT_MAX)),
                     static_cast<int>(std::clamp<long long>(bottom, INT_MIN, INT_MAX)));
    }
    std::array<TRect, 4> bands;
    SubstractRect(area, exclude, bands);
    for (const TRect& band : bands) {
        if (band.Width() <= 0 || band.Height() <= 0) continue;
        long long sx = srcX + FloorDiv(static_cast<long long>(band.left) - dstX, zoom);
        if (sx < srcX) sx = srcX;
        long long columns = CeilDiv(static_cast<long long>(band.right) - dstX, zoom) - (sx - srcX);
        if (sx + columns > static_cast<long long>(srcX) + srcW) columns = static_cast<long long>(srcX) + srcW - sx;
        long long sy = srcY + FloorDiv(static_cast<long long>(band.top) - dstY, zoom);
        if (sy < srcY) sy = srcY;
        long long rows = CeilDiv(static_cast<long long>(band.bottom) - dstY, zoom) - (sy - srcY);
        if (sy + rows > static_cast<long long>(srcY) + srcH) rows = static_cast<long long>(srcY) + srcH - sy;
        if (columns <= 0 || rows <= 0) continue;
        const long long cx = dstX + static_cast<long long>(zoom) * (sx - srcX);
        const long long cy = dstY + static_cast<long long>(zoom) * (sy - srcY);
        if (cx < INT_MIN || cx > INT_MAX || cy < INT_MIN || cy > INT_MAX) continue;
        // A magnified source pixel at the band's edge would reach into the excluded
        // rectangle: the band is drawn clipped to itself.
        canvas.save();
        canvas.setClipRect(QRect(band.left, band.top, band.Width(), band.Height()), Qt::IntersectClip);
        try {
            DrawToCanvasNoClip(canvas, static_cast<int>(sx), static_cast<int>(sy), static_cast<int>(cx),
                               static_cast<int>(cy), static_cast<int>(columns), static_cast<int>(rows), zoom);
        } catch (...) {
            canvas.restore();
            throw;
        }
        canvas.restore();
    }
}

}  // namespace qb
