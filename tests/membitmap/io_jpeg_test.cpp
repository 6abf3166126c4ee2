// JPEG input and output of the memory bitmap, on files made and decoded with libjpeg itself.
#include <gtest/gtest.h>

#include <QImage>

#include <unistd.h>

#include <cstring>
#include <vector>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "components/MemBitmapIO/zrmembitmap_io.h"
#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"
#include "tests/membitmap/io_test_files.h"
#include "tests/support/tempdir.h"

namespace qb {
namespace {

class JpegIoTest : public test::TempDirTest {
protected:
    std::string LoadMessage(const std::string& name) {
        TzrMemBitmap bmp;
        try {
            bmp.LoadFromFile(name);
        } catch (const Exception& e) {
            EXPECT_EQ(bmp.GetAccessCounter(), 0);
            return e.message();
        }
        return "(loaded)";
    }
};

// Loads a file and compares it with libjpeg's own decode of the same file.
void ExpectSameAsReference(const std::string& name) {
    const test::Decoded ref = test::DecodeJpegReference(name);
    TzrMemBitmap bmp;
    bmp.LoadFromFile(name);
    ASSERT_EQ(bmp.GetWidth(), ref.width);
    ASSERT_EQ(bmp.GetHeight(), ref.height);
    ASSERT_EQ(bmp.GetPixelFormat(), pf24bit);
    EXPECT_EQ(bmp.GetAccessCounter(), 0);
    TzrReadHold hold(bmp);
    for (int y = 0; y < ref.height; ++y)
        ASSERT_EQ(std::memcmp(bmp.GetScanline(y), ref.bgr.data() + static_cast<size_t>(y) * ref.width * 3, ref.width * 3), 0)
            << "row " << y;
}

TEST_F(JpegIoTest, ColourGreyAndProgressiveLoadAsTheCodecDecodes) {
    // 1000 wide: batches of 16 rows; 173 high ends in a partial batch.
    test::WriteJpeg(Path("colour.jpg"), 1000, 173, 3, false);
    ExpectSameAsReference(Path("colour.jpg"));
    test::WriteJpeg(Path("prog.JPEG"), 211, 67, 3, true);
    ExpectSameAsReference(Path("prog.JPEG"));
    test::WriteJpeg(Path("grey.pan"), 57, 31, 1, false);
    ExpectSameAsReference(Path("grey.pan"));

    // Greyscale: blue, green and red equal.
    TzrMemBitmap bmp;
    bmp.LoadFromFile(Path("grey.pan"));
    TzrReadHold hold(bmp);
    for (int y = 0; y < 31; ++y) {
        const std::uint8_t* row = bmp.GetScanline(y);
        for (int x = 0; x < 57; ++x) {
            ASSERT_EQ(row[x * 3], row[x * 3 + 1]);
            ASSERT_EQ(row[x * 3], row[x * 3 + 2]);
        }
    }
}

TEST_F(JpegIoTest, OnDiskBitmapLoadsTheSame) {
    test::WriteJpeg(Path("d.jpg"), 300, 50, 3, false);
    const test::Decoded ref = test::DecodeJpegReference(Path("d.jpg"));
    TzrMemBitmap bmp;
    bmp.SetOnDisk(true);
    bmp.LoadFromFile(Path("d.jpg"));
    ASSERT_TRUE(bmp.GetOnDisk());
    TzrReadHold hold(bmp);
    for (int y = 0; y < 50; ++y)
        ASSERT_EQ(std::memcmp(bmp.GetScanline(y), ref.bgr.data() + static_cast<size_t>(y) * 900, 900), 0);
}

TEST_F(JpegIoTest, BatchRowsFollowTheBudget) {
    EXPECT_EQ(io::JPEGRowsPerBatch(1000, 5000, false), 16);
    EXPECT_EQ(io::JPEGRowsPerBatch(1000, 5000, true), 160);
    EXPECT_EQ(io::JPEGRowsPerBatch(1000, 10, false), 10);   // at most the height
    EXPECT_EQ(io::JPEGRowsPerBatch(30000, 500, false), 1);  // at least one row
    EXPECT_EQ(io::JPEGRowsPerBatch(10, 5000, false), 2000);
}

TEST_F(JpegIoTest, SaveHonoursQualityProgressiveAndDensity) {
    TzrMemBitmap bmp;
    bmp.SetWidthHeightPixelFormat(123, 45, pf24bit, false);
    {
        TzrWriteHold hold(bmp);
        for (int y = 0; y < 45; ++y) {
            std::uint8_t* row = bmp.GetScanline(y);
            for (int x = 0; x < 123; ++x) {
                row[x * 3] = static_cast<std::uint8_t>(x * 2);       // blue ramps across
                row[x * 3 + 1] = 128;
                row[x * 3 + 2] = static_cast<std::uint8_t>(y * 5);   // red ramps down
            }
        }
    }
    bmp.XResolution = 299.9;
    bmp.YResolution = 150.2;
    bmp.JPEGQuality = 100;
    std::vector<std::string> reports;
    bmp.OnProgress = [&](TzrMemBitmap*, TProgressStage stage, std::uint8_t, bool, const TRect&, const std::string& msg) {
        if (stage != psRunning) reports.push_back(msg);
    };
    bmp.SaveToFile(Path("q100.jpg"));
    EXPECT_EQ(reports, (std::vector<std::string>{"Saving...", "Saving..."}));
    test::JpegFacts f = test::ReadJpegFacts(Path("q100.jpg"));
    EXPECT_EQ(f.width, 123);
    EXPECT_EQ(f.height, 45);
    EXPECT_EQ(f.components, 3);
    EXPECT_EQ(f.densityUnit, 1);
    EXPECT_EQ(f.xDensity, 299);
    EXPECT_EQ(f.yDensity, 150);
    EXPECT_FALSE(f.progressive);
    EXPECT_EQ(f.quant0, 1);  // quality 100

    // The colours come back in their places (within the codec's loss).
    const test::Decoded back = test::DecodeJpegReference(Path("q100.jpg"));
    for (int y : {0, 20, 44})
        for (int x : {0, 60, 122}) {
            const std::uint8_t* p = back.bgr.data() + (static_cast<size_t>(y) * 123 + x) * 3;
            EXPECT_NEAR(p[0], x * 2, 4);
            EXPECT_NEAR(p[1], 128, 4);
            EXPECT_NEAR(p[2], y * 5, 4);
        }

    bmp.JPEGQuality = 50;
    bmp.ProgressiveJPEG = true;
    bmp.SaveToFile(Path("q50.jpeg"));
    f = test::ReadJpegFacts(Path("q50.jpeg"));
    EXPECT_TRUE(f.progressive);
    EXPECT_EQ(f.quant0, 16);  // the standard luminance table at quality 50
    ExpectSameAsReference(Path("q50.jpeg"));

    // Into a memory stream as well; and a stream save with type 2 is refused.
    TzrMemoryStream mem;
    bmp.SaveToStream(mem, mbftJPEG);
    EXPECT_GT(mem.GetSize(), 100);
    EXPECT_EQ(static_cast<unsigned char>(mem.Bytes()[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(mem.Bytes()[1]), 0xD8);
    try {
        bmp.SaveToStream(mem, mbftOther);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Unsupported file type");
    }
}

TEST_F(JpegIoTest, ThirtyTwoBitSaveCreatesTheFileThenFails) {
    TzrMemBitmap bmp;
    bmp.SetWidthHeightPixelFormat(4, 4, pf32bit, false);
    try {
        bmp.SaveToFile(Path("x.jpg"));
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Image should be 24 bit");
    }
    EXPECT_TRUE(test::ReadFile(Path("x.jpg")).empty());
    EXPECT_EQ(::access(Path("x.jpg").c_str(), F_OK), 0);
    EXPECT_EQ(bmp.GetAccessCounter(), 0);
}

TEST_F(JpegIoTest, BadFilesFailWithTheCodecsMessages) {
    test::WriteJpeg(Path("good.jpg"), 64, 64, 3, false);
    const std::string good = test::ReadFile(Path("good.jpg"));

    test::WriteFile(Path("cut.jpg"), good.substr(0, good.size() / 2));
    EXPECT_EQ(LoadMessage(Path("cut.jpg")), "Premature end of JPEG file");
    test::WriteFile(Path("text.jpg"), "Hello, world");
    EXPECT_EQ(LoadMessage(Path("text.jpg")), "Not a JPEG file: starts with 0x48 0x65");
    test::WriteFile(Path("empty.jpg"), "");
    EXPECT_EQ(LoadMessage(Path("empty.jpg")), "Empty input file");

    // Any warning ends the load: an unknown JFIF major version in the APP0 segment.
    std::string jfif = good;
    ASSERT_EQ(jfif.substr(6, 4), "JFIF");
    jfif[11] = 2;
    test::WriteFile(Path("jfif.jpg"), jfif);
    EXPECT_EQ(LoadMessage(Path("jfif.jpg")), "Warning: unknown JFIF revision number 2.01");

    // Corrupt entropy data: the codec's warning text.
    std::string corrupt = good;
    for (size_t i = corrupt.size() - 200; i < corrupt.size() - 150; ++i) corrupt[i] = static_cast<char>(0xFF);
    test::WriteFile(Path("corrupt.jpg"), corrupt);
    const std::string m = LoadMessage(Path("corrupt.jpg"));
    EXPECT_NE(m, "(loaded)");
    EXPECT_FALSE(m.empty());
}

// A stream that fails after some bytes: its own exception comes out of the codec, and the
// holds and the codec's objects are released (the leak checker sees the rest).
class FailingStream : public TzrMemoryStream {
public:
    FailingStream(std::string bytes, int64_t failAt) : TzrMemoryStream(std::move(bytes)), FailAt(failAt) {}
    int64_t Read(void* buffer, int64_t count) override {
        if (GetPosition() + count > FailAt) throw Exception("disk gone");
        return TzrMemoryStream::Read(buffer, count);
    }
    int64_t Write(const void* buffer, int64_t count) override {
        if (GetPosition() + count > FailAt) throw Exception("disk full");
        return TzrMemoryStream::Write(buffer, count);
    }
    int64_t FailAt;
};

TEST_F(JpegIoTest, StreamFailuresPassThrough) {
    test::WriteJpeg(Path("big.jpg"), 600, 400, 3, false, 98);
    const std::string bytes = test::ReadFile(Path("big.jpg"));
    ASSERT_GT(bytes.size(), 70000u);  // more than one read block of the source
    FailingStream in(bytes, 65536 + 10);
    TzrMemBitmap bmp;
    try {
        bmp.LoadFromStream(in, mbftJPEG);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "disk gone");
    }
    EXPECT_EQ(bmp.GetAccessCounter(), 0);

    bmp.LoadFromFile(Path("big.jpg"));
    FailingStream out("", 1000);
    try {
        bmp.SaveToStream(out, mbftJPEG);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "disk full");
    }
    try {
        bmp.SaveToStream(out, mbftTIFF);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Could not write to TIFF stream. Perhaps the disk is full?");
    }
    EXPECT_EQ(bmp.GetAccessCounter(), 0);
}

TEST_F(JpegIoTest, CancelRequestIsClearedByJpegLoads) {
    test::WriteJpeg(Path("c.jpg"), 40, 40, 3, false);
    TzrMemBitmap bmp;
    bmp.Cancel();
    EXPECT_TRUE(bmp.CancelRequested);
    bmp.LoadFromFile(Path("c.jpg"));
    EXPECT_FALSE(bmp.CancelRequested);
    EXPECT_EQ(bmp.GetWidth(), 40);
}

TEST_F(JpegIoTest, SizesFromHeadersAndOtherFormats) {
    test::WriteJpeg(Path("s.jpg"), 321, 123, 3, false);
    // Only the header is read: a file cut right after its frame header still answers.
    const std::string bytes = test::ReadFile(Path("s.jpg"));
    test::WriteFile(Path("head.jpg"), bytes.substr(0, 700));
    int w = 0, h = 0;
    TzrMemBitmap::GetSizeFromFile(Path("head.jpg"), &w, &h);
    EXPECT_EQ(w, 321);
    EXPECT_EQ(h, 123);

    test::TiffLayout layout;
    layout.width = 55;
    layout.height = 66;
    test::WriteTiff(Path("s.TIFF"), layout);
    TzrMemBitmap::GetSizeFromFile(Path("s.TIFF"), &w, &h);
    EXPECT_EQ(w, 55);
    EXPECT_EQ(h, 66);

    QImage png(17, 9, QImage::Format_RGB32);
    png.fill(qRgb(10, 20, 30));
    png.setPixel(16, 8, qRgb(200, 100, 50));
    ASSERT_TRUE(png.save(QString::fromStdString(Path("p.png"))));
    w = h = 0;
    TzrMemBitmap::GetSizeFromFile(Path("p.png"), &w, nullptr);
    EXPECT_EQ(w, 17);
    TzrMemBitmap::GetSizeFromFile(Path("p.png"), nullptr, &h);
    EXPECT_EQ(h, 9);

    test::WriteFile(Path("junk.png"), "not a picture");
    EXPECT_THROW(TzrMemBitmap::GetSizeFromFile(Path("junk.png"), &w, &h), Exception);

    // Other formats load through the toolkit, reported as a start and an end.
    TzrMemBitmap bmp;
    std::vector<TProgressStage> stages;
    bmp.OnProgress = [&](TzrMemBitmap*, TProgressStage stage, std::uint8_t, bool, const TRect&, const std::string&) {
        stages.push_back(stage);
    };
    bmp.LoadFromFile(Path("p.png"));
    EXPECT_EQ(stages, (std::vector<TProgressStage>{psStarting, psEnding}));
    ASSERT_EQ(bmp.GetWidth(), 17);
    ASSERT_EQ(bmp.GetHeight(), 9);
    TzrReadHold hold(bmp);
    const std::uint8_t* p = bmp.GetScanline(8) + 16 * bmp.GetBytesPerPixel();
    EXPECT_EQ(p[0], 50);
    EXPECT_EQ(p[1], 100);
    EXPECT_EQ(p[2], 200);

}

}  // namespace
}  // namespace qb
