// The time from a stitcher's end to the next project's start, with the window's own 100 ms
// timer: a queue of several projects and a stitcher that writes its result and exits at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

class RunnerTiming : public PipelineTest {};

TEST_F(RunnerTiming, NextProjectStartsWithinATimerStep) {
    CreateForm();
    // Each run notes its start and, after writing its result, its end (nanoseconds).
    MakeProgram(stitcher, logs + "stitcher",
                "date +%s%N >> '" + logs + "starts'\necho x > \"$2.tif\"\ndate +%s%N >> '" + logs +
                    "ends'\nexit 0\n");
    constexpr int kProjects = 8;
    NewProject(1);
    for (int i = 0; i < kProjects; ++i) {
        project->Panorama.OutputFile = Path("out/pano" + std::to_string(i) + ".tif");
        form->AddProject(SaveProject("p" + std::to_string(i) + ".pts"), true);
    }
    ASSERT_TRUE(RunUntil([this] { return form->QueueCount() == 0 && !Running(); }, 60000));
    EXPECT_TRUE(answers.boxes.empty());
    const std::vector<std::string> starts = Lines(logs + "starts");
    const std::vector<std::string> ends = Lines(logs + "ends");
    ASSERT_EQ(starts.size(), static_cast<size_t>(kProjects));
    ASSERT_EQ(ends.size(), static_cast<size_t>(kProjects));
    std::vector<double> gaps;
    for (int i = 0; i + 1 < kProjects; ++i)
        gaps.push_back((std::stoll(starts[i + 1]) - std::stoll(ends[i])) / 1e6);
    const double mean = std::accumulate(gaps.begin(), gaps.end(), 0.0) / gaps.size();
    const double low = *std::min_element(gaps.begin(), gaps.end());
    const double high = *std::max_element(gaps.begin(), gaps.end());
    std::printf("stitcher end to next start over %d gaps: min %.1f ms, mean %.1f ms, max %.1f ms\n",
                static_cast<int>(gaps.size()), low, mean, high);
    RecordProperty("gap_mean_ms", static_cast<int>(mean));
    RecordProperty("gap_max_ms", static_cast<int>(high));
    // One timer step of 100 ms plus starting a shell, with room for a loaded machine.
    EXPECT_GT(low, 0.0);
    EXPECT_LT(mean, 400.0);
}

}  // namespace
}  // namespace qb::app::test
