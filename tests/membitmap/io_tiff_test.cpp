// TIFF input and output of the memory bitmap, on files made with libtiff itself.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"
#include "tests/membitmap/io_test_files.h"
#include "tests/support/tempdir.h"

namespace qb {
namespace {

using test::PatternPixel;
using test::Rgba;
using test::TiffLayout;

class TiffIoTest : public test::TempDirTest {};

// Expected bitmap pixel (B, G, R(, A)) of a pattern file.
Rgba Expected(const TiffLayout& layout, int x, int y, int page = 0) {
    const Rgba p = PatternPixel(x, y + page);
    if (layout.samples == 1 && layout.palette) return test::PaletteColour(p.r);
    if (layout.samples == 1) return Rgba{p.r, p.r, p.r, 255};
    if (layout.samples == 4)
        return Rgba{static_cast<std::uint8_t>(p.r * p.a / 255), static_cast<std::uint8_t>(p.g * p.a / 255),
                    static_cast<std::uint8_t>(p.b * p.a / 255), p.a};
    return p;
}

// Number of pixels that differ from the pattern (first difference reported).
int CountMismatches(const TzrMemBitmap& bmp, const TiffLayout& layout, int page = 0) {
    int bad = 0;
    TzrReadHold hold(bmp);
    const int bpp = bmp.GetBytesPerPixel();
    for (int y = 0; y < bmp.GetHeight(); ++y) {
        const std::uint8_t* row = bmp.GetScanline(y);
        for (int x = 0; x < bmp.GetWidth(); ++x) {
            const Rgba e = Expected(layout, x, y, page);
            const std::uint8_t* p = row + x * bpp;
            const bool same = p[0] == e.b && p[1] == e.g && p[2] == e.r && (bpp == 3 || p[3] == e.a);
            if (!same && bad++ == 0)
                ADD_FAILURE() << "first difference at " << x << "," << y << ": got " << int(p[0]) << " " << int(p[1])
                              << " " << int(p[2]) << " expected " << int(e.b) << " " << int(e.g) << " " << int(e.r);
        }
    }
    return bad;
}

TEST_F(TiffIoTest, LayoutsLoadPixelExact) {
    struct Case {
        const char* name;
        TiffLayout layout;
        TPixelFormat format;
    };
    std::vector<Case> cases;
    TiffLayout s;
    cases.push_back({"rgb one strip", s, pf24bit});
    for (int rps : {1, 5, 23, 100}) {
        TiffLayout t;
        t.rowsPerStrip = rps;
        cases.push_back({"rgb strips", t, pf24bit});
    }
    s = TiffLayout{};
    s.samples = 4;
    s.rowsPerStrip = 4;
    cases.push_back({"rgba strips", s, pf32bit});
    s.rowsPerStrip = 0;
    cases.push_back({"rgba one strip", s, pf32bit});
    s = TiffLayout{};
    s.samples = 1;
    s.rowsPerStrip = 3;
    cases.push_back({"grey", s, pf24bit});
    s.palette = true;
    cases.push_back({"palette", s, pf24bit});
    s = TiffLayout{};
    s.bits = 16;
    s.rowsPerStrip = 6;
    cases.push_back({"rgb 16 bit", s, pf24bit});
    // Tiles (32 × 32, partly outside the image) go through the whole-image reader. (The
    // codec refuses uncompressed tiles smaller than 1 KB when it reads without a mapping.)
    s = TiffLayout{};
    s.tile = 32;
    cases.push_back({"rgb tiled", s, pf24bit});
    s.width = 70;
    s.height = 90;
    cases.push_back({"rgb tiled larger", s, pf24bit});
    s.bits = 16;
    cases.push_back({"rgb 16 bit tiled", s, pf24bit});
    s.bits = 8;
    s.samples = 4;
    cases.push_back({"rgba tiled", s, pf32bit});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = Path("layout.tif");
        test::WriteTiff(name, c.layout);
        TzrMemBitmap bmp;
        try {
            bmp.LoadFromFile(name, 0);
        } catch (const Exception& e) {
            ADD_FAILURE() << e.message();
            continue;
        }
        EXPECT_EQ(bmp.GetWidth(), c.layout.width);
        EXPECT_EQ(bmp.GetHeight(), c.layout.height);
        EXPECT_EQ(bmp.GetPixelFormat(), c.format);
        EXPECT_EQ(CountMismatches(bmp, c.layout), 0);
        EXPECT_EQ(bmp.GetAccessCounter(), 0);
    }
}

TEST_F(TiffIoTest, ResolutionFollowsUnit) {
    TiffLayout s;
    s.resolutionUnit = RESUNIT_CENTIMETER;
    s.xResolution = 100;
    s.yResolution = 50;
    test::WriteTiff(Path("cm.tif"), s);
    TzrMemBitmap bmp;
    bmp.LoadFromFile(Path("cm.tif"));
    EXPECT_NEAR(bmp.XResolution, 254.0, 1e-4);
    EXPECT_NEAR(bmp.YResolution, 127.0, 1e-4);

    s.resolutionUnit = RESUNIT_INCH;
    s.xResolution = 300;
    s.yResolution = 150;
    test::WriteTiff(Path("inch.tif"), s);
    bmp.LoadFromFile(Path("inch.tif"));
    EXPECT_DOUBLE_EQ(bmp.XResolution, 300.0);
    EXPECT_DOUBLE_EQ(bmp.YResolution, 150.0);

    test::WriteTiff(Path("none.tif"), TiffLayout{});
    bmp.LoadFromFile(Path("none.tif"));
    EXPECT_EQ(bmp.XResolution, 0.0);
    EXPECT_EQ(bmp.YResolution, 0.0);
}

TEST_F(TiffIoTest, PageSelectsDirectory) {
    TiffLayout s;
    s.pages = 3;
    test::WriteTiff(Path("pages.tif"), s);
    TzrMemBitmap bmp;
    bmp.LoadFromFile(Path("pages.tif"), 2);
    EXPECT_EQ(CountMismatches(bmp, s, 2), 0);
    EXPECT_THROW(bmp.LoadFromFile(Path("pages.tif"), 3), Exception);
}

TEST_F(TiffIoTest, SaveWritesPackBitsAt75DpiAndRoundTrips) {
    for (TPixelFormat format : {pf24bit, pf32bit}) {
        SCOPED_TRACE(format == pf24bit ? "pf24bit" : "pf32bit");
        TzrMemBitmap bmp;
        bmp.SetWidthHeightPixelFormat(301, 77, format, false);
        bmp.XResolution = 300;  // not written: the file always says 75 dpi
        {
            TzrWriteHold hold(bmp);
            for (int y = 0; y < 77; ++y) {
                std::uint8_t* row = bmp.GetScanline(y);
                for (int x = 0; x < 301 * bmp.GetBytesPerPixel(); ++x) row[x] = static_cast<std::uint8_t>(x * 31 + y * 7 + (x / 50) * 50);
            }
        }
        const std::string name = Path("saved.tif");
        bmp.SaveToFile(name);

        TIFF* tif = TIFFOpen(name.c_str(), "r");
        ASSERT_NE(tif, nullptr);
        std::uint16_t compression = 0, spp = 0, bps = 0, unit = 0, photometric = 0, planar = 0;
        float xres = 0, yres = 0;
        char* software = nullptr;
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
        TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres);
        TIFFGetField(tif, TIFFTAG_SOFTWARE, &software);
        EXPECT_EQ(compression, COMPRESSION_PACKBITS);
        EXPECT_EQ(spp, bmp.GetBytesPerPixel());
        EXPECT_EQ(bps, 8);
        EXPECT_EQ(unit, RESUNIT_INCH);
        EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
        EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
        EXPECT_EQ(xres, 75.0f);
        EXPECT_EQ(yres, 75.0f);
        ASSERT_NE(software, nullptr);
        EXPECT_STREQ(software, "Kelmora");
        EXPECT_EQ(TIFFNumberOfDirectories(tif), 1);
        // A fourth sample says what it is: alpha, the colours not multiplied by it (a reader
        // that multiplied would break the round trip below).
        std::uint16_t extraCount = 0;
        std::uint16_t* extra = nullptr;
        const bool hasExtra = TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1;
        EXPECT_EQ(hasExtra, format == pf32bit);
        if (format == pf32bit && hasExtra) {
            ASSERT_EQ(extraCount, 1);
            EXPECT_EQ(extra[0], EXTRASAMPLE_UNASSALPHA);
        }
        // Samples are stored red, green, blue(, alpha).
        std::vector<std::uint8_t> line(TIFFScanlineSize(tif));
        for (std::uint32_t y = 0; y <= 5; ++y) ASSERT_EQ(TIFFReadScanline(tif, line.data(), y, 0), 1);
        TIFFClose(tif);
        {
            TzrReadHold hold(bmp);
            const std::uint8_t* row = bmp.GetScanline(5);
            EXPECT_EQ(line[0], row[2]);
            EXPECT_EQ(line[2], row[0]);
            EXPECT_EQ(line[1], row[1]);
        }

        TzrMemBitmap back;
        back.LoadFromFile(name);
        ASSERT_EQ(back.GetPixelFormat(), format);
        ASSERT_EQ(back.GetWidth(), 301);
        ASSERT_EQ(back.GetHeight(), 77);
        TzrReadHold h1(bmp);
        TzrReadHold h2(back);
        for (int y = 0; y < 77; ++y)
            ASSERT_EQ(std::memcmp(bmp.GetScanline(y), back.GetScanline(y), 301 * bmp.GetBytesPerPixel()), 0) << "row " << y;
    }
}

