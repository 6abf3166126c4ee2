// The external programs: starting a child (the stitcher, Enblend, a viewer), watching its
// end from the queue step and moving on to what follows, asking before and killing a
// running child, and removing the temporary files of a run.
#include <cerrno>
#include <string>

#include "app/quiltbatchmain.h"
#include "core/exceptions.h"
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
    try {
        if (!qb::platform::CreateProcess(executable, commandLine, workDir, info)) RaiseLastError();
    } catch (const qb::EAbort&) {
        throw;
    } catch (const std::exception& e) {
        throw qb::Exception(qb::Format("Error running %s:\n%s", executable.c_str(), e.what()));
    }
    process = info.hProcess;
    thread = info.hThread;
}

namespace {

// Forgets the handles of a child that has ended.
void ReleaseChild(qb::platform::THandle& process, qb::platform::THandle& thread) {
    if (process) qb::platform::CloseHandle(process);
    if (thread && thread != process) qb::platform::CloseHandle(thread);
    process = 0;
    thread = 0;
}

}  // namespace

void TMainForm::SuperviseChild() {
    uint32_t code = 0;
    if (!qb::platform::GetExitCodeProcess(ChildProcess, code)) RaiseLastError();
    if (code == qb::platform::STILL_ACTIVE) return;
    ReleaseChild(ChildProcess, ChildThread);

    if (StitcherRunning) {
        StitcherRunning = false;
        UpdateStatus();
        if (qb::platform::FileExists(ResultFile) && UseEnblend) {
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
            DeleteTempFiles();
            SetStarted(false);
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
        if (qb::platform::FileExists(EnblendOutput)) {
            RemoveQueueEntry(0);
            if (ExitWhenDone && QueueCount() == 0) close();
        } else {
            SetStarted(false);
        }
    }
}

void TMainForm::AskKillChild() {
    if (!StitcherRunning && !ViewerRunning && !EnblendRunning) return;
    const char* question = StitcherRunning  ? "PTStitcher is currently running. Do you want to kill it?"
                           : EnblendRunning ? "Enblend is still running. Do you want to kill it?"
                                            : "The viewer is still running. Do you want to kill it?";
    switch (Dialogs().MessageDlg(question, TMsgDlgType::mtConfirmation, mbYesNoCancel)) {
        case mrYes:
            KillChild();
            break;
        case mrNo:
            break;
        default:
            qb::Abort();
    }
}

void TMainForm::KillChild() {
    if (!StitcherRunning && !ViewerRunning && !EnblendRunning) return;
    qb::platform::TerminateProcess(ChildProcess, 1);
    Tick();
}

void TMainForm::DeleteTempFiles() {
    for (auto it = TempFiles.rbegin(); it != TempFiles.rend(); ++it) qb::platform::DeleteFile(*it);
    TempFiles.clear();
    // The stitcher's own leftovers in its working directory (never the root directory for
    // want of one).
    if (WorkDir.empty()) return;
    const std::string dir = qb::platform::IncludeTrailingPathDelimiter(WorkDir);
    for (const std::string& name : qb::platform::FindFiles(dir, "_PTStitcher_tmp_*"))
        qb::platform::DeleteFile(dir + name);
}

}  // namespace qb::app
