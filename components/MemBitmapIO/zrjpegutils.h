// The JPEG codec (libjpeg, interface 62) over our streams: a decompressor and a compressor
// whose source and destination are a TzrStream, and whose error manager turns every fatal
// codec error and the first codec warning into an exception that carries the codec's own
// formatted message.
//
// The codec is C code: nothing may unwind through its frames. Every call into it therefore
// runs inside a guard that sets a jump point; the error manager (and our stream procedures,
// when the stream raises) jump back to it, and the guard raises the exception from there,
// outside the codec. The codec's objects stay consistent for jpeg_destroy after such a jump.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t
#include <exception>
#include <vector>

#include <jpeglib.h>

#include "components/MemBitmapIO/zrstream.h"

namespace qb::jpeg {

// The error manager: the codec's standard one with the exit and message output routines
// replaced by a jump back to the active guard.
struct TzrJpegErrorMgr {
    jpeg_error_mgr pub;  // first member: the codec sees a jpeg_error_mgr*
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
    // An exception raised by our stream inside a codec call, raised again by the guard.
    std::exception_ptr pending;

    TzrJpegErrorMgr();
    // Raises what the codec reported: the stream's own exception, else qb::Exception with
    // the codec's message.
    [[noreturn]] void Raise();
};

// Calls fn (which calls the codec and holds no objects with destructors) behind a jump
// point; a codec error or warning raises the matching exception here.
template <class Fn>
void Guarded(TzrJpegErrorMgr& err, Fn&& fn) {
    if (setjmp(err.jump) == 0) {
        fn();
        return;
    }
    err.Raise();
}

// A decompressor reading from a stream.
class TzrJpegReader {
public:
    explicit TzrJpegReader(TzrStream& stream);
    ~TzrJpegReader();
    TzrJpegReader(const TzrJpegReader&) = delete;
    TzrJpegReader& operator=(const TzrJpegReader&) = delete;

    // jpeg_read_header with an image required.
    void ReadHeader();
    // Output in blue, green, red memory order (greyscale is expanded to three equal
    // components), then jpeg_start_decompress.
    void StartDecompress();
    // Reads up to count rows into rows[0..count); returns the number read (at least 1 as
    // long as rows remain).
    int ReadScanlines(uint8_t** rows, int count);
    void FinishDecompress();

    jpeg_decompress_struct& Info() { return cinfo_; }

private:
    struct Source {
        jpeg_source_mgr pub;  // first member
        TzrStream* stream = nullptr;
        TzrJpegErrorMgr* err = nullptr;
        std::vector<JOCTET> buffer;
        bool startOfFile = true;
    };
    static void InitSource(j_decompress_ptr cinfo);
    static boolean FillInputBuffer(j_decompress_ptr cinfo);
    static void SkipInputData(j_decompress_ptr cinfo, long numBytes);
    static void TermSource(j_decompress_ptr cinfo);

    TzrJpegErrorMgr err_;
    Source source_;
    jpeg_decompress_struct cinfo_{};
    bool created_ = false;
};

// A compressor writing to a stream.
class TzrJpegWriter {
public:
    explicit TzrJpegWriter(TzrStream& stream);
    ~TzrJpegWriter();
    TzrJpegWriter(const TzrJpegWriter&) = delete;
    TzrJpegWriter& operator=(const TzrJpegWriter&) = delete;

    // Image size; three input components in blue, green, red memory order; the codec's
    // defaults; density in dots per inch; quality with baseline-compatible tables;
    // progressive scans when asked; optimised Huffman coding. Then jpeg_start_compress
    // writing all tables.
    void Start(int width, int height, uint16_t xDensity, uint16_t yDensity, int quality, bool progressive);
    // Writes rows[0..count) (the codec may take them in several calls).
    void WriteScanlines(uint8_t** rows, int count);
    void FinishCompress();

    jpeg_compress_struct& Info() { return cinfo_; }

private:
    struct Destination {
        jpeg_destination_mgr pub;  // first member
        TzrStream* stream = nullptr;
        TzrJpegErrorMgr* err = nullptr;
        std::vector<JOCTET> buffer;
    };
    static void InitDestination(j_compress_ptr cinfo);
    static boolean EmptyOutputBuffer(j_compress_ptr cinfo);
    static void TermDestination(j_compress_ptr cinfo);
    static bool Flush(j_compress_ptr cinfo, size_t count);

    TzrJpegErrorMgr err_;
    Destination dest_;
    jpeg_compress_struct cinfo_{};
    bool created_ = false;
};

}  // namespace qb::jpeg
