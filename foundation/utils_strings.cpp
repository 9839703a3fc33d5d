#include "foundation/utils_strings.h"

#include <iostream>
#include <stdexcept>

namespace zelko::plenar::agent::Utils {

std::vector<std::string> Split(const std::string& text, const std::string& delimiter) {
    // An empty delimiter would be found at the same place forever.
    if (delimiter.empty()) throw std::invalid_argument("Split: empty delimiter");
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t found = text.find(delimiter); found != std::string::npos;
         found = text.find(delimiter, start)) {
        parts.push_back(text.substr(start, found - start));
        start = found + delimiter.size();
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string GetGun(const std::string& text) {
    auto parts = Split(text, ".");
    return parts.size() < 9 ? "no_gun" : parts[8];
}

std::string Trim(const std::string& text) {
    static constexpr char kTrimmed[] = " \t\n\v\f\r'";
    const size_t first = text.find_first_not_of(kTrimmed);
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(kTrimmed);
    return text.substr(first, last - first + 1);
}

std::string ToLower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

std::string EscapeInvalidUtf8(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        size_t need = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        bool valid = need > 0;
        for (size_t k = 1; valid && k <= need; ++k) {
            if (i + k >= size || bytes[i + k] < low || bytes[i + k] > high) valid = false;
            low = 0x80, high = 0xBF;
        }
        if (valid) {
            out.append(text, i, need + 1);
            i += need + 1;
        } else {
            out += "\\x";
            out.push_back(kDigits[lead >> 4]);
            out.push_back(kDigits[lead & 0xF]);
            ++i;
        }
    }
    return out;
}

std::u16string Utf8ToWideChecked(const std::string& text) {
    std::u16string wide;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
    size_t i = 0;
    while (bytes[i] != 0) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            wide.push_back(lead);
            ++i;
            continue;
        }
        // Allowed range of the first continuation byte excludes overlong forms, surrogates and
        // code points above U+10FFFF.
        int need = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, code = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, code = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        ++i;
        bool valid = need > 0;
        for (int k = 0; valid && k < need; ++k) {
            const unsigned char next = bytes[i];
            if (next < low || next > high) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
            low = 0x80, high = 0xBF;
            ++i;
        }
        // An invalid sequence becomes one U+FFFD for its longest valid beginning.
        if (!valid) {
            wide.push_back(u'\uFFFD');
        } else if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(code));
        }
    }
    return wide;
}

bool ToInt(const std::string& text, int32_t& out) {
    try {
        out = std::stoi(text);
        return true;
    } catch (const std::invalid_argument& e) {
        std::cout << "Invalid argument: " << e.what() << std::endl;
    } catch (const std::out_of_range& e) {
        std::cout << "Out of range: " << e.what() << std::endl;
    }
    return false;
}

}  // namespace zelko::plenar::agent::Utils
