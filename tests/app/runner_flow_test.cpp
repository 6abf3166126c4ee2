// The run states after the stitcher has started: the end of the stitcher with and without
// result, Enblend, the viewer, stopping and closing while a child runs, the killing of the
// stitcher's whole process group, and children that cannot be started.
#include <gtest/gtest.h>

#include <QEvent>
#include <QObject>

#include <csignal>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

// Counts the close events the window receives.
class TCloseSpy : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Close) ++closes;
        return false;
    }
    int closes = 0;
};

// True while a process exists and has not ended (a zombie counts as ended).
bool ProcessAlive(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

class RunnerFlow : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        CreateForm();
        form->installEventFilter(&spy);
    }
    void UseStitcher(const std::string& body) { MakeProgram(stitcher, logs + "stitcher", body); }
    std::string Flag(const std::string& name) { return Path("flags/" + name); }
    // A body that waits until the flag file exists.
    std::string WaitFor(const std::string& name) {
        std::filesystem::create_directories(Path("flags"));
        return "while [ ! -e '" + Flag(name) + "' ]; do sleep 0.02; done\n";
    }
    void Raise(const std::string& name) { qb::test::WriteFile(Flag(name), ""); }

    TCloseSpy spy;
};

TEST_F(RunnerFlow, TheResultFileDecidesNotTheExitCode) {
    // Exit code 0 without result: the queue stops with the project first, files removed,
    // and one error box says why.
    UseStitcher(StitcherBody(logs + "stitcher", {}, 0));
    NewProject(1);
    const std::string file = SaveProject();
    const std::string second = SaveProject("second.pts");
    form->AddProject(file, true);
    form->AddProject(second, true);
    form->Timer1Timer();
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(file);
    EXPECT_EQ(form->QueueCount(), 2);
    EXPECT_EQ(answers.Texts(), std::vector<std::string>{"PTStitcher ended with exit status 0 without writing " +
                                                        Path("out/pano.tif") + "."});
    answers.boxes.clear();
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_EQ(Lines(logs + "stitcher.args").size(), 1u);

    // Start retries it; now the stitcher writes its result and fails with code 3: success.
    // With "Exit when done" the program closes once the last project has left the queue.
    UseStitcher(StitcherBody(logs + "stitcher", {".tif"}, 3));
    form->SetExitWhenDone(true);
    form->actStartExecute();
    EXPECT_TRUE(form->StitcherRunning);
    ASSERT_TRUE(RunUntil([this] { return form->QueueCount() == 1; }));
    EXPECT_EQ(spy.closes, 0);
    ASSERT_TRUE(RunUntil([this] { return form->QueueCount() == 0 && !Running(); }));
    EXPECT_TRUE(form->Started);
    EXPECT_EQ(form->StatusText(), "Idle");
    EXPECT_EQ(Lines(logs + "stitcher.args").size(), 3u);
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_EQ(spy.closes, 1);
}

TEST_F(RunnerFlow, PreviewShowsTheImageUntilTheViewerEnds) {
    // Images in a directory whose name holds a blank.
    images = Path("My Pictures/");
    std::filesystem::create_directories(images);
    const std::string viewer = MakeProgram(Path("tools/viewer"), logs + "viewer", WaitFor("viewer"));
    Set("PTViewerApp", viewer);
    UseStitcher(StitcherBody(logs + "stitcher", {".jpg"}));
    form->SetPreviewMode(true);
    form->SetExitWhenDone(true);
    NewProject(2);
    const std::string file = SaveProject();
    QueueAndStep(file);
    ASSERT_TRUE(form->StitcherRunning);
    EXPECT_EQ(form->ResultFile, images + "_vrdtmp_0.jpg");
    EXPECT_EQ(form->ViewerApp, viewer);
    ASSERT_TRUE(RunUntil([this] { return form->ViewerRunning; }));
    // The project left the queue before the viewer started; the program waits for it.
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(form->StatusText(), "Viewing " + file + "...");
    EXPECT_EQ(spy.closes, 0);
    EXPECT_EQ(Lines(logs + "stitcher.args"),
              (std::vector<std::string>{"[-o][" + images + "_vrdtmp_0][" + images + "_vrdtmp_0.txt]"}));
    const std::string script = qb::test::ReadFile(logs + "stitcher.script");
    EXPECT_NE(script.find("p n\"JPEG q90\" w250 h250 "), std::string::npos) << script;
    EXPECT_TRUE(FileExists(images + "_vrdtmp_0.jpg"));
    EXPECT_FALSE(FileExists(images + "_vrdtmp_0.txt"));
    ASSERT_TRUE(RunUntil([this] { return FileExists(logs + "viewer.cwd"); }));
    EXPECT_EQ(Lines(logs + "viewer.args"), (std::vector<std::string>{"[" + images + "_vrdtmp_0.jpg]"}));
    // Closing the viewer removes the image and, the queue being done, closes the program.
    Raise("viewer");
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(FileExists(images + "_vrdtmp_0.jpg"));
    EXPECT_EQ(form->StatusText(), "Idle");
    EXPECT_EQ(spy.closes, 1);
    EXPECT_TRUE(answers.boxes.empty());
}

