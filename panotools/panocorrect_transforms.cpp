// The image transforms of TPanoCorrect (correct, insert, extract, resize) and the
// conversions between the memory bitmap and the library's image record.
#include <QImage>

#include <cmath>
#include <cstring>
#include <memory>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "panotools/panocorrect.h"
#include "panotools/panocorrect_internal.h"

namespace qb {

using panocorrect::CopyText;
using panocorrect::TLibraryBlock;

namespace {

int32_t Flag(bool value) { return value ? 1 : 0; }

// Copies pixels with the order of each pixel's bytes reversed: B, G, R <-> R, G, B and
// B, G, R, A <-> A, R, G, B (the same operation both ways).
void ReversePixels(const uint8_t* source, uint8_t* dest, int count, int bytesPerPixel) {
    if (bytesPerPixel == 3) {
        TzrMemBitmap::RGB2BGR(source, dest, count, 3);
        return;
    }
    for (int i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, source + 4 * static_cast<size_t>(i), 4);
        v = __builtin_bswap32(v);
        std::memcpy(dest + 4 * static_cast<size_t>(i), &v, 4);
    }
}

// A scaled side of Resize, kept inside the range of the record's fields.
int32_t RoundedSide(double value) {
    const double v = std::floor(value + 0.5);
    if (!(v > 0)) return 0;  // also NaN
    return v >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(v);
}

// A correction record that corrects nothing.
void ClearCorrections(TptCorrectionRecord& cP) {
    cP.magic = ptCorrectMagic;
    cP.radial = 0;
    cP.vertical = 0;
    cP.horizontal = 0;
    cP.shear = 0;
    cP.resize = 0;
    cP.luminance = 0;
    cP.cutFrame = 0;
    cP.fourier = 0;
    cP.fourier_nf = 0;
}

// Runs a transform whose source and destination are one record into a fresh record, which
// then replaces it: the transforms release the destination's pixels first, and those would
// be the source's.
template <class Transform>
void ThroughFreshRecord(TptImage& image, Transform run) {
    TptImage result;
    run(result);
    image.FreeData();
    std::memcpy(static_cast<TptImageRecord*>(&image), static_cast<TptImageRecord*>(&result), sizeof(TptImageRecord));
    result.data = nullptr;
}

}  // namespace

// ---------------------------------------------------------------- conversions

void TPanoCorrect::ImageFromBitmap(TptImage& record, TzrMemBitmap* bitmap) {
    if (!bitmap) {
        record.width = 0;
        record.height = 0;
        record.bitsPerPixel = 24;
        record.AllocData();
        return;
    }
    // A memory bitmap holds only pf24bit and pf32bit pixels.
    const TzrReadHold hold(*bitmap);
    const int bpp = bitmap->GetBytesPerPixel();
    record.width = bitmap->GetWidth();
    record.height = bitmap->GetHeight();
    record.bitsPerPixel = 8 * bpp;
    record.AllocData();
    uint8_t* pixels = record.Pixels();
    if (pixels)
        for (int y = 0; y < record.height; ++y)
            ReversePixels(bitmap->GetScanline(y), pixels + static_cast<size_t>(y) * record.bytesPerLine, record.width,
                          bpp);
}

void TPanoCorrect::ImageToBitmap(TptImage& record, TzrMemBitmap* bitmap) {
    if (!bitmap) return;
    // Pixels of any other depth cannot be laid into the bitmap's rows (the rows would be
    // read past their end).
    if (record.bitsPerPixel != 24 && record.bitsPerPixel != 32) throw Exception("Pixelformat not supported!");
    const long long given = record.dataSize;
    record.UpdateSizes();
    if (record.Pixels() && given < static_cast<long long>(record.dataSize))
        throw Exception("Internal error: the image record holds fewer pixels than its size");
    const TzrWriteHold hold(*bitmap);
    bitmap->SetWidthHeightPixelFormat(record.width, record.height, record.bitsPerPixel == 32 ? pf32bit : pf24bit,
                                      false);
    const uint8_t* pixels = record.Pixels();
    if (pixels)
        for (int y = 0; y < record.height; ++y)
            ReversePixels(pixels + static_cast<size_t>(y) * record.bytesPerLine, bitmap->GetScanline(y), record.width,
                          record.bitsPerPixel / 8);
}

void TPanoCorrect::ReleaseDestination(TptImage& destination, bool byLibrary) {
    if (byLibrary && destination.data) {
        myfree(destination.data);
        destination.data = nullptr;
    }
    destination.FreeData();
}

