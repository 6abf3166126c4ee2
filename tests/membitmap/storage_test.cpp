#include "components/MemBitmapIO/tzrmembitmapunit.h"

#include <gtest/gtest.h>

#include <QImage>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/statvfs.h>

#include "core/exceptions.h"
#include "tests/support/tempdir.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {

template <typename F>
std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.message();
    }
    return "";
}

std::uint8_t PatternByte(int x, int y, int c) { return static_cast<std::uint8_t>(x * 7 + y * 13 + c * 61 + 1); }

void FillPattern(TzrMemBitmap& b) {
    TzrWriteHold hold(b);
    const int bpp = b.GetBytesPerPixel();
    for (int y = 0; y < b.GetHeight(); ++y) {
        std::uint8_t* row = b.GetScanline(y);
        for (int x = 0; x < b.GetWidth(); ++x)
            for (int c = 0; c < bpp; ++c) row[x * bpp + c] = PatternByte(x, y, c);
    }
}

// Bytes of pixel (x, y), inside the caller's hold.
std::vector<std::uint8_t> PixelOf(const TzrMemBitmap& b, int x, int y) {
    const int bpp = b.GetBytesPerPixel();
    const std::uint8_t* p = b.GetScanline(y) + x * bpp;
    return std::vector<std::uint8_t>(p, p + bpp);
}

QImage PatternImage(int w, int h, QImage::Format format) {
    QImage image(w, h, format);
    const int bpp = image.depth() / 8;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < bpp; ++c) image.scanLine(y)[x * bpp + c] = PatternByte(x, y, c);
    return image;
}

class OnDiskTest : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        savedDir = TzrMemBitmap::DefaultMMFDir;
        TzrMemBitmap::DefaultMMFDir = dir;
    }
    void TearDown() override {
        TzrMemBitmap::DefaultMMFDir = savedDir;
        TempDirTest::TearDown();
    }
    std::string savedDir;
};

}  // namespace

// ---- storage ------------------------------------------------------------------------

TEST(MemBitmapStorage, NewBitmapIsEmptyAndRowsNeedAHold) {
    TzrMemBitmap b;
    EXPECT_EQ(b.GetWidth(), 0);
    EXPECT_EQ(b.GetHeight(), 0);
    EXPECT_EQ(b.GetPixelFormat(), pf24bit);
    EXPECT_FALSE(b.GetOnDisk());
    EXPECT_EQ(b.GetMemChunkSize(), 1048576);
    EXPECT_EQ(b.JPEGQuality, 95);
    EXPECT_DOUBLE_EQ(b.XResolution, 72.0);
    EXPECT_EQ(MessageOf([&] { b.GetScanline(0); }), "Internal error: BeginRead or BeginWrite omitted");
    {
        TzrReadHold hold(b);
        EXPECT_EQ(MessageOf([&] { b.GetScanline(0); }), "Row index out of bounds");
    }
    b.SetWidthHeightPixelFormat(4, 3, pf32bit, false);
    EXPECT_EQ(MessageOf([&] { b.GetScanline(0); }), "Internal error: BeginRead or BeginWrite omitted");
    EXPECT_EQ(MessageOf([&] { b.GetAllScanlines(); }), "Internal error: BeginRead or BeginWrite omitted");
    TzrReadHold hold(b);
    EXPECT_EQ(MessageOf([&] { b.GetScanline(-1); }), "Row index out of bounds");
    EXPECT_EQ(MessageOf([&] { b.GetScanline(3); }), "Row index out of bounds");
    EXPECT_EQ(b.GetAccessCounter(), 1);  // the failed calls gave their own holds back
}

