#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/files.h"

extern char** environ;

namespace qb::platform {

std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= n) break;
        std::string arg;
        bool inQuotes = false;
        while (i < n) {
            const char c = line[i];
            if (!inQuotes && (c == ' ' || c == '\t')) break;
            if (c == '\\') {
                size_t backslashes = 0;
                while (i < n && line[i] == '\\') {
                    ++backslashes;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(backslashes / 2, '\\');
                    if (backslashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // An even run leaves the quote to group, below.
                } else {
                    arg.append(backslashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (inQuotes && i + 1 < n && line[i + 1] == '"') {
                    // "" inside quotes stands for one quote character.
                    arg += '"';
                    i += 2;
                    continue;
                }
                inQuotes = !inQuotes;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// One captured stream: the unlinked file the child writes to, how far it has been read, and
// the start of a line whose end has not been written yet.
struct Capture {
    int fd = -1;
    off_t offset = 0;
    std::string partial;
};

// The children this program started, by process id: their process group, once they have
// been reaped their exit code, their keeper and their captured output.
struct Child {
    pid_t group = 0;
    bool finished = false;
    bool terminated = false;
    uint32_t terminatedCode = 0;
    uint32_t exitCode = 0;
    bool closed = false;
    bool keeperOnly = false;  // an entry that only stands for a keeper to be reaped
    int lifeline = -1;        // our end of the keeper's socket
    pid_t keeper = 0;
    Capture out, err;
};

std::mutex childrenLock;
std::map<pid_t, Child> children;

uint32_t DecodeStatus(int status) {
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
    return 1;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Tells the keeper that the child needs no more watching and lets it end; the keeper's own
// entry is reaped later.
void ReleaseKeeper(Child& c) {
    if (c.lifeline >= 0) {
        const char bye = 'D';
        (void)!send(c.lifeline, &bye, 1, MSG_NOSIGNAL);
        CloseFd(c.lifeline);
    }
    if (c.keeper > 0) {
        Child k;
        k.keeperOnly = true;
        k.closed = true;
        children[c.keeper] = k;
        c.keeper = 0;
    }
}

// Reaps a child that has ended; true when it has.
bool Reap(pid_t pid, Child& c) {
    if (c.finished) return true;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        c.finished = true;
        c.exitCode = c.terminated ? c.terminatedCode : DecodeStatus(status);
    } else if (r < 0 && errno == ECHILD) {
        // Reaped elsewhere: its code is lost, but it has ended.
        c.finished = true;
        c.exitCode = c.terminated ? c.terminatedCode : 1;
    } else {
        return false;
    }
    ReleaseKeeper(c);
    return true;
}

// Handles that were closed while their child still ran, and keepers that have been let go,
// are reaped on later calls.
void ReapClosed() {
    for (auto it = children.begin(); it != children.end();) {
        if (it->second.closed && Reap(it->first, it->second))
            it = children.erase(it);
        else
            ++it;
    }
}

// An unlinked temporary file for a captured stream: -1 when none can be made.
int MakeCaptureFile() {
    const std::string dir = GetTempDirectory();
#ifdef O_TMPFILE
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string name = dir + "qbchildXXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
}

// The keeper of a child's group: forked without exec, so that it does only what is safe in
// the copy of a threaded program (close, read, kill, _exit). It ignores the signals a
// terminal or a session sends to our process group and ends when told to or when this
// program's end of the socket closes; in the second case it kills the child's group first.
pid_t StartKeeper(pid_t group, int& lifeline) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
    const pid_t pid = fork();
    if (pid == 0) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
            sigaction(sig, &ignore, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int keep = ends[1];
        if (keep > 3) close_range(3, static_cast<unsigned>(keep) - 1, 0);
        close_range(static_cast<unsigned>(keep) + 1, ~0u, 0);
        char c = 0;
        ssize_t n;
        do {
            n = ::read(keep, &c, 1);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) kill(-group, SIGKILL);
        _exit(0);
    }
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        return 0;
    }
    lifeline = ends[0];
    return pid;
}

// The lines of one captured stream written since the last call.
void ReadCapture(Capture& cap, TOutputStream stream, const TOutputLineHandler& onLine, bool final) {
    if (cap.fd < 0) return;
    constexpr size_t kMaxLine = 16 * 1024;
    // At most 4 MiB a call, so that a child that writes without end cannot hold the caller.
    char buffer[65536];
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = ::pread(cap.fd, buffer, sizeof buffer, cap.offset);
        if (n <= 0) break;
        cap.offset += n;
        for (ssize_t i = 0; i < n; ++i) {
            const char ch = buffer[i];
            if (ch == '\n' || ch == '\r') {
                if (!cap.partial.empty()) {
                    const std::string line = std::move(cap.partial);
                    cap.partial.clear();
                    if (onLine) onLine(stream, line);
                }
                continue;
            }
            cap.partial += ch;
            if (cap.partial.size() >= kMaxLine) {
                const std::string line = std::move(cap.partial);
                cap.partial.clear();
                if (onLine) onLine(stream, line);
            }
        }
    }
    if (final && !cap.partial.empty()) {
        const std::string line = std::move(cap.partial);
        cap.partial.clear();
        if (onLine) onLine(stream, line);
    }
}

}  // namespace

bool CreateProcess(const std::string& executable, const std::string& commandLine,
                   const std::string& workDir, TProcessInformation& info,
                   const TProcessOptions& options) {
    std::vector<std::string> args = SplitCommandLine(commandLine);
    std::string exe = executable;
    bool search = false;
    if (exe.empty()) {
        if (args.empty()) {
            errno = ENOENT;
            return false;
        }
        exe = args[0];
        search = exe.find('/') == std::string::npos;
    }
    if (!search) exe = ExpandFileName(exe);  // before the child changes its directory
    if (args.empty()) args.push_back(exe);
    if (!workDir.empty() && !DirectoryExists(workDir)) {
        errno = ENOENT;
        return false;
    }

    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    Capture out, err;
    if (options.captureOutput) {
        out.fd = MakeCaptureFile();
        err.fd = out.fd >= 0 ? MakeCaptureFile() : -1;
        if (err.fd < 0) {
            const int e = errno;
            CloseFd(out.fd);
            errno = e;
            return false;
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    if (options.captureOutput) {
        posix_spawn_file_actions_adddup2(&actions, out.fd, 1);
        posix_spawn_file_actions_adddup2(&actions, err.fd, 2);
    }
    // A group of its own, so that terminating the child ends everything it started.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = search ? posix_spawnp(&pid, exe.c_str(), &actions, &attr, argv.data(), environ)
                          : posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        CloseFd(out.fd);
        CloseFd(err.fd);
        errno = rc;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(childrenLock);
        ReapClosed();
        Child c;
        c.group = pid;
        c.out = std::move(out);
        c.err = std::move(err);
        // Without a keeper (no process left to fork) the child still runs; only the guard
        // against this program's sudden death is missing.
        c.keeper = StartKeeper(pid, c.lifeline);
        children[pid] = std::move(c);
    }
    info.hProcess = pid;
    info.hThread = -static_cast<THandle>(pid);  // stands for the child's process group
    return true;
}

void ReadProcessOutput(THandle process, const TOutputLineHandler& onLine, bool final) {
    // The lines are collected under the lock and passed on outside it, so that a handler
    // may use the other calls.
    std::vector<std::pair<TOutputStream, std::string>> lines;
    {
        std::lock_guard<std::mutex> lock(childrenLock);
        auto it = children.find(static_cast<pid_t>(process));
        if (process <= 0 || it == children.end() || it->second.keeperOnly) return;
        auto collect = [&lines](TOutputStream s, const std::string& line) { lines.emplace_back(s, line); };
        ReadCapture(it->second.out, TOutputStream::osStdout, collect, final);
        ReadCapture(it->second.err, TOutputStream::osStderr, collect, final);
    }
    if (onLine)
        for (const auto& [stream, line] : lines) onLine(stream, line);
}

bool ProcessGroupAlive(THandle thread) {
    if (thread >= 0) return false;
    const long group = static_cast<long>(-thread);
    DIR* proc = opendir("/proc");
    if (!proc) return kill(static_cast<pid_t>(group), 0) == 0 || errno != ESRCH;
    bool alive = false;
    while (!alive) {
        const dirent* e = readdir(proc);
        if (!e) break;
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        char path[300];
        std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        FILE* f = std::fopen(path, "r");
        if (!f) continue;
        char buffer[1024];
        const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
        std::fclose(f);
        buffer[n] = '\0';
        // "pid (name) state ppid pgrp ...": the name may hold anything, up to the last ')'.
        const char* close = std::strrchr(buffer, ')');
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (close && std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3)
            alive = pgrp == group && state != 'Z' && state != 'X';
    }
    closedir(proc);
    return alive;
}

void DetachProcess(THandle process) {
    std::lock_guard<std::mutex> lock(childrenLock);
    auto it = children.find(static_cast<pid_t>(process));
    if (process <= 0 || it == children.end() || it->second.keeperOnly) return;
    ReleaseKeeper(it->second);
}

bool GetExitCodeProcess(THandle process, uint32_t& exitCode) {
    std::lock_guard<std::mutex> lock(childrenLock);
    ReapClosed();
    auto it = children.find(static_cast<pid_t>(process));
    if (process <= 0 || it == children.end() || it->second.closed) {
        errno = EBADF;
        return false;
    }
    exitCode = Reap(it->first, it->second) ? it->second.exitCode : STILL_ACTIVE;
    return true;
}

bool TerminateProcess(THandle process, uint32_t exitCode) {
    std::lock_guard<std::mutex> lock(childrenLock);
    auto it = children.find(static_cast<pid_t>(process));
    if (process <= 0 || it == children.end() || it->second.closed) {
        errno = EBADF;
        return false;
    }
    Child& c = it->second;
    if (Reap(it->first, c)) {
        // Ended already: like the system call on a finished process, nothing to do.
        errno = EACCES;
        return false;
    }
    c.terminated = true;
    c.terminatedCode = exitCode;
    if (kill(-c.group, SIGKILL) != 0 && kill(it->first, SIGKILL) != 0) return false;
    return true;
}

bool SetThreadPriority(THandle thread, TThreadPriority priority) {
    if (thread >= 0) {
        errno = EBADF;
        return false;
    }
    const pid_t group = static_cast<pid_t>(-thread);
    {
        std::lock_guard<std::mutex> lock(childrenLock);
        auto it = children.find(group);
        if (it == children.end() || it->second.closed) {
            errno = EBADF;
            return false;
        }
    }
    const int nice = priority == TThreadPriority::tpLower ? 10 : 0;
    return setpriority(PRIO_PGRP, static_cast<id_t>(group), nice) == 0;
}

void CloseHandle(THandle handle) {
    if (handle <= 0) return;  // thread handles stand for the group and hold nothing
    std::lock_guard<std::mutex> lock(childrenLock);
    auto it = children.find(static_cast<pid_t>(handle));
    if (it == children.end() || it->second.keeperOnly) return;
    CloseFd(it->second.out.fd);
    CloseFd(it->second.err.fd);
    if (Reap(it->first, it->second))
        children.erase(it);
    else
        it->second.closed = true;
}

}  // namespace qb::platform
