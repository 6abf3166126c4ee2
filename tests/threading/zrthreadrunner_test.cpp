// The worker thread runner: the notices of a run in their order, exceptions carried to the
// interface thread, misuse, suspension, aborts of every kind, abandoned workers, two
// runners at once, back-to-back runs, Synchronize, priorities, failing handlers, and a
// stress loop of short runs with aborts at random points.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/failure.h"
#include "tests/support/qtapp.h"
#include "threading/zrthreadrunner.h"

namespace {

using qb::EAbort;
using qb::Exception;
using qb::TzrThreadRunner;
using qb::test::FailureMessage;
using qb::test::PumpUntil;
using Clock = std::chrono::steady_clock;

std::string DescribeException(const Exception* e) {
    if (!e) return "none";
    if (dynamic_cast<const EAbort*>(e)) return "abort";
    return e->message();
}

// What the handlers of a runner saw, in order, on the interface thread.
struct Recorder {
    std::vector<std::string> log;
    std::vector<std::string> shown;  // the application's exception display
    std::thread::id handlerThread;
    bool handlersOnInterfaceThread = true;

    explicit Recorder(TzrThreadRunner& runner) {
        qb::test::App();
        handlerThread = std::this_thread::get_id();
        runner.OnStarted = [this](TzrThreadRunner*) { Add("started"); };
        runner.OnProgress = [this](TzrThreadRunner*, qb::TzrThreadStage stage, double progress,
                                   const std::string& msg) {
            char text[64];
            std::snprintf(text, sizeof text, "progress %d %g", static_cast<int>(stage), progress);
            Add(text + (msg.empty() ? std::string() : " " + msg));
        };
        runner.OnShortAsyncEvent = [this](TzrThreadRunner*, int p1, int p2) {
            Add("async " + std::to_string(p1) + " " + std::to_string(p2));
        };
        runner.OnDone = [this](TzrThreadRunner*, const Exception* e) { Add("done " + DescribeException(e)); };
        qb::SetApplicationShowException([this](const Exception& e) { shown.push_back(e.message()); });
    }
    ~Recorder() { qb::SetApplicationShowException(nullptr); }

    void Add(const std::string& entry) {
        if (std::this_thread::get_id() != handlerThread) handlersOnInterfaceThread = false;
        log.push_back(entry);
    }
    long Count(const std::string& entry) const { return std::count(log.begin(), log.end(), entry); }
    // The entries after the first one that begins with `first` (all of them when absent).
    std::vector<std::string> After(const std::string& first) const {
        auto it = std::find_if(log.begin(), log.end(), [&](const std::string& s) { return s.rfind(first, 0) == 0; });
        return it == log.end() ? log : std::vector<std::string>(it + 1, log.end());
    }
};

void WaitUntil(const std::function<bool()>& done) {
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (!done()) {
        ASSERT_LT(Clock::now(), until) << "condition not reached";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A function that runs until it is aborted (CheckAbort), reporting as it goes.
void LoopUntilAborted(TzrThreadRunner* r) {
    for (;;) {
        r->CheckAbort();
        std::this_thread::yield();
    }
}

TEST(TzrThreadRunner, NoticesOfARunInOrderAndTheExceptionThatEndedIt) {
    struct Case {
        const char* what;
        std::function<void()> raise;
        const char* done;   // what OnDone received
        bool shown;         // shown through the application's display
    };
    const Case cases[] = {
        {"returns", [] {}, "none", false},
        {"raises", [] { throw Exception("Boom 1"); }, "Boom 1", true},
        {"raises a derived class", [] { throw qb::EConvertError("not a number"); }, "not a number", true},
        {"aborts silently", [] { throw EAbort(); }, "abort", false},
        {"raises a standard exception", [] { throw std::runtime_error("std failure"); }, "std failure", true},
        {"raises something else", [] { throw 42; }, "Error", true},
    };
    for (const Case& c : cases) {
        TzrThreadRunner runner;
        Recorder rec(runner);
        runner.ShowException = true;
        runner.ThreadFunction = [&](TzrThreadRunner* r) {
            r->SetProgress(-5, "negative");
            r->SetProgress(250, "above");
            r->SetProgress(std::numeric_limits<double>::quiet_NaN(), "nan");
            r->PostShortAsyncEvent(7, -8);
            r->SetProgress(42.5, "half");
            r->SetProgress(60, "explicit", qb::tsFinished);
            c.raise();
        };
        EXPECT_TRUE(runner.GetDone());
        runner.Execute();
        EXPECT_FALSE(runner.GetDone()) << c.what;
        runner.Wait(false);
        EXPECT_FALSE(runner.GetExecuting()) << c.what;
        ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); })) << c.what;
        const std::vector<std::string> expected = {
            "started",           "progress 0 0",     "progress 1 0 negative", "progress 1 100 above",
            "progress 1 0 nan",  "async 7 -8",       "progress 1 42.5 half",  "progress 2 60 explicit",
            "progress 2 100",    std::string("done ") + c.done};
        EXPECT_EQ(rec.log, expected) << c.what;
        EXPECT_TRUE(rec.handlersOnInterfaceThread);
        EXPECT_EQ(rec.shown, c.shown ? std::vector<std::string>{c.done} : std::vector<std::string>{}) << c.what;
        // The stored exception can be raised again on the interface thread.
        std::string again = "(no failure)";
        try {
            runner.ThrowThreadException();
        } catch (const EAbort&) {
            again = "abort";
        } catch (const Exception& e) {
            again = e.message();
        }
        EXPECT_EQ(again, std::string(c.done) == "none" ? "(no failure)" : c.done) << c.what;
    }
}

