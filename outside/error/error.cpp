#include "outside/error/error.h"

#include <array>
#include <cstring>
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
    std::string text = std::string("category: ") + CategoryName(error.category_) +
                       ", code: " + std::to_string(error.code_) + ", type: " + error.type_ +
                       ", message: " + error.message_;
    if (!error.origin_.empty()) text += ", origin: " + error.origin_;
    if (buffer != nullptr) std::memcpy(buffer, text.data(), text.size());
    return text.size();
}

}  // namespace zelko::shared::error
