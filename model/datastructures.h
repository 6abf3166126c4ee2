// The project model: source images with their placement and lens parameters, control
// points, output panorama settings, optimizer settings and morph-to-fit data; and the one
// text format in which projects, stitcher scripts and optimizer scripts are written
// (MakeScriptText) and read back (ReadProjectText).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qb {

// The cache classes belong to the Panorama Tools binding and to the memory bitmap; the
// model only holds them.
class TptImage;
class TzrMemBitmap;

// ---------------------------------------------------------------------------------------
// Image caches
//
// A cache object is released and copied by the module that defines its class. That module
// hands the two operations over together with each cache it stores in an image
// (TvrdCache<T>(object, ops)), so that the model can destroy the cache and copy it in
// Assign without knowing the class. A cache without a Release operation is never stored.
template <typename T>
struct TvrdCacheOps {
    void (*Release)(T* object) = nullptr;
    // A new, independent copy of the object (TptImage::CopyFrom, TzrMemBitmap::Assign).
    T* (*Copy)(const T* object) = nullptr;

    void operator()(T* object) const {
        if (object && Release) Release(object);
    }
};

template <typename T>
using TvrdCache = std::unique_ptr<T, TvrdCacheOps<T>>;

// ---------------------------------------------------------------------------------------
// Value records

struct TvrdLensParams {
    double Hfov = 50.0;
    double A = 0.001;
    double B = 0.001;
    double C = 0.001;
    int32_t LensType = 0;
    double CropFactor = 1.0;

    bool operator==(const TvrdLensParams&) const = default;
};

struct TvrdShift {
    double D = 0;
    double E = 0;

    bool operator==(const TvrdShift&) const = default;
};

struct TvrdShear {
    double G = 0;
    double T = 0;

    bool operator==(const TvrdShear&) const = default;
};

struct TvrdControlPoint {
    int32_t Image1 = 0;
    int32_t Image2 = 0;
    int32_t X1 = 0;
    int32_t Y1 = 0;
    int32_t X2 = 0;
    int32_t Y2 = 0;
    int32_t Type = 0;
    double Distance = -1.0;
    bool Optimize = true;
    bool Morph = false;
};

struct TvrdPanoramaParams {
    double Hfov = 100.0;
    double Vfov = 100.0;
    std::string OutputFile;
    int32_t FeatherWidth = 20;
    int32_t Projection = 0;
    int32_t OutputFormat = 7;
    int32_t JpegQuality = 90;
    bool JpegProgressive = false;
    int32_t Interpolator = 0;
    double Gamma = 1.0;
    bool FastTransform = true;

    // Hfov, Vfov and Projection equal.
    bool GeometryEquals(const TvrdPanoramaParams& other) const;
};

// ---------------------------------------------------------------------------------------
// Images

class TvrdImage {
public:
    TvrdImage();
    ~TvrdImage();
    TvrdImage(const TvrdImage&) = delete;
    TvrdImage& operator=(const TvrdImage&) = delete;

    // Copies every field from Width on. With the same file name the image keeps its caches
    // and marks them stale where the source differs; otherwise it takes the source's name,
    // drops its caches and, with copyCaches, copies the source's.
    void Assign(const TvrdImage& source, bool copyCaches);

    // CropLeft or CropTop not 0, or CropRight not Width, or CropBottom not Height.
    bool IsCropped() const;

    // Releases the Panorama Tools record and the five bitmaps.
    void ReleaseCaches();

    std::string FileName;
    TvrdCache<TptImage> PtImage;
    std::array<TvrdCache<TzrMemBitmap>, 5> Bitmaps;
    int32_t Width = 0;
    int32_t Height = 0;
    double Yaw = 0;
    double Pitch = 0;
    double Roll = 0;
    TvrdLensParams Lens;
    bool OwnLens = false;
    TvrdShift Shift;
    bool OwnShift = false;
    TvrdShear Shear;
    bool OwnShear = false;
    bool OptimizeYaw = true;
    bool OptimizePitch = true;
    bool OptimizeRoll = true;
    bool OptimizeV = true;
    bool OptimizeA = true;
    bool OptimizeB = true;
    bool OptimizeC = true;
    bool OptimizeD = false;
    bool OptimizeE = false;
    bool OptimizeG = false;
    bool OptimizeT = false;
    bool ControlPointsActive = true;
    bool InPreview = true;
    bool InStitch = true;
    // Change flags 1 to 7 at indices 0 to 6: which derived data of kept caches is stale.
    // 1 and 4: size or crop changed; 2 and 3: size, crop, placement, lens, shift or shear
    // changed; 5 to 7 are carried along.
    std::array<bool, 7> Changed{};
    int32_t Rotation = 0;
    int32_t CropLeft = 0;
    int32_t CropRight = 0;
    int32_t CropTop = 0;
    int32_t CropBottom = 0;
};

// ---------------------------------------------------------------------------------------
// The project

class TvrdProject {
public:
    TvrdProject();
    ~TvrdProject();
    TvrdProject(const TvrdProject&) = delete;
    TvrdProject& operator=(const TvrdProject&) = delete;

    int ImageCount() const { return static_cast<int>(Images.size()); }
    int ControlPointCount() const { return static_cast<int>(ControlPoints.size()); }
    // The i-th image or point; an index outside the list raises an internal error.
    TvrdImage& Image(int index);
    const TvrdImage& Image(int index) const;
    TvrdControlPoint& ControlPoint(int index);
    const TvrdControlPoint& ControlPoint(int index) const;