TEST(MemBitmapStorage, ChunksHoldWholeRowsAndStartZeroed) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(1000, 1000, pf24bit, false);
    EXPECT_EQ(b.GetRowsPerChunk(), 349);
    EXPECT_EQ(b.GetChunkBytes(), 1047000);
    EXPECT_EQ(b.GetChunkCount(), 3);
    TzrReadHold hold(b);
    EXPECT_EQ(b.GetScanline(1) - b.GetScanline(0), 3000);
    EXPECT_EQ(b.GetScanline(348) - b.GetScanline(0), 348 * 3000);
    EXPECT_EQ(b.GetScanline(350) - b.GetScanline(349), 3000);
    // The last chunk has full size: its last row is followed by more of its block.
    EXPECT_EQ(b.GetScanline(999) - b.GetScanline(698), 301 * 3000);
    for (int y : {0, 348, 349, 697, 698, 999}) {
        const std::uint8_t* row = b.GetScanline(y);
        for (int i = 0; i < 3000; ++i) ASSERT_EQ(row[i], 0) << "row " << y;
    }
}

TEST(MemBitmapStorage, ChunkSizeRules) {
    TzrMemBitmap small;
    small.SetMemChunkSize(100);  // smaller than one row
    small.SetWidthHeightPixelFormat(50, 7, pf32bit, false);
    EXPECT_EQ(small.GetRowsPerChunk(), 1);
    EXPECT_EQ(small.GetChunkCount(), 7);
    EXPECT_EQ(small.GetChunkBytes(), 200);

    TzrMemBitmap single;
    single.SetMemChunkSize(0);  // one chunk for everything
    single.SetWidthHeightPixelFormat(10, 500, pf24bit, false);
    EXPECT_EQ(single.GetRowsPerChunk(), 500);
    EXPECT_EQ(single.GetChunkCount(), 1);

    TzrMemBitmap shortOne;  // fewer rows than a chunk could take
    shortOne.SetWidthHeightPixelFormat(10, 5, pf24bit, false);
    EXPECT_EQ(shortOne.GetRowsPerChunk(), 5);
    EXPECT_EQ(shortOne.GetChunkBytes(), 150);

    // Only while no storage is held; the failure is not a user message.
    EXPECT_THROW(shortOne.SetMemChunkSize(1000), std::logic_error);
    try {
        shortOne.SetMemChunkSize(1000);
    } catch (const Exception&) {
        ADD_FAILURE() << "must not be a user message";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Internal error");
    }
    shortOne.FreeData();
    shortOne.SetMemChunkSize(1000);
    EXPECT_EQ(shortOne.GetMemChunkSize(), 1000);

    TzrMemBitmap rowsOnly;  // rows but no width: no pixel storage
    rowsOnly.SetWidthHeightPixelFormat(0, 5, pf24bit, false);
    EXPECT_EQ(rowsOnly.GetChunkCount(), 0);
}

TEST(MemBitmapStorage, SizeAndFormatChecks) {
    TzrMemBitmap b;
    EXPECT_EQ(MessageOf([&] { b.SetWidthHeightPixelFormat(-1, 5, pf24bit, false); }),
              "bitmap dimensions should not be negative!");
    EXPECT_EQ(MessageOf([&] { b.SetWidthHeightPixelFormat(5, 5, pf8bit, false); }),
              "PixelFormat should be pf32bit or pf24bit!");
    EXPECT_EQ(MessageOf([&] { TzrMemBitmap::GetBytesPerPixel(pf16bit); }), "Pixelformat not supported!");
    EXPECT_EQ(TzrMemBitmap::GetBytesPerPixel(pf24bit), 3);
    EXPECT_EQ(TzrMemBitmap::GetBytesPerPixel(pf32bit), 4);
    EXPECT_EQ(b.GetAccessCounter(), 0);

    // The same values change nothing, not even with keepContents false.
    b.SetWidthHeightPixelFormat(6, 4, pf32bit, false);
    FillPattern(b);
    b.SetWidthHeightPixelFormat(6, 4, pf32bit, false);
    {
        TzrReadHold hold(b);
        EXPECT_EQ(PixelOf(b, 5, 3), (std::vector<std::uint8_t>{PatternByte(5, 3, 0), PatternByte(5, 3, 1),
                                                                PatternByte(5, 3, 2), PatternByte(5, 3, 3)}));
    }
    // Any change without keeping discards the pixels.
    b.SetWidth(7);
    EXPECT_EQ(b.GetWidth(), 7);
    {
        TzrReadHold hold(b);
        EXPECT_EQ(PixelOf(b, 5, 3), (std::vector<std::uint8_t>{0, 0, 0, 0}));
    }
    b.SetPixelFormat(pf24bit);
    b.SetHeight(2);
    EXPECT_EQ(b.GetPixelFormat(), pf24bit);
    EXPECT_EQ(b.GetHeight(), 2);
    EXPECT_EQ(b.GetWidth(), 7);
}

