// The program's start.
#include "app/quiltbatchapp.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <new>

#include "app/batchmode.h"
#include "app/progressunit.h"
#include "app/quitsignals.h"
#include "app/singleinstance.h"
#include "app/scriptfileunit_include.h"
#include "platform/registry.h"
#include "settings/options.h"

namespace qb::app {

std::string HelpText() {
    return TMainForm::UsageText() +
           "\n\n--new-instance: Open a window of its own instead of adding the projects to the\n"
           "    window that is already open\n"
           "--batch: Run without a window: messages on stderr, every question answered as the\n"
           "    manual says, failed projects skipped, the exit status of the whole queue\n"
           "    (also without a display, or with Qt's offscreen or minimal platform)\n"
           "--window: The window even where a run would be a batch run\n"
           "--help, -h: Show this text\n"
           "--version: Show the version\n";
}

int AnswerInformationOptions(const std::vector<std::string>& arguments) {
    for (const std::string& a : arguments) {
        if (a == "--help" || a == "-h") {
            std::fputs(HelpText().c_str(), stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("quiltbatch (%s) %s\n", ApplicationTitle, ApplicationVersion);
            return 0;
        }
    }
    return -1;
}

bool TakeNewInstanceOption(std::vector<std::string>& arguments) {
    const auto it = std::remove(arguments.begin(), arguments.end(), std::string("--new-instance"));
    const bool found = it != arguments.end();
    arguments.erase(it, arguments.end());
    return found;
}

void InitApplication() {
    QApplication::setApplicationName("quiltbatch");
    QApplication::setApplicationDisplayName(ApplicationTitle);
    QApplication::setOrganizationName("Kelmora");
}

TQuiltbatchWindows::TQuiltbatchWindows(TQuiltbatchSetup setup) {
    TMainFormSetup mainSetup;
    mainSetup.dialogs = std::move(setup.dialogs);
    mainSetup.commandLine = std::move(setup.commandLine);
    mainSetup.storeFile = setup.storeFile;
    mainSetup.programDir = setup.programDir;
    mainSetup.batch = setup.batch;
    if (setup.batch && !setup.optionsDialogs) setup.optionsDialogs = std::make_unique<TBatchOptionsDialogs>();
    MainForm = std::make_unique<TMainForm>(std::move(mainSetup));
    dlgShowScript = std::make_unique<TdlgShowScript>(MainForm.get());
    ProgressForm = std::make_unique<TProgressForm>(MainForm.get());
    qb::settings::TOptionsSetup optionsSetup;
    optionsSetup.storeFile = setup.storeFile;
    optionsSetup.programDir = MainForm->ProgramDir();
    optionsSetup.dialogs = std::move(setup.optionsDialogs);
    frmOptions = std::make_unique<qb::settings::TfrmOptions>(nullptr, std::move(optionsSetup));
    // A batch run shows no window, the progress window of the crop pre-pass included.
    MainForm->SetWindows(dlgShowScript.get(), setup.batch ? nullptr : ProgressForm.get(), frmOptions.get());
}

TQuiltbatchWindows::~TQuiltbatchWindows() {
    if (MainForm) MainForm->SetWindows(nullptr, nullptr, nullptr);
    frmOptions.reset();
    ProgressForm.reset();
    dlgShowScript.reset();
    MainForm.reset();
}

int RunQuiltbatch(QApplication& app, TQuiltbatchSetup setup,
                  const std::function<void(const std::string&)>& showError) {
    std::unique_ptr<TQuiltbatchWindows> windows;
    TInstanceServer instance;
    try {
        InitApplication();
        if (setup.singleInstance &&
            instance.HandOffOrListen(setup.storeFile.empty() ? qb::platform::TRegistry::StoreFileName()
                                                             : setup.storeFile,
                                     setup.commandLine))
            return 0;
        windows = std::make_unique<TQuiltbatchWindows>(std::move(setup));
    } catch (const qb::EAbort&) {
        return 1;
    } catch (const qb::Exception& e) {
        showError(e.message());
        return 1;
    } catch (const std::bad_alloc&) {
        showError(qb::EOutOfMemory().message());
        return 1;
    } catch (const std::exception& e) {
        showError(e.what());
        return 1;
    }
    TMainForm& form = *windows->MainForm;
    // A terminating signal ends the run cleanly: no child left running, no temporary file.
    TQuitSignals quitSignals([&form](int signal) { form.QuitOnSignal(signal); });
    if (form.BatchMode()) {
        // No window: the command line is handled at once, with -x implied, and the end of
        // the queue ends the message loop.
        form.OnBatchEnd = [&app](int code) { app.exit(code); };
        form.SetExitWhenDone(true);
        form.CommandLineDone = true;
        try {
            form.ParseCommandLine();
        } catch (const qb::EAbort&) {
            return 2;
        } catch (const std::exception& e) {
            form.ShowError(e.what());
            return 2;
        }
        if (form.BatchFinished) return form.BatchExitCode();
        return app.exec();
    }
    app.setQuitOnLastWindowClosed(true);
    instance.SetReceiver([&form](const std::vector<std::string>& arguments) { form.ReceiveCommandLine(arguments); });
    form.show();
    return app.exec();
}

}  // namespace qb::app