TEST(TzrThreadRunner, MisuseAndThreadChecks) {
    TzrThreadRunner runner;
    Recorder rec(runner);
    EXPECT_EQ(FailureMessage([&] { runner.Execute(); }), "Thread function not set!");
    EXPECT_EQ(FailureMessage([&] { runner.GetThread(); }), "Not executing");
    EXPECT_EQ(FailureMessage([&] { runner.GetHandle(); }), "Not executing");
    EXPECT_EQ(FailureMessage([&] { runner.MustBeInOurThread(); }), "Must be called from within the thread");
    EXPECT_EQ(FailureMessage([&] { runner.Synchronize([] {}); }), "Must be called from within the thread");
    EXPECT_EQ(FailureMessage([&] { runner.MustNotBeExecuting(); }), "(no failure)");
    EXPECT_TRUE(runner.InVCLThread());

    std::atomic<bool> release{false};
    std::atomic<bool> inOurThread{false}, inVCLThread{true};
    std::string fromWorker;
    std::atomic<std::thread::id> workerId;
    runner.ThreadFunction = [&](TzrThreadRunner* r) {
        inOurThread = r->InOurThread();
        inVCLThread = r->InVCLThread();
        fromWorker = FailureMessage([&] { r->MustBeInVCLThread(); });
        workerId = std::this_thread::get_id();
        while (!release) std::this_thread::yield();
    };
    runner.Execute();
    EXPECT_EQ(FailureMessage([&] { runner.Execute(); }), "Already executing");
    EXPECT_EQ(FailureMessage([&] { runner.MustNotBeExecuting(); }), "Already executing");
    EXPECT_FALSE(runner.InOurThread());
    WaitUntil([&] { return workerId != std::thread::id(); });
    EXPECT_EQ(runner.GetThread()->GetThreadID(), workerId.load());
    EXPECT_TRUE(pthread_equal(runner.GetHandle(), runner.GetThread()->GetHandle()));
    release = true;
    runner.Wait(true);
    EXPECT_TRUE(inOurThread);
    EXPECT_FALSE(inVCLThread);
    EXPECT_EQ(fromWorker, "Must be called from the VCL thread");
    ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); }));
    EXPECT_EQ(rec.Count("done none"), 1);
}

TEST(TzrThreadRunner, SuspensionStopsTheWorkerWhereAllowedAndWaitRefusesIt) {
    TzrThreadRunner runner;
    Recorder rec(runner);
    std::atomic<int> steps{0};
    std::atomic<bool> inRegion{false}, leaveRegion{false}, leftRegion{false};
    runner.ThreadFunction = [&](TzrThreadRunner* r) {
        r->SetCanSuspend(false);
        inRegion = true;
        while (!leaveRegion) std::this_thread::yield();
        leftRegion = true;
        r->SetCanSuspend(true);
        for (;;) {
            r->CheckAbort();
            ++steps;
        }
    };
    runner.Execute();
    WaitUntil([&] { return inRegion.load(); });
    // Suspending waits until the worker leaves the region where suspension is forbidden.
    std::thread leave([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        leaveRegion = true;
    });
    runner.Suspend(true);
    EXPECT_TRUE(leftRegion);
    leave.join();
    EXPECT_TRUE(runner.GetSuspended());
    // A suspended worker stops at its next call into the runner.
    const int atSuspend = steps;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int later = steps;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(later, atSuspend + 1);
    EXPECT_EQ(steps.load(), later);
    EXPECT_EQ(FailureMessage([&] { runner.Wait(true); }), "Waiting for suspended thread!");
    EXPECT_TRUE(runner.GetExecuting());  // the refused wait leaves the run in progress
    runner.Resume();
    WaitUntil([&] { return steps > later + 10; });
    // Abort resumes a suspended worker, which then ends at its CheckAbort.
    runner.Suspend(false);
    runner.Abort(true, true, false);
    EXPECT_TRUE(runner.GetDone());
    EXPECT_FALSE(runner.GetSuspended());
    EXPECT_EQ(rec.Count("done abort"), 1);
}

