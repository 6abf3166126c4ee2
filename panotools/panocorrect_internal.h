// Helpers shared by the files of TPanoCorrect: text fields of the library's records and
// blocks of the library's own memory.
#pragma once

#include <cstring>
#include <string>

#include "panotools/ptrecords.h"

namespace qb::panocorrect {

// Copies text into a fixed character field: at most size - 1 characters and a zero.
inline void CopyText(char* field, size_t size, const std::string& text) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// A handle of the library's memory, returned to the library's myfree.
class TLibraryBlock {
public:
    TLibraryBlock(TptMyMallocProc alloc, TptMyFreeProc release, size_t size)
        : handle(alloc(size)), release(release) {}
    ~TLibraryBlock() {
        if (handle) release(handle);
    }
    TLibraryBlock(const TLibraryBlock&) = delete;
    TLibraryBlock& operator=(const TLibraryBlock&) = delete;
    explicit operator bool() const { return handle && handle->address; }
    template <class T>
    T* As() const { return static_cast<T*>(handle->address); }

private:
    TptHandle handle;
    TptMyFreeProc release;
};

}  // namespace qb::panocorrect
