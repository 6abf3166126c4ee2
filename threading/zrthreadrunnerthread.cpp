#include "threading/zrthreadrunnerthread.h"

#include <sys/resource.h>
#include <unistd.h>

#include "threading/zrmutex.h"
#include "threading/zrthreadrunner.h"

namespace qb {

namespace {
thread_local TzrThreadRunnerThread* CurrentWorker = nullptr;
}

int NiceValueOf(TThreadPriority priority) {
    switch (priority) {
        case tpIdle: return 19;
        case tpLowest: return 10;
        case tpLower: return 5;
        case tpNormal: return 0;
        case tpHigher: return -5;
        case tpHighest: return -10;
        case tpTimeCritical: return -20;
    }
    return 0;
}

TzrThreadRunnerThread::TzrThreadRunnerThread(TzrThreadRunner* runner, TThreadPriority priority,
                                             std::shared_ptr<TzrMutex> suspendMutex)
    : Runner(runner), SuspendMutex(std::move(suspendMutex)), Priority(priority) {
    Thread = std::thread([this] { Execute(); });
    ThreadID = Thread.get_id();
}

TzrThreadRunnerThread::~TzrThreadRunnerThread() {
    Terminate();
    if (Thread.joinable()) Thread.join();
}

TzrThreadRunnerThread* TzrThreadRunnerThread::Current() { return CurrentWorker; }

void TzrThreadRunnerThread::Terminate() {
    std::lock_guard lock(M);
    Terminated = true;
    SuspendRequested = false;
    Changed.notify_all();
}

bool TzrThreadRunnerThread::GetTerminated() const {
    std::lock_guard lock(M);
    return Terminated;
}

bool TzrThreadRunnerThread::GetEnded() const {
    std::lock_guard lock(M);
    return Ended;
}

void TzrThreadRunnerThread::ApplyPriority() {
    // Best effort: an unprivileged process may not raise a thread's priority again.
    if (const int tid = Tid.load()) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceValueOf(Priority.load()));
}

void TzrThreadRunnerThread::WaitIdle(std::unique_lock<std::mutex>& lock) {
    Changed.wait(lock, [this] { return (Sleeping && !RunRequested) || Ended; });
}

void TzrThreadRunnerThread::StartRun(std::uint64_t run, std::function<void(TzrThreadRunner*)> function) {
    std::lock_guard lock(M);
    Run = run;
    Function = std::move(function);
    SuspendRequested = false;
    RunRequested = true;
    Changed.notify_all();
}

void TzrThreadRunnerThread::SetSuspendRequested(bool value) {
    std::lock_guard lock(M);
    SuspendRequested = value;
    Changed.notify_all();
}

void TzrThreadRunnerThread::SuspensionPoint() {
    if (CurrentWorker != this || !CanSuspend) return;
    std::unique_lock lock(M);
    Changed.wait(lock, [this] { return !SuspendRequested || Terminated || Abandoned.load(); });
}

void TzrThreadRunnerThread::Execute() {
    CurrentWorker = this;
    Tid = static_cast<int>(gettid());
    for (;;) {
        std::function<void(TzrThreadRunner*)> function;
        {
            std::unique_lock lock(M);
            Sleeping = true;
            Changed.notify_all();
            Changed.wait(lock, [this] { return RunRequested || Terminated; });
            Sleeping = false;
            if (!RunRequested) break;
            RunRequested = false;
            ActiveRun = Run;
            function = std::move(Function);
            Function = nullptr;
        }
        ApplyPriority();
        Runner->RunOnce(this, function);
        if (Runner->SingleShot.load() || GetTerminated() || Abandoned.load()) break;
    }
    std::lock_guard lock(M);
    Ended = true;
    Sleeping = false;
    Changed.notify_all();
}

}  // namespace qb
