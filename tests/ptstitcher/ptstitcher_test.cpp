#include "tools/ptstitcher/ptstitcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/file.h>
#include <tiffio.h>

#include <QBuffer>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "components/MemBitmapIO/zrstream.h"
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

// PTmender reads its script from the run's folder: relative image names are made absolute
// against the working directory, and nothing else changes.
TEST(PTStitcherScript, ImageNamesAreTakenFromTheWorkingDirectory) {
    const std::string script = "p w10 h10 n\"TIFF_m r:CROP\"\r\ni w4 n\"a b.tif\" f0\r\n"
                               "i n\"/abs/c.tif\"\r\no f0 n\"sub/d.jpg\" y0\r\ni n\"\"\r\n"
                               "# i n\"x.tif\"\r\nC i0 x1\r\ni n\"e.tif\"";
    EXPECT_EQ(ScriptWithImagesFrom(script, "/w d/"),
              "p w10 h10 n\"TIFF_m r:CROP\"\r\ni w4 n\"/w d/a b.tif\" f0\r\n"
              "i n\"/abs/c.tif\"\r\no f0 n\"/w d/sub/d.jpg\" y0\r\ni n\"\"\r\n"
              "# i n\"x.tif\"\r\nC i0 x1\r\ni n\"/w d/e.tif\"");
    EXPECT_THROW(ScriptWithImagesFrom(script, "/w\"d/"), Exception);
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
    // Folders are listed with a trailing "/".
    std::vector<std::string> Extra() {
        std::vector<std::string> extra;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            const std::string n = e.path().filename().string() + (e.is_directory() ? "/" : "");
            if (n.rfind("view", 0) != 0 && n != "_vrdtmp_0.txt" && n != "_vrdtmp_1.txt" && n != "out.log" &&
                n != "err.log")
                extra.push_back(n);
        }
        std::sort(extra.begin(), extra.end());
        return extra;
    }
    // Runs PTmender itself on the script as the front hands it over (cropped or full-canvas
    // layers) in the images' folder; the layers' full names.
    std::vector<std::string> Layers(const std::string& script, bool cropped, const std::string& prefix) {
        WriteFile(dir + prefix + ".txt", ScriptForPTmender(script, cropped));
        EXPECT_EQ(Shell("cd '" + dir + "' && PTmender -o '" + prefix + "' '" + prefix + ".txt' >/dev/null 2>&1"), 0);
        std::vector<std::string> names;
        for (int k = 0; FileExists(dir + prefix + "000" + std::to_string(k) + ".tif"); ++k)
            names.push_back(dir + prefix + "000" + std::to_string(k) + ".tif");
        EXPECT_EQ(names.size(), views.size());
        return names;
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
    EXPECT_NE(Err().find("The output folder " + dir + "out/ does not exist"), std::string::npos) << Err();
    EXPECT_TRUE(Extra().empty()) << Extra()[0];
    mkdir((dir + "out").c_str(), 0700);
    ASSERT_EQ(Run(Script("TIFF_m"), dir + "out/pano"), 0) << Err();
    EXPECT_EQ(FindFiles(dir + "out", "*"),
              (std::vector<std::string>{"pano0000.tif", "pano0001.tif", "pano0002.tif"}));
    int w, h;
    Size(dir + "out/pano0001.tif", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    EXPECT_EQ(Extra(), std::vector<std::string>{"out/"});
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

namespace {

// Files inside the run folders ("_PTStitcher_tmp_*/") of a folder.
size_t RunFolderFiles(const std::string& dir) {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_directory() && e.path().filename().string().rfind("_PTStitcher_tmp_", 0) == 0)
            n += FindFiles(e.path().string(), "*").size();
    return n;
}

// Whether some process works in `dir` (PTmender runs there).
bool SomeoneWorksIn(const std::string& dir) {
    std::error_code ec;
    const auto target = std::filesystem::canonical(dir, ec);
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::error_code none;
        const auto cwd = std::filesystem::read_symlink(e.path() / "cwd", none);
        if (!none && cwd == target) return true;
    }
    return false;
}

// Whether someone holds a lock on the file or folder: an exclusive lock cannot be had.
bool Locked(const std::string& name) {
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
}

// Starts the program in `dir` on a script file there; waits until PTmender writes.
platform::TProcessInformation StartRun(const std::string& dir, const std::string& script, const std::string& output) {
    platform::TProcessInformation pi;
    EXPECT_TRUE(platform::CreateProcess(QB_PTSTITCHER, "PTStitcher -o " + output + " " + script, dir, pi));
    for (int i = 0; i < 1000 && RunFolderFiles(dir) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pi;
}

uint32_t WaitEnd(platform::TProcessInformation& pi) {
    uint32_t code = platform::STILL_ACTIVE;
    for (int i = 0; i < 60000 && code == platform::STILL_ACTIVE; ++i) {
        platform::GetExitCodeProcess(pi.hProcess, code);
        if (code == platform::STILL_ACTIVE) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    platform::CloseHandle(pi.hProcess);
    return code;
}

}  // namespace

TEST_F(Stitching, StoppedRunsLeaveOnlyTheirTemporaryFiles) {
    // A canvas big enough that the run lasts a while.
    const std::string script = Script("TIFF", "w8000 h3000");
    WriteFile(dir + "_vrdtmp_0.txt", script);
    for (int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        platform::TProcessInformation pi = StartRun(dir, "_vrdtmp_0.txt", "big");
        EXPECT_GE(RunFolderFiles(dir), 2u) << "PTmender writes";
        if (sig == SIGTERM) {
            kill(static_cast<pid_t>(pi.hProcess), SIGTERM);  // the program alone: it stops PTmender
        } else {
            platform::TerminateProcess(pi.hProcess, 1);  // the whole group, as the queue does
        }
        EXPECT_NE(WaitEnd(pi), 0u);
        EXPECT_FALSE(FileExists(dir + "big.tif"));
        for (const auto& n : Extra()) EXPECT_EQ(n.rfind("_PTStitcher_tmp_", 0), 0u) << n;
        if (sig == SIGTERM) {
            // PTmender is gone too, and the program cleaned up after itself.
            for (int i = 0; i < 300 && SomeoneWorksIn(dir); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_FALSE(SomeoneWorksIn(dir));
            EXPECT_EQ(Extra(), std::vector<std::string>{});
        } else {
            // A killed run's files are removed by the next run in the folder.
            EXPECT_FALSE(Extra().empty());
            for (int i = 0; i < 300 && SomeoneWorksIn(dir); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ(Run(Script("JPEG q80", "w300 h100"), "after"), 0) << Err();
            EXPECT_EQ(Extra(), std::vector<std::string>{"after.jpg"});
        }
    }
}

// Two runs in one folder, as two queue windows over the same images: neither removes what
// the other still uses, and a sweep that spares locked files leaves the running one whole.
TEST_F(Stitching, TwoRunsInOneFolderKeepEachOthersFiles) {
    WriteFile(dir + "_vrdtmp_0.txt", Script("TIFF", "w8000 h3000"));
    platform::TProcessInformation big = StartRun(dir, "_vrdtmp_0.txt", "big");
    // Everything of the running one in the folder is locked.
    std::vector<std::string> running;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("_PTStitcher_tmp_", 0) == 0) running.push_back(e.path().string());
    ASSERT_FALSE(running.empty());
    for (const auto& n : running) EXPECT_TRUE(Locked(n)) << n;
    // The second run starts and ends meanwhile.
    WriteFile(dir + "_vrdtmp_1.txt", Script("JPEG q80", "w300 h100"));
    EXPECT_EQ(Shell("cd '" + dir + "' && '" QB_PTSTITCHER "' -o small _vrdtmp_1.txt >/dev/null 2>'" + dir +
                    "err.log'"),
              0)
        << Err();
    // The queue's sweep after that run: every leftover that is not locked goes.
    for (const auto& n : FindFiles(dir, "_PTStitcher_tmp_*"))
        if (!Locked(dir + n)) platform::DeleteFile(dir + n);
    for (const auto& n : running) EXPECT_TRUE(std::filesystem::exists(n)) << n;
    EXPECT_EQ(WaitEnd(big), 0u);
    int w, h;
    Size(dir + "big.tif", w, h);
    EXPECT_EQ(w, 8000);
    EXPECT_EQ(h, 3000);
    EXPECT_EQ(Extra(), (std::vector<std::string>{"big.tif", "small.jpg"}));
}

namespace {

std::string Flattened(const std::vector<std::string>& layers, TOutputKind kind, const std::string& formatField,
                      int w, int h, bool streamed) {
    TzrMemoryStream out;
    WriteFlattened(layers, kind, ReadScriptFormat("p w1 h1 n\"" + formatField + "\"\r\n"), w, h, out, streamed);
    return out.Bytes();
}

QImage Png(const std::string& bytes) {
    QImage image = QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()), int(bytes.size()), "PNG");
    return image.convertToFormat(QImage::Format_ARGB32);
}

std::unique_ptr<TzrMemBitmap> Decoded(const std::string& bytes, TzrMemBitmapFileType type) {
    TzrMemoryStream in(bytes);
    auto b = std::make_unique<TzrMemBitmap>();
    b->LoadFromStream(in, type);
    return b;
}

}  // namespace

// The streamed flatten against the whole-layer one: the same bytes for TIFF and JPEG, the
// same pixels for PNG, for cropped and full-canvas layers, a canvas that clips the layers,
// and a canvas in a mapped file.
TEST_F(Stitching, StreamedFlattenIsTheWholeLayerFlatten) {
    const std::string script = Script("TIFF");
    const std::vector<std::vector<std::string>> sets = {Layers(script, true, "crop"), Layers(script, false, "full")};
    struct Kind {
        TOutputKind kind;
        const char* field;
    };
    const std::vector<Kind> kinds = {{TOutputKind::Tiff, "TIFF"},
                                     {TOutputKind::Jpeg, "JPEG q80 g1"},
                                     {TOutputKind::Jpeg, "JPEG q95 g0"},
                                     {TOutputKind::Png, "PNG"}};
    const int32_t savedOnDisk = TzrMemBitmap::DefaultAutoOnDiskSize;
    for (size_t set = 0; set < sets.size(); ++set)
        for (const Kind& k : kinds)
            for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1200, 400}, {700, 250}})
                for (bool onDisk : {false, true}) {
                    SCOPED_TRACE(std::string(k.field) + (set ? " full" : " cropped") + " " + std::to_string(w) +
                                 (onDisk ? " on disk" : ""));
                    const std::string old = Flattened(sets[set], k.kind, k.field, w, h, false);
                    TzrMemBitmap::DefaultAutoOnDiskSize = onDisk ? 4096 : savedOnDisk;
                    const std::string streamed = Flattened(sets[set], k.kind, k.field, w, h, true);
                    TzrMemBitmap::DefaultAutoOnDiskSize = savedOnDisk;
                    ASSERT_GT(old.size(), 1000u);
                    if (k.kind != TOutputKind::Png) {
                        EXPECT_TRUE(old == streamed) << old.size() << " " << streamed.size();
                    } else {
                        const QImage a = Png(old), b = Png(streamed);
                        ASSERT_EQ(a.size(), QSize(w, h));
                        EXPECT_TRUE(a == b);
                    }
                }
    // The program's own result is that flatten of PTmender's cropped layers.
    for (const Kind& k : {kinds[0], kinds[1]}) {
        ASSERT_EQ(Run(Script(k.field), "pano"), 0) << Err();
        const std::string name = dir + (k.kind == TOutputKind::Tiff ? "pano.tif" : "pano.jpg");
        EXPECT_TRUE(ReadFile(name) == Flattened(sets[0], k.kind, k.field, 1200, 400, false)) << k.field;
    }
}

