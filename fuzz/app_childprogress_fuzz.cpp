// Any output of a child, fed in pieces whose sizes the first byte chooses, as the stitcher's
// or Enblend's: the progress never falls and stays within 0 to 100, no line grows beyond its
// bound or keeps a control character, and the pieces' sizes change nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/childprogress.h"

using qb::app::TChildProgress;

namespace {

struct TRun {
    std::vector<int> percents;
    std::vector<std::string> lines, stages;
};

TRun Play(TChildProgress::TKind kind, std::string_view output, size_t piece) {
    TRun run;
    TChildProgress progress(kind, 3);
    progress.OnPercent = [&](int p) {
        if (p < 0 || p > 100 || (!run.percents.empty() && p <= run.percents.back())) std::abort();
        run.percents.push_back(p);
    };
    progress.OnLine = [&](const std::string& l) {
        if (l.size() > qb::app::TOutputLines::kMaxLine) std::abort();
        for (char c : l)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) std::abort();
        run.lines.push_back(l);
    };
    progress.OnStage = [&](const std::string& s) { run.stages.push_back(s); };
    for (size_t i = 0; i < output.size(); i += piece) progress.Feed(output.substr(i, piece));
    progress.Finish(true);
    if (progress.Percent() != 100) std::abort();
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] % 17;
    const std::string_view output(reinterpret_cast<const char*>(data + 1), size - 1);
    for (auto kind : {TChildProgress::TKind::Stitcher, TChildProgress::TKind::Enblend}) {
        const TRun whole = Play(kind, output, output.size() + 1);
        const TRun split = Play(kind, output, piece);
        if (whole.percents != split.percents || whole.lines != split.lines || whole.stages != split.stages)
            std::abort();
    }
    return 0;
}
