// TzrMemBitmap: the program's own bitmap of 24-bit or 32-bit pixels (blue, green, red(,
// alpha) in memory, rows from the top without filler bytes), held in chunks of whole rows
// either in memory or in views of a memory-mapped temporary file. Every pixel access
// happens inside a read or write hold (BeginRead/EndRead, BeginWrite/EndWrite), which locks
// the bitmap against other threads and counts the open holds, so that the mapped views of
// an on-disk bitmap can be released when the last hold ends.
//
// The class is implemented in several files:
//   tzrmembitmapunit.cpp      storage, holds, rows, size and format, copying
//   tzrmembitmap_draw.cpp     drawing onto a QPainter
//   zrmembitmap_io*.cpp       TIFF and JPEG input and output
//   zrmembitmap_ops*.cpp      pixel operations and rectangle arithmetic
#pragma once

#include <atomic>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QImage>
#include <tiffio.h>

#include "components/MemBitmapIO/tzrmmf.h"
#include "components/MemBitmapIO/zrsynchronizer.h"

class QPainter;
class QPixmap;

namespace qb {

// ---------------------------------------------------------------------------------------
// Shared types
// ---------------------------------------------------------------------------------------

// Pixel formats of the framework bitmap; a TzrMemBitmap holds only pf24bit and pf32bit.
enum TPixelFormat : int {
    pfDevice,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom,
};

// The QImage format that holds a pixel format byte for byte (B, G, R(, A) in memory):
// pf24bit = Format_BGR888, pf32bit = Format_ARGB32; QImage::Format_Invalid for others.
QImage::Format QImageFormatOf(TPixelFormat format);
// The pixel format of a QImage: pf24bit or pf32bit for the two formats above, pfCustom for
// any other (such an image is converted before its pixels are used).
TPixelFormat PixelFormatOf(const QImage& image);

// A rectangle: left, top, right, bottom; right and bottom exclusive.
struct TRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    constexpr TRect() = default;
    constexpr TRect(std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b)
        : left(l), top(t), right(r), bottom(b) {}
    constexpr std::int32_t Width() const { return right - left; }
    constexpr std::int32_t Height() const { return bottom - top; }
    constexpr bool IsEmpty() const { return Width() <= 0 || Height() <= 0; }
    friend constexpr bool operator==(const TRect&, const TRect&) = default;
};

// A point: x, y.
struct TPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
    constexpr TPoint() = default;
    constexpr TPoint(std::int32_t px, std::int32_t py) : x(px), y(py) {}
    friend constexpr bool operator==(const TPoint&, const TPoint&) = default;
};

// A colour as a 32-bit value written into a pixel byte for byte: lowest byte blue, then
// green, red and (pf32bit) alpha.
using TColor = std::uint32_t;

// Stages of a progress report.
enum TProgressStage : int {
    psStarting,
    psRunning,
    psEnding,
};

class TzrMemBitmap;

// Progress report: sender, stage, percent done (0..100), redraw now, rectangle of the rows
// done, message.
using TProgressEvent = std::function<void(TzrMemBitmap* sender, TProgressStage stage,
                                          std::uint8_t percentDone, bool redrawNow,
                                          const TRect& rect, const std::string& msg)>;

// File types by extension: 0 TIFF, 1 JPEG, 2 any other file.
enum TzrMemBitmapFileType : int {
    mbftTIFF = 0,
    mbftJPEG = 1,
    mbftOther = 2,
};

// The stream of the file input and output (zrstream.h).
class TzrStream;

// ---------------------------------------------------------------------------------------
// The memory bitmap
// ---------------------------------------------------------------------------------------

class TzrMemBitmap {
public:
    // ===== Storage and access ==========================================================

    // Class-wide settings: allocations that reach DefaultAutoOnDiskSize bytes (when > 0) go
    // on disk; mapped files go to DefaultMMFDir (empty: the system temporary directory).
    static inline std::int32_t DefaultAutoOnDiskSize = 0;
    static inline std::string DefaultMMFDir;

    TzrMemBitmap();
    explicit TzrMemBitmap(const QImage* source);
    explicit TzrMemBitmap(const TzrMemBitmap* source);
    virtual ~TzrMemBitmap();
    TzrMemBitmap(const TzrMemBitmap&) = delete;
    TzrMemBitmap& operator=(const TzrMemBitmap&) = delete;

