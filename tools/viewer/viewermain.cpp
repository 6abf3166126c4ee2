// quiltbatch-viewer: shows one image (a preview of the batch stitcher) in the bitmap view;
// the program ends when its window is closed.
//   quiltbatch-viewer [--timing] [--close-when-loaded] IMAGE
#include <QApplication>
#include <QMessageBox>

#include <chrono>
#include <iostream>
#include <string>

#include "core/exceptions.h"
#include "tools/viewer/viewertool.h"

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quiltbatch Viewer");
    qb::viewertool::TViewerOptions options;
    std::string error;
    if (!qb::viewertool::ParseViewerArguments(argc - 1, argv + 1, options, error)) {
        std::cerr << "quiltbatch-viewer: " << error << '\n' << qb::viewertool::ViewerUsage;
        return 2;
    }
    options.start = start;
    try {
        qb::viewertool::TViewerWindow window(options, std::cerr);
        window.show();
        return app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromStdString(e.what()));
        return 1;
    }
}
