// Child processes: started with a Windows-style command-line string in a working directory,
// each in a process group of its own, polled without blocking, terminated with its group.
//
// Every child is watched by a small keeper process of ours that holds one end of a socket
// whose other end only this program holds: when this program dies without letting the
// child go (kill -9, a crash), the keeper sees the socket close and kills the child's
// group, so that no stitcher or blender runs on unsupervised. A normal end of the program
// leaves a child running only when it has been let go with DetachProcess.
//
// A child's standard output and error can be captured: each goes to an unlinked temporary
// file (never a pipe, so a child that outlives this program is not killed by SIGPIPE) that
// ReadProcessOutput reads without blocking, line by line.
#pragma once

#include <cstdint>
#include <functional>
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
struct TProcessOptions {
    bool captureOutput = false;  // stdout and stderr for ReadProcessOutput
};
bool CreateProcess(const std::string& executable, const std::string& commandLine,
                   const std::string& workDir, TProcessInformation& info,
                   const TProcessOptions& options = {});

// The two captured streams of a child.
enum class TOutputStream { osStdout = 1, osStderr = 2 };
using TOutputLineHandler = std::function<void(TOutputStream stream, const std::string& line)>;

// Passes every complete line that a captured child has written since the last call to
// `onLine`, stdout's before stderr's: CR, LF and CR LF end a line, the end is not passed,
// empty lines are skipped, and a line longer than 16 KiB is passed in pieces of that size.
// With `final` (the child has ended) an unterminated last line is passed as well. Never
// blocks; does nothing for a child without capture or an unknown handle.
void ReadProcessOutput(THandle process, const TOutputLineHandler& onLine, bool final = false);

// True while a process of the child's group (given by its thread handle) is alive; members
// that have ended but wait to be reaped do not count. After the child itself has been
// reaped, the helpers it started may take a moment longer to end after a kill.
bool ProcessGroupAlive(THandle thread);

// Lets a running child go: it keeps running when this program ends, however it ends.
void DetachProcess(THandle process);

// The exit code of a child, or STILL_ACTIVE while it runs. A finished child is reaped at
// once and its code kept for later calls. False (errno set) for an unknown handle.
bool GetExitCodeProcess(THandle process, uint32_t& exitCode);

// Kills the child's whole process group; the child's exit code then reads as `exitCode`.
bool TerminateProcess(THandle process, uint32_t exitCode);

enum class TThreadPriority { tpNormal, tpLower };
// tpLower raises the group's nice value; tpNormal lowers it back as far as the system
// allows an unprivileged process.
bool SetThreadPriority(THandle thread, TThreadPriority priority);

// Forgets a handle (and its captured output). A process handle of a child that still runs
// keeps being reaped when it ends, so that no zombie stays behind.
void CloseHandle(THandle handle);

}  // namespace qb::platform