    // Holds. Every pixel access happens inside one; a thread may nest them and a writer may
    // read. The const forms exist so that sources of copies can be held.
    void BeginRead() const;
    void EndRead() const;
    void BeginWrite() const;
    void EndWrite() const;
    // Adds delta to the count of open holds; the views of an on-disk bitmap are released
    // when it returns to 0.
    void IncAccessCounter(int delta) const;
    // Unmaps the views of an on-disk bitmap; in-memory storage is untouched.
    void ReleaseData() const;

    std::int32_t GetWidth() const { return Width; }
    std::int32_t GetHeight() const { return Height; }
    TPixelFormat GetPixelFormat() const { return PixelFormat; }
    int GetBytesPerPixel() const;
    static int GetBytesPerPixel(TPixelFormat format);

    void SetWidthHeightPixelFormat(int width, int height, TPixelFormat format, bool keepContents);
    void SetWidth(int value);
    void SetHeight(int value);
    void SetPixelFormat(TPixelFormat value);

    // Storage primitives.
    void AllocData(int width, int height);
    static void* AllocBytes(std::size_t count);  // one zero-filled block
    void FreeData();

    std::int32_t GetMemChunkSize() const { return MemChunkSize; }
    // Only while no storage is held; otherwise throws std::logic_error("Internal error").
    void SetMemChunkSize(std::int32_t bytes);
    std::int32_t GetRowsPerChunk() const { return RowsPerChunk; }
    std::int32_t GetChunkCount() const { return ChunkCount; }
    std::int32_t GetChunkBytes() const { return ChunkBytes; }
    std::int32_t GetAccessCounter() const;

    bool GetOnDisk() const { return OnDisk; }
    void SetOnDisk(bool value);
    std::int32_t GetAutoOnDiskSize() const { return AutoOnDiskSize; }
    void SetAutoOnDiskSize(std::int32_t value) { AutoOnDiskSize = value; }
    // The mapped file of an on-disk bitmap with storage, else null.
    const TzrMMF* GetMappedFile() const { return MappedFile.get(); }

    // Address of the row's first byte, valid while the caller keeps its hold.
    std::uint8_t* GetScanline(int row) const;
    // Makes every row address valid at once (maps all chunks of an on-disk bitmap).
    void GetAllScanlines() const;

    // Copying. A null source or target is allowed where noted.
    void Assign(const TzrMemBitmap* source);  // null: empty pf24bit bitmap
    void AssignTo(TzrMemBitmap* target) const;
    void Assign(const QImage* source);
    void Assign(const QImage* source, int angle);
    // Copies a QImage rotated clockwise by angle (a multiple of 90 degrees). Without
    // takeSourceShape the result keeps this bitmap's format and size.
    void Assign(const QImage* source, bool takeSourceShape, int angle);
    // Any other graphic of the framework, converted through ScratchBitmap.
    void Assign(const QPixmap* graphic);
    void AssignTo(QImage* target) const;                // null: nothing
    void AssignTo(QImage* target, int x, int y) const;  // window at (x, y); null: nothing
    // Takes over the donor's storage without copying; the donor is left empty.
    void Set(TzrMemBitmap* donor);

    // State used by the file input and output.
    TProgressEvent OnProgress;
    std::atomic<bool> CancelRequested{false};
    bool ProcessMessages = false;
    double XResolution = 72.0;
    double YResolution = 72.0;
    std::int32_t JPEGQuality = 95;
    bool ProgressiveJPEG = false;

    // ===== File input and output (zrmembitmap_io*.cpp) ==================================

    static TzrMemBitmapFileType GetFileType(const std::string& fileName);
    static bool CanRead(const std::string& fileName);
    static bool CanWrite(const std::string& fileName);

    void LoadFromFile(const std::string& fileName, int page = 0);
    void SaveToFile(const std::string& fileName);
    void LoadFromStream(TzrStream& stream, TzrMemBitmapFileType fileType, int page = 0);
    void SaveToStream(TzrStream& stream, TzrMemBitmapFileType fileType);

    // Width and height from the file's header (TIFF, JPEG) or by loading it (others); a
    // null output is skipped where the file type allows.
    static void GetSizeFromFile(const std::string& fileName, int* width, int* height);
    static void GetTIFFSize(TzrStream& stream, int* width, int* height);
    static void GetJPEGSize(TzrStream& stream, int* width, int* height);

    void Cancel();

    void LoadFromTIFFStream(TzrStream& stream, int page);
    void LoadFromJPEGStream(TzrStream& stream);
    void SaveToTIFFStream(TzrStream& stream);
    void SaveToJPEGStream(TzrStream& stream);
    void ReadUsingRGBAImage(TIFF* tif);
    void ReadUsingRGBAStrip(TIFF* tif, int rowsPerStrip);

