#include "foundation/error_conversion.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace zelko::plenar::agent::error {

namespace {

using shared::error::ErrorCategory;

std::string TypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

std::string Origin(const char* origin) { return origin != nullptr ? origin : ""; }

int64_t HashCode(const std::type_info& type) { return static_cast<int64_t>(type.hash_code()); }

}  // namespace

Error ErrorFromSystemError(const std::system_error& e, const char* origin) {
    std::string message = std::string("message: '") + e.what() + "' system code : '" +
                          e.code().category().name() + ":" + std::to_string(e.code().value()) + "'";
    return Error(ErrorCategory::EC_StdException, 1, std::move(message), TypeName(typeid(e)), Origin(origin));
}

Error ErrorFromStdException(const std::exception& e, const char* origin) {
    return Error(ErrorCategory::EC_StdException, 1, e.what(), TypeName(typeid(e)), Origin(origin));
}

Error ErrorFromCode(int32_t code, const std::string& message, const char* origin) {
    return Error(ErrorCategory::EC_Component, code, message, "int", Origin(origin));
}

Error ErrorFromException(std::exception_ptr exception, const char* origin) noexcept {
    try {
        // Rethrowing a null pointer is undefined; there is no exception to tell about.
        if (!exception)
            return Error(ErrorCategory::EC_Unknown, 0, "Unknown exception type.", "Unknown", Origin(origin));
        try {
            std::rethrow_exception(exception);
        } catch (const std::system_error& e) {
            return ErrorFromSystemError(e, origin);
        } catch (const std::exception& e) {
            return ErrorFromStdException(e, origin);
        } catch (int value) {
            return ErrorFromCode(value, "", origin);
        } catch (unsigned long value) {
            return Error(ErrorCategory::EC_Component, static_cast<int64_t>(value), "",
                         TypeName(typeid(unsigned long)), Origin(origin));
        } catch (const std::string& text) {
            return Error(ErrorCategory::EC_Component, HashCode(typeid(std::string)), text,
                         TypeName(typeid(std::string)), Origin(origin));
        } catch (const char* text) {
            return Error(ErrorCategory::EC_Component, HashCode(typeid(const char*)),
                         text != nullptr ? text : "", TypeName(typeid(const char*)), Origin(origin));
        } catch (...) {
            return Error(ErrorCategory::EC_Unknown, 0, "Unknown exception type.", "Unknown", Origin(origin));
        }
    } catch (...) {
        // Only running out of memory while building the texts gets here.
        return Error(ErrorCategory::EC_Unknown, 0);
    }
}

std::string ErrorToString(const Error& error) {
    size_t length = Error::ToString(error, nullptr);
    std::string text(length, '-');
    Error::ToString(error, text.data());
    return text;
}

}  // namespace zelko::plenar::agent::error
