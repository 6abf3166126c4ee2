// TzrMemBitmap: file types, loading and saving by file name and by stream, sizes from file
// headers, progress reports and cancel. The TIFF and JPEG codecs are in
// zrmembitmap_io_tiff.cpp and zrmembitmap_io_jpeg.cpp.
#include "components/MemBitmapIO/zrmembitmap_io.h"

#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QString>
#include <QThread>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "components/MemBitmapIO/zrstream.h"
#include "core/exceptions.h"
#include "platform/files.h"

namespace qb {

namespace io {

TzrIoProgress::TzrIoProgress(TzrMemBitmap& bitmap, std::string message)
    : Bitmap(bitmap), Message(std::move(message)) {
    Send(psStarting, 0, false, TRect());
    LastTick = std::chrono::steady_clock::now();
}

TzrIoProgress::~TzrIoProgress() {
    if (Ended) return;
    try {
        End();
    } catch (...) {
        // The operation is failing already; its own exception is the one that counts.
    }
}

void TzrIoProgress::Send(TProgressStage stage, std::uint8_t percent, bool redraw, const TRect& rect) {
    if (Bitmap.OnProgress) Bitmap.OnProgress(&Bitmap, stage, percent, redraw, rect, Message);
}

void TzrIoProgress::Step(int rowsDone) {
    const auto now = std::chrono::steady_clock::now();
    if (now - LastTick <= std::chrono::milliseconds(20)) return;
    if (Bitmap.ProcessMessages) ProcessPendingMessages();
    if (Bitmap.CancelRequested) Abort();
    const int height = Bitmap.GetHeight();
    const double percent = height > 0 ? static_cast<double>(rowsDone) * 100.0 / height + 0.5 : 100.0;
    Send(psRunning, static_cast<std::uint8_t>(std::clamp(percent, 0.0, 100.0)), true,
         TRect(0, LastRow, Bitmap.GetWidth(), rowsDone));
    LastRow = rowsDone;
    if (Bitmap.CancelRequested) Abort();
    LastTick = std::chrono::steady_clock::now();
}

void TzrIoProgress::End() {
    Ended = true;
    Send(psEnding, 100, false, TRect());
}

int JPEGRowsPerBatch(int width, int height, bool onDisk) {
    const double budget = onDisk ? 500000.0 : 60000.0;
    int rows = width > 0 ? static_cast<int>(std::floor(budget / (3.0 * width) / 8.0)) * 8 : height;
    rows = std::min(rows, height);
    return std::max(rows, 1);
}

void RGBAToPixels(const std::uint32_t* source, std::uint8_t* dest, int count, int bytesPerPixel) {
    if (bytesPerPixel == 4) {
        for (int i = 0; i < count; ++i) {
            const std::uint32_t v = source[i];
            dest[0] = static_cast<std::uint8_t>(v >> 16);
            dest[1] = static_cast<std::uint8_t>(v >> 8);
            dest[2] = static_cast<std::uint8_t>(v);
            dest[3] = static_cast<std::uint8_t>(v >> 24);
            dest += 4;
        }
    } else {
        for (int i = 0; i < count; ++i) {
            const std::uint32_t v = source[i];
            dest[0] = static_cast<std::uint8_t>(v >> 16);
            dest[1] = static_cast<std::uint8_t>(v >> 8);
            dest[2] = static_cast<std::uint8_t>(v);
            dest += 3;
        }
    }
}

void ProcessPendingMessages() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() == app->thread()) QCoreApplication::processEvents();
}

}  // namespace io

TzrMemBitmapFileType TzrMemBitmap::GetFileType(const std::string& fileName) {
    std::string ext = platform::ExtractFileExt(fileName);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".tif" || ext == ".tiff") return mbftTIFF;
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".pan") return mbftJPEG;
    return mbftOther;
}

bool TzrMemBitmap::CanRead(const std::string& fileName) {
    const TzrMemBitmapFileType type = GetFileType(fileName);
    return type == mbftTIFF || type == mbftJPEG;
}

