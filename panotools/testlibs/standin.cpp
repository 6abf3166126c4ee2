// A stand-in for the Panorama Tools library: the ten entry points over our records, with
// fixed features, recording what it is handed. Compile definitions make the variants:
//   STANDIN_NO_<ENTRY>           leave that entry point out (FILTER_MAIN, MYMALLOC, MYFREE,
//                                IMAGE_DEFAULTS, ADJUST_DEFAULTS, QUERY_COUNT, QUERY_FEATURES,
//                                QUERY_INT)
//   STANDIN_DEFAULTS_DELTA=n     SetImageDefaults writes sizeof(image record) + n bytes
//   STANDIN_FEATURE_COUNT=n      only the first n features exist
//   STANDIN_MALLOC_FAIL_AT=n     the n-th mymalloc call returns none
//   STANDIN_NO_SUCCESS           filter_main does its work but reports no success
// The transforms are stand-ins too: correct copies the source into a destination of its
// size, insert and extract fill the destination's size with a pattern; in both cases the
// destination's pixels come from mymalloc, as the real library's do.
#include "panotools/testlibs/standin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef STANDIN_DEFAULTS_DELTA
#define STANDIN_DEFAULTS_DELTA 0
#endif

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

using namespace qb;
using qb::standin::TStandinLog;

namespace {

TStandinLog log;

struct TFeature {
    const char* name;
    TptFeatureType type;
    int intValue;
    double doubleValue;
    const char* stringValue;
};

const TFeature features[] = {
    {"NumLensTypes", ptFeatureInt, 3, 0, nullptr},
    {"LensType0", ptFeatureString, 0, 0, "Normal (rectilinear)"},
    {"LensType1", ptFeatureString, 0, 0, "Fisheye Circular"},
    {"LensType2", ptFeatureString, 0, 0, ""},
    {"LensMask0", ptFeatureString, 0, 0, "R"},
    {"LensMask1", ptFeatureString, 0, 0, "C"},
    {"LensMask2", ptFeatureString, 0, 0, "C"},
    {"CanCropOutside", ptFeatureInt, 1, 0, nullptr},
    {"FastTransform01", ptFeatureString, 0, 0, "yes"},
    {"MaxFFOV", ptFeatureDouble, 0, 160.5, nullptr},
    {"CPErrorIsDistSphere", ptFeatureInt, 1, 0, nullptr},
    {"Patch200309a", ptFeatureString, 0, 0, "1"},
};

constexpr int AllFeatures = static_cast<int>(sizeof features / sizeof features[0]);
#ifdef STANDIN_FEATURE_COUNT
constexpr int FeatureCount = STANDIN_FEATURE_COUNT;
#else
constexpr int FeatureCount = AllFeatures;
#endif
static_assert(FeatureCount <= AllFeatures);

const TFeature* Find(const char* name) {
    if (!name) return nullptr;
    for (int i = 0; i < FeatureCount; ++i)
        if (std::strcmp(features[i].name, name) == 0) return &features[i];
    return nullptr;
}

// Blocks handed out by mymalloc, to tell whether a record lies in one.
void* blocks[64];
int blockCount = 0;

[[maybe_unused]] bool InBlock(const void* p) {
    for (int i = 0; i < blockCount; ++i)
        if (blocks[i] == p) return true;
    return false;
}

[[maybe_unused]] bool TagOk(const TptImageRecord* im) {
    return im && im->data && im->data->address && std::memcmp(im->data->tag, ptAllocTag, 4) == 0;
}

}  // namespace

STANDIN_EXPORT const TStandinLog* standin_Log() { return &log; }

STANDIN_EXPORT void standin_Reset() {
    const int live = log.liveHandles;
    std::memset(&log, 0, sizeof log);
    log.liveHandles = live;
}

#ifndef STANDIN_NO_MYMALLOC
STANDIN_EXPORT TptHandle mymalloc(size_t numBytes);
#endif

namespace {

#if !defined(STANDIN_NO_FILTER_MAIN) && !defined(STANDIN_NO_MYMALLOC)
// Gives the destination pixels of its own, as the library does when it has none.
void FillDestination(TptTransformRecord* trans) {
    TptImageRecord* src = trans->src;
    TptImageRecord* dest = trans->dest;
    if (!src || !dest || dest->data) return;
    if (trans->tool == ptToolCorrect) {
        if (!src->data || src->dataSize <= 0) return;
        dest->width = src->width;
        dest->height = src->height;
        dest->bitsPerPixel = src->bitsPerPixel;
        dest->bytesPerLine = src->bytesPerLine;
        dest->dataSize = src->dataSize;
        dest->data = mymalloc(static_cast<size_t>(src->dataSize));
        if (dest->data) std::memcpy(dest->data->address, src->data->address, static_cast<size_t>(src->dataSize));
        return;
    }
    if (trans->tool != ptToolAdjust || dest->dataSize <= 0) return;
    const int mode = static_cast<TptAdjustRecord*>(trans->data)->mode;
    if (mode != ptAdjustInsert && mode != ptAdjustExtract) return;
    dest->data = mymalloc(static_cast<size_t>(dest->dataSize));
    if (!dest->data) return;
    auto* bytes = static_cast<unsigned char*>(dest->data->address);
    for (int i = 0; i < dest->dataSize; ++i) bytes[i] = standin::PatternByte(i);
}
#endif

}  // namespace

