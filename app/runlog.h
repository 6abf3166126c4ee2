// The log of a project's runs: for every child (the stitcher, Enblend, a viewer) its command
// line, working directory, output, exit code and the time it took, appended to
// "<output name>.log" beside the panorama, or, where that folder cannot be written, to a
// file of the same name under $XDG_STATE_HOME/quiltbatch/ (~/.local/state/quiltbatch/).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qb::app {

class TRunLog {
public:
    TRunLog() = default;
    ~TRunLog() { Close(); }
    TRunLog(const TRunLog&) = delete;
    TRunLog& operator=(const TRunLog&) = delete;

    // The log's name beside the panorama: the output file with ".log" for its extension;
    // without an output file the project file's name with ".log".
    static std::string LogFileFor(const std::string& outputFile, const std::string& projectFile);
    // The folder of logs that cannot lie beside their panorama, with trailing '/'.
    static std::string StateDirectory();

    // Opens the log of a project for appending (the fallback folder when the file cannot be
    // made where it belongs) and writes the header of a new run. False when neither place
    // can be written; the log then stays closed and writes nothing.
    bool Open(const std::string& preferredFile, const std::string& projectFile);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    // The file being written (empty when none).
    const std::string& FileName() const { return name_; }

    // A child has been started / has printed a line / has ended with its exit code.
    void ChildStarted(const std::string& commandLine, const std::string& workDir);
    void ChildLine(const std::string& line, bool fromStderr);
    void ChildEnded(int64_t exitCode, bool killed);
    // A message of the run (shown to the user in a box or on stderr).
    void Message(const std::string& text);

private:
    void WriteLine(const std::string& line);

    std::FILE* file_ = nullptr;
    std::string name_;
    std::chrono::steady_clock::time_point childStart_{};
};

// The local time as "2024-05-01 14:03:59".
std::string LogTimeStamp();

}  // namespace qb::app
