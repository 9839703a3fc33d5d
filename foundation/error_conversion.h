#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>

#include "outside/error/error.h"

namespace zelko::plenar::agent::error {

using shared::error::Error;

// Any caught exception as an Error with the given origin: standard exceptions are category 2
// code 1; a thrown int, unsigned long, std::string or const char* is category 5; anything else
// (and a null pointer) is category 1 "Unknown exception type.". Never throws.
Error ErrorFromException(std::exception_ptr exception, const char* origin) noexcept;

// Category 2, code 1, message "message: '<what>' system code : '<category>:<value>'".
Error ErrorFromSystemError(const std::system_error& e, const char* origin);
// Category 2, code 1, message what().
Error ErrorFromStdException(const std::exception& e, const char* origin);
// Category 5, the code, type name "int".
Error ErrorFromCode(int32_t code, const std::string& message, const char* origin);

// The error's text for log lines.
std::string ErrorToString(const Error& error);

}  // namespace zelko::plenar::agent::error
