// Batch runs of the queue window, in-process with the fake stitcher: every question answered
// as the manual's table says, through the same dialogs interface the window uses, and a queue
// whose failing projects are reported and skipped, ending with the status of the whole run.
#include <gtest/gtest.h>

#include <regex>

#include "app/batchmode.h"
#include "platform/registry.h"
#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

// The rows of the manual's table of batch answers: the question (without a closing "...")
// and the answer's name.
std::vector<std::pair<std::string, std::string>> ManualAnswers() {
    const std::string manual = qb::test::ReadFile(std::string(QB_TEST_DATA_DIR) + "/../../docs/index.html");
    std::vector<std::pair<std::string, std::string>> rows;
    const std::regex row(R"(<tr class="batch-answer"><td>(.*?)</td><td>(.*?)</td>)");
    for (auto it = std::sregex_iterator(manual.begin(), manual.end(), row); it != std::sregex_iterator(); ++it) {
        std::string question = (*it)[1];
        while (!question.empty() && (question.back() == '.' || question.back() == ' ')) question.pop_back();
        rows.emplace_back(question, (*it)[2]);
    }
    return rows;
}

class BatchRun : public PipelineTest {
protected:
    void CreateBatchForm() {
        lines.clear();
        CreateForm(std::string(),
                   std::make_unique<TBatchDialogs>([this] { return form ? form->CurrentProject : std::string(); },
                                                   [this](const std::string& l) { lines.push_back(l); }),
                   true);
        form->BatchOutput = [this](const std::string& l) { lines.push_back(l); };
        form->OnBatchEnd = [this](int code) { exitCode = code; };
        form->SetExitWhenDone(true);
        // A stitcher that asks nothing unless a case says so.
        form->dfsVersionInfoResource1.Reader = [](const std::string&) { return std::string("2.6.0.0"); };
    }
    std::vector<std::string> Answered() const {
        std::vector<std::string> out;
        for (const std::string& l : lines)
            if (l.find("[batch answer: ") != std::string::npos) out.push_back(l);
        return out;
    }

    std::vector<std::string> lines;
    int exitCode = -1;
};

struct TQuestionCase {
    const char* name;
    // Prepares the project (or the running child) so that the question comes up.
    std::function<void()> arrange;
    // The flag of a running child that the question is about; none for the questions asked
    // while a project is started.
    bool TMainForm::*running = nullptr;
};