TEST(MemBitmapStorage, KeepingContentsOnEnlargeAndFormatChange) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(3, 2, pf24bit, false);
    FillPattern(b);
    b.SetWidthHeightPixelFormat(5, 4, pf32bit, true);
    ASSERT_EQ(b.GetWidth(), 5);
    ASSERT_EQ(b.GetHeight(), 4);
    ASSERT_EQ(b.GetPixelFormat(), pf32bit);
    TzrReadHold hold(b);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            const auto p = PixelOf(b, x, y);
            if (x < 3 && y < 2)
                EXPECT_EQ(p, (std::vector<std::uint8_t>{PatternByte(x, y, 0), PatternByte(x, y, 1),
                                                        PatternByte(x, y, 2), 255}))
                    << x << "," << y;
            else
                EXPECT_EQ(p, (std::vector<std::uint8_t>{0, 0, 0, 0})) << x << "," << y;
        }
}

TEST(MemBitmapStorage, AssignCopiesAndSetMovesStorage) {
    TzrMemBitmap a;
    a.SetWidthHeightPixelFormat(20, 9, pf32bit, false);
    FillPattern(a);
    TzrMemBitmap b(&a);
    EXPECT_EQ(b.GetWidth(), 20);
    EXPECT_EQ(b.GetPixelFormat(), pf32bit);
    {
        TzrReadHold ha(a);
        TzrReadHold hb(b);
        for (int y = 0; y < 9; ++y) EXPECT_EQ(std::memcmp(a.GetScanline(y), b.GetScanline(y), 80), 0);
        EXPECT_NE(a.GetScanline(0), b.GetScanline(0));
    }
    TzrMemBitmap c;
    a.AssignTo(&c);
    EXPECT_EQ(c.GetHeight(), 9);
    c.Assign(static_cast<const TzrMemBitmap*>(nullptr));
    EXPECT_EQ(c.GetWidth(), 0);
    EXPECT_EQ(c.GetPixelFormat(), pf24bit);
    a.Assign(&a);  // onto itself: unchanged
    EXPECT_EQ(a.GetWidth(), 20);

    std::uint8_t* row0;
    {
        TzrReadHold h(a);
        row0 = a.GetScanline(0);
    }
    c.Set(&a);
    EXPECT_EQ(a.GetWidth(), 0);
    EXPECT_EQ(a.GetHeight(), 0);
    EXPECT_EQ(a.GetChunkCount(), 0);
    EXPECT_EQ(c.GetWidth(), 20);
    EXPECT_EQ(c.GetPixelFormat(), pf32bit);
    TzrReadHold h(c);
    EXPECT_EQ(c.GetScanline(0), row0);  // taken over, not copied
    EXPECT_EQ(PixelOf(c, 19, 8)[3], PatternByte(19, 8, 3));
}

