#include "app/instancemessage.h"

namespace qb::app {

std::string EncodeCommandLine(const std::vector<std::string>& arguments) {
    std::string payload;
    for (const std::string& a : arguments) {
        payload += a;
        payload += '\0';
    }
    return std::to_string(payload.size()) + '\0' + payload;
}

TTakeResult TakeCommandLine(std::string& buffer, std::vector<std::string>& arguments) {
    const size_t nul = buffer.find('\0');
    if (nul == std::string::npos) return buffer.size() > 9 ? TTakeResult::trInvalid : TTakeResult::trIncomplete;
    if (nul == 0 || nul > 9) return TTakeResult::trInvalid;
    size_t length = 0;
    for (size_t i = 0; i < nul; ++i) {
        const char c = buffer[i];
        if (c < '0' || c > '9') return TTakeResult::trInvalid;
        length = length * 10 + static_cast<size_t>(c - '0');
    }
    if (length > MaxCommandLineBytes) return TTakeResult::trInvalid;
    if (buffer.size() - nul - 1 < length) return TTakeResult::trIncomplete;
    // Arguments end in NUL; bytes after the last NUL of the payload end an argument too.
    arguments.clear();
    size_t start = nul + 1;
    const size_t end = nul + 1 + length;
    for (size_t i = start; i < end; ++i) {
        if (buffer[i] != '\0') continue;
        arguments.push_back(buffer.substr(start, i - start));
        start = i + 1;
    }
    if (start < end) arguments.push_back(buffer.substr(start, end - start));
    buffer.erase(0, end);
    return TTakeResult::trComplete;
}

}  // namespace qb::app
