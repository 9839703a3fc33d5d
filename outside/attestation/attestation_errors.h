#pragma once

// The failures of the device attestation library. The agent's retry decisions tell a refusal by the
// attestation service (back off) from a failure on the device (attest again) by the type text and code,
// or, for an HTTP error, by the "type" of the service's JSON answer; so every error of this library is
// made here.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

#include "outside/error/error.h"
#include "outside/http/http_errors.h"

namespace zelko::shared::attestation {

inline constexpr std::string_view kDeviceAttestationErrorCodesType =
    "enum zelko::shared::attestation::DeviceAttestationErrorCodes";

// Codes 10 and 35 are the service's refusals; every other code is a failure on the device.
enum class DeviceAttestationErrorCodes : int32_t {
    InvalidArgument = 1,
    TpmUnavailable = 2,
    KeyCreationFailed = 3,
    SigningFailed = 4,
    CertificateMissing = 5,
    CertificateInvalid = 6,
    InvalidResponse = 7,
    AttestationRejected = 10,
    ProofOfPossessionRejected = 35,
};

// The "type" of a service's JSON answer for a refusal starts with this.
inline constexpr std::string_view kServiceProblemTypePrefix = "ATT0";

inline error::Error MakeError(DeviceAttestationErrorCodes code, std::string message,
                              std::string origin = {}) {
    return error::Error(error::ErrorCategory::EC_Component, static_cast<int32_t>(code), std::move(message),
                        std::string(kDeviceAttestationErrorCodesType), std::move(origin));
}

// The service refused with an HTTP error status; its JSON answer names the problem ("ATT0..." for a
// refusal of the device's evidence). The answer is kept whole as the message.
inline error::Error MakeServiceError(int32_t status, std::string_view problem_type, std::string_view detail,
                                     std::string origin = {}) {
    nlohmann::json body = {{"status", status}, {"type", problem_type}, {"detail", detail}};
    return http::MakeStatusError(status, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                                 std::move(origin));
}

}  // namespace zelko::shared::attestation
