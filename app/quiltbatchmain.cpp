// The queue window: start-up, command line, queue, timer step, status, actions, help,
// closing and window geometry.
#include "app/quiltbatchmain.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>

#include "app/batchmode.h"
#include "app/scriptfileunit_include.h"
#include "model/datastructures.h"
#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/syserror.h"
#include "settings/browser.h"
#include "settings/options.h"

namespace qb::app {

namespace {

QString ToQ(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::string FromQ(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

std::string LowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return s;
}

// A text split into lines the way a string list takes it: CR LF, LF or CR end a line; a
// final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The Qt dialogs

TModalResult TQtMainDialogs::MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    switch (type) {
        case TMsgDlgType::mtWarning:
            icon = QMessageBox::Warning;
            title = "Warning";
            break;
        case TMsgDlgType::mtError:
            icon = QMessageBox::Critical;
            title = "Error";
            break;
        case TMsgDlgType::mtInformation:
            icon = QMessageBox::Information;
            title = "Information";
            break;
        case TMsgDlgType::mtConfirmation:
            icon = QMessageBox::Question;
            title = "Confirm";
            break;
    }
    QMessageBox::StandardButtons qtButtons;
    if (buttons & mbYes) qtButtons |= QMessageBox::Yes;
    if (buttons & mbNo) qtButtons |= QMessageBox::No;
    if (buttons & mbOK) qtButtons |= QMessageBox::Ok;
    if (buttons & mbCancel) qtButtons |= QMessageBox::Cancel;
    if (!qtButtons) qtButtons = QMessageBox::Ok;
    QMessageBox box(icon, title, ToQ(message), qtButtons, parent_);
    if (buttons & mbCancel) box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return mrYes;
        case QMessageBox::No:
            return mrNo;
        case QMessageBox::Ok:
            return mrOk;
        default:
            return (buttons & mbCancel) || !(buttons & mbOK) ? mrCancel : mrOk;
    }
}

bool TQtMainDialogs::OpenFiles(const TOpenDialog& dialog, std::vector<std::string>& files) {
    // "Description|pattern|..." becomes Qt's "Description (pattern);;...".
    QStringList parts = ToQ(dialog.Filter).split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << (parts[i].contains(parts[i + 1]) ? parts[i] : parts[i] + " (" + parts[i + 1] + ")");
    QFileDialog fd(parent_, ToQ(dialog.Title));
    fd.setNameFilters(filters);
    fd.setDefaultSuffix(ToQ(dialog.DefaultExt));
    fd.setFileMode(dialog.AllowMultiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    fd.setAcceptMode(QFileDialog::AcceptOpen);
    if (fd.exec() != QDialog::Accepted) return false;
    files.clear();
    for (const QString& f : fd.selectedFiles()) files.push_back(FromQ(f));
    return !files.empty();
}

TModalResult TQtMainDialogs::ExecuteScript(std::string& script, const std::string& message) {
    if (scriptDialog_) return scriptDialog_->Execute(script, message);
    TdlgShowScript dialog(parent_);
    return dialog.Execute(script, message);
}

bool TQtMainDialogs::OpenUrl(const std::string& url) { return qb::settings::OpenInBrowser(url); }

// ---------------------------------------------------------------------------------------
// Construction and destruction

TMainForm::TMainForm(TMainFormSetup setup)
    : dialogs_(std::move(setup.dialogs)),
      commandLine_(std::move(setup.commandLine)),
      storeFile_(std::move(setup.storeFile)),
      programDir_(std::move(setup.programDir)),
      batch_(setup.batch) {
    setObjectName("MainForm");
    BatchOutput = WriteStderrLine;
    if (!dialogs_ && batch_)
        dialogs_ = std::make_unique<TBatchDialogs>([this] { return CurrentProject; },
                                                   [this](const std::string& line) { BatchOutput(line); });
    if (!dialogs_) dialogs_ = std::make_unique<TQtMainDialogs>(this);
    if (programDir_.empty()) programDir_ = qb::platform::ExtractFilePath(qb::platform::ApplicationExeName());
    programDir_ = qb::platform::IncludeTrailingPathDelimiter(programDir_);

    // The Panorama Tools library is loaded at once; a failure ends the construction.
    PanoCorrect1_ = std::make_unique<qb::TPanoCorrect>();
    // The component's own defaults are the published values of the form (radial d = 1,
    // gamma 1, use the properties).

    BuildComponents();
    BuildActions();
    // The run log, the progress display and a batch run's stderr watch every child.
    ChildHooks.Started = [this](const std::string& executable, const std::string& commandLine,
                                const std::string& workDir) { WatchChildStarted(executable, commandLine, workDir); };
    ChildHooks.Line = [this](qb::platform::TOutputStream stream, const std::string& line) {
        WatchChildLine(stream, line);
    };
    ChildHooks.Ended = [this](uint32_t exitCode, bool killed) { WatchChildEnded(exitCode, killed); };

    TempFiles.clear();
    DeleteOnExit.clear();
    SetShowScript(false);
    SetLowPriority(false);
    SetStarted(true);
    SetPreviewMode(false);
    SetExitWhenDone(false);
    UpdateStatus();

    RegForm1Restore();
    Timer1->start();
}

TMainForm::~TMainForm() {
    Timer1->stop();
    // A program that ends on a signal has not finished its projects: their files stay.
    if (QuittingOnSignal) DeleteOnExit.clear();
    for (auto it = DeleteOnExit.rbegin(); it != DeleteOnExit.rend(); ++it) qb::platform::DeleteFile(*it);
    DeleteOnExit.clear();
    TempFiles.clear();
}

void TMainForm::SetWindows(TdlgShowScript* scriptDialog, TProgressForm* progressForm,
                           qb::settings::TfrmOptions* optionsForm) {
    dlgShowScript = scriptDialog;
    ProgressForm = progressForm;
    frmOptions = optionsForm;
    if (auto* qt = dynamic_cast<TQtMainDialogs*>(dialogs_.get())) qt->SetScriptDialog(scriptDialog);
}

void TMainForm::BuildComponents() {
    setWindowTitle(ApplicationTitle);
    setFont(QFont("Tahoma", 8));
    resize(488, 304);
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    StitchListHeader = new QLabel("Projects to stitch:", central);
    StitchListHeader->setObjectName("StitchListHeader");
    StitchListBox = new QListWidget(central);
    StitchListBox->setObjectName("StitchListBox");
    StitchListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    layout->addWidget(StitchListHeader);
    layout->addWidget(StitchListBox, 1);
    setCentralWidget(central);
    connect(StitchListBox, &QListWidget::itemSelectionChanged, this, [this] { StitchListBoxClick(); });

    StatusBar1 = statusBar();
    StatusBar1->setObjectName("StatusBar1");
    StatusPanel = new QLabel(StatusBar1);
    StatusPanel->setObjectName("StatusPanel");
    StatusBar1->addWidget(StatusPanel, 1);
    StatusProgress = new QProgressBar(StatusBar1);
    StatusProgress->setObjectName("StatusProgress");
    StatusProgress->setMaximumWidth(160);
    StatusProgress->setRange(0, 100);
    StatusProgress->hide();
    StatusBar1->addPermanentWidget(StatusProgress);

    ToolBar1 = addToolBar("Toolbar");
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);

    FileMenu = menuBar()->addMenu("&File");
    ProcessMenu = menuBar()->addMenu("&Process");
    HelpMenu = menuBar()->addMenu("&Help");

    OpenPTSDialog.Title = "Add Vorda Project";
    OpenPTSDialog.Filter = "Vorda Projects (*.pts)|*.pts";
    OpenPTSDialog.DefaultExt = "pts";
    OpenPTSDialog.AllowMultiSelect = true;
    OpenPTSDialog.PathMustExist = true;
    OpenPTSDialog.FileMustExist = true;

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

void TMainForm::BuildActions() {
    auto make = [this](const char* name, const char* caption, const QKeySequence& shortcut, const char* hint,
                       bool checkable, void (TMainForm::*handler)()) {
        auto* action = new QAction(caption, this);
        action->setObjectName(name);
        if (!shortcut.isEmpty()) action->setShortcut(shortcut);
        if (hint) {
            action->setToolTip(hint);
            action->setStatusTip(hint);
        }
        action->setCheckable(checkable);
        connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
        return action;
    };
    actAddProject = make("actAddProject", "Add Vorda Project...", QKeySequence("Ctrl+A"),
                         "Add a Vorda project to the list of projects to be stitched", false,
                         &TMainForm::actAddProjectExecute);
    actDelProject = make("actDelProject", "Remove Project", QKeySequence(Qt::Key_Delete),
                         "Remove the selected Vorda project to the list of projects to be stitched", false,
                         &TMainForm::actDelProjectExecute);
    actExitWhenDone = make("actExitWhenDone", "Exit when done", QKeySequence(),
                           "Exit the Vorda Stitcher when all projects have been stitched", true,
                           &TMainForm::actExitWhenDoneExecute);
    actOptions = make("actOptions", "Options...", QKeySequence(), "Change the settings of the stitcher, the viewers and Enblend",
                      false, &TMainForm::actOptionsExecute);
    actExit = make("actExit", "Exit", QKeySequence("Ctrl+X"), "Exit Vorda Stitcher", false, &TMainForm::actExitExecute);
    actStart = make("actStart", "Start", QKeySequence("Ctrl+S"), "Start stitching", true, &TMainForm::actStartExecute);
    actStop = make("actStop", "Stop", QKeySequence("Ctrl+T"), "Stop stitching", true, &TMainForm::actStopExecute);
    actPreview = make("actPreview", "Preview", QKeySequence("Ctrl+P"), "Toggle Preview/Stitch mode", true,
                      &TMainForm::actPreviewExecute);
    actShowScript = make("actShowScript", "Show Script", QKeySequence("Ctrl+W"),
                         "Show the script before it is sent to PTStitcher", true, &TMainForm::actShowScriptExecute);
    actLowPriority = make("actLowPriority", "Background Priority", QKeySequence("Ctrl+B"),
                          "Give the stitcher process a lower priority (run in background)", true,
                          &TMainForm::actLowPriorityExecute);
    actHelpIndex = make("actHelpIndex", "Index...", QKeySequence(Qt::Key_F1), nullptr, false,
                        &TMainForm::actHelpIndexExecute);
    actCommandLineSwitches = make("actCommandLineSwitches", "Command line...", QKeySequence("Ctrl+C"),
                                  "Show usage information", false, &TMainForm::actCommandLineSwitchesExecute);
    actAbout = make("actAbout", "About...", QKeySequence("Ctrl+I"), "About Vorda Stitcher", false,
                    &TMainForm::actAboutExecute);

    FileMenu->addAction(actAddProject);
    FileMenu->addAction(actDelProject);
    FileMenu->addAction(actExitWhenDone);
    FileMenu->addAction(actOptions);
    FileMenu->addSeparator();
    FileMenu->addAction(actExit);
    ProcessMenu->addAction(actStart);
    ProcessMenu->addAction(actStop);
    ProcessMenu->addSeparator();
    ProcessMenu->addAction(actPreview);
    ProcessMenu->addAction(actShowScript);
    ProcessMenu->addAction(actLowPriority);
    actShowLog = make("actShowLog", "Show Log", QKeySequence("Ctrl+L"),
                      "Show the log of the current or last project's run", false, &TMainForm::actShowLogExecute);
    actShowLog->setEnabled(false);
    ProcessMenu->addSeparator();
    ProcessMenu->addAction(actShowLog);
    HelpMenu->addAction(actHelpIndex);
    HelpMenu->addAction(actCommandLineSwitches);
    HelpMenu->addSeparator();
    HelpMenu->addAction(actAbout);

    ToolBar1->addAction(actAddProject);
    ToolBar1->addAction(actDelProject);
    ToolBar1->addAction(actExit);
    ToolBar1->addSeparator();
    ToolBar1->addAction(actStart);
    ToolBar1->addAction(actStop);
    ToolBar1->addSeparator();
    ToolBar1->addAction(actPreview);
    ToolBar1->addAction(actShowScript);
    ToolBar1->addAction(actLowPriority);
    ToolBar1->addSeparator();
    ToolBar1->addAction(actAbout);
}

// The checked states follow the state they show, also after a handler that failed or was
// cancelled (a checkable action toggles itself before its handler runs).
void TMainForm::SyncActionChecks() {
    actStart->setChecked(Started);
    actStop->setChecked(!Started);
    actPreview->setChecked(PreviewMode);
    actExitWhenDone->setChecked(ExitWhenDone);
    actShowScript->setChecked(ShowScript);
    actLowPriority->setChecked(LowPriority);
}

// ---------------------------------------------------------------------------------------
// Errors

void TMainForm::ShowError(const std::string& message) {
    RunLog.Message("error: " + message);
    dialogs_->MessageDlg(message, TMsgDlgType::mtError, mbOK);
}

void TMainForm::HandleException(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const qb::EAbort&) {
        // The user cancelled: nothing to show.
    } catch (const qb::Exception& e) {
        ShowError(e.message());
    } catch (const std::bad_alloc&) {
        ShowError(qb::EOutOfMemory().message());
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
    SyncActionChecks();
}

// ---------------------------------------------------------------------------------------
// Command line and queue

void TMainForm::ParseCommandLine() {
    ParseArguments(commandLine_);
    if (ExitWhenDone && QueueCount() == 0) close();
}

void TMainForm::ReceiveCommandLine(const std::vector<std::string>& arguments) {
    HandleException([this, &arguments] { ParseArguments(arguments); });
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
}

void TMainForm::ParseArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> names;
    bool deleteAtExit = false;
    for (const std::string& arg : arguments) {
        if (!arg.empty() && arg[0] == '-') {
            const std::string option = LowerCase(arg);
            if (option == "-v")
                SetPreviewMode(true);
            else if (option == "-x")
                SetExitWhenDone(true);
            else if (option == "-l")
                SetLowPriority(true);
            else if (option == "-s") {
                // The review needs somebody to read the script and answer.
                if (batch_) throw qb::Exception(kBatchShowScriptMessage);
                SetShowScript(true);
            }
            else if (option == "-d")
                deleteAtExit = true;
            else
                throw qb::Exception(qb::Format("Unknown command line parameter: %s", qb::QuoteValue(arg).c_str()));
        } else {
            names.push_back(arg);
        }
    }
    AddProjects(names);
    if (batch_) BatchProjects = QueueCount();
    // Only names that passed the checks and were queued are deleted at exit: a name that is
    // no project (or a command line that queued nothing) must not cost the user a file.
    if (deleteAtExit) DeleteOnExit.insert(DeleteOnExit.end(), names.begin(), names.end());
    UpdateActions();
}

void TMainForm::CheckProjectFile(const std::string& name) {
    if (LowerCase(qb::platform::ExtractFileExt(name)) != ".pts")
        throw qb::Exception(qb::Format("Not a Vorda project: %s", name.c_str()));
    if (!qb::platform::FileExists(name)) throw qb::Exception(qb::Format("File does not exist: %s", name.c_str()));
}

void TMainForm::AddProject(const std::string& name, bool check) {
    if (check) CheckProjectFile(name);
    StitchListBox->addItem(ToQ(name));
    UpdateActions();
}

void TMainForm::AddProjects(const std::vector<std::string>& names) {
    for (const std::string& name : names) CheckProjectFile(name);
    for (const std::string& name : names) AddProject(name, false);
}

int TMainForm::QueueCount() const { return StitchListBox->count(); }

std::string TMainForm::QueueEntry(int index) const {
    const QListWidgetItem* item = StitchListBox->item(index);
    if (!item) throw qb::Exception(qb::Format("Internal error: no queue entry %d", index));
    return FromQ(item->text());
}

void TMainForm::RemoveQueueEntry(int index) {
    delete StitchListBox->takeItem(index);
    UpdateActions();
}

void TMainForm::LoadProject(qb::TvrdProject& project, const std::string& fileName) {
    const std::string text = LoadTextFile(fileName);
    auto scratch = std::make_unique<qb::TvrdProject>();
    qb::ReadProjectText(text, qb::ReadMode::Project, *scratch, true, false, false);
    project.Assign(*scratch, true);
}

std::string TMainForm::LoadTextFile(const std::string& fileName) {
    FILE* f = std::fopen(fileName.c_str(), "rb");
    if (!f) {
        const int error = errno;
        throw qb::Exception(qb::Format("Cannot open file \"%s\". %s", fileName.c_str(),
                                       qb::platform::SysErrorMessage(error).c_str()));
    }
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    const int error = errno;
    std::fclose(f);
    if (failed)
        throw qb::Exception(qb::Format("Cannot read file \"%s\". %s", fileName.c_str(),
                                       qb::platform::SysErrorMessage(error).c_str()));
    return text;
}

void TMainForm::SaveTextFile(const std::string& text, const std::string& fileName) {
    FILE* f = std::fopen(fileName.c_str(), "wb");
    if (!f) {
        const int error = errno;
        throw qb::Exception(qb::Format("Cannot create file \"%s\". %s", fileName.c_str(),
                                       qb::platform::SysErrorMessage(error).c_str()));
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int error = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok)
        throw qb::Exception(qb::Format("Cannot write file \"%s\". %s", fileName.c_str(),
                                       qb::platform::SysErrorMessage(error).c_str()));
}

// ---------------------------------------------------------------------------------------
// Queue state and options

void TMainForm::SetStarted(bool value) {
    if (Started && !value) AskKillChild();
    actStop->setChecked(!value);
    actStart->setChecked(value);
    actStop->setEnabled(value);
    actStart->setEnabled(!value);
    Started = value;
    Tick();
}

void TMainForm::SetPreviewMode(bool value) {
    PreviewMode = value;
    actPreview->setChecked(value);
}

void TMainForm::SetExitWhenDone(bool value) {
    ExitWhenDone = value;
    actExitWhenDone->setChecked(value);
}

void TMainForm::SetShowScript(bool value) {
    ShowScript = value;
    actShowScript->setChecked(value);
}

void TMainForm::SetLowPriority(bool value) {
    const bool changed = value != LowPriority;
    LowPriority = value;
    if (changed) ApplyChildPriority();
    actLowPriority->setChecked(value);
}

void TMainForm::ApplyChildPriority() {
    // The stitcher and Enblend, the long stages; a viewer is the user's window.
    if (!(StitcherRunning || EnblendRunning) || !ChildThread) return;
    if (!qb::platform::SetThreadPriority(ChildThread, LowPriority ? qb::platform::TThreadPriority::tpLower
                                                                  : qb::platform::TThreadPriority::tpNormal) &&
        !LowPriority && !PriorityWarned) {
        PriorityWarned = true;
        StatusBar1->showMessage(
            "The system does not let the stitcher's priority be raised again; it keeps its background priority.",
            15000);
    }
}

// ---------------------------------------------------------------------------------------
// The queue step

void TMainForm::Tick() {
    if (TickBusy != 0) return;
    TCounterGuard busy(TickBusy);
    if (StitcherRunning || ViewerRunning || EnblendRunning) SuperviseChild();
    if (!StitcherRunning && !ViewerRunning && !EnblendRunning && Started && QueueCount() > 0) StartNextProject();
    UpdateActions();
}

void TMainForm::StartNextProject() {
    CurrentProject = QueueEntry(0);
    auto project = std::make_unique<qb::TvrdProject>();
    StitcherRunning = true;
    UpdateStatus();
    try {
        LoadProject(*project, CurrentProject);
        OpenRunLog(project->Panorama.OutputFile);
        if (project->Panorama.FastTransform && !PanoCorrect1_->HasFastTransform())
            project->Panorama.FastTransform = false;
        MorphToFit(*project, PreviewMode);
        TempFiles.clear();
        StartStitch(*project, ShowScript, PreviewMode);
        RunPreview = PreviewMode;
        ApplyChildPriority();
    } catch (...) {
        StitcherRunning = false;
        project.reset();
        UpdateStatus();
        SetStarted(false);
        throw;
    }
}

void TMainForm::Timer1Timer() {
    HandleException([this] {
        // The child's output is read also while a question holds the step.
        ReadChildOutput(false);
        Tick();
    });
    if (batch_) SkipFailedProjects();
}

// ---------------------------------------------------------------------------------------
// Status and actions

void TMainForm::UpdateStatus() {
    std::string text;
    if (StitcherRunning)
        text = "Stitching " + CurrentProject + "...";
    else if (ViewerRunning)
        text = "Viewing " + CurrentProject + "...";
    else if (EnblendRunning)
        text = "Running Enblend...";
    else
        text = "Idle";
    StatusPanel->setText(ToQ(text));
    UpdateProgress();
    // A batch run tells each new state on stderr (not the idle one between runs).
    if (batch_ && text != lastBatchStatus_) {
        lastBatchStatus_ = text;
        if (text != "Idle") BatchOutput("quiltbatch: " + OneLine(text));
    }
}

std::string TMainForm::StatusText() const { return FromQ(StatusPanel->text()); }

namespace {
// The selected entry's index, -1 when none is selected.
int SelectedIndex(const QListWidget* list) {
    const int row = list->currentRow();
    if (row < 0) return -1;
    const QListWidgetItem* item = list->item(row);
    return item && item->isSelected() ? row : -1;
}
}  // namespace

void TMainForm::UpdateActions() {
    const int index = SelectedIndex(StitchListBox);
    // The first entry is the project being worked on while a child runs for it; it cannot be
    // removed then. While Enblend runs the project is still first and leaves the queue when
    // Enblend ends, so removing it would remove the next project instead.
    actDelProject->setEnabled(index > 0 || (index == 0 && !StitcherRunning && !ViewerRunning && !EnblendRunning));
}

void TMainForm::StitchListBoxClick() { UpdateActions(); }

// ---------------------------------------------------------------------------------------
// Action handlers

void TMainForm::actAddProjectExecute() {
    HandleException([this] {
        std::vector<std::string> files;
        if (dialogs_->OpenFiles(OpenPTSDialog, files)) AddProjects(files);
    });
}

void TMainForm::actDelProjectExecute() {
    HandleException([this] {
        UpdateActions();
        if (!actDelProject->isEnabled()) return;
        const int index = SelectedIndex(StitchListBox);
        if (index >= 0) delete StitchListBox->takeItem(index);
        UpdateActions();
    });
}

void TMainForm::actExitWhenDoneExecute() { HandleException([this] { SetExitWhenDone(!ExitWhenDone); }); }
void TMainForm::actOptionsExecute() {
    HandleException([this] {
        const std::string program = programDir_ + OptionsProgramName;
        qb::platform::TProcessInformation info;
        if (!qb::platform::CreateProcess(program, QuoteArgument(program), std::string(), info)) {
            const int error = errno;
            throw qb::Exception(qb::Format("Error running %s:\n%s", program.c_str(),
                                           qb::platform::SysErrorMessage(error).c_str()));
        }
        // It runs on its own; its end is reaped without being watched.
        qb::platform::DetachProcess(info.hProcess);
        qb::platform::CloseHandle(info.hProcess);
    });
}

void TMainForm::actExitExecute() { HandleException([this] { close(); }); }
void TMainForm::actStartExecute() { HandleException([this] { SetStarted(true); }); }
void TMainForm::actStopExecute() { HandleException([this] { SetStarted(false); }); }
void TMainForm::actPreviewExecute() { HandleException([this] { SetPreviewMode(!PreviewMode); }); }
void TMainForm::actShowScriptExecute() { HandleException([this] { SetShowScript(!ShowScript); }); }
void TMainForm::actLowPriorityExecute() { HandleException([this] { SetLowPriority(!LowPriority); }); }

void TMainForm::actHelpIndexExecute() {
    HandleException([this] {
        bool callHelp = true;
        ApplicationEvents1Help(HELP_CONTEXT, MainHelpContext, callHelp);
    });
}

std::string TMainForm::UsageText() {
    return "Command line usage:\n\nquiltbatch <options> project1.pts project2.pts ...\n\nOptions:\n"
           "-v: Preview mode\n-x: Exit when done\n-l: Low Stitcher Priority\n-s: Show Script\n"
           "-d: Delete .pts files on exit";
}

std::string TMainForm::AboutText() {
    return std::string("Vorda Stitcher v4.0\n\nCopyright (c) Kelmora. All rights reserved.\n") + MakerWebAddress;
}

void TMainForm::actCommandLineSwitchesExecute() {
    HandleException([this] { dialogs_->MessageDlg(UsageText(), TMsgDlgType::mtInformation, mbOK); });
}

void TMainForm::actAboutExecute() {
    HandleException([this] { dialogs_->MessageDlg(AboutText(), TMsgDlgType::mtInformation, mbOK); });
}

void TMainForm::UOTextTarget1Drop(const std::string& text) {
    HandleException([this, &text] { AddProjects(SplitLines(text)); });
}

// ---------------------------------------------------------------------------------------
// Help

bool TMainForm::ApplicationEvents1Help(uint16_t command, intptr_t data, bool& callHelp) {
    callHelp = false;
    if (command == HELP_CONTEXT) ShowHelp(static_cast<int>(data));
    return true;
}

void TMainForm::ShowHelp(int context) {
    CallHtmlHelp(nullptr, programDir_ + ApplicationHelpFile, HH_HELP_CONTEXT, context);
}

void TMainForm::CallHtmlHelp(QWidget* /*window*/, const std::string& file, int command, intptr_t data) {
    const std::string noHelp = std::string("You don't have HTML Help installed on your system. Please re-install a "
                                           "new version of Vorda, or download it from ") +
                               MakerWebAddress;
    if (!HtmlHelpLoaded) {
        if (!qb::platform::FileExists(file)) throw qb::Exception(noHelp);
        HtmlHelpLoaded = true;
    }
    QUrl url = QUrl::fromLocalFile(ToQ(file));
    if (command == HH_HELP_CONTEXT) url.setFragment("context-" + QString::number(static_cast<qlonglong>(data)));
    const QByteArray encoded = url.toEncoded();
    // Without a browser the manual can still be read: its place is named.
    if (!dialogs_->OpenUrl(std::string(encoded.constData(), static_cast<size_t>(encoded.size()))))
        throw qb::Exception(noHelp + "\n\nManual: " + file);
}

// ---------------------------------------------------------------------------------------
// Settings

std::string TMainForm::ReadSetting(const std::string& name) {
    if (!frmOptions) return std::string();
    try {
        return frmOptions->ReadOptionString(name);
    } catch (...) {
        return std::string();
    }
}

// ---------------------------------------------------------------------------------------
// Activation, closing, drops

bool TMainForm::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) FormActivate();
    return QMainWindow::event(e);
}

