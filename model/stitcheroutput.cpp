#include "model/stitcheroutput.h"

#include <cstdio>

namespace qb {

bool IsMultiFileFormat(int32_t format) { return format == 9 || format == 10; }

std::string StitcherExtension(int32_t format) {
    switch (format) {
        case 7:
            return ".jpg";
        case 8:
        case 9:
        case 10:
            return ".tif";
        case 11:
            return ".png";
        default:
            return std::string();
    }
}

std::string StitcherResultFile(const std::string& base, int32_t format, int n) {
    const std::string ext = StitcherExtension(format);
    if (ext.empty()) return std::string();
    if (!IsMultiFileFormat(format)) return base + ext;
    char number[16];
    std::snprintf(number, sizeof number, "%04d", n);
    return base + number + ext;
}

}  // namespace qb
