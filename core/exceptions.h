// The failure classes shared by every module. A failure is raised as an exception that
// carries the message the user sees; top-level handlers show it in an error box.
#pragma once

#include <stdexcept>
#include <string>

namespace qb {

// A failure with the text shown to the user.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    const std::string message() const { return what(); }
};

// The silent abort: unwinds an operation that the user cancelled. Top-level handlers
// swallow it without showing anything.
class EAbort : public Exception {
public:
    EAbort() : Exception(std::string()) {}
};

// Memory (or address space) could not be obtained.
class EOutOfMemory : public Exception {
public:
    explicit EOutOfMemory(const std::string& message = "Out of memory") : Exception(message) {}
};

// A text that should hold a number does not.
class EConvertError : public Exception {
public:
    explicit EConvertError(const std::string& message) : Exception(message) {}
};

// Raises the silent abort.
[[noreturn]] void Abort();

// Formats a message in the printf style of the system's message texts ("%s", "%d").
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A value as a message quotes it: at most `maxChars` characters (a cut one ends in "...",
// never inside a UTF-8 sequence), so that a huge bad value gives a readable message.
std::string QuoteValue(const std::string& text, size_t maxChars = 100);

}  // namespace qb
