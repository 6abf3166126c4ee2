// Batch runs: the queue without a window, for scripts, cron jobs, render boxes and a
// scheduler's array jobs. No modal box is ever opened: every message box becomes one line
// on stderr, "quiltbatch: <type>: <project>: <message>", and every question gets a fixed
// answer, the safe one, listed in the manual.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/quiltbatchmain.h"
#include "settings/options.h"

namespace qb::app {

// A question the program asks and what a batch run answers (the manual gives the reasons).
// The question is known by the beginning of its text.
struct TBatchAnswer {
    const char* question;
    TModalResult answer;
};
// Every question of the queue, in the order the manual lists them.
const std::vector<TBatchAnswer>& BatchAnswers();

// The batch answer to a box: the table's when it lists the question; for any other box with
// more than one button the most cautious one it offers (Cancel, else No, else OK).
TModalResult BatchAnswerFor(const std::string& message, TMsgDlgButtons buttons);

// "OK", "Cancel", "Yes", "No".
std::string ModalResultName(TModalResult result);

// A message as one line: every run of line ends becomes one blank, and control characters
// go.
std::string OneLine(const std::string& text);

// "error", "warning", "information", "confirmation".
std::string MessageTypeName(TMsgDlgType type);

// The line of a message box: "quiltbatch: <type>: <project>: <message>", without the
// project part when none is being worked on.
std::string BatchMessageLine(TMsgDlgType type, const std::string& project, const std::string& message);

// Writes one line (a line end is added) to stderr at once.
void WriteStderrLine(const std::string& line);

// The dialogs of a batch run. `project` names the project being worked on (empty when
// none); `write` takes each line (by default stderr).
class TBatchDialogs : public IMainDialogs {
public:
    explicit TBatchDialogs(std::function<std::string()> project,
                           std::function<void(const std::string&)> write = WriteStderrLine)
        : project_(std::move(project)), write_(std::move(write)) {}
    TModalResult MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) override;
    // Nobody picks files in a batch run.
    bool OpenFiles(const TOpenDialog& dialog, std::vector<std::string>& files) override;
    // The review needs a person: Cancel, which leaves the project undone.
    TModalResult ExecuteScript(std::string& script, const std::string& message) override;
    // No browser is started in a batch run (the caller says where the manual is).
    bool OpenUrl(const std::string& url) override;

private:
    std::string Project() const { return project_ ? project_() : std::string(); }
    std::function<std::string()> project_;
    std::function<void(const std::string&)> write_;
};

// The options form's dialogs in a batch run: its error boxes become lines, its choosers
// choose nothing.
class TBatchOptionsDialogs : public qb::settings::IOptionsDialogs {
public:
    explicit TBatchOptionsDialogs(std::function<void(const std::string&)> write = WriteStderrLine)
        : write_(std::move(write)) {}
    void ShowError(const std::string& message) override {
        write_(BatchMessageLine(TMsgDlgType::mtError, std::string(), message));
    }
    bool OpenFile(const std::string&, const std::string&, const std::string&, const std::string&,
                  std::string&) override {
        return false;
    }
    bool SelectDirectory(const std::string&, std::string&) override { return false; }
    void ShowHelp(int) override {}

private:
    std::function<void(const std::string&)> write_;
};

// The program's own options, taken out of its arguments before the queue sees them.
struct TProgramOptions {
    bool batch = false;   // --batch
    bool window = false;  // --window: the window even where a batch run would be automatic
    std::vector<std::string> rest;  // everything else, in order
};
// Fails with a message when --batch and --window are both given.
TProgramOptions TakeProgramOptions(const std::vector<std::string>& args);

// Whether a run without --batch or --window is a batch run: Qt's platform is "offscreen" or
// "minimal", or there is no display at all (neither DISPLAY nor WAYLAND_DISPLAY set).
bool IsBatchPlatform(const std::string& platformName);
bool HasDisplay();

// The message for -s in a batch run.
inline constexpr const char* kBatchShowScriptMessage =
    "The script review (-s) needs a person to read the script and press OK; it cannot be used in a batch "
    "run. Leave out -s, or run the window on a display.";

}  // namespace qb::app