TEST_F(RunnerFlow, PreviewWithoutViewer) {
    // A projection without a viewer of its own: the viewer cannot be started.
    UseStitcher(StitcherBody(logs + "stitcher", {".jpg"}));
    form->SetPreviewMode(true);
    NewProject(1);
    project->Panorama.Projection = 3;
    const std::string file = SaveProject();
    QueueAndStep(file);
    ASSERT_TRUE(form->StitcherRunning);
    EXPECT_EQ(form->ViewerApp, "");
    ASSERT_TRUE(RunUntil([this] { return !answers.boxes.empty(); }));
    EXPECT_EQ(answers.boxes[0].text.rfind("Error running :\n", 0), 0u) << answers.boxes[0].text;
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtError);
    EXPECT_FALSE(Running());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_TRUE(form->Started);
    // Nothing is left of the run, the preview image included.
    EXPECT_TRUE(FilesLike(images, "_").empty());
}

TEST_F(RunnerFlow, EnblendEndsTheRun) {
    MakeProgram(Path("enblend/enblend"), logs + "enblend",
                WaitFor("enblend") + "if [ -e '" + Flag("write") + "' ]; then echo b > '" + Path("out/pano.tif") +
                    "'; fi\n");
    Set("EnblendDir", Path("enblend"));
    UseStitcher(StitcherBody(logs + "stitcher", {"0000.tif", "0001.tif"}));
    NewProject(2);
    project->EnblendEnabled = true;
    const std::string file = SaveProject();

    // Without its output: the queue stops with the project first; layers and script go.
    QueueAndStep(file);
    ASSERT_TRUE(RunUntil([this] { return form->EnblendRunning; }));
    EXPECT_TRUE(FileExists(Path("out/pano0001.tif")));
    Raise("enblend");
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(file);
    EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
    EXPECT_FALSE(FileExists(Path("out/pano0001.tif")));
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_EQ(answers.Texts(), std::vector<std::string>{"Enblend ended with exit status 0 without writing " +
                                                        Path("out/pano.tif") + "."});
    answers.boxes.clear();
    std::filesystem::remove(Flag("enblend"));

    // Stop while Enblend runs: asked; No stops the queue and lets Enblend finish, after which
    // the project leaves the queue.
    form->actStartExecute();
    ASSERT_TRUE(RunUntil([this] { return form->EnblendRunning; }));
    answers.answers = {mrNo};
    form->actStopExecute();
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "Enblend is still running. Do you want to kill it?");
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(answers.boxes[0].buttons, mbYesNoCancel);
    EXPECT_FALSE(form->Started);
    EXPECT_TRUE(form->EnblendRunning);
    EXPECT_EQ(spy.closes, 0);
    form->SetExitWhenDone(true);
    Raise("write");
    Raise("enblend");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_EQ(spy.closes, 1);
    EXPECT_EQ(qb::test::ReadFile(Path("out/pano.tif")), "b\n");
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
}

TEST_F(RunnerFlow, EnblendThatCannotStart) {
    std::filesystem::create_directories(Path("enblend"));
    qb::test::WriteFile(Path("enblend/enblend"), "#!/bin/sh\n");  // not executable
    Set("EnblendDir", Path("enblend"));
    UseStitcher(StitcherBody(logs + "stitcher", {"0000.tif", "0001.tif"}));
    NewProject(2);
    project->EnblendEnabled = true;
    const std::string file = SaveProject();
    QueueAndStep(file);
    ASSERT_TRUE(RunUntil([this] { return !answers.boxes.empty(); }));
    EXPECT_EQ(answers.boxes[0].text, "Error running " + Path("enblend/enblend") + ":\nPermission denied");
    // The queue stops with the project first rather than stitching it again and again.
    ExpectStoppedWithFirst(file);
    EXPECT_EQ(Lines(logs + "stitcher.args").size(), 1u);
    EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
    EXPECT_TRUE(FilesLike(images, "_").empty());
}

