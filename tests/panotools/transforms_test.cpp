// The image transforms of TPanoCorrect: what they hand the library (stand-in libraries), and
// what they give on the real libpano13 through the bridge, against PTmender as the oracle.
#include <gtest/gtest.h>

#include <QImage>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "tests/panotools/standin_support.h"
#include "tests/support/failure.h"
#include "tests/support/scene.h"
#include "tests/support/tempdir.h"

using namespace qb;
using qb::test::FailureMessage;
using qb::test::LibraryFile;
using qb::test::StandIn;
using qb::test::StandInLog;

namespace {

// A bitmap whose every byte differs from its neighbours: byte i of row y is (y * 31 + i * 7) % 256.
void FillDistinct(TzrMemBitmap& bitmap, int width, int height, TPixelFormat format) {
    bitmap.SetWidthHeightPixelFormat(width, height, format, false);
    bitmap.BeginWrite();
    const int rowBytes = width * bitmap.GetBytesPerPixel();
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap.GetScanline(y);
        for (int i = 0; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(y * 31 + i * 7 + 1);
    }
    bitmap.EndWrite();
}

bool SameBitmaps(const TzrMemBitmap& a, const TzrMemBitmap& b) {
    if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() || a.GetPixelFormat() != b.GetPixelFormat())
        return false;
    const size_t rowBytes = static_cast<size_t>(a.GetWidth()) * a.GetBytesPerPixel();
    a.BeginRead();
    b.BeginRead();
    bool same = true;
    for (int y = 0; y < a.GetHeight() && same; ++y) same = std::memcmp(a.GetScanline(y), b.GetScanline(y), rowBytes) == 0;
    b.EndRead();
    a.EndRead();
    return same;
}

// A record of width x height with pixels (zeroed).
void MakeRecord(TptImage& im, int width, int height, int bitsPerPixel) {
    im.width = width;
    im.height = height;
    im.bitsPerPixel = bitsPerPixel;
    im.AllocData();
}

bool AllZero(const TptImage& im) {
    for (int i = 0; i < im.dataSize; ++i)
        if (im.Pixels()[i] != 0) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- with the stand-in library

class PanoTransforms : public ::testing::Test {
protected:
    LibraryFile file{StandIn("full")};
    StandInLog log{"full"};
};

// The transform and stitch preferences records of all four transforms, with and without
// the progress display.
TEST_F(PanoTransforms, RecordsOfTheFourTransforms) {
    ASSERT_TRUE(log.ok());
    struct Case {
        const char* name;
        std::function<void(TPanoCorrect&, TptImage& source, TptImage& dest)> run;
        int32_t tool, mode, adjustMode, mallocs;
    };
    const std::vector<Case> cases = {
        {"Correct", [](TPanoCorrect& pc, TptImage& s, TptImage& d) { pc.Correct(s, d); }, 1, 3 + 8 + 32, -1, 3},
        {"Insert",
         [](TPanoCorrect& pc, TptImage& s, TptImage& d) {
             pc.Insert(s, d, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 32, 360, 4);
         },
         3, 43, 2, 0},
        {"Extract",
         [](TPanoCorrect& pc, TptImage& s, TptImage& d) { pc.Extract(s, d, 60, 0, 0, 0, 16, 12); }, 3, 3, 3, 0},
        {"Resize", [](TPanoCorrect& pc, TptImage& s, TptImage& d) { pc.Resize(&s, d, 20, 20); }, 3, 43, 2, 0},
    };
    for (const Case& c : cases) {
        for (bool progress : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (progress ? " with progress" : ""));
            TPanoCorrect pc;
            pc.ShowProgress = progress;
            pc.Interpolator = ptSpline36;
            pc.Gamma = 1.8;
            TptImage source, dest;
            MakeRecord(source, 40, 30, 32);
            const int mallocsBefore = log->mallocCalls;
            const int filtersBefore = log->filterCalls;
            c.run(pc, source, dest);
            ASSERT_EQ(log->filterCalls, filtersBefore + 1);
            const TptTransformRecord& t = log->trans;
            const TptStitchPrefsRecord& p = log->prefs;
            // tool, mode, success as handed over, interpolator; the stitch preferences
            EXPECT_EQ((std::vector<int>{t.tool, t.mode, t.success, t.interpolator, p.magic, p.displayPart, p.saveFile,
                                        p.launchApp, p.interpolator}),
                      (std::vector<int>{c.tool, c.mode + (progress ? 16 : 0), 0, 2, 70, 0, 0, 0, 2}));
            EXPECT_EQ(t.gamma, 1.8);
            EXPECT_EQ(p.gamma, 1.8);
            EXPECT_EQ(t.src, static_cast<TptImageRecord*>(&source));
            EXPECT_EQ(t.dest, static_cast<TptImageRecord*>(&dest));
            EXPECT_TRUE(log->srcTagOk);
            // Only the correct tool's records come from the library's memory (the stand-in
            // allocates each destination's pixels as well).
            EXPECT_EQ(log->mallocCalls - mallocsBefore, c.mallocs + 1);
            if (c.adjustMode >= 0) {
                EXPECT_EQ(log->adjust.magic, 50);
                EXPECT_EQ(log->adjust.mode, c.adjustMode);
                EXPECT_EQ(log->adjust.sBuf.srcName[0], '\0');
                EXPECT_EQ(log->adjust.sBuf.destName[0], '\0');
            } else {
                EXPECT_EQ(log->correct.magic, 20);
                EXPECT_TRUE(log->recordsFromMymalloc);
                ASSERT_LE(mallocsBefore + 3, 16);  // the stand-in records the first 16 sizes
                EXPECT_EQ(log->mallocSizes[mallocsBefore], sizeof(TptTransformRecord));
                EXPECT_EQ(log->mallocSizes[mallocsBefore + 1], sizeof(TptStitchPrefsRecord));
                EXPECT_EQ(log->mallocSizes[mallocsBefore + 2], sizeof(TptAdjustRecord));
            }
        }
    }
}