// Cropped layers flatten to the full-canvas result but along mask edges, where PTmender
// renders a cropped layer's border pixels differently.
TEST_F(Stitching, CroppedLayersFlattenLikeFullCanvasOnes) {
    const std::string script = Script("TIFF");
    const auto croppedBitmap =
        Decoded(Flattened(Layers(script, true, "crop"), TOutputKind::Tiff, "TIFF", 1200, 400, true), mbftTIFF);
    const auto fullBitmap =
        Decoded(Flattened(Layers(script, false, "full"), TOutputKind::Tiff, "TIFF", 1200, 400, true), mbftTIFF);
    const TzrMemBitmap& cropped = *croppedBitmap;
    const TzrMemBitmap& full = *fullBitmap;
    int64_t differ = 0, opaque = 0;
    cropped.BeginRead();
    full.BeginRead();
    for (int y = 0; y < 400; ++y) {
        const uint8_t* a = cropped.GetScanline(y);
        const uint8_t* b = full.GetScanline(y);
        for (int x = 0; x < 1200; ++x) {
            opaque += b[4 * x + 3] == 255;
            differ += memcmp(a + 4 * x, b + 4 * x, 4) != 0;
        }
    }
    full.EndRead();
    cropped.EndRead();
    EXPECT_GT(opaque, 200000);
    // Measured: 148 of the 432,328 covered pixels differ on this scene.
    EXPECT_LE(differ, opaque / 1000) << differ;
}