TEST_F(RunnerFlow, StopKillsTheStitcherWithItsHelpers) {
    // The stitcher starts a helper of its own (as the front starts PTmender) and waits.
    UseStitcher("sleep 60 &\necho $! > '" + logs + "helper.pid'\nwait\n");
    NewProject(1);
    const std::string file = SaveProject();
    QueueAndStep(file);
    ASSERT_TRUE(form->StitcherRunning);
    ASSERT_TRUE(RunUntil([this] { return !qb::test::ReadFile(logs + "helper.pid").empty(); }));
    const int helper = std::stoi(qb::test::ReadFile(logs + "helper.pid"));
    const int stitcherPid = static_cast<int>(form->ChildProcess);
    EXPECT_TRUE(ProcessAlive(helper));

    // Cancel: nothing changes.
    answers.answers = {mrCancel};
    form->actStopExecute();
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "PTStitcher is currently running. Do you want to kill it?");
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(answers.boxes[0].buttons, mbYesNoCancel);
    EXPECT_TRUE(form->Started);
    EXPECT_TRUE(form->StitcherRunning);
    EXPECT_TRUE(form->actStop->isEnabled());

    // Closing, cancelled: the window stays open.
    answers.answers = {mrCancel};
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->StitcherRunning);

    // Yes: the stitcher and its helper die; the queue stops with the project first.
    answers.answers = {mrYes};
    form->actStopExecute();
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(file);
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_TRUE(RunUntil([&] { return !ProcessAlive(helper) && !ProcessAlive(stitcherPid); }, 3000));
}

// The nice value of a process (field 19 of its stat line).
int NiceOf(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19 && rest >> field; ++i) {
    }
    return std::stoi(field);
}

TEST_F(RunnerFlow, BackgroundPriority) {
    UseStitcher(WaitFor("stitcher") + StitcherBody(logs + "stitcher", {".tif"}));
    form->SetLowPriority(true);
    NewProject(1);
    QueueAndStep(SaveProject());
    ASSERT_TRUE(form->StitcherRunning);
    const int pid = static_cast<int>(form->ChildProcess);
    const int normal = NiceOf(getpid());
    EXPECT_GT(NiceOf(pid), normal);
    // Switched while it runs: back to normal, as far as the system lets us.
    form->actLowPriorityExecute();
    EXPECT_FALSE(form->LowPriority);
    if (geteuid() == 0) {
        EXPECT_EQ(NiceOf(pid), normal);
    }
    form->actLowPriorityExecute();
    EXPECT_GT(NiceOf(pid), normal);
    Raise("stitcher");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
}

TEST_F(RunnerFlow, ClosingWithoutKillingLeavesTheChild) {
    UseStitcher(WaitFor("stitcher") + StitcherBody(logs + "stitcher", {".tif"}));
    NewProject(1);
    QueueAndStep(SaveProject());
    ASSERT_TRUE(form->StitcherRunning);
    const int pid = static_cast<int>(form->ChildProcess);
    answers.answers = {mrNo};
    EXPECT_TRUE(form->close());
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_TRUE(ProcessAlive(pid));
    Raise("stitcher");
    EXPECT_TRUE(RunUntil([&] { return FileExists(Path("out/pano.tif")); }));
}

TEST_F(RunnerFlow, ViewerStillRunningQuestion) {
    const std::string viewer = MakeProgram(Path("tools/viewer"), logs + "viewer", "sleep 60\n");
    Set("PTViewerApp", viewer);
    UseStitcher(StitcherBody(logs + "stitcher", {".jpg"}));
    form->SetPreviewMode(true);
    NewProject(1);
    QueueAndStep(SaveProject());
    ASSERT_TRUE(RunUntil([this] { return form->ViewerRunning; }));
    answers.answers = {mrYes};
    form->actStopExecute();
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "The viewer is still running. Do you want to kill it?");
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(form->Started);
    EXPECT_TRUE(FilesLike(images, "_").empty());
}