TEST(MemBitmapStorage, SizesBeyondOneBlockFailAsOutOfMemoryAndLeaveNoHold) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(4, 4, pf24bit, false);
    // A row of 2.4 GB cannot be one chunk (a chunk is one block and one view).
    try {
        b.SetWidthHeightPixelFormat(600000000, 1, pf32bit, false);
        ADD_FAILURE() << "no failure";
    } catch (const EOutOfMemory& e) {
        EXPECT_EQ(e.message(), "Out of memory: could not allocate 2400000000 bytes");
    }
    EXPECT_EQ(b.GetAccessCounter(), 0);
    EXPECT_EQ(b.GetChunkCount(), 0);
    EXPECT_EQ(b.GetWidth(), 0);
    // One chunk for everything, too large for a block.
    TzrMemBitmap single;
    single.SetMemChunkSize(0);
    EXPECT_THROW(single.SetWidthHeightPixelFormat(50000, 50000, pf24bit, false), EOutOfMemory);
    EXPECT_EQ(single.GetAccessCounter(), 0);
    single.SetWidthHeightPixelFormat(5, 5, pf24bit, false);  // still usable
    EXPECT_EQ(single.GetChunkCount(), 1);
}

TEST(MemBitmapStorage, UnbalancedEndIsAnInternalError) {
    TzrMemBitmap b;
    EXPECT_EQ(MessageOf([&] { b.EndRead(); }), "Internal error: EndRead or EndWrite without BeginRead or BeginWrite");
    EXPECT_EQ(MessageOf([&] { b.EndWrite(); }), "Internal error: EndRead or EndWrite without BeginRead or BeginWrite");
    EXPECT_EQ(b.GetAccessCounter(), 0);
    // The lock itself refuses an end without a beginning.
    TzrMultiReadExclusiveWriteSynchronizer lock;
    EXPECT_THROW(lock.EndRead(), std::logic_error);
    EXPECT_THROW(lock.EndWrite(), std::logic_error);
    lock.BeginRead();
    EXPECT_TRUE(lock.BeginWrite());  // nobody else wrote in between
    EXPECT_TRUE(lock.IsWriterThisThread());
    lock.EndWrite();
    EXPECT_EQ(lock.ReadDepthOfThisThread(), 1);
    lock.EndRead();
    b.BeginRead();
    b.EndRead();
    EXPECT_EQ(b.GetAccessCounter(), 0);
}

// ---- QImage copies ------------------------------------------------------------------

TEST(MemBitmapImage, RoundTripThroughQImage) {
    for (const QImage::Format f : {QImage::Format_BGR888, QImage::Format_ARGB32}) {
        const QImage source = PatternImage(13, 5, f);
        TzrMemBitmap b(&source);
        EXPECT_EQ(b.GetPixelFormat(), f == QImage::Format_BGR888 ? pf24bit : pf32bit);
        QImage back;
        b.AssignTo(&back);
        EXPECT_EQ(back.format(), f);
        EXPECT_EQ(back, source);
    }
}

TEST(MemBitmapImage, RotationOnAssign) {
    // Rotating a 3 x 2 image by 90 gives 2 x 3 whose top-right pixel is the source's top-left.
    for (const QImage::Format f : {QImage::Format_BGR888, QImage::Format_ARGB32}) {
        const QImage source = PatternImage(7, 4, f);
        const int bpp = source.depth() / 8;
        for (const int angle : {0, 90, 180, 270}) {
            TzrMemBitmap b;
            b.Assign(&source, angle);
            const bool swap = angle == 90 || angle == 270;
            ASSERT_EQ(b.GetWidth(), swap ? 4 : 7);
            ASSERT_EQ(b.GetHeight(), swap ? 7 : 4);
            TzrReadHold hold(b);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 7; ++x) {
                    int dx = x, dy = y;
                    if (angle == 90) dx = 4 - 1 - y, dy = x;
                    if (angle == 180) dx = 7 - 1 - x, dy = 4 - 1 - y;
                    if (angle == 270) dx = y, dy = 7 - 1 - x;
                    ASSERT_EQ(std::memcmp(b.GetScanline(dy) + dx * bpp, source.constScanLine(y) + x * bpp, bpp), 0)
                        << "angle " << angle << " pixel " << x << "," << y;
                }
        }
    }
    const QImage small = PatternImage(3, 2, QImage::Format_BGR888);
    TzrMemBitmap r90, r450, r270, rMinus90;
    r90.Assign(&small, 90);
    r450.Assign(&small, 450);
    r270.Assign(&small, 270);
    rMinus90.Assign(&small, -90);
    QImage i90, i450, i270, iMinus90;
    r90.AssignTo(&i90);
    r450.AssignTo(&i450);
    r270.AssignTo(&i270);
    rMinus90.AssignTo(&iMinus90);
    EXPECT_EQ(i90, i450);
    EXPECT_EQ(i270, iMinus90);
    EXPECT_EQ(i90.pixel(1, 0), small.pixel(0, 0));
    EXPECT_EQ(MessageOf([&] { r90.Assign(&small, 45); }), "Rotation only in multiple of 90 degrees");
    EXPECT_EQ(r90.GetAccessCounter(), 0);
    EXPECT_EQ(r90.GetWidth(), 2);  // unchanged by the failure
}

