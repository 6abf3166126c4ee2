#include "threading/zrthreadrunner.h"

#include <cmath>
#include <utility>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

namespace qb {

namespace {

// The slice after which a waiting interface thread runs its pending events.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

std::mutex& ShowExceptionLock() {
    static std::mutex lock;
    return lock;
}

TzrShowExceptionProc& ShowExceptionProc() {
    static TzrShowExceptionProc proc;
    return proc;
}

// A copy of an exception as the runner keeps it: the silent abort stays one, anything else
// becomes a plain exception with the same message.
std::shared_ptr<const Exception> CopyOf(const Exception& e) {
    if (dynamic_cast<const EAbort*>(&e)) return std::make_shared<EAbort>();
    return std::make_shared<Exception>(e.message());
}

// The copy of whatever the current catch block caught.
std::shared_ptr<const Exception> CopyOfCurrent() {
    try {
        throw;
    } catch (const Exception& e) {
        return CopyOf(e);
    } catch (const std::exception& e) {
        return std::make_shared<Exception>(e.what());
    } catch (...) {
        return std::make_shared<Exception>("Error");
    }
}

[[noreturn]] void RaiseCopy(const Exception& e) {
    if (dynamic_cast<const EAbort*>(&e)) throw EAbort();
    throw Exception(e.message());
}

bool IsAbort(const Exception* e) { return e && dynamic_cast<const EAbort*>(e); }

// One notice from the worker. A progress notice owns its record, so that it is freed also
// when the notice is never delivered.
class TzrNoticeEvent : public QEvent {
public:
    TzrNoticeEvent(int message, std::uint64_t run, std::intptr_t wParam, std::intptr_t lParam)
        : QEvent(static_cast<QEvent::Type>(message)), Run(run), WParam(wParam), LParam(lParam) {}

    std::uint64_t Run;
    std::intptr_t WParam;
    std::intptr_t LParam;
    std::unique_ptr<TzrProgressData> Progress;
    std::shared_ptr<const Exception> Error;  // of a done notice
};

}  // namespace

void SetApplicationShowException(TzrShowExceptionProc proc) {
    std::lock_guard lock(ShowExceptionLock());
    ShowExceptionProc() = std::move(proc);
}

void ApplicationShowException(const Exception& e) {
    TzrShowExceptionProc proc;
    {
        std::lock_guard lock(ShowExceptionLock());
        proc = ShowExceptionProc();
    }
    if (proc) {
        proc(e);
    } else if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        QMessageBox::critical(nullptr, QCoreApplication::applicationName(),
                              QString::fromStdString(e.message()));
    }
}

// The runner's callback object on the interface thread: hands the two notices to the
// runner; a failure of a handler reaches the application's standard display.
class TzrThreadRunnerWindow : public QObject {
public:
    explicit TzrThreadRunnerWindow(TzrThreadRunner* runner) : Runner(runner) {
        setObjectName(QStringLiteral("zrThreadRunner"));
    }

    bool event(QEvent* e) override {
        // A notice was made on the worker and handed over by Qt's queue; the runner's posting
        // lock, under which the worker posted it, orders its making before its reading here.
        if (Runner) {
            std::lock_guard lock(Runner->PostLock);
        }
        const int type = e->type();
        if (type != WM_ZR_SHORTASYNC && type != WM_ZR_INTERNAL) return QObject::event(e);
        if (!Runner) return true;
        try {
            Runner->WMShortAsync(e);
        } catch (const Exception& failure) {
            if (!IsAbort(&failure)) ApplicationShowException(failure);
        } catch (const std::exception& failure) {
            ApplicationShowException(Exception(failure.what()));
        } catch (...) {
            ApplicationShowException(Exception("Error"));
        }
        return true;
    }

    TzrThreadRunner* Runner;
};

// A method that the worker asks the interface thread to run.
struct TzrThreadRunner::TSyncRequest {
    std::function<void()> Method;
    TzrThreadRunnerThread* Worker = nullptr;
    std::mutex M;
    std::condition_variable Finished;
    bool IsFinished = false;
    std::shared_ptr<const Exception> Error;

    void Finish(std::shared_ptr<const Exception> error) {
        std::lock_guard lock(M);
        Error = std::move(error);
        IsFinished = true;
        Finished.notify_all();
    }
};

// ---------------------------------------------------------------------------------------
// Construction and destruction
// ---------------------------------------------------------------------------------------

TzrThreadRunner::TzrThreadRunner()
    : Mutex(std::make_shared<TzrMutex>()), VCLThread(std::this_thread::get_id()) {
    Window = std::make_unique<TzrThreadRunnerWindow>(this);
}

