// The batch stitcher from command line to finished panorama, with the real PTmender (through
// the PTStitcher front) and the real Enblend: three overlapping views of a synthetic scene,
// rendered by PTmender itself so that their geometry is exact, queued with -x.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "model/datastructures.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "settings/options.h"
#include "tests/support/scene.h"
#include "tests/support/tempdir.h"

using namespace qb;
using platform::FileExists;
using platform::FindFiles;
using test::Shell;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared.Make(); }
    static void TearDownTestSuite() { shared.Remove(); }

    void SetUp() override {
        dir = test::MakeTempDir("qbe2e");
        images = dir + "My Pictures/";
        output = dir + "out/";
        mkdir(images.c_str(), 0700);
        mkdir(output.c_str(), 0700);
        shared.CopyViews(images);
        store = dir + "store.sqlite3";
    }
    void TearDown() override { test::RemoveTree(dir); }

    // A project of the three views: cylindrical, 150 degrees, 1200 x 400.
    std::string WriteProject(int format, bool enblend, const std::string& outputName) {
        TvrdProject p;
        p.Width = 1200;
        p.Height = 400;
        p.PreviewWidth = 300;
        p.PreviewHeight = 100;
        p.Panorama.Projection = 1;
        p.Panorama.Hfov = 150;
        p.Panorama.OutputFormat = format;
        p.Panorama.OutputFile = output + outputName;
        p.EnblendEnabled = enblend;
        p.GlobalLens.Hfov = 60;
        p.GlobalLens.A = p.GlobalLens.B = p.GlobalLens.C = 0;
        for (size_t k = 0; k < views.size(); ++k) {
            TvrdImage& im = p.AddImage();
            im.FileName = images + "view" + std::to_string(k) + ".tif";
            im.Width = 400;
            im.Height = 300;
            im.CropRight = 400;
            im.CropBottom = 300;
            im.Yaw = views[k].yaw;
        }
        const std::string name = dir + "project.pts";
        test::WriteFile(name, MakeScriptText(p, ScriptMode::Project));
        return name;
    }

    void Setting(const std::string& name, const std::string& value) {
        platform::TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey(settings::OptionsRegistryKey, true));
        reg.WriteString(name, value);
    }

    // The program as a user starts it, offscreen, with this test's settings; its exit code.
    int Quiltbatch(const std::string& args) {
        return Shell("cd '" + dir + "' && KELMORA_REGISTRY='" + store +
                     "' QT_QPA_PLATFORM=offscreen timeout 300 '" QB_BINARY_DIR "/bin/quiltbatch' " + args +
                     " >'" + dir + "log.txt' 2>&1");
    }

    // Nothing but the views is left in the images' folder.
    void ExpectNoTemporaryFiles() {
        EXPECT_EQ(FindFiles(images, "*"), (std::vector<std::string>{"view0.tif", "view1.tif", "view2.tif"}));
    }

    static inline test::ThreeViewScene shared;
    static inline const std::string& reference = shared.reference;
    static inline const std::vector<test::View>& views = shared.views;
    std::string dir, images, output, store;
};

void Size(const std::string& file, int& w, int& h) {
    w = h = 0;
    TzrMemBitmap::GetSizeFromFile(file, &w, &h);
}

}  // namespace

TEST_F(EndToEnd, TiffWithEnblendGivesTheBlendedPanorama) {
    Setting("EnblendDir", "/usr/bin");
    const std::string project = WriteProject(8, true, "pano.tif");
    const std::string before = test::ReadFile(project);
    ASSERT_EQ(Quiltbatch("-x '" + project + "'"), 0) << test::ReadFile(dir + "log.txt");
    ASSERT_TRUE(FileExists(output + "pano.tif")) << test::ReadFile(dir + "log.txt");
    int w, h;
    Size(output + "pano.tif", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    // Enblend's seams and blending leave the scene as it was where the views cover it.
    const auto agreement = test::CompareWhereOpaque(output + "pano.tif", reference, output + "pano.tif", 32);
    EXPECT_GT(agreement.compared, 200000);
    EXPECT_GT(agreement.share, 0.95);
    // The layers, the script and the stitcher's leftovers are gone; the project is untouched.
    EXPECT_EQ(FindFiles(output, "*"), std::vector<std::string>{"pano.tif"});
    ExpectNoTemporaryFiles();
    EXPECT_EQ(test::ReadFile(project), before);
}

TEST_F(EndToEnd, JpegWithoutEnblendGivesTheFlattenedJpeg) {
    const std::string project = WriteProject(7, false, "pano.jpg");
    ASSERT_EQ(Quiltbatch("-x '" + project + "'"), 0) << test::ReadFile(dir + "log.txt");
    ASSERT_TRUE(FileExists(output + "pano.jpg")) << test::ReadFile(dir + "log.txt");
    int w, h;
    Size(output + "pano.jpg", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    // Compared where the stitcher's own flattening is opaque.
    ASSERT_EQ(Shell("cd '" + images + "' && printf 'p w1200 h400 f1 v150 n\"TIFF\"\\nm g1 i0\\n"
                    "i n\"view0.tif\"\\no f0 y-40 r0 p0 v60 a0 b0 c0\\n"
                    "i n\"view1.tif\"\\no f0 y0 r0 p0 v60 a0 b0 c0\\n"
                    "i n\"view2.tif\"\\no f0 y40 r0 p0 v60 a0 b0 c0\\n' > ../mask.txt && "
                    "'" QB_BINARY_DIR "/bin/Helpers/PTStitcher' -o ../mask ../mask.txt >/dev/null 2>&1"),
              0);
    const auto agreement = test::CompareWhereOpaque(output + "pano.jpg", reference, dir + "mask.tif", 40);
    EXPECT_GT(agreement.share, 0.95);
    EXPECT_EQ(FindFiles(output, "*"), std::vector<std::string>{"pano.jpg"});
    for (const auto& n : FindFiles(images, "_PTStitcher_tmp_*")) platform::DeleteFile(images + n);
    ExpectNoTemporaryFiles();
}

TEST_F(EndToEnd, PreviewShowsTheSmallJpegInTheViewer) {
    // A viewer that records what it was asked to show, and a copy of it.
    const std::string viewer = dir + "viewer.sh";
    test::WriteFile(viewer, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\" >> '" + dir +
                                "viewer-args.txt'; done\ncp \"$1\" '" + dir + "shown.jpg'\n");
    chmod(viewer.c_str(), 0755);
    Setting("CylViewerApp", viewer);
    const std::string project = WriteProject(8, true, "pano.tif");
    ASSERT_EQ(Quiltbatch("-x -v '" + project + "'"), 0) << test::ReadFile(dir + "log.txt");
    // One argument, although the images' folder has a blank in its name.
    const std::string args = test::ReadFile(dir + "viewer-args.txt");
    EXPECT_EQ(args.rfind(images + "_vrdtmp_", 0), 0u) << args;
    EXPECT_EQ(args.find('\n'), args.size() - 1) << args;
    int w, h;
    Size(dir + "shown.jpg", w, h);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 100);
    // The final panorama was not made, and the preview is deleted after the viewer ended.
    EXPECT_TRUE(FindFiles(output, "*").empty());
    ExpectNoTemporaryFiles();
}