TEST(TzrThreadRunner, AbortsOfEveryKind) {
    struct Case {
        const char* what;
        bool wait, processMessages, silent;
        long doneNotices;  // OnDone calls
    };
    const Case cases[] = {
        {"request", false, false, false, 1},
        {"silent request", false, false, true, 0},
        {"waiting", true, false, false, 1},
        {"waiting with messages", true, true, false, 1},
        {"waiting and silent", true, true, true, 1},
    };
    for (const Case& c : cases) {
        TzrThreadRunner runner;
        Recorder rec(runner);
        std::atomic<bool> looping{false}, ended{false};
        runner.ThreadFunction = [&](TzrThreadRunner* r) {
            try {
                for (;;) {
                    r->CheckAbort();
                    r->SetProgress(50, "loop");
                    looping = true;
                }
            } catch (...) {
                ended = true;
                throw;
            }
        };
        runner.Execute();
        WaitUntil([&] { return looping.load(); });
        ASSERT_TRUE(PumpUntil([&] { return rec.Count("progress 1 50 loop") > 0; }));
        const std::size_t before = rec.log.size();
        runner.Abort(c.wait, c.processMessages, c.silent);
        if (c.wait) {
            EXPECT_TRUE(runner.GetDone()) << c.what;
            EXPECT_TRUE(ended) << c.what;
        }
        ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); })) << c.what;
        PumpUntil([] { return false; }, 100);  // anything still on its way
        EXPECT_EQ(rec.Count("done abort"), c.doneNotices) << c.what;
        if (c.doneNotices) {
            EXPECT_EQ(rec.log.back(), "done abort") << c.what;  // nothing after the end
        }
        if (c.silent) {
            // Nothing of the run is reported after a silent abort, except its end when waited for.
            std::vector<std::string> after(rec.log.begin() + static_cast<long>(before), rec.log.end());
            EXPECT_EQ(after, c.wait ? std::vector<std::string>{"done abort"} : std::vector<std::string>{})
                << c.what;
        } else {
            EXPECT_EQ(rec.Count("progress 2 100"), 1) << c.what;
        }
        // And the runner runs again.
        runner.ThreadFunction = [](TzrThreadRunner*) {};
        runner.Execute();
        runner.Wait(false);
        ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); })) << c.what;
        EXPECT_EQ(rec.log.back(), "done none") << c.what;
    }
}

