// The records that cross the boundary to the Panorama Tools library, shared by the binding,
// the libpano12 bridge and the stand-in libraries of the tests.
//
// The layout is the library's: 32-bit integers, 8-byte aligned doubles, character arrays of
// the library's fixed sizes, pointers of the platform's width. In a 32-bit build every offset
// is the one the library reads and writes in place; in a 64-bit build the same fields sit at
// their natural offsets with 8-byte pointers. Both sets are checked below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qb {

// A handle: a block of two words whose first word is the address of the memory. A handle
// made by ptAlloc (and by the bridge's mymalloc) holds the four bytes "OTOF" in the second.
struct TptHandleBlock {
    void* address;
    char tag[4];
};
using TptHandle = TptHandleBlock*;
inline constexpr char ptAllocTag[4] = {'O', 'T', 'O', 'F'};

constexpr int ptPathLength = 260;  // a full path with its terminating zero
constexpr int ptNameLength = 256;

// Tools of the transform record.
constexpr int32_t ptToolCorrect = 1;
constexpr int32_t ptToolAdjust = 3;
// Mode bits of the transform record (the two low bits carry the way the tool is run).
constexpr int32_t ptModeUseData = 3;
constexpr int32_t ptModeHonorValid = 8;
constexpr int32_t ptModeShowProgress = 16;
constexpr int32_t ptModeHostCanResize = 32;
// Modes of the adjust record.
constexpr int32_t ptAdjustInsert = 2;
constexpr int32_t ptAdjustExtract = 3;
constexpr int32_t ptAdjustRunOptimizerScript = 9;  // run the optimizer (1) from the script (8)
// Magic numbers of the records.
constexpr int32_t ptCorrectMagic = 20;
constexpr int32_t ptAdjustMagic = 50;
constexpr int32_t ptStitchPrefsMagic = 70;

// Correction record (the library's correction preferences).
struct TptCorrectionRecord {
    int32_t magic;                       // 20
    int32_t radial;                      // flag
    alignas(8) double radial_params[3][5];  // red, green, blue: a, b, c, d, r
    int32_t vertical;                    // flag
    alignas(8) double vertical_params[3];
    int32_t horizontal;                  // flag
    alignas(8) double horizontal_params[3];
    int32_t shear;                       // flag
    alignas(8) double shear_x;
    double shear_y;
    int32_t resize;                      // flag
    int32_t width;
    int32_t height;
    int32_t luminance;                   // flag
    alignas(8) double lum_params[3];
    int32_t correction_mode;
    int32_t cutFrame;                    // flag
    int32_t fwidth;
    int32_t fheight;
    int32_t frame;
    int32_t fourier;                     // flag
    int32_t fourier_mode;
    char psf[ptPathLength];              // point-spread file
    int32_t fourier_nf;                  // noise filtering
    char nff[ptPathLength];              // noise file
    alignas(8) double filterfactor;
    double fourier_frame;
};

struct TptSelection {
    int32_t top;
    int32_t bottom;
    int32_t left;
    int32_t right;
};

// Image record. Pixels: rows of bytesPerLine = bitsPerPixel / 8 * width bytes without padding,
// R, G, B (24 bits) or A, R, G, B (32 bits); dataSize = bytesPerLine * height.
struct TptImageRecord {
    int32_t width;
    int32_t height;
    int32_t bytesPerLine;
    int32_t bitsPerPixel;  // 24 or 32
    int32_t dataSize;
    TptHandle data;        // pixel memory, or null
    int32_t dataformat;
    int32_t format;        // projection: 0 rectilinear, 4 equirectangular, others the library's
    alignas(8) double hfov;
    double yaw;
    double pitch;
    double roll;
    TptCorrectionRecord cP;
    char name[ptNameLength];
    TptSelection selection;
};

// Transform record: what filter_main is asked to do.
struct TptTransformRecord {
    TptImageRecord* src;
    TptImageRecord* dest;
    int32_t success;       // set 0 before the call; non-zero after a successful one
    int32_t tool;
    int32_t mode;
    void* data;            // the tool's record
    int32_t interpolator;
    int32_t reserved;
    alignas(8) double gamma;
};

// Stitch preferences record.
struct TptStitchPrefsRecord {
    int32_t magic;         // 70
    int32_t displayPart;
    int32_t saveFile;
    char sFile[ptPathLength];
    int32_t launchApp;
    char lApp[ptPathLength];
    int32_t interpolator;
    alignas(8) double gamma;
    int32_t noAlpha;
    int32_t optCreatePano;
};

