// quiltbatch: the batch stitcher's queue window.
//   quiltbatch [-v] [-x] [-l] [-s] [-d] [--new-instance] project1.pts project2.pts ...
//   quiltbatch --help | --version
#include <QApplication>
#include <QMessageBox>

#include <string>
#include <vector>

#include "app/quiltbatchapp.h"

int main(int argc, char** argv) {
    // Help and version need no display.
    {
        std::vector<std::string> args(argv + 1, argv + argc);
        const int answered = qb::app::AnswerInformationOptions(args);
        if (answered >= 0) return answered;
    }
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, ...) out of argv; the rest is ours.
    qb::app::TQuiltbatchSetup setup;
    for (int i = 1; i < argc; ++i) setup.commandLine.emplace_back(argv[i]);
    setup.singleInstance = !qb::app::TakeNewInstanceOption(setup.commandLine);
    return qb::app::RunQuiltbatch(app, std::move(setup), [](const std::string& message) {
        QMessageBox::critical(nullptr, "Error", QString::fromUtf8(message.c_str()));
    });
}
