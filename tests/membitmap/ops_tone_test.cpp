// Brightness and contrast, the contrast measure, automatic contrast and the patch
// difference.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

#include "tests/membitmap/ops_support.h"

namespace qb {
namespace {

using test::At;
using test::Bgra;
using test::ExpectPixels;
using test::MakeBitmap;
using test::Pattern;
using test::Pixel;

// A 256 x 2 bitmap whose channel values run through 0..255 along each row (red reversed).
std::unique_ptr<TzrMemBitmap> Ramp(TPixelFormat f) {
    return MakeBitmap(256, 2, f, [](int x, int y) { return Bgra(x, x, 255 - x, 17 + y); });
}

TEST(MemBitmapTone, BrightnessAndContrastValues) {
    auto b = Ramp(pf32bit);
    b->ApplyBrightnessContrast(0, 0);
    ExpectPixels(*b, [](int x, int y) { return Bgra(x, x, 255 - x, 17 + y); });

    // Brightness 10 at contrast 0 (factor 16, the identity): +10, held at 255.
    b->ApplyBrightnessContrast(10, 0);
    const auto up = [](int v) { return std::min(v + 10, 255); };
    ExpectPixels(*b, [&](int x, int y) { return Bgra(up(x), up(x), up(255 - x), 17 + y); });

    // Contrast 50: factor trunc(10^0.5 * 16) = 50. Worked by hand: 200 -> (72 * 50) >> 4 =
    // 225 -> 127 -> 255; 130 -> 100 >> 4 = 6 -> 134; 100 -> -1400 >> 4 = -88 -> 40;
    // 0 -> -400 -> -128 -> 0.
    auto c = Ramp(pf24bit);
    c->ApplyBrightnessContrast(0, 50);
    EXPECT_EQ(At(*c, 200, 0)[0], 255);
    EXPECT_EQ(At(*c, 130, 0)[0], 134);
    EXPECT_EQ(At(*c, 100, 0)[0], 40);
    EXPECT_EQ(At(*c, 0, 0)[0], 0);
    EXPECT_EQ(At(*c, 128, 1)[0], 128);
    EXPECT_EQ(At(*c, 155, 1)[2], 40);  // red holds 255 - 155 = 100

    // Contrast -50: factor trunc(10^-0.5 * 16) = 5: 200 -> 360 >> 4 = 22 -> 150;
    // 100 -> -140 >> 4 = -9 -> 119. Brightness -20 first: 100 -> -48 -> -240 >> 4 = -15 -> 113.
    auto d = Ramp(pf24bit);
    TzrMemBitmap::ApplyBrightnessContrast(*d, 0, -50);
    EXPECT_EQ(At(*d, 200, 0)[0], 150);
    EXPECT_EQ(At(*d, 100, 0)[1], 119);
    auto e = Ramp(pf32bit);
    TzrMemBitmap::ApplyBrightnessContrast(nullptr, e.get(), -20, -50);
    EXPECT_EQ(At(*e, 100, 0)[0], 113);
    EXPECT_EQ(At(*e, 100, 1)[3], 18);  // alpha untouched
    EXPECT_EQ(e->GetAccessCounter(), 0);
}

TEST(MemBitmapTone, QImageForms) {
    // The 24-bit and 32-bit layouts are changed in place, alpha left alone; other layouts
    // are converted first and never read past their rows.
    QImage rgb(5, 3, QImage::Format_BGR888);
    rgb.fill(QColor(100, 120, 140));
    QImage argb(5, 3, QImage::Format_ARGB32);
    argb.fill(QColor(100, 120, 140, 77));
    TzrMemBitmap::ApplyBrightnessContrast(rgb, 10, 0);
    auto m = MakeBitmap(2, 2, pf24bit, [](int, int) { return Bgra(1, 2, 3); });
    TzrMemBitmap::ApplyBrightnessContrast(&argb, m.get(), 10, 0);
    EXPECT_EQ(rgb.pixelColor(4, 2), QColor(110, 130, 150));
    EXPECT_EQ(argb.pixelColor(4, 2), QColor(110, 130, 150, 77));
    EXPECT_EQ(At(*m, 1, 1), Bgra(11, 12, 13));

    QImage gray(3, 2, QImage::Format_Grayscale8);
    gray.fill(QColor(50, 50, 50));
    TzrMemBitmap::ApplyBrightnessContrast(gray, 10, 0);
    EXPECT_EQ(gray.pixelColor(2, 1), QColor(60, 60, 60));

    QImage none;
    TzrMemBitmap::ApplyBrightnessContrast(none, 10, 10);  // nothing to do, no failure
    EXPECT_TRUE(none.isNull());
}

TEST(MemBitmapTone, DetermineContrast) {
    EXPECT_EQ(MakeBitmap(4, 3, pf24bit, [](int, int) { return Bgra(9, 99, 199); })->DetermineContrast(),
              0.0);
    // Black and white: means trunc(127.5) = 127; spread (3 * 127^2 + 3 * 128^2) / 2.
    auto bw = MakeBitmap(2, 1, pf24bit, [](int x, int) { return x ? Bgra(255, 255, 255) : Bgra(0, 0, 0); });
    EXPECT_DOUBLE_EQ(bw->DetermineContrast(), std::sqrt((3.0 * 127 * 127 + 3.0 * 128 * 128) / 2.0) / 128.0);
    // Transparent pixels do not count; a fully transparent picture measures 0.
    auto half = MakeBitmap(2, 1, pf32bit, [](int x, int) {
        return x ? Bgra(255, 0, 0, 0) : Bgra(50, 50, 50, 255);
    });
    EXPECT_EQ(half->DetermineContrast(), 0.0);
    auto clear = MakeBitmap(3, 3, pf32bit, [](int x, int y) { return Bgra(x * 90, y * 90, 7, 0); });
    EXPECT_EQ(clear->DetermineContrast(), 0.0);
    // Half-weighted white: weights 1 and 0.6 -> mean trunc(0.6 * 255 / 1.6) = 95; spread
    // (3 * 95^2 + 0.6 * 3 * 160^2) / 1.6.
    auto weighted = MakeBitmap(2, 1, pf32bit, [](int x, int) {
        return x ? Bgra(255, 255, 255, 153) : Bgra(0, 0, 0, 255);
    });
    EXPECT_NEAR(weighted->DetermineContrast(),
                std::sqrt((3.0 * 95 * 95 + 0.6 * 3 * 160 * 160) / 1.6) / 128.0, 1e-12);
}

TEST(MemBitmapTone, AutoContrast) {
    // Flat grey: spread 0, so only the brightness moves: strength 0.25 -> s 0.5 -> 14.
    auto grey = MakeBitmap(6, 4, pf24bit, [](int, int) { return Bgra(100, 100, 100); });
    grey->AutoContrast(0.25);
    ExpectPixels(*grey, [](int, int) { return Bgra(114, 114, 114); });

    // Two levels 64 and 192: mean 128 (no shift), spread 64 -> contrast
    // trunc(0.5 * 40 * log10(2)) = 6 -> factor trunc(10^0.06 * 16) = 18:
    // 64 -> (-64 * 18) >> 4 = -72 -> 56; 192 -> 72 -> 200.
    auto two = MakeBitmap(4, 2, pf32bit, [](int x, int) {
        return x % 2 ? Bgra(192, 192, 192, 255) : Bgra(64, 64, 64, 255);
    });
    two->AutoContrast(0.5);
    ExpectPixels(*two, [](int x, int) {
        return x % 2 ? Bgra(200, 200, 200, 255) : Bgra(56, 56, 56, 255);
    });

    // Transparent pixels are left out of the statistics (but adjusted like the others).
    auto masked = MakeBitmap(2, 1, pf32bit, [](int x, int) {
        return x ? Bgra(0, 0, 0, 0) : Bgra(100, 100, 100, 255);
    });
    masked->AutoContrast(0.5);
    EXPECT_EQ(At(*masked, 0, 0), Bgra(128, 128, 128, 255));
    EXPECT_EQ(At(*masked, 1, 0), Bgra(28, 28, 28, 0));
    EXPECT_EQ(masked->GetAccessCounter(), 0);
}

TEST(MemBitmapCorrelate, DifferenceAndWeight) {
    auto other = MakeBitmap(20, 15, pf24bit, Pattern);
    // The patch is other's window at (6, 4), 5 x 4: its centre (8.5, 6) falls on x0 = 6, y0 = 4.
    TzrMemBitmap patch;
    patch.ExtractCropFrom(*other, TRect(6, 4, 11, 8), 0, false);
    double difference = -1, weight = -1;
    patch.Correlate(*other, 8.5, 6.0, difference, weight, 1);
    EXPECT_EQ(difference, 0.0);
    EXPECT_EQ(weight, 20.0);
    patch.Correlate(*other, 8.5, 6.0, difference, weight, 2);  // rows 3, 1; columns 0, 2, 4
    EXPECT_EQ(weight, 6.0);

    // Flat 10 against flat 20: 30 / 765 per pixel.
    auto a = MakeBitmap(4, 4, pf24bit, [](int, int) { return Bgra(10, 10, 10); });
    auto b = MakeBitmap(4, 4, pf24bit, [](int, int) { return Bgra(20, 20, 20); });
    a->Correlate(*b, 2.0, 2.0, difference, weight, 1);
    EXPECT_DOUBLE_EQ(difference, 30.0 / 765.0);
    EXPECT_EQ(weight, 9.0);  // the window stops one short of the right and bottom edges

    // Hanging over the top left: patch pixels (2..3, 2..3) meet other's (0..1, 0..1).
    a->Correlate(*b, 0.0, 0.0, difference, weight, 1);
    EXPECT_EQ(weight, 4.0);

    // Weights from alpha: both pf32bit, 255 x 51 / 65025 = 0.2 per pair.
    auto pa = MakeBitmap(3, 3, pf32bit, [](int, int) { return Bgra(0, 0, 0, 255); });
    auto pb = MakeBitmap(9, 9, pf32bit, [](int, int) { return Bgra(255, 255, 255, 51); });
    pa->Correlate(*pb, 4.5, 4.5, difference, weight, 1);
    EXPECT_NEAR(weight, 9 * 0.2, 1e-12);
    EXPECT_DOUBLE_EQ(difference, 1.0);
    // Only the other has alpha.
    auto p24 = MakeBitmap(3, 3, pf24bit, [](int, int) { return Bgra(255, 255, 255); });
    p24->Correlate(*pb, 4.5, 4.5, difference, weight, 1);
    EXPECT_NEAR(weight, 9 * 0.2, 1e-12);
    EXPECT_DOUBLE_EQ(difference, 0.0);

    // All transparent: difference 1 and weight 0; far outside: the same.
    auto clear = MakeBitmap(3, 3, pf32bit, [](int, int) { return Bgra(1, 2, 3, 0); });
    clear->Correlate(*pb, 4.5, 4.5, difference, weight, 1);
    EXPECT_EQ(difference, 1.0);
    EXPECT_EQ(weight, 0.0);
    a->Correlate(*b, 1e12, -1e12, difference, weight, 0);
    EXPECT_EQ(difference, 1.0);
    EXPECT_EQ(weight, 0.0);
    EXPECT_EQ(a->GetAccessCounter(), 0);
    EXPECT_EQ(b->GetAccessCounter(), 0);
}

}  // namespace
}  // namespace qb
