// Locale-independent number text, as written in project files and scripts: '.' is the
// decimal separator whatever the user's locale, and nothing switches a global locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qb {

// Decimal, with a leading '-' when negative.
std::string IntToStr(int64_t value);
// Decimal without sign, for indices written unsigned.
std::string UIntToStr(uint64_t value);

// The general format with at most 15 significant digits: trailing zeros and a trailing
// point dropped; fixed notation when the magnitude rounded to 15 significant digits lies
// in [0.0001, 1E15), otherwise scientific as "1E-5", "2.5E20". Zero (also negative zero)
// is "0". NaN is "NAN", the infinities "INF" and "-INF".
std::string FloatToStr(double value);

// Whole text as a decimal integer (optional sign, surrounding blanks tolerated).
// Raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);
int64_t StrToInt64(std::string_view text);

// Whole text as a real with '.' as decimal separator and an optional exponent
// (surrounding blanks tolerated; no NaN or infinity texts).
// Raises EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);

// The non-raising forms: false when the text does not parse.
bool TryStrToInt(std::string_view text, int32_t& value);
bool TryStrToInt64(std::string_view text, int64_t& value);
bool TryStrToFloat(std::string_view text, double& value);

}  // namespace qb
