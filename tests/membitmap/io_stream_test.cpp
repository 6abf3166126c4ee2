// The byte streams under the codecs, file types by name, and the row conversion.
#include <gtest/gtest.h>

#include <cstring>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"
#include "tests/support/tempdir.h"

namespace qb {
namespace {

class StreamTest : public test::TempDirTest {};

// Read, write, seek from each origin, size and position, on any stream.
void ExerciseStream(TzrStream& s) {
    EXPECT_EQ(s.GetSize(), 0);
    EXPECT_EQ(s.Write("abcdef", 6), 6);
    EXPECT_EQ(s.GetPosition(), 6);
    EXPECT_EQ(s.Seek(-4, TzrSeekOrigin::soEnd), 2);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 16), 4);
    EXPECT_STREQ(buf, "cdef");
    EXPECT_EQ(s.Read(buf, 16), 0);
    EXPECT_EQ(s.Seek(-3, TzrSeekOrigin::soCurrent), 3);
    EXPECT_EQ(s.Seek(1, TzrSeekOrigin::soBeginning), 1);
    EXPECT_EQ(s.Write("XY", 2), 2);
    EXPECT_EQ(s.GetSize(), 6);
    // Past the end: the gap reads as zero bytes once written behind.
    EXPECT_EQ(s.Seek(8, TzrSeekOrigin::soBeginning), 8);
    EXPECT_EQ(s.Write("Z", 1), 1);
    EXPECT_EQ(s.GetSize(), 9);
    s.SetPosition(0);
    char all[9];
    s.ReadBuffer(all, 9);
    EXPECT_EQ(std::memcmp(all, "aXYdef\0\0Z", 9), 0);
    EXPECT_EQ(s.Seek(-1, TzrSeekOrigin::soBeginning), -1);
    s.SetPosition(5);
    EXPECT_THROW(s.ReadBuffer(all, 9), Exception);
}

TEST_F(StreamTest, MemoryAndFileStreamsBehaveAlike) {
    TzrMemoryStream mem;
    ExerciseStream(mem);
    {
        TzrFileStream file(Path("f.bin"), TzrFileStream::Mode::fmCreate);
        ExerciseStream(file);
    }
    EXPECT_EQ(test::ReadFile(Path("f.bin")), std::string("aXYdef\0\0Z", 9));
    TzrMemoryStream copy(mem.Bytes().data(), mem.Bytes().size());
    EXPECT_EQ(copy.GetSize(), 9);
    EXPECT_EQ(copy.GetPosition(), 0);
}

TEST_F(StreamTest, FileStreamOpenCreateAndLocks) {
    try {
        TzrFileStream missing(Path("none"), TzrFileStream::Mode::fmOpenReadShareDenyWrite);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Cannot open file \"" + Path("none") + "\". No such file or directory");
    }
    test::WriteFile(Path("old"), "old contents");
    {
        TzrFileStream reader(Path("old"), TzrFileStream::Mode::fmOpenReadShareDenyWrite);
        EXPECT_EQ(reader.GetSize(), 12);
        EXPECT_THROW(reader.WriteBuffer("x", 1), Exception);  // read only
        // Writing is denied while it is read (and the file is not truncated).
        EXPECT_THROW(TzrFileStream(Path("old"), TzrFileStream::Mode::fmCreate), Exception);
        EXPECT_EQ(test::ReadFile(Path("old")), "old contents");
        // Other readers are welcome.
        TzrFileStream second(Path("old"), TzrFileStream::Mode::fmOpenReadShareDenyWrite);
        EXPECT_EQ(second.GetSize(), 12);
    }
    {
        TzrFileStream writer(Path("old"), TzrFileStream::Mode::fmCreate);
        EXPECT_EQ(writer.GetSize(), 0);  // truncated
        EXPECT_THROW(TzrFileStream(Path("old"), TzrFileStream::Mode::fmOpenReadShareDenyWrite), Exception);
    }
    EXPECT_THROW(TzrFileStream(dir, TzrFileStream::Mode::fmOpenReadShareDenyWrite), Exception);
    EXPECT_THROW(TzrFileStream(Path("no/such/dir"), TzrFileStream::Mode::fmCreate), Exception);
}

TEST(MemBitmapFileTypes, ByExtensionIgnoringCase) {
    EXPECT_EQ(TzrMemBitmap::GetFileType("IMAGE.TIF"), mbftTIFF);
    EXPECT_EQ(TzrMemBitmap::GetFileType("/a/b.c/a.Tiff"), mbftTIFF);
    EXPECT_EQ(TzrMemBitmap::GetFileType("x.pan"), mbftJPEG);
    EXPECT_EQ(TzrMemBitmap::GetFileType("y.JPEG"), mbftJPEG);
    EXPECT_EQ(TzrMemBitmap::GetFileType("y.jpg"), mbftJPEG);
    EXPECT_EQ(TzrMemBitmap::GetFileType("z.png"), mbftOther);
    EXPECT_EQ(TzrMemBitmap::GetFileType("/dir.tif/noext"), mbftOther);
    EXPECT_TRUE(TzrMemBitmap::CanRead("a.jpeg"));
    EXPECT_TRUE(TzrMemBitmap::CanRead("a.tif"));
    EXPECT_FALSE(TzrMemBitmap::CanRead("a.bmp"));
    EXPECT_TRUE(TzrMemBitmap::CanWrite("a.TIF"));
    EXPECT_FALSE(TzrMemBitmap::CanWrite("a.jpg"));

    TzrMemBitmap bmp;
    TzrMemoryStream s;
    try {
        bmp.LoadFromStream(s, mbftOther);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Unsupported file type");
    }
}

TEST(MemBitmapRows, RGB2BGRSwapsFirstAndThirdByte) {
    const std::uint8_t in3[6] = {1, 2, 3, 4, 5, 6};
    std::uint8_t out3[6] = {};
    TzrMemBitmap::RGB2BGR(in3, out3, 2, 3);
    EXPECT_EQ(std::memcmp(out3, "\3\2\1\6\5\4", 6), 0);
    const std::uint8_t in4[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t out4[8] = {};
    TzrMemBitmap::RGB2BGR(in4, out4, 2, 4);
    EXPECT_EQ(std::memcmp(out4, "\3\2\1\4\7\6\5\10", 8), 0);
}

}  // namespace
}  // namespace qb
