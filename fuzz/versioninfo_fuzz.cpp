// Feeds arbitrary bytes to the version-resource reader as an executable file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/versioninfo.h"

static std::string FuzzFile() {
    static std::string name;
    if (name.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        name = std::string(tmp && *tmp ? tmp : "/tmp") + "/versioninfo_fuzz_" + std::to_string(getpid()) + ".exe";
    }
    return name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name = FuzzFile();
    if (FILE* f = std::fopen(name.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        const std::string version = qb::platform::GetProductVersion(name);
        if (version.size() > (64u << 20)) std::abort();
        std::remove(name.c_str());
    }
    return 0;
}
