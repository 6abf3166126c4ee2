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

// The fast transform (the "m" line's f0) is honoured by the stitcher this platform installs
// (PTmender behind our PTStitcher front), but libpano13 does not report it; the bridge
// speaks for that stitcher and adds the feature when the library lacks it.
namespace {

constexpr const char kFastTransform[] = "FastTransform01";
constexpr const char kFastTransformValue[] = "yes";

bool SameName(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// Whether libpano13 answers the feature itself.
bool LibraryHasFastTransform() {
    static const bool has = [] {
        const auto& lib = bridge::Pano13();
        return lib.queryFeatureString && lib.queryFeatureString(kFastTransform, nullptr, 0) > 0;
    }();
    return has;
}

}  // namespace

QB_EXPORT int queryFeatureCount() {
    const auto& lib = bridge::Pano13();
    const int count = lib.queryFeatureCount ? lib.queryFeatureCount() : 0;
    return LibraryHasFastTransform() ? count : count + 1;
}

QB_EXPORT void queryFeatures(int index, char** name, TptFeatureType* type) {
    const auto& lib = bridge::Pano13();
    const int count = lib.queryFeatureCount ? lib.queryFeatureCount() : 0;
    if (!LibraryHasFastTransform() && index == count) {
        static char ownName[sizeof kFastTransform];
        for (size_t i = 0; i < sizeof kFastTransform; ++i) ownName[i] = kFastTransform[i];
        if (name) *name = ownName;
        if (type) *type = ptFeatureString;
    } else if (lib.queryFeatures) {
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
    if (!name) return 0;
    if (SameName(name, kFastTransform) && !LibraryHasFastTransform()) {
        // The length of the value; as much of it as fits, zero-terminated, when there is room.
        const int length = int(sizeof kFastTransformValue) - 1;
        if (result && bufsize > 0) {
            const int n = length < bufsize - 1 ? length : bufsize - 1;
            for (int i = 0; i < n; ++i) result[i] = kFastTransformValue[i];
            result[n] = '\0';
        }
        return length;
    }
    if (!lib.queryFeatureString) return 0;
    return lib.queryFeatureString(name, result, result ? bufsize : 0);
}
