// The program's start.
#include "app/quiltbatchapp.h"

#include <QApplication>

#include <new>

#include "app/batchmode.h"
#include "app/progressunit.h"
#include "app/quitsignals.h"
#include "app/scriptfileunit_include.h"
#include "settings/options.h"

namespace qb::app {

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
    MainForm->SetWindows(dlgShowScript.get(), ProgressForm.get(), frmOptions.get());
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
    try {
        InitApplication();
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
    form.show();
    return app.exec();
}

}  // namespace qb::app
