// Rotation, stretching, zoom-out and the size arithmetic.
#include <gtest/gtest.h>

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

Pixel PatternIn(TPixelFormat f, int x, int y) {
    Pixel p = Pattern(x, y);
    if (f == pf24bit) p[3] = 255;
    return p;
}

struct RotationCase {
    int width, height;
    TPixelFormat format;
};

class MemBitmapRotation : public ::testing::TestWithParam<RotationCase> {};

TEST_P(MemBitmapRotation, PixelMappings) {
    // Sizes below, at and beyond the 32 x 32 tile, none of them a multiple of it.
    const auto [w, h, f] = GetParam();
    auto src = MakeBitmap(w, h, f, Pattern);
    const auto P = [f](int x, int y) { return PatternIn(f, x, y); };

    auto r90 = src->CreateRotatedCopy(90);
    ASSERT_EQ(r90->GetWidth(), h);
    ASSERT_EQ(r90->GetHeight(), w);
    ASSERT_EQ(r90->GetPixelFormat(), f);
    // Clockwise: destination (X, Y) shows source (Y, h - 1 - X).
    ExpectPixels(*r90, [&](int x, int y) { return P(y, h - 1 - x); });

    auto r270 = src->CreateRotatedCopy(270);
    ASSERT_EQ(r270->GetWidth(), h);
    ASSERT_EQ(r270->GetHeight(), w);
    ExpectPixels(*r270, [&](int x, int y) { return P(w - 1 - y, x); });

    auto r180 = src->CreateRotatedCopy(180);
    ASSERT_EQ(r180->GetWidth(), w);
    ASSERT_EQ(r180->GetHeight(), h);
    ExpectPixels(*r180, [&](int x, int y) { return P(w - 1 - x, h - 1 - y); });

    auto r0 = src->CreateRotatedCopy(-720);
    ExpectPixels(*r0, P);
    EXPECT_EQ(src->GetAccessCounter(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MemBitmapRotation,
                         ::testing::Values(RotationCase{1, 1, pf24bit}, RotationCase{3, 2, pf24bit},
                                           RotationCase{1, 40, pf32bit}, RotationCase{33, 1, pf24bit},
                                           RotationCase{37, 45, pf24bit}, RotationCase{70, 33, pf32bit},
                                           RotationCase{64, 31, pf32bit}));

TEST(MemBitmapRotate, AnglesAndReplacement) {
    auto b = MakeBitmap(3, 2, pf24bit, Pattern);
    // The top-right pixel after a clockwise quarter turn is the former top-left one.
    b->Rotate(450);
    ASSERT_EQ(b->GetWidth(), 2);
    ASSERT_EQ(b->GetHeight(), 3);
    EXPECT_EQ(At(*b, 1, 0), PatternIn(pf24bit, 0, 0));

    auto c = MakeBitmap(5, 4, pf32bit, Pattern);
    auto d = MakeBitmap(5, 4, pf32bit, Pattern);
    c->Rotate(-90);
    d->Rotate(270);
    ExpectPixels(*c, [&](int x, int y) { return At(*d, x, y); });
    c->Rotate(90);
    c->Rotate(360);  // nothing
    ExpectPixels(*c, Pattern);

    try {
        c->Rotate(45);
        FAIL() << "45 degrees accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Rotation only in multiple of 90 degrees");
    }
    EXPECT_THROW(c->CreateRotatedCopy(-100), Exception);
    EXPECT_EQ(c->GetAccessCounter(), 0);

    TzrMemBitmap empty;
    EXPECT_EQ(empty.CreateRotatedCopy(90)->GetWidth(), 0);
}

TEST(MemBitmapRotate, OnDiskEqualsInMemory) {
    auto mem = MakeBitmap(45, 70, pf24bit, Pattern);
    TzrMemBitmap disk;
    disk.SetMemChunkSize(45 * 3 * 5);  // five rows a chunk
    disk.SetOnDisk(true);
    disk.Assign(mem.get());
    ASSERT_TRUE(disk.GetOnDisk());
    disk.Rotate(90);
    auto expected = mem->CreateRotatedCopy(90);
    ExpectPixels(disk, [&](int x, int y) { return At(*expected, x, y); });
}

TEST(MemBitmapStretch, NearestAndBilinearByHand) {
    // Blue of the source: row 0 = 0, 100, 200; row 1 = 50, 150, 250.
    auto src = MakeBitmap(3, 2, pf32bit, [](int x, int y) {
        const int v = 100 * x + 50 * y;
        return Bgra(v, 255 - v, 7, 255);
    });
    // xScale 0.5: columns 0, .5, 1, 1.5, 2 -> nearest 0, 1, 1, 2, 2. yScale 0.5: rows 0, .5, 1
    // -> nearest 0, 0, 1.
    auto n = src->CreateStretchedCopy(5, 3, false);
    ASSERT_EQ(n->GetWidth(), 5);
    ASSERT_EQ(n->GetHeight(), 3);
    const int col[5] = {0, 1, 1, 2, 2}, row[3] = {0, 0, 1};
    ExpectPixels(*n, [&](int x, int y) { return At(*src, col[x], row[y]); });

    auto s = src->CreateStretchedCopy(5, 3, true);
    // (1, 1): halfway between all four of 0, 100, 50, 150 -> 75.
    EXPECT_EQ(At(*s, 1, 1)[0], 75);
    EXPECT_EQ(At(*s, 1, 1)[1], 180);
    EXPECT_EQ(At(*s, 4, 2)[0], 250);  // the corner takes the corner
    EXPECT_EQ(At(*s, 3, 0)[0], 150);  // x = 1.5 on row 0
    EXPECT_EQ(At(*s, 0, 1)[0], 25);   // y = 0.5 on column 0
    EXPECT_EQ(At(*s, 2, 2)[3], 255);  // alpha is interpolated too

    // One pixel wide or high: the size is taken, the pixels stay zero.
    auto thin = src->CreateStretchedCopy(1, 7, true);
    ASSERT_EQ(thin->GetWidth(), 1);
    ASSERT_EQ(thin->GetHeight(), 7);
    ExpectPixels(*thin, [](int, int) { return Bgra(0, 0, 0, 0); });

    // Enlarging by nearest to a multiple repeats source pixels at the sampled positions.
    src->Stretch(3, 2, false);
    ExpectPixels(*src, [](int x, int y) {
        const int v = 100 * x + 50 * y;
        return Bgra(v, 255 - v, 7, 255);
    });
    EXPECT_THROW(src->Stretch(-1, 4, true), Exception);
    EXPECT_EQ(src->GetAccessCounter(), 0);
}

// The tent-filtered mean of the zoom-out, computed directly over the window with
// single-precision sums.
Pixel ZoomReference(const TzrMemBitmap& b, int f, int i, int j) {
    const int a = j * f, c = i * f;
    float sums[4] = {0, 0, 0, 0};
    float weights = 0;
    for (int r = a - (f - 1); r <= a + (f - 1); ++r) {
        for (int s = c - (f - 1); s <= c + (f - 1); ++s) {
            if (r < 0 || s < 0 || r >= b.GetHeight() || s >= b.GetWidth()) continue;
            const float w = float((f - std::abs(r - a)) * (f - std::abs(s - c)));
            const Pixel p = At(b, s, r);
            for (int ch = 0; ch < 4; ++ch) sums[ch] += w * p[ch];
            weights += w;
        }
    }
    Pixel out;
    for (int ch = 0; ch < 4; ++ch) out[ch] = static_cast<std::uint8_t>(sums[ch] / weights);
    return out;
}

TEST(MemBitmapZoomOut, SizesAndTentMeans) {
    EXPECT_EQ(MakeBitmap(5, 5, pf24bit, Pattern)->CreateZoomedOutCopy(2, true)->GetWidth(), 3);
    EXPECT_EQ(MakeBitmap(4, 4, pf24bit, Pattern)->CreateZoomedOutCopy(2, true)->GetHeight(), 2);
    EXPECT_EQ(MakeBitmap(4, 4, pf24bit, Pattern)->CreateZoomedOutCopy(2, false)->GetWidth(), 2);

    // By hand, factor 2 at (0, 0): weights 4, 2, 2, 1 on (0,0)=0, (1,0)=90, (0,1)=30,
    // (1,1)=255: (180 + 60 + 255) / 9 = 55.
    auto small = MakeBitmap(3, 3, pf24bit, [](int x, int y) {
        const int v[3][3] = {{0, 90, 7}, {30, 255, 7}, {7, 7, 7}};
        return Bgra(v[y][x], 0, 0);
    });
    auto z = small->CreateZoomedOutCopy(2, true);
    ASSERT_EQ(z->GetWidth(), 2);
    EXPECT_EQ(At(*z, 0, 0)[0], 55);
    // (1, 1) is centred on the corner (2, 2): weights 4 there, 2 on (1,2) and (2,1), 1 on
    // (1,1): (28 + 14 + 14 + 255) / 9 = 34.
    EXPECT_EQ(At(*z, 1, 1)[0], 34);

    for (const TPixelFormat f : {pf24bit, pf32bit}) {
        auto b = MakeBitmap(37, 29, f, Pattern);
        for (const int factor : {1, 2, 3, 4, 7, 16}) {
            auto zoomed = b->CreateZoomedOutCopy(factor, true);
            ASSERT_EQ(zoomed->GetWidth(), 36 / factor + 1);
            ASSERT_EQ(zoomed->GetHeight(), 28 / factor + 1);
            ExpectPixels(*zoomed, [&](int i, int j) { return ZoomReference(*b, factor, i, j); });
        }
    }
}

TEST(MemBitmapZoomOut, LargeFactors) {
    // Factors up to far beyond the picture: the mean of a flat picture exactly, and no
    // overflow of the sums.
    auto flat = MakeBitmap(37, 29, pf32bit, [](int, int) { return Bgra(200, 100, 50, 255); });
    for (const int factor : {17, 100, 1 << 20, 2147483647}) {
        auto z = flat->CreateZoomedOutCopy(factor, true);
        ASSERT_EQ(z->GetWidth(), 36 / factor + 1);
        ASSERT_EQ(z->GetHeight(), 28 / factor + 1);
        SCOPED_TRACE(factor);
        ExpectPixels(*z, [](int, int) { return Bgra(200, 100, 50, 255); });
    }
    // Factor 20 on a ramp: (0, 0) averages columns 0..19 with weights 20 - x (rows alike):
    // sum (20 - x) * 10x / sum (20 - x) = 10 * 1330 / 210 = 63.3.
    auto ramp = MakeBitmap(30, 3, pf24bit, [](int x, int) { return Bgra(std::min(10 * x, 255), 0, 0); });
    EXPECT_EQ(At(*ramp->CreateZoomedOutCopy(20, true), 0, 0)[0], 63);
}

TEST(MemBitmapZoomOut, NearestIsAStretch) {
    auto b = MakeBitmap(9, 7, pf24bit, Pattern);
    auto z = b->CreateZoomedOutCopy(3, false);
    auto s = b->CreateStretchedCopy(3, 3, false);
    ASSERT_EQ(z->GetWidth(), 3);
    ExpectPixels(*z, [&](int x, int y) { return At(*s, x, y); });
    // A factor below 1 is a plain copy rather than a division by zero.
    auto same = b->CreateZoomedOutCopy(0, true);
    ExpectPixels(*same, [](int x, int y) { return PatternIn(pf24bit, x, y); });
}

TEST(MemBitmapSize, MaximizeSize) {
    int w = 4000, h = 3000;
    TzrMemBitmap::MaximizeSize(w, h, 1200000);
    // aspect 4/3, s = sqrt(1200000 * 3 / 4) = 948.68...
    EXPECT_EQ(h, 948);
    EXPECT_EQ(w, 1264);
    w = 400, h = 300;
    TzrMemBitmap::MaximizeSize(w, h, 120000);
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 300);
    w = 5000, h = 1;
    TzrMemBitmap::MaximizeSize(w, h, 100);
    EXPECT_EQ(h, 1);  // at least 1
    EXPECT_EQ(w, 707);
    w = 50000, h = 50000;  // the product does not fit in 32 bits
    TzrMemBitmap::MaximizeSize(w, h, 10000);
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 100);

    w = 4000, h = 3000;
    TzrMemBitmap::MaximizeSize(w, h, 800, 800, false);
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 600);
    w = 400, h = 300;
    TzrMemBitmap::MaximizeSize(w, h, 800, 800, false);
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 300);
    TzrMemBitmap::MaximizeSize(w, h, 800, 800, true);
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 600);
    w = 300, h = 400;
    TzrMemBitmap::MaximizeSize(w, h, 800, 800, true);
    EXPECT_EQ(w, 600);
    EXPECT_EQ(h, 800);
    w = 300, h = 400;  // no height limit: the limit aspect is 1, so the height is taken
    TzrMemBitmap::MaximizeSize(w, h, 200, 0, false);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 1);
    w = 0, h = 10;
    TzrMemBitmap::MaximizeSize(w, h, 5, 5, true);
    EXPECT_EQ(w, 0);
}

}  // namespace
}  // namespace qb
