#include "core/exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace qb {

void Abort() { throw EAbort(); }

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

std::string QuoteValue(const std::string& text, size_t maxChars) {
    // Characters are counted as UTF-8 sequences: a continuation byte adds to the one before.
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars == maxChars) return text.substr(0, i) + "...";
        ++chars;
    }
    return text;
}

}  // namespace qb
