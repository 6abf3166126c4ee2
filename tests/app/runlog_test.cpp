// The run log and what the window shows of a running child: the log's place (beside the
// panorama, else the state folder), the log view that follows its file, and the progress bar
// and the marked queue entry while a fake stitcher prints PTmender's progress or nothing.
#include <gtest/gtest.h>

#include <QFont>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "app/logview.h"
#include "app/runlog.h"
#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

class RunLogTest : public PipelineTest {};

TEST_F(RunLogTest, TheLogLiesBesideThePanoramaElseInTheStateFolder) {
    struct Case {
        std::string output, project, expected;
    };
    const Case names[] = {
        {"/out/pano.tif", "/p/a.pts", "/out/pano.log"},
        {"  /out/DEMO.TIF ", "/p/a.pts", "/out/DEMO.log"},
        {"/out/pano", "/p/a.pts", "/out/pano.log"},
        {"   ", "/p/a.pts", "/p/a.log"},  // no output named: beside the project
    };
    for (const Case& c : names) EXPECT_EQ(TRunLog::LogFileFor(c.output, c.project), c.expected) << c.output;

    TScopedEnv state("XDG_STATE_HOME", Path("state"));
    EXPECT_EQ(TRunLog::StateDirectory(), Path("state/quiltbatch/"));
    // A folder that cannot take the log: the state folder, made when missing, takes it.
    TRunLog log;
    ASSERT_TRUE(log.Open(Path("gone/pano.log"), "/p/a.pts"));
    EXPECT_EQ(log.FileName(), Path("state/quiltbatch/pano.log"));
    log.ChildStarted("\"stitcher\" -o x", "/images/");
    log.ChildLine("Converting Image 1 / 2", false);
    log.ChildLine("a warning", true);
    log.ChildEnded(3, true);
    log.Close();
    // A second run appends.
    ASSERT_TRUE(log.Open(Path("gone/pano.log"), "/p/a.pts"));
    log.Close();
    const std::vector<std::string> lines = Lines(Path("state/quiltbatch/pano.log"));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].rfind("==== ", 0), 0u);
    EXPECT_NE(lines[0].find(" project /p/a.pts"), std::string::npos);
    EXPECT_NE(lines[1].find(" start: \"stitcher\" -o x"), std::string::npos);
    EXPECT_EQ(lines[2], "  working directory: /images/");
    EXPECT_EQ(lines[3], "  out| Converting Image 1 / 2");
    EXPECT_EQ(lines[4], "  err| a warning");
    EXPECT_NE(lines[5].find(" end: exit code 3 (killed) after "), std::string::npos);
    EXPECT_EQ(lines[6].rfind("==== ", 0), 0u);
    // Neither place writable: no log, and nothing fails.
    TScopedEnv nowhere("XDG_STATE_HOME", "/proc/no-such-folder");
    EXPECT_FALSE(log.Open(Path("gone/pano.log"), "/p/a.pts"));
    log.ChildLine("dropped", false);
    EXPECT_FALSE(log.IsOpen());
}