TEST(TzrThreadRunner, AHardAbortedRunnerRunsAgainAndHearsNothingOfTheAbandonedRun) {
    auto runner = std::make_unique<TzrThreadRunner>();
    Recorder rec(*runner);
    std::atomic<bool> gate{false}, oldEnded{false}, oldSawAbort{false}, oldSyncAborted{false};
    std::atomic<int> oldReports{0};
    runner->ThreadFunction = [&](TzrThreadRunner* r) {
        // Ignores aborts until the gate opens, reporting all the time.
        r->SetCanSuspend(false);  // holds the suspension mutex when abandoned
        while (!gate) {
            r->SetProgress(1, "old");
            r->PostShortAsyncEvent(1, 1);
            ++oldReports;
            try {
                r->CheckAbort();
            } catch (const EAbort&) {
                oldSawAbort = true;
            }
        }
        try {
            r->Synchronize([] {});
        } catch (const EAbort&) {
            oldSyncAborted = true;
        }
        oldEnded = true;
        throw Exception("old failure");
    };
    runner->Execute();
    ASSERT_TRUE(PumpUntil([&] { return rec.Count("progress 1 1 old") > 0; }));
    runner->HardAbort();
    EXPECT_FALSE(runner->GetExecuting());
    EXPECT_TRUE(runner->GetDone());
    EXPECT_EQ(rec.log.back(), "done abort");
    const std::size_t atHardAbort = rec.log.size();

    // A fresh worker serves the next run, and can be suspended although the abandoned one
    // still holds its suspension mutex.
    std::atomic<bool> newLooping{false};
    runner->ThreadFunction = [&](TzrThreadRunner* r) {
        r->SetProgress(2, "new");
        newLooping = true;
        LoopUntilAborted(r);
    };
    runner->Execute();
    WaitUntil([&] { return newLooping.load(); });
    runner->Suspend(true);
    runner->Resume();
    runner->Abort(true, true, false);
    const int reportsBeforeGate = oldReports;
    WaitUntil([&] { return oldReports > reportsBeforeGate + 20; });  // still running, reporting
    gate = true;
    WaitUntil([&] { return oldEnded.load(); });
    PumpUntil([] { return false; }, 100);
    std::vector<std::string> after(rec.log.begin() + static_cast<long>(atHardAbort), rec.log.end());
    EXPECT_EQ(after, (std::vector<std::string>{"started", "progress 0 0", "progress 1 2 new", "progress 2 100",
                                               "done abort"}));
    EXPECT_TRUE(oldSawAbort);     // the abandoned function's CheckAbort raised
    EXPECT_TRUE(oldSyncAborted);  // and its Synchronize did not run
    EXPECT_EQ(FailureMessage([&] { runner->ThrowThreadException(); }), "");  // the new run's abort

    // The destructor waits for an abandoned worker that is still running.
    gate = false;
    oldEnded = false;
    std::atomic<bool> entered{false};
    runner->ThreadFunction = [&](TzrThreadRunner* r) {
        entered = true;
        while (!gate) std::this_thread::yield();
        r->SetProgress(3, "late");
        oldEnded = true;
    };
    runner->Execute();
    WaitUntil([&] { return entered.load(); });
    runner->HardAbort();
    std::thread open([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate = true;
    });
    runner.reset();
    EXPECT_TRUE(oldEnded);
    open.join();
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(rec.Count("progress 1 3 late"), 0);
}

TEST(TzrThreadRunner, TwoRunnersCompleteIndependently) {
    TzrThreadRunner a, b;
    Recorder recA(a), recB(b);
    std::atomic<bool> gate{false}, aFinished{false}, bFinished{false};
    a.ThreadFunction = [&](TzrThreadRunner*) {
        while (!gate) std::this_thread::yield();
        aFinished = true;
    };
    b.ThreadFunction = [&](TzrThreadRunner*) { bFinished = true; };
    a.Execute();
    b.Execute();
    // b ends while a waits; a's gate opens only after that.
    std::thread opener([&] {
        while (!bFinished || b.GetExecuting()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        gate = true;
    });
    a.Wait(true);
    EXPECT_TRUE(aFinished);
    EXPECT_TRUE(bFinished);
    opener.join();
    ASSERT_TRUE(PumpUntil([&] { return a.GetDone() && b.GetDone(); }));
    EXPECT_EQ(recA.Count("done none"), 1);
    EXPECT_EQ(recB.Count("done none"), 1);
}

TEST(TzrThreadRunner, BackToBackRunsEachRunAndEndOnce) {
    for (bool singleShot : {false, true}) {
        TzrThreadRunner runner;
        Recorder rec(runner);
        runner.SingleShot = singleShot;
        constexpr int kRuns = 200;
        std::atomic<int> calls{0};
        std::set<std::thread::id> workers;
        std::mutex workersLock;
        runner.ThreadFunction = [&](TzrThreadRunner* r) {
            r->SetProgress(50, std::to_string(++calls));
            std::lock_guard lock(workersLock);
            workers.insert(std::this_thread::get_id());
        };
        for (int i = 0; i < kRuns; ++i) {
            runner.Execute();
            runner.Wait(false);  // the next Execute comes before the worker sleeps again
            if (i % 50 == 0) QCoreApplication::processEvents();
        }
        ASSERT_TRUE(PumpUntil([&] { return runner.GetDone() && rec.Count("done none") == kRuns; }))
            << rec.Count("done none");
        EXPECT_EQ(calls.load(), kRuns);
        EXPECT_EQ(rec.Count("started"), kRuns);
        if (!singleShot) {
            EXPECT_EQ(workers.size(), 1u);  // one worker sleeps between runs
        }
        // Progress reports came in run order.
        int last = 0;
        for (const std::string& entry : rec.log) {
            int value = 0;
            if (std::sscanf(entry.c_str(), "progress 1 50 %d", &value) == 1) {
                EXPECT_EQ(value, last + 1);
                last = value;
            }
        }
        EXPECT_EQ(last, kRuns);
    }
}

TEST(TzrThreadRunner, SynchronizeRunsOnTheInterfaceThreadAlsoDuringAWait) {
    TzrThreadRunner runner;
    Recorder rec(runner);
    std::thread::id ranOn;
    runner.ThreadFunction = [&](TzrThreadRunner* r) {
        r->Synchronize([&] { ranOn = std::this_thread::get_id(); });
        r->Synchronize([] { throw Exception("Refused on the interface"); });
    };
    runner.Execute();
    runner.Wait(false);  // runs the worker's requests although it processes no events
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); }));
    EXPECT_EQ(rec.log.back(), "done Refused on the interface");
}