void TMainForm::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    // Not every platform activates a window that is shown (offscreen, some window
    // managers); the command line is handled once the window is up either way.
    if (!CommandLineDone) QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void TMainForm::FormActivate() {
    if (CommandLineDone) return;
    CommandLineDone = true;
    HandleException([this] { ParseCommandLine(); });
}

void TMainForm::FormCloseQuery(bool& canClose) {
    canClose = true;
    try {
        AskKillChild();
    } catch (const qb::EAbort&) {
        canClose = false;
    } catch (const qb::Exception& e) {
        canClose = false;
        ShowError(e.message());
    }
    if (!canClose) return;
    if (!(StitcherRunning || ViewerRunning || EnblendRunning)) return;
    if (!ChildKilled) {
        // Answered No: the child runs on by itself after the program has ended.
        qb::platform::DetachProcess(ChildProcess);
    } else {
        // Killed: the same clean-up as after a stop, before the window goes and nothing is
        // left to watch the killed child's end.
        AbandonRun();
    }
}

void TMainForm::closeEvent(QCloseEvent* e) {
    bool canClose = true;
    FormCloseQuery(canClose);
    SyncActionChecks();
    if (!canClose) {
        e->ignore();
        return;
    }
    e->accept();
    if (batch_) {
        // A batch run has shown no window whose place would be worth keeping.
        FinishBatch();
        return;
    }
    RegForm1Save();
}