TEST_F(PanoTransforms, CorrectCarriesEveryProperty) {
    ASSERT_TRUE(log.ok());
    TPanoCorrect pc;
    pc.ShowProgress = false;
    TPanoRadialParams& r = pc.cRadialParams();
    r = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5, 9.5, 10.5, 11.5, 12.5, 13.5, 14.5, 15.5};  // property order
    pc.cRadial = true;
    pc.cRadialType = ptHorizontal;
    pc.cShiftVerticalParams() = {-1, -2, -3};
    pc.cShiftHorizontal = true;
    pc.cShiftHorizontalParams() = {4, 5, 6};
    pc.cShear = true;
    pc.cShearX = 0.25;
    pc.cShearY = -0.75;
    pc.cResize = true;
    pc.cResizeWidth = 640;
    pc.cResizeHeight = 480;
    pc.cLuminance = true;
    pc.cLuminanceParams() = {7, 8, 9};
    pc.cCutFrame = true;
    pc.cCutWidth = 11;
    pc.cCutHeight = 12;
    pc.cCutFrameFrame = 13;
    pc.cFourier = true;
    pc.cFourierMode = ptRemoveBlurr;
    pc.cFourierPSF = std::string(300, 'p');
    pc.cFourierNF = ptCustom;
    pc.cFourierNFF = "/images/noise.tif";
    pc.cFourierFilterFactor = 0.125;
    pc.cFourierFrame = 3.5;

    TptImage source, dest;
    MakeRecord(source, 4, 3, 24);
    MakeRecord(dest, 9, 9, 32);  // pixels of the destination are released, not lost
    pc.Correct(source, dest);
    const TptCorrectionRecord& c = log->correct;
    // magic, the flags (vertical off), correction mode 2, frame, fourier mode, ptCustom + 2
    EXPECT_EQ((std::vector<int>{c.magic, c.radial, c.vertical, c.horizontal, c.shear, c.resize, c.width, c.height,
                                c.luminance, c.correction_mode, c.cutFrame, c.fwidth, c.fheight, c.frame, c.fourier,
                                c.fourier_mode, c.fourier_nf}),
              (std::vector<int>{20, 1, 0, 1, 1, 1, 640, 480, 1, 2, 1, 11, 12, 13, 1, 1, 3}));
    for (int k = 0; k < 15; ++k) EXPECT_EQ(c.radial_params[k / 5][k % 5], 1.5 + k) << k;
    EXPECT_EQ((std::vector<double>{c.vertical_params[0], c.vertical_params[2], c.horizontal_params[1],
                                   c.shear_x, c.shear_y, c.lum_params[0], c.lum_params[2], c.filterfactor,
                                   c.fourier_frame}),
              (std::vector<double>{-1, -3, 5, 0.25, -0.75, 7, 9, 0.125, 3.5}));
    EXPECT_EQ(std::strlen(c.psf), 259u);  // at most 259 characters
    EXPECT_STREQ(c.nff, "/images/noise.tif");
    // The destination went through the library's defaults (its hfov is 50) before the call.
    EXPECT_EQ(log->dest.hfov, 50.0);
    EXPECT_EQ(log->dest.data, nullptr);
    EXPECT_EQ(log->trans.mode, 3 + 32);  // a 24-bit source: no 8

    // The two low bits carry cMode; 8 marks a 32-bit source.
    for (TptMode mode : {ptDialogTransform, ptLoadprefTransform, ptDialogSavepref, ptUseProperties}) {
        pc.cMode = mode;
        pc.cRadial = false;
        TptImage s32, d;
        MakeRecord(s32, 2, 2, 32);
        pc.Correct(s32, d);
        EXPECT_EQ(log->trans.mode, mode + 8 + 32);
        EXPECT_EQ(log->correct.radial, 0);
    }
}

