// TzrMemBitmap: TIFF input and output through libtiff over our streams.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "components/MemBitmapIO/zrmembitmap_io.h"
#include "components/MemBitmapIO/zrstream.h"
#include "components/MemBitmapIO/zrtiffstrips.h"
#include "core/exceptions.h"

namespace qb {

namespace {

// The codec's last error text on this thread (its handlers must neither print nor raise:
// they run inside the codec's C frames).
thread_local char tiffLastError[512];

int TiffErrorHandler(TIFF*, void*, const char* module, const char* fmt, va_list ap) {
    char text[400];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (module != nullptr && *module != '\0') std::snprintf(tiffLastError, sizeof tiffLastError, "%s: %s", module, text);
    else std::snprintf(tiffLastError, sizeof tiffLastError, "%s", text);
    return 1;  // handled: the process-wide handler is not called
}

int TiffWarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Warnings are not shown, and nothing of the codec reaches the terminal: the process-wide
// handlers (used for messages that have no open file) are removed once.
void SilenceTiffHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
    });
}

// Closes a TIFF on every way out.
struct TiffCloser {
    TIFF* tif;
    ~TiffCloser() {
        if (tif != nullptr) TIFFClose(tif);
    }
};

TzrStream& StreamOf(thandle_t handle) { return *static_cast<TzrStream*>(static_cast<void*>(handle)); }

template <class T>
std::unique_ptr<T[]> AllocBuffer(std::uint64_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
        throw EOutOfMemory(Format("Out of memory: could not allocate %llu elements", static_cast<unsigned long long>(count)));
    T* p = new (std::nothrow) T[static_cast<std::size_t>(count)];
    if (p == nullptr)
        throw EOutOfMemory(Format("Out of memory: could not allocate %llu bytes",
                                  static_cast<unsigned long long>(count * sizeof(T))));
    return std::unique_ptr<T[]>(p);
}

// Whether the current directory of a TIFF opened over our stream names the tag itself.
// The codec fills in some fields that a file leaves out (PlanarConfiguration, Compression,
// RowsPerStrip) and then reports them as present; a required tag has to be in the file,
// and an optional one that the file leaves out takes the caller's default. The directory's
// entries are read from the stream: a 2-byte count and 12-byte entries (8 and 20 in a
// BigTIFF), each beginning with its tag number. When the directory cannot be read, the
// codec's answer stands.
bool TagInFileDirectory(TIFF* tif, ttag_t tag) {
    TzrStream& stream = *static_cast<TzrStream*>(static_cast<void*>(TIFFClientdata(tif)));
    const bool big = TIFFIsBigTIFF(tif) != 0;
    const bool swapped = TIFFIsByteSwapped(tif) != 0;
    auto word = [&](const std::uint8_t* p) -> std::uint16_t {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return swapped ? static_cast<std::uint16_t>((v >> 8) | (v << 8)) : v;
    };
    try {
        const std::int64_t saved = stream.GetPosition();
        struct Restore {
            TzrStream& s;
            std::int64_t at;
            ~Restore() { s.Seek(at, TzrSeekOrigin::soBeginning); }
        } restore{stream, saved};
        const std::uint64_t offset = TIFFCurrentDirOffset(tif);
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            stream.Seek(static_cast<std::int64_t>(offset), TzrSeekOrigin::soBeginning) < 0)
            return true;
        std::uint8_t head[8] = {};
        std::uint64_t count = 0;
        if (big) {
            if (stream.Read(head, 8) != 8) return true;
            std::uint64_t v;
            std::memcpy(&v, head, 8);
            count = swapped ? __builtin_bswap64(v) : v;
        } else {
            if (stream.Read(head, 2) != 2) return true;
            count = word(head);
        }
        const int entryBytes = big ? 20 : 12;
        std::uint8_t entries[64 * 20];
        while (count > 0) {
            const int n = static_cast<int>(std::min<std::uint64_t>(count, 64));
            if (stream.Read(entries, static_cast<std::int64_t>(n) * entryBytes) != static_cast<std::int64_t>(n) * entryBytes)
                return true;
            for (int i = 0; i < n; ++i)
                if (word(entries + i * entryBytes) == tag) return true;
            count -= static_cast<std::uint64_t>(n);
        }
        return false;
    } catch (...) {
        return true;
    }
}

}  // namespace

// ---- stream procedures of the codec ----

tmsize_t TzrMemBitmap::TiffReadProc(thandle_t handle, void* buffer, tmsize_t size) {
    try {
        return static_cast<tmsize_t>(StreamOf(handle).Read(buffer, size));
    } catch (...) {
        return -1;
    }
}

tmsize_t TzrMemBitmap::TiffWriteProc(thandle_t handle, void* buffer, tmsize_t size) {
    try {
        return static_cast<tmsize_t>(StreamOf(handle).Write(buffer, size));
    } catch (...) {
        return -1;
    }
}