TEST_F(TiffIoTest, FailuresCarryTheirMessages) {
    auto messageOf = [&](const std::string& name) -> std::string {
        TzrMemBitmap bmp;
        try {
            bmp.LoadFromFile(name);
        } catch (const Exception& e) {
            EXPECT_EQ(bmp.GetAccessCounter(), 0);
            return e.message();
        }
        return "(loaded)";
    };
    test::WriteFile(Path("text.tif"), "This is not a TIFF file at all.\n");
    EXPECT_EQ(messageOf(Path("text.tif")), "TIFFOpenStream failed");
    test::WriteFile(Path("empty.tif"), "");
    EXPECT_EQ(messageOf(Path("empty.tif")), "TIFFOpenStream failed");

    TiffLayout s;
    s.samples = 1;
    s.planarTag = false;  // libtiff writes no PlanarConfiguration for one sample unless told
    test::WriteTiff(Path("noplanar.tif"), s);
    EXPECT_EQ(messageOf(Path("noplanar.tif")), "Required TIFF tag not found");

    // A layout the RGBA readers refuse (LogL without its compression): each reader fails
    // with its own message.
    for (std::uint32_t rps : {0u, 2u}) {
        TzrMemoryStream out;
        TIFF* tif = TzrMemBitmap::TIFFOpenStream(out, 1);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 8u);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 4u);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_LOGL);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        if (rps != 0) TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rps);
        std::uint8_t row[8] = {};
        for (std::uint32_t y = 0; y < 4; ++y) TIFFWriteScanline(tif, row, y, 0);
        TIFFClose(tif);
        TzrMemoryStream in(out.Bytes());
        TzrMemBitmap bmp;
        try {
            bmp.LoadFromStream(in, mbftTIFF);
            ADD_FAILURE() << "loaded";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), rps == 0 ? "TIFFReadRGBAImage failed" : "TIFFReadRGBAStrip failed");
        }
        EXPECT_EQ(bmp.GetAccessCounter(), 0);
    }

    TzrMemBitmap bmp;
    EXPECT_THROW(bmp.LoadFromFile(Path("missing.tif")), Exception);
}

