// The queue window: start-up state, the command line, ways into and out of the queue, the
// Start/Stop state and its failure path, the timer step's guard, drops, the information
// boxes, help, closing with a running child, deletion at exit and the window geometry.
#include <gtest/gtest.h>

#include <QAction>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>

#include "model/datastructures.h"
#include "platform/registry.h"
#include "tests/app/queue_fixture.h"

namespace qb::app::queuetest {
namespace {

using qb::platform::TRegistry;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::string> ActionTexts(const QList<QAction*>& actions) {
    std::vector<std::string> out;
    for (QAction* a : actions) out.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    return out;
}

// ---------------------------------------------------------------------------------------
// Start-up

TEST_F(QueueTest, StartsIdleAndStartedWithItsMenusToolbarAndActions) {
    TMainForm& f = Create();
    EXPECT_EQ(f.windowTitle().toStdString(), "Vorda Stitcher");
    EXPECT_EQ(f.width(), 488);
    EXPECT_EQ(f.height(), 304);
    EXPECT_EQ(f.StitchListHeader->text().toStdString(), "Projects to stitch:");
    EXPECT_EQ(f.StatusText(), "Idle");
    EXPECT_EQ(f.Timer1->interval(), 100);

    // Started from the beginning: Start checked and disabled, Stop enabled.
    EXPECT_TRUE(f.Started);
    EXPECT_TRUE(f.actStart->isChecked());
    EXPECT_FALSE(f.actStart->isEnabled());
    EXPECT_FALSE(f.actStop->isChecked());
    EXPECT_TRUE(f.actStop->isEnabled());
    for (QAction* a : {f.actPreview, f.actShowScript, f.actLowPriority, f.actExitWhenDone}) {
        EXPECT_TRUE(a->isCheckable());
        EXPECT_FALSE(a->isChecked()) << a->text().toStdString();
    }
    EXPECT_FALSE(f.actDelProject->isEnabled());

    EXPECT_EQ(ActionTexts(f.FileMenu->actions()),
              (std::vector<std::string>{"Add Vorda Project...", "Remove Project", "Exit when done", "-", "Exit"}));
    EXPECT_EQ(ActionTexts(f.ProcessMenu->actions()),
              (std::vector<std::string>{"Start", "Stop", "-", "Preview", "Show Script", "Background Priority"}));
    EXPECT_EQ(ActionTexts(f.HelpMenu->actions()),
              (std::vector<std::string>{"Index...", "Command line...", "-", "About..."}));
    EXPECT_EQ(ActionTexts(f.ToolBar1->actions()),
              (std::vector<std::string>{"Add Vorda Project...", "Remove Project", "Exit", "-", "Start", "Stop", "-",
                                        "Preview", "Show Script", "Background Priority", "-", "About..."}));

    struct Expected {
        QAction* action;
        const char* shortcut;
        const char* hint;
    };
    const Expected expected[] = {
        {f.actAddProject, "Ctrl+A", "Add a Vorda project to the list of projects to be stitched"},
        {f.actDelProject, "Del", "Remove the selected Vorda project to the list of projects to be stitched"},
        {f.actExitWhenDone, "", "Exit the Vorda Stitcher when all projects have been stitched"},
        {f.actExit, "Ctrl+X", "Exit Vorda Stitcher"},
        {f.actStart, "Ctrl+S", "Start stitching"},
        {f.actStop, "Ctrl+T", "Stop stitching"},
        {f.actPreview, "Ctrl+P", "Toggle Preview/Stitch mode"},
        {f.actShowScript, "Ctrl+W", "Show the script before it is sent to PTStitcher"},
        {f.actLowPriority, "Ctrl+B", "Give the stitcher process a lower priority (run in background)"},
        {f.actHelpIndex, "F1", ""},
        {f.actCommandLineSwitches, "Ctrl+C", "Show usage information"},
        {f.actAbout, "Ctrl+I", "About Vorda Stitcher"},
    };
    for (const Expected& e : expected) {
        EXPECT_EQ(e.action->shortcut().toString().toStdString(), e.shortcut) << e.action->text().toStdString();
        EXPECT_EQ(e.action->statusTip().toStdString(), e.hint) << e.action->text().toStdString();
    }

    // The options form has seeded the shared settings in the same store.
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey(OptionsRegistryKey, false));
    EXPECT_TRUE(reg.ValueExists("EnblendOptions"));
    reg.CloseKey();
    reg.OpenKey(OptionsRegistryKey, true);
    reg.WriteString("PTViewerApp", "/opt/viewer");
    reg.CloseKey();
    EXPECT_EQ(f.ReadSetting("PTViewerApp"), "/opt/viewer");
    EXPECT_EQ(f.ReadSetting("NoSuchValue"), "");
}

TEST_F(QueueTest, StartFailureIsShownAndEndsTheProgram) {
    TEnv library(qb::Pano12LibraryVariable, Path("missing/libpano12.so"));
    TQuiltbatchSetup setup;
    setup.storeFile = store;
    setup.programDir = programDir;
    setup.dialogs = std::make_unique<TScriptedDialogs>(script);
    setup.optionsDialogs = std::make_unique<TSilentOptionsDialogs>();
    std::vector<std::string> shown;
    const int rc = RunQuiltbatch(QueueApp(), std::move(setup), [&](const std::string& m) { shown.push_back(m); });
    EXPECT_EQ(rc, 1);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("Could not load pano12.dll.", 0), 0u) << shown[0];
}