TEST_F(BatchRun, EveryQuestionIsAnsweredAsTheManualSays) {
    const auto manual = ManualAnswers();
    ASSERT_GE(manual.size(), BatchAnswers().size() + 1);
    const std::vector<TQuestionCase> cases = {
        {"stitcher of another name",
         [this] {
             Set("PTStitcherApp", MakeProgram(Path("tools/mystitcher"), logs + "stitcher",
                                                StitcherBody(logs + "stitcher", {".tif"})));
         }},
        {"stitcher older than 2.5",
         [this] { form->dfsVersionInfoResource1.Reader = [](const std::string&) { return "2.4.0"; }; }},
        {"older 2.5 stitcher",
         [this] { form->dfsVersionInfoResource1.Reader = [](const std::string&) { return "2.5.a0"; }; }},
        {"colour correction",
         [this] {
             form->dfsVersionInfoResource1.Reader = [](const std::string&) { return ""; };
             project->ColorCorrection = true;
         }},
        {"script review", [this] { form->SetShowScript(true); }},
        {"kill the stitcher", nullptr, &TMainForm::StitcherRunning},
        {"kill Enblend", nullptr, &TMainForm::EnblendRunning},
        {"kill the viewer", nullptr, &TMainForm::ViewerRunning},
    };
    std::vector<bool> covered(manual.size(), false);
    for (const TQuestionCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(logs + "stitcher.args");
        CreateBatchForm();
        bool wentOn = false;
        std::string project;
        if (!c.running) {
            NewProject(1);
            c.arrange();
            project = SaveProject();
            QueueAndStep(project);
            ASSERT_TRUE(RunUntil([this] { return form->BatchFinished; }));
            wentOn = FileExists(logs + "stitcher.args");
            // Whatever the answer, the run has ended by itself: done, or skipped as failed.
            EXPECT_EQ(exitCode, wentOn ? 0 : 1);
        } else {
            qb::platform::TProcessInformation child;
            ASSERT_TRUE(qb::platform::CreateProcess("/bin/sh", "sh -c \"exec sleep 60\"", dir, child));
            form->ChildProcess = child.hProcess;
            form->ChildThread = child.hThread;
            (*form).*c.running = true;
            project = form->CurrentProject = Path("running.pts");
            // The run is being stopped: the program ends.
            form->close();
            uint32_t code = 0;
            for (int i = 0; i < 500 && qb::platform::GetExitCodeProcess(child.hProcess, code) &&
                            code == qb::platform::STILL_ACTIVE;
                 ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            wentOn = code != qb::platform::STILL_ACTIVE;
            if (!wentOn) qb::platform::TerminateProcess(child.hProcess, 1);
            EXPECT_TRUE(form->BatchFinished);
        }
        // One line for the question, naming the project, with the answer the manual gives.
        const std::vector<std::string> answered = Answered();
        ASSERT_EQ(answered.size(), 1u) << (lines.empty() ? "" : lines[0]);
        const std::string& line = answered[0];
        const std::string type =
            c.running || std::string(c.name) == "script review" ? "confirmation" : "warning";
        const std::string head = "quiltbatch: " + type + ": " + project + ": ";
        ASSERT_EQ(line.rfind(head, 0), 0u) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
        size_t row = manual.size();
        for (size_t r = 0; r < manual.size(); ++r)
            if (line.compare(head.size(), manual[r].first.size(), manual[r].first) == 0) row = r;
        ASSERT_LT(row, manual.size()) << "not in the manual: " << line;
        covered[row] = true;
        const std::string answer = manual[row].second;
        EXPECT_NE(line.find("[batch answer: " + answer + "]"), std::string::npos) << line;
        // OK and Yes go on (the stitcher runs, the child is killed); Cancel leaves it undone.
        EXPECT_EQ(wentOn, answer == "OK" || answer == "Yes") << line;
        DestroyForm();
    }
    for (size_t r = 0; r < manual.size(); ++r) EXPECT_TRUE(covered[r]) << "never asked: " << manual[r].first;
    // The program's own table holds nothing the manual leaves ou
    for (const TBatchAnswer& a : BatchAnswers()) {
        bool listed = false;
        for (const auto& [question, answer] : manual)
            listed |= question.rfind(a.question, 0) == 0 && answer == ModalResultName(a.answer);
        EXPECT_TRUE(listed) << a.question;
    }
}

TEST_F(BatchRun, FailedProjectsAreSkippedAndTheRunEndsWithTheStatusOfTheQueue) {
    // The window's place from an earlier session with the window.
    const char* storeFile = std::getenv("KELMORA_REGISTRY");
    ASSERT_NE(storeFile, nullptr);
    {
        qb::platform::TRegistry reg(storeFile);
        ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, true));
        reg.WriteInteger("RCLeft", 321);
    }
    CreateBatchForm();
    NewProject(1);
    const std::string first = SaveProject("first.pts");
    project->Image(0).FileName = images + "gone.jpg";
    const std::string broken = SaveProject("broken.pts");
    // A JPEG that the fake stitcher never writes: a run without resul
    NewProject(1);
    project->Panorama.OutputFormat = 7;
    project->Panorama.OutputFile = Path("out/nothing.jpg");
    const std::string empty = SaveProject("empty.pts");
    NewProject(1);
    project->Panorama.OutputFile = Path("out/last.tif");
    const std::string last = SaveProject("last.pts");
    for (const std::string& p : {first, broken, empty, last}) form->AddProject(p, true);
    form->BatchProjects = 4;
    ASSERT_TRUE(RunUntil([this] { return form->BatchFinished; }, 60000));
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(form->FailedProjects, (std::vector<std::string>{broken, empty}));
    EXPECT_EQ(Lines(logs + "stitcher.args").size(), 3u);
    EXPECT_TRUE(FileExists(Path("out/pano.tif")));
    EXPECT_TRUE(FileExists(Path("out/last.tif")));
    EXPECT_EQ(form->QueueCount(), 0);
    // No box was opened: the broken project's message is a line naming i
    const auto has = [this](const std::string& l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
    EXPECT_TRUE(has("quiltbatch: error: " + broken + ": Image not found: " + images + "gone.jpg"));
    EXPECT_TRUE(has("quiltbatch: " + broken + ": failed; going on with the next project"));
    EXPECT_TRUE(has("quiltbatch: " + empty + ": failed; going on with the next project"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "quiltbatch: 2 of 4 projects failed: " + broken + ", " + empty);
    EXPECT_TRUE(FilesLike(images, "_vrdtmp_").empty());
    // A run that showed no window leaves the window's place as it was.
    qb::platform::TRegistry reg(storeFile);
    ASSERT_TRUE(reg.OpenKey(FormStateRegistryKey, false));
    EXPECT_EQ(reg.ReadInteger("RCLeft"), 321);
}

}  // namespace
}  // namespace qb::app::test