// How images are merged by the adjust tool.
struct TptStitchBuffer {
    char srcName[ptNameLength];
    char destName[ptNameLength];
    int32_t feather;
    int32_t colcorrect;
    int32_t seam;
};

// Adjust record: insert, extract and the optimizer.
struct TptAdjustRecord {
    int32_t magic;         // 50
    int32_t mode;
    TptImageRecord im;
    TptImageRecord pano;
    TptStitchBuffer sBuf;
    char scriptFile[ptPathLength];
    int32_t nt;            // morphing triangles
    void* ts;
    void* td;
    int32_t interpolator;
    alignas(8) double gamma;
};

// The library's entry points.
enum TptFeatureType : int32_t { ptFeatureUnknown = 0, ptFeatureInt = 1, ptFeatureDouble = 2, ptFeatureString = 3 };

extern "C" {
using TptFilterMainProc = void (*)(TptTransformRecord* trans, TptStitchPrefsRecord* prefs);
using TptMyMallocProc = TptHandle (*)(size_t numBytes);
using TptMyFreeProc = void (*)(TptHandle handle);
using TptSetImageDefaultsProc = void (*)(TptImageRecord* im);
using TptSetAdjustDefaultsProc = void (*)(TptAdjustRecord* prefs);
using TptQueryFeatureCountProc = int (*)();
using TptQueryFeaturesProc = void (*)(int index, char** name, TptFeatureType* type);
using TptQueryFeatureIntProc = int (*)(const char* name, int* result);
using TptQueryFeatureDoubleProc = int (*)(const char* name, double* result);
using TptQueryFeatureStringProc = int (*)(const char* name, char* result, int bufsize);
}

// ---- layout checks ----
static_assert(sizeof(int32_t) == 4 && sizeof(double) == 8);
static_assert(offsetof(TptCorrectionRecord, magic) == 0);
static_assert(offsetof(TptCorrectionRecord, radial) == 4);
static_assert(offsetof(TptCorrectionRecord, radial_params) == 8);
static_assert(offsetof(TptCorrectionRecord, vertical) == 128);
static_assert(offsetof(TptCorrectionRecord, vertical_params) == 136);
static_assert(offsetof(TptCorrectionRecord, horizontal) == 160);
static_assert(offsetof(TptCorrectionRecord, horizontal_params) == 168);
static_assert(offsetof(TptCorrectionRecord, shear) == 192);
static_assert(offsetof(TptCorrectionRecord, shear_x) == 200);
static_assert(offsetof(TptCorrectionRecord, shear_y) == 208);
static_assert(offsetof(TptCorrectionRecord, resize) == 216);
static_assert(offsetof(TptCorrectionRecord, width) == 220);
static_assert(offsetof(TptCorrectionRecord, height) == 224);
static_assert(offsetof(TptCorrectionRecord, luminance) == 228);
static_assert(offsetof(TptCorrectionRecord, lum_params) == 232);
static_assert(offsetof(TptCorrectionRecord, correction_mode) == 256);
static_assert(offsetof(TptCorrectionRecord, cutFrame) == 260);
static_assert(offsetof(TptCorrectionRecord, fwidth) == 264);
static_assert(offsetof(TptCorrectionRecord, fheight) == 268);
static_assert(offsetof(TptCorrectionRecord, frame) == 272);
static_assert(offsetof(TptCorrectionRecord, fourier) == 276);
static_assert(offsetof(TptCorrectionRecord, fourier_mode) == 280);
static_assert(offsetof(TptCorrectionRecord, psf) == 284);
static_assert(offsetof(TptCorrectionRecord, fourier_nf) == 544);
static_assert(offsetof(TptCorrectionRecord, nff) == 548);
static_assert(offsetof(TptCorrectionRecord, filterfactor) == 808);
static_assert(offsetof(TptCorrectionRecord, fourier_frame) == 816);
static_assert(sizeof(TptCorrectionRecord) == 824);

static_assert(offsetof(TptStitchPrefsRecord, magic) == 0);
static_assert(offsetof(TptStitchPrefsRecord, displayPart) == 4);
static_assert(offsetof(TptStitchPrefsRecord, saveFile) == 8);
static_assert(offsetof(TptStitchPrefsRecord, launchApp) == 272);
static_assert(offsetof(TptStitchPrefsRecord, interpolator) == 536);
static_assert(offsetof(TptStitchPrefsRecord, gamma) == 544);
static_assert(sizeof(TptStitchPrefsRecord) == 560);