TEST_F(PanoTransforms, InsertRecords) {
    ASSERT_TRUE(log.ok());
    TPanoCorrect pc;
    pc.ShowProgress = false;
    TptImage source, pano;
    MakeRecord(source, 40, 30, 24);
    pc.Insert(source, pano, 50, 10, -5, 2, 0.01, -0.02, 0.03, 4, -6, 0.1, 0.2, 2, 300, 150, 360, 4);
    const TptImageRecord& im = log->adjust.im;
    const TptCorrectionRecord& c = im.cP;
    EXPECT_EQ((std::vector<double>{double(im.width), double(im.height), double(im.format), im.hfov, im.yaw,
                                   im.pitch, im.roll, c.shear_x, c.shear_y}),
              (std::vector<double>{40, 30, 2, 50, 10, -5, 2, 0.1, 0.2}));
    // magic, radial, horizontal, vertical, shear on; resize, luminance, frame, fourier, noise off
    EXPECT_EQ((std::vector<int>{c.magic, c.radial, c.horizontal, c.vertical, c.shear, c.resize, c.luminance,
                                c.cutFrame, c.fourier, c.fourier_nf}),
              (std::vector<int>{20, 1, 1, 1, 1, 0, 0, 0, 0, 0}));
    for (int colour = 0; colour < 3; ++colour) {
        const double* k = c.radial_params[colour];
        EXPECT_DOUBLE_EQ(k[0], 1 - 0.01 + 0.02 - 0.03);
        // c, b, a, then half the smaller side; d and e as horizontal and vertical shifts
        EXPECT_EQ((std::vector<double>{k[1], k[2], k[3], k[4], c.horizontal_params[colour], c.vertical_params[colour]}),
                  (std::vector<double>{0.03, -0.02, 0.01, 15, 4, -6}));
    }
    const TptImageRecord& p = log->adjust.pano;
    EXPECT_EQ((std::vector<double>{double(p.format), p.hfov, p.yaw, p.pitch, p.roll, double(p.width),
                                   double(p.height), double(p.dataformat)}),
              (std::vector<double>{4, 360, 0, 0, 0, 300, 150, 0}));
    EXPECT_EQ(p.data, nullptr);
    EXPECT_EQ(p.name[0], '\0');
    EXPECT_EQ((std::vector<int>{p.cP.magic, p.cP.radial, p.cP.vertical, p.cP.horizontal, p.cP.shear}),
              (std::vector<int>{20, 0, 0, 0, 0}));
    // The panorama record is sized as asked, with the source's depth.
    EXPECT_EQ((std::vector<int>{log->dest.width, log->dest.bitsPerPixel, log->dest.bytesPerLine, log->dest.dataSize}),
              (std::vector<int>{300, 24, 900, 900 * 150}));

    // No lens, shift or shear values: no flags.
    pc.Insert(source, pano, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 30, 20, 90, 0);
    const TptCorrectionRecord& none = log->adjust.im.cP;
    EXPECT_EQ(none.radial | none.horizontal | none.vertical | none.shear, 0);
    EXPECT_EQ(none.radial_params[1][0], 1.0);
}

TEST_F(PanoTransforms, ExtractRecordsAndThePanoramaMarkedEquirectangular) {
    ASSERT_TRUE(log.ok());
    TPanoCorrect pc;
    pc.ShowProgress = false;
    TptImage pano, dest;
    MakeRecord(pano, 360, 180, 32);
    pano.format = 1;
    pano.hfov = 100;
    pano.yaw = 5;
    pano.roll = 7;
    MakeRecord(dest, 5, 5, 24);
    pc.Extract(pano, dest, 70, 20, -10, 3, 64, 48);
    const TptImageRecord& im = log->adjust.im;
    EXPECT_EQ((std::vector<double>{double(im.format), im.hfov, im.yaw, im.pitch, im.roll, double(im.width),
                                   double(im.height), double(im.bitsPerPixel)}),
              (std::vector<double>{0, 70, 20, -10, 3, 64, 48, 32}));
    EXPECT_EQ(im.data, nullptr);
    const TptImageRecord& p = log->adjust.pano;
    EXPECT_EQ((std::vector<double>{double(p.format), p.hfov, p.yaw, p.pitch, p.roll, double(p.width)}),
              (std::vector<double>{4, 360, 0, 0, 0, 360}));
    // The caller's panorama keeps these values.
    EXPECT_EQ((std::vector<double>{double(pano.format), pano.hfov, pano.yaw, pano.roll}),
              (std::vector<double>{4, 360, 0, 0}));
    // The destination holds what the library made of it.
    EXPECT_EQ(dest.width, 64);
    EXPECT_EQ(dest.dataSize, 64 * 48 * 4);
    ASSERT_NE(dest.Pixels(), nullptr);
    EXPECT_EQ(dest.Pixels()[5], standin::PatternByte(5));
}

TEST_F(PanoTransforms, ResizeKeepsTheAspect) {
    ASSERT_TRUE(log.ok());
    struct Case {
        int sw, sh, w, h, ew, eh;
    };
    const Case cases[] = {
        {200, 100, 100, 100, 100, 50}, {100, 200, 100, 100, 50, 100}, {300, 200, 150, 100, 150, 100},
        {201, 100, 100, 100, 100, 50},  // 100 / 2.01 = 49.75 rounds to 50
        {100, 300, 100, 100, 33, 100},  // 33.3 rounds down
        {3, 2, 1000, 10, 15, 10},
    };
    TPanoCorrect pc;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " to " + std::to_string(c.w) + "x" +
                     std::to_string(c.h));
        TptImage source, dest;
        MakeRecord(source, c.sw, c.sh, 24);
        pc.Resize(&source, dest, c.w, c.h);
        const TptAdjustRecord& a = log->adjust;
        EXPECT_EQ((std::vector<int>{dest.width, dest.height, a.pano.width, a.pano.height}),
                  (std::vector<int>{c.ew, c.eh, c.ew, c.eh}));
        // A plain rescale: rectilinear 90 degrees into rectilinear 90 degrees.
        EXPECT_EQ((std::vector<double>{double(a.im.format), a.im.hfov, double(a.pano.format), a.pano.hfov,
                                       double(a.im.cP.radial | a.im.cP.shear)}),
                  (std::vector<double>{0, 90, 0, 90, 0}));
    }
}

namespace {
std::unique_ptr<TptImage> Record(int width, int height, int bitsPerPixel) {
    auto im = std::make_unique<TptImage>();
    MakeRecord(*im, width, height, bitsPerPixel);
    return im;
}
}  // namespace

