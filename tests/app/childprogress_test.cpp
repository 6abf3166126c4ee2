// Progress of the children read from their real output: PTmender on three images, the same
// run through the PTStitcher front with its flattening, and Enblend blending three layers
// with its default verbosity and with -v (recorded from PTmender 2.9.21 and Enblend 4.2 into tests/data).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/childprogress.h"
#include "tests/support/tempdir.h"

using qb::app::TChildProgress;
using qb::app::TOutputLines;

namespace {

struct TRecording {
    const char* file;
    TChildProgress::TKind kind;
    int layers;
    std::vector<std::string> stages;
    int percentBeforeEnd;  // where the output alone leaves the bar (-1: indeterminate)
};

struct TSeen {
    std::vector<int> percents;
    std::vector<std::string> stages, lines;
};

TSeen Play(const TRecording& r, const std::string& output, size_t piece, bool finish) {
    TSeen seen;
    TChildProgress progress(r.kind, r.layers);
    progress.OnPercent = [&](int p) { seen.percents.push_back(p); };
    progress.OnStage = [&](const std::string& s) { seen.stages.push_back(s); };
    progress.OnLine = [&](const std::string& l) { seen.lines.push_back(l); };
    for (size_t i = 0; i < output.size(); i += piece) progress.Feed(std::string_view(output).substr(i, piece));
    if (finish) progress.Finish(true);
    return seen;
}

TEST(ChildProgress, RecordedOutputsGiveRisingValuesAndTheirStagesWhateverTheReadsSplit) {
    using K = TChildProgress::TKind;
    const std::vector<TRecording> recordings = {
        {"ptmender_three_images.txt", K::Stitcher, 0,
         {"Converting image 1 of 3", "Converting image 2 of 3", "Converting image 3 of 3", "Writing the layers"}, 95},
        {"ptstitcher_flatten.txt", K::Stitcher, 0,
         {"Converting image 1 of 3", "Converting image 2 of 3", "Converting image 3 of 3", "Writing the layers",
          "Flattening the layers"},
         96},
        {"enblend_verbose.txt", K::Enblend, 3,
         {"Loading image 1 of 3", "Blending image 2 of 3", "Blending image 3 of 3", "Writing the panorama"}, 99},
        {"enblend_default.txt", K::Enblend, 3,
         {"Loading image 1 of 3", "Blending image 2 of 3", "Blending image 3 of 3", "Writing the panorama"}, 99},
        // Without the number of layers the stages still show, the bar stays indeterminate.
        {"enblend_default.txt", K::Enblend, 0,
         {"Loading image 1", "Blending image 2", "Blending image 3", "Writing the panorama"}, -1},
    };
    for (const TRecording& r : recordings) {
        SCOPED_TRACE(r.file);
        const std::string output = qb::test::ReadFile(std::string(QB_TEST_DATA_DIR) + "/" + r.file);
        ASSERT_FALSE(output.empty());
        const TSeen whole = Play(r, output, output.size(), false);
        EXPECT_EQ(whole.stages, r.stages);
        EXPECT_EQ(whole.percents.empty() ? -1 : whole.percents.back(), r.percentBeforeEnd);
        for (size_t k = 1; k < whole.percents.size(); ++k) EXPECT_GT(whole.percents[k], whole.percents[k - 1]);
        for (int p : whole.percents) EXPECT_TRUE(p >= 0 && p <= 100) << p;
        // Pipes deliver the output in pieces of any size: the same values and lines.
        for (size_t piece : {size_t(1), size_t(3), size_t(64)}) {
            const TSeen split = Play(r, output, piece, false);
            EXPECT_EQ(split.percents, whole.percents) << piece;
            EXPECT_EQ(split.lines, whole.lines) << piece;
        }
        // A run that ended well ends at 100.
        const TSeen ended = Play(r, output, 7, true);
        ASSERT_FALSE(ended.percents.empty());
        EXPECT_EQ(ended.percents.back(), 100);
    }
}

TEST(ChildProgress, PTmenderCountersMoveTheBarWithinTheImageAndShowAsTheirLastValue) {
    const std::string output =
        qb::test::ReadFile(std::string(QB_TEST_DATA_DIR) + "/ptmender_three_images.txt");
    TSeen seen;
    TChildProgress progress(TChildProgress::TKind::Stitcher);
    progress.OnPercent = [&](int p) { seen.percents.push_back(p); };
    progress.OnLine = [&](const std::string& l) { seen.lines.push_back(l); };
    progress.Feed(output);
    // Image 1 of 3: 5, 46, 92, 100 per cent of the first 30.
    ASSERT_GE(seen.percents.size(), 5u);
    EXPECT_EQ(std::vector<int>(seen.percents.begin(), seen.percents.begin() + 5),
              (std::vector<int>{0, 1, 13, 27, 30}));
    // The counter line reads as a terminal leaves it, without its backspaces.
    ASSERT_GE(seen.lines.size(), 4u);
    EXPECT_EQ(seen.lines[2], "Converting Image 1 / 3          Filename view0.tif");
    EXPECT_EQ(seen.lines[3], "100%");
    for (const std::string& line : seen.lines) EXPECT_EQ(line.find('\b'), std::string::npos);
}

TEST(ChildProgress, OutputLinesTakeBackspacesCarriageReturnsAndBoundLongLines) {
    std::vector<std::string> lines;
    TOutputLines out;
    const auto take = [&](const std::string& l) { lines.push_back(l); };
    out.Feed("abc\b\bX\n 10%\r 20%\nbell\a\x1b tab\tend\n", take);
    out.Feed(std::string(TOutputLines::kMaxLine + 100, 'y'), take);
    out.Feed("unfinished", take);
    EXPECT_EQ(out.Current().size(), TOutputLines::kMaxLine);
    out.Flush(take);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "aX");
    EXPECT_EQ(lines[1], " 20%");
    EXPECT_EQ(lines[2], "bell tab\tend");
    EXPECT_EQ(lines[3].size(), TOutputLines::kMaxLine);
    // A child that ended badly does not fill the bar.
    TChildProgress failed(TChildProgress::TKind::Stitcher);
    failed.Feed("Converting Image 1 / 2\n\b\b\b\b 50%");
    failed.Finish(false);
    EXPECT_EQ(failed.Percent(), 22);
}

}  // namespace
