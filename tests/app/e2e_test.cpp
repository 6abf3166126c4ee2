// The batch stitcher from command line to finished panorama, with the real PTmender (through
// the PTStitcher front) and the real Enblend: three overlapping views of a synthetic scene,
// rendered by PTmender itself so that their geometry is exact, queued with -x.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <string>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "model/datastructures.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "settings/options.h"
#include "tests/support/scene.h"
#include "tests/support/sceneproject.h"
#include "tests/support/tempdir.h"

using namespace qb;
using platform::FileExists;
using platform::FindFiles;
using test::Shell;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared.Make(); }
    static void TearDownTestSuite() { shared.Remove(); }

    void SetUp() override {
        dir = test::MakeTempDir("qbe2e");
        images = dir + "My Pictures/";
        output = dir + "out/";
        mkdir(images.c_str(), 0700);
        mkdir(output.c_str(), 0700);
        shared.CopyViews(images);
        store = dir + "store.sqlite3";
    }
    void TearDown() override { test::RemoveTree(dir); }

    // A project of the three views: cylindrical, 150 degrees, 1200 x 400 unless said.
    std::string WriteProject(int format, bool enblend, const std::string& outputName,
                             const std::string& projectName = "project.pts", int width = 1200) {
        TvrdProject p;
        test::SetThreeViewProject(p, images, views, width);
        p.Panorama.OutputFormat = format;
        p.Panorama.OutputFile = output + outputName;
        p.EnblendEnabled = enblend;
        const std::string name = dir + projectName;
        test::WriteFile(name, MakeScriptText(p, ScriptMode::Project));
        return name;
    }

    void Setting(const std::string& name, const std::string& value) {
        platform::TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey(settings::OptionsRegistryKey, true));
        reg.WriteString(name, value);
    }

    // The program as a user starts it, offscreen, with this test's settings; its exit code.
    int Quiltbatch(const std::string& args) {
        return Shell("cd '" + dir + "' && KELMORA_REGISTRY='" + store +
                     "' QT_QPA_PLATFORM=offscreen timeout 300 '" QB_BINARY_DIR "/bin/quiltbatch' " + args +
                     " >'" + dir + "log.txt' 2>&1");
    }

    // Nothing but the views is left in the images' folder.
    void ExpectNoTemporaryFiles() {
        EXPECT_EQ(FindFiles(images, "*"), (std::vector<std::string>{"view0.tif", "view1.tif", "view2.tif"}));
    }

    static inline test::ThreeViewScene shared;
    static inline const std::string& reference = shared.reference;
    static inline const std::vector<test::View>& views = shared.views;
    std::string dir, images, output, store;
};

void Size(const std::string& file, int& w, int& h) {
    w = h = 0;
    TzrMemBitmap::GetSizeFromFile(file, &w, &h);
}

}  // namespace