void TMainForm::dragEnterEvent(QDragEnterEvent* e) {
    if (e->mimeData()->hasUrls() || e->mimeData()->hasText()) e->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* e) {
    const QMimeData* mime = e->mimeData();
    std::string text;
    if (mime->hasUrls()) {
        for (const QUrl& url : mime->urls()) {
            if (!text.empty()) text += '\n';
            text += FromQ(url.isLocalFile() ? url.toLocalFile() : url.toString());
        }
    } else if (mime->hasText()) {
        text = FromQ(mime->text());
    } else {
        return;
    }
    e->acceptProposedAction();
    UOTextTarget1Drop(text);
}

// ---------------------------------------------------------------------------------------
// Window geometry

void TMainForm::RegForm1Restore() {
    try {
        std::unique_ptr<qb::platform::TRegistry> reg = storeFile_.empty()
                                                           ? std::make_unique<qb::platform::TRegistry>()
                                                           : std::make_unique<qb::platform::TRegistry>(storeFile_);
        if (!reg->OpenKey(FormStateRegistryKey, false)) return;
        int state = 0;
        if (reg->ValueExists("RCWindowState")) {
            const std::string bytes = reg->ReadBinaryData("RCWindowState");
            if (!bytes.empty()) state = static_cast<unsigned char>(bytes[0]);
        }
        if (state != 2 && reg->ValueExists("RCLeft")) {
            // Computed wide: stored values may be anything a 32-bit integer holds.
            int64_t left = reg->ReadInteger("RCLeft");
            int64_t top = reg->ReadInteger("RCTop");
            const int64_t width = reg->ReadInteger("RCWidth");
            const int64_t height = reg->ReadInteger("RCHeight");
            QRect screen(0, 0, 1024, 768);
            if (const QScreen* primary = QGuiApplication::primaryScreen()) screen = primary->geometry();
            left = std::min<int64_t>(left, screen.width() - 10);
            top = std::min<int64_t>(top, screen.height() - 50);
            if (left + width < 10) left = 10 - width;
            if (top + height < 10) top = 10 - height;
            auto toInt = [](int64_t v) {
                return static_cast<int>(std::clamp<int64_t>(v, std::numeric_limits<int>::min() / 2,
                                                            std::numeric_limits<int>::max() / 2));
            };
            move(toInt(left), toInt(top));
            resize(toInt(std::max<int64_t>(width, 0)), toInt(std::max<int64_t>(height, 0)));
        }
        if (state == 1)
            setWindowState(Qt::WindowMinimized);
        else if (state == 2)
            setWindowState(Qt::WindowMaximized);
        reg->CloseKey();
    } catch (...) {
        // A missing or unreadable key leaves the built-in geometry.
    }
}

void TMainForm::RegForm1Save() {
    try {
        std::unique_ptr<qb::platform::TRegistry> reg = storeFile_.empty()
                                                           ? std::make_unique<qb::platform::TRegistry>()
                                                           : std::make_unique<qb::platform::TRegistry>(storeFile_);
        if (!reg->OpenKey(FormStateRegistryKey, true))
            throw qb::Exception(std::string("Failed to open registry key '") + FormStateRegistryKey + "'");
        const Qt::WindowStates states = windowState();
        const char state = (states & Qt::WindowMinimized) ? 1 : (states & Qt::WindowMaximized) ? 2 : 0;
        QRect bounds(pos(), size());
        if (state != 0) bounds = normalGeometry();
        reg->WriteInteger("RCLeft", bounds.x());
        reg->WriteInteger("RCTop", bounds.y());
        reg->WriteInteger("RCWidth", bounds.width());
        reg->WriteInteger("RCHeight", bounds.height());
        reg->WriteBinaryData("RCWindowState", std::string(1, state));
        reg->CloseKey();
    } catch (const qb::Exception& e) {
        ShowError(e.message());
    }
}

}  // namespace qb::app
