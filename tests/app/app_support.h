// What every test of the queue application needs: the one QApplication of the test program
// (tests/support/qtapp.h), a record of a message box as the window showed it, and options-form dialogs that answer
// nothing.
#pragma once

#include <QApplication>
#include <QCoreApplication>

#include <string>

#include "app/quiltbatchmain.h"
#include "settings/options.h"
#include "tests/support/qtapp.h"

namespace qb::app::testsupport {

inline QApplication& TestApp() { return qb::test::App(); }

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