TEST_F(EndToEnd, TiffWithEnblendGivesTheBlendedPanorama) {
    Setting("EnblendDir", "/usr/bin");
    const std::string project = WriteProject(8, true, "pano.tif");
    const std::string before = test::ReadFile(project);
    ASSERT_EQ(Quiltbatch("-x '" + project + "'"), 0) << test::ReadFile(dir + "log.txt");
    ASSERT_TRUE(FileExists(output + "pano.tif")) << test::ReadFile(dir + "log.txt");
    int w, h;
    Size(output + "pano.tif", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    // Enblend's seams and blending leave the scene as it was where the views cover it.
    const auto agreement = test::CompareWhereOpaque(output + "pano.tif", reference, output + "pano.tif", 32);
    EXPECT_GT(agreement.compared, 200000);
    EXPECT_GT(agreement.share, 0.95);
    // The layers, the script and the stitcher's leftovers are gone; the project is untouched;
    // the run's log is beside the panorama.
    EXPECT_EQ(FindFiles(output, "*"), (std::vector<std::string>{"pano.log", "pano.tif"}));
    ExpectNoTemporaryFiles();
    EXPECT_EQ(test::ReadFile(project), before);
    // The log of the run: each program's command line, working directory, output and exit.
    const std::string log = test::ReadFile(output + "pano.log");
    const auto count = [&log](const std::string& part) {
        size_t n = 0;
        for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("project " + project + "\n"), 1u) << log;
    EXPECT_EQ(count(" start: \"" QB_BINARY_DIR "/bin/Helpers/PTStitcher\" -o \"" + output + "pano\" \"" + images +
                    "_vrdtmp_0.txt\"\n"),
              1u)
        << log;
    EXPECT_EQ(count(" start: \"/usr/bin/enblend\" "), 1u) << log;
    EXPECT_EQ(count("  working directory: " + images + "\n"), 2u) << log;
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(count("  out| Converting Image " + std::to_string(k) + " / 3 "), 1u) << log;
    EXPECT_EQ(count("  err| enblend: info: writing final output\n"), 1u) << log;
    EXPECT_EQ(count(" end: exit code 0 after "), 2u) << log;
    EXPECT_EQ(log.find('\b'), std::string::npos);
}

TEST_F(EndToEnd, JpegWithoutEnblendGivesTheFlattenedJpeg) {
    const std::string project = WriteProject(7, false, "pano.jpg");
    ASSERT_EQ(Quiltbatch("-x '" + project + "'"), 0) << test::ReadFile(dir + "log.txt");
    ASSERT_TRUE(FileExists(output + "pano.jpg")) << test::ReadFile(dir + "log.txt");
    int w, h;
    Size(output + "pano.jpg", w, h);
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 400);
    // Compared where the stitcher's own flattening is opaque.
    ASSERT_EQ(Shell("cd '" + images + "' && printf 'p w1200 h400 f1 v150 n\"TIFF\"\\nm g1 i0\\n"
                    "i n\"view0.tif\"\\no f0 y-40 r0 p0 v60 a0 b0 c0\\n"
                    "i n\"view1.tif\"\\no f0 y0 r0 p0 v60 a0 b0 c0\\n"
                    "i n\"view2.tif\"\\no f0 y40 r0 p0 v60 a0 b0 c0\\n' > ../mask.txt && "
                    "'" QB_BINARY_DIR "/bin/Helpers/PTStitcher' -o ../mask ../mask.txt >/dev/null 2>&1"),
              0);
    const auto agreement = test::CompareWhereOpaque(output + "pano.jpg", reference, dir + "mask.tif", 40);
    EXPECT_GT(agreement.share, 0.95);
    EXPECT_EQ(FindFiles(output, "*"), (std::vector<std::string>{"pano.jpg", "pano.log"}));
    for (const auto& n : FindFiles(images, "_PTStitcher_tmp_*")) platform::DeleteFile(images + n);
    ExpectNoTemporaryFiles();
}

TEST_F(EndToEnd, PreviewShowsTheSmallJpegInTheViewer) {
    // A viewer that records what it was asked to show, and a copy of it.
    const std::string viewer = dir + "viewer.sh";
    test::WriteFile(viewer, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\" >> '" + dir +
                                "viewer-args.txt'; done\ncp \"$1\" '" + dir + "shown.jpg'\n");
    chmod(viewer.c_str(), 0755);
    Setting("CylViewerApp", viewer);
    const std::string project = WriteProject(8, true, "pano.tif");
    ASSERT_EQ(Quiltbatch("-x -v '" + project + "'"), 0) << test::ReadFile(dir + "log.txt");
    // One argument, although the images' folder has a blank in its name.
    const std::string args = test::ReadFile(dir + "viewer-args.txt");
    EXPECT_EQ(args.rfind(images + "_vrdtmp_", 0), 0u) << args;
    EXPECT_EQ(args.find('\n'), args.size() - 1) << args;
    int w, h;
    Size(dir + "shown.jpg", w, h);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 100);
    // The final panorama was not made, and the preview is deleted after the viewer ended;
    // the log of the run is where the panorama's would be.
    EXPECT_EQ(FindFiles(output, "*"), std::vector<std::string>{"pano.log"});
    ExpectNoTemporaryFiles();
}

namespace {

// Processes whose parent is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0) continue;
        const std::string stat = test::ReadFile("/proc/" + std::string(e->d_name) + "/stat");
        // pid (comm) state ppid ...: the name may hold blanks, so read after its ')'.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) out.push_back(pid);
    }
    closedir(d);
    return out;
}

