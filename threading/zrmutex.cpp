#include "threading/zrmutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <QCoreApplication>

#include "platform/syserror.h"

namespace qb {

namespace {

// The layout of the shared-memory object of a named mutex. The object is set up under an
// flock of its descriptor (which the system drops when a process dies), so a process that
// dies while setting it up leaves nothing half made: the next one finds Magic unset and
// sets it up again.
struct TSharedMutex {
    std::uint32_t Magic;      // kMagic once Mutex is initialised
    std::uint32_t Removed;    // the object was unlinked; openers must make a new one
    std::int32_t OpenCount;   // components that have the object open
    std::uint32_t Reserved;
    pthread_mutex_t Mutex;
};
constexpr std::uint32_t kMagic = 0x5A524D58;  // "ZRMX"

// The longest the interface thread waits before it runs its pending events again.
constexpr int kMessageSliceMs = 20;

[[noreturn]] void RaiseError(int error) {
    throw Exception(platform::SysErrorMessage(error));
}

// A robust mutex keeps its owner's thread id in its lock word, which is what the system
// checks on release.
bool OwnedByCaller(const pthread_mutex_t* mutex) {
    constexpr unsigned kTidMask = 0x3fffffff;  // FUTEX_TID_MASK
    const unsigned word = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED);
    return (word & kTidMask) == static_cast<unsigned>(gettid());
}

void InitMutex(pthread_mutex_t* mutex, bool shared) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (shared) pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    const int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) RaiseError(rc);
}

// An flock held for the life of the object.
class TFileLock {
public:
    explicit TFileLock(int fd) : Fd(fd) {
        while (flock(Fd, LOCK_EX) != 0) {
            if (errno != EINTR) platform::RaiseLastOSError();
        }
    }
    ~TFileLock() { flock(Fd, LOCK_UN); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

private:
    int Fd;
};

}  // namespace

struct TzrMutex::THandle {
    pthread_mutex_t* Mutex = nullptr;
    // Unnamed: the mutex itself. Named: the shared object, its mapping and its name.
    std::unique_ptr<pthread_mutex_t> Private;
    TSharedMutex* Shared = nullptr;
    int Fd = -1;
    std::string ObjectName;

    ~THandle();
    static std::unique_ptr<THandle> OpenPrivate();
    static std::unique_ptr<THandle> OpenShared(const std::string& objectName);
    // Closes the object; the last component to close it removes it. Returns 0 or an error.
    int Close();
};

TzrMutex::THandle::~THandle() { Close(); }

std::unique_ptr<TzrMutex::THandle> TzrMutex::THandle::OpenPrivate() {
    auto handle = std::make_unique<THandle>();
    handle->Private = std::make_unique<pthread_mutex_t>();
    InitMutex(handle->Private.get(), false);
    handle->Mutex = handle->Private.get();
    return handle;
}

std::unique_ptr<TzrMutex::THandle> TzrMutex::THandle::OpenShared(const std::string& objectName) {
    // An object that another process removes just while we open it is marked Removed under
    // the lock; we then make a fresh one under the same name.
    for (int attempt = 0;; ++attempt) {
        if (attempt == 1000) RaiseError(EAGAIN);
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) platform::RaiseLastOSError();
        auto handle = std::make_unique<THandle>();
        handle->Fd = fd;
        handle->ObjectName = objectName;
        TFileLock lock(fd);
        struct stat st {};
        if (fstat(fd, &st) != 0) platform::RaiseLastOSError();
        if (st.st_size < static_cast<off_t>(sizeof(TSharedMutex)) &&
            ftruncate(fd, sizeof(TSharedMutex)) != 0)
            platform::RaiseLastOSError();
        void* view = mmap(nullptr, sizeof(TSharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) platform::RaiseLastOSError();
        auto* shared = static_cast<TSharedMutex*>(view);
        handle->Shared = shared;
        if (shared->Removed) continue;  // the handle closes without touching the count
        if (shared->Magic != kMagic) {
            InitMutex(&shared->Mutex, true);
            shared->OpenCount = 0;
            shared->Magic = kMagic;
        }
        ++shared->OpenCount;
        handle->Mutex = &shared->Mutex;
        return handle;
    }
}

int TzrMutex::THandle::Close() {
    int error = 0;
    if (Private) {
        // A private mutex still held by a thread that forgot it is simply let go.
        pthread_mutex_destroy(Private.get());
        Private.reset();
    }
    if (Fd >= 0) {
        if (Shared) {
            {
                TFileLock lock(Fd);
                if (Mutex && !Shared->Removed && --Shared->OpenCount <= 0) {
                    Shared->Removed = 1;
                    if (shm_unlink(ObjectName.c_str()) != 0 && errno != ENOENT) error = errno;
                }
            }
            munmap(Shared, sizeof(TSharedMutex));
            Shared = nullptr;
        }
        if (close(Fd) != 0 && error == 0) error = errno;
        Fd = -1;
    }
    Mutex = nullptr;
    return error;
}