    // A new image with the defaults at index (0 .. image count); shifts the control point
    // image indices and ColorRefImage at or after index. Raises "Attempt to insert an image
    // at illegal position" otherwise.
    TvrdImage& InsertImage(int index);
    TvrdImage& AddImage();
    // A new point with the defaults at index (0 .. point count). Raises "Attempt to insert
    // a control point at illegal position" otherwise.
    TvrdControlPoint& InsertControlPoint(int index);
    TvrdControlPoint& AddControlPoint();
    // Destroys every image and every control point.
    void Clear();

    // Makes this project a copy of source. Without copyCaches, image objects whose file
    // name the source still uses are reused with their caches.
    void Assign(const TvrdProject& source, bool copyCaches);

    // Images without their own lens, shift or shear take the global record.
    void ApplyGlobalParams();
    // The fixed reference image: -1 when there are no images.
    int FindAnchorImage() const;
    // With SimpleOptimizer: the fixed optimise pattern of the simple optimizer mode.
    void ApplySimpleOptimizer();

    bool IsMorphControlPoint(int index) const;
    bool UsesMorphToFit() const;

    // Panorama Vfov from the size; Height from the Vfov; PreviewHeight from the Vfov.
    // Projection codes other than 0 to 3 leave the values as they are.
    void ComputeVfov();
    void ComputeHeightFromVfov();
    void ComputePreviewHeight();

    std::vector<std::unique_ptr<TvrdImage>> Images;
    std::vector<std::unique_ptr<TvrdControlPoint>> ControlPoints;
    std::string MorphToFitData;
    TvrdPanoramaParams Panorama;
    TvrdLensParams GlobalLens;
    TvrdShift GlobalShift;
    TvrdShear GlobalShear;
    bool OptimizeGlobalV = true;
    bool OptimizeGlobalA = false;
    bool OptimizeGlobalB = true;
    bool OptimizeGlobalC = false;
    bool OptimizeGlobalD = false;
    bool OptimizeGlobalE = false;
    bool OptimizeGlobalG = false;
    bool OptimizeGlobalT = false;
    int32_t PreviewWidth = 250;
    int32_t PreviewHeight = 250;
    int32_t Width = 1000;
    int32_t Height = 1000;
    bool FixAspect = true;
    bool SimpleOptimizer = true;
    int32_t ColorRefImage = 0;
    bool ColorCorrection = false;
    int32_t ColorCorrectionKind = 0;
    bool HasBeenOptimized = false;
    int32_t MorphMode = 2;
    bool EnblendEnabled = true;
    bool LinkPitch = false;
    bool LinkRoll = false;
};

// ---------------------------------------------------------------------------------------
// Numeric helpers (angles in degrees, projection code p)

// Vertical field of view of a panorama of the given size: 0 when width is 0; no value for
// projection codes other than 0 (rectilinear), 1 (cylindrical), 2 (equirectangular) and
// 3 (the linear fourth code).
std::optional<double> VfovFromSize(int p, int width, int height, double hfov);
// Height of a panorama with the given fields of view: 0 when hfov is 0; no value for
// projection codes other than 0 to 3.
std::optional<double> HeightFromFov(int p, int width, double hfov, double vfov);
// x rounded to n significant digits (at least n: digits before the point are kept).
double RoundSignificant(double x, int n);

// ---------------------------------------------------------------------------------------
// Writer

enum class ScriptMode { Stitch = 0, Optimize = 1, Project = 2, Preview = 3, MorphOptimize = 4 };

// The output format codes of the panorama (TvrdPanoramaParams::OutputFormat).
constexpr int32_t kFormatJPEG = 7;
constexpr int32_t kFormatTIFF_m = 9;
constexpr int32_t kFormatVRML = 0x10000001;
constexpr int32_t kFormatQTVR = 0x10000002;

// The name of an output format code; "" for an unknown code.
std::string OutputFormatName(int32_t code);
// The code of a format name (case-sensitive); 0 for an unknown name.
int32_t OutputFormatFromName(const std::string& name);
// True for the formats that carry JPEG quality and progressive options.
bool FormatTakesJpegOptions(int32_t code);

// Receives the message of a failed check (the caller shows it).
using TvrdMessageSink = std::function<void(const std::string& message)>;

// The project as text in the given mode: a project file, a stitcher script (final or
// preview) or an optimizer script (plain or morph-to-fit), with CR LF line ends. The
// Optimize mode checks that there is something to optimize; when a check fails it passes
// the message to showError and returns the empty text.
std::string MakeScriptText(const TvrdProject& project, ScriptMode mode,
                           const TvrdMessageSink& showError = nullptr);

// ---------------------------------------------------------------------------------------
// Reader

enum class ReadMode { OptimizerResult = 0, OptimizerScript = 1, Project = 2, MorphResult = 4 };

// Reads text in the project and script format into project (see ReadMode). checkHeader:
// in the OptimizerScript and Project modes the first line must be the project header.
// skipImageCheck: do not test that the first image file exists. skipLensValues: ignore
// the v, a, b, c, d, e, g, t and f fields of image lines. Failures raise Exception (the
// project may then be partly filled) and EConvertError for a number that does not parse.
void ReadProjectText(const std::string& text, ReadMode mode, TvrdProject& project,
                     bool checkHeader, bool skipImageCheck, bool skipLensValues);

}  // namespace qb