// The fast transform (f0, on by default) against the exact one: the same panorama within a
// few levels.
TEST_F(Stitching, FastTransformStaysCloseToTheExactOne) {
    std::string exact = Script("TIFF");
    const size_t m = exact.find("m g1 i0 f0");
    ASSERT_NE(m, std::string::npos);
    exact.replace(m, 10, "m g1 i0");
    ASSERT_EQ(Run(Script("TIFF"), "fast"), 0) << Err();
    ASSERT_EQ(Run(exact, "exact"), 0) << Err();
    TzrMemBitmap fast, slow;
    fast.LoadFromFile(dir + "fast.tif");
    slow.LoadFromFile(dir + "exact.tif");
    int worst = 0;
    double sum = 0;
    int64_t n = 0, alphaDiffers = 0;
    fast.BeginRead();
    slow.BeginRead();
    for (int y = 0; y < 400; ++y) {
        const uint8_t* a = fast.GetScanline(y);
        const uint8_t* b = slow.GetScanline(y);
        for (int x = 0; x < 1200; ++x) {
            alphaDiffers += a[4 * x + 3] != b[4 * x + 3];
            if (a[4 * x + 3] != 255 || b[4 * x + 3] != 255) continue;
            for (int c = 0; c < 3; ++c) {
                const int d = std::abs(int(a[4 * x + c]) - int(b[4 * x + c]));
                worst = std::max(worst, d);
                sum += d;
                ++n;
            }
        }
    }
    slow.EndRead();
    fast.EndRead();
    ASSERT_GT(n, 600000);
    // Measured on this scene: at most 4 levels, mean 0.019 levels, the same coverage.
    EXPECT_LE(worst, 8);
    EXPECT_LT(sum / double(n), 0.05);
    EXPECT_LE(alphaDiffers, 1200);
}

