// Storage, holds, row access, size and format changes and copying to and from QImage.
#include "components/MemBitmapIO/tzrmembitmapunit.h"

#include <QPixmap>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/exceptions.h"

namespace qb {

namespace {

[[noreturn]] void RaiseOutOfMemory(long long bytes) {
    throw EOutOfMemory(Format("Out of memory: could not allocate %lld bytes", bytes));
}

// Copies one pixel of BPP bytes.
template <int BPP>
inline void CopyPixel(std::uint8_t* dest, const std::uint8_t* source) {
    std::memcpy(dest, source, BPP);
}

// Copies the source rows rotated clockwise by 90, 180 or 270 degrees into the destination
// rows (all addresses valid). Source is sw x sh, destination its rotated size.
template <int BPP>
void RotateRows(const QImage& source, std::uint8_t* const* destRows, int angle) {
    const int sw = source.width();
    const int sh = source.height();
    if (angle == 180) {
        for (int i = 0; i < sh; ++i) {
            const std::uint8_t* s = source.constScanLine(sh - 1 - i);
            std::uint8_t* d = destRows[i];
            for (int x = 0; x < sw; ++x) CopyPixel<BPP>(d + x * BPP, s + (sw - 1 - x) * BPP);
        }
    } else if (angle == 90) {
        // Source (x, y) to destination (newWidth - 1 - y, x); newWidth = sh.
        for (int y = 0; y < sh; ++y) {
            const std::uint8_t* s = source.constScanLine(y);
            const std::ptrdiff_t dx = static_cast<std::ptrdiff_t>(sh - 1 - y) * BPP;
            for (int x = 0; x < sw; ++x) CopyPixel<BPP>(destRows[x] + dx, s + x * BPP);
        }
    } else if (angle == 270) {
        // Source (x, y) to destination (y, newHeight - 1 - x); newHeight = sw.
        for (int y = 0; y < sh; ++y) {
            const std::uint8_t* s = source.constScanLine(y);
            const std::ptrdiff_t dx = static_cast<std::ptrdiff_t>(y) * BPP;
            for (int x = 0; x < sw; ++x) CopyPixel<BPP>(destRows[sw - 1 - x] + dx, s + x * BPP);
        }
    }
}

// A QImage of the given size and format holding the top-left part of `source` (already in
// that format); the rest is zero bytes.
QImage ImageOfSize(const QImage& source, int width, int height, QImage::Format format) {
    QImage result(width, height, format);
    if (result.isNull()) RaiseOutOfMemory(static_cast<long long>(width) * height * 4);
    result.fill(0);
    if (source.isNull()) return result;
    const int bpp = result.depth() / 8;
    const int w = std::min(width, source.width());
    const int h = std::min(height, source.height());
    for (int y = 0; y < h; ++y)
        std::memcpy(result.scanLine(y), source.constScanLine(y), static_cast<std::size_t>(w) * bpp);
    return result;
}

int NormalizedAngle(int angle) {
    angle %= 360;
    if (angle < 0) angle += 360;
    if (angle != 0 && angle != 90 && angle != 180 && angle != 270)
        throw Exception("Rotation only in multiple of 90 degrees");
    return angle;
}

}  // namespace

QImage::Format QImageFormatOf(TPixelFormat format) {
    switch (format) {
    case pf24bit: return QImage::Format_BGR888;
    case pf32bit: return QImage::Format_ARGB32;
    default: return QImage::Format_Invalid;
    }
}

TPixelFormat PixelFormatOf(const QImage& image) {
    switch (image.format()) {
    case QImage::Format_BGR888: return pf24bit;
    case QImage::Format_ARGB32: return pf32bit;
    default: return pfCustom;
    }
}

// ---- construction ---------------------------------------------------------------------

TzrMemBitmap::TzrMemBitmap() = default;

TzrMemBitmap::TzrMemBitmap(const QImage* source) : TzrMemBitmap() { Assign(source); }

TzrMemBitmap::TzrMemBitmap(const TzrMemBitmap* source) : TzrMemBitmap() { Assign(source); }

TzrMemBitmap::~TzrMemBitmap() {
    try {
        FreeData();
    } catch (...) {
        // Nothing can be reported from a destructor; the mapped file removes itself.
    }
}

// ---- holds ----------------------------------------------------------------------------

void TzrMemBitmap::BeginRead() const {
    Synchronizer.BeginRead();
    try {
        IncAccessCounter(1);
    } catch (...) {
        Synchronizer.EndRead();
        throw;
    }
}

void TzrMemBitmap::EndRead() const {
    try {
        IncAccessCounter(-1);
    } catch (...) {
        // The first failure is the one reported (an unbalanced end has no lock to give back).
        try {
            Synchronizer.EndRead();
        } catch (...) {
        }
        throw;
    }
    Synchronizer.EndRead();
}

void TzrMemBitmap::BeginWrite() const {
    Synchronizer.BeginWrite();
    try {
        IncAccessCounter(1);
    } catch (...) {
        Synchronizer.EndWrite();
        throw;
    }
}

void TzrMemBitmap::EndWrite() const {
    try {
        IncAccessCounter(-1);
    } catch (...) {
        // The first failure is the one reported (an unbalanced end has no lock to give back).
        try {
            Synchronizer.EndWrite();
        } catch (...) {
        }
        throw;
    }
    Synchronizer.EndWrite();
}

void TzrMemBitmap::IncAccessCounter(int delta) const {
    std::lock_guard<std::recursive_mutex> lock(CounterLock);
    const std::int32_t old = AccessCounter.load();
    if (static_cast<long long>(old) + delta < 0)
        throw Exception("Internal error: EndRead or EndWrite without BeginRead or BeginWrite");
    AccessCounter.store(old + delta);
    if (old == -delta) ReleaseData();
}

std::int32_t TzrMemBitmap::GetAccessCounter() const { return AccessCounter.load(); }

void TzrMemBitmap::ReleaseData() const {
    std::lock_guard<std::recursive_mutex> lock(CounterLock);
    if (!MappedFile) return;
    // The addresses are forgotten even when an unmap fails: a view still open stays in the
    // file's list and is given back with the next release or when the file is destroyed.
    struct Forget {
        const TzrMemBitmap& self;
        ~Forget() {
            std::fill(self.Chunks.begin(), self.Chunks.end(), nullptr);
            std::fill(self.Rows.begin(), self.Rows.end(), nullptr);
        }
    } forget{*this};
    MappedFile->UnmapAll();
}

// ---- size and format ------------------------------------------------------------------

int TzrMemBitmap::GetBytesPerPixel() const { return GetBytesPerPixel(PixelFormat); }

int TzrMemBitmap::GetBytesPerPixel(TPixelFormat format) {
    switch (format) {
    case pf24bit: return 3;
    case pf32bit: return 4;
    default: throw Exception("Pixelformat not supported!");
    }
}

void TzrMemBitmap::SetWidthHeightPixelFormat(int width, int height, TPixelFormat format,
                                             bool keepContents) {
    if (width == Width && height == Height && format == PixelFormat) return;
    if (width < 0 || height < 0) throw Exception("bitmap dimensions should not be negative!");
    if (format != pf24bit && format != pf32bit)
        throw Exception("PixelFormat should be pf32bit or pf24bit!");
    TzrWriteHold hold(*this);
    if (keepContents && width > 0 && height > 0) {
        // The new storage keeps this bitmap's storage settings, so that an on-disk bitmap
        // stays on disk.
        TzrMemBitmap fresh;
        fresh.PixelFormat = format;
        fresh.OnDisk = OnDisk;
        fresh.AutoOnDiskSize = AutoOnDiskSize;
        fresh.MemChunkSize = MemChunkSize;
        fresh.ExtractCropFrom(*this, TRect(0, 0, width, height), 0, true);
        Set(&fresh);
    } else {
        FreeData();
        PixelFormat = format;
        AllocData(width, height);
    }
}

void TzrMemBitmap::SetWidth(int value) { SetWidthHeightPixelFormat(value, Height, PixelFormat, false); }

void TzrMemBitmap::SetHeight(int value) { SetWidthHeightPixelFormat(Width, value, PixelFormat, false); }

void TzrMemBitmap::SetPixelFormat(TPixelFormat value) { SetWidthHeightPixelFormat(Width, Height, value, false); }

void TzrMemBitmap::SetMemChunkSize(std::int32_t bytes) {
    if (ChunkCount != 0) throw std::logic_error("Internal error");
    MemChunkSize = bytes;
}

void* TzrMemBitmap::AllocBytes(std::size_t count) {
    void* block = std::calloc(1, count == 0 ? 1 : count);
    if (!block) RaiseOutOfMemory(static_cast<long long>(count));
    return block;
}

namespace {

// A fresh page costs a fault on first touch, and in a virtual machine a fault is dear.
// In-memory chunks therefore come from anonymous mappings of up to 64 MiB, aligned to
// 2 MiB and advised for transparent huge pages, so that one fault serves 2 MiB instead of
// 4 KiB. The pages are zero-filled, as committed memory is.
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kArenaBytes = std::size_t(64) << 20;

void* MapArena(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    bytes = (bytes + page - 1) / page * page;
    if (bytes < kHugePage) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    // Map a little more and give back what lies before and after the aligned block.
    void* raw = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const std::size_t tail = (start + bytes + kHugePage) - (aligned + bytes);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

void TzrMemBitmap::AllocChunkArenas() {
    const std::size_t chunkBytes = static_cast<std::size_t>(ChunkBytes);
    const std::size_t perArena = std::max<std::size_t>(1, kArenaBytes / chunkBytes);
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t c = 0; c < static_cast<std::size_t>(ChunkCount); c += perArena) {
        const std::size_t n = std::min(perArena, static_cast<std::size_t>(ChunkCount) - c);
        const std::size_t bytes = n * chunkBytes;
        auto* base = static_cast<std::uint8_t*>(MapArena(bytes));
        if (!base) RaiseOutOfMemory(static_cast<long long>(bytes));
        Arenas.push_back({base, (bytes + page - 1) / page * page});
        for (std::size_t k = 0; k < n; ++k) Chunks[c + k] = base + k * chunkBytes;
    }
}

void TzrMemBitmap::AllocData(int width, int height) {
    const int bytesPerPixel = GetBytesPerPixel();
    FreeData();
    try {
        if (height > 0) {
            try {
                Rows.assign(static_cast<std::size_t>(height), nullptr);
            } catch (const std::bad_alloc&) {
                RaiseOutOfMemory(static_cast<long long>(height) * static_cast<long long>(sizeof(void*)));
            }
            if (width > 0) {
                const long long rowBytes = static_cast<long long>(width) * bytesPerPixel;
                long long rowsPerChunk = MemChunkSize > 0 ? MemChunkSize / rowBytes : height;
                if (MemChunkSize <= 0 || height < rowsPerChunk) rowsPerChunk = height;
                if (rowsPerChunk < 1) rowsPerChunk = 1;
                const long long chunkBytes = rowBytes * rowsPerChunk;
                // A chunk is one block (and one view of the mapped file): its size must fit
                // in 32 bits.
                if (chunkBytes > INT32_MAX) RaiseOutOfMemory(chunkBytes);
                RowsPerChunk = static_cast<std::int32_t>(rowsPerChunk);
                ChunkBytes = static_cast<std::int32_t>(chunkBytes);
                const std::int32_t chunkCount = (height - 1) / RowsPerChunk + 1;
                const long long total = static_cast<long long>(chunkCount) * ChunkBytes;
                if (AutoOnDiskSize > 0 && total >= AutoOnDiskSize) OnDisk = true;
                try {
                    Chunks.assign(static_cast<std::size_t>(chunkCount), nullptr);
                } catch (const std::bad_alloc&) {
                    RaiseOutOfMemory(static_cast<long long>(chunkCount) * static_cast<long long>(sizeof(void*)));
                }
                ChunkCount = chunkCount;
                if (OnDisk) {
                    auto file = std::make_unique<TzrMMF>();
                    file->SetSize(static_cast<std::uint64_t>(total));
                    file->SetTempdir(DefaultMMFDir);
                    MappedFile = std::move(file);
                } else {
                    AllocChunkArenas();
                    for (std::int32_t i = 0; i < height; ++i)
                        Rows[i] = Chunks[i / RowsPerChunk] +
                                  static_cast<std::ptrdiff_t>(i % RowsPerChunk) * rowBytes;
                }
            }
        }
    } catch (...) {
        // What was built so far is given back at once.
        FreeData();
        throw;
    }
    Width = width;
    Height = height;
}

void TzrMemBitmap::FreeData() {
    if (MappedFile) {
        ReleaseData();
        MappedFile.reset();
    } else {
        for (const TChunkArena& arena : Arenas) munmap(arena.base, arena.bytes);
        std::fill(Chunks.begin(), Chunks.end(), nullptr);
    }
    std::vector<TChunkArena>().swap(Arenas);
    std::vector<std::uint8_t*>().swap(Chunks);
    std::vector<std::uint8_t*>().swap(Rows);
    Width = 0;
    Height = 0;
    ChunkCount = 0;
}

void TzrMemBitmap::SetOnDisk(bool value) {
    TzrWriteHold hold(*this);
    if (value != OnDisk && ChunkCount > 0) {
        TzrMemBitmap fresh;
        fresh.OnDisk = value;
        fresh.MemChunkSize = MemChunkSize;
        // An explicit move into memory is not undone by the automatic rule.
        fresh.AutoOnDiskSize = value ? AutoOnDiskSize : 0;
        fresh.Assign(this);
        Set(&fresh);
    }
    OnDisk = value;
}

// ---- rows -----------------------------------------------------------------------------

void TzrMemBitmap::MapChunk(int chunk) const {
    if (!Chunks[chunk])
        Chunks[chunk] = static_cast<std::uint8_t*>(
            MappedFile->Map(static_cast<std::uint64_t>(chunk) * static_cast<std::uint64_t>(ChunkBytes),
                            static_cast<std::uint32_t>(ChunkBytes)));
    const std::ptrdiff_t rowBytes = static_cast<std::ptrdiff_t>(ChunkBytes / RowsPerChunk);
    const int first = chunk * RowsPerChunk;
    const int last = static_cast<int>(std::min<long long>(static_cast<long long>(first) + RowsPerChunk, Height));
    for (int i = first; i < last; ++i) Rows[i] = Chunks[chunk] + (i - first) * rowBytes;
}

std::uint8_t* TzrMemBitmap::GetScanline(int row) const {
    if (AccessCounter.load() == 0) throw Exception("Internal error: BeginRead or BeginWrite omitted");
    TzrReadHold hold(*this);
    if (row < 0 || row >= Height) throw Exception("Row index out of bounds");
    if (!MappedFile) return Rows[row];
    // Readers share the bitmap, so mapping on demand is serialised by the counter lock.
    std::lock_guard<std::recursive_mutex> lock(CounterLock);
    if (!Rows[row]) MapChunk(row / RowsPerChunk);
    return Rows[row];
}

void TzrMemBitmap::GetAllScanlines() const {
    if (AccessCounter.load() == 0) throw Exception("Internal error: BeginRead or BeginWrite omitted");
    TzrReadHold hold(*this);
    if (!MappedFile) return;
    std::lock_guard<std::recursive_mutex> lock(CounterLock);
    for (int c = 0; c < ChunkCount; ++c)
        if (!Chunks[c]) MapChunk(c);
}

// ---- copying --------------------------------------------------------------------------

void TzrMemBitmap::Assign(const TzrMemBitmap* source) {
    TzrWriteHold hold(*this);
    if (!source) {
        FreeData();
        PixelFormat = pf24bit;
        return;
    }
    if (source == this) return;
    TzrReadHold sourceHold(*source);
    SetWidthHeightPixelFormat(source->Width, source->Height, source->PixelFormat, false);
    if (Width <= 0) return;
    const std::size_t rowBytes = static_cast<std::size_t>(Width) * GetBytesPerPixel();
    for (int i = 0; i < Height; ++i) std::memcpy(GetScanline(i), source->GetScanline(i), rowBytes);
}

void TzrMemBitmap::AssignTo(TzrMemBitmap* target) const {
    TzrReadHold hold(*this);
    if (target) target->Assign(this);
}

void TzrMemBitmap::Assign(const QImage* source) { Assign(source, true, 0); }

void TzrMemBitmap::Assign(const QImage* source, int angle) { Assign(source, true, angle); }

void TzrMemBitmap::Assign(const QImage* source, bool takeSourceShape, int angle) {
    angle = NormalizedAngle(angle);
    if (!takeSourceShape) {
        // The result keeps this bitmap's format and size: the source is cut or extended
        // (with zero bytes) to the size that, rotated, gives this bitmap's size.
        TzrWriteHold hold(*this);
        int w = Width;
        int h = Height;
        if (angle == 90 || angle == 270) std::swap(w, h);
        if (w <= 0 || h <= 0) {
            FreeData();
            return;
        }
        const QImage::Format format = QImageFormatOf(PixelFormat);
        QImage converted;
        if (source && !source->isNull()) {
            converted = source->format() == format ? *source : source->convertToFormat(format);
            if (converted.isNull()) RaiseOutOfMemory(static_cast<long long>(source->width()) * source->height() * 4);
        }
        const QImage shaped = ImageOfSize(converted, w, h, format);
        CopyFromImage(shaped, angle);
        return;
    }
    if (source && !source->isNull() && PixelFormatOf(*source) == pfCustom) {
        TzrWriteHold hold(*this);
        const QImage converted = source->convertToFormat(QImage::Format_BGR888);
        if (converted.isNull()) RaiseOutOfMemory(static_cast<long long>(source->width()) * source->height() * 3);
        CopyFromImage(converted, angle);
        return;
    }
    TzrWriteHold hold(*this);
    if (!source || source->isNull()) {
        FreeData();
        PixelFormat = pf24bit;
        return;
    }
    CopyFromImage(*source, angle);
}

// Copies a pf24bit or pf32bit QImage, rotated clockwise by angle (0, 90, 180, 270); the
// caller holds the bitmap for writing.
void TzrMemBitmap::CopyFromImage(const QImage& source, int angle) {
    const TPixelFormat format = PixelFormatOf(source);
    const int sw = source.width();
    const int sh = source.height();
    if (angle == 90 || angle == 270)
        SetWidthHeightPixelFormat(sh, sw, format, false);
    else
        SetWidthHeightPixelFormat(sw, sh, format, false);
    if (Width <= 0 || Height <= 0) return;
    const int bpp = GetBytesPerPixel();
    if (angle == 0) {
        const std::size_t rowBytes = static_cast<std::size_t>(sw) * bpp;
        for (int i = 0; i < sh; ++i) std::memcpy(GetScanline(i), source.constScanLine(i), rowBytes);
        return;
    }
    GetAllScanlines();
    if (bpp == 3)
        RotateRows<3>(source, Rows.data(), angle);
    else
        RotateRows<4>(source, Rows.data(), angle);
}

void TzrMemBitmap::Assign(const QPixmap* graphic) {
    struct Dormant {
        QImage& scratch;
        ~Dormant() { scratch = QImage(); }
    } dormant{ScratchBitmap};
    if (graphic) ScratchBitmap = graphic->toImage();
    else ScratchBitmap = QImage();
    Assign(graphic ? &ScratchBitmap : static_cast<const QImage*>(nullptr));
}

void TzrMemBitmap::AssignTo(QImage* target) const {
    if (!target) return;
    TzrReadHold hold(*this);
    if (Width <= 0 || Height <= 0) {
        *target = QImage();
        return;
    }
    QImage image(Width, Height, QImageFormatOf(PixelFormat));
    if (image.isNull()) RaiseOutOfMemory(static_cast<long long>(Width) * Height * GetBytesPerPixel());
    const std::size_t rowBytes = static_cast<std::size_t>(Width) * GetBytesPerPixel();
    for (int i = 0; i < Height; ++i) std::memcpy(image.scanLine(i), GetScanline(i), rowBytes);
    *target = std::move(image);
}

void TzrMemBitmap::AssignTo(QImage* target, int x, int y) const {
    if (!target) return;
    TzrReadHold hold(*this);
    const QImage::Format format = QImageFormatOf(PixelFormat);
    if (!target->isNull() && target->format() != format) *target = target->convertToFormat(format);
    if (target->isNull()) return;
    const long long tw = target->width();
    const long long th = target->height();
    const long long cw = x >= 0 ? std::min<long long>(tw, static_cast<long long>(Width) - x)
                                : std::min<long long>(Width, tw + x);
    const long long ch = y >= 0 ? std::min<long long>(th, static_cast<long long>(Height) - y)
                                : std::min<long long>(Height, th + y);
    if (cw <= 0 || ch <= 0) return;
    const int bpp = GetBytesPerPixel();
    const int sx = std::max(x, 0);
    const int sy = std::max(y, 0);
    const long long tx = x < 0 ? -static_cast<long long>(x) : 0;
    const long long ty = y < 0 ? -static_cast<long long>(y) : 0;
    for (long long j = 0; j < ch; ++j)
        std::memcpy(target->scanLine(static_cast<int>(ty + j)) + tx * bpp,
                    GetScanline(static_cast<int>(sy + j)) + static_cast<std::ptrdiff_t>(sx) * bpp,
                    static_cast<std::size_t>(cw) * bpp);
}

void TzrMemBitmap::Set(TzrMemBitmap* donor) {
    if (!donor || donor == this) return;
    TzrWriteHold hold(*this);
    TzrWriteHold donorHold(*donor);
    FreeData();
    Width = donor->Width;
    Height = donor->Height;
    PixelFormat = donor->PixelFormat;
    ChunkCount = donor->ChunkCount;
    MemChunkSize = donor->MemChunkSize;
    RowsPerChunk = donor->RowsPerChunk;
    ChunkBytes = donor->ChunkBytes;
    Chunks.swap(donor->Chunks);
    Rows.swap(donor->Rows);
    Arenas.swap(donor->Arenas);
    OnDisk = donor->OnDisk;
    MappedFile = std::move(donor->MappedFile);
    // The donor is left empty.
    std::vector<std::uint8_t*>().swap(donor->Chunks);
    std::vector<std::uint8_t*>().swap(donor->Rows);
    std::vector<TChunkArena>().swap(donor->Arenas);
    donor->Width = 0;
    donor->Height = 0;
    donor->ChunkCount = 0;
    donor->RowsPerChunk = 0;
    donor->ChunkBytes = 0;
    donor->OnDisk = false;
}

}  // namespace qb