// Whether any process of the group is left (zombies waiting for their parent included).
bool GroupAlive(pid_t group) { return kill(-group, 0) == 0 || errno != ESRCH; }

}  // namespace

TEST_F(EndToEnd, BatchRunSkipsABrokenProjectAndEndsWithTheStatusOfTheQueue) {
    Setting("EnblendDir", "/usr/bin");
    const std::string first = WriteProject(8, true, "first.tif", "first.pts");
    // The second project names an image that is not there.
    std::string text = test::ReadFile(WriteProject(7, false, "second.jpg", "second.pts"));
    const size_t at = text.find("view1.tif");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 9, "gone1.tif");
    const std::string second = dir + "second.pts";
    test::WriteFile(second, text);
    const std::string third = WriteProject(7, false, "third.jpg", "third.pts");
    // The run ends by itself: timeout's 124 would say it did not.
    EXPECT_EQ(Quiltbatch("--batch '" + first + "' '" + second + "' '" + third + "'"), 1)
        << test::ReadFile(dir + "log.txt");
    const std::string err = test::ReadFile(dir + "log.txt");
    EXPECT_TRUE(FileExists(output + "first.tif")) << err;
    EXPECT_TRUE(FileExists(output + "third.jpg")) << err;
    EXPECT_FALSE(FileExists(output + "second.jpg"));
    EXPECT_NE(err.find("quiltbatch: error: " + second + ": Image does not exist: " + images + "gone1.tif\n"),
              std::string::npos)
        << err;
    // A line per stage, and the children's output prefixed with the project.
    EXPECT_NE(err.find("quiltbatch: " + first + ": Converting image 2 of 3\n"), std::string::npos) << err;
    EXPECT_NE(err.find("quiltbatch: " + first + ": Blending image 3 of 3\n"), std::string::npos) << err;
    EXPECT_NE(err.find("quiltbatch: " + third + ": Flattening the layers\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\n" + third + ": Converting Image 1 / 3 "), std::string::npos) << err;
    // Counters show as the terminal would leave them, without their backspaces.
    EXPECT_EQ(err.find('\b'), std::string::npos);
    // The last line names the failed project.
    ASSERT_GE(err.size(), 2u);
    const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
    EXPECT_EQ(last, "quiltbatch: 1 of 3 projects failed: " + second + "\n");
    for (const auto& n : FindFiles(images, "_PTStitcher_tmp_*")) ADD_FAILURE() << "left behind: " << n;
    ExpectNoTemporaryFiles();
}

TEST_F(EndToEnd, SigtermDuringARealStitchEndsTheBatchRunWith143AndNothingLeft) {
    // Large enough for PTmender to be at work for a few seconds.
    const std::string project = WriteProject(8, false, "big.tif", "big.pts", 3000);
    const std::string program = QB_BINARY_DIR "/bin/quiltbatch";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("KELMORA_REGISTRY", store.c_str(), 1);
        if (chdir(dir.c_str()) != 0) _exit(120);
        const std::string err = dir + "log.txt";
        freopen(err.c_str(), "w", stderr);
        freopen("/dev/null", "w", stdout);
        execl(program.c_str(), program.c_str(), "--batch", project.c_str(), static_cast<char*>(nullptr));
        _exit(121);
    }
    // Wait (at most two minutes) for PTmender: the front's child, in the front's group.
    pid_t group = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline && group == 0) {
        for (pid_t front : ChildrenOf(pid))
            if (!ChildrenOf(front).empty()) group = getpgid(front);
        if (group == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(group, 0) << test::ReadFile(dir + "log.txt");
    ASSERT_NE(group, getpgid(0));
    kill(pid, SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - signalled < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "still running 30 s after SIGTERM";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 143) << test::ReadFile(dir + "log.txt");
    // A second or two on an idle machine; this one may be loaded.
    EXPECT_LT(seconds, 10.0);
    // Nothing of the stitcher's group runs on, and nothing of the run is left.
    for (int i = 0; i < 500 && GroupAlive(group); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(GroupAlive(group));
    ExpectNoTemporaryFiles();
    EXPECT_TRUE(FindFiles(output, "big*.tif").empty());
}
