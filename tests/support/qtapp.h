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

#include <QElapsedTimer>
#include <functional>

namespace qb::test {

// Runs the thread's pending events until `done` holds; false when it still does not after
// `timeoutMs` (generous: the machine may be loaded).
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace qb::test
