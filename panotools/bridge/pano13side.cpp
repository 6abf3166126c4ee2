// Translation between our records and libpano13's. libpano13's records are larger than ours
// (more projection parameters, tilt and translation corrections, metadata); each call starts
// from libpano13's own defaults and lays our fields over them, and takes them back afterwards.
#include "panotools/bridge/pano13side.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <pano13/filter.h>
#include <pano13/queryfeature.h>
}
// libpano13's headers define min and max as macros.
#undef min
#undef max

#ifndef QB_PANO13_SONAME
#define QB_PANO13_SONAME "libpano13.so.3"
#endif

namespace qb::bridge {

namespace {

struct TPano13Internal : TPano13 {
    void (*SetImageDefaults)(Image*) = nullptr;
    void (*SetAdjustDefaults)(aPrefs*) = nullptr;
    void (*SetCorrectDefaults)(cPrefs*) = nullptr;
    void (*SetSizeDefaults)(sPrefs*) = nullptr;
    void (*myfree)(void**) = nullptr;
};

template <class F>
void Bind(void* lib, F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(lib, name));
}

const TPano13Internal& Library() {
    static const TPano13Internal library = [] {
        TPano13Internal l;
        // Loaded locally: its symbols stay out of the global scope, so that neither our entry
        // points nor theirs are bound to the other's by name.
        void* lib = dlopen(QB_PANO13_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!lib) return l;
        Bind(lib, l.filter_main, "filter_main");
        Bind(lib, l.queryFeatureCount, "queryFeatureCount");
        Bind(lib, l.queryFeatures, "queryFeatures");
        Bind(lib, l.queryFeatureInt, "queryFeatureInt");
        Bind(lib, l.queryFeatureDouble, "queryFeatureDouble");
        Bind(lib, l.queryFeatureString, "queryFeatureString");
        Bind(lib, l.SetImageDefaults, "SetImageDefaults");
        Bind(lib, l.SetAdjustDefaults, "SetAdjustDefaults");
        Bind(lib, l.SetCorrectDefaults, "SetCorrectDefaults");
        Bind(lib, l.SetSizeDefaults, "SetSizeDefaults");
        Bind(lib, l.myfree, "myfree");
        // The library stays loaded for the life of the process.
        return l;
    }();
    return library;
}

// Copies a zero-terminated text between character fields of different sizes.
void CopyText(char* to, size_t toSize, const char* from, size_t fromSize) {
    const size_t n = std::min(strnlen(from, fromSize), toSize - 1);
    std::memcpy(to, from, n);
    to[n] = '\0';
}

int32_t ClampToInt32(long long v) {
    return static_cast<int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}

// Our interpolators are numbered poly3, spline16, spline36, spline64, bilinear, nearest
// neighbour, sinc256, sinc1024; libpano13 numbers the same eight in another order.
constexpr int InterpolatorCount = 8;
constexpr int Pano13Interpolators[InterpolatorCount] = {_poly3,    _spline16, _spline36, _spline64,
                                                        _bilinear, _nn,       _sinc256,  _sinc1024};

// Numbers outside our eight pass unchanged both ways, so that a record of libpano13's
// defaults returns as it came.
int InterpolatorToPano13(int ours) {
    return ours >= 0 && ours < InterpolatorCount ? Pano13Interpolators[ours] : ours;
}

int InterpolatorFromPano13(int theirs) {
    for (int i = 0; i < InterpolatorCount; ++i)
        if (Pano13Interpolators[i] == theirs) return i;
    return theirs;
}

void CorrectionToPano13(const TptCorrectionRecord& o, cPrefs& t) {
    t.magic = static_cast<uint32_t>(o.magic);
    t.radial = o.radial;
    std::memcpy(t.radial_params, o.radial_params, sizeof o.radial_params);
    t.vertical = o.vertical;
    std::memcpy(t.vertical_params, o.vertical_params, sizeof o.vertical_params);
    t.horizontal = o.horizontal;
    std::memcpy(t.horizontal_params, o.horizontal_params, sizeof o.horizontal_params);
    t.shear = o.shear;
    t.shear_x = o.shear_x;
    t.shear_y = o.shear_y;
    t.resize = o.resize;
    t.width = static_cast<uint32_t>(o.width);
    t.height = static_cast<uint32_t>(o.height);
    t.luminance = o.luminance;
    std::memcpy(t.lum_params, o.lum_params, sizeof o.lum_params);
    t.correction_mode = o.correction_mode;
    t.cutFrame = o.cutFrame;
    t.fwidth = o.fwidth;
    t.fheight = o.fheight;
    t.frame = o.frame;
    t.fourier = o.fourier;
    t.fourier_mode = o.fourier_mode;
    CopyText(t.psf.name, sizeof t.psf.name, o.psf, sizeof o.psf);
    t.fourier_nf = o.fourier_nf;
    CopyText(t.nff.name, sizeof t.nff.name, o.nff, sizeof o.nff);
    t.filterfactor = o.filterfactor;
    t.fourier_frame = o.fourier_frame;
}

void CorrectionFromPano13(const cPrefs& t, TptCorrectionRecord& o) {
    o.magic = static_cast<int32_t>(t.magic);
    o.radial = t.radial;
    std::memcpy(o.radial_params, t.radial_params, sizeof o.radial_params);
    o.vertical = t.vertical;
    std::memcpy(o.vertical_params, t.vertical_params, sizeof o.vertical_params);
    o.horizontal = t.horizontal;
    std::memcpy(o.horizontal_params, t.horizontal_params, sizeof o.horizontal_params);
    o.shear = t.shear;
    o.shear_x = t.shear_x;
    o.shear_y = t.shear_y;
    o.resize = t.resize;
    o.width = static_cast<int32_t>(t.width);
    o.height = static_cast<int32_t>(t.height);
    o.luminance = t.luminance;
    std::memcpy(o.lum_params, t.lum_params, sizeof o.lum_params);
    o.correction_mode = t.correction_mode;
    o.cutFrame = t.cutFrame;
    o.fwidth = t.fwidth;
    o.fheight = t.fheight;
    o.frame = t.frame;
    o.fourier = t.fourier;
    o.fourier_mode = t.fourier_mode;
    CopyText(o.psf, sizeof o.psf, t.psf.name, sizeof t.psf.name);
    o.fourier_nf = t.fourier_nf;
    CopyText(o.nff, sizeof o.nff, t.nff.name, sizeof t.nff.name);
    o.filterfactor = t.filterfactor;
    o.fourier_frame = t.fourier_frame;
}

// Our handle's first word is the address of the memory, which is libpano13's handle form.
unsigned char** AsPano13Handle(TptHandle h) { return reinterpret_cast<unsigned char**>(h); }

void ImageToPano13(const TptImageRecord& o, Image& t) {
    const auto& lib = Library();
    if (lib.SetImageDefaults) lib.SetImageDefaults(&t);
    t.width = static_cast<uint32_t>(o.width);
    t.height = static_cast<uint32_t>(o.height);
    t.bytesPerLine = static_cast<uint32_t>(o.bytesPerLine);
    t.bitsPerPixel = static_cast<uint32_t>(o.bitsPerPixel);
    t.dataSize = o.dataSize > 0 ? static_cast<size_t>(o.dataSize) : 0;
    t.data = AsPano13Handle(o.data);
    t.dataformat = o.dataformat;
    t.format = o.format;
    t.hfov = o.hfov;
    t.yaw = o.yaw;
    t.pitch = o.pitch;
    t.roll = o.roll;
    CorrectionToPano13(o.cP, t.cP);
    CopyText(t.name, sizeof t.name, o.name, sizeof o.name);
    t.selection.top = o.selection.top;
    t.selection.bottom = o.selection.bottom;
    t.selection.left = o.selection.left;
    t.selection.right = o.selection.right;
}

// Takes libpano13's image back into ours. Pixels the library allocated anew are copied into
// a handle of our form and the library's own handle is returned to it.
void ImageFromPano13(const Image& t, TptImageRecord& o, TptHandle original) {
    o.width = ClampToInt32(t.width);
    o.height = ClampToInt32(t.height);
    o.bytesPerLine = ClampToInt32(t.bytesPerLine);
    o.bitsPerPixel = ClampToInt32(t.bitsPerPixel);
    o.dataSize = ClampToInt32(static_cast<long long>(std::min<size_t>(t.dataSize, INT32_MAX)));
    if (t.data == AsPano13Handle(original)) {
        o.data = original;
    } else if (!t.data) {
        o.data = nullptr;
    } else {
        const size_t size = std::min<size_t>(t.dataSize, INT32_MAX);
        TptHandle h = NewHandle(size);
        if (h && *t.data) std::memcpy(h->address, *t.data, size);
        const auto& lib = Library();
        if (lib.myfree) lib.myfree(reinterpret_cast<void**>(t.data));
        o.data = h;
        if (!h) o.dataSize = 0;
    }
    o.dataformat = t.dataformat;
    o.format = t.format;
    o.hfov = t.hfov;
    o.yaw = t.yaw;
    o.pitch = t.pitch;
    o.roll = t.roll;
    CorrectionFromPano13(t.cP, o.cP);
    CopyText(o.name, sizeof o.name, t.name, sizeof t.name);
    o.selection.top = t.selection.top;
    o.selection.bottom = t.selection.bottom;
    o.selection.left = t.selection.left;
    o.selection.right = t.selection.right;
}

void AdjustToPano13(const TptAdjustRecord& o, aPrefs& t) {
    const auto& lib = Library();
    if (lib.SetAdjustDefaults) lib.SetAdjustDefaults(&t);
    t.magic = o.magic;
    t.mode = o.mode;
    ImageToPano13(o.im, t.im);
    ImageToPano13(o.pano, t.pano);
    CopyText(t.sBuf.srcName, sizeof t.sBuf.srcName, o.sBuf.srcName, sizeof o.sBuf.srcName);
    CopyText(t.sBuf.destName, sizeof t.sBuf.destName, o.sBuf.destName, sizeof o.sBuf.destName);
    t.sBuf.feather = o.sBuf.feather;
    t.sBuf.colcorrect = o.sBuf.colcorrect;
    t.sBuf.seam = o.sBuf.seam;
    CopyText(t.scriptFile.name, sizeof t.scriptFile.name, o.scriptFile, sizeof o.scriptFile);
    // Morphing triangles are the library's own structures; none cross from our side.
    t.nt = 0;
    t.ts = nullptr;
    t.td = nullptr;
    t.interpolator = InterpolatorToPano13(o.interpolator);
    t.gamma = o.gamma;
}

void AdjustFromPano13(const aPrefs& t, TptAdjustRecord& o) {
    o.magic = t.magic;
    o.mode = t.mode;
    ImageFromPano13(t.im, o.im, o.im.data);
    ImageFromPano13(t.pano, o.pano, o.pano.data);
    CopyText(o.sBuf.srcName, sizeof o.sBuf.srcName, t.sBuf.srcName, sizeof t.sBuf.srcName);
    CopyText(o.sBuf.destName, sizeof o.sBuf.destName, t.sBuf.destName, sizeof t.sBuf.destName);
    o.sBuf.feather = t.sBuf.feather;
    o.sBuf.colcorrect = t.sBuf.colcorrect;
    o.sBuf.seam = t.sBuf.seam;
    CopyText(o.scriptFile, sizeof o.scriptFile, t.scriptFile.name, sizeof t.scriptFile.name);
    o.interpolator = InterpolatorFromPano13(t.interpolator);
    o.gamma = t.gamma;
}

void PrefsToPano13(const TptStitchPrefsRecord& o, sPrefs& t) {
    t.magic = o.magic;
    t.displayPart = o.displayPart;
    t.saveFile = o.saveFile;
    CopyText(t.sFile.name, sizeof t.sFile.name, o.sFile, sizeof o.sFile);
    t.launchApp = o.launchApp;
    CopyText(t.lApp.name, sizeof t.lApp.name, o.lApp, sizeof o.lApp);
    t.interpolator = InterpolatorToPano13(o.interpolator);
    t.gamma = o.gamma;
    t.noAlpha = o.noAlpha;
    t.optCreatePano = o.optCreatePano;
}

// Pixels libpano13 may read or write in place: 24 or 32 bits, rows without padding, and
// a buffer that holds all of them.
bool PixelsUsable(const TptImageRecord& im) {
    if (im.bitsPerPixel != 24 && im.bitsPerPixel != 32) return false;
    if (im.width <= 0 || im.height <= 0) return false;
    const long long line = static_cast<long long>(im.bitsPerPixel / 8) * im.width;
    return im.bytesPerLine == line && im.dataSize >= line * im.height && im.data && im.data->address;
}

// A destination the library fills: either without pixels (the library allocates them) or
// with pixels it can write in place.
bool DestinationUsable(const TptImageRecord& im) {
    return !im.data || PixelsUsable(im);
}

// Whether libpano13 can do what the transform record asks without a user interface and
// without reading or writing past the images. Everything else is refused (no success): the
// library's dialogs and saved preferences have no place here (asking for them makes it
// write preference files into the working directory, or crash), and other tools or depths
// would come back as a wrong image.
bool Expressible(const TptTransformRecord& trans) {
    if (!trans.data) return false;
    if (trans.tool == ptToolAdjust) {
        const int mode = static_cast<const TptAdjustRecord*>(trans.data)->mode;
        // The optimizer works on the script alone; its images are placeholders.
        if (mode == (_runOptimizer | _useScript)) return true;
        if (mode != _insert && mode != _extract) return false;
    } else if (trans.tool != ptToolCorrect) {
        return false;
    }
    return (trans.mode & 3) == _usedata && trans.interpolator >= 0 && trans.interpolator < InterpolatorCount &&
           trans.gamma > 0 && std::isfinite(trans.gamma) && trans.src && PixelsUsable(*trans.src) && trans.dest &&
           DestinationUsable(*trans.dest);
}

}  // namespace