// Sizes for which nothing is asked of the library: the result is black (or empty) at once.
TEST_F(PanoTransforms, EarlyExitsWithoutTheLibrary) {
    ASSERT_TRUE(log.ok());
    using Run = std::function<void(TPanoCorrect&, TptImage& result)>;
    auto insert = [](int sw, int sh, int bpp, int w, int h) -> Run {
        return [=](TPanoCorrect& pc, TptImage& r) {
            pc.Insert(*Record(sw, sh, bpp), r, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, w, h, 360, 4);
        };
    };
    auto extract = [](int pw, int ph, int bpp, int w, int h) -> Run {
        return [=](TPanoCorrect& pc, TptImage& r) { pc.Extract(*Record(pw, ph, bpp), r, 60, 0, 0, 0, w, h); };
    };
    const struct {
        const char* name;
        Run run;
        int width, height, bitsPerPixel;
        bool pixels;
    } cases[] = {
        {"Insert of 1 x 1", insert(1, 1, 24, 30, 20), 30, 20, 24, true},
        {"Insert of 7 x 1", insert(7, 1, 32, 3, 2), 3, 2, 32, true},
        {"Insert into width 0", insert(8, 8, 24, 0, 20), 0, 20, 24, false},
        {"Extract of height 0", extract(8, 8, 24, 10, 0), 10, 0, 24, false},
        {"Extract from 1 x 1", extract(1, 1, 32, 10, 4), 10, 4, 32, true},
        {"Resize without source", [](TPanoCorrect& pc, TptImage& r) { pc.Resize(nullptr, r, 6, 5); }, 6, 5, 24, true},
        {"Resize of a source of width 0",
         [](TPanoCorrect& pc, TptImage& r) { pc.Resize(Record(0, 9, 32).get(), r, 6, 5); }, 6, 5, 32, true},
        {"Resize of a 1 x 1 source", [](TPanoCorrect& pc, TptImage& r) { pc.Resize(Record(1, 1, 24).get(), r, 6, 5); },
         5, 5, 24, true},
    };
    TPanoCorrect pc;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int filters = log->filterCalls, mallocs = log->mallocCalls;
        TptImage result;
        MakeRecord(result, 3, 3, 24);  // replaced
        std::memset(result.Pixels(), 0x77, static_cast<size_t>(result.dataSize));
        c.run(pc, result);
        EXPECT_EQ(log->filterCalls, filters);
        EXPECT_EQ(log->mallocCalls, mallocs);
        EXPECT_EQ((std::vector<int>{result.width, result.height, result.bitsPerPixel, result.bytesPerLine}),
                  (std::vector<int>{c.width, c.height, c.bitsPerPixel, c.width * c.bitsPerPixel / 8}));
        EXPECT_EQ(result.data != nullptr, c.pixels);
        if (c.pixels) {
            EXPECT_TRUE(AllZero(result));
        }
    }
}

// One record as source and destination: the result replaces the record, made from its
// pixels as they were (not from pixels released before the library saw them).
TEST_F(PanoTransforms, OneRecordAsSourceAndDestination) {
    ASSERT_TRUE(log.ok());
    const std::vector<std::pair<const char*, std::function<void(TPanoCorrect&, TptImage&)>>> cases = {
        {"Correct", [](TPanoCorrect& pc, TptImage& im) { pc.Correct(im, im); }},
        {"Insert",
         [](TPanoCorrect& pc, TptImage& im) { pc.Insert(im, im, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 5, 360, 4); }},
        {"Extract", [](TPanoCorrect& pc, TptImage& im) { pc.Extract(im, im, 60, 0, 0, 0, 6, 5); }},
        {"Resize", [](TPanoCorrect& pc, TptImage& im) { pc.Resize(&im, im, 6, 5); }},
    };
    TPanoCorrect pc;
    for (const auto& [name, run] : cases) {
        SCOPED_TRACE(name);
        TptImage im;
        MakeRecord(im, 8, 6, 24);
        for (int i = 0; i < im.dataSize; ++i) im.Pixels()[i] = static_cast<uint8_t>(i + 1);
        run(pc, im);
        EXPECT_EQ((std::vector<int>{log->srcPixels[0], log->srcPixels[7]}), (std::vector<int>{1, 8}));
        ASSERT_NE(im.Pixels(), nullptr);
        if (std::string(name) == "Correct") {
            EXPECT_EQ((std::vector<int>{im.width, im.height, im.Pixels()[47]}), (std::vector<int>{8, 6, 48}));
        } else {
            EXPECT_EQ(im.height, 5);
            EXPECT_EQ(im.Pixels()[1], standin::PatternByte(1));
        }
    }
}