// ---------------------------------------------------------------- correct

void TPanoCorrect::Correct(TptImage& source, TptImage& destination) {
    if (&source == &destination) return ThroughFreshRecord(source, [&](TptImage& result) { Correct(source, result); });
    LoadLibrary();
    TLibraryBlock transBlock(mymalloc, myfree, sizeof(TptTransformRecord));
    TLibraryBlock prefsBlock(mymalloc, myfree, sizeof(TptStitchPrefsRecord));
    TLibraryBlock correctBlock(mymalloc, myfree, sizeof(TptAdjustRecord));
    if (!transBlock || !prefsBlock || !correctBlock) throw Exception("Out of memory!");

    // The library's defaults replace the whole record, the pixel handle included: pixels
    // the destination still holds are released first rather than lost.
    destination.FreeData();
    SetImageDefaults(&destination);

    auto* cP = correctBlock.As<TptCorrectionRecord>();
    cP->magic = ptCorrectMagic;
    cP->radial = Flag(cRadial);
    const TPanoRadialParams& r = *FRadialParams;
    const double radial[3][5] = {{r.red_a, r.red_b, r.red_c, r.red_d, r.red_r},
                                 {r.green_a, r.green_b, r.green_c, r.green_d, r.green_r},
                                 {r.blue_a, r.blue_b, r.blue_c, r.blue_d, r.blue_r}};
    std::memcpy(cP->radial_params, radial, sizeof radial);
    cP->vertical = Flag(cShiftVertical);
    cP->vertical_params[0] = FShiftVerticalParams->red;
    cP->vertical_params[1] = FShiftVerticalParams->green;
    cP->vertical_params[2] = FShiftVerticalParams->blue;
    cP->horizontal = Flag(cShiftHorizontal);
    cP->horizontal_params[0] = FShiftHorizontalParams->red;
    cP->horizontal_params[1] = FShiftHorizontalParams->green;
    cP->horizontal_params[2] = FShiftHorizontalParams->blue;
    cP->shear = Flag(cShear);
    cP->shear_x = cShearX;
    cP->shear_y = cShearY;
    cP->resize = Flag(cResize);
    cP->width = cResizeWidth;
    cP->height = cResizeHeight;
    cP->luminance = Flag(cLuminance);
    cP->lum_params[0] = FLuminanceParams->red;
    cP->lum_params[1] = FLuminanceParams->green;
    cP->lum_params[2] = FLuminanceParams->blue;
    cP->correction_mode = cRadialType;
    cP->cutFrame = Flag(cCutFrame);
    cP->fwidth = cCutWidth;
    cP->fheight = cCutHeight;
    cP->frame = cCutFrameFrame;
    cP->fourier = Flag(cFourier);
    cP->fourier_mode = cFourierMode;
    CopyText(cP->psf, sizeof cP->psf, cFourierPSF);
    cP->fourier_nf = cFourierNF + 2;  // the library's numbers of the two noise filters
    CopyText(cP->nff, sizeof cP->nff, cFourierNFF);
    cP->filterfactor = cFourierFilterFactor;
    cP->fourier_frame = cFourierFrame;

    auto* trans = transBlock.As<TptTransformRecord>();
    FillTransform(*trans, &source, &destination, ptToolCorrect,
                  cMode + ptModeHostCanResize + (source.bitsPerPixel == 32 ? ptModeHonorValid : 0), cP);
    auto* prefs = prefsBlock.As<TptStitchPrefsRecord>();
    FillStitchPrefs(*prefs);

    filter_main(trans, prefs);
    if (trans->success == 0) throw Exception("Pano12: Correct failed");
}

void TPanoCorrect::Correct(TzrMemBitmap* source, TzrMemBitmap* destination) {
    TptImage src, dest;
    ImageFromBitmap(src, source);
    Correct(src, dest);
    ImageToBitmap(dest, destination);
    ReleaseDestination(dest, true);
}

// ---------------------------------------------------------------- insert