TEST_F(QueueTest, ExitWhenDoneWithoutProjectsEndsTheMessageLoop) {
    TEnv library(qb::Pano12LibraryVariable, BridgeLibrary());
    TQuiltbatchSetup setup;
    setup.commandLine = {"-X"};
    setup.storeFile = store;
    setup.programDir = programDir;
    setup.dialogs = std::make_unique<TScriptedDialogs>(script);
    setup.optionsDialogs = std::make_unique<TSilentOptionsDialogs>();
    // A loop that never ends would hang the test; a guard quits it after a while.
    bool guardFired = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        guardFired = true;
        QCoreApplication::exit(7);
    });
    guard.start(15000);
    const int rc = RunQuiltbatch(QueueApp(), std::move(setup), [](const std::string&) {});
    EXPECT_FALSE(guardFired);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(script.boxes.empty());
}

// ---------------------------------------------------------------------------------------
// Command line

TEST_F(QueueTest, OptionsCompareLowerCasedAndProjectsAreQueuedInOrder) {
    const std::string a = Project("a.pts"), b = Project("sub dir/B.PTS");
    TMainForm& f = Create({"-V", "-x", "-L", "-s", a, b});
    f.FormActivate();
    EXPECT_TRUE(script.boxes.empty());
    EXPECT_TRUE(f.PreviewMode && f.ExitWhenDone && f.LowPriority && f.ShowScript);
    EXPECT_TRUE(f.actPreview->isChecked() && f.actExitWhenDone->isChecked() && f.actLowPriority->isChecked() &&
                f.actShowScript->isChecked());
    EXPECT_EQ(Queue(), (std::vector<std::string>{a, b}));
    EXPECT_TRUE(f.DeleteOnExit.empty());

    // Only the first activation reads the command line.
    f.FormActivate();
    EXPECT_EQ(f.QueueCount(), 2);
}

TEST_F(QueueTest, UnknownOptionIsQuotedAsTypedAndQueuesNothing) {
    const std::string a = Project("a.pts"), b = Project("b.pts");
    TMainForm& f = Create({"-v", a, b, "-Vx", "-s"});
    f.FormActivate();
    ASSERT_EQ(script.Errors(), std::vector<std::string>{"Unknown command line parameter: -Vx"});
    EXPECT_EQ(script.boxes[0].buttons, mbOK);
    EXPECT_EQ(f.QueueCount(), 0);
    // Options read before the bad one stay set; those after it are never read.
    EXPECT_TRUE(f.PreviewMode);
    EXPECT_FALSE(f.ShowScript);
    EXPECT_TRUE(f.CommandLineDone);
}