toff_t TzrMemBitmap::TiffSeekProc(thandle_t handle, toff_t offset, int origin) {
    TzrSeekOrigin o = TzrSeekOrigin::soBeginning;
    if (origin == SEEK_CUR) o = TzrSeekOrigin::soCurrent;
    else if (origin == SEEK_END) o = TzrSeekOrigin::soEnd;
    try {
        return static_cast<toff_t>(StreamOf(handle).Seek(static_cast<std::int64_t>(offset), o));
    } catch (...) {
        return static_cast<toff_t>(-1);
    }
}

toff_t TzrMemBitmap::TiffSizeProc(thandle_t handle) {
    try {
        return static_cast<toff_t>(StreamOf(handle).GetSize());
    } catch (...) {
        return 0;
    }
}

int TzrMemBitmap::TiffCloseProc(thandle_t) { return 0; }  // the caller owns the stream

int TzrMemBitmap::TiffMapProc(thandle_t, void**, toff_t*) { return 0; }

void TzrMemBitmap::TiffUnmapProc(thandle_t, void*, toff_t) {}

TIFF* TzrMemBitmap::TIFFOpenStream(TzrStream& stream, int mode) {
    SilenceTiffHandlers();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) throw Exception("TIFFOpenStream failed");
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffErrorHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffWarningHandler, nullptr);
    if (TIFFMaxSingleAlloc > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(TIFFMaxSingleAlloc));
    tiffLastError[0] = '\0';
    TIFF* tif = TIFFClientOpenExt("", mode == 1 ? "w" : "r", static_cast<thandle_t>(static_cast<void*>(&stream)),
                                  TiffReadProc, TiffWriteProc, TiffSeekProc, TiffCloseProc, TiffSizeProc,
                                  TiffMapProc, TiffUnmapProc, options);
    TIFFOpenOptionsFree(options);
    if (tif == nullptr) throw Exception("TIFFOpenStream failed");
    return tif;
}

// ---- tag queries ----

std::uint32_t TzrMemBitmap::TIFFGetRequiredIntField(TIFF* tif, ttag_t tag) {
    std::uint32_t value = 0;
    if (TIFFGetField(tif, tag, &value) != 1 || !TagInFileDirectory(tif, tag))
        throw Exception("Required TIFF tag not found");
    return value;
}

std::uint16_t TzrMemBitmap::TIFFGetRequiredWordField(TIFF* tif, ttag_t tag) {
    std::uint16_t value = 0;
    if (TIFFGetField(tif, tag, &value) != 1 || !TagInFileDirectory(tif, tag))
        throw Exception("Required TIFF tag not found");
    return value;
}

float TzrMemBitmap::TIFFGetRequiredFloatField(TIFF* tif, ttag_t tag) {
    float value = 0;
    if (TIFFGetField(tif, tag, &value) != 1 || !TagInFileDirectory(tif, tag))
        throw Exception("Required TIFF tag not found");
    return value;
}

std::uint32_t TzrMemBitmap::TIFFGetOptionalIntField(TIFF* tif, ttag_t tag, std::uint32_t def) {
    std::uint32_t value = 0;
    return TIFFGetField(tif, tag, &value) == 1 && TagInFileDirectory(tif, tag) ? value : def;
}

std::uint16_t TzrMemBitmap::TIFFGetOptionalWordField(TIFF* tif, ttag_t tag, std::uint16_t def) {
    std::uint16_t value = 0;
    return TIFFGetField(tif, tag, &value) == 1 && TagInFileDirectory(tif, tag) ? value : def;
}

float TzrMemBitmap::TIFFGetOptionalFloatField(TIFF* tif, ttag_t tag, float def) {
    float value = 0;
    return TIFFGetField(tif, tag, &value) == 1 && TagInFileDirectory(tif, tag) ? value : def;
}

// ---- loading ----

void TzrMemBitmap::GetTIFFSize(TzrStream& stream, int* width, int* height) {
    TiffCloser closer{TIFFOpenStream(stream, 0)};
    const std::uint32_t w = TIFFGetRequiredIntField(closer.tif, TIFFTAG_IMAGEWIDTH);
    const std::uint32_t h = TIFFGetRequiredIntField(closer.tif, TIFFTAG_IMAGELENGTH);
    if (width != nullptr) *width = static_cast<int>(w);
    if (height != nullptr) *height = static_cast<int>(h);
}

