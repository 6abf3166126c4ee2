// The signals that ask a program to end (SIGTERM, SIGINT, SIGHUP), turned into one call on
// the interface thread: the handler only writes the signal's number into a pipe, and a
// notifier on the pipe's other end makes the call from the event loop, where the program may
// do anything (kill its children, remove files, close its windows). The program decides how
// it ends; the usual exit status is 128 + the signal's number.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace qb::app {

class TQuitSignals : public QObject {
    Q_OBJECT
public:
    // Catches the signals from now on; `onSignal` is called once, for the first of them
    // (later ones, during the clean-up, are ignored). Only one instance may exist at a time.
    explicit TQuitSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    // The signals act as they did before.
    ~TQuitSignals() override;
    TQuitSignals(const TQuitSignals&) = delete;
    TQuitSignals& operator=(const TQuitSignals&) = delete;


private:
    void Activated();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
    bool fired_ = false;
};

}  // namespace qb::app