void TPanoCorrect::Insert(TptImage& source, TptImage& panorama, double hfov, double yaw, double pitch, double roll,
                          double a, double b, double c, double d, double e, double shearX, double shearY,
                          int32_t sourceFormat, int32_t width, int32_t height, double panoHfov, int32_t panoFormat) {
    if (&source == &panorama)
        return ThroughFreshRecord(source, [&](TptImage& result) {
            Insert(source, result, hfov, yaw, pitch, roll, a, b, c, d, e, shearX, shearY, sourceFormat, width, height,
                   panoHfov, panoFormat);
        });
    panorama.FreeData();
    panorama.width = width;
    panorama.height = height;
    panorama.bitsPerPixel = source.bitsPerPixel;
    panorama.UpdateSizes();
    if (width < 1 || height < 1) return;
    if (source.width < 2 || source.height < 2) {
        panorama.AllocData();  // zeroed
        return;
    }
    LoadLibrary();

    auto adjust = std::make_unique<TptAdjustRecord>();
    {
        // Initialised as an image record first, then the library's defaults over everything.
        const TptImage initial;
        std::memcpy(&adjust->im, static_cast<const TptImageRecord*>(&initial), sizeof(TptImageRecord));
    }
    SetAdjustDefaults(adjust.get());
    adjust->magic = ptAdjustMagic;
    adjust->mode = ptAdjustInsert;

    TptImageRecord& im = adjust->im;
    im.width = source.width;
    im.height = source.height;
    im.format = sourceFormat;
    im.hfov = hfov;
    im.yaw = yaw;
    im.pitch = pitch;
    im.roll = roll;
    im.cP.magic = ptCorrectMagic;
    const double radius = (source.width < source.height ? source.width : source.height) / 2.0;
    for (auto& colour : im.cP.radial_params) {
        colour[0] = 1.0 - a - b - c;
        colour[1] = c;
        colour[2] = b;
        colour[3] = a;
        colour[4] = radius;
    }
    im.cP.radial = Flag(a != 0 || b != 0 || c != 0);
    for (int k = 0; k < 3; ++k) {
        im.cP.horizontal_params[k] = d;
        im.cP.vertical_params[k] = e;
    }
    im.cP.horizontal = im.cP.vertical = Flag(d != 0 || e != 0);
    im.cP.shear = Flag(shearX != 0 || shearY != 0);
    im.cP.shear_x = shearX;
    im.cP.shear_y = shearY;
    im.cP.resize = 0;
    im.cP.luminance = 0;
    im.cP.cutFrame = 0;
    im.cP.fourier = 0;
    im.cP.fourier_nf = 0;

    TptImageRecord& pano = adjust->pano;
    pano.format = panoFormat;
    pano.hfov = panoHfov;
    pano.yaw = pano.pitch = pano.roll = 0;
    pano.width = width;
    pano.height = height;
    pano.data = nullptr;
    pano.dataformat = 0;
    pano.name[0] = '\0';
    ClearCorrections(pano.cP);
    adjust->sBuf.srcName[0] = '\0';
    adjust->sBuf.destName[0] = '\0';

    TptTransformRecord trans{};
    FillTransform(trans, &source, &panorama, ptToolAdjust, ptModeUseData + ptModeHonorValid + ptModeHostCanResize,
                  adjust.get());
    TptStitchPrefsRecord prefs{};
    FillStitchPrefs(prefs);

    filter_main(&trans, &prefs);
    if (trans.success == 0) throw Exception("pano12: Insert failed");
}

void TPanoCorrect::Insert(TptImage& source, TzrMemBitmap* panorama, double hfov, double yaw, double pitch,
                          double roll, double a, double b, double c, double d, double e, double shearX, double shearY,
                          int32_t sourceFormat, int32_t width, int32_t height, double panoHfov, int32_t panoFormat) {
    TptImage pano;
    Insert(source, pano, hfov, yaw, pitch, roll, a, b, c, d, e, shearX, shearY, sourceFormat, width, height,
           panoHfov, panoFormat);
    ImageToBitmap(pano, panorama);
}

void TPanoCorrect::Insert(TzrMemBitmap* source, TzrMemBitmap* panorama, double hfov, double yaw, double pitch,
                          double roll, double a, double b, double c, double d, double e, double shearX, double shearY,
                          int32_t sourceFormat, int32_t width, int32_t height, double panoHfov, int32_t panoFormat) {
    TptImage src;
    ImageFromBitmap(src, source);
    Insert(src, panorama, hfov, yaw, pitch, roll, a, b, c, d, e, shearX, shearY, sourceFormat, width, height,
           panoHfov, panoFormat);
}

// ---------------------------------------------------------------- extract