void TzrMemBitmap::LoadFromTIFFStream(TzrStream& stream, int page) {
    TiffCloser closer{TIFFOpenStream(stream, 0)};
    TIFF* tif = closer.tif;
    if (page != 0 && (page < 0 || TIFFSetDirectory(tif, static_cast<tdir_t>(page)) != 1))
        throw Exception(tiffLastError[0] != '\0' ? std::string(tiffLastError) : std::string("TIFFSetDirectory failed"));

    const std::uint32_t width = TIFFGetRequiredIntField(tif, TIFFTAG_IMAGEWIDTH);
    const std::uint32_t length = TIFFGetRequiredIntField(tif, TIFFTAG_IMAGELENGTH);
    TIFFGetOptionalWordField(tif, TIFFTAG_PHOTOMETRIC, 0);
    TIFFGetRequiredWordField(tif, TIFFTAG_COMPRESSION);
    TIFFGetOptionalWordField(tif, TIFFTAG_BITSPERSAMPLE, 0);

    // Bytes per pixel from the codec's row size; only 4 gives 32-bit pixels.
    int bytesPerPixel = 3;
    if (width > 0) {
        const double perPixel = static_cast<double>(TIFFScanlineSize64(tif)) / width + 0.5;
        if (perPixel >= 4.0 && perPixel < 5.0) bytesPerPixel = 4;
    }
    const TPixelFormat format = bytesPerPixel == 4 ? pf32bit : pf24bit;

    TIFFGetRequiredWordField(tif, TIFFTAG_PLANARCONFIG);
    const std::uint16_t unit = TIFFGetOptionalWordField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    double xRes = TIFFGetOptionalFloatField(tif, TIFFTAG_XRESOLUTION, 0);
    double yRes = TIFFGetOptionalFloatField(tif, TIFFTAG_YRESOLUTION, 0);
    if (unit != RESUNIT_INCH) {
        xRes *= 2.54;
        yRes *= 2.54;
    }
    XResolution = xRes;
    YResolution = yRes;

    SetWidthHeightPixelFormat(static_cast<int>(width), static_cast<int>(length), format, false);
    if (GetWidth() == 0 || GetHeight() == 0) return;  // no rows to read

    // RowsPerStrip as a signed 32-bit count: absent, or 2^31 and more ("one strip"),
    // selects the whole-image reader.
    const std::int32_t rowsPerStrip =
        static_cast<std::int32_t>(TIFFGetOptionalIntField(tif, TIFFTAG_ROWSPERSTRIP, 0xFFFFFFFFu));
    if (rowsPerStrip > 0) ReadUsingRGBAStrip(tif, rowsPerStrip);
    else ReadUsingRGBAImage(tif);
}

void TzrMemBitmap::ReadUsingRGBAImage(TIFF* tif) {
    const int width = GetWidth();
    const int height = GetHeight();
    const int bpp = GetBytesPerPixel();
    auto buffer = AllocBuffer<std::uint32_t>(static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height));
    if (TIFFReadRGBAImage(tif, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), buffer.get(), 1) != 1)
        throw Exception("TIFFReadRGBAImage failed");
    TzrWriteHold hold(*this);
    const std::uint32_t* source = buffer.get();
    for (int row = height - 1; row >= 0; --row) {
        io::RGBAToPixels(source, GetScanline(row), width, bpp);
        source += width;
    }
}

void TzrMemBitmap::ReadUsingRGBAStrip(TIFF* tif, int rowsPerStrip) {
    TzrTiffStrips strips(tif, GetWidth(), GetHeight(), rowsPerStrip, GetBytesPerPixel());
    const std::size_t rowBytes = std::size_t(GetWidth()) * GetBytesPerPixel();
    io::TzrIoProgress progress(*this, "Loading...");
    TzrWriteHold hold(*this);
    for (int strip = 0; strip < strips.Count(); ++strip) {
        strips.Read(strip);
        const int first = strips.FirstRow(strip);
        const int rows = strips.RowsIn(strip);
        for (int i = 0; i < rows; ++i) std::memcpy(GetScanline(first + i), strips.Row(i), rowBytes);
        progress.Step(first + rows);
    }
    progress.End();
}

// ---- saving ----

void TzrMemBitmap::SaveToTIFFStream(TzrStream& stream) {
    TzrReadHold hold(*this);
    TiffCloser closer{TIFFOpenStream(stream, 1)};
    TIFF* tif = closer.tif;
    const int width = GetWidth();
    const int height = GetHeight();
    const int bpp = GetBytesPerPixel();
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "Kelmora");
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 75.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 75.0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, bpp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    if (bpp == 4) {
        // The fourth sample is alpha, and the colours are not multiplied by it.
        const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    // The codec's default strip size, written out: this platform's stitcher (PTmender)
    // refuses a TIFF without a RowsPerStrip tag, and strips keep large files readable in
    // batches.
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));

    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * static_cast<std::size_t>(bpp));
    for (int y = 0; y < height; ++y) {
        RGB2BGR(GetScanline(y), row.data(), width, bpp);
        if (TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) != 1)
            throw Exception("Could not write to TIFF stream. Perhaps the disk is full?");
    }
    // The directory is written here; closing alone would not tell whether that worked.
    if (TIFFFlush(tif) != 1) throw Exception("Could not write to TIFF stream. Perhaps the disk is full?");
}

}  // namespace qb
