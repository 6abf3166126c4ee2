#include "components/MemBitmapIO/membitmapcache.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qb;

namespace {
std::unique_ptr<TzrMemBitmap> Sample(int width, int height, uint8_t seed, bool onDisk = false) {
    auto b = std::make_unique<TzrMemBitmap>();
    b->SetOnDisk(onDisk);
    b->SetWidthHeightPixelFormat(width, height, pf32bit, false);
    b->BeginWrite();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 4; ++x) b->GetScanline(y)[x] = static_cast<uint8_t>(seed + 7 * y + x);
    b->EndWrite();
    return b;
}

bool SamePixels(const TzrMemBitmap& a, const TzrMemBitmap& b) {
    if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() ||
        a.GetPixelFormat() != b.GetPixelFormat())
        return false;
    bool same = true;
    a.BeginRead();
    b.BeginRead();
    for (int y = 0; y < a.GetHeight(); ++y)
        same = same && std::memcmp(a.GetScanline(y), b.GetScanline(y), size_t(a.GetWidth()) * 4) == 0;
    b.EndRead();
    a.EndRead();
    return same;
}
}  // namespace

TEST(MemBitmapCache, ImageAssignCopiesAllFiveBitmaps) {
    TvrdImage source;
    source.FileName = "/pics/a.tif";
    for (size_t i = 0; i < source.Bitmaps.size(); ++i)
        if (i != 2) source.Bitmaps[i] = MakeMemBitmapCache(Sample(9 + int(i), 5, uint8_t(i * 40), i == 4));

    TvrdImage copy;
    copy.FileName = "/pics/b.tif";
    copy.Bitmaps[2] = MakeMemBitmapCache(Sample(3, 3, 1));
    copy.Assign(source, true);
    for (size_t i = 0; i < source.Bitmaps.size(); ++i) {
        if (i == 2) {
            EXPECT_FALSE(copy.Bitmaps[i]) << "an empty cache of the source stays empty";
            continue;
        }
        ASSERT_TRUE(copy.Bitmaps[i]) << i;
        EXPECT_NE(copy.Bitmaps[i].get(), source.Bitmaps[i].get());
        EXPECT_TRUE(SamePixels(*copy.Bitmaps[i], *source.Bitmaps[i])) << i;
        EXPECT_EQ(copy.Bitmaps[i]->GetOnDisk(), source.Bitmaps[i]->GetOnDisk()) << i;
    }
    // Independent pixels: writing the copy leaves the source alone.
    copy.Bitmaps[0]->BeginWrite();
    copy.Bitmaps[0]->GetScanline(0)[0] = 0xEE;
    copy.Bitmaps[0]->EndWrite();
    EXPECT_FALSE(SamePixels(*copy.Bitmaps[0], *source.Bitmaps[0]));

    // A copy of the copy carries the cache operations along.
    TvrdImage third;
    third.Assign(copy, true);
    ASSERT_TRUE(third.Bitmaps[4]);
    EXPECT_TRUE(SamePixels(*third.Bitmaps[4], *source.Bitmaps[4]));

    // Without copyCaches the caches of another file are dropped and none taken; the same
    // file keeps its own bitmaps.
    TvrdImage plain;
    plain.Bitmaps[1] = MakeMemBitmapCache(Sample(2, 2, 5));
    plain.Assign(source, false);
    for (const auto& b : plain.Bitmaps) EXPECT_FALSE(b);
    TzrMemBitmap* own = copy.Bitmaps[1].get();
    copy.Assign(source, true);
    EXPECT_EQ(copy.Bitmaps[1].get(), own);
}

TEST(MemBitmapCache, ProjectAssignCopiesTheCaches) {
    TvrdProject source;
    TvrdImage& image = source.AddImage();
    image.FileName = "/pics/a.tif";
    image.Bitmaps[3] = MakeMemBitmapCache(Sample(4, 4, 9));
    TvrdProject copy;
    copy.Assign(source, true);
    ASSERT_EQ(copy.Images.size(), 1u);
    ASSERT_TRUE(copy.Images[0]->Bitmaps[3]);
    EXPECT_TRUE(SamePixels(*copy.Images[0]->Bitmaps[3], *image.Bitmaps[3]));
}
