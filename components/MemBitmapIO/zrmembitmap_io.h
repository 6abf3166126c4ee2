// Shared pieces of the bitmap's file input and output: progress reporting with cancel,
// batch sizes and the codecs' pixel conversions.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "components/MemBitmapIO/tzrmembitmapunit.h"

namespace qb::io {

// Progress of one load or save: the start report when made, the throttled running steps
// (with message processing and the cancel check), and the end report, which is sent on
// every way out (a failing end report while unwinding is dropped).
class TzrIoProgress {
public:
    TzrIoProgress(TzrMemBitmap& bitmap, std::string message);
    ~TzrIoProgress();
    TzrIoProgress(const TzrIoProgress&) = delete;
    TzrIoProgress& operator=(const TzrIoProgress&) = delete;

    // After rowsDone rows: when more than 20 ms have passed since the last step, processes
    // pending interface events if asked, stops with the silent abort when a cancel was
    // requested, and reports the rows done since the last report.
    void Step(int rowsDone);
    // The end report (once).
    void End();

private:
    void Send(TProgressStage stage, std::uint8_t percent, bool redraw, const TRect& rect);

    TzrMemBitmap& Bitmap;
    std::string Message;
    std::chrono::steady_clock::time_point LastTick;
    int LastRow = 0;
    bool Ended = false;
};

// Rows per codec batch: budget / (3 × width), rounded down to a multiple of 8 rows; the
// budget is 500,000 bytes for an on-disk bitmap and 60,000 otherwise; at least 1 and at
// most the height.
int JPEGRowsPerBatch(int width, int height, bool onDisk);

// 32-bit RGBA values of the TIFF codec (red in the lowest byte) into bitmap pixels (blue,
// green, red, and alpha for 4-byte pixels).
void RGBAToPixels(const std::uint32_t* source, std::uint8_t* dest, int count, int bytesPerPixel);

// Processes the interface's pending events when called on the interface thread.
void ProcessPendingMessages();

}  // namespace qb::io
