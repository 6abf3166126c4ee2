// Feeds arbitrary text to the project reader in every mode, then writes what was read in
// every script mode and copies it. The first byte chooses the mode and the flags; the rest
// is the text. A project text that reads without error must read back to itself.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/exceptions.h"
#include "model/datastructures.h"

using namespace qb;

namespace {

// Some images and points for the modes that update an existing project.
void Prefill(TvrdProject& p) {
    for (int i = 0; i < 3; ++i) {
        TvrdImage& im = p.AddImage();
        im.FileName = "/f/" + std::to_string(i) + ".jpg";
        im.Width = im.CropRight = 100;
        im.Height = im.CropBottom = 80;
    }
    p.Images[1]->OwnLens = true;
    for (int i = 0; i < 4; ++i) {
        TvrdControlPoint& cp = p.AddControlPoint();
        cp.Image1 = i % 3;
        cp.Image2 = (i + 1) % 4;
        cp.Optimize = i != 2;
    }
}

void WriteAll(const TvrdProject& p) {
    for (ScriptMode mode : {ScriptMode::Stitch, ScriptMode::Optimize, ScriptMode::Project,
                            ScriptMode::Preview, ScriptMode::MorphOptimize}) {
        const std::string text = MakeScriptText(p, mode, [](const std::string&) {});
        if (text.size() > (1u << 30)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    static const ReadMode modes[] = {ReadMode::OptimizerResult, ReadMode::OptimizerScript,
                                     ReadMode::Project, ReadMode::MorphResult};
    const ReadMode mode = modes[control & 3];
    const bool checkHeader = control & 4;
    const bool skipLensValues = control & 8;
    const bool skipImageCheck = !(control & 16);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    TvrdProject p;
    if (mode != ReadMode::Project) Prefill(p);
    bool ok = true;
    try {
        ReadProjectText(text, mode, p, checkHeader, skipImageCheck, skipLensValues);
    } catch (const Exception&) {
        ok = false;  // the partly filled project must still be safe to write and copy
    }
    WriteAll(p);
    TvrdProject copy;
    Prefill(copy);
    copy.Assign(p, control & 32);
    WriteAll(copy);

    bool quoteInName = false;  // a name with a double quote cannot be written back
    for (const auto& im : p.Images) quoteInName |= im->FileName.find('"') != std::string::npos;
    if (ok && mode == ReadMode::Project && !quoteInName) {
        // Written as a project file and read back, the project writes the same text again.
        const std::string once = MakeScriptText(p, ScriptMode::Project);
        TvrdProject again;
        try {
            ReadProjectText(once, ReadMode::Project, again, true, true, false);
        } catch (const Exception&) {
            std::abort();
        }
        if (MakeScriptText(again, ScriptMode::Project) != once) std::abort();
    }
    return 0;
}