const TPano13& Pano13() { return Library(); }

TptHandle NewHandle(size_t numBytes) {
    auto* block = static_cast<TptHandleBlock*>(std::calloc(1, sizeof(TptHandleBlock)));
    if (!block) return nullptr;
    block->address = std::calloc(numBytes > 0 ? numBytes : 1, 1);
    if (!block->address) {
        std::free(block);
        return nullptr;
    }
    std::memcpy(block->tag, ptAllocTag, sizeof block->tag);
    return block;
}

void FreeHandle(TptHandle handle) {
    if (!handle) return;
    std::free(handle->address);
    std::free(handle);
}

void ImageDefaults(TptImageRecord* im) {
    std::memset(im, 0, sizeof *im);
    auto t = std::make_unique<Image>();
    const auto& lib = Library();
    if (lib.SetImageDefaults) lib.SetImageDefaults(t.get());
    t->data = nullptr;
    ImageFromPano13(*t, *im, nullptr);
}

void AdjustDefaults(TptAdjustRecord* prefs) {
    std::memset(prefs, 0, sizeof *prefs);
    auto t = std::make_unique<aPrefs>();
    const auto& lib = Library();
    if (lib.SetAdjustDefaults) lib.SetAdjustDefaults(t.get());
    t->im.data = nullptr;
    t->pano.data = nullptr;
    AdjustFromPano13(*t, *prefs);
}

