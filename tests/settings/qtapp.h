// One QApplication for the whole test program (Qt runs offscreen, as the test main sets).
#pragma once

#include <QApplication>

namespace qb::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test_settings";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace qb::test
