// The stitch pipeline as the stitcher and Enblend see it: the command lines and working
// directories, the Enblend arguments and layers, the removal of old output, the script
// review, and the temporary files that a run leaves (none).
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

class PipelineRun : public PipelineTest {
protected:
    // A fake Enblend in its own directory: records its arguments, writes the file after -o
    // (relative to its working directory) unless told not to.
    std::string MakeEnblend(bool writes = true) {
        const std::string body = writes ? "out=\nwhile [ $# -gt 0 ]; do\n"
                                          "  if [ \"$1\" = -o ]; then out=$2; fi\n  shift\ndone\n"
                                          "echo blended > \"$out\"\n"
                                        : "exit 0\n";
        MakeProgram(Path("enblend/enblend"), logs + "enblend", body);
        Set("EnblendDir", Path("enblend"));
        return Path("enblend/enblend");
    }
    void UseStitcher(const std::vector<std::string>& suffixes, int code = 0) {
        MakeProgram(stitcher, logs + "stitcher", StitcherBody(logs + "stitcher", suffixes, code));
    }
    // A project with Enblend on, two images, the output in `outputDir`.
    std::string EnblendProject(const std::string& outputDir, double hfov = 180) {
        NewProject(2);
        project->EnblendEnabled = true;
        project->Panorama.Hfov = hfov;
        project->Panorama.OutputFile = outputDir + "pano.tif";
        return SaveProject();
    }
};

TEST_F(PipelineRun, StitcherCommandLineWorkingDirectoryAndCleanUp) {
    CreateForm();
    NewProject(2);
    const std::string file = SaveProject();
    const std::string before = qb::test::ReadFile(file);
    // Leftovers of an earlier stitcher run, and this run's own; a directory of that name stays.
    qb::test::WriteFile(images + "_PTStitcher_tmp_old", "x");
    std::filesystem::create_directories(images + "_PTStitcher_tmp_dir");
    MakeProgram(stitcher, logs + "stitcher",
                "echo x > _PTStitcher_tmp_12\n" + StitcherBody(logs + "stitcher", {".tif"}));
    QueueAndStep(file);
    EXPECT_TRUE(form->StitcherRunning);
    EXPECT_EQ(form->StatusText(), "Stitching " + file + "...");
    EXPECT_EQ(form->WorkDir, images);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(form->StatusText(), "Idle");
    EXPECT_EQ(Lines(logs + "stitcher.args"),
              (std::vector<std::string>{"[-o][" + Path("out/pano") + "][" + images + "_vrdtmp_0.txt]"}));
    EXPECT_EQ(Lines(logs + "stitcher.cwd"), (std::vector<std::string>{Path("in")}));
    EXPECT_EQ(qb::test::ReadFile(Path("out/pano.tif")), "stitched\n");
    // The script was a stitcher script of the project; it and every leftover are gone.
    const std::string script = qb::test::ReadFile(logs + "stitcher.script");
    EXPECT_NE(script.find("n\"TIFF"), std::string::npos) << script;
    EXPECT_NE(script.find("i n\"img1.jpg\""), std::string::npos) << script;
    EXPECT_EQ(FilesLike(images, "_"), (std::vector<std::string>{"_PTStitcher_tmp_dir"}));
    EXPECT_EQ(qb::test::ReadFile(file), before);
}

TEST_F(PipelineRun, EnblendWithOutputElsewhere) {
    CreateForm();
    MakeEnblend();
    Set("EnblendOptions", "-v --fine-mask");
    UseStitcher({"0000.tif", "0001.tif"});
    const std::string file = EnblendProject(Path("out/"), 360);
    const std::string before = qb::test::ReadFile(file);
    QueueAndStep(file);
    ASSERT_TRUE(form->StitcherRunning);
    EXPECT_TRUE(form->UseEnblend);
    EXPECT_EQ(form->ResultFile, Path("out/pano0000.tif"));
    EXPECT_EQ(form->EnblendOutput, Path("out/pano.tif"));
    EXPECT_EQ(form->EnblendWorkDir, images);
    EXPECT_EQ(form->EnblendArgs, "-v --fine-mask -w -o \"" + Path("out/pano.tif") +
                                     "\" \"../out/pano0000.tif\" \"../out/pano0001.tif\"");
    // The layers are temporary files with their full names.
    EXPECT_NE(std::find(form->TempFiles.begin(), form->TempFiles.end(), Path("out/pano0000.tif")),
              form->TempFiles.end());
    EXPECT_NE(std::find(form->TempFiles.begin(), form->TempFiles.end(), Path("out/pano0001.tif")),
              form->TempFiles.end());
    ASSERT_TRUE(RunUntil([this] { return form->EnblendRunning || !Running(); }));
    EXPECT_TRUE(form->EnblendRunning);
    EXPECT_EQ(form->StatusText(), "Running Enblend...");
    EXPECT_EQ(form->QueueCount(), 1);  // still first while blending
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(Lines(logs + "enblend.args"),
              (std::vector<std::string>{"[-v][--fine-mask][-w][-o][" + Path("out/pano.tif") +
                                        "][../out/pano0000.tif][../out/pano0001.tif]"}));
    EXPECT_EQ(Lines(logs + "enblend.cwd"), (std::vector<std::string>{Path("in")}));
    EXPECT_EQ(qb::test::ReadFile(Path("out/pano.tif")), "blended\n");
    // The stitcher was asked for one TIFF per image; the project file still says TIFF.
    EXPECT_EQ(Lines(logs + "stitcher.args"),
              (std::vector<std::string>{"[-o][" + Path("out/pano") + "][" + images + "_vrdtmp_0.txt]"}));
    EXPECT_NE(qb::test::ReadFile(logs + "stitcher.script").find("n\"TIFF_m"), std::string::npos);
    EXPECT_EQ(qb::test::ReadFile(file), before);
    // Layers and script are gone.
    EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
    EXPECT_FALSE(FileExists(Path("out/pano0001.tif")));
    EXPECT_TRUE(FilesLike(images, "_vrdtmp_").empty());
}

