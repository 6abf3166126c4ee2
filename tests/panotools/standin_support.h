// The Panorama Tools library a test runs against: PANO12_LIBRARY pointed at a stand-in
// library or at the bridge, and the stand-ins' record of what they were handed.
#pragma once

#include <cstdlib>
#include <string>

#include "panotools/panocorrect.h"
#include "panotools/testlibs/standin.h"
#include "platform/dynlib.h"

namespace qb::test {

// Points PANO12_LIBRARY at a file for the life of the object.
class LibraryFile {
public:
    explicit LibraryFile(const std::string& path) {
        const char* old = std::getenv(Pano12LibraryVariable);
        hadOld = old != nullptr;
        if (old) oldValue = old;
        setenv(Pano12LibraryVariable, path.c_str(), 1);
    }
    ~LibraryFile() {
        if (hadOld) setenv(Pano12LibraryVariable, oldValue.c_str(), 1);
        else unsetenv(Pano12LibraryVariable);
    }

private:
    bool hadOld = false;
    std::string oldValue;
};

inline std::string StandIn(const std::string& variant) {
    return std::string(QB_STANDIN_DIR) + "/libstandin_" + variant + ".so";
}

// The log of a loaded stand-in (the library stays loaded while the object lives).
class StandInLog {
public:
    explicit StandInLog(const std::string& variant) : lib(platform::LoadLibrary(StandIn(variant))) {
        if (!lib) return;
        log = reinterpret_cast<TStandinLogProc>(platform::GetProcAddress(lib, "standin_Log"));
        reset = reinterpret_cast<TStandinResetProc>(platform::GetProcAddress(lib, "standin_Reset"));
        if (reset) reset();
    }
    ~StandInLog() {
        if (lib) platform::FreeLibrary(lib);
    }
    const standin::TStandinLog& operator*() const { return *log(); }
    const standin::TStandinLog* operator->() const { return log(); }
    bool ok() const { return lib && log && reset; }

private:
    void* lib;
    TStandinLogProc log = nullptr;
    TStandinResetProc reset = nullptr;
};

}  // namespace qb::test
