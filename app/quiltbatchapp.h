// The program's start: the application's title and help file, the four windows created in
// their order (the main window, the script review dialog, the progress window and the
// options form, which seeds the shared settings), and the message loop.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/quiltbatchmain.h"
#include "settings/options.h"

class QApplication;


namespace qb::app {

class TdlgShowScript;
class TProgressForm;

struct TQuiltbatchSetup {
    std::vector<std::string> commandLine;  // the arguments after the program's name
    std::string storeFile;                 // the registry store (empty: the shared one)
    std::string programDir;                // the program's directory (empty: the running program's)
    std::unique_ptr<IMainDialogs> dialogs;  // none: the Qt dialogs
    std::unique_ptr<qb::settings::IOptionsDialogs> optionsDialogs;  // none: the Qt dialogs
    bool batch = false;  // a batch run: no window, no box, -x implied (batchmode.h)
    // Hand the command line to a queue window already running for the same user, display
    // and settings store, and end at once when it has taken them; otherwise become the
    // window that later programs hand to. Off for --new-instance, and never wanted where
    // nobody sees the window (a run without display must do its own work and exit status).
    bool singleInstance = false;
};

// What the program answers without starting: --help (-h) and --version print to stdout and
// give 0. Returns -1 when the command line asks for neither.
int AnswerInformationOptions(const std::vector<std::string>& arguments);
// The text of --help.
std::string HelpText();
// Takes "--new-instance" out of the arguments; true when it was there.
bool TakeNewInstanceOption(std::vector<std::string>& arguments);

// Sets the application's title and names.
void InitApplication();

// The program's windows, created in their order and released in the opposite one.
class TQuiltbatchWindows {
public:
    // Fails with the first failure's message (the Panorama Tools library that cannot be
    // loaded, a store that cannot be used).
    explicit TQuiltbatchWindows(TQuiltbatchSetup setup);
    ~TQuiltbatchWindows();
    TQuiltbatchWindows(const TQuiltbatchWindows&) = delete;
    TQuiltbatchWindows& operator=(const TQuiltbatchWindows&) = delete;

    std::unique_ptr<TMainForm> MainForm;
    std::unique_ptr<TdlgShowScript> dlgShowScript;
    std::unique_ptr<TProgressForm> ProgressForm;
    std::unique_ptr<qb::settings::TfrmOptions> frmOptions;
};

// The whole program over a QApplication: creates the windows, shows the main window and runs
// the message loop until the main window closes. A failure while starting goes to
// `showError` and ends the program with exit code 1.
// A batch run shows no window: it handles the command line at once (a bad one ends the
// program with exit code 2), works through the queue and returns 0 when every project
// produced its result, 1 when any failed.
int RunQuiltbatch(QApplication& app, TQuiltbatchSetup setup,
                  const std::function<void(const std::string&)>& showError);

}  // namespace qb::app
