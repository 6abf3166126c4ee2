// libpano12.so: the Panorama Tools library's ten entry points with our record layout, over
// the system's libpano13. Nothing thrown may cross these entry points.
#include "panotools/bridge/pano13side.h"
#include "panotools/ptrecords.h"

#define QB_EXPORT extern "C" __attribute__((visibility("default")))

using namespace qb;

QB_EXPORT void filter_main(TptTransformRecord* trans, TptStitchPrefsRecord* prefs) {
    try {
        bridge::RunFilter(trans, prefs);
    } catch (...) {
        if (trans) trans->success = 0;
    }
}

QB_EXPORT TptHandle mymalloc(size_t numBytes) { return bridge::NewHandle(numBytes); }

QB_EXPORT void myfree(TptHandle handle) { bridge::FreeHandle(handle); }

QB_EXPORT void SetImageDefaults(TptImageRecord* im) {
    if (!im) return;
    try {
        bridge::ImageDefaults(im);
    } catch (...) {
    }
}

QB_EXPORT void SetAdjustDefaults(TptAdjustRecord* prefs) {
    if (!prefs) return;
    try {
        bridge::AdjustDefaults(prefs);
    } catch (...) {
    }
}

QB_EXPORT int queryFeatureCount() {
    const auto& lib = bridge::Pano13();
    return lib.queryFeatureCount ? lib.queryFeatureCount() : 0;
}

QB_EXPORT void queryFeatures(int index, char** name, TptFeatureType* type) {
    const auto& lib = bridge::Pano13();
    if (lib.queryFeatures) {
        lib.queryFeatures(index, name, type);
    } else {
        if (name) *name = nullptr;
        if (type) *type = ptFeatureUnknown;
    }
}

QB_EXPORT int queryFeatureInt(const char* name, int* result) {
    const auto& lib = bridge::Pano13();
    return lib.queryFeatureInt && name && result ? lib.queryFeatureInt(name, result) : 0;
}

QB_EXPORT int queryFeatureDouble(const char* name, double* result) {
    const auto& lib = bridge::Pano13();
    return lib.queryFeatureDouble && name && result ? lib.queryFeatureDouble(name, result) : 0;
}

QB_EXPORT int queryFeatureString(const char* name, char* result, int bufsize) {
    const auto& lib = bridge::Pano13();
    if (!lib.queryFeatureString || !name) return 0;
    return lib.queryFeatureString(name, result, result ? bufsize : 0);
}
