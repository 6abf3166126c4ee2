// TzrMemBitmap: JPEG input and output through libjpeg over our streams.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "components/MemBitmapIO/zrjpegutils.h"
#include "components/MemBitmapIO/zrmembitmap_io.h"
#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"

namespace qb {

namespace {

// One batch of rows and the table of their addresses.
struct TzrRowBatch {
    std::vector<std::uint8_t> Pixels;
    std::vector<std::uint8_t*> Rows;

    TzrRowBatch(int rowBytes, int rowCount) {
        try {
            Pixels.resize(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(rowCount));
            Rows.resize(static_cast<std::size_t>(rowCount));
        } catch (const std::bad_alloc&) {
            throw EOutOfMemory();
        }
        for (int i = 0; i < rowCount; ++i) Rows[static_cast<std::size_t>(i)] = Pixels.data() + static_cast<std::size_t>(i) * rowBytes;
    }
    void Free() {
        std::vector<std::uint8_t>().swap(Pixels);
        std::vector<std::uint8_t*>().swap(Rows);
    }
};

// A density in dots per inch as the file stores it: truncated, within 0..65535.
std::uint16_t DensityOf(double resolution) {
    if (!(resolution > 0)) return 0;
    if (resolution >= 65535.0) return 65535;
    return static_cast<std::uint16_t>(resolution);
}

}  // namespace

void TzrMemBitmap::GetJPEGSize(TzrStream& stream, int* width, int* height) {
    jpeg::TzrJpegReader reader(stream);
    reader.ReadHeader();
    if (width != nullptr) *width = static_cast<int>(reader.Info().image_width);
    if (height != nullptr) *height = static_cast<int>(reader.Info().image_height);
}

void TzrMemBitmap::LoadFromJPEGStream(TzrStream& stream) {
    CancelRequested = false;
    // Declared first, so destroyed last: the decompressor outlives the hold and the batch.
    jpeg::TzrJpegReader reader(stream);
    reader.ReadHeader();
    reader.StartDecompress();
    const jpeg_decompress_struct& info = reader.Info();
    if (info.output_components != 1 && info.output_components != 3)
        throw Exception(Format("Unsupported number of components: %d", info.output_components));

    SetWidthHeightPixelFormat(static_cast<int>(info.output_width), static_cast<int>(info.output_height), pf24bit, false);
    const int width = GetWidth();
    const int height = GetHeight();
    const int rowBytes = 3 * width;
    {
        io::TzrIoProgress progress(*this, "Loading...");
        TzrWriteHold hold(*this);
        const int rowsPerBatch = io::JPEGRowsPerBatch(width, height, GetOnDisk());
        TzrRowBatch batch(rowBytes, rowsPerBatch);
        for (int first = 0; first < height; first += rowsPerBatch) {
            const int count = std::min(rowsPerBatch, height - first);
            int got = 0;
            while (got < count) {
                const int n = reader.ReadScanlines(batch.Rows.data() + got, count - got);
                if (n <= 0) throw Exception("Premature end of JPEG file");
                got += n;
            }
            for (int i = 0; i < count; ++i)
                std::memcpy(GetScanline(first + i), batch.Rows[static_cast<std::size_t>(i)], static_cast<std::size_t>(rowBytes));
            progress.Step(first + count);
        }
        batch.Free();
        progress.End();
    }
    reader.FinishDecompress();
}

void TzrMemBitmap::SaveToJPEGStream(TzrStream& stream) {
    if (GetPixelFormat() != pf24bit) throw Exception("Image should be 24 bit");
    CancelRequested = false;
    jpeg::TzrJpegWriter writer(stream);
    const int width = GetWidth();
    const int height = GetHeight();
    const int rowBytes = 3 * width;
    {
        io::TzrIoProgress progress(*this, "Saving...");
        TzrReadHold hold(*this);
        writer.Start(width, height, DensityOf(XResolution), DensityOf(YResolution), JPEGQuality, ProgressiveJPEG);
        const int rowsPerBatch = io::JPEGRowsPerBatch(width, height, GetOnDisk());
        TzrRowBatch batch(rowBytes, rowsPerBatch);
        for (int first = 0; first < height; first += rowsPerBatch) {
            const int count = std::min(rowsPerBatch, height - first);
            for (int i = 0; i < count; ++i)
                std::memcpy(batch.Rows[static_cast<std::size_t>(i)], GetScanline(first + i), static_cast<std::size_t>(rowBytes));
            writer.WriteScanlines(batch.Rows.data(), count);
            progress.Step(first + count);
        }
        progress.End();
    }
    writer.FinishCompress();
}

}  // namespace qb
