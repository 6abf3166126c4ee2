// The message in which a program hands its command line to the queue window that is already
// running: the payload's length in decimal digits, a NUL byte, and the payload, which is
// every argument followed by a NUL byte.
#pragma once

#include <string>
#include <vector>

namespace qb::app {

std::string EncodeCommandLine(const std::vector<std::string>& arguments);

enum class TTakeResult { trIncomplete, trComplete, trInvalid };

// Takes one message from the start of the bytes received so far: trComplete with its
// arguments (the message is removed from `buffer`), trIncomplete while bytes are missing,
// trInvalid for bytes that are no such message (a length that is not digits, or too large).
TTakeResult TakeCommandLine(std::string& buffer, std::vector<std::string>& arguments);

// The longest payload taken (far more than any command line).
inline constexpr size_t MaxCommandLineBytes = size_t{1} << 24;

}  // namespace qb::app