static_assert(offsetof(TptImageRecord, width) == 0);
static_assert(offsetof(TptImageRecord, height) == 4);
static_assert(offsetof(TptImageRecord, bytesPerLine) == 8);
static_assert(offsetof(TptImageRecord, bitsPerPixel) == 12);
static_assert(offsetof(TptImageRecord, dataSize) == 16);
static_assert(offsetof(TptAdjustRecord, magic) == 0);
static_assert(offsetof(TptAdjustRecord, mode) == 4);
static_assert(offsetof(TptAdjustRecord, im) == 8);
static_assert(offsetof(TptTransformRecord, src) == 0);

#if UINTPTR_MAX == 0xFFFFFFFFu
// 32-bit: the library's own offsets.
static_assert(sizeof(TptHandleBlock) == 8);
static_assert(offsetof(TptImageRecord, data) == 20);
static_assert(offsetof(TptImageRecord, dataformat) == 24);
static_assert(offsetof(TptImageRecord, format) == 28);
static_assert(offsetof(TptImageRecord, hfov) == 32);
static_assert(offsetof(TptImageRecord, yaw) == 40);
static_assert(offsetof(TptImageRecord, pitch) == 48);
static_assert(offsetof(TptImageRecord, roll) == 56);
static_assert(offsetof(TptImageRecord, cP) == 64);
static_assert(offsetof(TptImageRecord, name) == 888);
static_assert(offsetof(TptImageRecord, selection) == 1144);
static_assert(sizeof(TptImageRecord) == 1160);

static_assert(offsetof(TptTransformRecord, dest) == 4);
static_assert(offsetof(TptTransformRecord, success) == 8);
static_assert(offsetof(TptTransformRecord, tool) == 12);
static_assert(offsetof(TptTransformRecord, mode) == 16);
static_assert(offsetof(TptTransformRecord, data) == 20);
static_assert(offsetof(TptTransformRecord, interpolator) == 24);
static_assert(offsetof(TptTransformRecord, reserved) == 28);
static_assert(offsetof(TptTransformRecord, gamma) == 32);
static_assert(sizeof(TptTransformRecord) == 40);

static_assert(offsetof(TptAdjustRecord, pano) == 1168);
static_assert(offsetof(TptAdjustRecord, sBuf) == 2328);
static_assert(offsetof(TptAdjustRecord, sBuf.srcName) == 2328);
static_assert(offsetof(TptAdjustRecord, sBuf.destName) == 2584);
static_assert(offsetof(TptAdjustRecord, scriptFile) == 2852);
static_assert(sizeof(TptAdjustRecord) == 3136);
#else
// 64-bit: the same fields at their natural offsets with 8-byte pointers.
static_assert(sizeof(void*) == 8);
static_assert(sizeof(TptHandleBlock) == 16);
static_assert(offsetof(TptHandleBlock, tag) == 8);
static_assert(offsetof(TptImageRecord, data) == 24);
static_assert(offsetof(TptImageRecord, dataformat) == 32);
static_assert(offsetof(TptImageRecord, format) == 36);
static_assert(offsetof(TptImageRecord, hfov) == 40);
static_assert(offsetof(TptImageRecord, yaw) == 48);
static_assert(offsetof(TptImageRecord, pitch) == 56);
static_assert(offsetof(TptImageRecord, roll) == 64);
static_assert(offsetof(TptImageRecord, cP) == 72);
static_assert(offsetof(TptImageRecord, name) == 896);
static_assert(offsetof(TptImageRecord, selection) == 1152);
static_assert(sizeof(TptImageRecord) == 1168);

static_assert(offsetof(TptTransformRecord, dest) == 8);
static_assert(offsetof(TptTransformRecord, success) == 16);
static_assert(offsetof(TptTransformRecord, tool) == 20);
static_assert(offsetof(TptTransformRecord, mode) == 24);
static_assert(offsetof(TptTransformRecord, data) == 32);
static_assert(offsetof(TptTransformRecord, interpolator) == 40);
static_assert(offsetof(TptTransformRecord, reserved) == 44);
static_assert(offsetof(TptTransformRecord, gamma) == 48);
static_assert(sizeof(TptTransformRecord) == 56);

static_assert(offsetof(TptAdjustRecord, pano) == 1176);
static_assert(offsetof(TptAdjustRecord, sBuf) == 2344);
static_assert(offsetof(TptAdjustRecord, sBuf.srcName) == 2344);
static_assert(offsetof(TptAdjustRecord, sBuf.destName) == 2600);
static_assert(offsetof(TptAdjustRecord, scriptFile) == 2868);
static_assert(sizeof(TptAdjustRecord) == 3168);
#endif

}  // namespace qb
