// TzrThreadRunnerThread: the worker thread of a TzrThreadRunner. It sleeps until the runner
// starts a run, runs the runner's thread function once, reports the end, and sleeps again
// (or ends, for a single-shot runner or when told to terminate).
//
// On this system a thread cannot be suspended or killed from outside. Suspension is
// therefore cooperative: a suspended worker stops at its next call into the runner
// (CheckAbort, SetProgress, PostShortAsyncEvent, SetCanSuspend, Synchronize) made where
// suspension is allowed, and goes on when resumed. A hard abort abandons the worker instead
// of killing it (see TzrThreadRunner::HardAbort): an abandoned worker finishes its current
// function with every call into the runner turned into a silent abort or dropped, then
// ends; its runner keeps the thread object until it has ended and joins it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "threading/pzrthreadrunner.h"

namespace qb {

class TzrMutex;
class TzrThreadRunner;

class TzrThreadRunnerThread {
public:
    // Starts the thread, which sleeps until the runner wakes it for a run.
    TzrThreadRunnerThread(TzrThreadRunner* runner, TThreadPriority priority,
                          std::shared_ptr<TzrMutex> suspendMutex);
    // Tells the thread to terminate and joins it (a run in progress is finished first).
    ~TzrThreadRunnerThread();
    TzrThreadRunnerThread(const TzrThreadRunnerThread&) = delete;
    TzrThreadRunnerThread& operator=(const TzrThreadRunnerThread&) = delete;

    TzrThreadRunner* GetRunner() const { return Runner; }
    std::thread::native_handle_type GetHandle() { return Thread.native_handle(); }
    std::thread::id GetThreadID() const { return ThreadID; }

    // Asks the thread to end after its current run (or at once when it sleeps).
    void Terminate();
    bool GetTerminated() const;
    // The thread has left its loop; joining it no longer waits for the function.
    bool GetEnded() const;
    // A hard-aborted worker: nothing it does reaches its runner any more.
    bool GetAbandoned() const { return Abandoned.load(); }

    // The worker on which the caller runs, or null on any other thread.
    static TzrThreadRunnerThread* Current();

private:
    friend class TzrThreadRunner;

    void Execute();  // the thread's loop
    void ApplyPriority();

    // Under M: waits until the thread sleeps between runs or has ended.
    void WaitIdle(std::unique_lock<std::mutex>& lock);
    // Wakes the sleeping thread for run `run` of `function`.
    void StartRun(std::uint64_t run, std::function<void(TzrThreadRunner*)> function);
    // Cooperative suspension: the worker stops at its next suspension point while set.
    void SetSuspendRequested(bool value);
    void SuspensionPoint();

    TzrThreadRunner* const Runner;
    std::shared_ptr<TzrMutex> SuspendMutex;  // arbitrates suspension; the abandoned keep theirs

    mutable std::mutex M;
    std::condition_variable Changed;
    bool RunRequested = false;
    bool Sleeping = false;
    bool Ended = false;
    bool Terminated = false;
    bool SuspendRequested = false;
    std::uint64_t Run = 0;  // the run that StartRun asks for
    std::function<void(TzrThreadRunner*)> Function;

    // The worker's own state, touched only by the worker.
    bool CanSuspend = true;
    std::uint64_t ActiveRun = 0;  // the run in progress or the last one
    std::atomic<bool> Abandoned{false};
    std::atomic<TThreadPriority> Priority;
    std::atomic<int> Tid{0};  // the system's id of the thread, for its priority
    std::thread::id ThreadID;
    std::thread Thread;
};

}  // namespace qb
