// Child processes: started with a Windows-style command-line string in a working directory,
// each in a process group of its own, polled without blocking, terminated with its group.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qb::platform {

// The exit code that stands for "still running".
constexpr uint32_t STILL_ACTIVE = 259;

using THandle = int64_t;  // 0 is no handle

struct TProcessInformation {
    THandle hProcess = 0;  // the child process
    THandle hThread = 0;   // its primary thread (the child's process group here)
};

// Splits a command line into arguments by the Windows rules: blanks and tabs separate,
// double quotes group (and "" inside quotes gives a quote), 2n backslashes before a quote
// give n backslashes and a quote character that groups, 2n+1 give n backslashes and a
// literal quote; other backslashes are literal.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Starts `executable` (relative names against the current directory; when empty, the first
// argument of the command line, searched on PATH) with the arguments of `commandLine`
// (the first of which is the program's name) in `workDir` (empty = the current directory).
// Returns false and sets errno when the process cannot be started.
bool CreateProcess(const std::string& executable, const std::string& commandLine,
                   const std::string& workDir, TProcessInformation& info);

// The exit code of a child, or STILL_ACTIVE while it runs. A finished child is reaped at
// once and its code kept for later calls. False (errno set) for an unknown handle.
bool GetExitCodeProcess(THandle process, uint32_t& exitCode);

// Kills the child's whole process group; the child's exit code then reads as `exitCode`.
bool TerminateProcess(THandle process, uint32_t exitCode);

enum class TThreadPriority { tpNormal, tpLower };
// tpLower raises the group's nice value; tpNormal lowers it back as far as the system
// allows an unprivileged process.
bool SetThreadPriority(THandle thread, TThreadPriority priority);

// Forgets a handle. A process handle of a child that still runs keeps being reaped when it
// ends, so that no zombie stays behind.
void CloseHandle(THandle handle);

}  // namespace qb::platform
