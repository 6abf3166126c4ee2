#include "components/MemBitmapIO/tzrmmf.h"

#include <cerrno>
#include <climits>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/exceptions.h"
#include "platform/files.h"
#include "platform/syserror.h"

namespace qb {

TzrMMF::TzrMMF() {
    const long page = sysconf(_SC_PAGESIZE);
    Granularity = page > 0 ? static_cast<std::uint32_t>(page) : 4096u;
}

TzrMMF::~TzrMMF() {
    // A destructor must not raise: whatever cannot be released cleanly is given back as
    // far as possible. A mapping left behind by a failed Map (no view) is closed as well.
    try {
        UnmapAll();
    } catch (...) {
        for (auto& entry : ViewMap) munmap(entry.second.Base, entry.second.Length);
        ViewMap.clear();
    }
    MappingHandle = false;
    try {
        FreeFile();
    } catch (...) {
    }
}

void TzrMMF::RaiseError(const std::string& operation, const std::string& message, bool internal) {
    std::string text = internal ? "Internal error.\nzrMMF::" : "zrMMF::";
    text += operation + ": " + message;
    throw Exception(text);
}

void TzrMMF::RaiseWin32Error(const std::string& operation, const std::string& systemCall) {
    const int error = errno;
    RaiseError(operation, systemCall + ": " + platform::SysErrorMessage(error), false);
}

void TzrMMF::MustBeInactive(const std::string& operation) const {
    if (FileHandle >= 0) RaiseError(operation, "file is open", true);
}

void TzrMMF::SetSize(std::uint64_t value) {
    MustBeInactive("SetSize");
    Size = value;
}

void TzrMMF::SetFilename(const std::string& value) {
    MustBeInactive("SetFilename");
    Filename = value;
}

void TzrMMF::SetTempdir(const std::string& value) {
    MustBeInactive("SetTempdir");
    Tempdir = value;
}

void TzrMMF::SetMode(TzrMMFMode value) {
    MustBeInactive("SetMode");
    Mode = value;
}

void* TzrMMF::Map(std::uint64_t offset, std::uint32_t size) {
    if (size > Size || offset > Size - size) RaiseError("Map", "past end of file", true);
    MapFile();
    const std::uint32_t delta = static_cast<std::uint32_t>(offset) & (Granularity - 1);
    if (static_cast<std::uint64_t>(size) + delta > UINT32_MAX)
        RaiseError("Map", "Size+granularity wraps around", false);
    const std::size_t length = static_cast<std::size_t>(size) + delta;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, FileHandle,
                      static_cast<off_t>(offset - delta));
    if (base == MAP_FAILED) RaiseWin32Error("Map", "MapViewOfFile");
    void* address = static_cast<std::uint8_t*>(base) + delta;
    ViewMap.emplace(address, TView{base, length});
    return address;
}

void TzrMMF::Unmap(void* address) {
    auto it = ViewMap.find(address);
    if (it == ViewMap.end()) RaiseError("Unmap", "not mapped", true);
    if (munmap(it->second.Base, it->second.Length) != 0) RaiseWin32Error("Unmap", "UnmapViewOfFile");
    ViewMap.erase(it);
    if (ViewMap.empty()) UnmapFile();
}

void TzrMMF::UnmapAll() {
    while (!ViewMap.empty()) Unmap(ViewMap.begin()->first);
}

void TzrMMF::MapFile() {
    if (MappingHandle) return;
    CreateFile();
    // The file takes its full size now, with its blocks reserved on disk: a disk that
    // cannot hold it fails here with the system's message instead of faulting later when
    // a page of a view is written.
    const off_t length = static_cast<off_t>(Size);
    if (Size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        errno = EFBIG;
        RaiseWin32Error("MapFile", "CreateFileMapping");
    }
    if (length > 0) {
        int rc;
        do {
            rc = fallocate(FileHandle, 0, 0, length);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            if (errno != EOPNOTSUPP && errno != ENOSYS) RaiseWin32Error("MapFile", "CreateFileMapping");
            // A file system without reservation: the size alone (sparse file).
            if (ftruncate(FileHandle, length) != 0) RaiseWin32Error("MapFile", "CreateFileMapping");
        }
    }
    MappingHandle = true;
}

void TzrMMF::UnmapFile() {
    if (!MappingHandle) return;
    if (!ViewMap.empty()) RaiseError("UnmapFile", "file is still mapped", true);
    MappingHandle = false;
}

void TzrMMF::CreateFile() {
    if (FileHandle >= 0) return;
    std::string name;
    int fd = -1;
    bool unlinkOnClose = false;
    if (Filename.empty()) {
        const std::string dir = Tempdir.empty() ? platform::GetTempDirectory() : Tempdir;
        if (dir.empty()) {
            errno = ENOENT;
            RaiseWin32Error("CreateFile", "GetTempPath");
        }
        std::string pattern = platform::IncludeTrailingPathDelimiter(dir) + "KMXXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        fd = mkostemp(buffer.data(), O_CLOEXEC);
        if (fd < 0) RaiseWin32Error("CreateFile", "GetTempFileName");
        name = buffer.data();
        // The name goes at once: the open descriptor keeps the file, and nothing is left
        // behind when the program ends, however it ends. Where the name cannot be removed
        // now it is removed at close.
        if (unlink(name.c_str()) != 0) unlinkOnClose = true;
    } else {
        name = Filename;
        fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) RaiseWin32Error("CreateFile", "CreateFile");
        unlinkOnClose = true;
    }
    ActualFileName = name;
    FileHandle = fd;
    UnlinkOnClose = unlinkOnClose;
}

void TzrMMF::FreeFile() {
    if (MappingHandle) RaiseError("FreeFile", "file is still mapped", true);
    if (FileHandle < 0) return;
    const int fd = FileHandle;
    FileHandle = -1;
    if (UnlinkOnClose && !ActualFileName.empty()) unlink(ActualFileName.c_str());
    UnlinkOnClose = false;
    if (Mode == mmfForgetName) ActualFileName.clear();
    if (close(fd) != 0 && errno != EINTR) RaiseWin32Error("FreeFile", "CloseHandle");
}

}  // namespace qb
