// quiltbatch-options: shows the options form over the shared settings and writes them back
// on OK; or, without a window, lists, reads or sets single settings:
//   quiltbatch-options --list
//   quiltbatch-options --get NAME
//   quiltbatch-options --set NAME=VALUE
#include <QApplication>
#include <QMessageBox>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "core/exceptions.h"
#include "settings/options.h"
#include "tools/options/optionstool.h"

namespace {

const char* const Usage =
    "usage: quiltbatch-options                  edit the settings in the options form\n"
    "       quiltbatch-options --list           print every setting as NAME=VALUE\n"
    "       quiltbatch-options --get NAME       print the value of one setting\n"
    "       quiltbatch-options --set NAME=VALUE change one setting\n";

int RunCommand(const std::string& command, const std::string& argument) {
    try {
        qb::settings::TfrmOptions form;
        if (command == "--list") {
            qb::options::ListOptions(form, std::cout);
        } else if (command == "--get") {
            std::cout << qb::options::GetOption(form, argument) << '\n';
        } else {
            qb::options::SetOption(form, argument);
        }
        std::cout.flush();
        return std::cout ? 0 : 1;
    } catch (const qb::EAbort&) {
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "quiltbatch-options: " << e.what() << '\n';
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string command, argument;
    if (argc >= 2) {
        command = argv[1];
        const bool takesArgument = command == "--get" || command == "--set";
        if (command == "--help" || command == "-h") {
            std::cout << Usage;
            return 0;
        }
        if ((command != "--list" && !takesArgument) || argc != (takesArgument ? 3 : 2)) {
            std::cerr << Usage;
            return 2;
        }
        if (takesArgument) argument = argv[2];
        // No window is shown: no display is needed either.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quiltbatch Options");
    if (command.empty())
        return qb::options::RunOptionsForm({}, [](const std::string& message) {
            QMessageBox::critical(nullptr, "Options", QString::fromStdString(message));
        });
    return RunCommand(command, argument);
}