// A result that does not fit on the output folder's file system: the program says so, exits
// non-zero and leaves nothing there, neither the cut file nor its temporary one.
TEST_F(Stitching, FullOutputFolderFailsAndLeavesNothing) {
    const std::string out = dir + "small/";
    std::filesystem::create_directories(out);
    if (Shell("mount -t tmpfs -o size=16k tmpfs '" + out + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    struct Unmount {
        std::string at;
        ~Unmount() { Shell("umount '" + at + "'"); }
    } unmount{out};
    struct Case {
        const char* format;
        std::vector<std::string> results;
    };
    const std::vector<Case> cases = {{"TIFF", {"pano.tif"}},
                                     {"JPEG q100", {"pano.jpg"}},
                                     {"PNG", {"pano.png"}},
                                     {"TIFF_m", {"pano0000.tif", "pano0001.tif", "pano0002.tif"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(Run(Script(c.format), out + "pano"), 1);
        EXPECT_NE(Err().find("Cannot write " + out + c.results[0]), std::string::npos) << Err();
        EXPECT_TRUE(std::filesystem::is_empty(out));
        EXPECT_EQ(Extra(), std::vector<std::string>{"small/"});
    }
    // With room, the same results arrive whole, the layers copied across file systems.
    ASSERT_EQ(Shell("mount -o remount,size=32m '" + out + "'"), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        ASSERT_EQ(Run(Script(c.format), out + "pano"), 0) << Err();
        EXPECT_EQ(FindFiles(out, "*"), c.results);
        for (const auto& r : c.results) platform::DeleteFile(out + r);
        EXPECT_EQ(Extra(), std::vector<std::string>{"small/"});
    }
}

namespace {
// A 16-bit RGB copy of an 8-bit TIFF, written with libtiff.
void WriteSixteenBit(const std::string& from, const std::string& to) {
    TzrMemBitmap b;
    b.LoadFromFile(from);
    TIFF* tif = TIFFOpen(to.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(b.GetWidth()));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(b.GetHeight()));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<uint16_t> row(size_t(b.GetWidth()) * 3);
    b.BeginRead();
    const int bpp = b.GetBytesPerPixel();
    for (int y = 0; y < b.GetHeight(); ++y) {
        const uint8_t* p = b.GetScanline(y);
        for (int x = 0; x < b.GetWidth(); ++x)
            for (int c = 0; c < 3; ++c) row[3 * x + c] = uint16_t(p[bpp * x + 2 - c] * 257);
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), uint32_t(y), 0), 1);
    }
    b.EndRead();
    TIFFClose(tif);
}
}  // namespace

