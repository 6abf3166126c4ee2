// Binding to the Panorama Tools library: TPanoCorrect loads the library at run time, asks it
// for its features, runs its optimizer on a script file and passes images through its
// transforms (correct, insert, extract, resize); TptImage is the program's copy of the
// library's image record with handle-based pixel memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "panotools/ptrecords.h"

class QImage;

namespace qb {

class TzrMemBitmap;

// The address given to users whose Panorama Tools installation is missing or outdated.
inline constexpr const char* PanoToolsDownloadPage = "https://panotools.sourceforge.net/";

// The library's file: the environment variable PANO12_LIBRARY when set, else libpano12.so
// beside the program, else libpano12.so on the library path.
inline constexpr const char* Pano12LibraryVariable = "PANO12_LIBRARY";
inline constexpr const char* Pano12LibraryName = "libpano12.so";
std::string Pano12LibraryFile();

enum TptRadialType { ptRadial, ptVertical, ptHorizontal };
enum TptFourierMode { ptAddBlurr, ptRemoveBlurr };
enum TptFourierNF { ptInternal, ptCustom };
enum TptInterpolator {
    ptPoly3, ptSpline16, ptSpline36, ptSpline64, ptBilinear, ptNearestNeighbour, ptSinc256, ptSinc1024
};
enum TptMode { ptDialogTransform, ptLoadprefTransform, ptDialogSavepref, ptUseProperties };

// Radial correction coefficients of the three colours.
struct TPanoRadialParams {
    double red_a = 0, red_b = 0, red_c = 0, red_d = 1.0, red_r = 0;
    double green_a = 0, green_b = 0, green_c = 0, green_d = 1.0, green_r = 0;
    double blue_a = 0, blue_b = 0, blue_c = 0, blue_d = 1.0, blue_r = 0;
};

struct TPanoRGBParams {
    double red = 0, green = 0, blue = 0;
};

// Handles of pixel memory, in the form the library uses (address, "OTOF").
// ptAlloc raises "Error allocating %d KB of memory" when the memory cannot be had.
TptHandle ptAlloc(int32_t size);
void ptFree(TptHandle handle);
// The allocator of ptAlloc's memory: zero-filled memory of the given size or null (calloc by
// default). Returns the previous one; for running ptAlloc where memory is scarce.
using TptMemoryAllocator = void* (*)(size_t size);
TptMemoryAllocator SetPtMemoryAllocator(TptMemoryAllocator allocator);

// The library's image record with its operations. The object is the record itself (no
// other data), so that it is handed to the library as it stands.
class TptImage : public TptImageRecord {
public:
    TptImage();  // width, height 0; 32 bits per pixel; hfov 90; no pixels; empty name
    ~TptImage();
    TptImage(const TptImage&) = delete;
    TptImage& operator=(const TptImage&) = delete;

    void UpdateSizes();   // bytes per line and data size from width, height, bits per pixel
    void AllocData();     // fresh zeroed pixels of the current size (none for size 0)
    void FreeData();
    void ClearData();     // zeroes the pixels
    void CopyFrom(const TptImage& source);  // the whole record and a copy of its pixels
    // The address of the pixels, or null.
    uint8_t* Pixels() const { return data ? static_cast<uint8_t*>(data->address) : nullptr; }
};
static_assert(sizeof(TptImage) == sizeof(TptImageRecord));

class TPanoCorrect {
public:
    // Loads the library (LoadLibrary); fails with its message when that fails.
    TPanoCorrect();
    ~TPanoCorrect();
    TPanoCorrect(const TPanoCorrect&) = delete;
    TPanoCorrect& operator=(const TPanoCorrect&) = delete;

    // Published properties.
    bool cRadial = false;
    TptRadialType cRadialType = ptRadial;
    TPanoRadialParams& cRadialParams() { return *FRadialParams; }
    bool cShiftVertical = false;
    TPanoRGBParams& cShiftVerticalParams() { return *FShiftVerticalParams; }
    bool cShiftHorizontal = false;
    TPanoRGBParams& cShiftHorizontalParams() { return *FShiftHorizontalParams; }
    bool cShear = false;
    double cShearX = 0, cShearY = 0;
    bool cResize = false;
    int32_t cResizeWidth = 0, cResizeHeight = 0;
    bool cLuminance = false;
    TPanoRGBParams& cLuminanceParams() { return *FLuminanceParams; }
    bool cCutFrame = false;
    int32_t cCutWidth = 0, cCutHeight = 0, cCutFrameFrame = 0;
    bool cFourier = false;
    TptFourierMode cFourierMode = ptAddBlurr;
    std::string cFourierPSF;
    TptFourierNF cFourierNF = ptInternal;
    std::string cFourierNFF;
    double cFourierFilterFactor = 0, cFourierFrame = 0;
    TptInterpolator Interpolator = ptPoly3;
    double Gamma = 1.0;
    bool ShowProgress = true;
    TptMode cMode = ptUseProperties;

    // Loading: nothing happens when loaded already. FreeLibrary does nothing when not loaded.
    void LoadLibrary();
    void FreeLibrary();
    bool Loaded() const { return LibraryHandle != nullptr; }

    // The size of the library's image record against ours: 0 shorter, 1 equal, 2 longer.
    int getPanoDllVersion();
    // 1, or fails with the incompatibility message.
    int checkVersion();

