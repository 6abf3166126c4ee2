// TMainForm: the queue window of the batch stitcher. It holds the queue of project files
// and works through it one project at a time from a 100 ms timer step: the first queued
// project is loaded, optionally morphed to fit, its stitcher script written and the stitcher
// started as a child process; the step then watches that child and whatever follows it
// (Enblend, a viewer), removes the finished project from the queue and takes the next one.
//
// The class is implemented in several files:
//   quiltbatchmain.cpp           start-up, command line, queue, timer step, status, actions,
//                                help, closing, window geometry
//   quiltbatchmain_pipeline.cpp  the stitch pipeline of one project (StartStitch, MorphToFit)
//   quiltbatchmain_runner.cpp    starting, watching and stopping the child processes
//   quiltbatchmain_crop.cpp      the crop pre-pass (cropped copies of source images)
#pragma once

#include <QMainWindow>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/childprogress.h"
#include "app/runlog.h"
#include "core/exceptions.h"
#include "platform/process.h"
#include "platform/versioninfo.h"

class QAction;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QEvent;
class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QShowEvent;
class QStatusBar;
class QTimer;
class QToolBar;

namespace qb {
class TPanoCorrect;
class TvrdProject;
}  // namespace qb

namespace qb::settings {
class TfrmOptions;
}

namespace qb::app {

class TdlgShowScript;
class TLogViewForm;
class TProgressForm;

// ---------------------------------------------------------------------------------------
// Message boxes, the open dialog, the review dialog and the browser, behind one interface:
// the program uses Qt; tests answer every question and see every message.

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };

// Buttons of a message box, combined with |.
using TMsgDlgButtons = unsigned;
constexpr TMsgDlgButtons mbYes = 1u << 0;
constexpr TMsgDlgButtons mbNo = 1u << 1;
constexpr TMsgDlgButtons mbOK = 1u << 2;
constexpr TMsgDlgButtons mbCancel = 1u << 3;
constexpr TMsgDlgButtons mbOKCancel = mbOK | mbCancel;
constexpr TMsgDlgButtons mbYesNoCancel = mbYes | mbNo | mbCancel;

// Results of message boxes and modal dialogs. A box closed without a button answers
// mrCancel when it has a Cancel button (mrOk for a box with OK alone).
using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;
constexpr TModalResult mrYes = 6;
constexpr TModalResult mrNo = 7;

// The settings of an open-file dialog (OpenPTSDialog).
struct TOpenDialog {
    std::string Title;
    std::string Filter;  // "Description (*.ext)|*.ext"
    std::string DefaultExt;
    bool AllowMultiSelect = false;
    bool PathMustExist = false;
    bool FileMustExist = false;
};

class IMainDialogs {
public:
    virtual ~IMainDialogs() = default;
    // A modal message box of the given type and buttons; the button pressed.
    virtual TModalResult MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) = 0;
    // The open-file dialog; true with the selected files (full names) on OK.
    virtual bool OpenFiles(const TOpenDialog& dialog, std::vector<std::string>& files) = 0;
    // The script review dialog (TdlgShowScript::Execute): the modal result; on OK the
    // script holds the text as the user left it.
    virtual TModalResult ExecuteScript(std::string& script, const std::string& message) = 0;
    // Opens an address (the manual) in the desktop's browser; false when no browser could
    // be started for it.
    virtual bool OpenUrl(const std::string& url) = 0;
};

// The Qt implementation: QMessageBox, QFileDialog, the review dialog given, QDesktopServices.
class TQtMainDialogs : public IMainDialogs {
public:
    explicit TQtMainDialogs(QWidget* parent) : parent_(parent) {}
    TModalResult MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) override;
    bool OpenFiles(const TOpenDialog& dialog, std::vector<std::string>& files) override;
    TModalResult ExecuteScript(std::string& script, const std::string& message) override;
    bool OpenUrl(const std::string& url) override;
    // The review dialog that ExecuteScript shows (created after the main window).
    void SetScriptDialog(TdlgShowScript* dialog) { scriptDialog_ = dialog; }

