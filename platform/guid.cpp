#include "platform/guid.h"

#include <cstdio>

namespace zelko::platform {

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadHex(std::string_view text, size_t pos, size_t digits, uint64_t& out) {
    out = 0;
    for (size_t i = 0; i < digits; ++i) {
        int v = HexValue(text[pos + i]);
        if (v < 0) return false;
        out = (out << 4) | static_cast<uint64_t>(v);
    }
    return true;
}
}  // namespace

std::optional<Guid> ParseGuid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        return std::nullopt;
    }
    Guid guid;
    uint64_t v = 0;
    if (!ReadHex(text, 0, 8, v)) return std::nullopt;
    guid.Data1 = static_cast<uint32_t>(v);
    if (!ReadHex(text, 9, 4, v)) return std::nullopt;
    guid.Data2 = static_cast<uint16_t>(v);
    if (!ReadHex(text, 14, 4, v)) return std::nullopt;
    guid.Data3 = static_cast<uint16_t>(v);
    const size_t byte_pos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, byte_pos[i], 2, v)) return std::nullopt;
        guid.Data4[i] = static_cast<uint8_t>(v);
    }
    return guid;
}

std::string GuidToString(const Guid& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buffer;
}

}  // namespace zelko::platform