TEST_F(QueueTest, SlashPathsAreProjectNamesAndMustBeProjects) {
    const std::string text = Project("notes.txt");
    ASSERT_EQ(text[0], '/');
    TMainForm& f = Create({text});
    f.FormActivate();
    EXPECT_EQ(script.Errors(), std::vector<std::string>{"Not a Vorda project: " + text});
    EXPECT_EQ(f.QueueCount(), 0);
}

TEST_F(QueueTest, OneMissingFileQueuesNoneOfThree) {
    const std::string a = Project("a.pts"), c = Project("c.pts");
    const std::string missing = Path("b.pts");
    TMainForm& f = Create({a, missing, c});
    f.FormActivate();
    EXPECT_EQ(script.Errors(), std::vector<std::string>{"File does not exist: " + missing});
    EXPECT_EQ(f.QueueCount(), 0);
    // A directory with the extension is no project file either.
    std::filesystem::create_directories(Path("dir.pts"));
    EXPECT_THROW(f.CheckProjectFile(Path("dir.pts")), qb::Exception);
}

TEST_F(QueueTest, ExitWhenDoneWithAnEmptyQueueClosesAtStartUp) {
    TMainForm& f = Create({"-x"});
    f.show();
    f.FormActivate();
    EXPECT_FALSE(f.isVisible());

    // A queued project keeps the window open.
    const std::string a = Project("a.pts");
    TMainForm& g = Create({"-x", a});
    g.show();
    g.FormActivate();
    EXPECT_TRUE(g.isVisible());
}

TEST_F(QueueTest, DeleteAtExitRemovesOnlyTheCommandLineProjects) {
    const std::string a = Project("a.pts"), b = Project("b.pts"), dropped = Project("dropped.pts"),
                      added = Project("added.pts");
    TMainForm& f = Create({"-D", a, b});
    f.FormActivate();
    EXPECT_EQ(f.DeleteOnExit, (std::vector<std::string>{a, b}));
    f.UOTextTarget1Drop(dropped + "\n");
    script.openAnswers.push_back({added});
    f.actAddProject->trigger();
    EXPECT_EQ(f.QueueCount(), 4);
    windows.reset();
    EXPECT_FALSE(qb::platform::FileExists(a));
    EXPECT_FALSE(qb::platform::FileExists(b));
    EXPECT_TRUE(qb::platform::FileExists(dropped));
    EXPECT_TRUE(qb::platform::FileExists(added));
}

TEST_F(QueueTest, DeleteAtExitSparesFilesOfACommandLineThatFailed) {
    const std::string a = Project("a.pts"), notes = Project("notes.txt");
    TMainForm& f = Create({"-d", a, notes});
    f.FormActivate();
    EXPECT_EQ(script.Errors(), std::vector<std::string>{"Not a Vorda project: " + notes});
    EXPECT_TRUE(f.DeleteOnExit.empty());
    windows.reset();
    EXPECT_TRUE(qb::platform::FileExists(a));
    EXPECT_TRUE(qb::platform::FileExists(notes));
}

// ---------------------------------------------------------------------------------------
// Ways into and out of the queue

TEST_F(QueueTest, AddDialogQueuesTheSelectedProjects) {
    const std::string a = Project("a.pts"), b = Project("b.pts");
    TMainForm& f = Create();
    script.openAnswers.push_back({a, b});
    script.openAnswers.push_back({});  // Cancel
    f.actAddProject->trigger();
    f.actAddProject->trigger();
    ASSERT_EQ(script.openRequests.size(), 2u);
    const TOpenDialog& d = script.openRequests[0];
    EXPECT_EQ(d.Title, "Add Vorda Project");
    EXPECT_EQ(d.Filter, "Vorda Projects (*.pts)|*.pts");
    EXPECT_EQ(d.DefaultExt, "pts");
    EXPECT_TRUE(d.AllowMultiSelect && d.PathMustExist && d.FileMustExist);
    EXPECT_EQ(Queue(), (std::vector<std::string>{a, b}));

    // A project queued twice is processed twice.
    script.openAnswers.push_back({a});
    f.actAddProject->trigger();
    EXPECT_EQ(Queue(), (std::vector<std::string>{a, b, a}));
}

