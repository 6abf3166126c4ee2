// The stream that the bitmap codecs read from and write to: a small byte stream with a
// position, implemented over a file and over a block of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qb {

// Origins of Seek; the numbering is that of the codecs' own seek calls (SEEK_SET,
// SEEK_CUR, SEEK_END).
enum class TzrSeekOrigin : int { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TzrStream {
public:
    virtual ~TzrStream() = default;

    // Reads up to count bytes; returns the number read, 0 at the end of the stream.
    // Raises qb::Exception when the underlying file cannot be read.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes count bytes; returns the number written. Raises qb::Exception when the
    // underlying file cannot be written.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // Moves the position; returns the new position, or -1 when it cannot be moved there
    // (a position before the start). A position past the end is allowed; writing there
    // fills the gap with zero bytes.
    virtual int64_t Seek(int64_t offset, TzrSeekOrigin origin) = 0;
    // The size in bytes.
    virtual int64_t GetSize();

    int64_t GetPosition() { return Seek(0, TzrSeekOrigin::soCurrent); }
    void SetPosition(int64_t position);

    // Read and Write of exactly count bytes; anything less fails with "Stream read error"
    // or "Stream write error".
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
};

// A file opened by name.
class TzrFileStream : public TzrStream {
public:
    enum class Mode {
        // Existing file, read only; other writers are kept out while it is open (a shared
        // advisory lock that our own writers respect).
        fmOpenReadShareDenyWrite,
        // Created or truncated, read and write; exclusive advisory lock.
        fmCreate,
    };

    // Fails with "Cannot open file "<name>". <system message>" or
    // "Cannot create file "<name>". <system message>".
    TzrFileStream(const std::string& fileName, Mode mode);
    ~TzrFileStream() override;
    TzrFileStream(const TzrFileStream&) = delete;
    TzrFileStream& operator=(const TzrFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TzrSeekOrigin origin) override;
    int64_t GetSize() override;

    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    int fd_ = -1;
};

// A stream over bytes held in memory; it grows as it is written.
class TzrMemoryStream : public TzrStream {
public:
    TzrMemoryStream() = default;
    TzrMemoryStream(const void* data, size_t size);
    explicit TzrMemoryStream(std::string bytes);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TzrSeekOrigin origin) override;
    int64_t GetSize() override { return static_cast<int64_t>(data_.size()); }

    const std::string& Bytes() const { return data_; }
    void Clear();

private:
    std::string data_;
    int64_t position_ = 0;
};

}  // namespace qb