// Correct and Extract into bitmaps give the library's pixels back to its myfree; Insert and
// Resize release theirs with ptFree (which the stand-in's count does not see).
TEST_F(PanoTransforms, HandlesOfTheDestinationGoBackToTheirSide) {
    ASSERT_TRUE(log.ok());
    TPanoCorrect pc;
    TzrMemBitmap source, result;
    FillDistinct(source, 12, 8, pf32bit);
    TptImage pano;
    MakeRecord(pano, 36, 18, 24);
    QImage image;
    const struct {
        const char* name;
        std::function<void()> run;
        int left;
    } cases[] = {
        {"Correct", [&] { pc.Correct(&source, &result); }, 0},
        {"Extract", [&] { pc.Extract(pano, &result, 60, 0, 0, 0, 10, 6); }, 0},
        {"Extract into an image", [&] { pc.Extract(pano, &image, 60, 0, 0, 0, 10, 6); }, 0},
        // Pixels made here, not by the library, do not go to its myfree.
        {"Extract from 1 x 1", [&] { pc.Extract(*Record(1, 1, 24), &result, 60, 0, 0, 0, 4, 4); }, 0},
        {"Insert", [&] { pc.Insert(&source, &result, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 30, 20, 360, 4); }, 1},
        {"Resize", [&] { pc.Resize(&source, &result, 6, 6); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int live = log->liveHandles;
        c.run();
        EXPECT_EQ(log->liveHandles - live, c.left);
    }
    // What the library made is what the bitmaps hold, B, G, R(, A) from its R, G, B(, A).
    EXPECT_EQ(image.width(), 10);
    EXPECT_EQ(image.format(), QImage::Format_BGR888);
    EXPECT_EQ(image.constScanLine(0)[0], standin::PatternByte(2));
    EXPECT_EQ(image.constScanLine(0)[2], standin::PatternByte(0));
    EXPECT_EQ(result.GetWidth(), 6);
    EXPECT_EQ(result.GetHeight(), 4);  // 12 x 8 fitted into 6 x 6
    EXPECT_EQ(result.GetPixelFormat(), pf32bit);
}

// B, G, R -> R, G, B and B, G, R, A -> A, R, G, B into the record, and exactly back.
TEST_F(PanoTransforms, ByteOrderRoundTrip) {
    ASSERT_TRUE(log.ok());
    for (TPixelFormat format : {pf24bit, pf32bit}) {
        SCOPED_TRACE(format == pf24bit ? "pf24bit" : "pf32bit");
        const int bpp = format == pf24bit ? 3 : 4;
        TzrMemBitmap bitmap;
        FillDistinct(bitmap, 5, 3, format);
        TptImage record;
        TPanoCorrect::ImageFromBitmap(record, &bitmap);
        ASSERT_EQ(record.bitsPerPixel, 8 * bpp);
        ASSERT_EQ(record.dataSize, 5 * 3 * bpp);
        bitmap.BeginRead();
        for (int y = 0; y < 3; ++y)
            for (int i = 0; i < 5 * bpp; ++i)
                ASSERT_EQ(record.Pixels()[y * 5 * bpp + i], bitmap.GetScanline(y)[(i / bpp) * bpp + bpp - 1 - i % bpp]);
        bitmap.EndRead();

        TzrMemBitmap back;
        TPanoCorrect::ImageToBitmap(record, &back);
        EXPECT_TRUE(SameBitmaps(back, bitmap));

        // Through the library (the stand-in's correction copies its source) and back.
        TPanoCorrect pc;
        TzrMemBitmap corrected;
        pc.Correct(&bitmap, &corrected);
        EXPECT_TRUE(SameBitmaps(corrected, bitmap));
        EXPECT_EQ(std::memcmp(log->srcPixels, record.Pixels(), 8), 0);
    }
    TptImage none;
    TPanoCorrect::ImageFromBitmap(none, nullptr);
    EXPECT_EQ(none.width, 0);
    EXPECT_EQ(none.bitsPerPixel, 24);
    EXPECT_EQ(none.data, nullptr);

    // Pixels of another depth do not fit a bitmap's rows.
    TptImage deep;
    MakeRecord(deep, 4, 4, 48);
    TzrMemBitmap target;
    EXPECT_EQ(FailureMessage([&] { TPanoCorrect::ImageToBitmap(deep, &target); }), "Pixelformat not supported!");
    TPanoCorrect::ImageToBitmap(deep, nullptr);  // nothing without a bitmap
    // Nor are rows read past the pixels a record holds.
    TptImage cut;
    MakeRecord(cut, 4, 4, 24);
    cut.height = 5;
    EXPECT_EQ(FailureMessage([&] { TPanoCorrect::ImageToBitmap(cut, &target); }),
              "Internal error: the image record holds fewer pixels than its size");
    EXPECT_EQ(target.GetWidth(), 0);
}

TEST(PanoTransformFailures, Messages) {
    LibraryFile file(StandIn("nosuccess"));
    StandInLog log("nosuccess");
    ASSERT_TRUE(log.ok());
    TPanoCorrect pc;
    TptImage source, dest;
    MakeRecord(source, 8, 6, 24);
    TzrMemBitmap bitmap, result;
    FillDistinct(bitmap, 8, 6, pf24bit);
    EXPECT_EQ(FailureMessage([&] { pc.Correct(source, dest); }), "Pano12: Correct failed");
    EXPECT_EQ(FailureMessage([&] { pc.Correct(&bitmap, &result); }), "Pano12: Correct failed");
    EXPECT_EQ(FailureMessage([&] { pc.Insert(source, dest, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 30, 20, 360, 4); }),
              "pano12: Insert failed");
    EXPECT_EQ(FailureMessage([&] { pc.Insert(&bitmap, &result, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 30, 20, 360, 4); }),
              "pano12: Insert failed");
    EXPECT_EQ(FailureMessage([&] { pc.Resize(&source, dest, 4, 4); }), "pano12: Insert failed");
    EXPECT_EQ(FailureMessage([&] { pc.Extract(source, dest, 60, 0, 0, 0, 4, 4); }), "Pano12: Extract failed");
    // The failing extraction into a bitmap gives the library's pixels back to it.
    const int live = log->liveHandles;
    EXPECT_EQ(FailureMessage([&] { pc.Extract(source, &result, 60, 0, 0, 0, 4, 4); }), "Pano12: Extract failed");
    EXPECT_EQ(log->liveHandles, live);
    // The bitmaps were left as they were.
    EXPECT_EQ(result.GetWidth(), 0);

    LibraryFile scarce(StandIn("mallocfail"));  // the third block cannot be had
    StandInLog scarceLog("mallocfail");
    ASSERT_TRUE(scarceLog.ok());
    TPanoCorrect short_of_memory;
    EXPECT_EQ(FailureMessage([&] { short_of_memory.Correct(source, dest); }), "Out of memory!");
    EXPECT_EQ(scarceLog->filterCalls, 0);
    EXPECT_EQ(scarceLog->liveHandles, 0);
}

// ---------------------------------------------------------------- on libpano13, against PTmender

#ifdef QB_PANO12_BRIDGE

namespace {

// libpano13's numbers of our eight interpolators, as PTmender's "m i" takes them.
constexpr int Pano13Interpolator[8] = {0, 1, 2, 4, 5, 6, 3, 7};

constexpr double OnePercent = 2.55;

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

class PanoTransformsOnLibpano13 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new std::string(test::MakeTempDir("qbtransforms"));
        test::MakeScene(*dir + "scene.tif", SceneWidth, SceneHeight);
    }
    static void TearDownTestSuite() {
        test::RemoveTree(*dir);
        delete dir;
        dir = nullptr;
    }

    // PTmender's rendering of the scene as a rectilinear view (its layer carries alpha).
    static TzrMemBitmap* RenderView(const std::string& name, double hfov, double yaw, double pitch, double roll,
                                    int width, int height, int interpolator = 0) {
        // Looking in a direction means turning the scene the other way in front of the camera.
        const std::string layer = test::RunPTmender(
            *dir,
            "p w" + std::to_string(width) + " h" + std::to_string(height) + " f0 v" + Number(hfov) +
                " n\"TIFF_m r:UNCROP\"\nm g1 i" + std::to_string(interpolator) + "\no n\"" + *dir +
                "scene.tif\" f4 w" + std::to_string(SceneWidth) + " h" + std::to_string(SceneHeight) + " v360 y" +
                Number(-yaw) + " p" + Number(-pitch) + " r" + Number(-roll) + "\n",
            name);
        auto* view = new TzrMemBitmap;
        view->LoadFromFile(layer);
        return view;
    }

    static std::unique_ptr<TzrMemBitmap> Scene() {
        auto scene = std::make_unique<TzrMemBitmap>();
        scene->LoadFromFile(*dir + "scene.tif");
        return scene;
    }

    static constexpr int SceneWidth = 1440, SceneHeight = 720;
    static std::string* dir;
    LibraryFile file{QB_PANO12_BRIDGE};
};

std::string* PanoTransformsOnLibpano13::dir = nullptr;

TEST_F(PanoTransformsOnLibpano13, ExtractEqualsPTmendersView) {
    TPanoCorrect pc;
    pc.ShowProgress = false;
    const std::unique_ptr<TzrMemBitmap> scene = Scene();
    struct View {
        double hfov, yaw, pitch, roll;
        int width, height;
    };
    const View views[] = {
        {60, 30, 0, 0, 400, 300}, {75, -100, 0, 0, 320, 240}, {50, 0, 35, 0, 240, 240}, {60, 0, 0, 15, 320, 200},
    };
    for (TPixelFormat format : {pf24bit, pf32bit}) {
        TzrMemBitmap pano;
        pano.Assign(scene.get());
        pano.SetWidthHeightPixelFormat(SceneWidth, SceneHeight, format, true);  // alpha 255 when pf32bit
        TptImage panoRecord;
        TPanoCorrect::ImageFromBitmap(panoRecord, &pano);
        for (const View& v : views) {
            SCOPED_TRACE("yaw " + Number(v.yaw) + " pitch " + Number(v.pitch) + " roll " + Number(v.roll) +
                         (format == pf24bit ? " pf24bit" : " pf32bit"));
            std::unique_ptr<TzrMemBitmap> reference(
                RenderView("extract", v.hfov, v.yaw, v.pitch, v.roll, v.width, v.height));
            TzrMemBitmap view;
            pc.Extract(panoRecord, &view, v.hfov, v.yaw, v.pitch, v.roll, v.width, v.height);
            ASSERT_EQ(view.GetWidth(), v.width);
            ASSERT_EQ(view.GetHeight(), v.height);
            EXPECT_EQ(view.GetPixelFormat(), format);
            const test::Difference d = test::RmsDifference(view, *reference);
            EXPECT_EQ(d.compared, int64_t(v.width) * v.height);
            EXPECT_LT(d.rmse, OnePercent);
            EXPECT_GE(d.rmse, 0);
        }
    }
}

// Each of our interpolators reaches the library as the same one PTmender is asked for.
TEST_F(PanoTransformsOnLibpano13, InterpolatorsAreTheLibrarysOwn) {
    TPanoCorrect pc;
    pc.ShowProgress = false;
    const std::unique_ptr<TzrMemBitmap> scene = Scene();
    TptImage panoRecord;
    TPanoCorrect::ImageFromBitmap(panoRecord, scene.get());
    std::vector<std::unique_ptr<TzrMemBitmap>> results;
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE("interpolator " + std::to_string(i));
        pc.Interpolator = static_cast<TptInterpolator>(i);
        std::unique_ptr<TzrMemBitmap> reference(RenderView("interp", 40, 20, 0, 0, 160, 120, Pano13Interpolator[i]));
        auto view = std::make_unique<TzrMemBitmap>();
        pc.Extract(panoRecord, view.get(), 40, 20, 0, 0, 160, 120);
        EXPECT_LT(test::RmsDifference(*view, *reference).rmse, 0.5);
        results.push_back(std::move(view));
    }
    // They do differ, so the comparison above tells them apart: nearest neighbour against
    // the others, and the two sinc windows against the splines.
    EXPECT_GT(test::RmsDifference(*results[ptNearestNeighbour], *results[ptPoly3]).rmse, 1.0);
    EXPECT_GT(test::RmsDifference(*results[ptBilinear], *results[ptPoly3]).rmse, 0.0);
    EXPECT_GT(test::RmsDifference(*results[ptSinc256], *results[ptSpline64]).rmse, 0.0);
}

