// Writes `count` integer values named <prefix>0, <prefix>1, ... into the key given, one
// open-write-close at a time, as the programs of the suite do; exit code 0 when all went in.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: registry_writer <key> <prefix> <count>\n");
        return 2;
    }
    const int count = std::atoi(argv[3]);
    try {
        for (int i = 0; i < count; ++i) {
            qb::platform::TRegistry reg;
            if (!reg.OpenKey(argv[1], true)) return 3;
            reg.WriteInteger(argv[2] + std::to_string(i), i);
            reg.CloseKey();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