TzrThreadRunner::~TzrThreadRunner() {
    // Pending notices are dropped with the callback object; nothing more reaches a handler.
    Window->Runner = nullptr;
    Destroying = true;
    ShowException = false;
    OnStarted = nullptr;
    OnProgress = nullptr;
    OnDone = nullptr;
    if (Thread) {
        try {
            SingleShot = true;
            Thread->Terminate();
            Resume();
            Abort(true, false, true);
        } catch (...) {
        }
        Thread.reset();  // joins
    }
    ReapAbandoned(true);
    // Whatever a worker still asked of the interface is answered with the silent abort.
    std::lock_guard lock(SyncLock);
    for (auto& request : SyncRequests) request->Finish(std::make_shared<EAbort>());
    SyncRequests.clear();
}

// ---------------------------------------------------------------------------------------
// Thread checks
// ---------------------------------------------------------------------------------------

void TzrThreadRunner::MustBeInVCLThread() const {
    if (!InVCLThread()) throw EzrThreadRunnerException("Must be called from the VCL thread");
}

bool TzrThreadRunner::InOurThread() const {
    TzrThreadRunnerThread* worker = TzrThreadRunnerThread::Current();
    return worker && worker->Runner == this && !worker->GetAbandoned() && Executing.load();
}

void TzrThreadRunner::MustBeInOurThread() const {
    if (!InOurThread()) throw EzrThreadRunnerException("Must be called from within the thread");
}

void TzrThreadRunner::MustBeExecuting() const {
    if (!Executing.load()) throw EzrNotExecuting();
}

void TzrThreadRunner::MustNotBeExecuting() const {
    if (Executing.load()) throw EzrAlreadyExecuting();
}

std::thread::native_handle_type TzrThreadRunner::GetHandle() {
    std::lock_guard lock(CritSect);
    MustBeExecuting();
    return Thread->GetHandle();
}

TzrThreadRunnerThread* TzrThreadRunner::GetThread() {
    std::lock_guard lock(CritSect);
    MustBeExecuting();
    return Thread.get();
}

// ---------------------------------------------------------------------------------------
// Interface-thread operations
// ---------------------------------------------------------------------------------------

void TzrThreadRunner::SetPriority(TThreadPriority priority) {
    std::lock_guard lock(CritSect);
    Priority = priority;
    if (Executing.load() && Thread) {
        Thread->Priority = priority;
        Thread->ApplyPriority();
    }
}

void TzrThreadRunner::ReapAbandoned(bool wait) {
    std::erase_if(AbandonedThreads, [wait](const std::unique_ptr<TzrThreadRunnerThread>& worker) {
        return wait || worker->GetEnded();  // the destructor joins
    });
}

void TzrThreadRunner::Execute() {
    std::lock_guard lock(CritSect);
    if (Executing.load()) throw EzrAlreadyExecuting();
    if (!ThreadFunction) throw EzrThreadRunnerException("Thread function not set!");
    ReapAbandoned(false);
    Suspended = false;
    // A worker that is still ending the previous run is let finish that end first, so that
    // nothing of the previous run touches the state of this one.
    if (Thread) {
        bool ended;
        {
            std::unique_lock workerLock(Thread->M);
            Thread->WaitIdle(workerLock);
            ended = Thread->Ended;
        }
        if (ended) Thread.reset();
    }
    if (!Thread) Thread = std::make_unique<TzrThreadRunnerThread>(this, Priority.load(), Mutex);
    Thread->Priority = Priority.load();  // a sleeping worker takes a priority set meanwhile
    {
        std::lock_guard exceptionLock(ExceptionLock);
        StoredException.reset();
    }
    std::uint64_t run;
    {
        std::lock_guard postLock(PostLock);
        Done = false;
        AbortRequested = false;
        Silent = false;
        run = ++CurrentRun;
        Executing = true;
    }
    Thread->StartRun(run, ThreadFunction);
}

