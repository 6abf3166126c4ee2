// The program's four windows as the start sequence makes them, with scripted dialogs, a
// registry store and a program directory of each test's own, over the real Panorama Tools
// bridge of the build tree. The timer is stopped: tests step the queue themselves.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
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

#include "app/quiltbatchapp.h"
#include "app/quiltbatchmain.h"
#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "platform/process.h"
#include "settings/options.h"
#include "tests/app/app_support.h"
#include "tests/support/tempdir.h"

namespace qb::app::queuetest {

using testsupport::TShownBox;
using testsupport::TSilentOptionsDialogs;
inline QApplication& QueueApp() { return testsupport::TestApp(); }

// What the window showed and what it is answered.
struct TScript {
    std::vector<TShownBox> boxes;
    // Answers to message boxes, in order; a box without a scripted answer gets OK when it
    // has an OK button, else Cancel.
    std::deque<TModalResult> answers;
    std::vector<TOpenDialog> openRequests;
    std::deque<std::vector<std::string>> openAnswers;  // an empty list stands for Cancel
    std::vector<std::string> urls;
    bool browserWorks = true;  // whether OpenUrl finds a browser
    std::function<TModalResult(std::string&, const std::string&)> review;
    // Called while a box is up (the modal loop of a real box keeps the timer running).
    std::function<void()> whileBoxShown;

    std::vector<std::string> Errors() const {
        std::vector<std::string> out;
        for (const TShownBox& b : boxes)
            if (b.type == TMsgDlgType::mtError) out.push_back(b.text);
        return out;
    }
};

class TScriptedDialogs : public IMainDialogs {
public:
    explicit TScriptedDialogs(TScript& s) : s_(s) {}
    TModalResult MessageDlg(const std::string& message, TMsgDlgType type, TMsgDlgButtons buttons) override {
        s_.boxes.push_back({message, type, buttons});
        if (s_.whileBoxShown) s_.whileBoxShown();
        if (!s_.answers.empty()) {
            const TModalResult r = s_.answers.front();
            s_.answers.pop_front();
            return r;
        }
        return (buttons & mbOK) ? mrOk : mrCancel;
    }
    bool OpenFiles(const TOpenDialog& dialog, std::vector<std::string>& files) override {
        s_.openRequests.push_back(dialog);
        if (s_.openAnswers.empty()) return false;
        files = s_.openAnswers.front();
        s_.openAnswers.pop_front();
        return !files.empty();
    }
    TModalResult ExecuteScript(std::string& script, const std::string& message) override {
        return s_.review ? s_.review(script, message) : mrOk;
    }
    bool OpenUrl(const std::string& url) override {
        s_.urls.push_back(url);
        return s_.browserWorks;
    }

private:
    TScript& s_;
};

class TEnv {
public:
    TEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~TEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }
    TEnv(const TEnv&) = delete;
    TEnv& operator=(const TEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

inline std::string BridgeLibrary() { return std::string(QB_BINARY_DIR) + "/bin/libpano12.so"; }

class QueueTest : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        QueueApp();
        store = Path("store.sqlite3");
        programDir = Path("prog/");
        std::filesystem::create_directories(programDir);
    }
    void TearDown() override {
        StopChild();
        windows.reset();
        TempDirTest::TearDown();
    }

    TMainForm& Create(std::vector<std::string> commandLine = {}) {
        windows.reset();
        TEnv library(qb::Pano12LibraryVariable, BridgeLibrary());
        TQuiltbatchSetup setup;
        setup.commandLine = std::move(commandLine);
        setup.storeFile = store;
        setup.programDir = programDir;
        setup.dialogs = std::make_unique<TScriptedDialogs>(script);
        setup.optionsDialogs = std::make_unique<TSilentOptionsDialogs>();
        windows = std::make_unique<TQuiltbatchWindows>(std::move(setup));
        windows->MainForm->Timer1->stop();
        return *windows->MainForm;
    }
    TMainForm& Form() { return *windows->MainForm; }

    // An existing project file (its content matters only to tests that start it).
    std::string Project(const std::string& name, const std::string& content = "not a project") {
        const std::string file = Path(name);
        std::filesystem::create_directories(qb::platform::ExtractFilePath(file));
        qb::test::WriteFile(file, content);
        return file;
    }
    std::vector<std::string> Queue() {
        std::vector<std::string> out;
        for (int i = 0; i < Form().QueueCount(); ++i) out.push_back(Form().QueueEntry(i));
        return out;
    }

    // A child that sleeps until it is killed, registered as the running stitcher (or the
    // flag given).
    void StartSleepingChild(bool TMainForm::*flag = &TMainForm::StitcherRunning) {
        qb::platform::TProcessInformation info;
        ASSERT_TRUE(qb::platform::CreateProcess("/bin/sh", "sh -c \"exec sleep 60\"", dir, info));
        child = info;
        Form().ChildProcess = info.hProcess;
        Form().ChildThread = info.hThread;
        Form().*flag = true;
        Form().CurrentProject = "running.pts";
        Form().UpdateStatus();
    }
    bool ChildRunning() {
        uint32_t code = 0;
        return child.hProcess && qb::platform::GetExitCodeProcess(child.hProcess, code) &&
               code == qb::platform::STILL_ACTIVE;
    }
    bool WaitChildGone(int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (!ChildRunning()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void StopChild() {
        if (child.hProcess && ChildRunning()) {
            qb::platform::TerminateProcess(child.hProcess, 1);
            WaitChildGone();
        }
        if (windows && windows->MainForm)
            Form().StitcherRunning = Form().ViewerRunning = Form().EnblendRunning = false;
        child = {};
    }

    TScript script;
    std::unique_ptr<TQuiltbatchWindows> windows;
    std::string store, programDir;
    qb::platform::TProcessInformation child;
};

}  // namespace qb::app::queuetest
