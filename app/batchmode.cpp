// Batch runs: the dialogs that answer without a person, the program's own options and the
// choice of a batch run.
#include "app/batchmode.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/exceptions.h"

namespace qb::app {

const std::vector<TBatchAnswer>& BatchAnswers() {
    // The manual's table of batch answers gives the reason for each.
    static const std::vector<TBatchAnswer> answers = {
        {"You have configured a PTStitcher application different from", mrCancel},
        {"Vorda needs PTStitcher from Panorama Tools 2.5", mrCancel},
        {"You are running an older version of Panorama Tools", mrOk},
        {"Your project uses color correction, but", mrCancel},
        {"PTStitcher is currently running. Do you want to kill it?", mrYes},
        {"Enblend is still running. Do you want to kill it?", mrYes},
        {"The viewer is still running. Do you want to kill it?", mrYes},
    };
    return answers;
}

TModalResult BatchAnswerFor(const std::string& message, TMsgDlgButtons buttons) {
    for (const TBatchAnswer& a : BatchAnswers())
        if (message.compare(0, std::strlen(a.question), a.question) == 0) return a.answer;
    if (buttons & mbCancel) return mrCancel;
    if (buttons & mbNo) return mrNo;
    return mrOk;
}

std::string ModalResultName(TModalResult result) {
    switch (result) {
        case mrOk:
            return "OK";
        case mrCancel:
            return "Cancel";
        case mrYes:
            return "Yes";
        case mrNo:
            return "No";
        default:
            return "none";
    }
}

std::string OneLine(const std::string& text) {
    std::string out;
    bool pendingBlank = false;
    for (const char c : text) {
        if (c == '\n' || c == '\r') {
            pendingBlank = !out.empty();
            continue;
        }
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) continue;
        if (pendingBlank) {
            if (out.back() != ' ') out += ' ';
            pendingBlank = false;
        }
        out += c;
    }
    return out;
}

std::string MessageTypeName(TMsgDlgType type) {
    switch (type) {
        case TMsgDlgType::mtError:
            return "error";
        case TMsgDlgType::mtWarning:
            return "warning";
        case TMsgDlgType::mtInformation:
            return "information";
        case TMsgDlgType::mtConfirmation:
            return "confirmation";
    }
    return "message";
}

std::string BatchMessageLine(TMsgDlgType type, const std::string& project, const std::string& message) {
    std::string line = "quiltbatch: " + MessageTypeName(type) + ": ";
    if (!project.empty()) line += OneLine(project) + ": ";
    return line + OneLine(message);
}

void WriteStderrLine(const std::string& line) {
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;  // nowhere left to report to
        done += static_cast<size_t>(n);
    }
}

// ---------------------------------------------------------------------------------------

TModalResult TBatchDialogs::MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) {
    std::string line = BatchMessageLine(type, Project(), message);
    const bool question = (buttons & ~mbOK) != 0;
    const TModalResult answer = question ? BatchAnswerFor(message, buttons) : mrOk;
    if (question) line += " [batch answer: " + ModalResultName(answer) + "]";
    write_(line);
    return answer;
}

bool TBatchDialogs::OpenFiles(const TOpenDialog& /*dialog*/, std::vector<std::string>& /*files*/) { return false; }

TModalResult TBatchDialogs::ExecuteScript(std::string& /*script*/, const std::string& message) {
    write_(BatchMessageLine(TMsgDlgType::mtConfirmation, Project(), message) + " [batch answer: Cancel]");
    return mrCancel;
}

bool TBatchDialogs::OpenUrl(const std::string& /*url*/) { return false; }

// ---------------------------------------------------------------------------------------

TProgramOptions TakeProgramOptions(const std::vector<std::string>& args) {
    TProgramOptions options;
    for (const std::string& arg : args) {
        if (arg == "--batch")
            options.batch = true;
        else if (arg == "--window")
            options.window = true;
        else
            options.rest.push_back(arg);
    }
    if (options.batch && options.window)
        throw qb::Exception("--batch and --window cannot be given together.");
    return options;
}

bool IsBatchPlatform(const std::string& platformName) {
    return platformName == "offscreen" || platformName == "minimal";
}

bool HasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

}  // namespace qb::app
