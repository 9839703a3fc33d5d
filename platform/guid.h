#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelko::platform {

// The system's 16-byte GUID, laid out as the system lays it out.
struct Guid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// Reads "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces, hex digits in any case.
std::optional<Guid> ParseGuid(std::string_view text);

// Registry form: braces around upper-case hex groups of 8, 4, 4, 4 and 12 digits.
std::string GuidToString(const Guid& guid);

}  // namespace zelko::platform