private:
    QWidget* parent_;
    TdlgShowScript* scriptDialog_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Fixed texts and names

inline constexpr const char* ApplicationTitle = "Vorda Stitcher";
inline constexpr const char* ApplicationVersion = "4.0";
// The help file, relative to the program's directory (the HTML manual), and the main
// window's help context. A context opens the manual at the anchor "context-<number>".
inline constexpr const char* ApplicationHelpFile = "docs/index.html";
inline constexpr int MainHelpContext = 7000;
// The help commands of the application's help requests and of CallHtmlHelp.
inline constexpr uint16_t HELP_CONTEXT = 1;
inline constexpr int HH_HELP_CONTEXT = 15;
// The maker's web address (About box, help message).
inline constexpr const char* MakerWebAddress = "https://www.kelmora.com/vorda/";
// The window geometry key and the shared settings key.
inline constexpr const char* FormStateRegistryKey = "\\Software\\Kelmora\\vorda\\FormState\\Quiltbatch";
inline constexpr const char* OptionsRegistryKey = "Software\\Kelmora\\vorda\\Options";
// The options program, beside this one.
inline constexpr const char* OptionsProgramName = "quiltbatch-options";

// What the children write and when they start and end, for whoever watches a run (a run log,
// a progress display). Every child's stdout and stderr are captured and read in the queue
// step (also while a question holds the step); each complete line goes to `Line` with the
// stream it came from, in the order read, stdout's lines of one read before stderr's.
struct TChildHooks {
    // A child has been started: its executable, command line and working directory.
    std::function<void(const std::string& executable, const std::string& commandLine, const std::string& workDir)>
        Started;
    // One complete line of the running child's output (without its line end).
    std::function<void(qb::platform::TOutputStream stream, const std::string& line)> Line;
    // The child has ended, after its last line: its exit status (128 + signal when a signal
    // ended it) and whether this program killed it.
    std::function<void(uint32_t exitCode, bool killed)> Ended;
};

// Increments a counter for as long as a scope lasts (the guard of Tick, held by the step
// itself and by a question that must not let the step run underneath it).
struct TCounterGuard {
    explicit TCounterGuard(int& counter) : counter_(counter) { ++counter_; }
    ~TCounterGuard() { --counter_; }
    TCounterGuard(const TCounterGuard&) = delete;
    TCounterGuard& operator=(const TCounterGuard&) = delete;
    int& counter_;
};

// How many of a child's last lines are kept for the message about a failed run.
inline constexpr size_t ChildOutputTailLines = 20;

// What the main window is built with; empty fields take the running program's values.
struct TMainFormSetup {
    std::unique_ptr<IMainDialogs> dialogs;  // none: TQtMainDialogs
    std::vector<std::string> commandLine;   // the program's arguments after its name
    std::string storeFile;                  // the registry store (empty: the shared one)
    std::string programDir;                 // the program's directory, with trailing '/'
    bool batch = false;                     // a batch run: no window, no box (batchmode.h)
};