void TzrThreadRunner::Abort(bool wait, bool processMessages, bool silent) {
    if (!Executing.load()) return;
    if (silent) {
        {
            // Under the lock under which the worker ends a run: either the end was posted
            // already, or nothing more of the run is.
            std::lock_guard lock(PostLock);
            if (!Executing.load()) return;
            Silent = true;
        }
        // And what the run posted before is dropped as it arrives.
        std::lock_guard lock(CritSect);
        DroppedRuns.push_back(CurrentRun.load());
    }
    AbortRequested = true;
    Resume();
    if (!wait) return;
    const std::uint64_t run = CurrentRun.load();
    TzrThreadRunnerThread* worker = Thread.get();
    Wait(processMessages);
    // The worker has posted all of the run by the time it sleeps again; what is still on
    // its way to the callback object is delivered now, in order, before the end. (A handler
    // that ran during the wait may have abandoned the worker or started another run.)
    if (worker && Thread.get() == worker && CurrentRun.load() == run) {
        std::unique_lock workerLock(worker->M);
        worker->WaitIdle(workerLock);
    }
    FlushNotices();
    std::shared_ptr<const Exception> e;
    {
        std::lock_guard lock(ExceptionLock);
        e = StoredException;
    }
    ThreadDone(run, e);
}

void TzrThreadRunner::HardAbort() {
    std::uint64_t run;
    {
        std::lock_guard lock(CritSect);
        if (!Executing.load() || !Thread) return;
        TzrThreadRunnerThread* worker = Thread.get();
        {
            // From here on nothing of the worker reaches the runner, unless it has just
            // ended the run itself.
            std::lock_guard postLock(PostLock);
            if (!Executing.load()) return;
            worker->Abandoned = true;
            Executing = false;
            AbortRequested = false;
        }
        worker->Terminate();  // also lets a suspended worker go on
        {
            std::lock_guard syncLock(SyncLock);
            std::erase_if(SyncRequests, [worker](const std::shared_ptr<TSyncRequest>& request) {
                if (request->Worker != worker) return false;
                request->Finish(std::make_shared<EAbort>());
                return true;
            });
        }
        AbandonedThreads.push_back(std::move(Thread));
        ReapAbandoned(false);
        // The abandoned worker keeps the suspension mutex it may hold; the next one gets a
        // fresh one.
        Mutex = std::make_shared<TzrMutex>();
        Suspended = false;
        {
            std::lock_guard exceptionLock(ExceptionLock);
            StoredException = std::make_shared<EAbort>();
        }
        run = CurrentRun.load();
        DroppedRuns.push_back(run);
    }
    {
        std::lock_guard endLock(EndLock);
        Ended.notify_all();
    }
    // What earlier runs still have on its way is delivered before this run's end.
    FlushNotices();
    ThreadDone(run, std::make_shared<EAbort>());
}

void TzrThreadRunner::Wait(bool processMessages) {
    const bool interface = InVCLThread();
    const bool withMessages = processMessages && interface && QCoreApplication::instance();
    struct TWaitingMark {
        bool& waiting;
        bool before;
        explicit TWaitingMark(bool& w) : waiting(w), before(w) { waiting = true; }
        ~TWaitingMark() { waiting = before; }
    } mark(Waiting);
    if (!Executing.load()) return;
    if (Suspended.load()) throw EzrThreadRunnerException("Waiting for suspended thread!");
    while (Executing.load()) {
        {
            std::unique_lock lock(EndLock);
            Ended.wait_for(lock, kWaitSlice, [this, interface] {
                if (!Executing.load()) return true;
                if (!interface) return false;
                std::lock_guard syncLock(SyncLock);
                return !SyncRequests.empty();
            });
        }
        // A worker that waits for the interface thread would otherwise never end.
        if (interface) RunSyncRequests();
        if (withMessages) QCoreApplication::processEvents();
    }
}

void TzrThreadRunner::ThrowThreadException() {
    std::shared_ptr<const Exception> e;
    {
        std::lock_guard lock(ExceptionLock);
        e = StoredException;
    }
    if (e) RaiseCopy(*e);
}

void TzrThreadRunner::SetSuspended(bool suspended, bool processMessages) {
    if (Suspended.load() == suspended) return;
    // Waits while the worker is in a region where suspension is forbidden.
    std::shared_ptr<TzrMutex> mutex = Mutex;
    mutex->Acquire(processMessages, -1);
    Suspended = suspended;
    if (Executing.load() && Thread) Thread->SetSuspendRequested(suspended);
    mutex->Release();
}

// ---------------------------------------------------------------------------------------
// The end of a run and the notices on the interface thread
// ---------------------------------------------------------------------------------------

void TzrThreadRunner::ThreadDone(std::uint64_t run, std::shared_ptr<const Exception> e) {
    {
        std::lock_guard lock(CritSect);
        if (run <= HandledRun) return;
        HandledRun = run;
        if (run == CurrentRun.load()) Done = true;
    }
    // The handlers run outside the lock: they may start the next run.
    if (TDoneEvent onDone = OnDone) {
        try {
            onDone(this, e.get());
        } catch (...) {
        }
    }
    if (ShowException && e && !IsAbort(e.get())) ApplicationShowException(*e);
}

