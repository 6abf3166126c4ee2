// The checks of the stitch pipeline before anything is written: the images, the configured
// stitcher, its name and version, colour correction, the output file and the viewer. Every
// failure stops the queue with the project first, leaves no file behind and never touches
// the project file.
#include <gtest/gtest.h>

#include "core/exceptions.h"
#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

class PipelineChecks : public PipelineTest {
protected:
    // Runs the queued project and expects a failure with `message` (none for the silent
    // abort; the caller looks at the boxes): the queue stops, the project stays first,
    // nothing has been started or written.
    void ExpectFailure(const std::string& file, const std::string& message) {
        const std::string before = qb::test::ReadFile(file);
        const size_t runs = Lines(logs + "stitcher.args").size();
        QueueAndStep(file);
        ExpectStoppedWithFirst(file);
        if (!message.empty()) {
            ASSERT_FALSE(answers.boxes.empty());
            EXPECT_EQ(answers.boxes.back().text, message);
            EXPECT_EQ(answers.boxes.back().type, TMsgDlgType::mtError);
            EXPECT_EQ(answers.boxes.back().buttons, mbOK);
        }
        EXPECT_EQ(Lines(logs + "stitcher.args").size(), runs);
        EXPECT_TRUE(FilesLike(images, "_vrdtmp_").empty());
        EXPECT_TRUE(FilesLike(images, "_crop_").empty());
        EXPECT_EQ(qb::test::ReadFile(file), before);
    }
};

TEST_F(PipelineChecks, ImagesMustExistAndShareOneDirectory) {
    CreateForm();
    // A missing included image is named with its full name.
    NewProject(2);
    project->Image(1).FileName = images + "gone.jpg";
    ExpectFailure(SaveProject(), "Image does not exist: " + images + "gone.jpg");

    // An excluded image is not looked at, missing or elsewhere.
    answers.boxes.clear();
    form->RemoveQueueEntry(0);
    form->actStartExecute();
    NewProject(2);
    project->Image(1).InStitch = false;
    project->Image(1).FileName = Path("elsewhere/gone.jpg");
    const std::string ok = SaveProject("ok.pts");
    QueueAndStep(ok);
    EXPECT_TRUE(answers.boxes.empty()) << answers.boxes[0].text;
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);

    // Two included images in different directories, although the excluded one would agree.
    NewProject(3);
    std::filesystem::create_directories(Path("other"));
    qb::test::WriteFile(Path("other/b.jpg"), "x");
    project->Image(1).FileName = Path("other/b.jpg");
    project->Image(2).InStitch = false;
    ExpectFailure(SaveProject("dirs.pts"), "The images in the project should be located in the same directory.");
}

TEST_F(PipelineChecks, RelativeImageNamesAreTakenAgainstTheCurrentDirectory) {
    CreateForm();
    const std::filesystem::path was = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    NewProject(2);
    project->Image(0).FileName = "in/img0.jpg";
    project->Image(1).FileName = "in/img9.jpg";
    const std::string file = SaveProject();
    QueueAndStep(file);
    std::filesystem::current_path(was);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "Image does not exist: " + images + "img9.jpg");
    ExpectStoppedWithFirst(file);
}

TEST_F(PipelineChecks, NoIncludedImage) {
    CreateForm();
    NewProject(2);
    project->Image(0).InStitch = false;
    project->Image(1).InStitch = false;
    ExpectFailure(SaveProject(),
                  "There are no images to stitch. Please check that there is at least one image selected in the "
                  "'include images' list.");
}