namespace {
// Pixels whose alpha differs between two RGBA files of one size.
int64_t AlphaDifferences(const std::string& a, const std::string& b) {
    TzrMemBitmap x, y;
    x.LoadFromFile(a);
    y.LoadFromFile(b);
    EXPECT_EQ(x.GetPixelFormat(), pf32bit);
    EXPECT_EQ(y.GetPixelFormat(), pf32bit);
    if (x.GetWidth() != y.GetWidth() || x.GetHeight() != y.GetHeight()) return -1;
    int64_t n = 0;
    x.BeginRead();
    y.BeginRead();
    for (int r = 0; r < x.GetHeight(); ++r)
        for (int c = 0; c < x.GetWidth(); ++c) n += x.GetScanline(r)[4 * c + 3] != y.GetScanline(r)[4 * c + 3];
    y.EndRead();
    x.EndRead();
    return n;
}
}  // namespace

// 16-bit source images give 16-bit layers; their alpha counts as that of 8-bit ones does, so
// the panorama covers what the 8-bit views cover and no more, and matches the scene there.
TEST_F(Stitching, SixteenBitLayersKeepTheirAlpha) {
    ASSERT_EQ(Run(Script("TIFF"), "eight"), 0) << Err();
    for (size_t k = 0; k < views.size(); ++k) {
        const std::string name = dir + "view" + std::to_string(k) + ".tif";
        WriteSixteenBit(name, name + ".16");
        std::filesystem::rename(name + ".16", name);
    }
    ASSERT_EQ(Run(Script("TIFF"), "pano"), 0) << Err();
    ASSERT_EQ(Run(Script("JPEG q95"), "pano"), 0) << Err();
    EXPECT_LE(AlphaDifferences(dir + "pano.tif", dir + "eight.tif"), 500);
    EXPECT_GT(test::CompareWhereOpaque(dir + "pano.tif", reference, dir + "eight.tif", 24).share, 0.97);
    EXPECT_GT(test::CompareWhereOpaque(dir + "pano.jpg", reference, dir + "eight.tif", 40).share, 0.95);

}
