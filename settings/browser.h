// Opens an address (the manual) in the desktop's browser through xdg-open. False when that
// cannot be done: xdg-open is missing or reports a failure (no browser, no desktop).
#pragma once

#include <string>

namespace qb::settings {

bool OpenInBrowser(const std::string& url);

}  // namespace qb::settings
