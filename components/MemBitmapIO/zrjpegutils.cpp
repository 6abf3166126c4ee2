#include "components/MemBitmapIO/zrjpegutils.h"

#include <jerror.h>

#include <cstring>

#include "core/exceptions.h"

namespace qb::jpeg {

namespace {

constexpr size_t kIoBufferSize = 65536;

// Both the codec's fatal exit and its message output (which it calls for the first warning
// of an image) end the codec call: the formatted message is kept and control jumps back
// to the guard. Locals here are plain values only; nothing is skipped that needs cleaning.
[[noreturn]] void JumpBack(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TzrJpegErrorMgr*>(cinfo->err);
    if (!err->pending) (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void ErrorExit(j_common_ptr cinfo) { JumpBack(cinfo); }
void OutputMessage(j_common_ptr cinfo) { JumpBack(cinfo); }

}  // namespace

TzrJpegErrorMgr::TzrJpegErrorMgr() {
    jpeg_std_error(&pub);
    pub.error_exit = ErrorExit;
    pub.output_message = OutputMessage;
}

void TzrJpegErrorMgr::Raise() {
    if (pending) {
        std::exception_ptr e = pending;
        pending = nullptr;
        std::rethrow_exception(e);
    }
    throw Exception(message);
}

// ---- reader ----

TzrJpegReader::TzrJpegReader(TzrStream& stream) {
    source_.stream = &stream;
    source_.err = &err_;
    source_.buffer.resize(kIoBufferSize);
    cinfo_.err = &err_.pub;
    Guarded(err_, [this] { jpeg_create_decompress(&cinfo_); });
    created_ = true;
    source_.pub.init_source = InitSource;
    source_.pub.fill_input_buffer = FillInputBuffer;
    source_.pub.skip_input_data = SkipInputData;
    source_.pub.resync_to_restart = jpeg_resync_to_restart;
    source_.pub.term_source = TermSource;
    source_.pub.bytes_in_buffer = 0;
    source_.pub.next_input_byte = nullptr;
    cinfo_.src = &source_.pub;
}

TzrJpegReader::~TzrJpegReader() {
    if (created_) {
        cinfo_.src = nullptr;  // ours, not the codec's pool
        jpeg_destroy_decompress(&cinfo_);
    }
}

void TzrJpegReader::ReadHeader() {
    Guarded(err_, [this] { jpeg_read_header(&cinfo_, TRUE); });
}

void TzrJpegReader::StartDecompress() {
    cinfo_.out_color_space = JCS_EXT_BGR;
    Guarded(err_, [this] { jpeg_start_decompress(&cinfo_); });
}

int TzrJpegReader::ReadScanlines(uint8_t** rows, int count) {
    JDIMENSION n = 0;
    Guarded(err_, [&] { n = jpeg_read_scanlines(&cinfo_, reinterpret_cast<JSAMPARRAY>(rows), static_cast<JDIMENSION>(count)); });
    return static_cast<int>(n);
}

void TzrJpegReader::FinishDecompress() {
    Guarded(err_, [this] { jpeg_finish_decompress(&cinfo_); });
}

void TzrJpegReader::InitSource(j_decompress_ptr cinfo) {
    reinterpret_cast<Source*>(cinfo->src)->startOfFile = true;
}

// As the codec's standard file source: an empty input is fatal; a premature end is a
// warning ("Premature end of JPEG file") after which a fake end-of-image marker is
// supplied. A stream failure is kept and ends the codec call as a read error.
boolean TzrJpegReader::FillInputBuffer(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<Source*>(cinfo->src);
    int64_t n = 0;
    try {
        n = src->stream->Read(src->buffer.data(), static_cast<int64_t>(src->buffer.size()));
    } catch (...) {
        src->err->pending = std::current_exception();
    }
    if (src->err->pending) ERREXIT(cinfo, JERR_FILE_READ);
    if (n <= 0) {
        if (src->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->pub.next_input_byte = src->buffer.data();
    src->pub.bytes_in_buffer = static_cast<size_t>(n);
    src->startOfFile = false;
    return TRUE;
}

void TzrJpegReader::SkipInputData(j_decompress_ptr cinfo, long numBytes) {
    auto* src = reinterpret_cast<Source*>(cinfo->src);
    if (numBytes <= 0) return;
    while (numBytes > static_cast<long>(src->pub.bytes_in_buffer)) {
        numBytes -= static_cast<long>(src->pub.bytes_in_buffer);
        (*src->pub.fill_input_buffer)(cinfo);
    }
    src->pub.next_input_byte += numBytes;
    src->pub.bytes_in_buffer -= static_cast<size_t>(numBytes);
}

void TzrJpegReader::TermSource(j_decompress_ptr) {}

// ---- writer ----

TzrJpegWriter::TzrJpegWriter(TzrStream& stream) {
    dest_.stream = &stream;
    dest_.err = &err_;
    dest_.buffer.resize(kIoBufferSize);
    cinfo_.err = &err_.pub;
    Guarded(err_, [this] { jpeg_create_compress(&cinfo_); });
    created_ = true;
    dest_.pub.init_destination = InitDestination;
    dest_.pub.empty_output_buffer = EmptyOutputBuffer;
    dest_.pub.term_destination = TermDestination;
    cinfo_.dest = &dest_.pub;
}

TzrJpegWriter::~TzrJpegWriter() {
    if (created_) {
        cinfo_.dest = nullptr;
        jpeg_destroy_compress(&cinfo_);
    }
}

void TzrJpegWriter::Start(int width, int height, uint16_t xDensity, uint16_t yDensity, int quality, bool progressive) {
    Guarded(err_, [&] {
        cinfo_.image_width = static_cast<JDIMENSION>(width);
        cinfo_.image_height = static_cast<JDIMENSION>(height);
        cinfo_.input_components = 3;
        cinfo_.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&cinfo_);
        cinfo_.density_unit = 1;
        cinfo_.X_density = xDensity;
        cinfo_.Y_density = yDensity;
        jpeg_set_quality(&cinfo_, quality, TRUE);
        if (progressive) jpeg_simple_progression(&cinfo_);
        cinfo_.optimize_coding = TRUE;
        jpeg_start_compress(&cinfo_, TRUE);
    });
}

void TzrJpegWriter::WriteScanlines(uint8_t** rows, int count) {
    int done = 0;
    while (done < count) {
        JDIMENSION n = 0;
        Guarded(err_, [&] {
            n = jpeg_write_scanlines(&cinfo_, reinterpret_cast<JSAMPARRAY>(rows + done),
                                     static_cast<JDIMENSION>(count - done));
        });
        if (n == 0) throw Exception("Could not write to JPEG stream");  // a suspending destination only
        done += static_cast<int>(n);
    }
}

void TzrJpegWriter::FinishCompress() {
    Guarded(err_, [this] { jpeg_finish_compress(&cinfo_); });
}

void TzrJpegWriter::InitDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer.data();
    dest->pub.free_in_buffer = dest->buffer.size();
}

// Writes the first count bytes of the buffer; false when the stream failed (its exception
// is kept) or took less.
bool TzrJpegWriter::Flush(j_compress_ptr cinfo, size_t count) {
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    int64_t n = 0;
    try {
        n = dest->stream->Write(dest->buffer.data(), static_cast<int64_t>(count));
    } catch (...) {
        dest->err->pending = std::current_exception();
        return false;
    }
    return n == static_cast<int64_t>(count);
}

boolean TzrJpegWriter::EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    if (!Flush(cinfo, dest->buffer.size())) ERREXIT(cinfo, JERR_FILE_WRITE);
    dest->pub.next_output_byte = dest->buffer.data();
    dest->pub.free_in_buffer = dest->buffer.size();
    return TRUE;
}

void TzrJpegWriter::TermDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    const size_t count = dest->buffer.size() - dest->pub.free_in_buffer;
    if (count > 0 && !Flush(cinfo, count)) ERREXIT(cinfo, JERR_FILE_WRITE);
}

}  // namespace qb::jpeg