TEST(MemBitmapImage, OtherFormatsArrive24BitAndShapeCanBeKept) {
    QImage grey(4, 3, QImage::Format_Grayscale8);
    grey.fill(0);
    grey.scanLine(1)[2] = 200;
    TzrMemBitmap b(&grey);
    EXPECT_EQ(b.GetPixelFormat(), pf24bit);
    {
        TzrReadHold hold(b);
        EXPECT_EQ(PixelOf(b, 2, 1), (std::vector<std::uint8_t>{200, 200, 200}));
    }
    // Without taking the source's shape: this bitmap's format and size stay; the source is
    // cut (or extended with zero bytes) to fit.
    TzrMemBitmap kept;
    kept.SetWidthHeightPixelFormat(2, 5, pf32bit, false);
    const QImage source = PatternImage(4, 3, QImage::Format_BGR888);
    kept.Assign(&source, false, 90);
    EXPECT_EQ(kept.GetWidth(), 2);
    EXPECT_EQ(kept.GetHeight(), 5);
    EXPECT_EQ(kept.GetPixelFormat(), pf32bit);
    TzrReadHold hold(kept);
    // Rotated source is 3 x 4 cut to 2 x 5 before rotation: i.e. source cut to 5 x 2.
    // Destination (1, 0) comes from source (0, 0).
    EXPECT_EQ(PixelOf(kept, 1, 0), (std::vector<std::uint8_t>{PatternByte(0, 0, 0), PatternByte(0, 0, 1),
                                                               PatternByte(0, 0, 2), 255}));
    // Source column 4 does not exist: zero bytes.
    EXPECT_EQ(PixelOf(kept, 0, 4), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(MemBitmapImage, AssignToWindowWritesOnlyTheOverlap) {
    TzrMemBitmap b;
    const QImage source = PatternImage(10, 8, QImage::Format_BGR888);
    b.Assign(&source);
    QImage target(6, 5, QImage::Format_BGR888);
    target.fill(Qt::white);
    b.AssignTo(&target, -2, 6);  // starts left of the bitmap, reaches past its bottom
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const int sx = x - 2, sy = y + 6;
            const QRgb expected = (sx >= 0 && sy < 8) ? source.pixel(sx, sy) : qRgb(255, 255, 255);
            EXPECT_EQ(target.pixel(x, y), expected) << x << "," << y;
        }
    QImage untouched(3, 3, QImage::Format_BGR888);
    untouched.fill(Qt::white);
    b.AssignTo(&untouched, 10, 0);
    b.AssignTo(&untouched, -3, 0);
    EXPECT_EQ(untouched.pixel(0, 0), qRgb(255, 255, 255));
    b.AssignTo(static_cast<QImage*>(nullptr), 0, 0);
    // The target takes this bitmap's format.
    QImage other(4, 4, QImage::Format_ARGB32);
    other.fill(0);
    b.AssignTo(&other, 1, 1);
    EXPECT_EQ(other.format(), QImage::Format_BGR888);
    EXPECT_EQ(other.pixel(0, 0), source.pixel(1, 1));
}

// ---- on disk ------------------------------------------------------------------------

TEST_F(OnDiskTest, ViewsLiveOnlyWhileHeldAndComeBackWithTheSameBytes) {
    TzrMemBitmap b;
    b.SetMemChunkSize(4096);
    b.SetOnDisk(true);
    b.SetWidthHeightPixelFormat(300, 100, pf32bit, false);  // 1200 bytes a row, 3 rows a chunk
    ASSERT_NE(b.GetMappedFile(), nullptr);
    EXPECT_EQ(b.GetMappedFile()->ViewCount(), 0u);
    FillPattern(b);
    EXPECT_EQ(b.GetMappedFile()->ViewCount(), 0u) << "views must be released when the last hold ends";
    {
        TzrReadHold outer(b);
        {
            TzrReadHold inner(b);
            b.GetScanline(50);
        }
        EXPECT_EQ(b.GetMappedFile()->ViewCount(), 1u) << "an outer hold keeps the view";
        b.GetScanline(49);  // same chunk (rows 48 to 50)
        EXPECT_EQ(b.GetMappedFile()->ViewCount(), 1u);
        b.GetAllScanlines();
        EXPECT_EQ(b.GetMappedFile()->ViewCount(), 34u);
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 300; x += 37)
                ASSERT_EQ(PixelOf(b, x, y)[2], PatternByte(x, y, 2));
    }
    EXPECT_EQ(b.GetMappedFile()->ViewCount(), 0u);
    EXPECT_FALSE(b.GetMappedFile()->IsFileMapped());
    // The file has no name left in the directory.
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    // Back into memory and out again, pixels kept.
    b.SetOnDisk(false);
    EXPECT_FALSE(b.GetOnDisk());
    EXPECT_EQ(b.GetMappedFile(), nullptr);
    EXPECT_EQ(b.GetMemChunkSize(), 4096);
    b.SetOnDisk(true);
    ASSERT_NE(b.GetMappedFile(), nullptr);
    TzrReadHold hold(b);
    EXPECT_EQ(PixelOf(b, 299, 99)[1], PatternByte(299, 99, 1));
}