TEST_F(PipelineChecks, StitcherMissing) {
    CreateForm();
    NewProject(1);
    const std::string file = SaveProject();
    Set("PTStitcherApp", "");
    ExpectFailure(file,
                  "Please tell me first where the PTStitcher application is! Set it in quiltbatch-options (File "
                  "menu, Options...).");
    answers.boxes.clear();
    Set("PTStitcherApp", Path("nowhere/PTStitcher"));
    form->actStartExecute();
    ExpectStoppedWithFirst(file);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "Could not run PTStitcher:\nfile '" + Path("nowhere/PTStitcher") +
                                         "' not found.\n\nMost likely this means that Vorda is not configured "
                                         "properly.\n\nTo correct the problem, please quit Vorda and reinstall "
                                         "Panorama Tools from https://panotools.sourceforge.net/. This will "
                                         "reconfigure Vorda as well.");
}

TEST_F(PipelineChecks, StitcherName) {
    CreateForm();
    NewProject(1);
    const std::string file = SaveProject();

    // This program itself: an error box, then the silent abort.
    Set("PTStitcherApp", MakeProgram(Path("tools/Quiltbatch"), logs + "stitcher", "exit 0\n"));
    ExpectFailure(file, std::string());
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(answers.boxes[0].buttons, mbOK);
    EXPECT_EQ(answers.boxes[0].text.rfind("You have configured the PTStitcher application to be quiltbatch, instead of PTStitcher.", 0),
              0u);

    // Any other name asks; Cancel is the silent abort.
    answers.boxes.clear();
    const std::string other =
        MakeProgram(Path("tools/mender"), logs + "stitcher", StitcherBody(logs + "stitcher", {".tif"}));
    Set("PTStitcherApp", other);
    answers.answers = {mrCancel};
    form->actStartExecute();
    ExpectStoppedWithFirst(file);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtWarning);
    EXPECT_EQ(answers.boxes[0].buttons, mbOKCancel);
    EXPECT_NE(answers.boxes[0].text.find("different from 'PTStitcher'"), std::string::npos);
    EXPECT_FALSE(FileExists(logs + "stitcher.args"));

    // OK goes on with it.
    answers.answers = {mrOk};
    form->actStartExecute();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(Lines(logs + "stitcher.args").size(), 1u);

    // The name in capitals is the stitcher's name: no question.
    answers.boxes.clear();
    Set("PTStitcherApp",
        MakeProgram(Path("caps/PTSTITCHER"), logs + "caps", StitcherBody(logs + "caps", {".tif"})));
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_EQ(form->QueueCount(), 0);
}

// The version of the stitcher decides the questions, whether the stitcher crops by itself
// (seen by the cropped copy the pre-pass makes of an image cropped inside its border) and
// whether colour correction is supported.
struct TVersionCase {
    const char* version;
    bool versionQuestion;  // needs-2.5 or older-version question
    bool colourQuestion;
    bool preCrops;
};

void PrintTo(const TVersionCase& c, std::ostream* os) { *os << "version \"" << c.version << "\""; }

class PipelineVersions : public PipelineChecks, public ::testing::WithParamInterface<TVersionCase> {};

