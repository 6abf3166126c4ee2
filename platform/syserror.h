// The system's texts for error numbers.
#pragma once

#include <string>

namespace qb::platform {

// The system's message for an error number (strerror).
std::string SysErrorMessage(int error);
// The calling thread's last error number (errno).
int GetLastError();
// Raises qb::Exception with the system's message for the last error.
[[noreturn]] void RaiseLastOSError();

}  // namespace qb::platform