    // Features. Without the queries they answer their defaults and never fail.
    bool CanQueryFeature() const { return FeatureQueryAvailable; }
    bool GetFeatures(std::vector<std::string>& list);
    std::string GetStringFeature(const std::string& name);
    // The value through a pointer, so that the two forms never compete for a variable.
    bool GetIntFeature(const std::string& name, int32_t* value);
    int32_t GetIntFeature(const std::string& name, int32_t defaultValue);
    bool GetDoubleFeature(const std::string& name, double& value);
    bool HasFastTransform();
    double GetMaxFoV();
    int32_t GetNumLensTypes();
    // name = "LensType"N; only when it is non-empty is circular set from "LensMask"N == "C".
    void GetLensType(int number, std::string& name, bool& circular);
    bool CPErrorIsDistSphere();
    bool CanLinkYPR();

    // Runs the library's optimizer on the script file, which it leaves holding the result.
    void RunOptimizer(const std::string& scriptFile);

    // ----- Image transforms. Each fails with its own message when the library reports no
    // success; the destination then holds whatever the library wrote into it.

    // Applies the corrections of the c* properties to source, giving destination.
    void Correct(TptImage& source, TptImage& destination);
    void Correct(TzrMemBitmap* source, TzrMemBitmap* destination);

    // Projects source (a, b, c: radial lens coefficients; d, e: horizontal and vertical
    // shift in pixels) into a panorama of width x height in panoFormat with panoHfov.
    void Insert(TptImage& source, TptImage& panorama, double hfov, double yaw, double pitch, double roll,
                double a, double b, double c, double d, double e, double shearX, double shearY,
                int32_t sourceFormat, int32_t width, int32_t height, double panoHfov, int32_t panoFormat);
    void Insert(TptImage& source, TzrMemBitmap* panorama, double hfov, double yaw, double pitch, double roll,
                double a, double b, double c, double d, double e, double shearX, double shearY,
                int32_t sourceFormat, int32_t width, int32_t height, double panoHfov, int32_t panoFormat);
    void Insert(TzrMemBitmap* source, TzrMemBitmap* panorama, double hfov, double yaw, double pitch,
                double roll, double a, double b, double c, double d, double e, double shearX, double shearY,
                int32_t sourceFormat, int32_t width, int32_t height, double panoHfov, int32_t panoFormat);

    // Takes a rectilinear view of width x height looking at yaw, pitch, roll out of an
    // equirectangular panorama of 360 degrees (the panorama record is marked as such).
    void Extract(TptImage& panorama, TptImage& destination, double hfov, double yaw, double pitch, double roll,
                 int32_t width, int32_t height);
    void Extract(TptImage& panorama, TzrMemBitmap* destination, double hfov, double yaw, double pitch,
                 double roll, int32_t width, int32_t height);
    void Extract(TptImage& panorama, QImage* destination, double hfov, double yaw, double pitch, double roll,
                 int32_t width, int32_t height);

    // Scales source to fit width x height, keeping its aspect; without a source (or one of
    // no size) the destination becomes a black width x height image.
    void Resize(TptImage* source, TptImage& destination, int32_t width, int32_t height);
    void Resize(TzrMemBitmap* source, TzrMemBitmap* destination, int32_t width, int32_t height);

    // Conversions between the bitmap (B, G, R(, A)) and the record (R, G, B or A, R, G, B).
    // No bitmap reads as 0 x 0 at 24 bits; ImageToBitmap does nothing without one.
    static void ImageFromBitmap(TptImage& record, TzrMemBitmap* bitmap);
    static void ImageToBitmap(TptImage& record, TzrMemBitmap* bitmap);

private:
    std::unique_ptr<TPanoRadialParams> FRadialParams;
    std::unique_ptr<TPanoRGBParams> FShiftVerticalParams;
    std::unique_ptr<TPanoRGBParams> FShiftHorizontalParams;
    std::unique_ptr<TPanoRGBParams> FLuminanceParams;

    void* LibraryHandle = nullptr;
    TptFilterMainProc filter_main = nullptr;
    TptMyMallocProc mymalloc = nullptr;
    TptMyFreeProc myfree = nullptr;
    TptSetImageDefaultsProc SetImageDefaults = nullptr;
    TptSetAdjustDefaultsProc SetAdjustDefaults = nullptr;
    TptQueryFeatureCountProc queryFeatureCount = nullptr;
    TptQueryFeaturesProc queryFeatures = nullptr;
    TptQueryFeatureIntProc queryFeatureInt = nullptr;
    TptQueryFeatureDoubleProc queryFeatureDouble = nullptr;
    TptQueryFeatureStringProc queryFeatureString = nullptr;
    bool FeatureQueryAvailable = false;

    void ClearEntryPoints();
    void FillStitchPrefs(TptStitchPrefsRecord& prefs) const;
    void FillTransform(TptTransformRecord& trans, TptImageRecord* source, TptImageRecord* destination,
                       int32_t tool, int32_t mode, void* data) const;
    // Extract on records; libraryCalled tells whether the library was asked (and so may
    // have allocated the destination's pixels).
    void ExtractImage(TptImage& panorama, TptImage& destination, double hfov, double yaw, double pitch,
                      double roll, int32_t width, int32_t height, bool& libraryCalled);
    // Releases pixels of a destination that the library allocated (with myfree) or that
    // were allocated here (with ptFree).
    void ReleaseDestination(TptImage& destination, bool byLibrary);
};

}  // namespace qb