TEST_P(PipelineVersions, QuestionsCropsAndColour) {
    const TVersionCase& c = GetParam();
    CreateForm();
    const std::string version = c.version;
    form->dfsVersionInfoResource1.Reader = [version](const std::string&) { return version; };
    NewProject(1);
    project->ColorCorrection = true;
    qb::TvrdImage& im = project->Image(0);
    im.CropLeft = 10;
    im.CropTop = 5;
    im.CropRight = 70;
    im.CropBottom = 50;
    // A real image, so that a cropped copy can be made of it.
    QImage picture(80, 60, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(QString::fromStdString(im.FileName), "JPEG"));
    const std::string file = SaveProject();
    answers.answers = {mrOk, mrOk};
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    size_t expected = (c.versionQuestion ? 1 : 0) + (c.colourQuestion ? 1 : 0);
    ASSERT_EQ(answers.boxes.size(), expected);
    size_t next = 0;
    if (c.versionQuestion) {
        EXPECT_NE(answers.boxes[next].text.find(std::string("has version ") + c.version), std::string::npos)
            << answers.boxes[next].text;
        EXPECT_EQ(answers.boxes[next].type, TMsgDlgType::mtWarning);
        EXPECT_EQ(answers.boxes[next].buttons, mbOKCancel);
        ++next;
    }
    if (c.colourQuestion) {
        EXPECT_EQ(answers.boxes[next].text,
                  "Your project uses color correction, but your version of PTStitcher does not support it. The "
                  "color correction settings will be ignored. Do you want to continue?");
        EXPECT_EQ(answers.boxes[next].buttons, mbOKCancel);
    }
    const std::string script = qb::test::ReadFile(logs + "stitcher.script");
    EXPECT_EQ(script.find("_crop_0.tif") != std::string::npos, c.preCrops) << script;
    // The copy is gone with the run.
    EXPECT_TRUE(FilesLike(images, "_crop_").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PipelineVersions,
    ::testing::Values(TVersionCase{"", false, true, false},            // no version resource
                      TVersionCase{"2.5.a0", true, true, true},        // older version
                      TVersionCase{"2.5.a1", true, true, true},
                      TVersionCase{"2.5.b2", false, true, false},
                      TVersionCase{"2.6.0.0", false, false, false},
                      TVersionCase{"3.0.0.0", false, false, false},
                      TVersionCase{"2.6", true, true, true},           // no minor: older than 2.5
                      TVersionCase{"1.9.2", true, true, true},
                      TVersionCase{"x.6.0", false, true, false}));     // no major: not checked

TEST_F(PipelineChecks, OlderVersionAskedOnceAndCancelAborts) {
    CreateForm();
    form->dfsVersionInfoResource1.Reader = [](const std::string&) { return std::string("2.5.a0"); };
    NewProject(1);
    const std::string file = SaveProject();
    answers.answers = {mrCancel};
    ExpectFailure(file, std::string());
    EXPECT_FALSE(form->OldVersionWarned);
    // OK: remembered, not asked again in the next run.
    answers.boxes.clear();
    answers.answers = {mrOk};
    form->actStartExecute();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(form->OldVersionWarned);
    EXPECT_EQ(answers.boxes.size(), 1u);
    answers.boxes.clear();
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_EQ(form->QueueCount(), 0);
    // The needs-2.5 question is asked every time; Cancel aborts.
    form->dfsVersionInfoResource1.Reader = [](const std::string&) { return std::string("2.4.0"); };
    answers.answers = {mrCancel};
    ExpectFailure(file, std::string());
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text.rfind("Vorda needs PTStitcher from Panorama Tools 2.5", 0), 0u);
}

TEST_F(PipelineChecks, ColourQuestionCancelAborts) {
    CreateForm();
    NewProject(1);
    project->ColorCorrection = true;
    answers.answers = {mrCancel};
    ExpectFailure(SaveProject(), std::string());
    EXPECT_EQ(answers.boxes.size(), 1u);
}

TEST_F(PipelineChecks, OutputFile) {
    CreateForm();
    NewProject(1);
    project->Panorama.OutputFile = "   ";
    ExpectFailure(SaveProject("a.pts"),
                  "You have not selected an output filename for this project. Please open the project in Vorda, "
                  "and fill in the 'Output filename' on the 'Create Panorama' tab.");
    form->RemoveQueueEntry(0);
    form->actStartExecute();
    answers.boxes.clear();
    project->Panorama.OutputFile = Path("missing/pano.tif");
    ExpectFailure(SaveProject("b.pts"), "The output directory " + Path("missing") + " does not exist.");
    form->RemoveQueueEntry(0);
    form->actStartExecute();
    answers.boxes.clear();
    project->Panorama.OutputFile = "pano.tif";
    ExpectFailure(SaveProject("c.pts"), "The output directory  does not exist.");
    // A folder that cannot be written is found before the stitcher runs (not after it).
    // /proc/sys cannot be written even by root.
    form->RemoveQueueEntry(0);
    form->actStartExecute();
    answers.boxes.clear();
    project->Panorama.OutputFile = "/proc/sys/pano.tif";
    ExpectFailure(SaveProject("d.pts"), std::string());
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text.rfind("The output directory /proc/sys cannot be written: ", 0), 0u)
        << answers.boxes[0].text;
}