TEST_F(QueueTest, DroppedTextAndFileUrlsAreQueuedAllOrNothing) {
    const std::string a = Project("a.pts"), b = Project("with space.pts"), c = Project("c.pts");
    TMainForm& f = Create();
    f.UOTextTarget1Drop(a + "\r\n" + b + "\r\n");
    EXPECT_EQ(Queue(), (std::vector<std::string>{a, b}));
    EXPECT_TRUE(script.boxes.empty());

    f.UOTextTarget1Drop(c + "\n" + Path("gone.pts") + "\n" + a);
    EXPECT_EQ(script.Errors(), std::vector<std::string>{"File does not exist: " + Path("gone.pts")});
    EXPECT_EQ(f.QueueCount(), 2);

    // A real drop of file URLs on the window.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(c)), QUrl::fromLocalFile(QString::fromStdString(b))});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    // The application delivers drops only during a drag; the window's own handling is the same.
    static_cast<QObject&>(f).event(&drop);
    EXPECT_EQ(Queue(), (std::vector<std::string>{a, b, c, b}));

    // Dropped plain text, one name per line.
    QMimeData text;
    text.setText(QString::fromStdString(a + "\n" + c));
    QDropEvent textDrop(QPointF(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject&>(f).event(&textDrop);
    EXPECT_EQ(f.QueueCount(), 6);
    EXPECT_EQ(f.QueueEntry(5), c);
}

TEST_F(QueueTest, RemoveProjectIsBlockedForTheEntryBeingWorkedOn) {
    const std::string a = Project("a.pts"), b = Project("b.pts"), c = Project("c.pts");
    TMainForm& f = Create();
    f.AddProjects({a, b, c});
    EXPECT_FALSE(f.actDelProject->isEnabled());  // nothing selected

    f.StitcherRunning = true;
    f.StitchListBox->setCurrentRow(0);
    EXPECT_FALSE(f.actDelProject->isEnabled());
    f.actDelProjectExecute();
    EXPECT_EQ(f.QueueCount(), 3);
    f.StitchListBox->setCurrentRow(1);
    EXPECT_TRUE(f.actDelProject->isEnabled());
    f.actDelProject->trigger();
    EXPECT_EQ(Queue(), (std::vector<std::string>{a, c}));

    // While Enblend runs the first entry is the project being blended.
    f.StitcherRunning = false;
    f.EnblendRunning = true;
    f.StitchListBox->setCurrentRow(0);
    EXPECT_FALSE(f.actDelProject->isEnabled());

    f.EnblendRunning = false;
    f.StitchListBoxClick();
    EXPECT_TRUE(f.actDelProject->isEnabled());
    f.actDelProject->trigger();
    EXPECT_EQ(Queue(), (std::vector<std::string>{c}));
}

// ---------------------------------------------------------------------------------------
// Start/Stop and the queue step

TEST_F(QueueTest, AFailedStartStopsTheQueueWithTheProjectFirstAndStartRetries) {
    const std::string bad = Project("bad.pts", "this is no project\r\n");
    const std::string next = Project("next.pts");
    TMainForm& f = Create();
    f.AddProjects({bad, next});
    f.Timer1Timer();
    ASSERT_EQ(script.Errors().size(), 1u);
    const std::string message = script.Errors()[0];
    EXPECT_FALSE(message.empty());
    EXPECT_FALSE(f.Started);
    EXPECT_FALSE(f.StitcherRunning);
    EXPECT_EQ(f.StatusText(), "Idle");
    EXPECT_EQ(Queue(), (std::vector<std::string>{bad, next}));
    EXPECT_EQ(f.CurrentProject, bad);
    EXPECT_TRUE(f.actStart->isEnabled());
    EXPECT_FALSE(f.actStart->isChecked());
    EXPECT_FALSE(f.actStop->isEnabled());
    EXPECT_TRUE(f.actStop->isChecked());
    EXPECT_EQ(f.TickBusy, 0);

    // A stopped queue takes nothing.
    f.Timer1Timer();
    EXPECT_EQ(script.Errors().size(), 1u);

    // Start retries the same project, which fails the same way.
    f.actStart->trigger();
    EXPECT_EQ(script.Errors(), (std::vector<std::string>{message, message}));
    EXPECT_FALSE(f.Started);
    EXPECT_EQ(f.QueueEntry(0), bad);
    EXPECT_FALSE(f.actStart->isChecked());
}

TEST_F(QueueTest, TheStepReturnsAtOnceWhileAnotherStepRuns) {
    const std::string bad = Project("bad.pts", "no project");
    TMainForm& f = Create();
    f.AddProject(bad, true);
    f.TickBusy = 1;
    f.Tick();
    f.Timer1Timer();
    EXPECT_TRUE(script.boxes.empty());
    EXPECT_TRUE(f.Started);
    EXPECT_EQ(f.StatusText(), "Idle");
    f.TickBusy = 0;
    EXPECT_THROW(f.Tick(), qb::Exception);
    EXPECT_FALSE(f.Started);
    EXPECT_EQ(f.TickBusy, 0);
}

TEST_F(QueueTest, NestedStepsInsideAStartDoNothingAndCancelStopsSilently) {
    // A real project with one image and a stitcher that is never reached: the review of
    // the script is cancelled.
    qb::TvrdProject project;
    project.Panorama.OutputFile = Path("out/pano.tif");
    std::filesystem::create_directories(Path("out"));
    qb::TvrdImage& image = project.AddImage();
    image.FileName = Path("in/img0.jpg");
    image.Width = 80;
    image.Height = 60;
    image.CropRight = 80;
    image.CropBottom = 60;
    Project("in/img0.jpg", "image");
    const std::string file = Project("p.pts", qb::MakeScriptText(project, qb::ScriptMode::Project));
    const std::string stitcher = Project("tools/PTStitcher", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(stitcher, std::filesystem::perms::owner_all);

    TMainForm& f = Create();
    windows->frmOptions->WriteOptionString("PTStitcherApp", stitcher);
    windows->frmOptions->WriteOptionString("EnblendDir", "");
    f.SetShowScript(true);
    int reviews = 0;
    std::string statusDuringReview;
    script.review = [&](std::string&, const std::string&) {
        ++reviews;
        statusDuringReview = f.StatusText();
        // The modal dialog keeps the timer running: its steps return at once.
        f.Timer1Timer();
        f.Tick();
        return mrCancel;
    };
    f.AddProject(file, true);
    f.Timer1Timer();
    EXPECT_EQ(reviews, 1);
    EXPECT_EQ(statusDuringReview, "Stitching " + file + "...");
    EXPECT_TRUE(script.boxes.empty()) << script.boxes[0].text;
    EXPECT_FALSE(f.Started);
    EXPECT_EQ(f.StatusText(), "Idle");
    EXPECT_EQ(Queue(), std::vector<std::string>{file});
}

TEST_F(QueueTest, TheNextProjectStartsWithinAStepOfTheStitchersEnd) {
    qb::TvrdProject project;
    project.Panorama.OutputFile = Path("out/pano.tif");
    project.Panorama.OutputFormat = 8;  // TIFF: the stitcher writes pano.tif
    std::filesystem::create_directories(Path("out"));
    qb::TvrdImage& image = project.AddImage();
    image.FileName = Path("in/img0.jpg");
    image.Width = 80;
    image.Height = 60;
    image.CropRight = 80;
    image.CropBottom = 60;
    Project("in/img0.jpg", "image");
    const std::string file = Project("p.pts", qb::MakeScriptText(project, qb::ScriptMode::Project));
    // Records its start and end times (seconds since the epoch) and writes the result.
    const std::string times = Path("times.txt");
    const std::string stitcher = Project("tools/PTStitcher", "#!/bin/sh\n"
                                                              "date +%s.%N >> '" + times + "'\n"
                                                              "echo result > \"$2.tif\"\n"
                                                              "date +%s.%N >> '" + times + "'\n");
    std::filesystem::permissions(stitcher, std::filesystem::perms::owner_all);

    TMainForm& f = Create();
    windows->frmOptions->WriteOptionString("PTStitcherApp", stitcher);
    f.AddProjects({file, file, file});
    f.Timer1->start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end &&
           (f.QueueCount() > 0 || f.StitcherRunning || f.ViewerRunning || f.EnblendRunning))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    f.Timer1->stop();
    EXPECT_TRUE(script.boxes.empty()) << script.boxes[0].text;
    ASSERT_EQ(f.QueueCount(), 0);
    std::vector<double> t;
    for (const std::string& line : SplitLines(qb::test::ReadFile(times))) t.push_back(std::stod(line));
    ASSERT_EQ(t.size(), 6u);
    // From one stitcher's end to the next one's start: at most a timer step and the start.
    const double gap1 = t[2] - t[1], gap2 = t[4] - t[3];
    std::printf("stitcher end to next start: %.0f ms, %.0f ms\n", gap1 * 1000, gap2 * 1000);
    EXPECT_LT(gap1, 1.0);
    EXPECT_LT(gap2, 1.0);
    EXPECT_EQ(f.StatusText(), "Idle");
    // The project file is only read.
    EXPECT_EQ(qb::test::ReadFile(file), qb::MakeScriptText(project, qb::ScriptMode::Project));
}

TEST_F(QueueTest, StopAsksBeforeKillingAndCancelKeepsTheQueueStarted) {
    TMainForm& f = Create();
    StartSleepingChild();
    EXPECT_EQ(f.StatusText(), "Stitching running.pts...");

    script.answers = {mrCancel};
    f.actStop->trigger();
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_EQ(script.boxes[0].text, "PTStitcher is currently running. Do you want to kill it?");
    EXPECT_EQ(script.boxes[0].type, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(script.boxes[0].buttons, mbYesNoCancel);
    EXPECT_TRUE(f.Started);
    EXPECT_FALSE(f.actStop->isChecked());
    EXPECT_TRUE(f.actStop->isEnabled());
    EXPECT_TRUE(ChildRunning());

    // No: the queue stops, the child runs on.
    script.answers = {mrNo};
    f.actStop->trigger();
    EXPECT_FALSE(f.Started);
    EXPECT_TRUE(f.actStop->isChecked());
    EXPECT_TRUE(f.actStart->isEnabled());
    EXPECT_TRUE(ChildRunning());
    EXPECT_TRUE(f.StitcherRunning);
}

TEST_F(QueueTest, StatusTextsFollowTheRunningChild) {
    TMainForm& f = Create();
    f.CurrentProject = "/p/x.pts";
    f.ViewerRunning = true;
    f.UpdateStatus();
    EXPECT_EQ(f.StatusText(), "Viewing /p/x.pts...");
    f.ViewerRunning = false;
    f.EnblendRunning = true;
    f.UpdateStatus();
    EXPECT_EQ(f.StatusText(), "Running Enblend...");
    f.StitcherRunning = true;
    f.UpdateStatus();
    EXPECT_EQ(f.StatusText(), "Stitching /p/x.pts...");
    f.StitcherRunning = f.EnblendRunning = false;
}

TEST_F(QueueTest, BackgroundPriorityChangesTheRunningStitcherAtOnce) {
    TMainForm& f = Create();
    StartSleepingChild();
    // The thread handle stands for the child's process group (as a negative number).
    const int pid = static_cast<int>(-child.hThread);
    errno = 0;
    const int before = getpriority(PRIO_PGRP, pid);
    ASSERT_EQ(errno, 0);
    f.actLowPriority->trigger();
    EXPECT_TRUE(f.LowPriority);
    EXPECT_TRUE(f.actLowPriority->isChecked());
    EXPECT_GT(getpriority(PRIO_PGRP, pid), before);
}

TEST_F(QueueTest, OptionActionsToggleTheirState) {
    TMainForm& f = Create();
    f.actPreview->trigger();
    f.actShowScript->trigger();
    f.actExitWhenDone->trigger();
    EXPECT_TRUE(f.PreviewMode && f.ShowScript && f.ExitWhenDone);
    EXPECT_TRUE(f.actPreview->isChecked() && f.actShowScript->isChecked() && f.actExitWhenDone->isChecked());
    f.actPreview->trigger();
    EXPECT_FALSE(f.PreviewMode);
    EXPECT_FALSE(f.actPreview->isChecked());
    // Start while started changes nothing.
    f.actStart->trigger();
    EXPECT_TRUE(f.Started);
    EXPECT_TRUE(f.actStart->isChecked());
}

// ---------------------------------------------------------------------------------------
// Information boxes and help

TEST_F(QueueTest, UsageAndAboutBoxes) {
    TMainForm& f = Create();
    f.actCommandLineSwitches->trigger();
    f.actAbout->trigger();
    ASSERT_EQ(script.boxes.size(), 2u);
    EXPECT_EQ(script.boxes[0].text,
              "Command line usage:\n\nquiltbatch <options> project1.pts project2.pts ...\n\nOptions:\n"
              "-v: Preview mode\n-x: Exit when done\n-l: Low Stitcher Priority\n-s: Show Script\n"
              "-d: Delete .pts files on exit");
    EXPECT_EQ(script.boxes[0].type, TMsgDlgType::mtInformation);
    EXPECT_EQ(script.boxes[0].buttons, mbOK);
    EXPECT_EQ(script.boxes[1].text.rfind("Vorda Stitcher v4.0\n\n", 0), 0u);
    EXPECT_EQ(script.boxes[1].type, TMsgDlgType::mtInformation);
}

TEST_F(QueueTest, HelpOpensTheManualAtItsContextOrSaysItIsMissing) {
    TMainForm& f = Create();
    f.actHelpIndex->trigger();
    ASSERT_EQ(script.Errors().size(), 1u);
    EXPECT_EQ(script.Errors()[0].rfind("You don't have HTML Help installed on your system. Please re-install a new "
                                       "version of Vorda, or download it from ",
                                       0),
              0u);
    EXPECT_TRUE(script.urls.empty());

    Project("prog/docs/index.html", "<html></html>");
    f.actHelpIndex->trigger();
    ASSERT_EQ(script.urls.size(), 1u);
    EXPECT_EQ(script.urls[0], "file://" + programDir + "docs/index.html#context-7000");

    // Requests with other commands are handled and do nothing.
    bool callHelp = true;
    EXPECT_TRUE(f.ApplicationEvents1Help(3, 1234, callHelp));
    EXPECT_FALSE(callHelp);
    EXPECT_EQ(script.urls.size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Closing

TEST_F(QueueTest, ClosingWithARunningChildAsksAndCancelKeepsTheWindow) {
    TMainForm& f = Create();
    f.show();
    StartSleepingChild(&TMainForm::EnblendRunning);
    script.answers = {mrCancel};
    f.actExit->trigger();
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_EQ(script.boxes[0].text, "Enblend is still running. Do you want to kill it?");
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(ChildRunning());

    // No closes the window and leaves the child running on its own.
    script.answers = {mrNo};
    f.close();
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(ChildRunning());
}

TEST_F(QueueTest, ClosingAndAnsweringYesKillsTheChild) {
    TMainForm& f = Create();
    f.show();
    StartSleepingChild(&TMainForm::ViewerRunning);
    script.answers = {mrYes};
    f.close();
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_EQ(script.boxes[0].text, "The viewer is still running. Do you want to kill it?");
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(WaitChildGone());
}

// ---------------------------------------------------------------------------------------
// Window geometry

TEST_F(QueueTest, WindowGeometryIsKeptInTheStore) {
    {
        TMainForm& f = Create();
        f.move(40, 30);
        f.resize(500, 320);
        f.show();
        f.close();
    }
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, false));
    EXPECT_EQ(reg.ReadInteger("RCLeft"), 40);
    EXPECT_EQ(reg.ReadInteger("RCTop"), 30);
    EXPECT_EQ(reg.ReadInteger("RCWidth"), 500);
    EXPECT_EQ(reg.ReadInteger("RCHeight"), 320);
    EXPECT_EQ(reg.ReadBinaryData("RCWindowState"), std::string(1, '\0'));
    reg.CloseKey();

    TMainForm& g = Create();
    EXPECT_EQ(g.pos(), QPoint(40, 30));
    EXPECT_EQ(g.size(), QSize(500, 320));

    // Off-screen positions are pulled back onto the screen.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, false));
    reg.WriteInteger("RCLeft", 100000);
    reg.WriteInteger("RCTop", 100000);
    reg.CloseKey();
    TMainForm& h = Create();
    EXPECT_EQ(h.pos(), QPoint(screen.width() - 10, screen.height() - 50));
    ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, false));
    reg.WriteInteger("RCLeft", -2000);
    reg.WriteInteger("RCTop", -2000);
    reg.CloseKey();
    TMainForm& i = Create();
    EXPECT_EQ(i.pos(), QPoint(10 - 500, 10 - 320));

    // Maximised: the state, without the stored geometry.
    ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, false));
    reg.WriteBinaryData("RCWindowState", std::string(1, '\2'));
    reg.CloseKey();
    TMainForm& j = Create();
    EXPECT_TRUE(j.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(j.size(), QSize(488, 304));
}

