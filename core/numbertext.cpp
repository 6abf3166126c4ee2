#include "core/numbertext.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "core/exceptions.h"

namespace qb {

std::string IntToStr(int64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

std::string UIntToStr(uint64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

std::string FloatToStr(double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return "0";

    // Round to 15 significant digits: d.dddddddddddddde[+-]xx
    char buf[40];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
    const char* p = buf;
    const char* end = res.ptr;
    std::string out;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    std::string digits;
    while (p < end && *p != 'e') {
        if (*p != '.') digits += *p;
        ++p;
    }
    int exponent = 0;
    if (p < end) {
        ++p;  // 'e'
        std::from_chars(*p == '+' ? p + 1 : p, end, exponent);
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    if (exponent >= -4 && exponent < 15) {
        if (exponent >= 0) {
            const size_t intLen = static_cast<size_t>(exponent) + 1;
            if (digits.size() <= intLen) {
                out += digits;
                out.append(intLen - digits.size(), '0');
            } else {
                out.append(digits, 0, intLen);
                out += '.';
                out.append(digits, intLen, std::string::npos);
            }
        } else {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out += digits;
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'E';
        out += IntToStr(exponent);
    }
    return out;
}

namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

template <typename T>
bool ParseInteger(std::string_view text, T& value) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return false;
    }
    if (text.empty()) return false;
    T v{};
    auto res = std::from_chars(text.data(), text.data() + text.size(), v, 10);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return false;
    value = v;
    return true;
}

}  // namespace

bool TryStrToInt(std::string_view text, int32_t& value) { return ParseInteger(text, value); }
bool TryStrToInt64(std::string_view text, int64_t& value) { return ParseInteger(text, value); }

bool TryStrToFloat(std::string_view text, double& value) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // Only a digit or a point may start the number: no NaN, infinity or hexadecimal texts.
    if (text.empty() || !((text.front() >= '0' && text.front() <= '9') || text.front() == '.'))
        return false;
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return false;
    double v = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v,
                               std::chars_format::general);
    if (res.ptr != text.data() + text.size()) return false;
    if (res.ec == std::errc::result_out_of_range) {
        // Too small to represent reads as zero; too large is not a value.
        const auto e = text.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
        const bool smallMantissa = text.find_first_of("123456789") > text.find('.');
        if (!(tiny || (e == std::string_view::npos && smallMantissa))) return false;
        v = 0;
    } else if (res.ec != std::errc()) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

int32_t StrToInt(std::string_view text) {
    int32_t v = 0;
    if (!TryStrToInt(text, v))
        throw EConvertError("'" + QuoteValue(std::string(text)) + "' is not a valid integer value");
    return v;
}

int64_t StrToInt64(std::string_view text) {
    int64_t v = 0;
    if (!TryStrToInt64(text, v))
        throw EConvertError("'" + QuoteValue(std::string(text)) + "' is not a valid integer value");
    return v;
}

double StrToFloat(std::string_view text) {
    double v = 0;
    if (!TryStrToFloat(text, v))
        throw EConvertError("'" + QuoteValue(std::string(text)) + "' is not a valid floating point value");
    return v;
}

}  // namespace qb
