// quiltbatch: the batch stitcher's queue window.
//   quiltbatch [--batch | --window] [-v] [-x] [-l] [-s] [-d] [--new-instance] project1.pts ...
//   quiltbatch --help | --version
// Without a display, or on Qt's offscreen or minimal platform, it runs as a batch run (no
// window, messages on stderr, an exit status); --batch asks for one anywhere, --window for
// the window anywhere.
#include <QApplication>
#include <QMessageBox>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/batchmode.h"
#include "app/quiltbatchapp.h"

int main(int argc, char** argv) {
    using namespace qb::app;
    // Help and version need no display.
    {
        std::vector<std::string> args(argv + 1, argv + argc);
        const int answered = AnswerInformationOptions(args);
        if (answered >= 0) return answered;
    }
    // Whether Qt's platform has been named (the environment, or Qt's own -platform option).
    bool platformNamed = std::getenv("QT_QPA_PLATFORM") && *std::getenv("QT_QPA_PLATFORM");
    bool batchAsked = false, windowAsked = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) platformNamed = true;
        if (std::strcmp(argv[i], "--batch") == 0) batchAsked = true;
        if (std::strcmp(argv[i], "--window") == 0) windowAsked = true;
    }
    if (batchAsked && windowAsked) {
        WriteStderrLine(BatchMessageLine(TMsgDlgType::mtError, std::string(),
                                         "--batch and --window cannot be given together."));
        return 2;
    }
    // A batch run needs no display: without a platform named it draws nowhere.
    if (!platformNamed && !windowAsked && (batchAsked || !HasDisplay())) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, ...) out of argv; the rest is ours.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    TProgramOptions options;
    try {
        options = TakeProgramOptions(args);
    } catch (const std::exception& e) {
        WriteStderrLine(BatchMessageLine(TMsgDlgType::mtError, std::string(), e.what()));
        return 2;
    }
    TQuiltbatchSetup setup;
    setup.commandLine = std::move(options.rest);
    const bool newInstance = TakeNewInstanceOption(setup.commandLine);
    setup.batch = options.batch ||
                  (!options.window && (IsBatchPlatform(QGuiApplication::platformName().toStdString()) || !HasDisplay()));
    // A batch run does its own work and gives its own exit status: it never hands its
    // projects to a window, nor takes any from other programs.
    setup.singleInstance = !newInstance && !setup.batch;
    const bool batch = setup.batch;
    return RunQuiltbatch(app, std::move(setup), [batch](const std::string& message) {
        if (batch)
            WriteStderrLine(BatchMessageLine(TMsgDlgType::mtError, std::string(), message));
        else
            QMessageBox::critical(nullptr, "Error", QString::fromUtf8(message.c_str()));
    });
}
