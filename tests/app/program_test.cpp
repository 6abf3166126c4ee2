// The quiltbatch program as a user starts it: from the build tree and from an installed
// copy reached through its link in bin/, offscreen, with a registry store of its own.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "app/batchmode.h"
#include "settings/options.h"
#include "tests/support/tempdir.h"

namespace {

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command; its exit code, or -1 when it did not exit normally.
int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ProgramTest : public qb::test::TempDirTest {
protected:
    // The program with a store of this test's own, offscreen, without a library override,
    // stopped after 60 s should it hang.
    int Quiltbatch(const std::string& program, const std::string& args) {
        return Shell("env -u PANO12_LIBRARY KELMORA_REGISTRY=" + Quote(Path("store.sqlite3")) +
                   " QT_QPA_PLATFORM=offscreen timeout 60 " + Quote(program) + " " + args + " >" +
                   Quote(Path("out.txt")) + " 2>&1");
    }
    std::string Setting(const std::string& name) {
        qb::platform::TRegistry reg(Path("store.sqlite3"));
        if (!reg.OpenKey(qb::settings::OptionsRegistryKey, false)) return "(no key)";
        return reg.ReadString(name);
    }
};

TEST_F(ProgramTest, ExitWhenDoneWithoutProjectsEndsTheProgramAfterSeedingTheSettings) {
    const std::string program = std::string(QB_BINARY_DIR) + "/bin/quiltbatch";
    ASSERT_TRUE(qb::platform::FileExists(program));
    EXPECT_EQ(Quiltbatch(program, "-x"), 0) << qb::test::ReadFile(Path("out.txt"));
    EXPECT_EQ(Setting("PTStitcherApp"), std::string(QB_BINARY_DIR) + "/bin/Helpers/PTStitcher");
}

TEST_F(ProgramTest, AnInstalledCopyFindsItsLibraryStitcherAndManualThroughItsLink) {
    const std::string prefix = Path("prefix");
    ASSERT_EQ(Shell("cmake --install " + Quote(QB_BINARY_DIR) + " --prefix " + Quote(prefix) + " >" +
                  Quote(Path("install.txt")) + " 2>&1"),
              0)
        << qb::test::ReadFile(Path("install.txt"));
    const std::string link = prefix + "/bin/quiltbatch";
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    // The library directory's name is the platform's (lib, lib64, lib/<triplet>).
    const std::string real = std::filesystem::canonical(link).string();
    const std::string dir = qb::platform::ExtractFilePath(real);
    EXPECT_EQ(qb::platform::ExtractFileName(qb::platform::ExcludeTrailingPathDelimiter(dir)), "quiltbatch");
    EXPECT_TRUE(qb::platform::FileExists(dir + "libpano12.so"));
    EXPECT_TRUE(qb::platform::FileExists(dir + "Helpers/PTStitcher"));
    EXPECT_TRUE(qb::platform::FileExists(dir + "docs/index.html"));
    EXPECT_TRUE(std::filesystem::is_symlink(prefix + "/bin/quiltbatch-options"));

    EXPECT_EQ(Quiltbatch(link, "-x"), 0) << qb::test::ReadFile(Path("out.txt"));
    EXPECT_EQ(Setting("PTStitcherApp"), dir + "Helpers/PTStitcher");
}

TEST_F(ProgramTest, HelpAndVersionArePrintedWithoutAWindow) {
    const std::string program = std::string(QB_BINARY_DIR) + "/bin/quiltbatch";
    struct Case {
        const char* args;
        const char* starts;
    };
    const Case cases[] = {
        {"--help", "Command line usage:\n\nquiltbatch <options>"},
        {"-h", "Command line usage:\n\nquiltbatch <options>"},
        {"--version", "quiltbatch (Vorda Stitcher) 4.0\n"},
        // Without a display at all: nothing of the window is needed.
        {"--help -x project.pts", "Command line usage:"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Shell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 60 " + Quote(program) + " " +
                        c.args + " >" + Quote(Path("out.txt")) + " 2>" + Quote(Path("err.txt"))),
                  0)
            << c.args;
        EXPECT_EQ(qb::test::ReadFile(Path("out.txt")).rfind(c.starts, 0), 0u) << c.args << ": "
                                                                              << qb::test::ReadFile(Path("out.txt"));
        EXPECT_EQ(qb::test::ReadFile(Path("err.txt")), "") << c.args;
    }
    EXPECT_NE(qb::test::ReadFile(Path("out.txt")).find("--new-instance"), std::string::npos);
}

TEST_F(ProgramTest, BatchRunsEndByThemselvesWithTheStatusOfTheirCommandLineAndQueue) {
    const std::string program = std::string(QB_BINARY_DIR) + "/bin/quiltbatch";
    qb::test::WriteFile(Path("bad.pts"), "not a project");
    const std::string failed = "quiltbatch: error: bad.pts: This is not a Vorda project file.\n";
    struct Case {
        const char* env;  // how Qt and the display are set up
        const char* args;
        int status;
        std::string last;  // the last line on stderr
    };
    const char* offscreen = "QT_QPA_PLATFORM=offscreen";
    const Case cases[] = {
        // A bad command line: nothing is stitched.
        {offscreen, "--batch -s bad.pts", 2, std::string("quiltbatch: error: ") + qb::app::kBatchShowScriptMessage},
        {offscreen, "--batch -q bad.pts", 2, "quiltbatch: error: Unknown command line parameter: -q"},
        {offscreen, "--batch missing.pts", 2, "quiltbatch: error: File does not exist: missing.pts"},
        {offscreen, "--batch --window", 2, "quiltbatch: error: --batch and --window cannot be given together."},
        // Nothing to do is done at once.
        {offscreen, "--batch", 0, ""},
        // A project that fails is skipped, and named at the end.
        {offscreen, "--batch bad.pts", 1, "quiltbatch: 1 of 1 projects failed: bad.pts"},
        // Batch runs by themselves: Qt offscreen or minimal, or no display at all.
        {offscreen, "bad.pts bad.pts", 1, "quiltbatch: 2 of 2 projects failed: bad.pts, bad.pts"},
        {"QT_QPA_PLATFORM=minimal", "-x bad.pts", 1, "quiltbatch: 1 of 1 projects failed: bad.pts"},
        {"-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM", "bad.pts", 1,
         "quiltbatch: 1 of 1 projects failed: bad.pts"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.env) + " " + c.args);
        // timeout's 124 would say that the run did not end by itself.
        const int status = Shell("cd " + Quote(dir) + " && env -u PANO12_LIBRARY " + c.env + " KELMORA_REGISTRY=" +
                                 Quote(Path("store.sqlite3")) + " timeout 60 " + Quote(program) + " " + c.args +
                                 " >" + Quote(Path("out.txt")) + " 2>" + Quote(Path("err.txt")));
        const std::string err = qb::test::ReadFile(Path("err.txt"));
        EXPECT_EQ(status, c.status) << err;
        // No window, no box: the messages are lines on stderr, nothing goes to stdout.
        EXPECT_EQ(qb::test::ReadFile(Path("out.txt")), "");
        if (c.last.empty()) {
            EXPECT_EQ(err.find("quiltbatch: "), std::string::npos) << err;
            continue;
        }
        ASSERT_FALSE(err.empty());
        const size_t start = err.rfind('\n', err.size() - 2);
        EXPECT_EQ(err.substr(start == std::string::npos ? 0 : start + 1), c.last + "\n") << err;
        if (c.status == 1) {
            EXPECT_NE(err.find(failed), std::string::npos) << err;
        }
    }
}

}  // namespace
