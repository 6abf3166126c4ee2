// The quiltbatch program running a queue with a fake stitcher, as a user starts it from a
// desktop or a terminal: a second program hands its projects to the running one, a
// terminating signal ends the run with nothing left behind, and a second window of its own
// (--new-instance) does not disturb the first one's files.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "model/datastructures.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "settings/options.h"
#include "tests/app/pipeline_fixture.h"
#include "tests/support/tempdir.h"

extern char** environ;

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// True when the process has gone (or is a zombie waiting for its parent).
bool Gone(int pid) {
    const std::string stat = qb::test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return stat.empty() || close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

bool Eventually(const std::function<bool()>& done, int seconds = 60) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class ProgramRun : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        images = Path("in/");
        std::filesystem::create_directories(images);
        std::filesystem::create_directories(Path("out"));
        std::filesystem::create_directories(Path("logs"));
        store = Path("store.sqlite3");
    }
    void TearDown() override {
        for (int pid : started)
            if (!Gone(pid)) kill(pid, SIGKILL);
        for (int pid : started) waitpid(pid, nullptr, 0);
        TempDirTest::TearDown();
    }

    // The stitcher every run uses, with the given body.
    void UseStitcher(const std::string& body) {
        const std::string stitcher = MakeProgram(Path("tools/PTStitcher"), Path("logs/stitcher"), body);
        qb::platform::TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey(qb::settings::OptionsRegistryKey, true));
        reg.WriteString("PTStitcherApp", stitcher);
    }
    // A project of one image (in the images folder) whose panorama is out/<output>.
    std::string Project(const std::string& name, const std::string& output) {
        qb::TvrdProject p;
        p.Width = 400;
        p.Height = 200;
        p.Panorama.Projection = 1;
        p.Panorama.Hfov = 100;
        p.Panorama.OutputFormat = 8;
        p.Panorama.OutputFile = Path("out/" + output);
        p.EnblendEnabled = false;
        qb::TvrdImage& im = p.AddImage();
        im.FileName = images + "img0.jpg";
        im.Width = 80;
        im.Height = 60;
        im.CropRight = 80;
        im.CropBottom = 60;
        if (!FileExists(im.FileName)) qb::test::WriteFile(im.FileName, "not read");
        const std::string file = Path(name);
        qb::test::WriteFile(file, qb::MakeScriptText(p, qb::ScriptMode::Project));
        return file;
    }
    // The program's window (--window: offscreen would otherwise make it a batch run), or a
    // batch run, with this test's store, started in `cwd`; its process id.
    int Start(const std::string& args, const std::string& log, const std::string& cwd = std::string(),
              bool window = true) {
        const std::string command = "cd " + Quote(cwd.empty() ? dir : cwd) +
                                    " && exec env -u PANO12_LIBRARY KELMORA_REGISTRY=" + Quote(store) +
                                    " QT_QPA_PLATFORM=offscreen " + Quote(QB_BINARY_DIR "/bin/quiltbatch") +
                                    (window ? " --window " : " ") + args + " >" + Quote(Path("logs/" + log)) + " 2>&1";
        std::string sh = "/bin/sh", c = "-c";
        char* argv[] = {sh.data(), c.data(), const_cast<char*>(command.c_str()), nullptr};
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ), 0);
        started.push_back(pid);
        return pid;
    }
    // Waits for the program's end: its wait status, or -1 when it is still running after
    // `seconds` (it is then killed).
    int Wait(int pid, int seconds = 120) {
        int status = 0;
        const bool ended = Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return status;
    }
    std::string Log(const std::string& name) { return qb::test::ReadFile(Path("logs/" + name)); }
    std::vector<std::string> TemporaryFiles() {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(images))
            if (e.path().filename().string()[0] == '_') out.push_back(e.path().filename().string());
        return out;
    }
    std::string Flag(const std::string& name) { return Path("logs/" + name + ".flag"); }
    // A stitcher that notes its start in logs/<name of its result>, works on a file of its
    // own in its working directory, locked the way the stitcher front locks its files, until
    // the flag of that name is raised, then writes its result.
    static constexpr const char* kStitcher =
        "marker=$(basename \"$2\")\n"
        "exec 9>_PTStitcher_tmp_$marker\nflock 9\n"
        "echo $$ > \"$LOGS$marker\"\n"
        "while [ ! -e \"$LOGS$marker.flag\" ]; do sleep 0.05; done\n"
        "echo stitched > \"$2.tif\"\n";
    void UseLockingStitcher() { UseStitcher("LOGS='" + Path("logs/") + "'\n" + kStitcher); }

    std::string images, store;
    std::vector<int> started;
};

