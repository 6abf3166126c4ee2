// A synthetic scene for stitching tests: an equirectangular image with smooth colour ramps
// and a checker pattern, and rectilinear views of it rendered by the real PTmender, so that
// the views' geometry is exact.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qb {
class TzrMemBitmap;
}

namespace qb::test {

// Writes the equirectangular scene (pf24bit TIFF) of width x height pixels.
void MakeScene(const std::string& fileName, int width, int height);

struct View {
    std::string fileName;  // full name of the view's TIFF
    double yaw = 0;        // where the view looks, in degrees
};

// Renders rectilinear views (width x height, horizontal field of view hfov) of the scene,
// looking at the given yaws, into dir as <prefix><k>.tif. PTmender must be on the PATH.
std::vector<View> MakeViews(const std::string& dir, const std::string& scene,
                            const std::vector<double>& yaws, double hfov, int width, int height,
                            const std::string& prefix = "view");

// Renders the scene straight into a panorama of the given projection, size and field of
// view (as PTmender's single full-canvas layer); the result is the reference to compare a
// stitched panorama with.
std::string RenderReference(const std::string& dir, const std::string& scene, int projection,
                            int width, int height, double hfov);

// The stitching tests' scene: a 1440 x 720 equirectangular scene, three 400 x 300 views
// of 60 degrees looking at yaws -40, 0 and 40, and the reference rendering of the scene as
// a 1200 x 400 cylindrical panorama of 150 degrees. Made once per test suite.
struct ThreeViewScene {
    std::string dir, scene, reference;
    std::vector<View> views;

    void Make();
    void Remove();
    // Copies the views into `target` as view0.tif, view1.tif, view2.tif.
    void CopyViews(const std::string& target) const;
};

// Runs a shell command line; its exit status (-1 when it could not run).
int Shell(const std::string& command);

// Runs PTmender on the script text in dir (a trailing '/'), writing its images as
// <dir><output>0000.tif ...; the name of the first image (a test failure when PTmender fails).
std::string RunPTmender(const std::string& dir, const std::string& script, const std::string& output);

// The root mean square difference of the colour channels (0..255) of two images of the same
// size, over the pixels where `mask` (pf32bit, same size) is opaque, or over all pixels
// without a mask; rmse is -1 when the sizes or the mask do not fit.
struct Difference {
    double rmse = -1;
    int64_t compared = 0;
};
Difference RmsDifference(const TzrMemBitmap& a, const TzrMemBitmap& b, const TzrMemBitmap* mask = nullptr);

// Compares two images of the same size where `mask` (an image with alpha) is opaque:
// the share of those pixels whose channels all lie within `tolerance`, and how many were
// compared. Images are read with the memory bitmap.
struct Agreement {
    double share = 0;
    int64_t compared = 0;
};
Agreement CompareWhereOpaque(const std::string& image, const std::string& reference,
                             const std::string& mask, int tolerance);

}  // namespace qb::test
