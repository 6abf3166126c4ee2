// The external programs: starting a child (the stitcher, Enblend, a viewer), watching its
// end from the queue step and moving on to what follows, asking before and killing a
// running child, and removing the temporary files of a run.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "app/quiltbatchmain.h"
#include "core/exceptions.h"
#include "model/datastructures.h"
#include "model/stitcheroutput.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/syserror.h"

namespace qb::app {

namespace {

// The name as the viewer's one argument: as it stands, or in double quotes when it holds a
// blank or a quote (names have no blank-free short form here).
std::string ViewerArgument(const std::string& name) {
    if (name.find_first_of(" \t\"") == std::string::npos) return name;
    return TMainForm::QuoteArgument(name);
}

}  // namespace

void TMainForm::RaiseLastError() { qb::platform::RaiseLastOSError(); }

void TMainForm::RunProgram(const std::string& executable, const std::string& commandLine,
                           const std::string& workDir, qb::platform::THandle& process,
                           qb::platform::THandle& thread) {
    qb::platform::TProcessInformation info;
    qb::platform::TProcessOptions options;
    options.captureOutput = true;
    try {
        if (!qb::platform::CreateProcess(executable, commandLine, workDir, info, options)) RaiseLastError();
    } catch (const qb::EAbort&) {
        throw;
    } catch (const std::exception& e) {
        throw qb::Exception(qb::Format("Error running %s:\n%s", executable.c_str(), e.what()));
    }
    process = info.hProcess;
    thread = info.hThread;
    ChildOutputTail.clear();
    ChildKilled = false;
    if (ChildHooks.Started) ChildHooks.Started(executable, commandLine, workDir);
}

void TMainForm::ReadChildOutput(bool final) {
    if (!ChildProcess) return;
    qb::platform::ReadProcessOutput(
        ChildProcess,
        [this](qb::platform::TOutputStream stream, const std::string& line) {
            ChildOutputTail.push_back(line);
            while (ChildOutputTail.size() > ChildOutputTailLines) ChildOutputTail.pop_front();
            if (ChildHooks.Line) ChildHooks.Line(stream, line);
        },
        final);
}

namespace {

// Forgets the handles of a child that has ended.
void ReleaseChild(qb::platform::THandle& process, qb::platform::THandle& thread) {
    if (process) qb::platform::CloseHandle(process);
    if (thread && thread != process) qb::platform::CloseHandle(thread);
    process = 0;
    thread = 0;
}

// The end of a message about a failed child: its last lines of output, at most five, each
// cut to 200 characters; nothing when it printed nothing.
std::string LastOutput(const std::deque<std::string>& tail) {
    if (tail.empty()) return std::string();
    std::string text = "\n\nLast output:";
    const size_t first = tail.size() > 5 ? tail.size() - 5 : 0;
    for (size_t i = first; i < tail.size(); ++i) text += "\n" + qb::QuoteValue(tail[i], 200);
    return text;
}

}  // namespace

std::string TMainForm::ChildFailureMessage(const std::string& program, uint32_t exitCode,
                                           const std::string& result) const {
    return qb::Format("%s ended with exit status %u without writing %s.", program.c_str(),
                      static_cast<unsigned>(exitCode), result.c_str()) +
           LastOutput(ChildOutputTail);
}

void TMainForm::RemoveStitcherResult() {
    if (!MultiFileResult) {
        qb::platform::DeleteFile(ResultFile);
        return;
    }
    // ResultFile is the first numbered file; the others follow it up to the first gap.
    for (int k = 0;; ++k) {
        const std::string name = qb::StitcherResultFile(ResultBase, qb::kFormatTIFF_m, k);
        if (!qb::platform::FileExists(name)) break;
        qb::platform::DeleteFile(name);
    }
}

void TMainForm::SuperviseChild() {
    uint32_t code = 0;
    if (!qb::platform::GetExitCodeProcess(ChildProcess, code)) RaiseLastError();
    if (code == qb::platform::STILL_ACTIVE) return;
    ReadChildOutput(true);
    const bool killed = ChildKilled;
    ChildKilled = false;
    if (ChildHooks.Ended) ChildHooks.Ended(code, killed);
    const qb::platform::THandle group = ChildThread;
    ReleaseChild(ChildProcess, ChildThread);
    if (killed) WaitForKilledGroup(group);

    if (StitcherRunning) {
        StitcherRunning = false;
        UpdateStatus();
        if (killed) {
            // Whatever a killed stitcher wrote is incomplete.
            RemoveStitcherResult();
            DeleteTempFiles();
            SetStarted(false);
        } else if (qb::platform::FileExists(ResultFile) && UseEnblend) {
            const std::string enblend = GetEnblendExe();
            try {
                RunProgram(enblend, QuoteArgument(enblend) + " " + EnblendArgs, EnblendWorkDir, ChildProcess,
                           ChildThread);
            } catch (...) {
                // Without Enblend the layers are of no use: they go, and the queue stops with
                // the project first instead of stitching it again at once.
                DeleteTempFiles();
                SetStarted(false);
                throw;
            }
            EnblendRunning = true;
            ApplyChildPriority();
            UpdateStatus();
        } else if (qb::platform::FileExists(ResultFile)) {
            DeleteTempFiles();
            RemoveQueueEntry(0);
            if (RunPreview) {
                try {
                    RunProgram(ViewerApp, QuoteArgument(ViewerApp) + " " +
                                              ViewerArgument(qb::platform::ExtractShortPathName(
                                                  qb::platform::ExpandFileName(ResultFile))),
                               std::string(), ChildProcess, ChildThread);
                } catch (...) {
                    // Nothing will show the preview image now, so it goes at once.
                    qb::platform::DeleteFile(ResultFile);
                    throw;
                }
                ViewerRunning = true;
                UpdateStatus();
            } else if (ExitWhenDone && QueueCount() == 0) {
                close();
            }
        } else {
            const std::string message = ChildFailureMessage("PTStitcher", code, ResultFile);
            DeleteTempFiles();
            SetStarted(false);
            ShowError(message);
        }
    } else if (ViewerRunning) {
        ViewerRunning = false;
        qb::platform::DeleteFile(ResultFile);
        UpdateStatus();
        if (ExitWhenDone && QueueCount() == 0) close();
    } else if (EnblendRunning) {
        DeleteTempFiles();
        EnblendRunning = false;
        UpdateStatus();
        // Enblend creates its output when it starts: only an Enblend that ended by itself
        // with status 0 has finished it.
        if (!killed && code == 0 && qb::platform::FileExists(EnblendOutput)) {
            RemoveQueueEntry(0);
            if (ExitWhenDone && QueueCount() == 0) close();
        } else {
            const bool partial = qb::platform::FileExists(EnblendOutput);
            if (partial) qb::platform::DeleteFile(EnblendOutput);
            SetStarted(false);
            if (!killed && code == 0) {
                ShowError(ChildFailureMessage("Enblend", code, EnblendOutput));
            } else if (!killed) {
                std::string message = qb::Format("Enblend failed with exit status %u.", static_cast<unsigned>(code));
                if (partial) message += " Its incomplete result " + EnblendOutput + " has been removed.";
                ShowError(message + LastOutput(ChildOutputTail));
            }
        }
    }
}

void TMainForm::AskKillChild() {
    for (;;) {
        if (!StitcherRunning && !ViewerRunning && !EnblendRunning) return;
        const char* question = StitcherRunning  ? "PTStitcher is currently running. Do you want to kill it?"
                               : EnblendRunning ? "Enblend is still running. Do you want to kill it?"
                                                : "The viewer is still running. Do you want to kill it?";
        const qb::platform::THandle asked = ChildProcess;
        TModalResult answer;
        {
            // The step is held while the question is open: no child ends, starts or moves on
            // underneath it.
            TCounterGuard hold(TickBusy);
            answer = Dialogs().MessageDlg(question, TMsgDlgType::mtConfirmation, mbYesNoCancel);
        }
        switch (answer) {
            case mrYes:
                break;
            case mrNo:
                return;
            default:
                qb::Abort();
        }
        // The child asked about is killed. When it has ended by itself meanwhile, its end
        // is handled as usual; should that have started another child (the next stage or
        // project), the question is asked again about that one.
        KillChild();
        if (!(StitcherRunning || ViewerRunning || EnblendRunning) || ChildProcess == asked) return;
    }
}

void TMainForm::KillChild() {
    if (!StitcherRunning && !ViewerRunning && !EnblendRunning) return;
    if (qb::platform::TerminateProcess(ChildProcess, 1)) ChildKilled = true;
    Tick();
}

void TMainForm::DeleteTempFiles() {
    for (auto it = TempFiles.rbegin(); it != TempFiles.rend(); ++it) qb::platform::DeleteFile(*it);
    TempFiles.clear();
    // The stitcher's own leftovers in its working directory (never the root directory for
    // want of one). A file that a running stitcher holds locked is in use by another run
    // from the same directory and stays.
    if (WorkDir.empty()) return;
    const std::string dir = qb::platform::IncludeTrailingPathDelimiter(WorkDir);
    for (const std::string& name : qb::platform::FindFiles(dir, "_PTStitcher_tmp_*"))
        if (!qb::platform::FileLockedByOthers(dir + name)) qb::platform::DeleteFile(dir + name);
    // The stitcher front keeps a run's files in a folder "_PTStitcher_tmp_<pid>_<n>", locked
    // while the run lasts; one that nobody holds is left over from a run that was killed.
    // Other folders are not the stitcher's and stay.
    for (const std::string& name : qb::platform::FindDirectories(dir, "_PTStitcher_tmp_[0-9]*_[0-9]*")) {
        const std::string numbers = name.substr(std::string("_PTStitcher_tmp_").size());
        if (numbers.find_first_not_of("0123456789_") != std::string::npos) continue;
        if (!qb::platform::FileLockedByOthers(dir + name)) qb::platform::DeleteTree(dir + name);
    }
}

void TMainForm::WaitForKilledGroup(qb::platform::THandle group) {
    // The killed child has been reaped; what it started ends a moment later, and only then
    // are its working files free. A loaded machine gets a few seconds.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (qb::platform::ProcessGroupAlive(group) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TMainForm::AbandonRun() {
    if (StitcherRunning || ViewerRunning || EnblendRunning) {
        if (ChildProcess && qb::platform::TerminateProcess(ChildProcess, 1)) ChildKilled = true;
        // The killed group ends at once; the wait only covers a loaded machine.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        uint32_t code = 0;
        while (ChildProcess && qb::platform::GetExitCodeProcess(ChildProcess, code) &&
               code == qb::platform::STILL_ACTIVE && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool killed = ChildKilled;
        ReadChildOutput(true);
        if (ChildHooks.Ended) ChildHooks.Ended(code, killed);
        const qb::platform::THandle group = ChildThread;
        ReleaseChild(ChildProcess, ChildThread);
        if (killed) WaitForKilledGroup(group);
        ChildKilled = false;
        if (StitcherRunning && killed) RemoveStitcherResult();
        if (EnblendRunning && killed) qb::platform::DeleteFile(EnblendOutput);
        if (ViewerRunning) qb::platform::DeleteFile(ResultFile);
        StitcherRunning = ViewerRunning = EnblendRunning = false;
    }
    DeleteTempFiles();
    UpdateStatus();
}

void TMainForm::QuitOnSignal(int signal) {
    QuittingOnSignal = true;
    AbandonRun();
    Timer1->stop();
    // The window's close would end the event loop with status 0.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    close();
    QCoreApplication::exit(128 + signal);
}

}  // namespace qb::app