TEST(TzrThreadRunner, DestructionEndsARunSilently) {
    qb::test::App();
    std::atomic<bool> looping{false}, ended{false};
    bool doneCalled = false;
    {
        TzrThreadRunner runner;
        runner.OnDone = [&](TzrThreadRunner*, const Exception*) { doneCalled = true; };
        runner.ThreadFunction = [&](TzrThreadRunner* r) {
            try {
                looping = true;
                LoopUntilAborted(r);
            } catch (...) {
                ended = true;
                throw;
            }
        };
        runner.Execute();
        WaitUntil([&] { return looping.load(); });
    }
    EXPECT_TRUE(ended);
    QCoreApplication::processEvents();
    EXPECT_FALSE(doneCalled);

    // A worker that waits in Synchronize when the runner goes is answered with the silent
    // abort; the method, which may touch what is being destroyed, does not run.
    std::atomic<bool> syncing{false}, methodRan{false}, syncAborted{false};
    {
        TzrThreadRunner runner;
        runner.ThreadFunction = [&](TzrThreadRunner* r) {
            syncing = true;
            try {
                r->Synchronize([&] { methodRan = true; });
            } catch (const EAbort&) {
                syncAborted = true;
            }
        };
        runner.Execute();
        WaitUntil([&] { return syncing.load(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(syncAborted);
    EXPECT_FALSE(methodRan);
}

TEST(TzrThreadRunner, PriorityBecomesTheWorkersNiceValue) {
    qb::test::App();
    const int base = getpriority(PRIO_PROCESS, 0);
    // An unprivileged process may only raise nice values, so each step raises it: the
    // priority at the start, one set during the run, one set between runs.
    struct Case {
        qb::TThreadPriority before, during, between;
    };
    for (const Case& c : {Case{qb::tpLower, qb::tpLowest, qb::tpIdle}, Case{qb::tpNormal, qb::tpLower, qb::tpLowest}}) {
        TzrThreadRunner runner;
        runner.SetPriority(c.before);
        std::atomic<int> stage{0};
        int niceBefore = 0, niceDuring = 0, niceNextRun = 0;
        runner.ThreadFunction = [&](TzrThreadRunner*) {
            niceBefore = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
            stage = 1;
            while (stage != 2) std::this_thread::yield();
            niceDuring = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        };
        runner.Execute();
        WaitUntil([&] { return stage == 1; });
        runner.SetPriority(c.during);
        stage = 2;
        runner.Wait(false);
        // The sleeping worker serves the next run with the priority set in between.
        runner.SetPriority(c.between);
        runner.ThreadFunction = [&](TzrThreadRunner*) {
            niceNextRun = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        };
        runner.Execute();
        runner.Wait(false);
        EXPECT_EQ(niceBefore, std::max(base, qb::NiceValueOf(c.before)));
        EXPECT_EQ(niceDuring, std::max(base, qb::NiceValueOf(c.during)));
        EXPECT_EQ(niceNextRun, std::max(base, qb::NiceValueOf(c.between)));
        EXPECT_EQ(runner.GetPriority(), c.between);
    }
}

TEST(TzrThreadRunner, FailingHandlers) {
    TzrThreadRunner runner;
    Recorder rec(runner);
    runner.OnProgress = [](TzrThreadRunner*, qb::TzrThreadStage stage, double, const std::string&) {
        if (stage == qb::tsRunning) throw Exception("Progress handler failed");
    };
    runner.OnShortAsyncEvent = [](TzrThreadRunner*, int, int) { throw EAbort(); };
    runner.OnDone = [&](TzrThreadRunner*, const Exception*) {
        rec.Add("done");
        throw Exception("Done handler failed");
    };
    runner.ThreadFunction = [](TzrThreadRunner* r) {
        r->SetProgress(10, "");
        r->PostShortAsyncEvent(1, 2);
    };
    runner.Execute();
    ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); }));
    // A handler's failure reaches the application's display; OnDone's is ignored, and the
    // silent abort is never shown.
    EXPECT_EQ(rec.shown, std::vector<std::string>{"Progress handler failed"});
    EXPECT_EQ(rec.log, (std::vector<std::string>{"started", "done"}));
}

