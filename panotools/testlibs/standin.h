// What the stand-in Panorama Tools libraries saw, for the binding's tests. Each stand-in
// exports standin_Log() and standin_Reset() beside the library's entry points.
#pragma once

#include <cstddef>

#include "panotools/ptrecords.h"

namespace qb::standin {

// Fill byte of the memory the stand-in's mymalloc hands out, so that tests see which bytes
// the caller set.
constexpr unsigned char FillByte = 0xAB;

// Byte i of the pixels the stand-in's insert and extract produce.
constexpr unsigned char PatternByte(int i) { return static_cast<unsigned char>(i * 7 + 3); }

struct TStandinLog {
    int filterCalls;
    TptTransformRecord trans;      // as received (pointers as given)
    TptStitchPrefsRecord prefs;
    TptAdjustRecord adjust;        // when the tool is adjust
    TptCorrectionRecord correct;   // when the tool is correct
    TptImageRecord src;
    TptImageRecord dest;
    int srcTagOk;                  // the images' pixel handles are in ptAlloc's form
    int destTagOk;
    int recordsFromMymalloc;       // transform, prefs and tool data all lie in mymalloc blocks
    int mallocCalls;
    size_t mallocSizes[16];
    int liveHandles;               // mymalloc handles not yet given to myfree
    int imageDefaultsCalls;
    unsigned char srcPixels[8];    // the first bytes of the source's pixels
};

}  // namespace qb::standin

extern "C" {
using TStandinLogProc = const qb::standin::TStandinLog* (*)();
using TStandinResetProc = void (*)();
}