TEST_F(OnDiskTest, AutomaticOnDiskAndKeepingOnDiskThroughResizes) {
    TzrMemBitmap b;
    b.SetAutoOnDiskSize(100000);
    b.SetWidthHeightPixelFormat(100, 100, pf24bit, false);  // 30000 bytes: in memory
    EXPECT_FALSE(b.GetOnDisk());
    b.SetWidthHeightPixelFormat(200, 200, pf24bit, false);  // 120000 bytes: on disk
    EXPECT_TRUE(b.GetOnDisk());
    EXPECT_NE(b.GetMappedFile(), nullptr);
    b.SetWidthHeightPixelFormat(10, 10, pf24bit, false);  // never cleared by allocation
    EXPECT_TRUE(b.GetOnDisk());
    FillPattern(b);
    b.SetWidthHeightPixelFormat(12, 11, pf32bit, true);
    EXPECT_TRUE(b.GetOnDisk());
    EXPECT_NE(b.GetMappedFile(), nullptr);
    TzrReadHold hold(b);
    EXPECT_EQ(PixelOf(b, 9, 9), (std::vector<std::uint8_t>{PatternByte(9, 9, 0), PatternByte(9, 9, 1),
                                                            PatternByte(9, 9, 2), 255}));
    EXPECT_EQ(PixelOf(b, 11, 10), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(OnDiskTest, BitmapOfTwoGigabytesIsWrittenAndReadBack) {
    struct statvfs fs {};
    ASSERT_EQ(statvfs(dir.c_str(), &fs), 0);
    const unsigned long long freeBytes = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    if (freeBytes < 6ULL << 30) GTEST_SKIP() << "needs 6 GB free in " << dir;

    // pf32bit rows of 1 MiB (one chunk each), 2 GiB in all. Each row is marked at both ends
    // with its number and every 256th row is written in full: a page fault of a mapped file
    // costs tens of microseconds here, so writing all 2 GiB would take far too long.
    const int width = 262144, height = 2048;
    TzrMemBitmap b;
    b.SetOnDisk(true);
    b.SetWidthHeightPixelFormat(width, height, pf32bit, false);
    ASSERT_EQ(b.GetChunkCount(), 2048);
    EXPECT_EQ(static_cast<long long>(b.GetChunkCount()) * b.GetChunkBytes(), 2LL << 30);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    {
        TzrWriteHold hold(b);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = b.GetScanline(y);
            std::memcpy(row, &y, sizeof y);
            std::memcpy(row + rowBytes - sizeof y, &y, sizeof y);
            if (y % 256 == 0) std::memset(row + sizeof y, y / 256 + 1, rowBytes - 2 * sizeof y);
        }
    }
    EXPECT_EQ(b.GetMappedFile()->ViewCount(), 0u);
    {
        TzrReadHold hold(b);
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* row = b.GetScanline(y);
            int first, last;
            std::memcpy(&first, row, sizeof first);
            std::memcpy(&last, row + rowBytes - sizeof last, sizeof last);
            ASSERT_EQ(first, y);
            ASSERT_EQ(last, y);
            const std::uint8_t middle = row[rowBytes / 2];
            ASSERT_EQ(middle, y % 256 == 0 ? static_cast<std::uint8_t>(y / 256 + 1) : 0) << y;
        }
        const std::uint8_t* full = b.GetScanline(256 * 5);
        for (std::size_t i = sizeof(int); i < rowBytes - sizeof(int); ++i) ASSERT_EQ(full[i], 6) << i;
        EXPECT_EQ(b.GetMappedFile()->ViewCount(), 2048u);
    }
    EXPECT_EQ(b.GetMappedFile()->ViewCount(), 0u);
}