// The program's version resource reader (dfsVersionInfoResource1): the product version of
// the file it points at. The reader is replaceable for tests.
struct TVersionInfoResource {
    std::string FileName;
    std::function<std::string(const std::string&)> Reader = qb::platform::GetProductVersion;
    std::string ProductVersion() const { return Reader ? Reader(FileName) : std::string(); }
};

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window and its components; loads the Panorama Tools library (fails with
    // its message when that cannot be done); starts the queue and the timer.
    explicit TMainForm(TMainFormSetup setup = {});
    // Deletes the files of DeleteOnExit, last first, failures ignored.
    ~TMainForm() override;

    // The windows created after this one at start-up (not owned).
    void SetWindows(TdlgShowScript* scriptDialog, TProgressForm* progressForm,
                    qb::settings::TfrmOptions* optionsForm);

    // ===================================================================================
    // Start, command line and project queue (quiltbatchmain.cpp)
    // ===================================================================================

    // --- Components -------------------------------------------------------------------
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanel = nullptr;  // the status bar's one panel
    QToolBar* ToolBar1 = nullptr;
    QLabel* StitchListHeader = nullptr;  // "Projects to stitch:"
    QListWidget* StitchListBox = nullptr;
    QMenu* FileMenu = nullptr;
    QMenu* ProcessMenu = nullptr;
    QMenu* HelpMenu = nullptr;
    TOpenDialog OpenPTSDialog;
    QTimer* Timer1 = nullptr;
    TVersionInfoResource dfsVersionInfoResource1;
    qb::TPanoCorrect& PanoCorrect1() { return *PanoCorrect1_; }
    IMainDialogs& Dialogs() { return *dialogs_; }

    // --- Actions ----------------------------------------------------------------------
    QAction* actAddProject = nullptr;
    QAction* actDelProject = nullptr;
    QAction* actExitWhenDone = nullptr;
    QAction* actOptions = nullptr;  // starts the options program
    QAction* actExit = nullptr;
    QAction* actStart = nullptr;
    QAction* actStop = nullptr;
    QAction* actPreview = nullptr;
    QAction* actShowScript = nullptr;
    QAction* actLowPriority = nullptr;
    QAction* actHelpIndex = nullptr;
    QAction* actCommandLineSwitches = nullptr;
    QAction* actAbout = nullptr;

    // --- State, in declaration order ----------------------------------------------------
    bool PreviewMode = false;
    bool StitcherRunning = false;
    bool ViewerRunning = false;
    bool EnblendRunning = false;
    std::string ResultFile;
    std::string ViewerApp;
    qb::platform::THandle ChildProcess = 0;
    qb::platform::THandle ChildThread = 0;
    std::vector<std::string> TempFiles;
    std::vector<std::string> DeleteOnExit;
    std::string WorkDir;
    std::string CurrentProject;
    std::string EnblendArgs;
    std::string EnblendWorkDir;
    std::string EnblendOutput;
    bool UseEnblend = false;
    bool Started = false;
    bool ShowScript = false;
    bool LowPriority = false;
    bool RunPreview = false;
    bool ExitWhenDone = false;
    bool OldVersionWarned = false;
    // The stitcher writes numbered files, and ResultFile is the first of them; the output
    // name it was told (without extension).
    bool MultiFileResult = false;
    std::string ResultBase;
    // The status bar has said that the priority could not be raised back.
    bool PriorityWarned = false;
    // The help manual, found on first use and kept (the HTML Help handles).
    bool HtmlHelpLoaded = false;
    // The command line has been handled (first activation); the guard of Tick.
    bool CommandLineDone = false;
    int TickBusy = 0;

    // --- Operations ---------------------------------------------------------------------
    void ParseCommandLine();
    // The options and project names of a command line (ParseCommandLine over the program's
    // own, ReceiveCommandLine over one handed over by a program started later).
    void ParseArguments(const std::vector<std::string>& arguments);
    // A command line that a program started later has handed over: taken like the window's
    // own (errors in an error box), and the window comes to the front.
    void ReceiveCommandLine(const std::vector<std::string>& arguments);
    void CheckProjectFile(const std::string& name);
    void AddProject(const std::string& name, bool check);
    void AddProjects(const std::vector<std::string>& names);
    void LoadProject(qb::TvrdProject& project, const std::string& fileName);
    void SetStarted(bool value);
    void SetPreviewMode(bool value);
    void SetExitWhenDone(bool value);
    void SetShowScript(bool value);
    void SetLowPriority(bool value);
    void Tick();
    void StartNextProject();
    void UpdateStatus();
    void UpdateActions();
    void ShowHelp(int context);
    // window: unused here (the browser has its own window); file: the manual.
    void CallHtmlHelp(QWidget* window, const std::string& file, int command, intptr_t data);
    // A string value of the shared settings key; any failure gives the empty text.
    std::string ReadSetting(const std::string& name);
    static std::string LoadTextFile(const std::string& fileName);
    static void SaveTextFile(const std::string& text, const std::string& fileName);

    // The queue: entries in order.
    int QueueCount() const;
    std::string QueueEntry(int index) const;
    void RemoveQueueEntry(int index);
    // The text of the status bar's panel.
    std::string StatusText() const;

    // The usage and About texts.
    static std::string UsageText();
    static std::string AboutText();

    // Window geometry in the registry store (RegForm1): read when the window has been
    // built, written when a close has been allowed.
    void RegForm1Restore();
    void RegForm1Save();

    // --- Event handlers (each shows its failure in an error box; the abort shows nothing)
    void FormActivate();
    void FormCloseQuery(bool& canClose);
    void Timer1Timer();
    void UOTextTarget1Drop(const std::string& text);
    void StitchListBoxClick();
    // A help request of the application; always handled here.
    bool ApplicationEvents1Help(uint16_t command, intptr_t data, bool& callHelp);
    void actAddProjectExecute();
    void actDelProjectExecute();
    void actExitWhenDoneExecute();
    // Starts quiltbatch-options beside the program, which edits the shared settings.
    void actOptionsExecute();
    void actExitExecute();
    void actStartExecute();
    void actStopExecute();
    void actPreviewExecute();
    void actShowScriptExecute();
    void actLowPriorityExecute();
    void actHelpIndexExecute();
    void actCommandLineSwitchesExecute();
    void actAboutExecute();

    // Runs a handler and shows its failure in an error box (the silent abort shows nothing).
    void HandleException(const std::function<void()>& handler);
    // An error box (error type, OK) with the message.
    void ShowError(const std::string& message);

    // ===================================================================================
    // Batch runs (quiltbatchmain_batch.cpp): no window is shown and no box opened; -x is
    // implied, a project that fails is reported and skipped, and the program ends with the
    // status of the whole queue.
    // ===================================================================================

    bool BatchMode() const { return batch_; }
    // The projects of this batch run (queued from the command line) and those that failed.
    int BatchProjects = 0;
    std::vector<std::string> FailedProjects;
    // Takes the first project out of a queue that a failure stopped and goes on with the
    // next one; ends the run when the queue is empty.
    void SkipFailedProjects();
    // Ends a batch run: the line naming the failed projects, then `OnBatchEnd` with the
    // exit status (0 when every project produced its result, else 1).
    void FinishBatch();
    bool BatchFinished = false;
    int BatchExitCode() const { return FailedProjects.empty() ? 0 : 1; }
    std::function<void(int exitCode)> OnBatchEnd;
    // A line of our own about the project being worked on, in a batch run.
    void BatchStatusLine(const std::string& text);
    // Where the lines of a batch run go (the dialogs' lines included): stderr.
    std::function<void(const std::string& line)> BatchOutput;

    // ===================================================================================
    // The run log and the progress of the running child (quiltbatchmain_log.cpp)
    // ===================================================================================

    // The log of the current project's run (closed when none has been opened).
    TRunLog RunLog;
    // The log of the current or last project, for "Show Log" (empty before the first run).
    std::string LastLogFile;
    // The number of layers Enblend blends in the current run (set with EnblendArgs).
    int EnblendLayers = 0;
    // The progress of the running child, from its output (none while no child runs).
    std::unique_ptr<TChildProgress> ChildProgress;
    QProgressBar* StatusProgress = nullptr;  // beside the status text while a child runs
    QAction* actShowLog = nullptr;
    TLogViewForm* LogView = nullptr;  // made on first use
    // Opens the log of the project that is being started (after it has been read).
    void OpenRunLog(const std::string& outputFile);
    // What the children do, for the log, the progress bar and a batch run's stderr (the
    // hooks of ChildHooks).
    void WatchChildStarted(const std::string& executable, const std::string& commandLine, const std::string& workDir);
    void WatchChildLine(qb::platform::TOutputStream stream, const std::string& line);
    void WatchChildEnded(uint32_t exitCode, bool killed);
    // The bar and the mark of the running project in the queue after the run state.
    void UpdateProgress();
    void actShowLogExecute();

    // ===================================================================================
    // Stitch pipeline of one project (quiltbatchmain_pipeline.cpp)
    // ===================================================================================

    void StartStitch(qb::TvrdProject& project, bool showScript, bool preview);
    void MorphToFit(qb::TvrdProject& project, bool preview);
    std::string RunOptimizerScript(const std::string& text);
    static std::string UniqueFileName(const std::string& prefix, const std::string& extension);
    static std::string NumberedFileName(const std::string& fileName, int n);
    std::string GetEnblendExe();
    static std::string GetTempDir();
    static bool SameDir(const std::string& a, const std::string& b);
    // An argument of a child's command line in double quotes, escaped so that the
    // command-line splitting of the process layer gives it back unchanged.
    static std::string QuoteArgument(const std::string& arg);

    // ===================================================================================
    // External program runner (quiltbatchmain_runner.cpp)
    // ===================================================================================

    void RunProgram(const std::string& executable, const std::string& commandLine, const std::string& workDir,
                    qb::platform::THandle& process, qb::platform::THandle& thread);
    [[noreturn]] static void RaiseLastError();
    void SuperviseChild();
    void AskKillChild();
    void KillChild();
    void DeleteTempFiles();

    // The output of the running child: passes what it has written since the last call to
    // ChildOutputTail and ChildHooks.Line (with `final`, its unterminated last line too).
    void ReadChildOutput(bool final);
    // Ends the current run at once, for a program that is going away: kills the running
    // child's group (if any), waits a few seconds at most for its end, removes the partial
    // result of a killed stitcher or Enblend and the run's temporary files, and leaves the
    // queue as it is. Used when the window closes after the kill question and when the
    // program is told to terminate.
    void AbandonRun();
    // A terminating signal: the run is abandoned, the project files stay (also those of
    // -d), and the program ends with exit status 128 + signal.
    void QuitOnSignal(int signal);

    // The message about a child that ended without its result: the program's name, its
    // exit status, the file it should have written and its last lines of output.
    std::string ChildFailureMessage(const std::string& program, uint32_t exitCode, const std::string& result) const;
    // Waits (a few seconds at most) until no process of a killed child's group is left.
    static void WaitForKilledGroup(qb::platform::THandle group);
    // Removes what a killed stitcher may have written under the result's name(s).
    void RemoveStitcherResult();
    // The running stitcher's or Enblend's priority after LowPriority; when the system
    // refuses to raise it back to normal, the status bar says so (once per program run).
    void ApplyChildPriority();

    TChildHooks ChildHooks;
    // The last lines of the current child's output, oldest first.
    std::deque<std::string> ChildOutputTail;
    // The current child was killed by this program.
    bool ChildKilled = false;
    // The program ends because of a signal: no questions, and the -d files stay.
    bool QuittingOnSignal = false;

    // ===================================================================================
    // Crop pre-pass (quiltbatchmain_crop.cpp)
    // ===================================================================================

    void CropImages(qb::TvrdProject& project, const std::string& imagesDir, std::vector<std::string>& croppedFiles,
                    bool stitcherCrops, bool cropOutside);
    void CropImageFile(const std::string& sourceFile, const std::string& targetFile, int32_t left, int32_t top,
                       int32_t right, int32_t bottom);

    // ===================================================================================

    // The windows created after this one (not owned; null until SetWindows).
    TdlgShowScript* dlgShowScript = nullptr;
    TProgressForm* ProgressForm = nullptr;
    qb::settings::TfrmOptions* frmOptions = nullptr;

    const std::string& ProgramDir() const { return programDir_; }
    const std::string& StoreFile() const { return storeFile_; }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    void BuildComponents();
    void BuildActions();
    void SyncActionChecks();

    std::unique_ptr<IMainDialogs> dialogs_;
    std::unique_ptr<qb::TPanoCorrect> PanoCorrect1_;
    std::vector<std::string> commandLine_;
    std::string storeFile_;
    std::string programDir_;
    bool batch_ = false;
    // The stream of the child's line being read (the run log marks stderr's lines).
    std::shared_ptr<qb::platform::TOutputStream> lineStream_;
    std::string lastBatchStatus_;
};

}  // namespace qb::app