TEST_F(PipelineRun, EnblendWithOutputBesideTheImages) {
    CreateForm();
    MakeEnblend();
    UseStitcher({"0000.tif", "0001.tif"});
    const std::string file = EnblendProject(images, 359.9);
    QueueAndStep(file);
    EXPECT_EQ(form->EnblendArgs, "-o \"pano.tif\" \"pano0000.tif\" \"pano0001.tif\"");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(qb::test::ReadFile(images + "pano.tif"), "blended\n");
    // The layers are gone; the run's log stays beside the panorama.
    std::vector<std::string> left = FilesLike(images, "pano");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"pano.log", "pano.tif"}));
}

// The stitcher adds its own extension to the name it is told; the queue looks for what it
// wrote, whatever extension the project's output name carries.
TEST_F(PipelineRun, ResultNamesAreTheStitchersOwn) {
    struct Case {
        const char* output;
        int32_t format;
        bool enblend;
        std::vector<std::string> written;  // as the stitcher writes them, after "-o out/<base>"
        const char* result;                // ResultFile once the stitcher runs
    };
    const std::vector<Case> cases = {
        {"DEMO.TIF", 8, false, {".tif"}, "DEMO.tif"},
        {"pano.jpeg", 7, false, {".jpg"}, "pano.jpg"},
        {"pano", 7, false, {".jpg"}, "pano.jpg"},
        {"pano.PNG", 11, false, {".png"}, "pano.png"},
        {"layers.TIFF", 9, false, {"0000.tif", "0001.tif"}, "layers0000.tif"},
        {"DEMO.TIF", 8, true, {"0000.tif", "0001.tif"}, "DEMO0000.tif"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.output) + (c.enblend ? " with Enblend" : ""));
        CreateForm();
        MakeEnblend();
        UseStitcher(c.written);
        NewProject(2);
        project->Panorama.OutputFile = Path("out/") + c.output;
        project->Panorama.OutputFormat = c.format;
        project->EnblendEnabled = c.enblend;
        const std::string file = SaveProject();
        // An old result under the stitcher's name is removed before the run.
        qb::test::WriteFile(Path("out/") + c.result, "old\n");
        QueueAndStep(file);
        EXPECT_EQ(form->ResultFile, Path("out/") + c.result);
        if (c.enblend) {
            EXPECT_EQ(form->EnblendArgs, "-o \"" + Path("out/DEMO.TIF") +
                                             "\" \"../out/DEMO0000.tif\" \"../out/DEMO0001.tif\"");
        }
        // The old one is gone; the stitcher may be writing the new one already.
        if (FileExists(Path("out/") + c.result)) {
            EXPECT_NE(qb::test::ReadFile(Path("out/") + c.result), "old\n");
        }
        ASSERT_TRUE(WaitIdle());
        EXPECT_TRUE(answers.boxes.empty());
        EXPECT_EQ(form->QueueCount(), 0) << "the result was found";
        if (c.enblend) {
            EXPECT_EQ(qb::test::ReadFile(Path("out/DEMO.TIF")), "blended\n");
            EXPECT_FALSE(FileExists(Path("out/DEMO0000.tif")));
        } else {
            EXPECT_EQ(qb::test::ReadFile(Path("out/") + c.result), "stitched\n");
        }
        DestroyForm();
        std::filesystem::remove_all(Path("out"));
    }
}