TEST_F(ProgramRun, ASecondProgramHandsItsProjectsToTheRunningOne) {
    UseLockingStitcher();
    const std::string first = Project("first.pts", "first.tif");
    Project("second.pts", "second.tif");
    const int running = Start("-x " + Quote(first), "first.txt");
    ASSERT_TRUE(Eventually([&] { return FileExists(Path("logs/first")); })) << Log("first.txt");
    // The second program, started elsewhere with a relative name, ends at once; the
    // running one stitches its project after its own and then, -x, ends.
    std::filesystem::create_directories(Path("elsewhere"));
    const int second = Start("../second.pts", "second.txt", Path("elsewhere"));
    const int status = Wait(second, 60);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << Log("second.txt");
    EXPECT_FALSE(FileExists(Path("logs/second")));
    qb::test::WriteFile(Flag("first"), "");
    ASSERT_TRUE(Eventually([&] { return FileExists(Path("logs/second")); })) << Log("first.txt");
    qb::test::WriteFile(Flag("second"), "");
    const int end = Wait(running);
    ASSERT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end << Log("first.txt");
    EXPECT_TRUE(FileExists(Path("out/first.tif")));
    EXPECT_TRUE(FileExists(Path("out/second.tif")));
    EXPECT_TRUE(TemporaryFiles().empty());
}

TEST_F(ProgramRun, ABatchRunBesideAnOpenWindowDoesItsOwnWork) {
    UseLockingStitcher();
    const int window = Start("-x " + Quote(Project("first.pts", "first.tif")), "first.txt");
    ASSERT_TRUE(Eventually([&] { return FileExists(Path("logs/first")); })) << Log("first.txt");
    // The window's queue is held by its first project; a batch run that handed its project
    // over would end at once without it.
    qb::test::WriteFile(Flag("second"), "");
    const int batch = Start(Quote(Project("second.pts", "second.tif")), "second.txt", std::string(), false);
    const int status = Wait(batch);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << Log("second.txt");
    EXPECT_TRUE(FileExists(Path("out/second.tif"))) << Log("second.txt");
    EXPECT_FALSE(FileExists(Path("out/first.tif")));
    qb::test::WriteFile(Flag("first"), "");
    const int end = Wait(window);
    ASSERT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end << Log("first.txt");
    EXPECT_TRUE(FileExists(Path("out/first.tif")));
}

TEST_F(ProgramRun, ASecondWindowOfItsOwnLeavesTheFirstOnesFilesAlone) {
    UseLockingStitcher();
    const int first = Start("-x " + Quote(Project("first.pts", "first.tif")), "first.txt");
    ASSERT_TRUE(Eventually([&] { return FileExists(Path("logs/first")); })) << Log("first.txt");
    // A second window of its own over the same images finishes a run while the first
    // one's stitcher still works with its file.
    qb::test::WriteFile(Flag("second"), "");
    const int second = Start("--new-instance -x " + Quote(Project("second.pts", "second.tif")), "second.txt");
    const int status = Wait(second);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << Log("second.txt");
    EXPECT_TRUE(FileExists(Path("out/second.tif")));
    // The first run's script and working file are still there.
    EXPECT_EQ(TemporaryFiles(), (std::vector<std::string>{"_PTStitcher_tmp_first", "_vrdtmp_0.txt"}));
    qb::test::WriteFile(Flag("first"), "");
    const int end = Wait(first);
    ASSERT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end << Log("first.txt");
    EXPECT_TRUE(FileExists(Path("out/first.tif")));
    EXPECT_TRUE(TemporaryFiles().empty());
}

TEST_F(ProgramRun, ATerminatingSignalEndsTheRunWithNothingLeftRunningOrBehind) {
    // The stitcher starts a helper of its own (as the front starts PTmender), leaves a
    // working file and part of its result, and works on.
    UseStitcher("sleep 300 &\necho $! > helper.pid.part\necho work > _PTStitcher_tmp_1\n"
                "echo part > \"$2.tif\"\necho $$ >> helper.pid.part\nmv helper.pid.part " +
                Quote(Path("logs/pids")) + "\nwait\n");
    struct Case {
        int signal;
        bool caught;
    };
    const Case cases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGKILL, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        std::filesystem::remove(Path("logs/pids"));
        const std::string project = Project("project.pts", "pano.tif");
        const int program = Start("-d " + Quote(project), "run.txt");
        ASSERT_TRUE(Eventually([&] { return FileExists(Path("logs/pids")); })) << Log("run.txt");
        int helper = 0, stitcher = 0;
        ASSERT_EQ(sscanf(qb::test::ReadFile(Path("logs/pids")).c_str(), "%d %d", &helper, &stitcher), 2);
        kill(program, c.signal);
        const int status = Wait(program, 60);
        if (c.caught) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + c.signal) << status << Log("run.txt");
        } else {
            EXPECT_TRUE(WIFSIGNALED(status)) << status;
        }
        EXPECT_TRUE(Eventually([&] { return Gone(helper) && Gone(stitcher); }, 20));
        if (c.caught) {
            EXPECT_TRUE(TemporaryFiles().empty());
            EXPECT_FALSE(FileExists(Path("out/pano.tif"))) << Log("run.txt");
            // The project was not done: -d does not remove it.
            EXPECT_TRUE(FileExists(project));
        }
        for (const std::string& f : TemporaryFiles()) std::filesystem::remove(images + f);
    }
}

}  // namespace
}  // namespace qb::app::test
