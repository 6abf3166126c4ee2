// The project model: images, control points, global parameters and their operations.
#include "model/datastructures.h"

#include <cmath>
#include <limits>
#include <map>

#include "core/exceptions.h"

namespace qb {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A copy of a cache through the operations its module stored with it.
template <typename T>
TvrdCache<T> CopyCache(const TvrdCache<T>& source) {
    if (!source) return TvrdCache<T>();
    const TvrdCacheOps<T>& ops = source.get_deleter();
    if (!ops.Copy)
        throw Exception("Internal error: an image cache without a copy operation");
    return TvrdCache<T>(ops.Copy(source.get()), ops);
}

// The integer part of a computed size, held inside the integer range (NaN reads as 0).
int32_t TruncToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace

bool TvrdPanoramaParams::GeometryEquals(const TvrdPanoramaParams& other) const {
    return Hfov == other.Hfov && Vfov == other.Vfov && Projection == other.Projection;
}

// ---------------------------------------------------------------------------------------
// TvrdImage

TvrdImage::TvrdImage() = default;

TvrdImage::~TvrdImage() { ReleaseCaches(); }

void TvrdImage::ReleaseCaches() {
    PtImage.reset();
    for (auto& bitmap : Bitmaps) bitmap.reset();
}

bool TvrdImage::IsCropped() const {
    return CropLeft != 0 || CropTop != 0 || CropRight != Width || CropBottom != Height;
}

void TvrdImage::Assign(const TvrdImage& source, bool copyCaches) {
    if (&source == this) return;
    if (FileName == source.FileName) {
        const bool sizeOrCrop = Width != source.Width || Height != source.Height ||
                                CropLeft != source.CropLeft || CropRight != source.CropRight ||
                                CropTop != source.CropTop || CropBottom != source.CropBottom;
        const bool geometry = sizeOrCrop || Yaw != source.Yaw || Pitch != source.Pitch ||
                              Roll != source.Roll || !(Lens == source.Lens) ||
                              !(Shift == source.Shift) || !(Shear == source.Shear);
        if (sizeOrCrop) Changed[0] = Changed[3] = true;
        if (geometry) Changed[1] = Changed[2] = true;
    } else {
        FileName = source.FileName;
        ReleaseCaches();
        if (copyCaches) {
            PtImage = CopyCache(source.PtImage);
            for (size_t i = 0; i < Bitmaps.size(); ++i) Bitmaps[i] = CopyCache(source.Bitmaps[i]);
        }
        // The image now stands for the source's file: its staleness travels with it.
        Changed = source.Changed;
    }
    Width = source.Width;
    Height = source.Height;
    Yaw = source.Yaw;
    Pitch = source.Pitch;
    Roll = source.Roll;
    Lens = source.Lens;
    OwnLens = source.OwnLens;
    Shift = source.Shift;
    OwnShift = source.OwnShift;
    Shear = source.Shear;
    OwnShear = source.OwnShear;
    OptimizeYaw = source.OptimizeYaw;
    OptimizePitch = source.OptimizePitch;
    OptimizeRoll = source.OptimizeRoll;
    OptimizeV = source.OptimizeV;
    OptimizeA = source.OptimizeA;
    OptimizeB = source.OptimizeB;
    OptimizeC = source.OptimizeC;
    OptimizeD = source.OptimizeD;
    OptimizeE = source.OptimizeE;
    OptimizeG = source.OptimizeG;
    OptimizeT = source.OptimizeT;
    ControlPointsActive = source.ControlPointsActive;
    InPreview = source.InPreview;
    InStitch = source.InStitch;
    Rotation = source.Rotation;
    CropLeft = source.CropLeft;
    CropRight = source.CropRight;
    CropTop = source.CropTop;
    CropBottom = source.CropBottom;
}

// ---------------------------------------------------------------------------------------
// TvrdProject

TvrdProject::TvrdProject() = default;

TvrdProject::~TvrdProject() { Clear(); }

TvrdImage& TvrdProject::Image(int index) {
    if (index < 0 || index >= ImageCount())
        throw Exception(Format("Internal error: image index %d out of range", index));
    return *Images[static_cast<size_t>(index)];
}

const TvrdImage& TvrdProject::Image(int index) const {
    return const_cast<TvrdProject*>(this)->Image(index);
}

TvrdControlPoint& TvrdProject::ControlPoint(int index) {
    if (index < 0 || index >= ControlPointCount())
        throw Exception(Format("Internal error: control point index %d out of range", index));
    return *ControlPoints[static_cast<size_t>(index)];
}

const TvrdControlPoint& TvrdProject::ControlPoint(int index) const {
    return const_cast<TvrdProject*>(this)->ControlPoint(index);
}

TvrdImage& TvrdProject::InsertImage(int index) {
    const int n = ImageCount();
    if (index > n || index < 0) throw Exception("Attempt to insert an image at illegal position");
    auto image = std::make_unique<TvrdImage>();
    TvrdImage& result = *image;
    if (n == 0) {
        // The first image is the fixed reference.
        result.OptimizeYaw = result.OptimizePitch = result.OptimizeRoll = false;
    }
    if (index == n) {
        Images.push_back(std::move(image));
    } else {
        Images.insert(Images.begin() + index, std::move(image));
        // (An index at the top of the integer range cannot move further.)
        constexpr int32_t top = std::numeric_limits<int32_t>::max();
        if (ColorRefImage >= index && ColorRefImage < top) ++ColorRefImage;
        for (auto& cp : ControlPoints) {
            if (cp->Image1 >= index && cp->Image1 < top) ++cp->Image1;
            if (cp->Image2 >= index && cp->Image2 < top) ++cp->Image2;
        }
    }
    if (SimpleOptimizer) {
        if (n == 0) {
            ApplySimpleOptimizer();
        } else {
            result.OptimizeYaw = result.OptimizePitch = result.OptimizeRoll = true;
            result.OptimizeV = result.OptimizeA = result.OptimizeB = result.OptimizeC = true;
            result.OptimizeD = result.OptimizeE = true;
            result.ControlPointsActive = true;
            result.OptimizeG = result.OptimizeT = false;
        }
    }
    return result;
}

TvrdImage& TvrdProject::AddImage() { return InsertImage(ImageCount()); }

TvrdControlPoint& TvrdProject::InsertControlPoint(int index) {
    const int n = ControlPointCount();
    if (index > n || index < 0)
        throw Exception("Attempt to insert a control point at illegal position");
    auto point = std::make_unique<TvrdControlPoint>();
    TvrdControlPoint& result = *point;
    ControlPoints.insert(ControlPoints.begin() + index, std::move(point));
    return result;
}

TvrdControlPoint& TvrdProject::AddControlPoint() { return InsertControlPoint(ControlPointCount()); }

void TvrdProject::Clear() {
    Images.clear();
    ControlPoints.clear();
}

void TvrdProject::Assign(const TvrdProject& source, bool copyCaches) {
    if (&source == this) return;
    SimpleOptimizer = false;  // no simple-optimizer defaults while the images are added

    std::vector<std::unique_ptr<TvrdImage>> oldImages = std::move(Images);
    Images.clear();
    std::multimap<std::string, size_t> byName;
    for (size_t i = 0; i < oldImages.size(); ++i) byName.emplace(oldImages[i]->FileName, i);
    const bool globalsChanged = !(GlobalLens == source.GlobalLens) ||
                                !(GlobalShift == source.GlobalShift) ||
                                !(GlobalShear == source.GlobalShear) ||
                                !Panorama.GeometryEquals(source.Panorama);

    for (const auto& src : source.Images) {
        if (copyCaches) {
            AddImage().Assign(*src, true);
            continue;
        }
        TvrdImage* image = nullptr;
        auto found = byName.find(src->FileName);  // the first of the equal range
        if (found != byName.end()) {
            Images.push_back(std::move(oldImages[found->second]));
            byName.erase(found);
            image = Images.back().get();
        } else {
            image = &AddImage();
        }
        image->Assign(*src, false);
        if (globalsChanged) image->Changed[1] = image->Changed[2] = true;
    }
    oldImages.clear();  // the images no source image took over

    ControlPoints.clear();
    for (const auto& src : source.ControlPoints) AddControlPoint() = *src;

    Panorama = source.Panorama;
    GlobalLens = source.GlobalLens;
    GlobalShift = source.GlobalShift;
    GlobalShear = source.GlobalShear;
    OptimizeGlobalV = source.OptimizeGlobalV;
    OptimizeGlobalA = source.OptimizeGlobalA;
    OptimizeGlobalB = source.OptimizeGlobalB;
    OptimizeGlobalC = source.OptimizeGlobalC;
    OptimizeGlobalD = source.OptimizeGlobalD;
    OptimizeGlobalE = source.OptimizeGlobalE;
    OptimizeGlobalG = source.OptimizeGlobalG;
    OptimizeGlobalT = source.OptimizeGlobalT;
    PreviewWidth = source.PreviewWidth;
    PreviewHeight = source.PreviewHeight;
    Width = source.Width;
    Height = source.Height;
    FixAspect = source.FixAspect;
    SimpleOptimizer = source.SimpleOptimizer;
    ApplySimpleOptimizer();
    ColorRefImage = source.ColorRefImage;
    ColorCorrection = source.ColorCorrection;
    ColorCorrectionKind = source.ColorCorrectionKind;
    HasBeenOptimized = source.HasBeenOptimized;
    MorphToFitData = source.MorphToFitData;
    MorphMode = source.MorphMode;
    EnblendEnabled = source.EnblendEnabled;
    LinkPitch = source.LinkPitch;
    LinkRoll = source.LinkRoll;
}

void TvrdProject::ApplyGlobalParams() {
    for (auto& image : Images) {
        if (!image->OwnLens) image->Lens = GlobalLens;
        if (!image->OwnShift) image->Shift = GlobalShift;
        if (!image->OwnShear) image->Shear = GlobalShear;
    }
}

int TvrdProject::FindAnchorImage() const {
    for (int i = 0; i < ImageCount(); ++i) {
        const TvrdImage& im = *Images[static_cast<size_t>(i)];
        if (!im.OptimizeYaw && !im.OptimizePitch && !im.OptimizeRoll) return i;
    }
    for (int i = 0; i < ImageCount(); ++i) {
        const TvrdImage& im = *Images[static_cast<size_t>(i)];
        if (!im.OptimizeYaw || !im.OptimizePitch || !im.OptimizeRoll) return i;
    }
    return ImageCount() > 0 ? 0 : -1;
}

void TvrdProject::ApplySimpleOptimizer() {
    if (!SimpleOptimizer) return;
    const int anchor = FindAnchorImage();
    bool t1 = false, t2 = false;
    for (const auto& cp : ControlPoints) {
        if (cp->Type == 1) t1 = true;
        if (cp->Type == 2) t2 = true;
    }
    for (int j = 0; j < ImageCount(); ++j) {
        TvrdImage& im = *Images[static_cast<size_t>(j)];
        const bool other = j != anchor;
        im.OptimizeYaw = other;
        im.OptimizePitch = t2 || other;
        im.OptimizeRoll = t2 || t1 || other;
    }
    const int level = (OptimizeGlobalA || OptimizeGlobalC) ? 2 : OptimizeGlobalB ? 1 : 0;
    OptimizeGlobalA = level > 1;
    OptimizeGlobalB = level > 0;
    OptimizeGlobalC = level > 1;
    OptimizeGlobalD = OptimizeGlobalE = OptimizeGlobalG = OptimizeGlobalT = false;
    for (auto& im : Images) {
        im->OptimizeV = im->OptimizeA = im->OptimizeB = im->OptimizeC = true;
        im->OptimizeD = im->OptimizeE = true;
        im->ControlPointsActive = true;
        im->OptimizeG = im->OptimizeT = false;
    }
    LinkPitch = LinkRoll = false;
}

bool TvrdProject::IsMorphControlPoint(int index) const {
    const TvrdControlPoint& cp = ControlPoint(index);
    if (cp.Type != 0) return false;
    switch (MorphMode) {
        case 0: return cp.Morph;
        case 1: return true;
        default: return false;
    }
}

bool TvrdProject::UsesMorphToFit() const {
    if (MorphMode == 2) return false;
    for (int i = 0; i < ControlPointCount(); ++i)
        if (IsMorphControlPoint(i)) return true;
    return false;
}

void TvrdProject::ComputeVfov() {
    const std::optional<double> v = VfovFromSize(Panorama.Projection, Width, Height, Panorama.Hfov);
    if (!v || std::isnan(*v) || std::isinf(*v)) return;
    Panorama.Vfov = RoundSignificant(*v > 0 ? *v : 0.0001, 5);
}

void TvrdProject::ComputeHeightFromVfov() {
    const std::optional<double> h =
        HeightFromFov(Panorama.Projection, Width, Panorama.Hfov, Panorama.Vfov);
    if (!h) return;
    Height = TruncToInt(*h + 0.5);
    if (Height <= 0) Height = 1;
}

void TvrdProject::ComputePreviewHeight() {
    const std::optional<double> h =
        HeightFromFov(Panorama.Projection, PreviewWidth, Panorama.Hfov, Panorama.Vfov);
    if (!h) return;
    PreviewHeight = TruncToInt(*h + 0.5);
    if (PreviewHeight <= 0) PreviewHeight = 1;
}

// ---------------------------------------------------------------------------------------
// Numeric helpers

std::optional<double> VfovFromSize(int p, int width, int height, double hfov) {
    if (p < 0 || p > 3) return std::nullopt;
    if (width == 0) return 0.0;
    const double w = width, h = height;
    switch (p) {
        case 0: {
            const double g = 2 * std::tan(hfov * kPi / 360) / w;
            return 2 * std::atan(h * g / 2) * 180 / kPi;
        }
        case 1: {
            const double g = (hfov * kPi / 180) / w;
            return 2 * std::atan(h * g / 2) * 180 / kPi;
        }
        case 2: {
            const double g = (hfov * kPi / 180) / w;
            return h * g * 180 / kPi;
        }
        default:
            return hfov * h / w;
    }
}

std::optional<double> HeightFromFov(int p, int width, double hfov, double vfov) {
    if (p < 0 || p > 3) return std::nullopt;
    if (hfov == 0) return 0.0;
    const double w = width;
    switch (p) {
        case 0: {
            const double g = w / (2 * std::tan(hfov * kPi / 360));
            return 2 * g * std::tan(vfov * kPi / 360);
        }
        case 1: {
            const double g = w / (hfov * kPi / 180);
            return 2 * g * std::tan(vfov * kPi / 360);
        }
        case 2: {
            const double g = w / (hfov * kPi / 180);
            return g * vfov * kPi / 180;
        }
        default:
            return w * vfov / hfov;
    }
}

double RoundSignificant(double x, int n) {
    if (x == 0 || !std::isfinite(x)) return x;
    const double ax = std::fabs(x);
    const int k = static_cast<int>(std::trunc(std::log10(ax)));  // |k| <= 324
    // The scale is a floating-point power of ten, so that tiny magnitudes round soundly.
    const double s = k < n ? std::pow(10.0, n - k) : 1.0;
    const double scaled = ax * s;
    if (!std::isfinite(s) || !std::isfinite(scaled)) return x;
    const double r = std::floor(scaled + 0.5) / s;
    return x < 0 ? -r : r;
}

}  // namespace qb
