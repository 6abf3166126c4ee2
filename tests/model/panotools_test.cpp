// The real Panorama Tools read what the writer produces, and the reader understands what
// they answer: PToptimizer on optimizer scripts, PTmender on a stitcher script.
#include <fcntl.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model/datastructures.h"
#include "tests/support/tempdir.h"

using namespace qb;

namespace {

constexpr double kPi = 3.14159265358979323846;
const char* const kOptimizer = "/usr/bin/PToptimizer";
const char* const kMender = "/usr/bin/PTmender";

// Runs a program in a directory with its output going to a log file; the exit status.
int RunProgram(const std::vector<std::string>& args, const std::string& dir, const std::string& log) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The optimizer appends its results with LF line ends; the reader takes CR LF.
std::string ToCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

// An uncompressed 8-bit RGB TIFF with a pattern of its own.
void WriteTiff(const std::string& path, int width, int height, int seed) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr) << path;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<uint8_t>(x * 4 + seed * 50);
            row[x * 3 + 1] = static_cast<uint8_t>(y * 4);
            row[x * 3 + 2] = static_cast<uint8_t>((x ^ y) * 8 + seed);
        }
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0), 1);
    }
    TIFFClose(tif);
}

bool TiffSize(const std::string& path, uint32_t& width, uint32_t& height) {
    TIFFSetWarningHandler(nullptr);  // the layers carry an alpha channel libtiff remarks on
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return false;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFClose(tif);
    return true;
}

class PanoTools : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_EQ(access(kOptimizer, X_OK), 0) << "PToptimizer (libpano13-bin) is missing";
        ASSERT_EQ(access(kMender, X_OK), 0) << "PTmender (libpano13-bin) is missing";
    }

    // Two 64 x 48 rectilinear images of 50 degrees, the second turned 30 degrees to the
    // right, tied by control points computed from that geometry (and one that is not
    // optimised).
    void MakeProject(TvrdProject& p, double startYaw) {
        const int w = 64, h = 48;
        const double f = (w / 2.0) / std::tan(25 * kPi / 180);
        for (int i = 0; i < 2; ++i) {
            TvrdImage& im = p.AddImage();
            im.FileName = Path(i == 0 ? "left.tif" : "right.tif");
            im.Width = im.CropRight = w;
            im.Height = im.CropBottom = h;
            WriteTiff(im.FileName, w, h, i);
        }
        p.Images[1]->Yaw = startYaw;
        p.GlobalLens = {50, 0, 0, 0, 0, 1.0};
        p.OptimizeGlobalV = p.OptimizeGlobalB = false;  // yaw, pitch and roll of image 1 only
        p.Width = 200;
        p.Height = 60;
        p.Panorama.Hfov = 120;
        p.Panorama.Projection = 1;
        const double points[][2] = {{50, 10}, {60, 30}, {55, 40}, {45, 20}, {62, 5}, {40, 44}};
        for (const auto& pt : points) {
            const double dx = pt[0] - w / 2.0, dy = pt[1] - h / 2.0;
            const double theta = std::atan(dx / f) - 30 * kPi / 180;
            const double tanPhi = dy / std::hypot(dx, f);
            TvrdControlPoint& cp = p.AddControlPoint();
            cp.Image1 = 0;
            cp.Image2 = 1;
            cp.X1 = static_cast<int>(pt[0]);
            cp.Y1 = static_cast<int>(pt[1]);
            cp.X2 = static_cast<int>(std::lround(w / 2.0 + f * std::tan(theta)));
            cp.Y2 = static_cast<int>(std::lround(h / 2.0 + tanPhi * f / std::cos(theta)));
        }
        p.ControlPoints[2]->Optimize = false;
    }

    std::string RunOptimizer(const std::string& script) {
        const std::string file = Path("vrdtemp0.txt");
        test::WriteFile(file, script);
        const int rc = RunProgram({kOptimizer, file}, dir, Path("optimizer.log"));
        EXPECT_EQ(rc, 0) << test::ReadFile(Path("optimizer.log"));
        return ToCrLf(test::ReadFile(file));
    }
};

}  // namespace

TEST_F(PanoTools, OptimizerResultGivesPlacementAndDistances) {
    TvrdProject p;
    MakeProject(p, 20);
    std::string message;
    const std::string script =
        MakeScriptText(p, ScriptMode::Optimize, [&](const std::string& m) { message = m; });
    ASSERT_FALSE(script.empty()) << message;
    const std::string answer = RunOptimizer(script);
    ASSERT_NE(answer.find("\r\n*\r\n"), std::string::npos) << answer;
    ReadProjectText(answer, ReadMode::OptimizerResult, p, true, false, false);
    EXPECT_NEAR(std::fabs(p.Image(1).Yaw), 30, 0.5);
    EXPECT_NEAR(p.Image(1).Pitch, 0, 0.5);
    EXPECT_EQ(p.Image(0).Yaw, 0);
    for (int i = 0; i < p.ControlPointCount(); ++i) {
        SCOPED_TRACE(i);
        if (i == 2) {
            EXPECT_EQ(p.ControlPoint(i).Distance, -1);  // not in the script
        } else {
            EXPECT_GE(p.ControlPoint(i).Distance, 0);
            EXPECT_LT(p.ControlPoint(i).Distance, 2);
        }
    }
}

TEST_F(PanoTools, MorphResultCollectsTheOptimizersCLines) {
    TvrdProject p;
    MakeProject(p, 30);
    p.MorphMode = 1;
    ASSERT_TRUE(p.UsesMorphToFit());
    const std::string script = MakeScriptText(p, ScriptMode::MorphOptimize);
    ASSERT_NE(script.find("\r\nv y2\r\n"), std::string::npos);
    const std::string answer = RunOptimizer(script);
    ReadProjectText(answer, ReadMode::MorphResult, p, true, false, false);
    // Two lines (one per image) for each of the six morph points.
    const std::string& data = p.MorphToFitData;
    size_t lines = 0;
    for (size_t pos = 0; pos < data.size();) {
        const size_t end = data.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(data.compare(pos, 3, "C i"), 0) << data.substr(pos, end - pos);
        pos = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 12u) << data;
    const std::string stitch = MakeScriptText(p, ScriptMode::Stitch);
    EXPECT_EQ(stitch.substr(stitch.size() - data.size() - 22), "# Morph-to-fit data:\r\n" + data);
}

TEST_F(PanoTools, MenderStitchesTheLayersOfATiffMScript) {
    TvrdProject p;
    MakeProject(p, 30);
    p.Panorama.OutputFormat = kFormatTIFF_m;
    p.Images[1]->CropLeft = 2;  // a cropped image too
    const std::string script = MakeScriptText(p, ScriptMode::Stitch);
    test::WriteFile(Path("_vrdtmp_0.txt"), script);
    const int rc = RunProgram({kMender, "-o", "pano", "_vrdtmp_0.txt"}, dir, Path("mender.log"));
    ASSERT_EQ(rc, 0) << test::ReadFile(Path("mender.log")) << script;
    for (const char* layer : {"pano0000.tif", "pano0001.tif"}) {
        SCOPED_TRACE(layer);
        uint32_t width = 0, height = 0;
        ASSERT_TRUE(TiffSize(Path(layer), width, height)) << test::ReadFile(Path("mender.log"));
        // Each layer is the panorama's size, or the part its image covers.
        EXPECT_GT(width, 0u);
        EXPECT_LE(width, 200u);
        EXPECT_GT(height, 0u);
        EXPECT_LE(height, 60u);
    }
}