// A directory that promises far more than the file holds, or sizes out of range, fails
// cleanly (or loads what is there) without touching memory it does not own.
TEST_F(TiffIoTest, HostileSizesFailCleanly) {
    struct Case {
        std::uint32_t width, height, rowsPerStrip;
    };
    for (const Case c : {Case{0x80000001u, 4, 1}, Case{4, 0x80000001u, 1}, Case{3000, 2000, 0x7FFFFFFF},
                         Case{2000, 3000, 0}, Case{0, 10, 1}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " rps " << c.rowsPerStrip);
        TzrMemoryStream out;
        {
            TIFF* tif = TzrMemBitmap::TIFFOpenStream(out, 1);
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, c.width);
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, c.height);
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
            if (c.rowsPerStrip) TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, c.rowsPerStrip);
            std::uint8_t some[64] = {};
            TIFFWriteRawStrip(tif, 0, some, sizeof some);
            TIFFClose(tif);
        }
        TzrMemoryStream in(out.Bytes());
        TzrMemBitmap bmp;
        try {
            bmp.LoadFromStream(in, mbftTIFF);
        } catch (const Exception&) {
        }
        EXPECT_EQ(bmp.GetAccessCounter(), 0);
    }
}

// A stream that takes a millisecond for every read, so that progress steps come due.
class SlowStream : public TzrMemoryStream {
public:
    explicit SlowStream(std::string bytes) : TzrMemoryStream(std::move(bytes)) {}
    int64_t Read(void* buffer, int64_t count) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return TzrMemoryStream::Read(buffer, count);
    }
};