TEST_F(QueueTest, UnreadableGeometryLeavesTheBuiltInOne) {
    {
        TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, true));
        reg.WriteString("RCLeft", "not a number");
        reg.CloseKey();
    }
    TMainForm& f = Create();
    EXPECT_EQ(f.size(), QSize(488, 304));
    EXPECT_TRUE(script.boxes.empty());

    // Extreme stored numbers neither overflow nor hide the window's size.
    {
        TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, true));
        reg.WriteInteger("RCLeft", std::numeric_limits<int32_t>::min());
        reg.WriteInteger("RCTop", std::numeric_limits<int32_t>::max());
        reg.WriteInteger("RCWidth", std::numeric_limits<int32_t>::min());
        reg.WriteInteger("RCHeight", std::numeric_limits<int32_t>::max());
        reg.CloseKey();
    }
    TMainForm& g = Create();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(g.y(), screen.height() - 50);
    EXPECT_GE(g.width(), 0);
}

// ---------------------------------------------------------------------------------------
// Text files

TEST_F(QueueTest, TextFilesAreReadAndWrittenByteForByte) {
    const std::string bytes = std::string("a\r\nb\n\0c\xff", 8);
    TMainForm::SaveTextFile(bytes, Path("t.txt"));
    EXPECT_EQ(TMainForm::LoadTextFile(Path("t.txt")), bytes);
    TMainForm::SaveTextFile("x", Path("t.txt"));
    EXPECT_EQ(qb::test::ReadFile(Path("t.txt")), "x");
    try {
        TMainForm::LoadTextFile(Path("none.txt"));
        FAIL();
    } catch (const qb::Exception& e) {
        EXPECT_EQ(e.message(), "Cannot open file \"" + Path("none.txt") + "\". No such file or directory");
    }
    EXPECT_THROW(TMainForm::SaveTextFile("x", Path("no/dir/t.txt")), qb::Exception);
}

}  // namespace
}  // namespace qb::app::queuetest