TEST_F(RunnerFlow, AKilledOrFailingChildIsAFailedRunWhateverItWrote) {
    // Each child writes a few bytes of its result and is then killed by Stop or fails by
    // itself. Nothing of it may pass for a panorama: the partial file goes, the project
    // stays first, the queue stops (with "Exit when done" the program stays), and a failure
    // the user did not ask for is said.
    Set("EnblendDir", Path("enblend"));
    form->SetExitWhenDone(true);
    const std::string result = Path("out/pano.tif");
    struct Case {
        const char* what;
        bool enblend;
        std::string stitcherBody, enblendBody;
        bool stop;
        std::vector<std::string> boxes;
    };
    const std::string layers = "echo layer > \"$20000.tif\"; echo layer > \"$20001.tif\"\n";
    const Case cases[] = {
        {"stitcher killed", false, "echo part > \"$2.tif\"\n" + WaitFor("never"), "", true,
         {"PTStitcher is currently running. Do you want to kill it?"}},
        {"Enblend killed", true, layers, "echo partial > '" + result + "'\n" + WaitFor("never"), true,
         {"Enblend is still running. Do you want to kill it?"}},
        {"Enblend fails on a full disk", true, layers,
         "echo partial > '" + result + "'\necho 'enblend: info: loading next image'\n"
         "echo 'enblend: Write error' >&2\nexit 1\n",
         false,
         {"Enblend failed with exit status 1. Its incomplete result " + result +
          " has been removed.\n\nLast output:\nenblend: info: loading next image\nenblend: Write error"}},
        {"Enblend fails before writing", true, layers, "exit 2\n", false, {"Enblend failed with exit status 2."}},
    };
    bool first = true;
    std::string file;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UseStitcher(c.stitcherBody);
        MakeProgram(Path("enblend/enblend"), logs + "enblend", c.enblendBody);
        if (first) {
            NewProject(2);
            project->EnblendEnabled = c.enblend;
            file = SaveProject();
            QueueAndStep(file);
            first = false;
        } else {
            NewProject(2);
            project->EnblendEnabled = c.enblend;
            SaveProject();
            form->actStartExecute();
        }
        if (c.stop) {
            ASSERT_TRUE(RunUntil([&] { return FileExists(result) && (form->EnblendRunning || !c.enblend); }));
            answers.answers = {mrYes};
            form->actStopExecute();
        }
        ASSERT_TRUE(WaitIdle());
        ExpectStoppedWithFirst(file);
        EXPECT_EQ(answers.Texts(), c.boxes);
        EXPECT_FALSE(FileExists(result));
        EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
        EXPECT_TRUE(FilesLike(images, "_").empty());
        EXPECT_EQ(spy.closes, 0);
        answers.boxes.clear();
    }
}

TEST_F(RunnerFlow, AStitcherWithoutResultIsNamedWithItsStatusAndLastLines) {
    const std::string longLine(300, 'w');
    UseStitcher("for i in 1 2 3 4; do echo \"PTmender: image $i\"; done\necho '" + longLine +
                "'\necho 'PTmender: Could not read Scriptfile' >&2\nexit 3\n");
    NewProject(1);
    const std::string file = SaveProject();
    QueueAndStep(file);
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(file);
    // The last five lines, stdout's read before stderr's, a long one cut.
    EXPECT_EQ(answers.Texts(),
              std::vector<std::string>{"PTStitcher ended with exit status 3 without writing " + Path("out/pano.tif") +
                                       ".\n\nLast output:\nPTmender: image 2\nPTmender: image 3\nPTmender: image 4\n" +
                                       longLine.substr(0, 200) + "...\nPTmender: Could not read Scriptfile"});
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtError);
}