TEST_F(PipelineChecks, PreviewViewerPerProjection) {
    CreateForm();
    form->SetPreviewMode(true);
    const char* messages[3] = {
        "Please tell me first where your viewer for rectilinear (normal) images is! Set it in quiltbatch-options "
        "(File menu, Options...).",
        "Please tell me first where your viewer for cylindrical images is! Set it in quiltbatch-options (File "
        "menu, Options...).",
        "Please tell me first where your panorama viewer is! Set it in quiltbatch-options (File menu, Options...)."};
    for (int p = 0; p < 3; ++p) {
        NewProject(1);
        project->Panorama.Projection = p;
        const std::string file = SaveProject("p" + std::to_string(p) + ".pts");
        answers.boxes.clear();
        ExpectFailure(file, messages[p]);
        form->RemoveQueueEntry(0);
        form->actStartExecute();
    }
}

TEST_F(PipelineChecks, UnstartableStitcher) {
    CreateForm();
    NewProject(1);
    const std::string file = SaveProject();
    const std::string bad = Path("tools/noexec/PTStitcher");
    std::filesystem::create_directories(Path("tools/noexec"));
    qb::test::WriteFile(bad, "#!/bin/sh\nexit 0\n");  // not executable
    Set("PTStitcherApp", bad);
    QueueAndStep(file);
    ExpectStoppedWithFirst(file);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "Error running " + bad + ":\nPermission denied");
    // The script was written before the start failed; it stays until a later run ends.
    EXPECT_EQ(FilesLike(images, "_vrdtmp_").size(), 1u);
}

TEST_F(PipelineChecks, HelpersOfThePipeline) {
    EXPECT_EQ(TMainForm::NumberedFileName("/out/pano.tif", 3), "/out/pano0003.tif");
    EXPECT_EQ(TMainForm::NumberedFileName("/out/pano.tif", 12345), "/out/pano12345.tif");
    EXPECT_EQ(TMainForm::NumberedFileName("/o.ut/pano", 0), "/o.ut/pano0000");
    qb::test::WriteFile(Path("t0.txt"), "");
    qb::test::WriteFile(Path("t1.txt"), "");
    EXPECT_EQ(TMainForm::UniqueFileName(Path("t"), ".txt"), Path("t2.txt"));
    EXPECT_EQ(TMainForm::UniqueFileName(Path("u"), ".txt"), Path("u0.txt"));
    EXPECT_TRUE(TMainForm::SameDir("/a/b/", "/a/b"));
    EXPECT_FALSE(TMainForm::SameDir("/a/B/", "/a/b/"));
    {
        TScopedEnv tmp("TMPDIR", "/var/tmp");
        EXPECT_EQ(TMainForm::GetTempDir(), "/var/tmp/");
    }
    EXPECT_EQ(TMainForm::QuoteArgument("/My Pictures/a.jpg"), "\"/My Pictures/a.jpg\"");
    for (const std::string& s : {std::string("a\"b"), std::string("c:\\x\\"), std::string("q\\\"r"), std::string()})
        EXPECT_EQ(qb::platform::SplitCommandLine("x " + TMainForm::QuoteArgument(s)),
                  (std::vector<std::string>{"x", s}));
    CreateForm();
    Set("EnblendDir", "/opt/enblend");
    EXPECT_EQ(form->GetEnblendExe(), "/opt/enblend/enblend");
    Set("EnblendDir", "/opt/enblend/");
    EXPECT_EQ(form->GetEnblendExe(), "/opt/enblend/enblend");
    Set("EnblendDir", "");
    EXPECT_EQ(form->GetEnblendExe(), "");
}

}  // namespace
}  // namespace qb::app::test
