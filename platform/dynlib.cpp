#include "platform/dynlib.h"

#include <dlfcn.h>

namespace qb::platform {

namespace {
thread_local std::string lastError;

void TakeError() {
    const char* e = dlerror();
    lastError = e ? e : "";
}
}  // namespace

TLibHandle LoadLibrary(const std::string& name) {
    dlerror();
    void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) TakeError();
    return h;
}

void* GetProcAddress(TLibHandle lib, const std::string& entryPoint) {
    if (!lib) {
        lastError = "no library";
        return nullptr;
    }
    dlerror();
    void* p = dlsym(lib, entryPoint.c_str());
    if (!p) TakeError();
    return p;
}

bool FreeLibrary(TLibHandle lib) {
    if (!lib) return false;
    if (dlclose(lib) != 0) {
        TakeError();
        return false;
    }
    return true;
}

std::string LibraryError() { return lastError; }

}  // namespace qb::platform
