// Fills, crops with a fill colour, alpha compositing and the test pattern.
#include <gtest/gtest.h>

#include "tests/membitmap/ops_support.h"

namespace qb {
namespace {

using test::At;
using test::Bgra;
using test::ExpectPixels;
using test::MakeBitmap;
using test::Pattern;
using test::Pixel;

Pixel Opaque(Pixel p) { return {p[0], p[1], p[2], 255}; }

TEST(MemBitmapFill, WholeBitmapAndRectangles) {
    auto b24 = MakeBitmap(5, 4, pf24bit, Pattern);
    b24->FillColor(255);  // lowest byte is blue
    ExpectPixels(*b24, [](int, int) { return Bgra(255, 0, 0); });

    auto b32 = MakeBitmap(6, 5, pf32bit, Pattern);
    b32->FillColor(0x80112233u, TRect(-2, 3, 3, 99), false);
    ExpectPixels(*b32, [](int x, int y) {
        return x < 3 && y >= 3 ? Bgra(0x33, 0x22, 0x11, 0x80) : Pattern(x, y);
    });

    // Only alpha, and only inside the rectangle.
    auto a32 = MakeBitmap(6, 5, pf32bit, Pattern);
    a32->FillColor(0x7Fu << 24 | 0xFFFFFFu, TRect(1, 1, 3, 2), true);
    ExpectPixels(*a32, [](int x, int y) {
        Pixel p = Pattern(x, y);
        if (x >= 1 && x < 3 && y == 1) p[3] = 0x7F;
        return p;
    });

    // pf24bit has no alpha byte: an alpha-only fill writes nothing.
    auto a24 = MakeBitmap(4, 4, pf24bit, Pattern);
    a24->FillColor(0xFFFFFFFFu, TRect(0, 0, 4, 4), true);
    ExpectPixels(*a24, [](int x, int y) { return Opaque(Pattern(x, y)); });

    a32->FillAlphaChannel(9);
    ExpectPixels(*a32, [](int x, int y) {
        Pixel p = Pattern(x, y);
        p[3] = 9;
        return p;
    });

    // Empty and outside rectangles change nothing.
    auto c = MakeBitmap(3, 3, pf32bit, Pattern);
    c->FillColor(0, TRect(2, 2, 1, 3), false);
    c->FillColor(0, TRect(3, 0, 10, 3), false);
    c->FillColor(0, TRect(-10, -10, 0, 0), false);
    ExpectPixels(*c, Pattern);
    EXPECT_EQ(c->GetAccessCounter(), 0);
}

TEST(MemBitmapCrop, PartlyOutsideIntoOwnFormat) {
    // A 10 x 10 pf24bit source cropped with (-5, -5, 15, 15) into a pf32bit bitmap that
    // keeps its format: the source sits at (5, 5) with alpha 255, the border is colour 0.
    auto source = MakeBitmap(10, 10, pf24bit, Pattern);
    TzrMemBitmap target;
    target.SetPixelFormat(pf32bit);
    target.ExtractCropFrom(*source, TRect(-5, -5, 15, 15), 0, true);
    ASSERT_EQ(target.GetWidth(), 20);
    ASSERT_EQ(target.GetHeight(), 20);
    ASSERT_EQ(target.GetPixelFormat(), pf32bit);
    ExpectPixels(target, [](int x, int y) {
        if (x >= 5 && x < 15 && y >= 5 && y < 15) return Opaque(Pattern(x - 5, y - 5));
        return Bgra(0, 0, 0, 0);
    });
    EXPECT_EQ(target.GetAccessCounter(), 0);
    EXPECT_EQ(source->GetAccessCounter(), 0);
}

TEST(MemBitmapCrop, SameFormatWithFillAtEachSide) {
    // Windows that stick out on the right/bottom, the left/top, or lie inside; sizes that
    // are not multiples of anything in particular.
    auto source = MakeBitmap(13, 11, pf32bit, Pattern);
    const TColor fill = 0xA1B2C3D4u;
    const Pixel fillPixel = Bgra(0xD4, 0xC3, 0xB2, 0xA1);
    for (const TRect crop : {TRect(7, 6, 20, 14), TRect(-4, -2, 5, 3), TRect(2, 1, 9, 10),
                             TRect(-1, -1, 14, 12)}) {
        TzrMemBitmap target;
        target.ExtractCropFrom(*source, crop, fill, false);
        ASSERT_EQ(target.GetPixelFormat(), pf32bit);
        ASSERT_EQ(target.GetWidth(), crop.Width());
        ASSERT_EQ(target.GetHeight(), crop.Height());
        ExpectPixels(target, [&](int x, int y) {
            const int sx = x + crop.left, sy = y + crop.top;
            return sx >= 0 && sx < 13 && sy >= 0 && sy < 11 ? Pattern(sx, sy) : fillPixel;
        });
    }
}

TEST(MemBitmapCrop, EntirelyOutsideFormatsAndSelf) {
    auto source = MakeBitmap(8, 6, pf24bit, Pattern);
    TzrMemBitmap outside;
    outside.ExtractCropFrom(*source, TRect(20, -9, 27, -4), 0x00123456u, false);
    EXPECT_EQ(outside.GetWidth(), 7);
    EXPECT_EQ(outside.GetHeight(), 5);
    ExpectPixels(outside, [](int, int) { return Bgra(0x56, 0x34, 0x12); });

    // pf32bit into a pf24bit target keeping its own format: alpha dropped.
    auto source32 = MakeBitmap(8, 6, pf32bit, Pattern);
    TzrMemBitmap target24;
    target24.ExtractCropFrom(*source32, TRect(1, 2, 8, 6), 0, true);
    EXPECT_EQ(target24.GetPixelFormat(), pf24bit);
    ExpectPixels(target24, [](int x, int y) { return Opaque(Pattern(x + 1, y + 2)); });

    // A bitmap cropped into itself reads its old pixels.
    source->ExtractCropFrom(*source, TRect(3, 1, 11, 5), 0xFFFFFFu, false);
    ASSERT_EQ(source->GetWidth(), 8);
    ASSERT_EQ(source->GetHeight(), 4);
    ExpectPixels(*source, [](int x, int y) {
        return x + 3 < 8 ? Opaque(Pattern(x + 3, y + 1)) : Bgra(255, 255, 255);
    });
    EXPECT_EQ(source->GetAccessCounter(), 0);
}

TEST(MemBitmapCrop, FailureReleasesHolds) {
    auto source = MakeBitmap(4, 4, pf24bit, Pattern);
    TzrMemBitmap target;
    try {
        target.ExtractCropFrom(*source, TRect(3, 0, 1, 2), 0, false);
        FAIL() << "negative crop accepted";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "bitmap dimensions should not be negative!");
    }
    EXPECT_EQ(target.GetAccessCounter(), 0);
    EXPECT_EQ(source->GetAccessCounter(), 0);
}

TEST(MemBitmapCrop, OnDiskSourceAndTarget) {
    // Small chunks so that the crop crosses many mapped views.
    auto source = std::make_unique<TzrMemBitmap>();
    source->SetMemChunkSize(4 * 37 * 3);
    source->SetOnDisk(true);
    source->SetWidthHeightPixelFormat(37, 29, pf32bit, false);
    {
        TzrWriteHold hold(*source);
        for (int y = 0; y < 29; ++y) {
            std::uint8_t* p = source->GetScanline(y);
            for (int x = 0; x < 37; ++x) {
                const Pixel v = Pattern(x, y);
                std::copy(v.begin(), v.end(), p + x * 4);
            }
        }
    }
    TzrMemBitmap target;
    target.SetOnDisk(true);
    target.SetPixelFormat(pf24bit);
    target.ExtractCropFrom(*source, TRect(30, 20, 45, 33), 0x010203u, true);
    ExpectPixels(target, [](int x, int y) {
        return x + 30 < 37 && y + 20 < 29 ? Opaque(Pattern(x + 30, y + 20)) : Bgra(3, 2, 1);
    });
    ASSERT_NE(source->GetMappedFile(), nullptr);
    EXPECT_EQ(source->GetMappedFile()->ViewCount(), 0u);  // views gone with the last hold
}

TEST(MemBitmapComposite, AlphaArithmetic) {
    // Half-transparent white onto black: 128 in each colour channel.
    auto dest = MakeBitmap(3, 2, pf24bit, [](int, int) { return Bgra(0, 0, 0); });
    auto white = MakeBitmap(3, 2, pf24bit, [](int, int) { return Bgra(255, 255, 255); });
    dest->copyAlphaBitmap(*white, TPoint(0, 0), TRect(0, 0, 3, 2), 128);
    ExpectPixels(*dest, [](int, int) { return Bgra(128, 128, 128); });

    // pf32bit onto pf32bit: t = alpha x source alpha / 255; worked by hand:
    // t = 255 * 204 / 255 = 204; blue (10 * 51 + 204 * 200) / 255 = 162, green 84, red 46;
    // alpha 100 + 204 * 155 / 255 = 224.
    auto d32 = MakeBitmap(4, 1, pf32bit, [](int x, int) {
        return x == 0 ? Bgra(10, 20, 30, 100) : Bgra(1, 2, 3, 4);
    });
    auto s32 = MakeBitmap(4, 1, pf32bit, [](int x, int) {
        switch (x) {
        case 0: return Bgra(200, 100, 50, 204);
        case 1: return Bgra(9, 9, 9, 0);      // t = 0: unchanged
        case 2: return Bgra(7, 8, 9, 255);    // t = 255: copied, alpha 255
        default: return Bgra(255, 255, 255, 1);  // t = 255 * 1 / 255 = 1
        }
    });
    d32->copyAlphaBitmap(*s32, TPoint(0, 0), TRect(0, 0, 4, 1), 255);
    EXPECT_EQ(At(*d32, 0, 0), Bgra(162, 84, 46, 224));
    EXPECT_EQ(At(*d32, 1, 0), Bgra(1, 2, 3, 4));
    EXPECT_EQ(At(*d32, 2, 0), Bgra(7, 8, 9, 255));
    // (1 * 254 + 255) / 255 = 1, (2 * 254 + 255) / 255 = 2, (3 * 254 + 255) / 255 = 3;
    // alpha 4 + 1 * 251 / 255 = 4.
    EXPECT_EQ(At(*d32, 3, 0), Bgra(1, 2, 3, 4));

    // A reduced overall alpha scales the source alpha: t = 100 * 255 / 255 = 100 onto pf24bit.
    auto d24 = MakeBitmap(1, 1, pf24bit, [](int, int) { return Bgra(255, 0, 100); });
    auto s = MakeBitmap(1, 1, pf32bit, [](int, int) { return Bgra(0, 255, 100, 255); });
    d24->copyAlphaBitmap(*s, TPoint(0, 0), TRect(0, 0, 1, 1), 100);
    // (255 * 155) / 255 = 155; (100 * 255) / 255 = 100; (100 * 155 + 100 * 100) / 255 = 100.
    EXPECT_EQ(At(*d24, 0, 0), Bgra(155, 100, 100));
}

TEST(MemBitmapComposite, ClippedOnBothSides) {
    // A source window partly outside the source, placed partly outside the destination.
    auto dest = MakeBitmap(10, 8, pf32bit, [](int, int) { return Bgra(1, 1, 1, 1); });
    auto src = MakeBitmap(6, 5, pf24bit, Pattern);
    const TRect window(-2, 1, 5, 9);  // 7 x 8, columns -2, -1 and rows 5..8 outside
    const TPoint at(6, -3);
    dest->copyAlphaBitmap(*src, at, window, 255);
    ExpectPixels(*dest, [&](int x, int y) {
        const int sx = x - at.x + window.left, sy = y - at.y + window.top;
        const bool inWindow = x - at.x >= 0 && x - at.x < 7 && y - at.y >= 0 && y - at.y < 8;
        const bool inSource = sx >= 0 && sx < 6 && sy >= 0 && sy < 5;
        return inWindow && inSource ? Opaque(Pattern(sx, sy)) : Bgra(1, 1, 1, 1);
    });

    // Onto itself, overlapping: the pixels come from the picture as it was.
    auto self = MakeBitmap(6, 1, pf24bit, Pattern);
    self->copyAlphaBitmap(*self, TPoint(2, 0), TRect(0, 0, 6, 1), 255);
    ExpectPixels(*self, [](int x, int) { return Opaque(Pattern(x < 2 ? x : x - 2, 0)); });
    EXPECT_EQ(self->GetAccessCounter(), 0);
    EXPECT_EQ(dest->GetAccessCounter(), 0);
}

TEST(MemBitmapPattern, MakeX) {
    TzrMemBitmap b;
    b.SetPixelFormat(pf32bit);
    b.MakeX(5, 3);
    ASSERT_EQ(b.GetPixelFormat(), pf24bit);
    const Pixel red = Bgra(0, 0, 255), white = Bgra(255, 255, 255);
    // 2x < 5 for x <= 2, 2y < 3 for y <= 1.
    const char* rows[3] = {"RRRWW", "RRRWW", "WWWRR"};
    ExpectPixels(b, [&](int x, int y) { return rows[y][x] == 'R' ? red : white; });
}

}  // namespace
}  // namespace qb