// Thousands of short runs, each ended one of several ways at a random point; every run's
// end is heard exactly once, except after a silent abort without waiting, never.
TEST(TzrThreadRunner, StressShortRunsWithAbortsAtRandomPoints) {
    TzrThreadRunner runner;
    Recorder rec(runner);
    enum Ending { Returns, Raises, Request, SilentRequest, AbortWait, AbortWaitSilent, Hard, kEndings };
    std::mt19937 random(20261209);
    std::vector<std::string> expected;  // the OnDone log
    // Each run's own end is told apart from its neighbours': a silent run that ends before
    // its abort raises "s<run>".
    auto ownEnd = [](int n, Ending ending) {
        if (ending == SilentRequest) return "s" + std::to_string(n);
        return n % 5 == 0 ? std::to_string(n) : std::string("none");
    };
    std::atomic<int> run{0};
    std::atomic<Ending> mode{Returns};
    runner.ThreadFunction = [&](TzrThreadRunner* r) {
        const int n = run;
        const int spins = n % 13;
        for (int i = 0; i < spins; ++i) {
            r->CheckAbort();
            r->SetProgress(i, "");
        }
        const std::string own = ownEnd(n, mode);
        if (own != "none") throw Exception(own);
    };
    const auto until = Clock::now() + std::chrono::seconds(20);
    constexpr int kRuns = 3000;
    int runs = 0;
    for (; runs < kRuns && Clock::now() < until; ++runs) {
        const auto ending = static_cast<Ending>(random() % kEndings);
        run = runs;
        mode = ending;
        runner.Execute();
        // A random point of the run.
        for (unsigned k = random() % 200; k > 0; --k) std::this_thread::yield();
        std::string done = ownEnd(runs, ending);
        switch (ending) {
            case Returns:
            case Raises:
                runner.Wait(random() % 2 == 0);
                break;
            case Request:
                runner.Abort(false, false, false);
                runner.Wait(false);
                done = "?";  // an abort, or the function's own end if it came first
                break;
            case SilentRequest:
                runner.Abort(false, false, true);
                runner.Wait(false);
                done = "-";  // nothing, or the end if it came before the abort
                break;
            case AbortWait:
            case AbortWaitSilent:
                runner.Abort(true, random() % 2 == 0, ending == AbortWaitSilent);
                done = "?";
                break;
            case Hard:
                if (random() % 10 != 0) {
                    runner.Wait(false);  // only now and then, each one costs a thread
                } else {
                    runner.HardAbort();
                    done = "?";  // nothing to abort when the run ended first
                }
                break;
            default:
                break;
        }
        expected.push_back(done);
        if (random() % 4 == 0) QCoreApplication::processEvents();
    }
    ASSERT_TRUE(PumpUntil([&] { return runner.GetDone(); }));
    PumpUntil([] { return false; }, 100);
    // Match the log with the expectations in order.
    std::vector<std::string> dones;
    for (const std::string& entry : rec.log)
        if (entry.rfind("done ", 0) == 0) dones.push_back(entry.substr(5));
    std::size_t d = 0;
    for (int i = 0; i < runs; ++i) {
        const std::string& want = expected[static_cast<std::size_t>(i)];
        if (want == "-") {
            if (d < dones.size() && dones[d] == "s" + std::to_string(i)) ++d;  // ended before the abort
            continue;
        }
        ASSERT_LT(d, dones.size()) << "run " << i << " never ended";
        if (want == "?") {
            const std::string own = ownEnd(i, Returns);
            EXPECT_TRUE(dones[d] == "abort" || dones[d] == own) << "run " << i << ": " << dones[d];
        } else {
            EXPECT_EQ(dones[d], want) << "run " << i;
        }
        ++d;
    }
    EXPECT_EQ(d, dones.size()) << "more ends than runs";
    EXPECT_GE(runs, 200);
}

}  // namespace