#ifndef STANDIN_NO_FILTER_MAIN
STANDIN_EXPORT void filter_main(TptTransformRecord* trans, TptStitchPrefsRecord* prefs) {
    ++log.filterCalls;
    if (!trans) return;
    log.trans = *trans;
    if (prefs) log.prefs = *prefs;
    if (trans->src) log.src = *trans->src;
    if (trans->dest) log.dest = *trans->dest;
    log.srcTagOk = TagOk(trans->src);
    log.destTagOk = TagOk(trans->dest);
    if (trans->tool == ptToolAdjust && trans->data) log.adjust = *static_cast<TptAdjustRecord*>(trans->data);
    if (trans->tool == ptToolCorrect && trans->data)
        log.correct = *static_cast<TptCorrectionRecord*>(trans->data);
    log.recordsFromMymalloc = InBlock(trans) && InBlock(prefs) && InBlock(trans->data);
    if (trans->src && trans->src->data && trans->src->data->address && trans->src->dataSize > 0)
        std::memcpy(log.srcPixels, trans->src->data->address,
                    trans->src->dataSize < 8 ? static_cast<size_t>(trans->src->dataSize) : 8);
#ifndef STANDIN_NO_MYMALLOC
    if (trans->data) FillDestination(trans);
#endif
#ifdef STANDIN_NO_SUCCESS
    trans->success = 0;
#else
    trans->success = 1;
#endif
}
#endif

#ifndef STANDIN_NO_MYMALLOC
STANDIN_EXPORT TptHandle mymalloc(size_t numBytes) {
    const int call = ++log.mallocCalls;
    if (call <= 16) log.mallocSizes[call - 1] = numBytes;
#ifdef STANDIN_MALLOC_FAIL_AT
    if (call == STANDIN_MALLOC_FAIL_AT) return nullptr;
#endif
    auto* block = static_cast<TptHandleBlock*>(std::calloc(1, sizeof(TptHandleBlock)));
    if (!block) return nullptr;
    block->address = std::malloc(numBytes > 0 ? numBytes : 1);
    if (!block->address) {
        std::free(block);
        return nullptr;
    }
    std::memset(block->address, standin::FillByte, numBytes);
    std::memcpy(block->tag, ptAllocTag, 4);
    if (blockCount < 64) blocks[blockCount++] = block->address;
    ++log.liveHandles;
    return block;
}
#endif

#ifndef STANDIN_NO_MYFREE
STANDIN_EXPORT void myfree(TptHandle handle) {
    if (!handle) return;
    for (int i = 0; i < blockCount; ++i)
        if (blocks[i] == handle->address) blocks[i] = blocks[--blockCount];
    std::free(handle->address);
    std::free(handle);
    --log.liveHandles;
}
#endif

#ifndef STANDIN_NO_IMAGE_DEFAULTS
STANDIN_EXPORT void SetImageDefaults(TptImageRecord* im) {
    ++log.imageDefaultsCalls;
    std::memset(im, 0, sizeof(TptImageRecord) + STANDIN_DEFAULTS_DELTA);
    if (sizeof(TptImageRecord) + STANDIN_DEFAULTS_DELTA >= offsetof(TptImageRecord, hfov) + sizeof(double)) {
        im->bitsPerPixel = 32;
        im->hfov = 50.0;
    }
}
#endif

#ifndef STANDIN_NO_ADJUST_DEFAULTS
STANDIN_EXPORT void SetAdjustDefaults(TptAdjustRecord* prefs) {
    std::memset(prefs, 0, sizeof *prefs);
    prefs->magic = ptAdjustMagic;
}
#endif

#ifndef STANDIN_NO_QUERY_COUNT
STANDIN_EXPORT int queryFeatureCount() { return FeatureCount; }
#endif

#ifndef STANDIN_NO_QUERY_FEATURES
STANDIN_EXPORT void queryFeatures(int index, char** name, TptFeatureType* type) {
    if (index < 0 || index >= FeatureCount) {
        *name = nullptr;
        *type = ptFeatureUnknown;
        return;
    }
    *name = const_cast<char*>(features[index].name);
    *type = features[index].type;
}
#endif

#ifndef STANDIN_NO_QUERY_INT
STANDIN_EXPORT int queryFeatureInt(const char* name, int* result) {
    const TFeature* f = Find(name);
    if (!f || f->type != ptFeatureInt) return 0;
    *result = f->intValue;
    return 1;
}
#endif

STANDIN_EXPORT int queryFeatureDouble(const char* name, double* result) {
    const TFeature* f = Find(name);
    if (!f || f->type != ptFeatureDouble) return 0;
    *result = f->doubleValue;
    return 1;
}

STANDIN_EXPORT int queryFeatureString(const char* name, char* result, const int bufsize) {
    const TFeature* f = Find(name);
    if (!f) return 0;
    std::string value;
    if (f->type == ptFeatureString) value = f->stringValue;
    else if (f->type == ptFeatureInt) value = std::to_string(f->intValue);
    else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", f->doubleValue);
        value = buf;
    }
    if (result && bufsize > 0) {
        const size_t n = value.size() < static_cast<size_t>(bufsize) - 1 ? value.size() : bufsize - 1;
        std::memcpy(result, value.data(), n);
        result[n] = '\0';
    }
    return static_cast<int>(value.size());
}
