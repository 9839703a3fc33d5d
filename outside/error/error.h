#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelko::shared::error {

enum class ErrorCategory : int32_t {
    EC_NoError = 0,
    EC_Unknown = 1,
    EC_StdException = 2,
    EC_System = 3,
    EC_Network = 4,
    EC_Component = 5,
};

// The error value of the shared error library: empty (category EC_NoError) or one failure.
class Error {
public:
    Error() = default;
    Error(ErrorCategory category, int64_t code, std::string message = {}, std::string type = {},
          std::string origin = {});

    ErrorCategory category() const { return category_; }
    int64_t code() const { return code_; }
    const std::string& what() const { return message_; }
    const std::string& type() const { return type_; }
    const std::string& origin() const { return origin_; }

    explicit operator bool() const { return category_ != ErrorCategory::EC_NoError; }

    // Length of the error's text; also writes the text (no NUL) when buffer is not null.
    static size_t ToString(const Error& error, char* buffer);
    // A category's name ("EC_NoError", ...) to its value; returns false for an unknown name.
    static bool FromString(const std::string& text, ErrorCategory& category);
    static const char* CategoryName(ErrorCategory category);

    bool operator==(const Error&) const = default;

private:
    ErrorCategory category_ = ErrorCategory::EC_NoError;
    int64_t code_ = 0;
    std::string message_;
    std::string type_;
    std::string origin_;
};

}  // namespace zelko::shared::error