    static std::uint32_t TIFFGetRequiredIntField(TIFF* tif, ttag_t tag);
    static std::uint16_t TIFFGetRequiredWordField(TIFF* tif, ttag_t tag);
    static float TIFFGetRequiredFloatField(TIFF* tif, ttag_t tag);
    static std::uint32_t TIFFGetOptionalIntField(TIFF* tif, ttag_t tag, std::uint32_t def);
    static std::uint16_t TIFFGetOptionalWordField(TIFF* tif, ttag_t tag, std::uint16_t def);
    static float TIFFGetOptionalFloatField(TIFF* tif, ttag_t tag, float def);
    // mode 1: write, otherwise read.
    static TIFF* TIFFOpenStream(TzrStream& stream, int mode);
    // The largest single block the TIFF codec may allocate for a file, in bytes; 0 leaves
    // the codec's own limit. A class-wide setting for code that reads untrusted files.
    static inline std::int64_t TIFFMaxSingleAlloc = 0;

    static tmsize_t TiffReadProc(thandle_t handle, void* buffer, tmsize_t size);
    static tmsize_t TiffWriteProc(thandle_t handle, void* buffer, tmsize_t size);
    static toff_t TiffSeekProc(thandle_t handle, toff_t offset, int origin);
    static toff_t TiffSizeProc(thandle_t handle);
    static int TiffCloseProc(thandle_t handle);
    static int TiffMapProc(thandle_t handle, void** base, toff_t* size);
    static void TiffUnmapProc(thandle_t handle, void* base, toff_t size);

    // Copies a row exchanging the first and third byte of each pixel.
    static void RGB2BGR(const std::uint8_t* source, std::uint8_t* dest, int pixelCount,
                        int bytesPerPixel);

    // Forwards a picture loader's progress to OnProgress with this bitmap as sender.
    void PicOnProgress(TProgressStage stage, std::uint8_t percentDone, bool redrawNow,
                       const TRect& rect, const std::string& msg);

    // ===== Pixel operations (zrmembitmap_ops*.cpp) ======================================

    // Rectangle arithmetic.
    static TRect IntersectRect(const TRect& a, const TRect& b);
    static bool RectsOverlap(const TRect& a, const TRect& b);
    // The parts of a outside b, packed from out[0]; unused entries are (0, 0, 0, 0).
    static void SubstractRect(const TRect& a, const TRect& b, std::array<TRect, 4>& out);
    // Clips r to bounds; returns what was added to each side.
    static TRect fitRect(TRect& r, const TRect& bounds);
    static void addRect(TRect& r, const TRect& d);

    // Fills and crops.
    void FillColor(TColor color);
    void FillColor(TColor color, const TRect& rect, bool alphaOnly);
    void FillAlphaChannel(std::uint8_t alpha);
    void ExtractCropFrom(const TzrMemBitmap& source, const TRect& crop, TColor fill,
                         bool keepOwnFormat);
    void copyAlphaBitmap(const TzrMemBitmap& source, const TPoint& position, const TRect& sourceRect,
                         std::uint8_t alpha);
    // The pixel rule of copyAlphaBitmap for n pixels of one row: source pixels of srcBpp
    // bytes (their own alpha counts when there are 4) over destination pixels of dstBpp.
    static void BlendRow(const std::uint8_t* source, int srcBpp, std::uint8_t* dest, int dstBpp, int n,
                         std::uint8_t alpha);
    void MakeX(int width, int height);

    // Geometry; the copies belong to the caller.
    std::unique_ptr<TzrMemBitmap> CreateRotatedCopy(int angle) const;
    void Rotate(int angle);
    std::unique_ptr<TzrMemBitmap> CreateStretchedCopy(int newWidth, int newHeight, bool smooth) const;
    void Stretch(int newWidth, int newHeight, bool smooth);
    std::unique_ptr<TzrMemBitmap> CreateZoomedOutCopy(int factor, bool smooth) const;
    static void MaximizeSize(int& width, int& height, int maxPixels);
    static void MaximizeSize(int& width, int& height, int maxWidth, int maxHeight, bool enlarge);

