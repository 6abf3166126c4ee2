// A scratch file of fixed size that is mapped into memory piece by piece. The memory bitmap
// uses one per on-disk bitmap: it sets the size and the directory, asks for views of single
// storage chunks at any byte offset and gives them back when nobody holds the bitmap.
//
// Here the file is made with mkstemp (prefix "KM") and removed from the directory right
// after it was created, so it disappears with the last open descriptor, even when the
// program dies; the "mapping object" is the reservation of the file's size on disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace qb {

// 0: the name of the file is forgotten when the file is closed; any other value keeps it.
enum TzrMMFMode : int {
    mmfForgetName = 0,
    mmfKeepName = 1,
};

class TzrMMF {
public:
    TzrMMF();
    virtual ~TzrMMF();
    TzrMMF(const TzrMMF&) = delete;
    TzrMMF& operator=(const TzrMMF&) = delete;

    void SetSize(std::uint64_t value);
    void SetFilename(const std::string& value);
    void SetTempdir(const std::string& value);
    void SetMode(TzrMMFMode value);

    std::uint64_t GetSize() const { return Size; }
    const std::string& GetFilename() const { return Filename; }
    const std::string& GetTempdir() const { return Tempdir; }
    TzrMMFMode GetMode() const { return Mode; }
    const std::string& GetActualFileName() const { return ActualFileName; }
    std::uint32_t GetGranularity() const { return Granularity; }

    // Fails while a file is open.
    void MustBeInactive(const std::string& operation) const;

    // Address of the byte at `offset`, readable and writable, valid until Unmap.
    void* Map(std::uint64_t offset, std::uint32_t size);
    void Unmap(void* address);
    void UnmapAll();  // every open view, in ascending order of address

    void MapFile();
    void UnmapFile();
    void CreateFile();
    void FreeFile();

    // State, for the bitmap and for tests.
    bool IsFileOpen() const { return FileHandle >= 0; }
    bool IsFileMapped() const { return MappingHandle; }
    std::size_t ViewCount() const { return ViewMap.size(); }

    [[noreturn]] static void RaiseError(const std::string& operation, const std::string& message,
                                        bool internal);
    // Raises the system error of errno for `operation`, naming the failed system call.
    [[noreturn]] static void RaiseWin32Error(const std::string& operation, const std::string& systemCall);

private:
    struct TView {
        void* Base;
        std::size_t Length;
    };
    std::map<void*, TView> ViewMap;  // address handed out -> view that contains it
    int FileHandle = -1;
    bool MappingHandle = false;
    std::uint32_t Granularity = 0;
    std::uint64_t Size = 0;
    std::string Filename;
    std::string Tempdir;
    TzrMMFMode Mode = mmfForgetName;
    std::string ActualFileName;
    bool UnlinkOnClose = false;  // a named file is removed when it is closed
};

}  // namespace qb