TEST_F(RunnerFlow, TheKillQuestionHoldsTheQueueAndKillsOnlyTheChildItNamed) {
    // Two projects; the first one's stitcher finishes while the question about it is open,
    // and the timer keeps firing under the box.
    UseStitcher(WaitFor("stitcher") + StitcherBody(logs + "stitcher", {".tif"}));
    NewProject(1);
    const std::string firstFile = SaveProject();
    project->Panorama.OutputFile = Path("out/second.tif");
    const std::string secondFile = SaveProject("second.pts");
    QueueAndStep(firstFile);
    form->AddProject(secondFile, true);
    ASSERT_TRUE(form->StitcherRunning);
    const int firstPid = static_cast<int>(form->ChildProcess);
    int queuedUnderBox = -1;
    bool stitchingUnderBox = false;
    answers.whileBoxShown = [&] {
        if (answers.boxes.size() != 1) return;
        Raise("stitcher");
        RunUntil([&] { return !ProcessAlive(firstPid); });  // also runs timer steps
        std::filesystem::remove(Flag("stitcher"));
        for (int i = 0; i < 3; ++i) form->Timer1Timer();
        queuedUnderBox = form->QueueCount();
        stitchingUnderBox = form->StitcherRunning && form->ChildProcess == firstPid;
    };
    answers.answers = {mrYes, mrYes};
    form->actStopExecute();
    // Nothing moved under the question. Its Yes found the first stitcher ended by itself:
    // that project is done and the next one started, so the question was asked again, about
    // the second stitcher, which the second Yes killed.
    EXPECT_EQ(queuedUnderBox, 2);
    EXPECT_TRUE(stitchingUnderBox);
    EXPECT_EQ(answers.Texts(), std::vector<std::string>(2, "PTStitcher is currently running. Do you want to kill it?"));
    ASSERT_TRUE(WaitIdle());
    ExpectStoppedWithFirst(secondFile);
    EXPECT_EQ(form->QueueCount(), 1);
    EXPECT_TRUE(FileExists(Path("out/pano.tif")));
    EXPECT_FALSE(FileExists(Path("out/second.tif")));
    EXPECT_EQ(Lines(logs + "stitcher.args").size(), 2u);
    EXPECT_EQ(answers.boxes.size(), 2u);
}

TEST_F(RunnerFlow, ClosingAfterTheKillLeavesNoFileOfTheRun) {
    // The stitcher leaves its working files and its first layer, then works on.
    Set("EnblendDir", Path("enblend"));
    MakeProgram(Path("enblend/enblend"), logs + "enblend", "exit 0\n");
    // It also keeps a run folder of its own, held locked by a helper it started.
    UseStitcher("echo work > _PTStitcher_tmp_1\nmkdir _PTStitcher_tmp_7_0\necho x > _PTStitcher_tmp_7_0/part\n"
                "(flock 8; exec sleep 300) 8<_PTStitcher_tmp_7_0 &\necho layer > \"$20000.tif\"\n" +
                WaitFor("never"));
    NewProject(2);
    project->EnblendEnabled = true;
    QueueAndStep(SaveProject());
    ASSERT_TRUE(form->StitcherRunning);
    const int pid = static_cast<int>(form->ChildProcess);
    ASSERT_TRUE(RunUntil([&] { return FileExists(Path("out/pano0000.tif")); }));
    answers.answers = {mrYes};
    EXPECT_TRUE(form->close());
    // Without a further step of the queue: the window is gone and nothing else would see to it.
    EXPECT_FALSE(ProcessAlive(pid));
    EXPECT_TRUE(FilesLike(images, "_").empty());
    EXPECT_FALSE(FileExists(Path("out/pano0000.tif")));
    EXPECT_FALSE(Running());
}

TEST_F(RunnerFlow, TheEndOfARunSparesTheWorkingFilesOfAnotherRunningStitcher) {
    // Another run from the same directory holds its working file locked; an old leftover
    // is held by nobody.
    // Files, and the run folders that the stitcher front keeps.
    qb::test::WriteFile(images + "_PTStitcher_tmp_live", "in use");
    qb::test::WriteFile(images + "_PTStitcher_tmp_old", "left over");
    for (const char* folder : {"_PTStitcher_tmp_5_0", "_PTStitcher_tmp_6_0"}) {
        std::filesystem::create_directories(images + folder);
        qb::test::WriteFile(images + folder + "/layer.tif", "layer");
    }
    std::vector<int> holders;
    for (const char* held : {"_PTStitcher_tmp_live", "_PTStitcher_tmp_5_0"}) {
        holders.push_back(::open((images + held).c_str(), O_RDONLY));
        ASSERT_GE(holders.back(), 0);
        ASSERT_EQ(flock(holders.back(), LOCK_SH), 0);
    }
    NewProject(1);
    QueueAndStep(SaveProject());
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->QueueCount(), 0);
    EXPECT_TRUE(FileExists(images + "_PTStitcher_tmp_live"));
    EXPECT_TRUE(FileExists(images + "_PTStitcher_tmp_5_0/layer.tif"));
    EXPECT_FALSE(FileExists(images + "_PTStitcher_tmp_old"));
    EXPECT_FALSE(std::filesystem::exists(images + "_PTStitcher_tmp_6_0"));
    for (int fd : holders) ::close(fd);
}

}  // namespace
}  // namespace qb::app::test
