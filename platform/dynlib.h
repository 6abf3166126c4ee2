// Run-time libraries: load by name or path, look up entry points, free.
#pragma once

#include <string>

namespace qb::platform {

using TLibHandle = void*;

// Loads a shared library (a name without '/' is searched on the library path). Null on
// failure; LibraryError() then tells why.
TLibHandle LoadLibrary(const std::string& name);
void* GetProcAddress(TLibHandle lib, const std::string& entryPoint);
bool FreeLibrary(TLibHandle lib);
// The loader's text for the last failure of LoadLibrary or GetProcAddress on this thread.
std::string LibraryError();

}  // namespace qb::platform
