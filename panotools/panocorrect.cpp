#include "panotools/panocorrect.h"

#include <cstdlib>
#include <cstring>

#include "panotools/panocorrect_internal.h"
#include "platform/dynlib.h"
#include "platform/files.h"

namespace qb {

namespace {

void* DefaultAllocator(size_t size) { return std::calloc(1, size); }

TptMemoryAllocator ptMemoryAllocator = DefaultAllocator;

[[noreturn]] void RaiseAllocationError(long long size) {
    throw EOutOfMemory(Format("Error allocating %lld KB of memory", size / 1024));
}

std::string MissingProcMessage(const char* name) {
    return std::string("Could not find the ") + name +
           " procedure in pano12.dll. Make sure that the dll is a compatible version";
}

}  // namespace

// ---------------------------------------------------------------- handles

TptMemoryAllocator SetPtMemoryAllocator(TptMemoryAllocator allocator) {
    TptMemoryAllocator previous = ptMemoryAllocator;
    ptMemoryAllocator = allocator ? allocator : DefaultAllocator;
    return previous;
}

TptHandle ptAlloc(int32_t size) {
    if (size < 0) RaiseAllocationError(size);
    auto* block = static_cast<TptHandleBlock*>(std::calloc(1, sizeof(TptHandleBlock)));
    if (!block) RaiseAllocationError(size);
    // A size of 0 still gets an address of its own, so that the handle is never half made.
    void* memory = ptMemoryAllocator(size > 0 ? static_cast<size_t>(size) : 1);
    if (!memory) {
        std::free(block);
        RaiseAllocationError(size);
    }
    block->address = memory;
    std::memcpy(block->tag, ptAllocTag, sizeof block->tag);
    return block;
}

void ptFree(TptHandle handle) {
    if (!handle) return;
    std::free(handle->address);
    std::free(handle);
}

// ---------------------------------------------------------------- TptImage

TptImage::TptImage() {
    std::memset(static_cast<TptImageRecord*>(this), 0, sizeof(TptImageRecord));
    bitsPerPixel = 32;
    hfov = 90.0;
}

TptImage::~TptImage() { FreeData(); }

void TptImage::UpdateSizes() {
    const long long line = static_cast<long long>(bitsPerPixel / 8) * width;
    const long long size = line * height;
    // Sizes beyond the record's 32-bit fields cannot be held; they would wrap to a wrong
    // (possibly small) buffer that the library then overruns.
    if (line > INT32_MAX || line < INT32_MIN || size > INT32_MAX || size < INT32_MIN)
        RaiseAllocationError(size);
    bytesPerLine = static_cast<int32_t>(line);
    dataSize = static_cast<int32_t>(size);
}

void TptImage::AllocData() {
    FreeData();
    UpdateSizes();
    if (dataSize > 0) {
        data = ptAlloc(dataSize);
        if (!data) throw Exception("Could not allocate memory");
    }
}

void TptImage::FreeData() {
    ptFree(data);
    data = nullptr;
}

void TptImage::ClearData() {
    if (data && data->address && dataSize > 0) std::memset(data->address, 0, static_cast<size_t>(dataSize));
}

void TptImage::CopyFrom(const TptImage& source) {
    if (&source == this) return;
    FreeData();
    std::memcpy(static_cast<TptImageRecord*>(this), static_cast<const TptImageRecord*>(&source),
                sizeof(TptImageRecord));
    data = nullptr;
    if (source.data) {
        data = ptAlloc(dataSize > 0 ? dataSize : 0);
        if (source.data->address && dataSize > 0)
            std::memcpy(data->address, source.data->address, static_cast<size_t>(dataSize));
    }
}

// ---------------------------------------------------------------- TPanoCorrect

std::string Pano12LibraryFile() {
    const char* env = std::getenv(Pano12LibraryVariable);
    if (env && *env) return env;
    const std::string exe = platform::ApplicationExeName();
    if (!exe.empty()) {
        const std::string beside = platform::ExtractFilePath(exe) + Pano12LibraryName;
        if (platform::FileExists(beside)) return beside;
    }
    return Pano12LibraryName;
}

TPanoCorrect::TPanoCorrect()
    : FRadialParams(std::make_unique<TPanoRadialParams>()),
      FShiftVerticalParams(std::make_unique<TPanoRGBParams>()),
      FShiftHorizontalParams(std::make_unique<TPanoRGBParams>()),
      FLuminanceParams(std::make_unique<TPanoRGBParams>()) {
    LoadLibrary();
}

TPanoCorrect::~TPanoCorrect() { FreeLibrary(); }

void TPanoCorrect::ClearEntryPoints() {
    filter_main = nullptr;
    mymalloc = nullptr;
    myfree = nullptr;
    SetImageDefaults = nullptr;
    SetAdjustDefaults = nullptr;
    queryFeatureCount = nullptr;
    queryFeatures = nullptr;
    queryFeatureInt = nullptr;
    queryFeatureDouble = nullptr;
    queryFeatureString = nullptr;
    FeatureQueryAvailable = false;
}

void TPanoCorrect::LoadLibrary() {
    if (LibraryHandle) return;
    void* lib = platform::LoadLibrary(Pano12LibraryFile());
    if (!lib)
        throw Exception(std::string("Could not load pano12.dll.\n\nProbably Panorama Tools is not installed "
                                    "(correctly). Please go to ") +
                        PanoToolsDownloadPage + " and install Panorama Tools.");
    // The five entry points without which nothing works, in this order; the first one
    // missing fails, and the library is let go again.
    auto require = [lib](const char* name) {
        void* p = platform::GetProcAddress(lib, name);
        if (!p) {
            platform::FreeLibrary(lib);
            throw Exception(MissingProcMessage(name));
        }
        return p;
    };
    auto fm = reinterpret_cast<TptFilterMainProc>(require("filter_main"));
    auto ma = reinterpret_cast<TptMyMallocProc>(require("mymalloc"));
    auto mf = reinterpret_cast<TptMyFreeProc>(require("myfree"));
    auto sid = reinterpret_cast<TptSetImageDefaultsProc>(require("SetImageDefaults"));
    auto sad = reinterpret_cast<TptSetAdjustDefaultsProc>(require("SetAdjustDefaults"));
    LibraryHandle = lib;
    filter_main = fm;
    mymalloc = ma;
    myfree = mf;
    SetImageDefaults = sid;
    SetAdjustDefaults = sad;
    queryFeatureCount = reinterpret_cast<TptQueryFeatureCountProc>(platform::GetProcAddress(lib, "queryFeatureCount"));
    FeatureQueryAvailable = queryFeatureCount != nullptr;
    if (FeatureQueryAvailable) {
        // Each of these may be missing on its own; its query then answers as unavailable.
        queryFeatures = reinterpret_cast<TptQueryFeaturesProc>(platform::GetProcAddress(lib, "queryFeatures"));
        queryFeatureInt = reinterpret_cast<TptQueryFeatureIntProc>(platform::GetProcAddress(lib, "queryFeatureInt"));
        queryFeatureDouble =
            reinterpret_cast<TptQueryFeatureDoubleProc>(platform::GetProcAddress(lib, "queryFeatureDouble"));
        queryFeatureString =
            reinterpret_cast<TptQueryFeatureStringProc>(platform::GetProcAddress(lib, "queryFeatureString"));
    }
}

void TPanoCorrect::FreeLibrary() {
    if (!LibraryHandle) return;
    ClearEntryPoints();
    platform::FreeLibrary(LibraryHandle);
    LibraryHandle = nullptr;
}

int TPanoCorrect::getPanoDllVersion() {
    LoadLibrary();
    constexpr size_t blockSize = 2000;
    static_assert(sizeof(TptImageRecord) < blockSize);
    alignas(TptImageRecord) unsigned char block[blockSize];
    std::memset(block, 110, sizeof block);
    SetImageDefaults(reinterpret_cast<TptImageRecord*>(block));
    if (block[offsetof(TptImageRecord, selection)] == 110) return 0;  // shorter than ours
    if (block[sizeof(TptImageRecord)] == 110) return 1;              // the same size
    return 2;                                                         // larger
}

int TPanoCorrect::checkVersion() {
    const int version = getPanoDllVersion();
    if (version == 0)
        throw Exception(
            "Your version of pano12.dll is incompatible with this program, which requires Panorama Tools 2.5 or "
            "newer. Install a recent version of Panorama Tools and remove any old versions of pano12.dll.");
    if (version == 2)
        throw Exception(
            "This program probably may not function correctly, because the version of pano12.dll on your system is "
            "incompatible with this program. You probably need to downgrade to an earlier version of Panorama Tools "
            "in order to use this software.");
    return version;
}

bool TPanoCorrect::GetFeatures(std::vector<std::string>& list) {
    if (!FeatureQueryAvailable || !queryFeatures) return false;
    const int count = queryFeatureCount();
    for (int i = 0; i < count; ++i) {
        char* name = nullptr;
        TptFeatureType type = ptFeatureUnknown;
        queryFeatures(i, &name, &type);
        list.emplace_back(name ? name : "");
    }
    return true;
}

std::string TPanoCorrect::GetStringFeature(const std::string& name) {
    if (!FeatureQueryAvailable || !queryFeatureString) return std::string();
    const int n = queryFeatureString(name.c_str(), nullptr, 0);
    if (n <= 0 || n == INT32_MAX) return std::string();
    std::vector<char> buffer(static_cast<size_t>(n) + 1, '\0');
    queryFeatureString(name.c_str(), buffer.data(), n + 1);
    buffer[static_cast<size_t>(n)] = '\0';  // the value ends inside the buffer whatever was written
    return std::string(buffer.data());
}

bool TPanoCorrect::GetIntFeature(const std::string& name, int32_t* value) {
    if (!FeatureQueryAvailable || !queryFeatureInt) return false;
    int result = 0;
    if (queryFeatureInt(name.c_str(), &result) <= 0) return false;
    if (value) *value = result;
    return true;
}

int32_t TPanoCorrect::GetIntFeature(const std::string& name, int32_t defaultValue) {
    int32_t value = defaultValue;
    return GetIntFeature(name, &value) ? value : defaultValue;
}

bool TPanoCorrect::GetDoubleFeature(const std::string& name, double& value) {
    if (!FeatureQueryAvailable || !queryFeatureDouble) return false;
    double result = 0;
    if (queryFeatureDouble(name.c_str(), &result) <= 0) return false;
    value = result;
    return true;
}

bool TPanoCorrect::HasFastTransform() { return !GetStringFeature("FastTransform01").empty(); }

double TPanoCorrect::GetMaxFoV() {
    double value = -1.0;
    return GetDoubleFeature("MaxFFOV", value) ? value : -1.0;
}

int32_t TPanoCorrect::GetNumLensTypes() { return GetIntFeature("NumLensTypes", -1); }

void TPanoCorrect::GetLensType(int number, std::string& name, bool& circular) {
    const std::string n = std::to_string(number);
    name = GetStringFeature("LensType" + n);
    if (!name.empty()) circular = GetStringFeature("LensMask" + n) == "C";
}

bool TPanoCorrect::CPErrorIsDistSphere() { return GetIntFeature("CPErrorIsDistSphere", 0) != 0; }

bool TPanoCorrect::CanLinkYPR() { return !GetStringFeature("Patch200309a").empty(); }

void TPanoCorrect::FillStitchPrefs(TptStitchPrefsRecord& prefs) const {
    prefs.magic = ptStitchPrefsMagic;
    prefs.displayPart = 0;
    prefs.saveFile = 0;
    prefs.launchApp = 0;
    prefs.interpolator = Interpolator;
    prefs.gamma = Gamma;
}

void TPanoCorrect::FillTransform(TptTransformRecord& trans, TptImageRecord* source, TptImageRecord* destination,
                                 int32_t tool, int32_t mode, void* data) const {
    trans.src = source;
    trans.dest = destination;
    trans.success = 0;
    trans.tool = tool;
    trans.mode = mode + (ShowProgress ? ptModeShowProgress : 0);
    trans.data = data;
    trans.interpolator = Interpolator;
    trans.gamma = Gamma;
}

void TPanoCorrect::RunOptimizer(const std::string& scriptFile) {
    using panocorrect::CopyText;
    using panocorrect::TLibraryBlock;
    LoadLibrary();
    TptImage source, destination;
    source.width = source.height = 1;
    source.bitsPerPixel = 32;
    source.AllocData();
    destination.width = destination.height = 1;
    destination.bitsPerPixel = 32;
    destination.AllocData();

    TLibraryBlock transBlock(mymalloc, myfree, sizeof(TptTransformRecord));
    TLibraryBlock prefsBlock(mymalloc, myfree, sizeof(TptStitchPrefsRecord));
    TLibraryBlock adjustBlock(mymalloc, myfree, sizeof(TptAdjustRecord));
    if (!transBlock || !prefsBlock || !adjustBlock) throw Exception("Out of memory!");

    auto* adjust = adjustBlock.As<TptAdjustRecord>();
    adjust->magic = ptAdjustMagic;
    adjust->mode = ptAdjustRunOptimizerScript;
    CopyText(adjust->scriptFile, sizeof adjust->scriptFile, scriptFile);

    auto* trans = transBlock.As<TptTransformRecord>();
    FillTransform(*trans, &source, &destination, ptToolAdjust, ptModeUseData + ptModeHostCanResize, adjust);
    auto* prefs = prefsBlock.As<TptStitchPrefsRecord>();
    FillStitchPrefs(*prefs);

    // The library reports nothing back here; the caller judges the result from the file.
    filter_main(trans, prefs);
}

}  // namespace qb
