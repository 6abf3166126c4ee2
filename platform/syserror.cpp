#include "platform/syserror.h"

#include <cerrno>
#include <cstring>

#include "core/exceptions.h"

namespace qb::platform {

std::string SysErrorMessage(int error) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    const char* text = strerror_r(error, buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

int GetLastError() { return errno; }

void RaiseLastOSError() { throw qb::Exception(SysErrorMessage(errno)); }

}  // namespace qb::platform