TEST_F(PanoTransformsOnLibpano13, InsertReproducesTheSceneWhereCovered) {
    TPanoCorrect pc;
    pc.ShowProgress = false;
    const std::unique_ptr<TzrMemBitmap> scene = Scene();
    struct View {
        double hfov, yaw, pitch;
        int width, height;
    };
    for (const View& v : {View{60, 30, 0, 400, 300}, View{50, 0, 30, 300, 300}}) {
        SCOPED_TRACE("yaw " + Number(v.yaw) + " pitch " + Number(v.pitch));
        std::unique_ptr<TzrMemBitmap> view(RenderView("insert", v.hfov, v.yaw, v.pitch, 0, v.width, v.height));
        ASSERT_EQ(view->GetPixelFormat(), pf32bit);
        TzrMemBitmap pano;
        pc.Insert(view.get(), &pano, v.hfov, v.yaw, v.pitch, 0, 0, 0, 0, 0, 0, 0, 0, 0, SceneWidth, SceneHeight, 360,
                  4);
        ASSERT_EQ(pano.GetWidth(), SceneWidth);
        ASSERT_EQ(pano.GetHeight(), SceneHeight);
        ASSERT_EQ(pano.GetPixelFormat(), pf32bit);
        // The covered part (opaque in the result) is about the view's solid angle.
        const test::Difference d = test::RmsDifference(pano, *scene, &pano);
        const double pixelsPerDegree = SceneWidth / 360.0;
        const double vfov = 2 * std::atan(std::tan(v.hfov * M_PI / 360) * v.height / v.width) * 180 / M_PI;
        const double expected = v.hfov * vfov * pixelsPerDegree * pixelsPerDegree;
        EXPECT_GT(d.compared, 0.8 * expected);
        EXPECT_LT(d.compared, 1.6 * expected);
        EXPECT_LT(d.rmse, OnePercent);
    }
}

