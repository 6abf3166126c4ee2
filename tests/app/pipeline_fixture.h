// The queue window with scripted answers, its settings written through the options form,
// and small fake outside programs (stitchers, Enblend, viewers) written as shell scripts
// that record their arguments and working directory, write or withhold their result, exit
// with a chosen code or sleep until they are killed.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QAction>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/progressunit.h"
#include "app/quiltbatchmain.h"
#include "app/scriptfileunit_include.h"
#include "model/datastructures.h"
#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "settings/options.h"
#include "tests/app/app_support.h"
#include "tests/support/tempdir.h"

namespace qb::app::test {

inline QApplication& PipelineApp() { return testsupport::TestApp(); }
using TBox = testsupport::TShownBox;
using TNoOptionsDialogs = testsupport::TSilentOptionsDialogs;

// What the fake dialogs saw and what they answer.
struct TDialogScript {
    std::vector<TBox> boxes;
    // Answers to boxes with more than one button, in order; when none is left such a box
    // is answered with Cancel and counted in `unanswered`.
    std::deque<TModalResult> answers;
    int unanswered = 0;
    // The review dialog; by default it answers OK and leaves the script as it is.
    std::function<TModalResult(std::string& script, const std::string& message)> review;
    int reviews = 0;
    std::string reviewMessage;
    // Called while a box is up, as the timer fires under a real modal box.
    std::function<void()> whileBoxShown;

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const TBox& b : boxes) out.push_back(b.text);
        return out;
    }
};

class TFakeMainDialogs : public IMainDialogs {
public:
    explicit TFakeMainDialogs(TDialogScript& s) : s_(s) {}
    TModalResult MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) override {
        s_.boxes.push_back({message, type, buttons});
        if (s_.whileBoxShown) s_.whileBoxShown();
        if (buttons == mbOK) return mrOk;
        if (s_.answers.empty()) {
            ++s_.unanswered;
            return mrCancel;
        }
        const TModalResult r = s_.answers.front();
        s_.answers.pop_front();
        return r;
    }
    bool OpenFiles(const TOpenDialog&, std::vector<std::string>&) override { return false; }
    TModalResult ExecuteScript(std::string& script, const std::string& message) override {
        ++s_.reviews;
        s_.reviewMessage = message;
        return s_.review ? s_.review(script, message) : mrOk;
    }
    bool OpenUrl(const std::string&) override { return true; }

private:
    TDialogScript& s_;
};

