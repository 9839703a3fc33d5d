#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelko::plenar::agent::Utils {

// The parts between the occurrences of `delimiter`, then the rest after the last one; empty parts
// are kept ("a..b" gives three parts, "" one empty part). Raises std::invalid_argument when the
// delimiter is empty.
std::vector<std::string> Split(const std::string& text, const std::string& delimiter);

// The ninth "."-separated part of a dotted type identifier, or "no_gun" when it has fewer parts.
std::string GetGun(const std::string& text);

// The text without white space and apostrophes at both ends.
std::string Trim(const std::string& text);

// Only the ASCII capital letters change.
std::string ToLower(const std::string& text);

// UTF-8 (up to the first NUL) to UTF-16; an invalid sequence becomes U+FFFD.
std::u16string Utf8ToWideChecked(const std::string& text);

// The text as valid UTF-8: each byte that does not belong to a well-formed sequence becomes the
// four characters "\xNN" (hexadecimal, upper case); valid text comes back unchanged.
std::string EscapeInvalidUtf8(const std::string& text);

// The leading base-10 number of the text (white space skipped, sign allowed, reading stops at the
// first other character). On no number or overflow writes "Invalid argument: " or "Out of range: "
// with the reason to standard output, leaves `out` unchanged and returns false.
bool ToInt(const std::string& text, int32_t& out);

}  // namespace zelko::plenar::agent::Utils
