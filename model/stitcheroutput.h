// The files the stitcher writes for one run. It is told "-o <output name without extension>"
// and takes the format from the script's panorama line; the queue looks for exactly these
// names afterwards, so both sides compute them here.
#pragma once

#include <cstdint>
#include <string>

namespace qb {

// True for the formats written as one numbered file per image (TIFF_m, TIFF_mask).
bool IsMultiFileFormat(int32_t format);

// The extension the stitcher gives a result of the format: ".tif" for the TIFF formats,
// ".jpg" for JPEG, ".png" for PNG; "" for a format it does not write.
std::string StitcherExtension(int32_t format);

// The file the stitcher writes for the output name `base` (without extension): base and
// the extension, or for a multi-file format base, the image number n padded to four digits
// and ".tif". "" for a format the stitcher does not write.
std::string StitcherResultFile(const std::string& base, int32_t format, int n = 0);

}  // namespace qb