void TPanoCorrect::ExtractImage(TptImage& panorama, TptImage& destination, double hfov, double yaw, double pitch,
                                double roll, int32_t width, int32_t height, bool& libraryCalled) {
    libraryCalled = false;
    LoadLibrary();
    destination.FreeData();
    SetImageDefaults(&destination);
    destination.data = nullptr;  // whatever the defaults wrote there, the record holds no pixels
    destination.width = width;
    destination.height = height;
    destination.bitsPerPixel = panorama.bitsPerPixel;
    destination.UpdateSizes();
    if (width <= 0 || height <= 0) return;
    if (panorama.width < 2 || panorama.height < 2) {
        destination.AllocData();  // zeroed
        return;
    }

    auto adjust = std::make_unique<TptAdjustRecord>();
    SetAdjustDefaults(adjust.get());
    adjust->magic = ptAdjustMagic;
    adjust->mode = ptAdjustExtract;
    destination.format = 0;
    destination.hfov = hfov;
    destination.yaw = yaw;
    destination.pitch = pitch;
    destination.roll = roll;
    panorama.format = 4;
    panorama.hfov = 360.0;
    panorama.yaw = panorama.pitch = panorama.roll = 0;
    std::memcpy(&adjust->im, static_cast<TptImageRecord*>(&destination), sizeof(TptImageRecord));
    std::memcpy(&adjust->pano, static_cast<TptImageRecord*>(&panorama), sizeof(TptImageRecord));
    adjust->sBuf.srcName[0] = '\0';
    adjust->sBuf.destName[0] = '\0';

    TptTransformRecord trans{};
    FillTransform(trans, &panorama, &destination, ptToolAdjust, ptModeUseData, adjust.get());
    TptStitchPrefsRecord prefs{};
    FillStitchPrefs(prefs);

    libraryCalled = true;
    filter_main(&trans, &prefs);
    if (trans.success == 0) throw Exception("Pano12: Extract failed");
}

void TPanoCorrect::Extract(TptImage& panorama, TptImage& destination, double hfov, double yaw, double pitch,
                           double roll, int32_t width, int32_t height) {
    if (&panorama == &destination)
        return ThroughFreshRecord(panorama, [&](TptImage& result) {
            Extract(panorama, result, hfov, yaw, pitch, roll, width, height);
        });
    bool libraryCalled;
    ExtractImage(panorama, destination, hfov, yaw, pitch, roll, width, height, libraryCalled);
}

void TPanoCorrect::Extract(TptImage& panorama, TzrMemBitmap* destination, double hfov, double yaw, double pitch,
                           double roll, int32_t width, int32_t height) {
    LoadLibrary();
    TptImage dest;
    SetImageDefaults(&dest);
    dest.data = nullptr;
    bool libraryCalled = false;
    try {
        ExtractImage(panorama, dest, hfov, yaw, pitch, roll, width, height, libraryCalled);
        ImageToBitmap(dest, destination);
    } catch (...) {
        ReleaseDestination(dest, libraryCalled);
        throw;
    }
    ReleaseDestination(dest, libraryCalled);
}

void TPanoCorrect::Extract(TptImage& panorama, QImage* destination, double hfov, double yaw, double pitch,
                           double roll, int32_t width, int32_t height) {
    TzrMemBitmap view;
    Extract(panorama, &view, hfov, yaw, pitch, roll, width, height);
    view.AssignTo(destination);
}

// ---------------------------------------------------------------- resize

void TPanoCorrect::Resize(TptImage* source, TptImage& destination, int32_t width, int32_t height) {
    if (source == &destination)
        return ThroughFreshRecord(destination, [&](TptImage& result) { Resize(source, result, width, height); });
    if (source && source->width != 0 && source->height != 0) {
        const double s = static_cast<double>(source->width) / source->height;
        const double t = static_cast<double>(width) / height;
        if (s < t) width = RoundedSide(s * height);
        else if (s > t) height = RoundedSide(width / s);
        Insert(*source, destination, 90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, width, height, 90, 0);
        return;
    }
    destination.FreeData();
    destination.width = width;
    destination.height = height;
    destination.bitsPerPixel = source ? source->bitsPerPixel : 24;
    destination.AllocData();  // zeroed
}

void TPanoCorrect::Resize(TzrMemBitmap* source, TzrMemBitmap* destination, int32_t width, int32_t height) {
    TptImage src, dest;
    ImageFromBitmap(src, source);
    Resize(&src, dest, width, height);
    ImageToBitmap(dest, destination);
}

}  // namespace qb