void RunFilter(TptTransformRecord* trans, TptStitchPrefsRecord* prefs) {
    if (!trans) return;
    trans->success = 0;
    const auto& lib = Library();
    if (!lib.filter_main) return;

    if (!Expressible(*trans)) return;

    auto sizePrefs = std::make_unique<sPrefs>();
    if (lib.SetSizeDefaults) lib.SetSizeDefaults(sizePrefs.get());
    if (prefs) PrefsToPano13(*prefs, *sizePrefs);

    auto correct = std::make_unique<cPrefs>();
    auto adjust = std::make_unique<aPrefs>();
    TrformStr t{};
    switch (trans->tool) {
    case ptToolCorrect:
        if (lib.SetCorrectDefaults) lib.SetCorrectDefaults(correct.get());
        CorrectionToPano13(*static_cast<TptCorrectionRecord*>(trans->data), *correct);
        t.data = correct.get();
        break;
    case ptToolAdjust:
        AdjustToPano13(*static_cast<TptAdjustRecord*>(trans->data), *adjust);
        t.data = adjust.get();
        break;
    default:
        return;  // tools whose records we do not carry: nothing done, no success
    }

    auto src = std::make_unique<Image>();
    auto dest = std::make_unique<Image>();
    if (trans->src) ImageToPano13(*trans->src, *src);
    if (trans->dest) ImageToPano13(*trans->dest, *dest);
    t.src = trans->src ? src.get() : nullptr;
    t.dest = trans->dest ? dest.get() : nullptr;
    t.success = 0;
    t.tool = trans->tool;
    t.mode = trans->mode;
    t.interpolator = InterpolatorToPano13(trans->interpolator);
    t.gamma = trans->gamma;
    t.fastStep = 0;

    lib.filter_main(&t, sizePrefs.get());

    trans->success = t.success;
    if (trans->src) ImageFromPano13(*src, *trans->src, trans->src->data);
    if (trans->dest) ImageFromPano13(*dest, *trans->dest, trans->dest->data);
    if (trans->tool == ptToolCorrect) {
        CorrectionFromPano13(*correct, *static_cast<TptCorrectionRecord*>(trans->data));
    } else {
        auto* ours = static_cast<TptAdjustRecord*>(trans->data);
        AdjustFromPano13(*adjust, *ours);
        // The optimizer appends its results to the script with bare LF line ends; the text
        // format of our scripts ends every line with CR LF.
        if ((adjust->mode & 7) == _runOptimizer && (adjust->mode & _useScript))
            ConvertToCrLf(adjust->scriptFile.name);
    }
}

void ConvertToCrLf(const char* fileName) {
    std::FILE* f = std::fopen(fileName, "rb");
    if (!f) return;
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    const bool readOk = !std::ferror(f);
    std::fclose(f);
    if (!readOk) return;

    std::string out;
    out.reserve(text.size() + text.size() / 16);
    bool changed = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += '\r';
            changed = true;
        }
        out += text[i];
    }
    if (!changed) return;
    // Written beside the file and renamed over it, so that a failed write leaves the
    // library's output as it was.
    const std::string temp = std::string(fileName) + ".crlf~";
    std::FILE* w = std::fopen(temp.c_str(), "wb");
    if (!w) return;
    const bool ok = std::fwrite(out.data(), 1, out.size(), w) == out.size();
    if (std::fclose(w) != 0 || !ok || std::rename(temp.c_str(), fileName) != 0) std::remove(temp.c_str());
}

}  // namespace qb::bridge
