// The log of a project's runs.
#include "app/runlog.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "app/batchmode.h"
#include "platform/files.h"

namespace qb::app {

namespace {

// Makes a directory and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& dir) {
    const std::string path = qb::platform::ExcludeTrailingPathDelimiter(dir);
    if (path.empty() || qb::platform::DirectoryExists(path)) return !path.empty();
    const std::string parent = qb::platform::ExtractFileDir(path);
    if (!parent.empty() && parent != path && !MakeDirectories(parent)) return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string LogTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string TRunLog::LogFileFor(const std::string& outputFile, const std::string& projectFile) {
    const size_t first = outputFile.find_first_not_of(" \t");
    const size_t last = outputFile.find_last_not_of(" \t");
    const std::string output = first == std::string::npos ? std::string() : outputFile.substr(first, last - first + 1);
    const std::string base = output.empty() ? projectFile : output;
    return qb::platform::ChangeFileExt(qb::platform::ExpandFileName(base), ".log");
}

std::string TRunLog::StateDirectory() {
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        state = xdg;
    } else {
        const char* home = std::getenv("HOME");
        state = std::string(home && *home ? home : "/tmp") + "/.local/state";
    }
    return qb::platform::IncludeTrailingPathDelimiter(state) + "quiltbatch/";
}

bool TRunLog::Open(const std::string& preferredFile, const std::string& projectFile) {
    Close();
    std::string name = preferredFile;
    file_ = std::fopen(name.c_str(), "ab");
    if (!file_) {
        const std::string dir = StateDirectory();
        if (MakeDirectories(dir)) {
            name = dir + qb::platform::ExtractFileName(preferredFile);
            file_ = std::fopen(name.c_str(), "ab");
        }
    }
    if (!file_) return false;
    name_ = name;
    WriteLine("==== " + LogTimeStamp() + " project " + OneLine(projectFile));
    return true;
}

void TRunLog::Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    name_.clear();
}

void TRunLog::WriteLine(const std::string& line) {
    if (!file_) return;
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fputc('\n', file_);
    // The log view follows the file while it grows.
    std::fflush(file_);
}

void TRunLog::ChildStarted(const std::string& commandLine, const std::string& workDir) {
    childStart_ = std::chrono::steady_clock::now();
    WriteLine(LogTimeStamp() + " start: " + OneLine(commandLine));
    WriteLine("  working directory: " + (workDir.empty() ? std::string("(the program's own)") : OneLine(workDir)));
}

void TRunLog::ChildLine(const std::string& line, bool fromStderr) {
    WriteLine((fromStderr ? "  err| " : "  out| ") + line);
}

void TRunLog::ChildEnded(int64_t exitCode, bool killed) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - childStart_).count();
    // Tenths of a second, without the locale's decimal separator.
    const int64_t tenths = static_cast<int64_t>(seconds * 10 + 0.5);
    WriteLine(LogTimeStamp() + " end: exit code " + std::to_string(exitCode) + (killed ? " (killed)" : "") +
              " after " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s");
}

void TRunLog::Message(const std::string& text) { WriteLine(LogTimeStamp() + " " + OneLine(text)); }

}  // namespace qb::app