// ---- threads ------------------------------------------------------------------------

TEST(MemBitmapThreads, TwoReadersAtOnceAndAWriterExcludesThem) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(8, 8, pf24bit, false);
    std::promise<void> firstIn, releaseFirst;
    auto first = std::async(std::launch::async, [&] {
        TzrReadHold hold(b);
        firstIn.set_value();
        releaseFirst.get_future().wait();
    });
    firstIn.get_future().wait();
    // A second reader gets in while the first holds.
    auto second = std::async(std::launch::async, [&] {
        TzrReadHold hold(b);
        return b.GetAccessCounter();
    });
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready) << "second reader blocked";
    EXPECT_EQ(second.get(), 2);
    // A writer waits for the reader.
    std::atomic<bool> written{false};
    auto writer = std::async(std::launch::async, [&] {
        TzrWriteHold hold(b);
        written = true;
        EXPECT_EQ(b.GetAccessCounter(), 1);
    });
    EXPECT_EQ(writer.wait_for(200ms), std::future_status::timeout);
    EXPECT_FALSE(written);
    releaseFirst.set_value();
    ASSERT_EQ(writer.wait_for(5s), std::future_status::ready) << "writer never got in";
    EXPECT_TRUE(written);
    first.get();

    // A reader waits for a writer.
    std::promise<void> writerIn, releaseWriter;
    auto holder = std::async(std::launch::async, [&] {
        TzrWriteHold hold(b);
        writerIn.set_value();
        releaseWriter.get_future().wait();
    });
    writerIn.get_future().wait();
    auto reader = std::async(std::launch::async, [&] { TzrReadHold hold(b); });
    EXPECT_EQ(reader.wait_for(200ms), std::future_status::timeout);
    releaseWriter.set_value();
    EXPECT_EQ(reader.wait_for(5s), std::future_status::ready);
    holder.get();
    EXPECT_EQ(b.GetAccessCounter(), 0);
}

