#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

#include "components/MemBitmapIO/tzrmembitmapunit.h"

using namespace qb;

namespace {
// Every row carries its number in its first and last pixel, so that rows that overlap or
// land in the wrong chunk show.
void Mark(TzrMemBitmap& b) {
    b.BeginWrite();
    const int rowBytes = b.GetWidth() * b.GetBytesPerPixel();
    for (int y = 0; y < b.GetHeight(); ++y) {
        uint8_t* row = b.GetScanline(y);
        std::memcpy(row, &y, sizeof y);
        std::memcpy(row + rowBytes - sizeof y, &y, sizeof y);
    }
    b.EndWrite();
}

bool Marked(const TzrMemBitmap& b) {
    bool ok = true;
    b.BeginRead();
    const int rowBytes = b.GetWidth() * b.GetBytesPerPixel();
    for (int y = 0; y < b.GetHeight() && ok; ++y) {
        const uint8_t* row = b.GetScanline(y);
        int first = -1, last = -1;
        std::memcpy(&first, row, sizeof first);
        std::memcpy(&last, row + rowBytes - sizeof last, sizeof last);
        ok = first == y && last == y;
    }
    b.EndRead();
    return ok;
}
}  // namespace

TEST(ChunkStorage, LargeBitmapsSpreadOverSeveralMappingsWithoutOverlap) {
    // 9000 x 3000 pf24bit is 81 MB: more than one 64 MiB mapping of chunks.
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(9000, 3000, pf24bit, false);
    EXPECT_FALSE(b.GetOnDisk());
    // Fresh storage is zero-filled.
    b.BeginRead();
    for (int y : {0, 1499, 2999})
        for (int x = 0; x < 27000; x += 997) ASSERT_EQ(b.GetScanline(y)[x], 0) << y;
    // Rows of one chunk are consecutive; chunks never share bytes.
    std::set<const uint8_t*> starts;
    for (int y = 0; y < b.GetHeight(); y += b.GetRowsPerChunk()) starts.insert(b.GetScanline(y));
    EXPECT_EQ(static_cast<int>(starts.size()), b.GetChunkCount());
    for (int y = 1; y < b.GetHeight(); ++y) {
        if (y % b.GetRowsPerChunk() != 0) {
            ASSERT_EQ(b.GetScanline(y), b.GetScanline(y - 1) + 27000) << y;
        }
    }
    b.EndRead();
    Mark(b);
    EXPECT_TRUE(Marked(b));

    // Handing the storage over moves the mappings with it; the donor is empty and the
    // receiver's old storage is given back.
    TzrMemBitmap receiver;
    receiver.SetWidthHeightPixelFormat(10, 10, pf32bit, false);
    receiver.Set(&b);
    EXPECT_EQ(b.GetChunkCount(), 0);
    EXPECT_EQ(receiver.GetHeight(), 3000);
    EXPECT_TRUE(Marked(receiver));

    // Resizing with keeping copies into fresh storage of the new size.
    receiver.SetWidthHeightPixelFormat(9000, 2000, pf32bit, true);
    receiver.BeginRead();
    int row = -1;
    std::memcpy(&row, receiver.GetScanline(1234), sizeof row);
    receiver.EndRead();
    EXPECT_EQ(row & 0x00FFFFFF, 1234);
}