TEST_F(TiffIoTest, StripLoadReportsProgressAndCancels) {
    // 2000 × 1 strips of 8000 bytes: 63 strips to a batch, 3 batches of at least 63 ms.
    TiffLayout s;
    s.width = 2000;
    s.height = 130;
    s.rowsPerStrip = 1;
    test::WriteTiff(Path("p.tif"), s);
    const std::string bytes = test::ReadFile(Path("p.tif"));

    struct Report {
        TProgressStage stage;
        int percent;
        TRect rect;
        std::string msg;
    };
    std::vector<Report> reports;
    TzrMemBitmap bmp;
    int running = 0;
    bool cancelOnSecond = false;
    bmp.OnProgress = [&](TzrMemBitmap* sender, TProgressStage stage, std::uint8_t percent, bool, const TRect& rect,
                         const std::string& msg) {
        EXPECT_EQ(sender, &bmp);
        reports.push_back({stage, percent, rect, msg});
        if (stage == psRunning && ++running == 2 && cancelOnSecond) bmp.Cancel();
    };
    SlowStream in(bytes);
    bmp.LoadFromStream(in, mbftTIFF);
    ASSERT_GE(reports.size(), 4u);  // start, a step after each batch, end
    EXPECT_EQ(reports.front().stage, psStarting);
    EXPECT_EQ(reports.front().msg, "Loading...");
    EXPECT_EQ(reports.back().stage, psEnding);
    EXPECT_EQ(reports.back().percent, 100);
    int lastRow = 0;
    for (size_t i = 1; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].stage, psRunning);
        EXPECT_EQ(reports[i].msg, "Loading...");
        EXPECT_EQ(reports[i].rect.top, lastRow);
        EXPECT_GT(reports[i].rect.bottom, lastRow);
        EXPECT_EQ(reports[i].rect.right, 2000);
        EXPECT_EQ(reports[i].percent, static_cast<int>(reports[i].rect.bottom * 100.0 / 130 + 0.5));
        lastRow = reports[i].rect.bottom;
    }
    EXPECT_EQ(CountMismatches(bmp, s), 0);

    // Cancelled on the second running report: the silent abort, the end still reported,
    // and the holds released.
    reports.clear();
    running = 0;
    cancelOnSecond = true;
    bmp.ProcessMessages = true;  // no event loop in this program: nothing to process
    SlowStream again(bytes);
    EXPECT_THROW(bmp.LoadFromStream(again, mbftTIFF), EAbort);
    EXPECT_EQ(reports.back().stage, psEnding);
    EXPECT_EQ(running, 2);
    EXPECT_EQ(bmp.GetAccessCounter(), 0);
    // A TIFF load does not clear the request: the next strip load stops at its first step.
    reports.clear();
    SlowStream third(bytes);
    EXPECT_THROW(bmp.LoadFromStream(third, mbftTIFF), EAbort);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].stage, psStarting);
    EXPECT_EQ(reports[1].stage, psEnding);
}

}  // namespace
}  // namespace qb