TEST_F(PanoTransformsOnLibpano13, CorrectMatchesPTmendersLensCorrection) {
    std::unique_ptr<TzrMemBitmap> view(RenderView("lens", 60, 30, 0, 0, 400, 300));
    view->SaveToFile(*dir + "lens.tif");
    const double a = 0.02, b = -0.05, c = 0.01;
    const std::string corrected = test::RunPTmender(
        *dir,
        "p w400 h300 f0 v60 n\"TIFF_m r:UNCROP\"\nm g1 i0\no n\"" + *dir + "lens.tif\" f0 w400 h300 v60 y0 r0 p0 a" +
            Number(a) + " b" + Number(b) + " c" + Number(c) + "\n",
        "lensref");
    TzrMemBitmap reference;
    reference.LoadFromFile(corrected);

    TPanoCorrect pc;
    pc.ShowProgress = false;
    pc.cRadial = true;
    TPanoRadialParams& r = pc.cRadialParams();
    // The library's polynomial: constant, linear, square and cubic terms, then the radius.
    r.red_a = r.green_a = r.blue_a = 1 - a - b - c;
    r.red_b = r.green_b = r.blue_b = c;
    r.red_c = r.green_c = r.blue_c = b;
    r.red_d = r.green_d = r.blue_d = a;
    r.red_r = r.green_r = r.blue_r = 150;
    TzrMemBitmap result;
    pc.Correct(view.get(), &result);
    ASSERT_EQ(result.GetWidth(), 400);
    ASSERT_EQ(result.GetHeight(), 300);
    EXPECT_LT(test::RmsDifference(result, reference).rmse, OnePercent);
    // The correction did something.
    EXPECT_GT(test::RmsDifference(result, *view).rmse, OnePercent);
}

TEST_F(PanoTransformsOnLibpano13, ResizeMatchesPTmendersRescale) {
    std::unique_ptr<TzrMemBitmap> view(RenderView("small", 60, -30, 0, 0, 400, 200));
    view->SaveToFile(*dir + "small.tif");
    TPanoCorrect pc;
    pc.ShowProgress = false;
    for (const auto& [w, h, ew, eh] : {std::array<int, 4>{100, 100, 100, 50}, std::array<int, 4>{300, 90, 180, 90}}) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        TzrMemBitmap result;
        pc.Resize(view.get(), &result, w, h);
        ASSERT_EQ(result.GetWidth(), ew);
        ASSERT_EQ(result.GetHeight(), eh);
        TzrMemBitmap reference;
        reference.LoadFromFile(test::RunPTmender(*dir,
                                                 "p w" + std::to_string(ew) + " h" + std::to_string(eh) +
                                                     " f0 v90 n\"TIFF_m r:UNCROP\"\nm g1 i0\no n\"" + *dir +
                                                     "small.tif\" f0 w400 h200 v90 y0 r0 p0\n",
                                                 "smallref"));
        EXPECT_LT(test::RmsDifference(result, reference).rmse, OnePercent);
    }
    // The aspect is kept the other way round too.
    TzrMemBitmap tall, result;
    FillDistinct(tall, 100, 200, pf24bit);
    pc.Resize(&tall, &result, 100, 100);
    EXPECT_EQ(result.GetWidth(), 50);
    EXPECT_EQ(result.GetHeight(), 100);
}

