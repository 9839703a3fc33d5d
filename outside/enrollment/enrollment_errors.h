#pragma once

// The result codes of the device enrollment library. The agent's retry decisions recognise them by
// their type text and code, so every error of this library's own is made here; refusals of the
// discovery and enrollment services travel as HTTP status errors (outside/http/http_errors.h).

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "outside/error/error.h"

namespace zelko::shared::enrollment {

inline constexpr std::string_view kEnrollmentErrorCodesType =
    "enum zelko::shared::enrollment::EnrollmentErrorCodes";

// The numbers of the certificate and status codes are fixed: the agent decides by them.
enum class EnrollmentErrorCodes : int32_t {
    InvalidSettings = 1,
    InvalidArgument = 2,
    InvalidResponse = 3,
    // The store refused the certificate; on the device this happens while a Windows update is pending.
    CertificateSaveFailed = 6,
    CertificateMissing = 7,
    CertificateExpired = 8,
    CertificateEmpty = 13,
    CertificateStoreUnreadable = 27,
    CertificateUnreadable = 28,
    // The enrollment is not known (yet) to the status service.
    EnrollmentNotFound = 31,
};

inline error::Error MakeError(EnrollmentErrorCodes code, std::string message, std::string origin = {}) {
    return error::Error(error::ErrorCategory::EC_Component, static_cast<int32_t>(code), std::move(message),
                        std::string(kEnrollmentErrorCodesType), std::move(origin));
}

}  // namespace zelko::shared::enrollment
