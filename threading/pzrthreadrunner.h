// The types that the worker thread runner and its worker thread share: the stages of a run,
// the worker's priority, the record that carries one progress report, and the notices that
// travel from the worker to the interface thread.
//
// The notices are Qt events posted to the runner's callback object on the interface thread;
// their event types are the message numbers of the program's original window messages
// (application messages 1000 and 1001 above WM_APP), so they are handled in posting order
// by the interface thread's event loop, or by QCoreApplication::processEvents() where
// no event loop runs.
#pragma once

#include <string>

namespace qb {

enum TzrThreadStage : int {
    tsStarting = 0,  // reported with progress 0 and an empty message before the function runs
    tsRunning = 1,   // every report made through the two-argument SetProgress
    tsFinished = 2,  // reported with progress 100 and an empty message after the function
};

// The worker's priority. On this system a thread's priority is its nice value: tpNormal 0,
// lower priorities raise it (up to 19 for tpIdle), higher ones lower it, which an
// unprivileged process may not do (then the thread keeps what it has).
enum TThreadPriority : int {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical,
};

// The nice value that stands for a priority.
int NiceValueOf(TThreadPriority priority);

// One progress report; made by the worker, freed by the interface thread after the handler
// ran (also when there is none).
struct TzrProgressData {
    double progress = 0;
    std::string msg;
    TzrThreadStage stage = tsRunning;
};

// Notice numbers.
constexpr int WM_APP = 0x8000;
constexpr int WM_ZR_SHORTASYNC = WM_APP + 1000;  // wParam = p1, lParam = p2
constexpr int WM_ZR_INTERNAL = WM_APP + 1001;    // wParam: one of the three below
constexpr int zrStartedNotice = 1;
constexpr int zrDoneNotice = 2;
constexpr int zrProgressNotice = 3;  // lParam = a TzrProgressData

}  // namespace qb
