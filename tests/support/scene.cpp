#include "tests/support/scene.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/numbertext.h"

namespace qb::test {

void MakeScene(const std::string& fileName, int width, int height) {
    TzrMemBitmap scene;
    scene.SetWidthHeightPixelFormat(width, height, pf24bit, false);
    scene.BeginWrite();
    for (int y = 0; y < height; ++y) {
        uint8_t* row = scene.GetScanline(y);
        for (int x = 0; x < width; ++x) {
            const bool light = ((x * 24 / width) + (y * 12 / height)) % 2 == 0;
            row[3 * x + 0] = light ? 230 : 40;                           // blue: checker
            row[3 * x + 1] = static_cast<uint8_t>(40 + 180 * y / height);  // green: ramp down
            row[3 * x + 2] = static_cast<uint8_t>(20 + 200 * x / width);   // red: ramp across
        }
    }
    scene.EndWrite();
    scene.SaveToFile(fileName);
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

namespace {
void WriteText(const std::string& name, const std::string& text) {
    std::ofstream f(name, std::ios::binary);
    f << text;
}
}  // namespace

std::string RunPTmender(const std::string& dir, const std::string& script, const std::string& output) {
    const std::string scriptFile = dir + output + ".txt";
    WriteText(scriptFile, script);
    EXPECT_EQ(Shell("cd '" + dir + "' && PTmender -q -o '" + dir + output + "' '" + scriptFile + "' >/dev/null 2>&1"),
              0)
        << script;
    std::remove(scriptFile.c_str());
    return dir + output + "0000.tif";
}

std::vector<View> MakeViews(const std::string& dir, const std::string& scene,
                            const std::vector<double>& yaws, double hfov, int width, int height,
                            const std::string& prefix) {
    std::vector<View> views;
    int sceneWidth = 0, sceneHeight = 0;
    TzrMemBitmap::GetSizeFromFile(scene, &sceneWidth, &sceneHeight);
    for (size_t k = 0; k < yaws.size(); ++k) {
        // Looking at yaw Y means turning the scene by -Y in front of the camera.
        const std::string layerName =
            RunPTmender(dir,
                        "p w" + std::to_string(width) + " h" + std::to_string(height) + " f0 v" + FloatToStr(hfov) +
                            " n\"TIFF_m\"\nm g1 i0\no n\"" + scene + "\" f4 w" + std::to_string(sceneWidth) +
                            " h" + std::to_string(sceneHeight) + " v360 y" + FloatToStr(-yaws[k]) + " r0 p0\n",
                        prefix + "_tmp" + std::to_string(k));
        const std::string name = dir + prefix + std::to_string(k) + ".tif";
        // PTmender's layer carries alpha; a camera image has none.
        TzrMemBitmap layer;
        layer.LoadFromFile(layerName);
        TzrMemBitmap view;
        view.ExtractCropFrom(layer, TRect(0, 0, layer.GetWidth(), layer.GetHeight()), 0, false);
        if (view.GetPixelFormat() != pf24bit) view.SetWidthHeightPixelFormat(view.GetWidth(), view.GetHeight(), pf24bit, true);
        view.SaveToFile(name);
        std::remove(layerName.c_str());
        views.push_back({name, yaws[k]});
    }
    return views;
}

std::string RenderReference(const std::string& dir, const std::string& scene, int projection,
                            int width, int height, double hfov) {
    int sceneWidth = 0, sceneHeight = 0;
    TzrMemBitmap::GetSizeFromFile(scene, &sceneWidth, &sceneHeight);
    return RunPTmender(dir,
                       "p w" + std::to_string(width) + " h" + std::to_string(height) + " f" +
                           std::to_string(projection) + " v" + FloatToStr(hfov) +
                           " n\"TIFF_m r:UNCROP\"\nm g1 i0\no n\"" + scene + "\" f4 w" + std::to_string(sceneWidth) +
                           " h" + std::to_string(sceneHeight) + " v360 y0 r0 p0\n",
                       "reference");
}

void ThreeViewScene::Make() {
    dir = MakeTempDir("qbscene");
    scene = dir + "scene.tif";
    MakeScene(scene, 1440, 720);
    views = MakeViews(dir, scene, {-40, 0, 40}, 60, 400, 300);
    reference = RenderReference(dir, scene, 1, 1200, 400, 150);
}

void ThreeViewScene::Remove() { RemoveTree(dir); }

void ThreeViewScene::CopyViews(const std::string& target) const {
    for (size_t k = 0; k < views.size(); ++k)
        EXPECT_EQ(Shell("cp '" + views[k].fileName + "' '" + target + "view" + std::to_string(k) + ".tif'"), 0);
}

Agreement CompareWhereOpaque(const std::string& image, const std::string& reference,
                             const std::string& mask, int tolerance) {
    TzrMemBitmap a, b, m;
    a.LoadFromFile(image);
    b.LoadFromFile(reference);
    m.LoadFromFile(mask);
    Agreement result;
    EXPECT_EQ(a.GetWidth(), b.GetWidth());
    EXPECT_EQ(a.GetHeight(), b.GetHeight());
    EXPECT_EQ(m.GetWidth(), b.GetWidth());
    EXPECT_EQ(m.GetPixelFormat(), pf32bit);
    if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() ||
        m.GetWidth() != b.GetWidth() || m.GetHeight() != b.GetHeight() || m.GetPixelFormat() != pf32bit)
        return result;
    const int ba = a.GetBytesPerPixel(), bb = b.GetBytesPerPixel();
    int64_t agree = 0;
    a.BeginRead();
    b.BeginRead();
    m.BeginRead();
    for (int y = 0; y < a.GetHeight(); ++y) {
        const uint8_t* ra = a.GetScanline(y);
        const uint8_t* rb = b.GetScanline(y);
        const uint8_t* rm = m.GetScanline(y);
        for (int x = 0; x < a.GetWidth(); ++x) {
            if (rm[4 * x + 3] != 255) continue;
            ++result.compared;
            bool close = true;
            for (int c = 0; c < 3; ++c)
                if (std::abs(int(ra[ba * x + c]) - int(rb[bb * x + c])) > tolerance) close = false;
            agree += close;
        }
    }
    m.EndRead();
    b.EndRead();
    a.EndRead();
    result.share = result.compared ? double(agree) / double(result.compared) : 0;
    return result;
}

Difference RmsDifference(const TzrMemBitmap& a, const TzrMemBitmap& b, const TzrMemBitmap* mask) {
    Difference result;
    const int w = a.GetWidth(), h = a.GetHeight();
    if (b.GetWidth() != w || b.GetHeight() != h) return result;
    if (mask && (mask->GetWidth() != w || mask->GetHeight() != h || mask->GetPixelFormat() != pf32bit))
        return result;
    const int ba = a.GetBytesPerPixel(), bb = b.GetBytesPerPixel();
    double sum = 0;
    a.BeginRead();
    b.BeginRead();
    if (mask) mask->BeginRead();
    for (int y = 0; y < h; ++y) {
        const uint8_t* ra = a.GetScanline(y);
        const uint8_t* rb = b.GetScanline(y);
        const uint8_t* rm = mask ? mask->GetScanline(y) : nullptr;
        for (int x = 0; x < w; ++x) {
            if (rm && rm[4 * x + 3] != 255) continue;
            ++result.compared;
            for (int c = 0; c < 3; ++c) {
                const double d = double(ra[ba * x + c]) - double(rb[bb * x + c]);
                sum += d * d;
            }
        }
    }
    if (mask) mask->EndRead();
    b.EndRead();
    a.EndRead();
    result.rmse = result.compared ? std::sqrt(sum / (3.0 * double(result.compared))) : 0;
    return result;
}

}  // namespace qb::test
