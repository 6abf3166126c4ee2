// What every test of the queue application needs: the one QApplication of the test program,
// a record of a message box as the window showed it, and options-form dialogs that answer
// nothing.
#pragma once

#include <QApplication>
#include <QCoreApplication>

#include <string>

#include "app/quiltbatchmain.h"
#include "settings/options.h"

namespace qb::app::testsupport {

inline QApplication& TestApp() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// One message box as the window showed it.
struct TShownBox {
    std::string text;
    TMsgDlgType type;
    TMsgDlgButtons buttons;
};

class TSilentOptionsDialogs : public qb::settings::IOptionsDialogs {
public:
    void ShowError(const std::string&) override {}
    bool OpenFile(const std::string&, const std::string&, const std::string&, const std::string&,
                  std::string&) override {
        return false;
    }
    bool SelectDirectory(const std::string&, std::string&) override { return false; }
    void ShowHelp(int) override {}
};

}  // namespace qb::app::testsupport