    // Tone.
    void ApplyBrightnessContrast(std::int8_t brightness, std::int8_t contrast);
    static void ApplyBrightnessContrast(TzrMemBitmap& bitmap, std::int8_t brightness, std::int8_t contrast);
    static void ApplyBrightnessContrast(QImage& bitmap, std::int8_t brightness, std::int8_t contrast);
    static void ApplyBrightnessContrast(QImage* bitmap, TzrMemBitmap* memBitmap, std::int8_t brightness,
                                        std::int8_t contrast);
    double DetermineContrast() const;
    void AutoContrast(double strength);
    void Correlate(const TzrMemBitmap& other, double centreX, double centreY, double& difference,
                   double& weight, int step) const;

    // ===== Drawing (tzrmembitmap_draw.cpp) ==============================================

    // The whole bitmap with its top-left at (x, y).
    void DrawToCanvas(QPainter& canvas, int x, int y) const;
    // Cut to the area's size, drawn at its top-left or centred in it.
    void DrawToCanvas(QPainter& canvas, const TRect& area, bool centre) const;
    // The source window magnified by zoom with its top-left at (dstX, dstY), in strips.
    void DrawToCanvasNoClip(QPainter& canvas, int srcX, int srcY, int dstX, int dstY, int srcW,
                            int srcH, int zoom) const;
    void DrawToCanvas(QPainter& canvas, int srcX, int srcY, int dstX, int dstY, int srcW, int srcH,
                      int zoom) const;
    // The same picture, leaving out the canvas area of `exclude`.
    void DrawToCanvasExclude(QPainter& canvas, int srcX, int srcY, int dstX, int dstY, int srcW,
                             int srcH, int zoom, const TRect& exclude) const;

private:
    // ===== Storage state ================================================================
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    TPixelFormat PixelFormat = pf24bit;
    mutable std::atomic<std::int32_t> AccessCounter{0};  // changed under CounterLock
    mutable std::recursive_mutex CounterLock;  // guards AccessCounter and mapping/unmapping
    mutable TzrMultiReadExclusiveWriteSynchronizer Synchronizer;
    bool OnDisk = false;
    std::int32_t AutoOnDiskSize = DefaultAutoOnDiskSize;
    std::int32_t MemChunkSize = 1048576;
    std::int32_t RowsPerChunk = 0;
    std::int32_t ChunkCount = 0;
    std::int32_t ChunkBytes = 0;
    mutable std::vector<std::uint8_t*> Chunks;  // null: chunk not mapped
    mutable std::vector<std::uint8_t*> Rows;    // null: row's chunk not mapped
    std::unique_ptr<TzrMMF> MappedFile;
    // The anonymous mappings that hold the chunks of in-memory storage (several chunks
    // each; a chunk never spans two).
    struct TChunkArena {
        void* base;
        std::size_t bytes;
    };
    std::vector<TChunkArena> Arenas;
    QImage ScratchBitmap;

    // Maps chunk c of an on-disk bitmap and fills the row addresses of its rows; called
    // with CounterLock held.
    void MapChunk(int chunk) const;
    // Allocates the ChunkCount chunks of in-memory storage in arenas and fills Chunks.
    void AllocChunkArenas();
    void CopyFromImage(const QImage& source, int angle);
};

// Holds as scoped objects, so that a hold ends on every path out of a block.
// A failure while ending a hold (releasing the views of an on-disk bitmap) is raised on the
// normal path and dropped while another exception is already unwinding the block.
class TzrReadHold {
public:
    explicit TzrReadHold(const TzrMemBitmap& bitmap) : Bitmap(bitmap) { Bitmap.BeginRead(); }
    ~TzrReadHold() noexcept(false) {
        if (std::uncaught_exceptions() > Unwinding) {
            try {
                Bitmap.EndRead();
            } catch (...) {
            }
        } else {
            Bitmap.EndRead();
        }
    }
    TzrReadHold(const TzrReadHold&) = delete;
    TzrReadHold& operator=(const TzrReadHold&) = delete;

private:
    const TzrMemBitmap& Bitmap;
    const int Unwinding = std::uncaught_exceptions();
};

class TzrWriteHold {
public:
    explicit TzrWriteHold(const TzrMemBitmap& bitmap) : Bitmap(bitmap) { Bitmap.BeginWrite(); }
    ~TzrWriteHold() noexcept(false) {
        if (std::uncaught_exceptions() > Unwinding) {
            try {
                Bitmap.EndWrite();
            } catch (...) {
            }
        } else {
            Bitmap.EndWrite();
        }
    }
    TzrWriteHold(const TzrWriteHold&) = delete;
    TzrWriteHold& operator=(const TzrWriteHold&) = delete;

private:
    const TzrMemBitmap& Bitmap;
    const int Unwinding = std::uncaught_exceptions();
};

}  // namespace qb
