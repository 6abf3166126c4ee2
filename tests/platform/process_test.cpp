#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
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
