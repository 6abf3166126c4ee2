// The mutex: misuse refused with its messages, time limits, exclusion between threads and
// between processes, abandoned owners (a thread that ended, a process that died), events of
// the interface thread while it waits, and the shared-memory object of a named mutex.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <QMetaObject>
#include <QObject>

#include "tests/support/failure.h"
#include "tests/support/qtapp.h"
#include "threading/zrmutex.h"

namespace {

using qb::TzrMutex;
using qb::test::FailureMessage;
using Clock = std::chrono::steady_clock;

// A name no other test program uses at the same time.
std::string UniqueName(const std::string& what) {
    return "qbtest " + what + " " + std::to_string(getpid());
}

bool SharedObjectExists(const std::string& mutexName) {
    struct stat st {};
    return stat(("/dev/shm" + TzrMutex::SharedObjectName(mutexName)).c_str(), &st) == 0;
}

// Another thread that acquires a mutex and holds it until told to let go (or, with
// `release` false, ends holding it).
class Holder {
public:
    explicit Holder(TzrMutex& mutex, bool release = true) {
        thread_ = std::thread([this, &mutex, release] {
            mutex.Acquire(false, -1);
            std::unique_lock lock(m_);
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return letGo_; });
            if (release) mutex.Release();
        });
        std::unique_lock lock(m_);
        changed_.wait(lock, [this] { return held_; });
    }
    ~Holder() { LetGo(); }
    void LetGo() {
        {
            std::lock_guard lock(m_);
            letGo_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    std::mutex m_;
    std::condition_variable changed_;
    bool held_ = false;
    bool letGo_ = false;
    std::thread thread_;
};

// A mutex_holder process, started with a plain fork and exec (which the thread checker
// follows, unlike the clone-based starts of QProcess and posix_spawn).
class HolderProcess {
public:
    HolderProcess(const std::string& mode, const std::string& name) {
        int in[2], out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl(QB_MUTEX_HOLDER, QB_MUTEX_HOLDER, mode.c_str(), name.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~HolderProcess() { Finish(); }
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(output_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // Ends the holder's input (it releases) and returns its exit code.
    int Finish() {
        if (input_ >= 0) close(input_);
        input_ = -1;
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (output_ >= 0) close(output_);
        output_ = -1;
        return code_;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1, output_ = -1;
    int code_ = -1;
};

// The exit code of `mutex_holder try <name>`: 0 acquired, 3 timed out.
int TryFromOtherProcess(const std::string& name) {
    HolderProcess p("try", name);
    return p.Finish();
}

TEST(TzrMutex, MisuseIsRefusedWithItsMessage) {
    struct Case {
        const char* what;
        std::function<void(TzrMutex&)> action;
        const char* message;
    };
    const Case cases[] = {
        {"release on a fresh mutex", [](TzrMutex& m) { m.Release(); }, "Not acquired"},
        {"release more often than acquired",
         [](TzrMutex& m) {
             m.Acquire(false, -1);
             m.Release();
             m.Release();
         },
         "Not acquired"},
        {"rename while held",
         [](TzrMutex& m) {
             m.Acquire(false, -1);
             m.SetMutexName("other");
         },
         "Already acquired"},
        {"rename of an unnamed mutex while held twice",
         [](TzrMutex& m) {
             m.Acquire(false, 0);
             m.Acquire(false, 0);
             m.Release();
             m.SetMutexName(UniqueName("rename"));
         },
         "Already acquired"},
    };
    for (const Case& c : cases) {
        TzrMutex mutex;
        EXPECT_EQ(FailureMessage([&] { c.action(mutex); }), c.message) << c.what;
        EXPECT_EQ(mutex.GetMutexName(), "") << c.what;  // a refused rename keeps the old mutex
        while (mutex.GetAcquired()) mutex.Release();
    }
}

TEST(TzrMutex, ReleaseByAThreadThatDoesNotOwnItFailsAndKeepsTheCount) {
    TzrMutex mutex;
    mutex.Acquire(false, -1);
    std::string message;
    std::thread([&] { message = FailureMessage([&] { mutex.Release(); }); }).join();
    EXPECT_EQ(message, "Operation not permitted");
    EXPECT_EQ(mutex.GetAcquireCount(), 1);
    mutex.Release();
}

TEST(TzrMutex, TimeLimitsOnAMutexHeldByAnotherThread) {
    for (const std::string& name : {std::string(), UniqueName("limits")}) {
        TzrMutex mutex;
        mutex.SetMutexName(name);
        Holder holder(mutex);
        // 0 only tries; a positive limit waits at least that long; neither changes the count.
        for (int timeout : {0, 60}) {
            const auto start = Clock::now();
            EXPECT_EQ(FailureMessage([&] { mutex.Acquire(false, timeout); }), "Timed out") << name;
            EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(timeout));
            EXPECT_EQ(mutex.GetAcquireCount(), 1) << name;  // the holder's acquisition
        }
        // No limit: waits until the holder lets go.
        std::thread letGo([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            holder.LetGo();
        });
        EXPECT_FALSE(mutex.Acquire(false, -1)) << name;
        letGo.join();
        EXPECT_EQ(mutex.GetAcquireCount(), 1) << name;
        mutex.Release();
        EXPECT_FALSE(mutex.GetAcquired());
    }
}

TEST(TzrMutex, TheOwnerMayAcquireAgainAndReleasesEachTime) {
    TzrMutex mutex;
    EXPECT_FALSE(mutex.Acquire(false, 0));
    EXPECT_FALSE(mutex.Acquire(false, 0));
    EXPECT_EQ(mutex.GetAcquireCount(), 2);
    mutex.Release();
    // Still owned by this thread: another one cannot have it.
    std::string other;
    std::thread([&] { other = FailureMessage([&] { mutex.Acquire(false, 0); }); }).join();
    EXPECT_EQ(other, "Timed out");
    mutex.Release();
    std::thread([&] {
        other = FailureMessage([&] { mutex.Acquire(false, 0); });
        mutex.Release();
    }).join();
    EXPECT_EQ(other, "(no failure)");
}

TEST(TzrMutex, AMutexWhoseOwnerThreadEndedIsAbandonedOnce) {
    for (const std::string& name : {std::string(), UniqueName("abandoned thread")}) {
        TzrMutex mutex;
        mutex.SetMutexName(name);
        {
            Holder holder(mutex, /*release=*/false);
        }
        EXPECT_TRUE(mutex.Acquire(false, 0)) << name;
        EXPECT_FALSE(mutex.Acquire(false, 0)) << name;  // whole again
        // The count is the component's: the ended thread's acquisition stays counted.
        EXPECT_EQ(mutex.GetAcquireCount(), 3) << name;
        mutex.Release();
        mutex.Release();
        EXPECT_EQ(FailureMessage([&] { mutex.Release(); }), "Operation not permitted") << name;
        // Another thread can have it now.
        std::string other;
        std::thread([&] {
            other = FailureMessage([&] { EXPECT_FALSE(mutex.Acquire(false, 0)); });
            mutex.Release();
        }).join();
        EXPECT_EQ(other, "(no failure)") << name;
    }
}

TEST(TzrMutex, NamedMutexesExcludeEachOtherUnnamedOnesDoNot) {
    const std::string name = UniqueName("exclusion");
    TzrMutex first, second, unnamedA, unnamedB;
    first.SetMutexName(name);
    second.SetMutexName(name);
    {
        Holder holder(first);
        EXPECT_EQ(FailureMessage([&] { second.Acquire(false, 0); }), "Timed out");
    }
    {
        Holder holder(unnamedA);
        EXPECT_FALSE(unnamedB.Acquire(false, 0));
        unnamedB.Release();
    }
    // After a rename the component uses the mutex of the new name.
    TzrMutex renamed;
    renamed.SetMutexName(UniqueName("elsewhere"));
    renamed.SetMutexName(name);
    Holder holder(renamed);
    EXPECT_EQ(FailureMessage([&] { second.Acquire(false, 0); }), "Timed out");
}

TEST(TzrMutex, TwoProcessesExcludeEachOther) {
    const std::string name = UniqueName("processes");
    {
        HolderProcess holder("hold", name);
        ASSERT_EQ(holder.ReadLine(), "acquired");
        TzrMutex mutex;
        mutex.SetMutexName(name);
        EXPECT_EQ(FailureMessage([&] { mutex.Acquire(false, 0); }), "Timed out");
        // The holder lets go when its input ends; an unlimited wait then obtains it.
        std::thread finish([&] { EXPECT_EQ(holder.Finish(), 0); });
        EXPECT_FALSE(mutex.Acquire(false, -1));
        finish.join();
        // And while this process holds it, the other cannot have it.
        EXPECT_EQ(TryFromOtherProcess(name), 3);
        mutex.Release();
        EXPECT_EQ(TryFromOtherProcess(name), 0);
    }
    EXPECT_FALSE(SharedObjectExists(name));  // the last one to close removed it
}

TEST(TzrMutex, AMutexWhoseOwnerProcessDiedIsAbandoned) {
    const std::string name = UniqueName("died");
    TzrMutex mutex;
    mutex.SetMutexName(name);
    {
        HolderProcess holder("die", name);
        ASSERT_EQ(holder.ReadLine(), "acquired");
        EXPECT_EQ(holder.Finish(), 0);
    }
    EXPECT_TRUE(mutex.Acquire(false, 5000));
    mutex.Release();
    EXPECT_FALSE(mutex.Acquire(false, 0));
    mutex.Release();
    // The dead process never closed the object: remove it for the next run of the tests.
    mutex.SetMutexName(std::string());
    shm_unlink(TzrMutex::SharedObjectName(name).c_str());
}

TEST(TzrMutex, TheInterfaceThreadRunsItsEventsWhileWaitingOnlyWhenAsked) {
    qb::test::App();
    for (bool processMessages : {true, false}) {
        TzrMutex mutex;
        QObject target;
        std::atomic<bool> eventRan{false};
        std::atomic<bool> handlerLetGo{false};
        {
            Holder holder(mutex);
            // The holder lets go when the event has run, or on its own after a while.
            std::thread letGo([&] {
                const auto until = Clock::now() + std::chrono::seconds(3);
                while (!eventRan && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                handlerLetGo = eventRan.load();
                holder.LetGo();
            });
            QMetaObject::invokeMethod(&target, [&] { eventRan = true; }, Qt::QueuedConnection);
            EXPECT_FALSE(mutex.Acquire(processMessages, -1));
            letGo.join();
        }
        EXPECT_EQ(handlerLetGo.load(), processMessages) << processMessages;
        mutex.Release();
        QCoreApplication::processEvents();
    }
}

TEST(TzrMutex, SharedObjectNames) {
    const std::string prefix = "/qb-mutex-" + std::to_string(getuid()) + "-";
    EXPECT_EQ(TzrMutex::SharedObjectName("Plain.name_1-2"), prefix + "Plain.name_1-2");
    EXPECT_EQ(TzrMutex::SharedObjectName("a/b c\\%"), prefix + "a%2Fb%20c%5C%25");
    // Case matters, as in the system's object names.
    EXPECT_NE(TzrMutex::SharedObjectName("Name"), TzrMutex::SharedObjectName("name"));
    // Long names stay within the system's limit and still differ by their ends.
    const std::string a = TzrMutex::SharedObjectName(std::string(400, '/') + "a");
    const std::string b = TzrMutex::SharedObjectName(std::string(400, '/') + "b");
    EXPECT_LE(a.size(), 255u);
    EXPECT_NE(a, b);
    // And such a name works.
    TzrMutex mutex;
    mutex.SetMutexName(std::string(300, 'x') + std::to_string(getpid()));
    EXPECT_FALSE(mutex.Acquire(false, 0));
    mutex.Release();
}

}  // namespace
