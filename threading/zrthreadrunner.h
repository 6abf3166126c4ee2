// TzrThreadRunner: runs one function, its ThreadFunction, on a worker thread of its own and
// reports back to the interface thread (the thread that constructed the runner): a start
// notice, progress with a stage, a percentage and a message, and a completion notice that
// carries the exception, if any, that ended the function. Between runs the worker sleeps,
// so that many short runs do not each create a thread.
//
// Every report is a Qt event posted to the runner's callback object, which lives on the
// interface thread; the handlers run there, in the order in which the worker posted the
// reports, when the interface thread's event loop (or QCoreApplication::processEvents)
// delivers them. Each run is numbered, and a report of a run whose end has already been
// handled is dropped, so that OnDone comes exactly once per run and nothing of a run
// arrives after its OnDone.
//
// Abort asks the function to end at its next CheckAbort (which raises the silent abort).
// HardAbort cannot kill the worker on this system; instead it abandons it: the worker is
// marked abandoned and told to terminate, the run ends at once for the runner (Executing
// false, OnDone with the silent abort), and a fresh worker serves the next Execute. The
// abandoned worker keeps running its current function in the background: its CheckAbort
// raises the silent abort, its reports and its exception are dropped, a Synchronize fails
// with the silent abort, and it holds a suspension mutex of its own so that it cannot
// block the next worker or the interface. It then ends; the runner joins it at the next
// Execute or HardAbort once it has ended, and its destructor waits for every abandoned
// worker still running (a function that never returns therefore keeps the destructor
// waiting, rather than touching a destroyed runner).
//
// Suspension is cooperative (see TzrThreadRunnerThread): a suspended worker stops at its
// next call into the runner where suspension is allowed.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "core/exceptions.h"
#include "threading/pzrthreadrunner.h"
#include "threading/zrmutex.h"
#include "threading/zrthreadrunnerthread.h"

class QEvent;

namespace qb {

class EzrThreadRunnerException : public Exception {
public:
    explicit EzrThreadRunnerException(const std::string& message) : Exception(message) {}
};

class EzrAlreadyExecuting : public Exception {
public:
    EzrAlreadyExecuting() : Exception("Already executing") {}
};

class EzrNotExecuting : public Exception {
public:
    EzrNotExecuting() : Exception("Not executing") {}
};

// The application's standard display of an exception that ends a run when ShowException is
// set. By default a critical message box with the application's name as its title (nothing
// without a QApplication); programs and tests may put their own display in its place.
using TzrShowExceptionProc = std::function<void(const Exception& e)>;
void SetApplicationShowException(TzrShowExceptionProc proc);
void ApplicationShowException(const Exception& e);

class TzrThreadRunnerWindow;

class TzrThreadRunner {
public:
    using TThreadMethod = std::function<void(TzrThreadRunner* Sender)>;
    using TNotifyEvent = std::function<void(TzrThreadRunner* Sender)>;
    // e is the exception that ended the run (a plain Exception with the function's message,
    // or an EAbort), or null when the function returned.
    using TDoneEvent = std::function<void(TzrThreadRunner* Sender, const Exception* e)>;
    using TShortAsyncEvent = std::function<void(TzrThreadRunner* Sender, int p1, int p2)>;
    using TProgressEvent = std::function<void(TzrThreadRunner* Sender, TzrThreadStage Stage,
                                              double progress, const std::string& msg)>;

    // Records the calling thread as the interface thread. Fails with the system's message
    // when the callback object cannot be made.
    TzrThreadRunner();
    // Drops the handlers, ends the run in progress (silently, waiting for it) and waits for
    // every worker, abandoned ones included, to end.
    virtual ~TzrThreadRunner();
    TzrThreadRunner(const TzrThreadRunner&) = delete;
    TzrThreadRunner& operator=(const TzrThreadRunner&) = delete;

    // ===== Properties (set on the interface thread) ====================================

    TThreadMethod ThreadFunction;  // taken at Execute for the run it starts
    TDoneEvent OnDone;
    TNotifyEvent OnStarted;
    TShortAsyncEvent OnShortAsyncEvent;
    TProgressEvent OnProgress;
    bool ShowException = false;
    std::atomic<bool> SingleShot{false};

    TThreadPriority GetPriority() const { return Priority.load(); }
    void SetPriority(TThreadPriority priority);
    bool GetSuspended() const { return Suspended.load(); }
    bool GetDone() const { return Done.load(); }
    // A run is in progress.
    bool GetExecuting() const { return Executing.load(); }
    bool GetAbortRequested() const { return AbortRequested.load(); }

    // ===== Interface-thread operations =================================================

