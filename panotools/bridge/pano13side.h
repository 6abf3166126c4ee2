// The bridge's side facing libpano13: the system's Panorama Tools library, loaded privately so
// that its entry points, which carry the same names as ours, never meet ours.
#pragma once

#include <cstddef>

#include "panotools/ptrecords.h"

namespace qb::bridge {

// libpano13's entry points, or null each when the library cannot be had.
struct TPano13 {
    void (*filter_main)(void* trans, void* prefs) = nullptr;
    int (*queryFeatureCount)() = nullptr;
    void (*queryFeatures)(int index, char** name, TptFeatureType* type) = nullptr;
    int (*queryFeatureInt)(const char* name, int* result) = nullptr;
    int (*queryFeatureDouble)(const char* name, double* result) = nullptr;
    int (*queryFeatureString)(const char* name, char* result, int bufsize) = nullptr;
};

// The library, loaded on first use.
const TPano13& Pano13();

// Our handles (address, "OTOF"), zero-filled.
TptHandle NewHandle(size_t numBytes);
void FreeHandle(TptHandle handle);

// Fills our records with the library's defaults.
void ImageDefaults(TptImageRecord* im);
void AdjustDefaults(TptAdjustRecord* prefs);

// Runs the tool of our transform record through libpano13's filter_main.
void RunFilter(TptTransformRecord* trans, TptStitchPrefsRecord* prefs);

// Rewrites a text file so that every line ends with CR LF.
void ConvertToCrLf(const char* fileName);

}  // namespace qb::bridge
