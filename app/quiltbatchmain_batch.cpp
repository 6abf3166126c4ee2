// Batch runs of the queue: failed projects are skipped instead of stopping the queue, and
// the run ends with the status of the whole queue.
#include <algorithm>
#include <string>

#include "app/batchmode.h"
#include "app/quiltbatchmain.h"

namespace qb::app {

void TMainForm::SkipFailedProjects() {
    if (!batch_ || BatchFinished) return;
    // A failure stops the queue with its project first; nobody will press Start, so the
    // project is reported and taken out, and the queue goes on. The next project may fail
    // at once as well.
    while (!Started && !StitcherRunning && !ViewerRunning && !EnblendRunning) {
        if (QueueCount() > 0) {
            const std::string failed = QueueEntry(0);
            FailedProjects.push_back(failed);
            BatchOutput("quiltbatch: " + OneLine(failed) + ": failed; going on with the next project");
            RemoveQueueEntry(0);
        }
        HandleException([this] { SetStarted(true); });
    }
    if (ExitWhenDone && QueueCount() == 0 && !StitcherRunning && !ViewerRunning && !EnblendRunning) close();
}

void TMainForm::FinishBatch() {
    if (BatchFinished) return;
    BatchFinished = true;
    // A signal ends the program with its own status.
    if (QuittingOnSignal) return;
    if (!FailedProjects.empty()) {
        std::string names;
        for (const std::string& name : FailedProjects) names += (names.empty() ? "" : ", ") + OneLine(name);
        BatchOutput("quiltbatch: " + std::to_string(FailedProjects.size()) + " of " +
                        std::to_string(std::max<int>(BatchProjects, static_cast<int>(FailedProjects.size()))) +
                        " projects failed: " + names);
    }
    if (OnBatchEnd) OnBatchEnd(BatchExitCode());
}

void TMainForm::BatchStatusLine(const std::string& text) {
    if (!batch_) return;
    BatchOutput("quiltbatch: " + (CurrentProject.empty() ? std::string() : OneLine(CurrentProject) + ": ") +
                    OneLine(text));
}

}  // namespace qb::app
