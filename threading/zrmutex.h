// TzrMutex: one operating-system mutex, optionally named so that several processes share it.
//
// The mutex is a POSIX robust mutex. An unnamed one (empty MutexName) is private to the
// process. A named one lives in a POSIX shared-memory object whose name is derived from
// MutexName and the user's id (SharedObjectName), so that every process of the same user
// that names the mutex alike shares it; the object is removed again when the last component
// that opened it closes it (an object left behind by a process that died stays in
// /dev/shm and is reused by the next process that opens the name).
//
// Like the mutexes of the system the program came from, the mutex belongs to the thread that
// acquired it, that thread may acquire it again (each Acquire wants its Release), and an
// owner that ends - a thread that returns or a process that dies - while holding it leaves
// it abandoned: the next Acquire obtains it and returns true, and the mutex is whole again
// from then on.
//
// Acquire waits with an optional time limit. On the interface thread (the thread that
// constructed the component) with processMessages it runs Qt's pending events every 20 ms
// of waiting, so the interface keeps responding while it waits. AcquireCount
// counts the component's acquisitions not yet released, so that a release that is not owed
// and a rename while held are refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/exceptions.h"

namespace qb {

class EzrTimedOutException : public Exception {
public:
    EzrTimedOutException() : Exception("Timed out") {}
};

class EzrNotAcquiredException : public Exception {
public:
    EzrNotAcquiredException() : Exception("Not acquired") {}
};

class EzrAcquiredException : public Exception {
public:
    EzrAcquiredException() : Exception("Already acquired") {}
};

class TzrMutex {
public:
    // Records the calling thread as the interface thread and opens an unnamed mutex.
    TzrMutex();
    ~TzrMutex();
    TzrMutex(const TzrMutex&) = delete;
    TzrMutex& operator=(const TzrMutex&) = delete;

    // Obtains the mutex. timeout in milliseconds, negative: no limit; 0 only tries.
    // Returns true when the previous owner ended without releasing it (abandoned), false
    // after an ordinary acquisition. Fails with EzrTimedOutException when the time runs out
    // (AcquireCount unchanged), with the system's message when the mutex cannot be used.
    bool Acquire(bool processMessages, std::int32_t timeout);
    // Releases one acquisition. Fails with EzrNotAcquiredException when none is owed, with
    // the system's message when the calling thread does not own the mutex.
    void Release();
    bool GetAcquired() const { return AcquireCount.load() > 0; }
    std::int32_t GetAcquireCount() const { return AcquireCount.load(); }

    const std::string& GetMutexName() const { return MutexName; }
    // Fails with EzrAcquiredException while acquired; otherwise closes the mutex and opens
    // the one of the new name (empty: a fresh unnamed one).
    void SetMutexName(const std::string& name);

    // Makes sure the mutex is open; closes it.
    void OpenMutex();
    void CloseMutex();

    // The critical section that guards the handle.
    void Lock() { CritSect.lock(); }
    void Unlock() { CritSect.unlock(); }

    bool InVCLThread() const { return std::this_thread::get_id() == VCLThread; }
    // Fails with "Must be called from the VCL thread" on any other thread.
    void MustBeInVCLThread() const;

    // The shared-memory object ("/qb-mutex-<uid>-<name>") that holds the mutex of a name:
    // characters other than letters, digits, '.', '_' and '-' are written as %XX, and a
    // name too long for the system is shortened and completed with a hash of the whole.
    static std::string SharedObjectName(const std::string& mutexName);

    // The system mutex and where it lives (private memory or a shared-memory object).
    struct THandle;

private:
    std::string MutexName;
    std::unique_ptr<THandle> Handle;
    std::atomic<std::int32_t> AcquireCount{0};
    std::recursive_mutex CritSect;
    std::thread::id VCLThread;
};

}  // namespace qb
