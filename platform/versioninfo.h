// The product version text of an executable's version resource (a PE file's VS_VERSIONINFO).
#pragma once

#include <string>

namespace qb::platform {

// The "ProductVersion" string of the first translation; when that is empty or missing,
// the fixed product version as "%d.%d.%d.%d"; the empty text for a file without a version
// resource (any file that is not a PE file, a missing file included).
std::string GetProductVersion(const std::string& fileName);

}  // namespace qb::platform
