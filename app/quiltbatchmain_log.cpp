// The run log of each project, the progress of the running child in the status bar and the
// queue, and in a batch run the child's output and stages on stderr.
#include <QAction>
#include <QFont>
#include <QListWidget>
#include <QProgressBar>

#include <string>

#include "app/batchmode.h"
#include "app/logview.h"
#include "app/quiltbatchmain.h"
#include "platform/files.h"

namespace qb::app {

void TMainForm::OpenRunLog(const std::string& outputFile) {
    if (RunLog.Open(TRunLog::LogFileFor(outputFile, CurrentProject), CurrentProject)) {
        LastLogFile = RunLog.FileName();
    } else {
        LastLogFile.clear();
        BatchStatusLine("no run log: neither " + TRunLog::LogFileFor(outputFile, CurrentProject) + " nor a file in " +
                        TRunLog::StateDirectory() + " can be written");
    }
    actShowLog->setEnabled(!LastLogFile.empty());
}

void TMainForm::WatchChildStarted(const std::string& executable, const std::string& commandLine,
                                  const std::string& workDir) {
    TChildProgress::TKind kind = TChildProgress::TKind::Other;
    if (StitcherRunning)
        kind = TChildProgress::TKind::Stitcher;
    else if (UseEnblend && !(RunPreview && executable == ViewerApp))
        kind = TChildProgress::TKind::Enblend;
    ChildProgress = std::make_unique<TChildProgress>(kind, kind == TChildProgress::TKind::Enblend ? EnblendLayers : 0);
    // The stream of the line being fed, for the lines the parser hands back.
    auto stream = std::make_shared<qb::platform::TOutputStream>(qb::platform::TOutputStream::osStdout);
    ChildProgress->OnLine = [this, stream](const std::string& line) {
        RunLog.ChildLine(line, *stream == qb::platform::TOutputStream::osStderr);
        if (batch_ && !line.empty())
            BatchOutput((CurrentProject.empty() ? std::string() : OneLine(CurrentProject) + ": ") + line);
    };
    ChildProgress->OnStage = [this](const std::string& stage) {
        BatchStatusLine(stage);
        UpdateProgress();
    };
    ChildProgress->OnPercent = [this](int) { UpdateProgress(); };
    lineStream_ = stream;
    RunLog.ChildStarted(commandLine, workDir);
    UpdateProgress();
}

void TMainForm::WatchChildLine(qb::platform::TOutputStream stream, const std::string& line) {
    if (!ChildProgress) return;
    if (lineStream_) *lineStream_ = stream;
    ChildProgress->Feed(line);
    ChildProgress->Feed("\n");
}

void TMainForm::WatchChildEnded(uint32_t exitCode, bool killed) {
    if (ChildProgress) ChildProgress->Finish(exitCode == 0 && !killed);
    RunLog.ChildEnded(exitCode, killed);
    ChildProgress.reset();
    lineStream_.reset();
    UpdateProgress();
}

void TMainForm::UpdateProgress() {
    if (!StatusProgress) return;
    const bool running = StitcherRunning || EnblendRunning || ViewerRunning;
    if (running && ChildProgress && ChildProgress->Percent() >= 0) {
        StatusProgress->setRange(0, 100);
        StatusProgress->setValue(ChildProgress->Percent());
    } else {
        // Nothing to measure by (yet): the bar only says that something runs.
        StatusProgress->setRange(0, 0);
    }
    StatusProgress->setVisible(running);
    // The project being worked on stands out in the queue; a viewed preview has left it.
    const bool marked = StitcherRunning || EnblendRunning;
    for (int i = 0; i < StitchListBox->count(); ++i) {
        QListWidgetItem* item = StitchListBox->item(i);
        const bool bold = marked && i == 0;
        if (item->font().bold() == bold) continue;
        QFont font = item->font();
        font.setBold(bold);
        item->setFont(font);
    }
}

void TMainForm::actShowLogExecute() {
    HandleException([this] {
        if (LastLogFile.empty()) throw qb::Exception("No project has been run yet: there is no log to show.");
        if (!qb::platform::FileExists(LastLogFile))
            throw qb::Exception(qb::Format("The log %s does not exist any more.", LastLogFile.c_str()));
        if (!LogView) LogView = new TLogViewForm(this);
        LogView->ShowFile(LastLogFile);
    });
}

}  // namespace qb::app