bool TzrMemBitmap::CanWrite(const std::string& fileName) { return GetFileType(fileName) == mbftTIFF; }

void TzrMemBitmap::LoadFromFile(const std::string& fileName, int page) {
    const TzrMemBitmapFileType type = GetFileType(fileName);
    if (type == mbftTIFF || type == mbftJPEG) {
        TzrFileStream stream(fileName, TzrFileStream::Mode::fmOpenReadShareDenyWrite);
        LoadFromStream(stream, type, page);
        return;
    }
    // Any other format: the toolkit's image reader decodes it; it reports no steps of its
    // own, so the load is reported as a start and an end.
    QImage image;
    {
        PicOnProgress(psStarting, 0, false, TRect(), "Loading...");
        struct EndReport {
            TzrMemBitmap* self;
            bool sent = false;
            ~EndReport() {
                if (sent) return;
                try {
                    self->PicOnProgress(psEnding, 100, false, TRect(), "Loading...");
                } catch (...) {
                }
            }
        } endReport{this};
        QImageReader reader(QString::fromStdString(fileName));
        if (!reader.read(&image)) throw Exception(reader.errorString().toStdString());
        endReport.sent = true;
        PicOnProgress(psEnding, 100, false, TRect(), "Loading...");
    }
    Assign(&image);
}

void TzrMemBitmap::SaveToFile(const std::string& fileName) {
    TzrFileStream stream(fileName, TzrFileStream::Mode::fmCreate);
    SaveToStream(stream, GetFileType(fileName));
}

void TzrMemBitmap::LoadFromStream(TzrStream& stream, TzrMemBitmapFileType fileType, int page) {
    switch (fileType) {
    case mbftTIFF: LoadFromTIFFStream(stream, page); break;
    case mbftJPEG: LoadFromJPEGStream(stream); break;
    default: throw Exception("Unsupported file type");
    }
}

void TzrMemBitmap::SaveToStream(TzrStream& stream, TzrMemBitmapFileType fileType) {
    switch (fileType) {
    case mbftTIFF: SaveToTIFFStream(stream); break;
    case mbftJPEG: SaveToJPEGStream(stream); break;
    default: throw Exception("Unsupported file type");
    }
}

void TzrMemBitmap::GetSizeFromFile(const std::string& fileName, int* width, int* height) {
    const TzrMemBitmapFileType type = GetFileType(fileName);
    if (type == mbftTIFF || type == mbftJPEG) {
        int w = 0;
        int h = 0;
        TzrFileStream stream(fileName, TzrFileStream::Mode::fmOpenReadShareDenyWrite);
        if (type == mbftTIFF) GetTIFFSize(stream, &w, &h);
        else GetJPEGSize(stream, &w, &h);
        if (width != nullptr) *width = w;
        if (height != nullptr) *height = h;
        return;
    }
    TzrMemBitmap bitmap;
    bitmap.LoadFromFile(fileName, 0);
    if (width != nullptr) *width = bitmap.GetWidth();
    if (height != nullptr) *height = bitmap.GetHeight();
}

void TzrMemBitmap::Cancel() { CancelRequested = true; }

void TzrMemBitmap::PicOnProgress(TProgressStage stage, std::uint8_t percentDone, bool redrawNow,
                                 const TRect& rect, const std::string& msg) {
    if (OnProgress) OnProgress(this, stage, percentDone, redrawNow, rect, msg);
}

void TzrMemBitmap::RGB2BGR(const std::uint8_t* source, std::uint8_t* dest, int pixelCount, int bytesPerPixel) {
    if (bytesPerPixel == 4) {
        for (int i = 0; i < pixelCount; ++i) {
            dest[0] = source[2];
            dest[1] = source[1];
            dest[2] = source[0];
            dest[3] = source[3];
            source += 4;
            dest += 4;
        }
    } else {
        for (int i = 0; i < pixelCount; ++i) {
            dest[0] = source[2];
            dest[1] = source[1];
            dest[2] = source[0];
            source += 3;
            dest += 3;
        }
    }
}

}  // namespace qb