TEST_F(RunLogTest, TheLogViewFollowsItsFileAndReadsItAgainWhenReplaced) {
    PipelineApp();
    const std::string file = Path("pano.log");
    qb::test::WriteFile(file, "one\ntwo\n");
    TLogViewForm view;
    view.ShowFile(file);
    EXPECT_TRUE(view.memoLog->isReadOnly());
    EXPECT_EQ(view.Text(), "one\ntwo");
    // Growth, a line at a time; a line not yet ended waits for its end.
    {
        FILE* f = std::fopen(file.c_str(), "ab");
        std::fputs("three\nfou", f);
        std::fclose(f);
    }
    view.Follow();
    EXPECT_EQ(view.Text(), "one\ntwo\nthree");
    {
        FILE* f = std::fopen(file.c_str(), "ab");
        std::fputs("r\n", f);
        std::fclose(f);
    }
    view.Follow();
    EXPECT_EQ(view.Text(), "one\ntwo\nthree\nfour");
    // Cut short, or replaced by a new file: read from the beginning.
    qb::test::WriteFile(file, "new\n");
    view.Follow();
    EXPECT_EQ(view.Text(), "new");
    const std::string other = Path("other.log");
    qb::test::WriteFile(other, "replaced one\nreplaced two\n");
    std::filesystem::rename(other, file);
    view.Follow();
    EXPECT_EQ(view.Text(), "replaced one\nreplaced two");
    // The timer does the following by itself.
    {
        FILE* f = std::fopen(file.c_str(), "ab");
        std::fputs("later\n", f);
        std::fclose(f);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (view.Text().find("later") == std::string::npos && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(view.Text(), "replaced one\nreplaced two\nlater");
}

TEST_F(RunLogTest, TheWindowShowsTheRunningChildsProgressAndItsLog) {
    CreateForm();
    EXPECT_FALSE(form->StatusProgress->isVisible());
    EXPECT_FALSE(form->actShowLog->isEnabled());
    form->show();
    // A stitcher that prints nothing: the bar only says that something runs.
    const std::string flag = Path("go");
    MakeProgram(stitcher, logs + "stitcher",
                "while [ ! -e '" + flag + "' ]; do sleep 0.05; done\necho stitched > \"$2.tif\"\n");
    NewProject(2);
    const std::string silent = SaveProject("silent.pts");
    QueueAndStep(silent);
    ASSERT_TRUE(form->StitcherRunning);
    EXPECT_TRUE(form->StatusProgress->isVisible());
    EXPECT_EQ(form->StatusProgress->maximum(), 0);
    EXPECT_EQ(form->StatusText(), "Stitching " + silent + "...");
    EXPECT_TRUE(form->StitchListBox->item(0)->font().bold());
    qb::test::WriteFile(flag, "");
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(form->StatusProgress->isVisible());
    std::filesystem::remove(flag);

    // PTmender's progress: image 1 of 2 half done is 22 per cent of the run.
    MakeProgram(stitcher, logs + "stitcher",
                "printf 'Converting Image 1 / 2   Filename a.jpg\\n\\b\\b\\b\\b 50%%\\n'\n"
                "echo 'a warning' >&2\n"
                "while [ ! -e '" + flag + "' ]; do sleep 0.05; done\necho stitched > \"$2.tif\"\n");
    project->Panorama.OutputFile = Path("out/second.tif");
    const std::string chatty = SaveProject("chatty.pts");
    form->AddProject(chatty, true);
    QueueAndStep(silent);  // queued behind the chatty one
    ASSERT_EQ(form->QueueEntry(0), chatty);
    ASSERT_TRUE(RunUntil([this] { return form->StatusProgress->maximum() == 100; }));
    EXPECT_EQ(form->StatusProgress->value(), 22);
    EXPECT_TRUE(form->StitchListBox->item(0)->font().bold());
    EXPECT_FALSE(form->StitchListBox->item(1)->font().bold());
    // The log of the running project is open to look at while it grows.
    EXPECT_TRUE(form->actShowLog->isEnabled());
    EXPECT_EQ(form->LastLogFile, Path("out/second.log"));
    form->actShowLog->trigger();
    ASSERT_NE(form->LogView, nullptr);
    EXPECT_TRUE(form->LogView->isVisible());
    EXPECT_NE(form->LogView->Text().find("  out| Converting Image 1 / 2   Filename a.jpg"), std::string::npos);
    qb::test::WriteFile(flag, "");
    ASSERT_TRUE(RunUntil([this] { return form->QueueCount() == 0 && !Running(); }));
    const std::string log = qb::test::ReadFile(Path("out/second.log"));
    EXPECT_NE(log.find("  out|  50%\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  err| a warning\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" end: exit code 0 after "), std::string::npos) << log;
    EXPECT_TRUE(answers.boxes.empty());
}

}  // namespace
}  // namespace qb::app::test
