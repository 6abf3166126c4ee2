// PTStitcher: the stitcher front that the queue drives. It takes the stitcher command line
// ("-o <result without extension> <script>"), lets PTmender render the script's images as
// TIFF layers in a folder of its own inside the working directory, and turns them into what
// the script asked for: numbered full-canvas layers (TIFF_m, TIFF_mask) or one flattened
// TIFF, JPEG or PNG made from cropped layers.
//
// Every file of a run is named "_PTStitcher_tmp_<pid>_<n>..." and locked (flock) while the
// run uses it; a sweep of leftovers spares the files it cannot lock exclusively. Results are
// written under such a name in the output folder and renamed only once they are complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/exceptions.h"

namespace qb {
class TzrMemBitmap;
class TzrStream;
}

namespace qb::ptstitcher {

// Wrong command line: the message is followed by the usage text; exit code 2.
class EUsage : public qb::Exception {
public:
    using qb::Exception::Exception;
};

constexpr const char* kUsage = "usage: PTStitcher -o <output name without extension> <script file>";
// The prefix of every temporary file this program leaves in its working directory.
constexpr const char* kTempPrefix = "_PTStitcher_tmp_";

struct TArguments {
    std::string output;  // -o
    std::string script;
};
TArguments ParseArguments(const std::vector<std::string>& args);

// What the script's panorama line asks for.
struct TScriptFormat {
    std::string name;          // first word inside n"...", "" when there is none
    int32_t code = 0;          // its format code
    int32_t width = 0;         // w of the p line, 0 when absent
    int32_t height = 0;        // h of the p line
    int32_t jpegQuality = 90;  // q option inside n"..." (JPEG-like formats)
    bool jpegProgressive = false;  // g option
};
TScriptFormat ReadScriptFormat(const std::string& script);

// The script with its panorama line's format field replaced by n"TIFF_m r:CROP" for layers
// that are flattened here (each layer only as large as what it covers), else by
// n"TIFF_m r:UNCROP" (full-canvas layers); the field is added when the line has none; every
// other byte is kept.
std::string ScriptForPTmender(const std::string& script, bool croppedLayers = false);

// The script with the relative image names of its i and o lines made absolute against
// `dir` (with trailing separator), so that it can be read from another folder.
std::string ScriptWithImagesFrom(const std::string& script, const std::string& dir);

// What the output format is turned into.
enum class TOutputKind { Layers, Tiff, Jpeg, Png, Unsupported };
TOutputKind OutputKindOf(const TScriptFormat& format);

// Where a layer lies on the panorama canvas, from its TIFF position tags.
struct TLayerPlace {
    int32_t x = 0, y = 0;                    // offset on the canvas in pixels
    int32_t canvasWidth = 0, canvasHeight = 0;  // 0 when the layer names no canvas size
};
TLayerPlace ReadLayerPlace(const std::string& tiffFile);

// Composites the layers in order, later over earlier, with their alpha, onto `canvas`
// (which has its size and pixel format already and is cleared), one whole layer bitmap at a
// time. `cancelled` is polled between layers.
void FlattenLayers(const std::vector<std::string>& layers, TzrMemBitmap& canvas,
                   const volatile int* cancelled = nullptr);
// The same composite, reading each layer strip by strip straight into the canvas rows it
// covers; no bitmap of a whole layer is made. `cancelled` is polled between strips.
void StreamLayers(const std::vector<std::string>& layers, TzrMemBitmap& canvas,
                  const volatile int* cancelled = nullptr);

// Flattens the layers onto a cleared canvas of width × height (RGB for JPEG, RGBA for TIFF
// and PNG) and encodes it for `kind` (Tiff, Jpeg or Png) into `out`. `streamed` chooses
// StreamLayers over FlattenLayers.
void WriteFlattened(const std::vector<std::string>& layers, TOutputKind kind, const TScriptFormat& format,
                    int32_t width, int32_t height, TzrStream& out, bool streamed = true,
                    const volatile int* cancelled = nullptr);

// The whole program; returns its exit code. Messages go to stderr, PTmender's progress to
// stdout.
int Main(int argc, char** argv);

}  // namespace qb::ptstitcher
