// Morph to fit: the real Panorama Tools optimizer through the bridge folds its answer into
// the stitcher script; an optimizer that gives no answer stops the queue. The optimizer's
// script file is temporary either way.
#include <gtest/gtest.h>

#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

class PipelineMorph : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        temp = Path("tmp/");
        std::filesystem::create_directories(temp);
        tmpdir = std::make_unique<TScopedEnv>("TMPDIR", temp);
    }
    void TearDown() override {
        tmpdir.reset();
        PipelineTest::TearDown();
    }
    // Two overlapping images on an equirectangular panorama, three morph-to-fit points.
    std::string MorphProject() {
        NewProject(2);
        project->Panorama.Hfov = 360;
        project->Width = 1000;
        project->Height = 500;
        project->MorphMode = 1;  // every normal point morphs
        for (int i = 0; i < 2; ++i) {
            qb::TvrdImage& im = project->Image(i);
            im.Width = 400;
            im.Height = 300;
            im.CropRight = 400;
            im.CropBottom = 300;
            im.Yaw = 30.0 * i;
        }
        const int points[3][4] = {{300, 150, 100, 150}, {310, 50, 110, 50}, {320, 250, 120, 250}};
        for (const auto& pt : points) {
            qb::TvrdControlPoint& cp = project->AddControlPoint();
            cp.Image1 = 0;
            cp.Image2 = 1;
            cp.X1 = pt[0];
            cp.Y1 = pt[1];
            cp.X2 = pt[2];
            cp.Y2 = pt[3];
        }
        EXPECT_TRUE(project->UsesMorphToFit());
        return SaveProject();
    }

    std::string temp;
    std::unique_ptr<TScopedEnv> tmpdir;
};

TEST_F(PipelineMorph, TheOptimizersAnswerEntersTheScript) {
    CreateForm();
    const std::string file = MorphProject();
    const std::string before = qb::test::ReadFile(file);
    QueueAndStep(file);
    EXPECT_TRUE(answers.boxes.empty()) << answers.boxes[0].text;
    EXPECT_TRUE(form->isEnabled());
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    const std::string script = qb::test::ReadFile(logs + "stitcher.script");
    const size_t data = script.find("\r\n# Morph-to-fit data:\r\n");
    ASSERT_NE(data, std::string::npos) << script;
    // One line per image for each of the three points.
    size_t lines = 0;
    for (size_t pos = data; (pos = script.find("\r\nC i", pos)) != std::string::npos; ++pos) ++lines;
    EXPECT_EQ(lines, 6u) << script;
    EXPECT_TRUE(FilesLike(temp, "vrdtemp").empty());
    EXPECT_EQ(qb::test::ReadFile(file), before);
}

TEST_F(PipelineMorph, PreviewSizeForThePreview) {
    CreateForm();
    const std::string viewer = MakeProgram(Path("tools/viewer"), logs + "viewer", "exit 0\n");
    Set("PTViewerApp", viewer);
    MakeProgram(stitcher, logs + "stitcher", StitcherBody(logs + "stitcher", {".jpg"}));
    form->SetPreviewMode(true);
    const std::string file = MorphProject();
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(answers.boxes.empty()) << answers.boxes[0].text;
    const std::string script = qb::test::ReadFile(logs + "stitcher.script");
    EXPECT_NE(script.find("p n\"JPEG q90\" w250 h250 "), std::string::npos) << script;
    EXPECT_NE(script.find("# Morph-to-fit data:"), std::string::npos);
    EXPECT_TRUE(FilesLike(temp, "vrdtemp").empty());
    EXPECT_TRUE(FilesLike(images, "_").empty());
}

TEST_F(PipelineMorph, AnOptimizerWithoutAnswerStopsTheQueue) {
    // The stand-in library leaves the script file as it was: no answer.
    CreateForm(StandinLibrary("full"));
    const std::string file = MorphProject();
    QueueAndStep(file);
    ExpectStoppedWithFirst(file);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "Optimizer failed");
    EXPECT_TRUE(form->isEnabled());
    EXPECT_TRUE(FilesLike(temp, "vrdtemp").empty());
    EXPECT_FALSE(qb::platform::FileExists(logs + "stitcher.args"));
}

}  // namespace
}  // namespace qb::app::test
