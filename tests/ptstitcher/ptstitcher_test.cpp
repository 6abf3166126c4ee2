#include "tools/ptstitcher/ptstitcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/support/scene.h"
#include "tests/support/tempdir.h"

using namespace qb;
using namespace qb::ptstitcher;
using platform::FileExists;
using platform::FindFiles;
using test::ReadFile;
using test::Shell;
using test::WriteFile;

TEST(PTStitcherArguments, TheQueuesCommandLineAndNothingElse) {
    const TArguments a = ParseArguments({"-o", "/out/pano", "/in/_vrdtmp_0.txt"});
    EXPECT_EQ(a.output, "/out/pano");
    EXPECT_EQ(a.script, "/in/_vrdtmp_0.txt");
    const TArguments b = ParseArguments({"script.txt", "-o", "pano"});
    EXPECT_EQ(b.output, "pano");
    EXPECT_EQ(b.script, "script.txt");
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {}, {"script.txt"}, {"-o", "pano"}, {"-o"}, {"-o", "", "s.txt"}, {"-x", "-o", "p", "s"},
             {"-o", "p", "s1", "s2"}, {"-o", "p", "-o", "q", "s"}})
        EXPECT_THROW(ParseArguments(bad), EUsage);
}

TEST(PTStitcherScript, ReadsTheFormatOfThePanoramaLine) {
    const std::string stitch =
        "# script file for ptStitcher created by vorda\r\n\r\n"
        "p w1200 h400 f1 v150 u20 n\"JPEG g1 q80\"\r\nm g1 i0 f0\r\ni n\"a.jpg\"\r\n";
    TScriptFormat f = ReadScriptFormat(stitch);
    EXPECT_EQ(f.name, "JPEG");
    EXPECT_EQ(f.code, 7);
    EXPECT_EQ(f.width, 1200);
    EXPECT_EQ(f.height, 400);
    EXPECT_EQ(f.jpegQuality, 80);
    EXPECT_TRUE(f.jpegProgressive);
    EXPECT_EQ(OutputKindOf(f), TOutputKind::Jpeg);

    f = ReadScriptFormat("p n\"JPEG q90\" w250 h100 f1 v150 u4\r\n");
    EXPECT_EQ(f.width, 250);
    EXPECT_EQ(f.height, 100);
    EXPECT_EQ(f.jpegQuality, 90);
    EXPECT_FALSE(f.jpegProgressive);

    EXPECT_EQ(OutputKindOf(ReadScriptFormat("p w1 h1 n\"TIFF_m\"\r\n")), TOutputKind::Layers);
    EXPECT_EQ(OutputKindOf(ReadScriptFormat("p w1 h1 n\"TIFF_mask\"\r\n")), TOutputKind::Layers);
    EXPECT_EQ(OutputKindOf(ReadScriptFormat("p w1 h1 n\"TIFF\"\r\n")), TOutputKind::Tiff);
    EXPECT_EQ(OutputKindOf(ReadScriptFormat("p w1 h1 n\"PNG\"\r\n")), TOutputKind::Png);
    for (const char* other : {"p w1 h1 n\"PSD_mask\"\r\n", "p w1 h1 n\"\"\r\n", "p w1 h1\r\n",
                              "p w1 h1 n\"tiff\"\r\n", "p w1 h1 n\"QTVR\"\r\n"})
        EXPECT_EQ(OutputKindOf(ReadScriptFormat(other)), TOutputKind::Unsupported) << other;
    // The image lines' names do not count, nor a line that only starts with p.
    f = ReadScriptFormat("pano w5\r\np w10 h20 f0 v50 n\"TIFF\"\r\ni n\"p.jpg\"\r\n");
    EXPECT_EQ(f.width, 10);
    EXPECT_EQ(f.name, "TIFF");
    EXPECT_THROW(ReadScriptFormat("i n\"a.jpg\"\r\n"), Exception);
}