// A fake outside program: a shell script that records each start (one line of bracketed
// arguments in <log>.args, the working directory in <log>.cwd) and then runs `body`.
inline std::string MakeProgram(const std::string& path, const std::string& log, const std::string& body) {
    std::filesystem::create_directories(qb::platform::ExtractFilePath(path));
    qb::test::WriteFile(path, "#!/bin/sh\n"
                              "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> '" +
                                  log + ".args'\n"
                                  "echo >> '" +
                                  log + ".args'\n"
                                  "pwd >> '" +
                                  log + ".cwd'\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// The body of a stitcher ("-o <base> <script>"): keeps a copy of the script in
// <log>.script, writes <base><suffix> for each suffix, then exits with `code`.
inline std::string StitcherBody(const std::string& log, const std::vector<std::string>& suffixes, int code = 0) {
    std::string body = "cp \"$3\" '" + log + ".script'\n";
    for (const std::string& s : suffixes) body += "echo stitched > \"$2" + s + "\"\n";
    return body + "exit " + std::to_string(code) + "\n";
}

// Lines of a recorded file.
inline std::vector<std::string> Lines(const std::string& file) {
    std::vector<std::string> out;
    const std::string text = qb::test::ReadFile(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

class TScopedEnv {
public:
    TScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~TScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// The real Panorama Tools bridge of the build tree, and the stand-in libraries.
inline std::string BridgeLibrary() { return std::string(QB_BINARY_DIR) + "/bin/libpano12.so"; }
inline std::string StandinLibrary(const std::string& variant) {
    return std::string(QB_BINARY_DIR) + "/testlibs/libstandin_" + variant + ".so";
}

class PipelineTest : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        PipelineApp();
        images = Path("in/");
        std::filesystem::create_directories(images);
        logs = Path("logs/");
        std::filesystem::create_directories(logs);
        stitcher = MakeProgram(Path("tools/PTStitcher"), logs + "stitcher", StitcherBody(logs + "stitcher", {".tif"}));
    }
    void TearDown() override {
        DestroyForm();
        TempDirTest::TearDown();
    }

    // The windows of the program, over the library `library` (the real bridge unless said),
    // with the scripted dialogs unless others are given; `batch` makes a batch run's window.
    void CreateForm(const std::string& library = std::string(), std::unique_ptr<IMainDialogs> dialogs = nullptr,
                    bool batch = false) {
        DestroyForm();
        TScopedEnv lib(qb::Pano12LibraryVariable, library.empty() ? BridgeLibrary() : library);
        const char* store = std::getenv("KELMORA_REGISTRY");
        qb::settings::TOptionsSetup os;
        os.storeFile = store ? store : "";
        os.programDir = Path("prog/");
        os.dialogs = std::make_unique<TNoOptionsDialogs>();
        TMainFormSetup ms;
        ms.dialogs = dialogs ? std::move(dialogs) : std::make_unique<TFakeMainDialogs>(answers);
        ms.batch = batch;
        ms.storeFile = os.storeFile;
        ms.programDir = Path("prog/");
        form = std::make_unique<TMainForm>(std::move(ms));
        // Nothing moves until the test says so.
        form->Timer1->stop();
        scriptDialog = std::make_unique<TdlgShowScript>();
        progress = std::make_unique<TProgressForm>();
        options = std::make_unique<qb::settings::TfrmOptions>(nullptr, std::move(os));
        form->SetWindows(scriptDialog.get(), progress.get(), options.get());
        // Every value the pipeline reads, so that no test depends on another's settings.
        Set("PTStitcherApp", stitcher);
        Set("EnblendDir", "");
        Set("EnblendOptions", "");
        Set("RectViewerApp", "");
        Set("CylViewerApp", "");
        Set("PTViewerApp", "");
    }
    void DestroyForm() {
        if (form) {
            // Whatever a test left running goes with it.
            if (form->StitcherRunning || form->EnblendRunning || form->ViewerRunning)
                qb::platform::TerminateProcess(form->ChildProcess, 1);
            form->StitcherRunning = form->EnblendRunning = form->ViewerRunning = false;
        }
        form.reset();
        options.reset();
        progress.reset();
        scriptDialog.reset();
    }
    void Set(const std::string& name, const std::string& value) { options->WriteOptionString(name, value); }

    // A project with `count` images (existing files in the images directory unless said),
    // written as a project file; returns its name.
    qb::TvrdProject& NewProject(int count) {
        project = std::make_unique<qb::TvrdProject>();
        project->Panorama.Projection = 2;
        project->Panorama.Hfov = 180;
        project->Panorama.OutputFormat = 8;  // TIFF
        project->EnblendEnabled = false;
        project->Width = 400;
        project->Height = 200;
        std::filesystem::create_directories(Path("out"));
        project->Panorama.OutputFile = Path("out/pano.tif");
        for (int i = 0; i < count; ++i) {
            qb::TvrdImage& im = project->AddImage();
            im.FileName = images + "img" + std::to_string(i) + ".jpg";
            im.Width = 80;
            im.Height = 60;
            im.CropRight = 80;
            im.CropBottom = 60;
            im.Yaw = 40.0 * i;
            if (!qb::platform::FileExists(im.FileName)) qb::test::WriteFile(im.FileName, "not read");
        }
        return *project;
    }
    std::string SaveProject(const std::string& name = "project.pts") {
        const std::string file = Path(name);
        qb::test::WriteFile(file, qb::MakeScriptText(*project, qb::ScriptMode::Project));
        return file;
    }
    // Queues a project file and lets the queue take it (one step, errors shown as the timer
    // shows them).
    void QueueAndStep(const std::string& file) {
        form->AddProject(file, true);
        form->Timer1Timer();
    }
    // Runs the window's timer steps until `done` holds; false on timeout.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
        form->Timer1->start();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        bool ok = false;
        while (std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (done()) {
                ok = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        form->Timer1->stop();
        return ok;
    }
    bool Running() const { return form->StitcherRunning || form->EnblendRunning || form->ViewerRunning; }
    bool WaitIdle(int timeoutMs = 10000) {
        return RunUntil([this] { return !Running(); }, timeoutMs);
    }
    // The files of a directory whose names start with `prefix`.
    std::vector<std::string> FilesLike(const std::string& directory, const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(directory))
            if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().filename().string());
        return out;
    }
    // The queue stopped with the project first, as after every failure.
    void ExpectStoppedWithFirst(const std::string& file) {
        EXPECT_FALSE(form->Started);
        EXPECT_FALSE(Running());
        ASSERT_GE(form->QueueCount(), 1);
        EXPECT_EQ(form->QueueEntry(0), file);
        EXPECT_EQ(form->StatusText(), "Idle");
        EXPECT_TRUE(form->actStart->isEnabled());
        EXPECT_FALSE(form->actStart->isChecked());
    }

    TDialogScript answers;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TdlgShowScript> scriptDialog;
    std::unique_ptr<TProgressForm> progress;
    std::unique_ptr<qb::settings::TfrmOptions> options;
    std::unique_ptr<qb::TvrdProject> project;
    std::string images, logs, stitcher;
};

}  // namespace qb::app::test
