#include "components/MemBitmapIO/tzrmembitmapunit.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <algorithm>

#include "core/exceptions.h"

using namespace qb;

namespace {

constexpr QRgb Sentinel = 0xff123456;

// A bitmap whose pixel (x, y) has a colour that tells x and y apart.
QRgb ColourAt(int x, int y) { return qRgb((x * 5) & 0xff, (y * 3) & 0xff, (x + y * 7) & 0xff); }

void MakePattern(TzrMemBitmap& b, int w, int h, TPixelFormat format) {
    QImage image(w, h, QImageFormatOf(format));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.setPixel(x, y, ColourAt(x, y));
    b.Assign(&image);
}

QImage Canvas(int w, int h) {
    QImage canvas(w, h, QImage::Format_ARGB32);
    canvas.fill(Sentinel);
    return canvas;
}

// Checks every canvas pixel: inside `target` (minus `excluded`) it must show source pixel
// (srcX + (x - dstX) / zoom, ...), elsewhere the sentinel.
void ExpectPicture(const QImage& canvas, const TRect& target, const TRect& excluded, int srcX, int srcY,
                   int dstX, int dstY, int zoom) {
    int mismatches = 0;
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x) {
            const bool inTarget = x >= target.left && x < target.right && y >= target.top && y < target.bottom;
            const bool inExcluded =
                x >= excluded.left && x < excluded.right && y >= excluded.top && y < excluded.bottom;
            const QRgb expected = (inTarget && !inExcluded)
                                      ? ColourAt(srcX + (x - dstX) / zoom, srcY + (y - dstY) / zoom)
                                      : Sentinel;
            if (canvas.pixel(x, y) != expected && ++mismatches < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << canvas.pixel(x, y)
                              << " expected " << expected;
        }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace

TEST(MemBitmapDraw, WholeBitmapAtAPosition) {
    for (const TPixelFormat format : {pf24bit, pf32bit}) {
        TzrMemBitmap b;
        MakePattern(b, 7, 5, format);
        QImage canvas = Canvas(20, 12);
        {
            QPainter p(&canvas);
            b.DrawToCanvas(p, 3, 4);
        }
        ExpectPicture(canvas, TRect(3, 4, 10, 9), TRect(), 0, 0, 3, 4, 1);
        EXPECT_EQ(b.GetAccessCounter(), 0);
    }
}

TEST(MemBitmapDraw, TransparentPixelsAreCopiedNotBlended) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(2, 2, pf32bit, false);  // all zero: black, alpha 0
    QImage canvas = Canvas(4, 4);
    {
        QPainter p(&canvas);
        b.DrawToCanvas(p, 1, 1);
    }
    EXPECT_EQ(canvas.pixel(1, 1), 0u);
    EXPECT_EQ(canvas.pixel(0, 0), Sentinel);
}

TEST(MemBitmapDraw, CutToAnAreaAndCentred) {
    TzrMemBitmap b;
    MakePattern(b, 10, 4, pf24bit);
    QImage canvas = Canvas(20, 20);
    {
        QPainter p(&canvas);
        b.DrawToCanvas(p, TRect(2, 3, 8, 13), true);  // 6 x 10 area: 6 x 4 drawn, centred vertically
    }
    ExpectPicture(canvas, TRect(2, 6, 8, 10), TRect(), 0, 0, 2, 6, 1);
    QImage plain = Canvas(20, 20);
    {
        QPainter p(&plain);
        b.DrawToCanvas(p, TRect(2, 3, 8, 13), false);
    }
    ExpectPicture(plain, TRect(2, 3, 8, 7), TRect(), 0, 0, 2, 3, 1);
}

TEST(MemBitmapDraw, ZoomedWindowIsCutToTheBitmap) {
    TzrMemBitmap b;
    MakePattern(b, 30, 20, pf24bit);
    QImage canvas = Canvas(60, 60);
    {
        QPainter p(&canvas);
        // A 10 x 10 window at zoom 3 covers 30 x 30 canvas pixels.
        b.DrawToCanvasNoClip(p, 4, 2, 5, 6, 10, 10, 3);
    }
    ExpectPicture(canvas, TRect(5, 6, 35, 36), TRect(), 4, 2, 5, 6, 3);

    QImage cut = Canvas(60, 60);
    {
        QPainter p(&cut);
        b.DrawToCanvasNoClip(p, 25, 15, 0, 0, 10, 10, 2);  // only 5 x 5 source pixels exist
        b.DrawToCanvasNoClip(p, 30, 0, 0, 0, 10, 10, 2);   // wholly outside: nothing
        b.DrawToCanvasNoClip(p, 0, 20, 0, 0, 10, 10, 2);
        b.DrawToCanvasNoClip(p, 0, 0, 0, 0, 10, 10, 0);    // no zoom: nothing
    }
    ExpectPicture(cut, TRect(0, 0, 10, 10), TRect(), 25, 15, 0, 0, 2);
}

TEST(MemBitmapDraw, TallWindowIsDrawnInStrips) {
    // 400 pixels wide: strips of 225 rows; 500 rows make three strips, the last a short one.
    TzrMemBitmap b;
    MakePattern(b, 400, 500, pf32bit);
    QImage canvas = Canvas(400, 1000);
    {
        QPainter p(&canvas);
        b.DrawToCanvasNoClip(p, 0, 0, 0, 0, 400, 500, 2);
    }
    // Zoom 2 of 400 columns does not fit: the canvas clips; rows must line up across strips.
    for (int y : {0, 449, 450, 451, 899, 900, 999})
        for (int x : {0, 1, 199, 399}) EXPECT_EQ(canvas.pixel(x, y), ColourAt(x / 2, y / 2)) << x << "," << y;
}

TEST(MemBitmapDraw, ExcludedRectangleIsLeftAlone) {
    TzrMemBitmap b;
    MakePattern(b, 40, 30, pf24bit);
    for (const int zoom : {1, 2, 3}) {
        QImage canvas = Canvas(100, 80);
        const TRect excluded(17, 11, 41, 29);  // edges inside magnified pixels for zoom > 1
        {
            QPainter p(&canvas);
            b.DrawToCanvasExclude(p, 3, 2, 5, 4, 25, 20, zoom, excluded);
        }
        ExpectPicture(canvas, TRect(5, 4, 5 + 25 * zoom, 4 + 20 * zoom), excluded, 3, 2, 5, 4, zoom);
    }
    // An exclusion covering the whole area draws nothing; an empty one draws everything.
    QImage none = Canvas(50, 50);
    QImage all = Canvas(50, 50);
    {
        QPainter p(&none);
        b.DrawToCanvasExclude(p, 0, 0, 0, 0, 40, 30, 1, TRect(0, 0, 50, 50));
        QPainter q(&all);
        b.DrawToCanvas(q, 0, 0, 0, 0, 40, 30, 1);
    }
    ExpectPicture(none, TRect(), TRect(), 0, 0, 0, 0, 1);
    ExpectPicture(all, TRect(0, 0, 40, 30), TRect(), 0, 0, 0, 0, 1);
    EXPECT_EQ(b.GetAccessCounter(), 0);
}

TEST(MemBitmapDraw, OnlyTheClipRectangleIsPainted) {
    TzrMemBitmap b;
    MakePattern(b, 40, 30, pf24bit);
    QImage canvas = Canvas(60, 60);
    {
        QPainter p(&canvas);
        p.setClipRect(QRect(10, 10, 15, 12));
        b.DrawToCanvasExclude(p, 0, 0, 0, 0, 40, 30, 1, TRect(12, 12, 14, 14));
    }
    int painted = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 60; ++x) {
            const bool inClip = x >= 10 && x < 25 && y >= 10 && y < 22;
            const bool inExcluded = x >= 12 && x < 14 && y >= 12 && y < 14;
            const QRgb expected = inClip && !inExcluded ? ColourAt(x, y) : Sentinel;
            ASSERT_EQ(canvas.pixel(x, y), expected) << x << "," << y;
            painted += expected != Sentinel;
        }
    EXPECT_EQ(painted, 15 * 12 - 4);
}