std::intptr_t TzrThreadRunner::WMShortAsync(QEvent* event) {
    auto* notice = static_cast<TzrNoticeEvent*>(event);
    {
        std::lock_guard lock(CritSect);
        // Nothing more of a run whose end was handled, or that was silenced or abandoned.
        // Notices arrive in run order, so a dropped run before this one has no more.
        while (!DroppedRuns.empty() && DroppedRuns.front() < notice->Run) DroppedRuns.pop_front();
        if (notice->Run <= HandledRun) return 0;
        if (!DroppedRuns.empty() && DroppedRuns.front() == notice->Run) return 0;
    }
    if (event->type() == WM_ZR_SHORTASYNC) {
        if (TShortAsyncEvent handler = OnShortAsyncEvent)
            handler(this, static_cast<int>(notice->WParam), static_cast<int>(notice->LParam));
        return 0;
    }
    switch (notice->WParam) {
        case zrStartedNotice:
            if (TNotifyEvent handler = OnStarted) handler(this);
            break;
        case zrDoneNotice:
            ThreadDone(notice->Run, notice->Error);
            break;
        case zrProgressNotice: {
            std::unique_ptr<TzrProgressData> data = std::move(notice->Progress);
            if (data) {
                if (TProgressEvent handler = OnProgress) handler(this, data->stage, data->progress, data->msg);
            }
            break;
        }
        default:
            break;
    }
    return 0;
}

void TzrThreadRunner::FlushNotices() {
    if (InVCLThread() && !Destroying) QCoreApplication::sendPostedEvents(Window.get(), 0);
}

void TzrThreadRunner::RunSyncRequests() {
    for (;;) {
        std::shared_ptr<TSyncRequest> request;
        {
            std::lock_guard lock(SyncLock);
            if (SyncRequests.empty()) return;
            request = SyncRequests.front();
            SyncRequests.pop_front();
        }
        // An abandoned worker's request, and any while the runner is being destroyed (what
        // it would touch may be gone), is answered with the silent abort.
        if (request->Worker->GetAbandoned() || Destroying) {
            request->Finish(std::make_shared<EAbort>());
            continue;
        }
        try {
            request->Method();
            request->Finish(nullptr);
        } catch (...) {
            request->Finish(CopyOfCurrent());
        }
    }
}

// ---------------------------------------------------------------------------------------
// The worker's side
// ---------------------------------------------------------------------------------------

void TzrThreadRunner::PostAsyncEvent(TzrThreadRunnerThread* worker, int message, std::intptr_t wParam,
                                     std::intptr_t lParam) {
    const std::uint64_t run = worker ? worker->ActiveRun : CurrentRun.load();
    auto notice = std::make_unique<TzrNoticeEvent>(message, run, wParam, lParam);
    std::lock_guard lock(PostLock);
    if (Silent.load() || (worker && worker->GetAbandoned())) return;
    QCoreApplication::postEvent(Window.get(), notice.release());
}

void TzrThreadRunner::PostInternalEvent(TzrThreadRunnerThread* worker, std::intptr_t wParam,
                                        std::intptr_t lParam) {
    PostAsyncEvent(worker, WM_ZR_INTERNAL, wParam, lParam);
}

void TzrThreadRunner::PostProgress(TzrThreadRunnerThread* worker, double progress, const std::string& msg,
                                   TzrThreadStage stage) {
    if (Silent.load()) return;
    if (!(progress >= 0)) progress = 0;  // also not a number
    if (progress > 100) progress = 100;
    const std::uint64_t run = worker ? worker->ActiveRun : CurrentRun.load();
    auto data = std::make_unique<TzrProgressData>(TzrProgressData{progress, msg, stage});
    auto notice = std::make_unique<TzrNoticeEvent>(WM_ZR_INTERNAL, run, zrProgressNotice,
                                                   reinterpret_cast<std::intptr_t>(data.get()));
    notice->Progress = std::move(data);
    std::lock_guard lock(PostLock);
    if (Silent.load() || (worker && worker->GetAbandoned())) return;
    QCoreApplication::postEvent(Window.get(), notice.release());
}

// Under PostLock.
void TzrThreadRunner::PostDone(TzrThreadRunnerThread* worker) {
    if (Silent.load()) {
        if (worker->ActiveRun == CurrentRun.load()) Done = true;
        return;
    }
    auto notice = std::make_unique<TzrNoticeEvent>(WM_ZR_INTERNAL, worker->ActiveRun, zrDoneNotice, 0);
    {
        std::lock_guard lock(ExceptionLock);
        notice->Error = StoredException;
    }
    QCoreApplication::postEvent(Window.get(), notice.release());
}

