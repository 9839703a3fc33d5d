#include "outside/error/error.h"

#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace zelko::shared::error {

namespace {
constexpr std::array<std::pair<ErrorCategory, const char*>, 6> kNames{{
    {ErrorCategory::EC_NoError, "EC_NoError"},
    {ErrorCategory::EC_Unknown, "EC_Unknown"},
    {ErrorCategory::EC_StdException, "EC_StdException"},
    {ErrorCategory::EC_System, "EC_System"},
    {ErrorCategory::EC_Network, "EC_Network"},
    {ErrorCategory::EC_Component, "EC_Component"},
}};

void AppendJsonString(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}
}  // namespace

Error::Error(ErrorCategory category, int64_t code, std::string message, std::string type, std::string origin)
    : category_(category),
      code_(code),
      message_(std::move(message)),
      type_(std::move(type)),
      origin_(std::move(origin)) {}

const char* Error::CategoryName(ErrorCategory category) {
    for (const auto& [value, name] : kNames) {
        if (value == category) return name;
    }
    return "EC_Unknown";
}

bool Error::FromString(const std::string& text, ErrorCategory& category) {
    for (const auto& [value, name] : kNames) {
        if (text == name) {
            category = value;
            return true;
        }
    }
    return false;
}

size_t Error::ToString(const Error& error, char* buffer) {
    // A JSON object: the text of an IoT error travels inside a collector's publish failure, where the
    // data-limit test parses it again to read the code.
    std::string text = "{\"category\":";
    AppendJsonString(text, CategoryName(error.category_));
    text += ",\"code\":" + std::to_string(error.code_) + ",\"type\":";
    AppendJsonString(text, error.type_);
    text += ",\"what\":";
    AppendJsonString(text, error.message_);
    text += ",\"origin\":";
    AppendJsonString(text, error.origin_);
    text += '}';
    if (buffer != nullptr) std::memcpy(buffer, text.data(), text.size());
    return text.size();
}

}  // namespace zelko::shared::error