    // Starts a run. Fails with EzrAlreadyExecuting while one is in progress and with
    // "Thread function not set!" without a function.
    void Execute();
    // Requests the end of the run in progress (nothing when there is none). silent: no
    // further notices (also none of those still on their way), and Done without OnDone at
    // the end, unless wait is also given.
    // wait: returns when the function has ended and its end has been handled.
    void Abort(bool wait, bool processMessages, bool silent);
    // Abandons the worker (see above); OnDone receives the silent abort.
    void HardAbort();
    // Blocks until the run has ended; with processMessages on the interface thread Qt's
    // pending events run meanwhile. Fails with "Waiting for suspended thread!" when the
    // worker is suspended (the run stays in progress).
    void Wait(bool processMessages);
    // Raises a copy of the exception that ended the last run, if any.
    void ThrowThreadException();
    void Suspend(bool processMessages) { SetSuspended(true, processMessages); }
    void Resume() { SetSuspended(false, false); }
    void SetSuspended(bool suspended, bool processMessages);
    // The worker of the run in progress (MustBeExecuting).
    std::thread::native_handle_type GetHandle();
    TzrThreadRunnerThread* GetThread();

    bool InVCLThread() const { return std::this_thread::get_id() == VCLThread; }
    void MustBeInVCLThread() const;
    bool InOurThread() const;
    void MustBeInOurThread() const;
    void MustBeExecuting() const;
    void MustNotBeExecuting() const;

    // ===== Operations for the thread function (on the worker) ==========================

    // Raises EAbort when the run is asked to end.
    void CheckAbort();
    // Posts a progress report; progress is clamped to 0..100 (not a number: 0).
    void SetProgress(double progress, const std::string& msg);
    void SetProgress(double progress, const std::string& msg, TzrThreadStage stage);
    // Marks the code that follows as safe (true) or unsafe to suspend.
    void SetCanSuspend(bool allowed);
    void PostShortAsyncEvent(int p1, int p2);
    // Runs method on the interface thread and waits for it; an exception it raises is
    // raised again here (as a copy: a plain Exception, or EAbort).
    void Synchronize(const std::function<void()>& method);

    // The callback object on the interface thread (tests deliver its events directly).
    TzrThreadRunnerWindow* GetCallbackWindow() const { return Window.get(); }

private:
    friend class TzrThreadRunnerThread;
    friend class TzrThreadRunnerWindow;
    struct TSyncRequest;

    // The callback object's handler for the two notices; returns the handler's result.
    std::intptr_t WMShortAsync(QEvent* event);
    // Posts a notice of the worker's run unless silenced or abandoned.
    void PostAsyncEvent(TzrThreadRunnerThread* worker, int message, std::intptr_t wParam,
                        std::intptr_t lParam);
    void PostInternalEvent(TzrThreadRunnerThread* worker, std::intptr_t wParam,
                           std::intptr_t lParam);
    void PostDone(TzrThreadRunnerThread* worker);
    // The end of a run on the interface thread, at most once per run.
    void ThreadDone(std::uint64_t run, std::shared_ptr<const Exception> e);
    void SetException(TzrThreadRunnerThread* worker, std::shared_ptr<const Exception> e);
    // One run on the worker: the notices, the function, the end.
    void RunOnce(TzrThreadRunnerThread* worker, const TThreadMethod& function);
    void PostProgress(TzrThreadRunnerThread* worker, double progress, const std::string& msg,
                      TzrThreadStage stage);
    // Joins abandoned workers that have ended (all of them, waiting, with wait).
    void ReapAbandoned(bool wait);
    void RunSyncRequests();
    // Delivers the notices on their way to the callback object (on the interface thread).
    void FlushNotices();

    std::unique_ptr<TzrThreadRunnerWindow> Window;
    std::recursive_mutex CritSect;  // Execute, ThreadDone, SetPriority, GetHandle, GetThread
    void Lock() { CritSect.lock(); }
    void UnLock() { CritSect.unlock(); }

    std::unique_ptr<TzrThreadRunnerThread> Thread;
    std::vector<std::unique_ptr<TzrThreadRunnerThread>> AbandonedThreads;
    std::shared_ptr<TzrMutex> Mutex;  // arbitrates suspension of the current worker

    std::atomic<TThreadPriority> Priority{tpNormal};
    std::atomic<bool> Executing{false};
    std::atomic<bool> AbortRequested{false};
    std::atomic<bool> Silent{false};
    std::atomic<bool> Suspended{false};
    std::atomic<bool> Done{true};
    std::atomic<std::uint64_t> CurrentRun{0};   // the number of the last run started
    std::uint64_t HandledRun = 0;               // the last run whose end was handled
    std::deque<std::uint64_t> DroppedRuns;      // runs silenced or abandoned, in order
    bool Waiting = false;
    bool Destroying = false;

    std::mutex ExceptionLock;
    std::shared_ptr<const Exception> StoredException;

    // Posting and its end: a worker checks and posts under PostLock, so that after HardAbort,
    // Abort(silent) or destruction nothing more is posted.
    std::mutex PostLock;
    // Completion: Executing turning false.
    std::mutex EndLock;
    std::condition_variable Ended;

    std::mutex SyncLock;
    std::deque<std::shared_ptr<TSyncRequest>> SyncRequests;

    std::thread::id VCLThread;
};

}  // namespace qb