void TzrThreadRunner::SetException(TzrThreadRunnerThread* worker, std::shared_ptr<const Exception> e) {
    std::lock_guard lock(PostLock);
    if (worker->GetAbandoned()) return;
    std::lock_guard exceptionLock(ExceptionLock);
    StoredException = std::move(e);
}

void TzrThreadRunner::RunOnce(TzrThreadRunnerThread* worker, const TThreadMethod& function) {
    PostInternalEvent(worker, zrStartedNotice, 0);
    if (!worker->GetTerminated()) PostProgress(worker, 0, std::string(), tsStarting);
    if (!worker->GetTerminated()) {
        try {
            function(this);
        } catch (...) {
            if (!worker->GetTerminated()) SetException(worker, CopyOfCurrent());
        }
    }
    if (!worker->GetTerminated()) PostProgress(worker, 100, std::string(), tsFinished);
    SetCanSuspend(true);
    std::lock_guard lock(PostLock);
    if (worker->GetAbandoned()) return;
    Executing = false;
    AbortRequested = false;
    PostDone(worker);
    std::lock_guard endLock(EndLock);
    Ended.notify_all();
}

void TzrThreadRunner::CheckAbort() {
    if (TzrThreadRunnerThread* worker = TzrThreadRunnerThread::Current(); worker && worker->Runner == this) {
        worker->SuspensionPoint();
        if (worker->GetAbandoned()) throw EAbort();
    }
    if (AbortRequested.load()) throw EAbort();
}

void TzrThreadRunner::SetProgress(double progress, const std::string& msg) {
    SetProgress(progress, msg, tsRunning);
}

void TzrThreadRunner::SetProgress(double progress, const std::string& msg, TzrThreadStage stage) {
    TzrThreadRunnerThread* worker = TzrThreadRunnerThread::Current();
    if (worker && worker->Runner != this) worker = nullptr;
    if (worker) worker->SuspensionPoint();
    PostProgress(worker, progress, msg, stage);
}

void TzrThreadRunner::PostShortAsyncEvent(int p1, int p2) {
    TzrThreadRunnerThread* worker = TzrThreadRunnerThread::Current();
    if (worker && worker->Runner != this) worker = nullptr;
    if (worker) worker->SuspensionPoint();
    PostAsyncEvent(worker, WM_ZR_SHORTASYNC, p1, p2);
}

void TzrThreadRunner::SetCanSuspend(bool allowed) {
    TzrThreadRunnerThread* worker = TzrThreadRunnerThread::Current();
    if (!worker || worker->Runner != this) return;  // only the worker's own state
    if (worker->CanSuspend == allowed) return;
    if (allowed) {
        worker->CanSuspend = true;
        worker->SuspendMutex->Release();
        return;
    }
    // Not while suspended: a suspension asked for while we waited for the mutex is honoured
    // before the region is entered.
    for (;;) {
        worker->SuspensionPoint();
        worker->SuspendMutex->Acquire(false, -1);
        bool suspended;
        {
            std::lock_guard lock(worker->M);
            suspended = worker->SuspendRequested && !worker->Terminated && !worker->GetAbandoned();
        }
        if (!suspended) break;
        worker->SuspendMutex->Release();
    }
    worker->CanSuspend = false;
}

void TzrThreadRunner::Synchronize(const std::function<void()>& method) {
    TzrThreadRunnerThread* worker = TzrThreadRunnerThread::Current();
    if (worker && worker->Runner == this && worker->GetAbandoned()) throw EAbort();
    MustBeInOurThread();
    worker->SuspensionPoint();
    auto request = std::make_shared<TSyncRequest>();
    request->Method = method;
    request->Worker = worker;
    {
        std::lock_guard lock(PostLock);
        if (worker->GetAbandoned()) throw EAbort();
        std::lock_guard syncLock(SyncLock);
        SyncRequests.push_back(request);
        QMetaObject::invokeMethod(Window.get(), [this] { RunSyncRequests(); }, Qt::QueuedConnection);
    }
    {
        std::lock_guard endLock(EndLock);
        Ended.notify_all();
    }
    std::shared_ptr<const Exception> error;
    {
        std::unique_lock lock(request->M);
        request->Finished.wait(lock, [&] { return request->IsFinished; });
        error = request->Error;
    }
    if (error) RaiseCopy(*error);
}

}  // namespace qb
