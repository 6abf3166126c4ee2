// One QApplication for the whole test program (Qt runs offscreen, as the test main sets).
#pragma once

#include <QApplication>
#include <QCoreApplication>

namespace qb::test {

inline QApplication& App() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    static int argc = 1;
    static char name[] = "qbtest";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace qb::test