TEST_F(PipelineRun, EnblendNotUsed) {
    CreateForm();
    UseStitcher({".tif"});
    // Configured but missing: a warning, and the stitcher's own TIFF.
    Set("EnblendDir", Path("noenblend"));
    const std::string file = EnblendProject(Path("out/"));
    QueueAndStep(file);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text,
              "This project is configured to use Enblend, but " + Path("noenblend/enblend") +
                  " could not be found. Please check the settings in quiltbatch-options (File menu, Options...).");
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtWarning);
    EXPECT_EQ(answers.boxes[0].buttons, mbOK);
    EXPECT_FALSE(form->UseEnblend);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(qb::test::ReadFile(Path("out/pano.tif")), "stitched\n");
    EXPECT_EQ(qb::test::ReadFile(logs + "stitcher.script").find("TIFF_m"), std::string::npos);

    // Not configured: no message. JPEG output or Enblend off in the project: not asked.
    answers.boxes.clear();
    Set("EnblendDir", "");
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    MakeEnblend();
    NewProject(2);
    project->EnblendEnabled = true;
    project->Panorama.OutputFormat = qb::kFormatJPEG;
    project->Panorama.OutputFile = Path("out/pano.jpg");
    UseStitcher({".jpg"});
    QueueAndStep(SaveProject("jpeg.pts"));
    EXPECT_FALSE(form->UseEnblend);
    ASSERT_TRUE(WaitIdle());
    NewProject(2);
    project->EnblendEnabled = false;
    UseStitcher({".tif"});
    QueueAndStep(SaveProject("off.pts"));
    EXPECT_FALSE(form->UseEnblend);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_FALSE(FileExists(logs + "enblend.args"));
}

TEST_F(PipelineRun, OldOutputRemovedBeforeTheStitcherRuns) {
    CreateForm();
    // One output file: removed, so that a stitcher without result does not pass for a success.
    UseStitcher({});
    NewProject(1);
    const std::string single = SaveProject();
    qb::test::WriteFile(Path("out/pano.tif"), "old");
    QueueAndStep(single);
    EXPECT_FALSE(FileExists(Path("out/pano.tif")));
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(single);
    form->RemoveQueueEntry(0);

    // Numbered output: removed from 0000 up to the first gap; Enblend's old result too.
    MakeEnblend();
    for (const char* n : {"0000", "0001", "0002", "0004"}) qb::test::WriteFile(Path("out/pano") + n + ".tif", "old");
    qb::test::WriteFile(Path("out/pano.tif"), "old");
    const std::string multi = EnblendProject(Path("out/"));
    form->actStartExecute();
    QueueAndStep(multi);
    ASSERT_TRUE(form->StitcherRunning);
    EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
    EXPECT_FALSE(FileExists(Path("out/pano0002.tif")));
    EXPECT_TRUE(FileExists(Path("out/pano0004.tif")));
    EXPECT_FALSE(FileExists(Path("out/pano.tif")));
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(multi);
    EXPECT_FALSE(FileExists(logs + "enblend.args"));
}

TEST_F(PipelineRun, ScriptReview) {
    CreateForm();
    form->SetShowScript(true);
    NewProject(1);
    const std::string file = SaveProject();
    answers.review = [](std::string& script, const std::string&) {
        EXPECT_NE(script.find("p w400 h200 f2 "), std::string::npos) << script;
        script = "# edited\r\n";
        return mrOk;
    };
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(answers.reviews, 1);
    EXPECT_EQ(answers.reviewMessage,
              "This is the script that will be sent to PTStitcher. Only edit it if you know what you're doing...");
    EXPECT_EQ(qb::test::ReadFile(logs + "stitcher.script"), "# edited\r\n");
    EXPECT_EQ(form->QueueCount(), 0);
}

TEST_F(PipelineRun, ScriptReviewCancelledRemovesTheCroppedCopies) {
    // A library that cannot crop outside an image: a crop reaching outside is copied first.
    CreateForm(StandinLibrary("nocount"));
    form->SetShowScript(true);
    NewProject(1);
    qb::TvrdImage& im = project->Image(0);
    im.CropLeft = -10;
    QImage picture(80, 60, QImage::Format_RGB32);
    picture.fill(Qt::green);
    ASSERT_TRUE(picture.save(QString::fromStdString(im.FileName), "JPEG"));
    const std::string file = SaveProject();
    std::string reviewed;
    answers.review = [&](std::string& script, const std::string&) {
        reviewed = script;
        EXPECT_TRUE(FileExists(images + "_crop_0.tif"));
        return mrCancel;
    };
    QueueAndStep(file);
    EXPECT_NE(reviewed.find("i n\"_crop_0.tif\""), std::string::npos) << reviewed;
    ExpectStoppedWithFirst(file);
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_FALSE(FileExists(logs + "stitcher.args"));
}

}  // namespace
}  // namespace qb::app::test
