// quiltbatch: the batch stitcher's queue window.
//   quiltbatch [-v] [-x] [-l] [-s] [-d] project1.pts project2.pts ...
#include <QApplication>
#include <QMessageBox>

#include <string>
#include <vector>

#include "app/quiltbatchapp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, ...) out of argv; the rest is ours.
    qb::app::TQuiltbatchSetup setup;
    for (int i = 1; i < argc; ++i) setup.commandLine.emplace_back(argv[i]);
    return qb::app::RunQuiltbatch(app, std::move(setup), [](const std::string& message) {
        QMessageBox::critical(nullptr, "Error", QString::fromUtf8(message.c_str()));
    });
}
