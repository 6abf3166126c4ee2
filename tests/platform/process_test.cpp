#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/files.h"
#include "platform/syserror.h"
#include "tests/support/tempdir.h"

using namespace qb::platform;
using qb::test::ReadFile;
using qb::test::TempDirTest;

TEST(SplitCommandLine, WindowsRules) {
    struct Case {
        const char* line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a b  c", {"a", "b", "c"}},
        {"a\tb", {"a", "b"}},
        {"\"C:\\Program Files\\x.exe\" -o \"out dir\\pano\" script.txt",
         {"C:\\Program Files\\x.exe", "-o", "out dir\\pano", "script.txt"}},
        {"\"a b\"c d", {"a bc", "d"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"\\\"a", {"\"a"}},                   // \"  -> literal quote
        {"\\\\\"a b\"", {"\\a b"}},           // \\" -> backslash, quote groups
        {"\\\\\\\"a", {"\\\"a"}},             // \\\" -> backslash and literal quote
        {"a\\\\b", {"a\\\\b"}},               // backslashes not before a quote are literal
        {"\"a\\\\\"", {"a\\"}},               // closing quote after an even run
        {"\"a \"\" b\"", {"a \" b"}},         // "" inside quotes is a quote
        {"\"unterminated arg", {"unterminated arg"}},
        {"/tmp/x\\ y", {"/tmp/x\\", "y"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

namespace {

class Process : public TempDirTest {
protected:
    // Polls until the child has ended; its exit code.
    uint32_t WaitFor(THandle h, int seconds = 20) {
        uint32_t code = STILL_ACTIVE;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            EXPECT_TRUE(GetExitCodeProcess(h, code));
            if (code != STILL_ACTIVE) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return code;
    }
    bool Alive(pid_t pid) { return kill(pid, 0) == 0; }
    std::string Script(const std::string& name, const std::string& body) {
        const std::string path = Path(name);
        qb::test::WriteFile(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
        return path;
    }
};

}  // namespace

TEST_F(Process, RunsInTheWorkingDirectoryWithItsArgumentsAndReportsTheExitCode) {
    const std::string script = Script("child.sh",
        "pwd > out.txt\nfor a in \"$@\"; do echo \"[$a]\" >> out.txt; done\nexit 7");
    TProcessInformation pi;
    ASSERT_TRUE(CreateProcess(script, "\"" + script + "\" one \"two words\" \"\"", dir, pi));
    EXPECT_GT(pi.hProcess, 0);
    EXPECT_NE(pi.hThread, 0);
    EXPECT_EQ(WaitFor(pi.hProcess), 7u);
    // The code stays readable after the child has been reaped.
    uint32_t again = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, again));
    EXPECT_EQ(again, 7u);
    EXPECT_EQ(ReadFile(Path("out.txt")), ExcludeTrailingPathDelimiter(dir) + "\n[one]\n[two words]\n[]\n");
    CloseHandle(pi.hProcess);
    EXPECT_FALSE(GetExitCodeProcess(pi.hProcess, again));
}

TEST_F(Process, EmptyWorkingDirectoryMeansTheCurrentOne) {
    const std::string script = Script("child.sh", "pwd > \"$1\"");
    TProcessInformation pi;
    ASSERT_TRUE(CreateProcess(script, "x " + Path("where.txt"), "", pi));
    EXPECT_EQ(WaitFor(pi.hProcess), 0u);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(ReadFile(Path("where.txt")), std::string(cwd) + "\n");
    CloseHandle(pi.hProcess);
}

TEST_F(Process, StartFailuresCarryTheSystemsMessage) {
    TProcessInformation pi;
    EXPECT_FALSE(CreateProcess(Path("missing"), "missing", "", pi));
    EXPECT_EQ(SysErrorMessage(GetLastError()), "No such file or directory");
    const std::string text = Path("text.txt");
    qb::test::WriteFile(text, "not a program");
    EXPECT_FALSE(CreateProcess(text, "text", "", pi));
    EXPECT_EQ(GetLastError(), EACCES);
    const std::string script = Script("ok.sh", "exit 0");
    EXPECT_FALSE(CreateProcess(script, "ok", Path("no-such-dir"), pi));
}

TEST_F(Process, TerminateEndsTheWholeGroup) {
    const std::string script = Script("parent.sh",
        "sleep 300 &\necho $! > grandchild.pid\nwait");
    TProcessInformation pi;
    ASSERT_TRUE(CreateProcess(script, "parent", dir, pi));
    pid_t grandchild = 0;
    for (int i = 0; i < 500 && grandchild == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string text = ReadFile(Path("grandchild.pid"));
        if (!text.empty() && text.back() == '\n') grandchild = std::atoi(text.c_str());
    }
    ASSERT_GT(grandchild, 0);
    uint32_t code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_TRUE(TerminateProcess(pi.hProcess, 1));
    EXPECT_EQ(WaitFor(pi.hProcess), 1u);
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = !Alive(grandchild);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the grandchild survived";
    // Terminating an ended child does nothing.
    EXPECT_FALSE(TerminateProcess(pi.hProcess, 5));
    EXPECT_EQ(WaitFor(pi.hProcess), 1u);
    CloseHandle(pi.hProcess);
}

TEST_F(Process, PriorityMovesTheGroupsNiceValue) {
    const std::string script = Script("sleeper.sh", "sleep 300");
    TProcessInformation pi;
    ASSERT_TRUE(CreateProcess(script, "sleeper", dir, pi));
    const id_t group = static_cast<id_t>(pi.hProcess);
    const int base = getpriority(PRIO_PROCESS, 0);
    ASSERT_TRUE(SetThreadPriority(pi.hThread, TThreadPriority::tpLower));
    errno = 0;
    EXPECT_EQ(getpriority(PRIO_PROCESS, group), std::max(base, 10));
    // Back to normal is best effort for an unprivileged process.
    if (SetThreadPriority(pi.hThread, TThreadPriority::tpNormal)) {
        EXPECT_EQ(getpriority(PRIO_PROCESS, group), 0);
    }
    EXPECT_FALSE(SetThreadPriority(pi.hProcess, TThreadPriority::tpLower));
    EXPECT_TRUE(TerminateProcess(pi.hProcess, 1));
    WaitFor(pi.hProcess);
    CloseHandle(pi.hProcess);
}

TEST_F(Process, ClosedHandlesOfRunningChildrenAreReapedLater) {
    const std::string script = Script("quick.sh", "sleep 0.2");
    TProcessInformation pi;
    ASSERT_TRUE(CreateProcess(script, "quick", dir, pi));
    const pid_t pid = static_cast<pid_t>(pi.hProcess);
    CloseHandle(pi.hProcess);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // Starting another child reaps the closed one, so no zombie stays.
    TProcessInformation other;
    ASSERT_TRUE(CreateProcess(script, "quick", dir, other));
    EXPECT_FALSE(Alive(pid));
    EXPECT_EQ(WaitFor(other.hProcess), 0u);
    CloseHandle(other.hProcess);
}

TEST_F(Process, EmptyExecutableSearchesThePath) {
    TProcessInformation pi;
    ASSERT_TRUE(CreateProcess("", "sh -c \"exit 3\"", dir, pi));
    EXPECT_EQ(WaitFor(pi.hProcess), 3u);
    CloseHandle(pi.hProcess);
}

namespace {

// True when the process has gone (or is a zombie waiting for its parent).
bool Gone(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return stat.empty() || close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

bool WaitGone(pid_t pid, int seconds = 20) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!Gone(pid) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Gone(pid);
}

}  // namespace

TEST_F(Process, CapturedOutputComesLineByLineWithItsStream) {
    const std::string longLine(20000, 'x');
    const std::string script = Script("talker.sh",
        "printf 'first\\r\\nsecond\\n\\n'\n"
        "printf 'oops\\n' >&2\n"
        "printf '%s\\n' '" + longLine + "'\n"
        "printf 'progress 10%%\\rprogress 20%%\\r'\n"
        "printf 'no end' >&2");
    TProcessInformation pi;
    TProcessOptions options;
    options.captureOutput = true;
    ASSERT_TRUE(CreateProcess(script, "talker", dir, pi, options));
    EXPECT_EQ(WaitFor(pi.hProcess), 0u);
    std::vector<std::string> out, err;
    auto collect = [&](TOutputStream s, const std::string& line) {
        (s == TOutputStream::osStdout ? out : err).push_back(line);
    };
    ReadProcessOutput(pi.hProcess, collect);
    // The unterminated last line only comes with the final read.
    EXPECT_EQ(err, std::vector<std::string>{"oops"});
    ReadProcessOutput(pi.hProcess, collect, true);
    const std::vector<std::string> expectedOut = {"first", "second", longLine.substr(0, 16384),
                                                  longLine.substr(16384), "progress 10%", "progress 20%"};
    EXPECT_EQ(out, expectedOut);
    EXPECT_EQ(err, (std::vector<std::string>{"oops", "no end"}));
    // Nothing is passed twice.
    ReadProcessOutput(pi.hProcess, collect, true);
    EXPECT_EQ(out.size(), expectedOut.size());
    CloseHandle(pi.hProcess);
    // Without capture the child's output stays ours and nothing is read.
    ASSERT_TRUE(CreateProcess(script, "talker", dir, pi));
    EXPECT_EQ(WaitFor(pi.hProcess), 0u);
    out.clear();
    ReadProcessOutput(pi.hProcess, collect, true);
    EXPECT_TRUE(out.empty());
    CloseHandle(pi.hProcess);
}

TEST_F(Process, AProgramThatDiesTakesItsChildrenAlongUnlessLetGo) {
    // A program of our own (a fork of this test) starts two children, each with a helper of
    // its own in its group, lets the second go, and is killed with SIGKILL, which it cannot
    // catch.
    const std::string script = Script("parent.sh", "sleep 300 &\necho $! > \"$1.helper\"\nwait");
    const pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        TProcessInformation kept, letGo;
        if (!CreateProcess(script, "parent kept", dir, kept) || !CreateProcess(script, "parent free", dir, letGo))
            _exit(1);
        DetachProcess(letGo.hProcess);
        qb::test::WriteFile(Path("pids"), std::to_string(kept.hProcess) + " " + std::to_string(letGo.hProcess) + "\n");
        for (;;) pause();
    }
    std::string pids;
    for (int i = 0; i < 2000 && (pids.empty() || pids.back() != '\n'); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pids = ReadFile(Path("pids"));
    }
    ASSERT_FALSE(pids.empty());
    pid_t kept = 0, letGo = 0;
    ASSERT_EQ(sscanf(pids.c_str(), "%d %d", &kept, &letGo), 2);
    pid_t keptHelper = 0, freeHelper = 0;
    for (int i = 0; i < 2000 && (keptHelper == 0 || freeHelper == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        keptHelper = std::atoi(ReadFile(Path("kept.helper")).c_str());
        freeHelper = std::atoi(ReadFile(Path("free.helper")).c_str());
    }
    ASSERT_GT(keptHelper, 0);
    ASSERT_GT(freeHelper, 0);
    kill(program, SIGKILL);
    int status = 0;
    waitpid(program, &status, 0);
    EXPECT_TRUE(WaitGone(kept)) << "the child outlived its program";
    EXPECT_TRUE(WaitGone(keptHelper)) << "the child's helper outlived the program";
    EXPECT_FALSE(Gone(letGo));
    EXPECT_FALSE(Gone(freeHelper));
    kill(-letGo, SIGKILL);
    EXPECT_TRUE(WaitGone(letGo));
}