TEST(MemBitmapThreads, HoldsNestAndAWriterReads) {
    TzrMemBitmap b;
    b.SetWidthHeightPixelFormat(8, 8, pf24bit, false);
    auto task = std::async(std::launch::async, [&] {
        TzrWriteHold w(b);
        TzrWriteHold w2(b);
        TzrReadHold r(b);
        b.GetScanline(3)[0] = 9;
        // Operations that take their own holds work inside the writer's hold.
        TzrMemBitmap copy(&b);
        return static_cast<int>(b.GetAccessCounter());
    });
    ASSERT_EQ(task.wait_for(5s), std::future_status::ready) << "a writer could not read";
    EXPECT_EQ(task.get(), 3);

    // A reader that reads again is not held up by a writer waiting for its first hold.
    std::promise<void> readerIn, goOn;
    auto reader = std::async(std::launch::async, [&] {
        TzrReadHold r(b);
        readerIn.set_value();
        goOn.get_future().wait();
        TzrReadHold again(b);
        return b.GetScanline(3)[0];
    });
    readerIn.get_future().wait();
    auto writer = std::async(std::launch::async, [&] { TzrWriteHold w(b); });
    std::this_thread::sleep_for(50ms);
    goOn.set_value();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready) << "re-entrant read deadlocked";
    EXPECT_EQ(reader.get(), 9);
    ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);

    // A reader may ask for write access; two such readers at once do not lock each other out.
    std::atomic<int> ready{0};
    auto upgrade = [&] {
        TzrReadHold r(b);
        ++ready;
        while (ready < 2) std::this_thread::yield();
        TzrWriteHold w(b);
        b.GetScanline(0)[0]++;
    };
    auto u1 = std::async(std::launch::async, upgrade);
    auto u2 = std::async(std::launch::async, upgrade);
    ASSERT_EQ(u1.wait_for(5s), std::future_status::ready) << "upgrade deadlocked";
    ASSERT_EQ(u2.wait_for(5s), std::future_status::ready) << "upgrade deadlocked";
    TzrReadHold r(b);
    EXPECT_EQ(b.GetScanline(0)[0], 2);
}

TEST_F(OnDiskTest, StressOfReadersAndWritersOnAnOnDiskBitmap) {
    // Writers fill a row with one value; readers must never see a row half written. Small
    // chunks so that views are mapped and released all the time.
    TzrMemBitmap b;
    b.SetMemChunkSize(8192);
    b.SetOnDisk(true);
    b.SetWidthHeightPixelFormat(1000, 40, pf32bit, false);
    std::atomic<int> writersInside{0}, readersInside{0}, violations{0};
    auto work = [&](unsigned seed) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 300; ++i) {
            const int row = static_cast<int>(rng() % 40);
            if (rng() % 4 == 0) {
                TzrWriteHold w(b);
                if (++writersInside != 1 || readersInside != 0) ++violations;
                std::uint8_t* p = b.GetScanline(row);
                const int value = static_cast<int>(rng() & 0xff);
                {
                    TzrReadHold nested(b);  // a writer reads
                    std::memset(p, value, 4000);
                }
                --writersInside;
            } else {
                TzrReadHold r(b);
                ++readersInside;
                if (writersInside != 0) ++violations;
                const std::uint8_t* p = b.GetScanline(row);
                for (int k = 1; k < 4000; ++k)
                    if (p[k] != p[0]) {
                        ++violations;
                        break;
                    }
                if (rng() % 3 == 0) {
                    TzrReadHold again(b);
                    b.GetScanline((row + 1) % 40);
                }
                --readersInside;
            }
        }
    };
    std::vector<std::future<void>> tasks;
    for (unsigned t = 0; t < 6; ++t) tasks.push_back(std::async(std::launch::async, work, t + 1));
    for (auto& task : tasks) ASSERT_EQ(task.wait_for(60s), std::future_status::ready) << "deadlock";
    for (auto& task : tasks) task.get();
    EXPECT_EQ(violations, 0);
    EXPECT_EQ(b.GetAccessCounter(), 0);
    EXPECT_EQ(b.GetMappedFile()->ViewCount(), 0u);
}