TEST(PTStitcherScript, OnlyTheFormatFieldChangesForPTmender) {
    const std::string head = "# script\r\n\r\np w1200 h400 f1 v150 u20 ";
    const std::string tail = " k1\r\nm g1 i0 f0\r\ni n\"a b.jpg\"\r\no f0 y0 r0 p0 v50 C1,2,3,4 o\r\n"
                             "# Morph-to-fit data:\r\nC i0  x1 y2 X3 Y4\r\n";
    EXPECT_EQ(ScriptForPTmender(head + "n\"JPEG g1 q80\"" + tail), head + "n\"TIFF_m r:UNCROP\"" + tail);
    EXPECT_EQ(ScriptForPTmender("p w10 h10 f0 v50\r\ni n\"a.jpg\"\r\n"),
              "p w10 h10 f0 v50 n\"TIFF_m r:UNCROP\"\r\ni n\"a.jpg\"\r\n");
    EXPECT_EQ(ScriptForPTmender("p n\"\" w10\n"), "p n\"TIFF_m r:UNCROP\" w10\n");
}

namespace {

// Three overlapping views of the synthetic scene, made once for all stitching tests.
class Stitching : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared.Make(); }
    static void TearDownTestSuite() { shared.Remove(); }

    void SetUp() override {
        dir = test::MakeTempDir("ptstitch");
        shared.CopyViews(dir);
    }
    void TearDown() override { test::RemoveTree(dir); }

    // A stitcher script as the queue writes it, for the three views.
    std::string Script(const std::string& format, const std::string& size = "w1200 h400") {
        std::string s = "# script file for ptStitcher created by vorda\r\n\r\np " +
                        (format.rfind("n\"", 0) == 0 ? format + " " + size + " f1 v150 u20"
                                                     : size + " f1 v150 u20 n\"" + format + "\"") +
                        "\r\nm g1 i0 f0\r\n";
        for (size_t k = 0; k < views.size(); ++k)
            s += "i n\"view" + std::to_string(k) + ".tif\"\r\no f0 y" + std::to_string(int(views[k].yaw)) +
                 " r0 p0 v60 a0 b0 c0 d0 e0 g0 t0\r\n";
        return s;
    }
    // Runs PTStitcher in the images' folder as the queue does; its exit code.
    int Run(const std::string& script, const std::string& output, const std::string& env = "") {
        WriteFile(dir + "_vrdtmp_0.txt", script);
        return Shell("cd '" + dir + "' && " + env + " '" QB_PTSTITCHER "' -o '" + output + "' '" + dir +
                     "_vrdtmp_0.txt' >'" + dir + "out.log' 2>'" + dir + "err.log'");
    }
    std::string Err() { return ReadFile(dir + "err.log"); }
    // Files left in the folder beyond the views, the script and the logs.
    std::vector<std::string> Extra() {
        std::vector<std::string> extra;
        for (const auto& n : FindFiles(dir, "*"))
            if (n.rfind("view", 0) != 0 && n != "_vrdtmp_0.txt" && n != "out.log" && n != "err.log")
                extra.push_back(n);
        return extra;
    }

    static inline test::ThreeViewScene shared;
    static inline const std::string& reference = shared.reference;
    static inline const std::vector<test::View>& views = shared.views;
    std::string dir;
};

void Size(const std::string& file, int& w, int& h) {
    w = h = 0;
    TzrMemBitmap::GetSizeFromFile(file, &w, &h);
}

}  // namespace