// Requests libpano13 could only meet with its dialogs or saved preferences (which it has
// no place for here, and one of which crashes it) fail, as does a gamma it has no meaning
// for.
TEST_F(PanoTransformsOnLibpano13, RequestsTheLibraryCannotMeetFail) {
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(*dir);
    TzrMemBitmap source, result;
    FillDistinct(source, 40, 30, pf24bit);
    TPanoCorrect pc;
    pc.ShowProgress = false;
    pc.cRadial = true;
    pc.cRadialParams().red_r = pc.cRadialParams().green_r = pc.cRadialParams().blue_r = 15;
    for (TptMode mode : {ptDialogTransform, ptLoadprefTransform, ptDialogSavepref}) {
        pc.cMode = mode;
        EXPECT_EQ(FailureMessage([&] { pc.Correct(&source, &result); }), "Pano12: Correct failed") << mode;
    }
    pc.cMode = ptUseProperties;
    pc.Gamma = 0;
    EXPECT_EQ(FailureMessage([&] { pc.Correct(&source, &result); }), "Pano12: Correct failed");
    pc.Gamma = 1.0;
    EXPECT_EQ(FailureMessage([&] { pc.Correct(&source, &result); }), "(no failure)");
    EXPECT_EQ(result.GetWidth(), 40);
    // Nothing of the library's preference files was written.
    EXPECT_FALSE(platform::FileExists(*dir + "pano13.prf"));
    std::filesystem::current_path(cwd);
}

// Records the bridge cannot hand to libpano13 as they stand (pixels that do not fill the
// image, depths and tools it does not translate, numbers without a meaning) are refused
// without the library reading or writing past the pixels.
TEST_F(PanoTransformsOnLibpano13, BridgeRefusesRecordsItCannotTranslate) {
    void* lib = platform::LoadLibrary(QB_PANO12_BRIDGE);
    ASSERT_NE(lib, nullptr);
    auto filterMain = reinterpret_cast<TptFilterMainProc>(platform::GetProcAddress(lib, "filter_main"));
    auto adjustDefaults = reinterpret_cast<TptSetAdjustDefaultsProc>(platform::GetProcAddress(lib, "SetAdjustDefaults"));
    ASSERT_TRUE(filterMain && adjustDefaults);

    struct Case {
        const char* name;
        std::function<void(TptTransformRecord&, TptImage& src, TptAdjustRecord&)> spoil;
        bool succeeds;
    };
    const std::vector<Case> cases = {
        {"as it stands", [](TptTransformRecord&, TptImage&, TptAdjustRecord&) {}, true},
        {"fewer bytes than the rows", [](TptTransformRecord&, TptImage& s, TptAdjustRecord&) { s.height = 200; }, false},
        {"padded rows", [](TptTransformRecord&, TptImage& s, TptAdjustRecord&) { s.bytesPerLine += 4; }, false},
        {"16 bits per pixel", [](TptTransformRecord&, TptImage& s, TptAdjustRecord&) { s.bitsPerPixel = 16; }, false},
        {"no pixels", [](TptTransformRecord&, TptImage& s, TptAdjustRecord&) { s.FreeData(); }, false},
        {"interpolator 8", [](TptTransformRecord& t, TptImage&, TptAdjustRecord&) { t.interpolator = 8; }, false},
        {"gamma NaN", [](TptTransformRecord& t, TptImage&, TptAdjustRecord&) { t.gamma = std::nan(""); }, false},
        {"the perspective tool", [](TptTransformRecord& t, TptImage&, TptAdjustRecord&) { t.tool = 0; }, false},
        {"reading control points", [](TptTransformRecord&, TptImage&, TptAdjustRecord& a) { a.mode = 0; }, false},
        {"the interactive mode", [](TptTransformRecord& t, TptImage&, TptAdjustRecord&) { t.mode = 16; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TptImage src, dest;
        MakeRecord(src, 64, 32, 24);
        src.format = 4;
        src.hfov = 360;
        auto adjust = std::make_unique<TptAdjustRecord>();
        adjustDefaults(adjust.get());
        adjust->magic = 50;
        adjust->mode = ptAdjustExtract;
        dest.width = 16;
        dest.height = 12;
        dest.bitsPerPixel = 24;
        dest.UpdateSizes();
        dest.format = 0;
        dest.hfov = 60;
        std::memcpy(&adjust->im, static_cast<TptImageRecord*>(&dest), sizeof(TptImageRecord));
        std::memcpy(&adjust->pano, static_cast<TptImageRecord*>(&src), sizeof(TptImageRecord));
        TptTransformRecord trans{};
        trans.src = &src;
        trans.dest = &dest;
        trans.tool = ptToolAdjust;
        trans.mode = ptModeUseData;
        trans.data = adjust.get();
        trans.gamma = 1.0;
        TptStitchPrefsRecord prefs{};
        prefs.magic = 70;
        prefs.gamma = 1.0;
        c.spoil(trans, src, *adjust);
        trans.success = 7;
        filterMain(&trans, &prefs);
        EXPECT_EQ(trans.success != 0, c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(dest.data, nullptr);  // the library was not asked
        }
        if (src.data == nullptr) src.dataSize = 0;
        src.height = 32;  // as allocated, for the release
    }
    platform::FreeLibrary(lib);
}

#endif
