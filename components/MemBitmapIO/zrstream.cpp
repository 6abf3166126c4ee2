#include "components/MemBitmapIO/zrstream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/exceptions.h"

namespace qb {

namespace {

std::string ErrnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

// Largest block handed to one read or write call (the kernel takes at most about 2 GB).
constexpr int64_t kMaxIoBlock = int64_t{1} << 30;

}  // namespace

int64_t TzrStream::GetSize() {
    const int64_t position = Seek(0, TzrSeekOrigin::soCurrent);
    const int64_t size = Seek(0, TzrSeekOrigin::soEnd);
    Seek(position, TzrSeekOrigin::soBeginning);
    return size;
}

void TzrStream::SetPosition(int64_t position) {
    if (Seek(position, TzrSeekOrigin::soBeginning) != position) throw Exception("Stream seek error");
}

void TzrStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw Exception("Stream read error");
}

void TzrStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count) throw Exception("Stream write error");
}

// ---- file stream ----

TzrFileStream::TzrFileStream(const std::string& fileName, Mode mode) : fileName_(fileName) {
    const bool create = mode == Mode::fmCreate;
    fd_ = create ? ::open(fileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)
                 : ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        throw Exception(Format(create ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s",
                               fileName.c_str(), ErrnoText(error).c_str()));
    }
    struct stat st {};
    if (!create && ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw Exception(Format("Cannot open file \"%s\". %s", fileName.c_str(), ErrnoText(EISDIR).c_str()));
    }
    // Writing denied to others: readers hold a shared lock, a writer an exclusive one, so a
    // file being written by one of our processes is not read half-done by another. Only a
    // busy lock is an error; file systems without locks are used without.
    if (::flock(fd_, (create ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        throw Exception(Format(create ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s",
                               fileName.c_str(), ErrnoText(error).c_str()));
    }
    // Truncated only once the lock is held, so that a reader never sees the file emptied.
    if (create && ::ftruncate(fd_, 0) != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        throw Exception(Format("Cannot create file \"%s\". %s", fileName.c_str(), ErrnoText(error).c_str()));
    }
}

TzrFileStream::~TzrFileStream() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

int64_t TzrFileStream::Read(void* buffer, int64_t count) {
    if (count <= 0) return 0;
    char* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, static_cast<size_t>(std::min(count - done, kMaxIoBlock)));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            throw Exception(Format("Cannot read file \"%s\". %s", fileName_.c_str(), ErrnoText(error).c_str()));
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t TzrFileStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const char* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, static_cast<size_t>(std::min(count - done, kMaxIoBlock)));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            throw Exception(Format("Cannot write file \"%s\". %s", fileName_.c_str(), ErrnoText(error).c_str()));
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t TzrFileStream::Seek(int64_t offset, TzrSeekOrigin origin) {
    int whence = SEEK_SET;
    if (origin == TzrSeekOrigin::soCurrent) whence = SEEK_CUR;
    else if (origin == TzrSeekOrigin::soEnd) whence = SEEK_END;
    const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
    return result < 0 ? -1 : static_cast<int64_t>(result);
}

int64_t TzrFileStream::GetSize() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return TzrStream::GetSize();
    return static_cast<int64_t>(st.st_size);
}

// ---- memory stream ----

TzrMemoryStream::TzrMemoryStream(const void* data, size_t size)
    : data_(static_cast<const char*>(data), size) {}

TzrMemoryStream::TzrMemoryStream(std::string bytes) : data_(std::move(bytes)) {}

void TzrMemoryStream::Clear() {
    data_.clear();
    position_ = 0;
}

int64_t TzrMemoryStream::Read(void* buffer, int64_t count) {
    const int64_t size = static_cast<int64_t>(data_.size());
    if (count <= 0 || position_ >= size) return 0;
    const int64_t n = std::min(count, size - position_);
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TzrMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    if (count > std::numeric_limits<int64_t>::max() - position_) throw Exception("Stream write error");
    const int64_t end = position_ + count;
    if (static_cast<uint64_t>(end) > data_.max_size()) throw EOutOfMemory();
    if (end > static_cast<int64_t>(data_.size())) {
        try {
            data_.resize(static_cast<size_t>(end));
        } catch (const std::bad_alloc&) {
            throw EOutOfMemory();
        }
    }
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t TzrMemoryStream::Seek(int64_t offset, TzrSeekOrigin origin) {
    int64_t base = 0;
    if (origin == TzrSeekOrigin::soCurrent) base = position_;
    else if (origin == TzrSeekOrigin::soEnd) base = static_cast<int64_t>(data_.size());
    if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0) return -1;
    position_ = base + offset;
    return position_;
}

}  // namespace qb