TEST_F(Stitching, LayersAreRenamedToTheNumberedOutput) {
    ASSERT_EQ(Run(Script("TIFF_m"), dir + "out/pano"), 1) << "no output directory";
    EXPECT_TRUE(Extra().empty());
    mkdir((dir + "out").c_str(), 0700);
    ASSERT_EQ(Run(Script("TIFF_m"), dir + "out/pano"), 0) << Err();
    EXPECT_EQ(FindFiles(dir + "out", "*"),
              (std::vector<std::string>{"pano0000.tif", "pano0001.tif", "pano0002.tif"}));
    int w, h;
    Size(dir + "out/pano0001.tif", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    EXPECT_TRUE(Extra().empty());
    // PTmender's progress passes through.
    EXPECT_FALSE(ReadFile(dir + "out.log").empty());

    ASSERT_EQ(Run(Script("TIFF_mask"), "masked"), 0) << Err();
    EXPECT_TRUE(FileExists(dir + "masked0002.tif"));
}

TEST_F(Stitching, FlattenedTiffAndPngMatchTheScene) {
    ASSERT_EQ(Run(Script("TIFF"), "pano"), 0) << Err();
    int w, h;
    Size(dir + "pano.tif", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    TzrMemBitmap tif;
    tif.LoadFromFile(dir + "pano.tif");
    EXPECT_EQ(tif.GetPixelFormat(), pf32bit);
    const auto agreement = test::CompareWhereOpaque(dir + "pano.tif", reference, dir + "pano.tif", 24);
    EXPECT_GT(agreement.compared, 200000);  // the views cover most of the canvas
    EXPECT_GT(agreement.share, 0.97);
    // Corners lie outside every view: transparent.
    tif.BeginRead();
    EXPECT_EQ(tif.GetScanline(0)[3], 0);
    EXPECT_EQ(tif.GetScanline(399)[4 * 1199 + 3], 0);
    tif.EndRead();

    ASSERT_EQ(Run(Script("PNG"), "pano"), 0) << Err();
    QImage png(QString::fromStdString(dir + "pano.png"));
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(png.width(), 1200);
    EXPECT_TRUE(png.hasAlphaChannel());
    // The same pixels as the TIFF.
    tif.BeginRead();
    const uint8_t* row = tif.GetScanline(200);
    const QRgb p = png.pixel(600, 200);
    EXPECT_EQ(qRed(p), row[4 * 600 + 2]);
    EXPECT_EQ(qGreen(p), row[4 * 600 + 1]);
    EXPECT_EQ(qBlue(p), row[4 * 600 + 0]);
    tif.EndRead();
    EXPECT_EQ(Extra(), (std::vector<std::string>{"pano.png", "pano.tif"}));
}

namespace {
// The first quantisation value and whether the frame is progressive, from a JPEG's markers.
void JpegHeaders(const std::string& bytes, int& firstQuant, bool& progressive) {
    firstQuant = -1;
    progressive = false;
    for (size_t i = 2; i + 4 < bytes.size();) {
        if (uint8_t(bytes[i]) != 0xFF) break;
        const uint8_t marker = uint8_t(bytes[i + 1]);
        const size_t len = uint8_t(bytes[i + 2]) << 8 | uint8_t(bytes[i + 3]);
        if (marker == 0xDB && firstQuant < 0) firstQuant = uint8_t(bytes[i + 5]);
        if (marker == 0xC2) progressive = true;
        if (marker == 0xDA) break;
        i += 2 + len;
    }
}
}  // namespace

TEST_F(Stitching, JpegCarriesQualityAndProgressiveMode) {
    ASSERT_EQ(Run(Script("JPEG g1 q80"), "pano"), 0) << Err();
    int w, h;
    Size(dir + "pano.jpg", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    int quant;
    bool progressive;
    JpegHeaders(ReadFile(dir + "pano.jpg"), quant, progressive);
    EXPECT_TRUE(progressive);
    EXPECT_EQ(quant, 6);  // the standard luminance table's 16 at quality 80
    ASSERT_EQ(Run(Script("JPEG g0 q95"), "pano"), 0) << Err();
    JpegHeaders(ReadFile(dir + "pano.jpg"), quant, progressive);
    EXPECT_FALSE(progressive);
    EXPECT_EQ(quant, 2);  // quality 95
    // Matches the scene where the views cover it; black elsewhere.
    ASSERT_EQ(Run(Script("TIFF"), "mask"), 0) << Err();
    const auto agreement = test::CompareWhereOpaque(dir + "pano.jpg", reference, dir + "mask.tif", 40);
    EXPECT_GT(agreement.share, 0.95);
    TzrMemBitmap jpg;
    jpg.LoadFromFile(dir + "pano.jpg");
    jpg.BeginRead();
    EXPECT_LT(jpg.GetScanline(0)[0] + jpg.GetScanline(0)[1] + jpg.GetScanline(0)[2], 12);
    jpg.EndRead();
}

TEST_F(Stitching, PreviewScriptGivesTheSmallJpeg) {
    ASSERT_EQ(Run(Script("n\"JPEG q90\"", "w300 h100"), "_vrdtmp_1"), 0) << Err();
    int w, h;
    Size(dir + "_vrdtmp_1.jpg", w, h);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 100);
    EXPECT_EQ(Extra(), (std::vector<std::string>{"_vrdtmp_1.jpg"}));
}

TEST_F(Stitching, LargeResultsFlattenOnDisk) {
    // A tiny limit puts every bitmap of the run into a mapped temporary file.
    ASSERT_EQ(Run(Script("TIFF"), "disk", "PTSTITCHER_ONDISK_BYTES=4096"), 0) << Err();
    ASSERT_EQ(Run(Script("TIFF"), "memory"), 0) << Err();
    TzrMemBitmap a, b;
    a.LoadFromFile(dir + "disk.tif");
    b.LoadFromFile(dir + "memory.tif");
    ASSERT_EQ(a.GetHeight(), b.GetHeight());
    a.BeginRead();
    b.BeginRead();
    for (int y = 0; y < a.GetHeight(); y += 7)
        ASSERT_EQ(0, memcmp(a.GetScanline(y), b.GetScanline(y), size_t(a.GetWidth()) * 4)) << y;
    b.EndRead();
    a.EndRead();
}

TEST_F(Stitching, FailuresSayWhyAndLeaveNothing) {
    EXPECT_EQ(Run(Script("PSD_mask"), "pano"), 1);
    EXPECT_NE(Err().find("\"PSD_mask\""), std::string::npos) << Err();
    EXPECT_TRUE(Extra().empty());

    std::string missing = Script("TIFF");
    missing.replace(missing.find("view1.tif"), 9, "gone.tif");
    EXPECT_NE(Run(missing, "pano"), 0);
    EXPECT_NE(Err().find("PTmender"), std::string::npos) << Err();
    // What PTmender left behind of its own is gone too.
    EXPECT_TRUE(Extra().empty()) << Extra().size();
    // Leftovers of earlier runs are not ours to remove.
    WriteFile(dir + "_PTStitcher_tmp_earlier", "x");
    EXPECT_NE(Run(missing, "pano"), 0);
    EXPECT_EQ(Extra(), std::vector<std::string>{"_PTStitcher_tmp_earlier"});
    platform::DeleteFile(dir + "_PTStitcher_tmp_earlier");

    EXPECT_EQ(Run(Script("TIFF"), "pano", "PTMENDER=/nonexistent/PTmender"), 1);
    EXPECT_NE(Err().find("/nonexistent/PTmender"), std::string::npos) << Err();
    EXPECT_EQ(Run(Script("TIFF"), "pano", "PATH=/nonexistent"), 1);
    EXPECT_NE(Err().find("libpano13-bin"), std::string::npos) << Err();
    EXPECT_TRUE(Extra().empty());

    EXPECT_EQ(Shell("cd '" + dir + "' && '" QB_PTSTITCHER "' -o >/dev/null 2>'" + dir + "err.log'"), 2);
    EXPECT_NE(Err().find("usage: PTStitcher"), std::string::npos);
    EXPECT_EQ(Shell("'" QB_PTSTITCHER "' -o x '" + dir + "nothing.txt' 2>/dev/null"), 1);
    EXPECT_TRUE(Extra().empty());
}

TEST_F(Stitching, StoppedRunsLeaveOnlyTheirTemporaryFiles) {
    // A canvas big enough that the run lasts a while.
    const std::string script = Script("TIFF", "w8000 h3000");
    WriteFile(dir + "_vrdtmp_0.txt", script);
    for (int sig : {SIGTERM, SIGKILL}) {
        platform::TProcessInformation pi;
        ASSERT_TRUE(platform::CreateProcess(QB_PTSTITCHER, "PTStitcher -o big _vrdtmp_0.txt", dir, pi));
        // Wait until PTmender has begun writing its layers.
        for (int i = 0; i < 300 && FindFiles(dir, "_PTStitcher_tmp_*").size() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (sig == SIGTERM) {
            kill(static_cast<pid_t>(pi.hProcess), SIGTERM);  // the program alone: it stops PTmender
        } else {
            platform::TerminateProcess(pi.hProcess, 1);  // the whole group, as the queue does
        }
        uint32_t code = platform::STILL_ACTIVE;
        for (int i = 0; i < 3000 && code == platform::STILL_ACTIVE; ++i) {
            platform::GetExitCodeProcess(pi.hProcess, code);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        platform::CloseHandle(pi.hProcess);
        EXPECT_NE(code, 0u);
        EXPECT_FALSE(FileExists(dir + "big.tif"));
        for (const auto& n : Extra()) EXPECT_EQ(n.rfind("_PTStitcher_tmp_", 0), 0u) << n;
        if (sig == SIGTERM) {
            // PTmender is gone too, and the program cleaned up after itself.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(Extra(), std::vector<std::string>{});
            EXPECT_NE(Shell("pgrep -f '[_]PTStitcher_tmp_.*_script.txt' >/dev/null"), 0);
        }
        for (const auto& n : FindFiles(dir, "_PTStitcher_tmp_*")) platform::DeleteFile(dir + n);
    }
}
