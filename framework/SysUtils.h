#pragma once
// Small text helpers shared by every layer above the platform.

#include <cstdint>
#include <string>

namespace portvale {

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Parses a 32-bit integer: leading blanks skipped, an optional sign, hexadecimal after
// a "$", "x", "X", "0x" or "0X" prefix, decimal otherwise; nothing may follow the
// digits. Hexadecimal takes any 32-bit pattern ("$FFFFFFFF" is -1); decimal must fit.
bool TryStrToInt(const std::string& text, std::int32_t& value);
std::int32_t StrToIntDef(const std::string& text, std::int32_t fallback);
std::string IntToStr(std::int64_t value);

// ASCII case-insensitive comparison, as the framework's text comparisons.
int CompareText(const std::string& a, const std::string& b);
bool SameText(const std::string& a, const std::string& b);
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);
// Without leading and trailing blanks (spaces and tabs).
std::string Trim(const std::string& text);

}  // namespace portvale