TzrMutex::TzrMutex() : VCLThread(std::this_thread::get_id()) { SetMutexName(std::string()); }

TzrMutex::~TzrMutex() {
    std::lock_guard lock(CritSect);
    if (Handle) Handle->Close();
    Handle.reset();
}

void TzrMutex::MustBeInVCLThread() const {
    if (!InVCLThread()) throw Exception("Must be called from the VCL thread");
}

std::string TzrMutex::SharedObjectName(const std::string& mutexName) {
    std::string encoded;
    for (unsigned char c : mutexName) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '_' || c == '-') {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    std::string name = "/qb-mutex-" + std::to_string(getuid()) + "-";
    // Object names are file names in /dev/shm: at most 255 bytes.
    constexpr std::size_t kMaxEncoded = 200;
    if (encoded.size() > kMaxEncoded) {
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the whole name
        for (unsigned char c : mutexName) hash = (hash ^ c) * 1099511628211ull;
        char hex[20];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        encoded = encoded.substr(0, kMaxEncoded - 17) + "~" + hex;
    }
    return name + encoded;
}

void TzrMutex::OpenMutex() {
    std::lock_guard lock(CritSect);
    if (Handle) return;
    Handle = MutexName.empty() ? THandle::OpenPrivate() : THandle::OpenShared(SharedObjectName(MutexName));
}

void TzrMutex::CloseMutex() {
    std::lock_guard lock(CritSect);
    if (!Handle) return;
    std::unique_ptr<THandle> handle = std::move(Handle);
    if (const int error = handle->Close()) RaiseError(error);
}

void TzrMutex::SetMutexName(const std::string& name) {
    if (AcquireCount.load() > 0) throw EzrAcquiredException();
    CloseMutex();
    MutexName = name;
    OpenMutex();
}

bool TzrMutex::Acquire(bool processMessages, std::int32_t timeout) {
    const bool withMessages = processMessages && InVCLThread() && QCoreApplication::instance();
    OpenMutex();
    pthread_mutex_t* mutex;
    {
        std::lock_guard lock(CritSect);
        mutex = Handle->Mutex;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    bool abandoned = false;
    for (;;) {
        int rc = pthread_mutex_trylock(mutex);
        if (rc == EBUSY) {
            // Wait for the mutex, in slices when the interface's events must keep running.
            // The time limit is kept on the steady clock; the system's timed wait wants a
            // wall-clock time, which a clock change can move by at most one slice.
            const Clock::time_point now = Clock::now();
            Clock::time_point until = timeout < 0 ? Clock::time_point::max() : deadline;
            if (withMessages) until = std::min(until, now + std::chrono::milliseconds(kMessageSliceMs));
            if (until == Clock::time_point::max()) {
                rc = pthread_mutex_lock(mutex);
            } else {
                const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(until - now, Clock::duration::zero()));
                timespec ts{};
                clock_gettime(CLOCK_REALTIME, &ts);
                const long long ns = static_cast<long long>(ts.tv_nsec) + wait.count();
                ts.tv_sec += static_cast<time_t>(ns / 1000000000);
                ts.tv_nsec = static_cast<long>(ns % 1000000000);
                rc = pthread_mutex_timedlock(mutex, &ts);
            }
            if (rc == ETIMEDOUT) {
                if (timeout >= 0 && Clock::now() >= deadline) throw EzrTimedOutException();
                if (withMessages) QCoreApplication::processEvents();
                continue;
            }
            if (rc == EINTR || rc == EAGAIN) continue;
        }
        if (rc == EOWNERDEAD) {
            // The owner ended holding it: the mutex is ours, and whole again from now on.
            pthread_mutex_consistent(mutex);
            abandoned = true;
            rc = 0;
        }
        if (rc != 0) RaiseError(rc);
        break;
    }
    ++AcquireCount;
    return abandoned;
}

void TzrMutex::Release() {
    if (AcquireCount.load() == 0) throw EzrNotAcquiredException();
    pthread_mutex_t* mutex;
    {
        std::lock_guard lock(CritSect);
        if (!Handle) throw EzrNotAcquiredException();
        mutex = Handle->Mutex;
    }
    // The system refuses a release by a thread that does not own the mutex; refuse it
    // before asking, as the system would, so that nothing below sees the misuse.
    if (!OwnedByCaller(mutex)) RaiseError(EPERM);
    if (const int rc = pthread_mutex_unlock(mutex)) RaiseError(rc);
    --AcquireCount;
}

}  // namespace qb
