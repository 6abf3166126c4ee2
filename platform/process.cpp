#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

// The children this program started, by process id: their process group and, once they
// have been reaped, their exit code.
struct Child {
    pid_t group = 0;
    bool finished = false;
    bool terminated = false;
    uint32_t terminatedCode = 0;
    uint32_t exitCode = 0;
    bool closed = false;
};

std::mutex childrenLock;
std::map<pid_t, Child> children;

uint32_t DecodeStatus(int status) {
    if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
    return 1;
}

// Reaps a child that has ended; true when it has.
bool Reap(pid_t pid, Child& c) {
    if (c.finished) return true;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        c.finished = true;
        c.exitCode = c.terminated ? c.terminatedCode : DecodeStatus(status);
        return true;
    }
    if (r < 0 && errno == ECHILD) {
        // Reaped elsewhere: its code is lost, but it has ended.
        c.finished = true;
        c.exitCode = c.terminated ? c.terminatedCode : 1;
        return true;
    }
    return false;
}

// Handles that were closed while their child still ran are reaped on later calls.
void ReapClosed() {
    for (auto it = children.begin(); it != children.end();) {
        if (it->second.closed && Reap(it->first, it->second))
            it = children.erase(it);
        else
            ++it;
    }
}

}  // namespace

bool CreateProcess(const std::string& executable, const std::string& commandLine,
                   const std::string& workDir, TProcessInformation& info) {
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

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    // A group of its own, so that terminating the child ends everything it started.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = search ? posix_spawnp(&pid, exe.c_str(), &actions, &attr, argv.data(), environ)
                          : posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(childrenLock);
        ReapClosed();
        Child c;
        c.group = pid;
        children[pid] = c;
    }
    info.hProcess = pid;
    info.hThread = -static_cast<THandle>(pid);  // stands for the child's process group
    return true;
}

bool GetExitCodeProcess(THandle process, uint32_t& exitCode) {
    std::lock_guard<std::mutex> lock(childrenLock);
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
    if (it == children.end()) return;
    if (Reap(it->first, it->second))
        children.erase(it);
    else
        it->second.closed = true;
}

}  // namespace qb::platform
