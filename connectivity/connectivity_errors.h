#pragma once

// The connectivity module's own failures. The state machine's retry decisions recognise them by their
// type text and code, so the module makes them only here. ConnectivityModule exposes the two
// enumerations under its own name (ConnectivityModule::IotDeviceErrors, ...EnrollmentErrors).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/iot_failure_text.h"
#include "outside/error/error.h"

namespace zelko::plenar::agent {

inline constexpr std::string_view kIotDeviceErrorsType =
    "enum zelko::plenar::agent::ConnectivityModule::IotDeviceErrors";
inline constexpr std::string_view kEnrollmentErrorsType =
    "enum zelko::plenar::agent::ConnectivityModule::EnrollmentErrors";

enum class IotDeviceErrors : int32_t {
    // No IoT device, or it holds no credentials.
    NotInitialized = 1,
    InvalidContent = 2,
    EmptyTopic = 3,
    DataLimitReached = 4,
};

enum class EnrollmentErrors : int32_t {
    NoDiscoveryToken = 0,
    DiscoveryTokenExpired = 1,
    CsrGenerationFailed = 2,
    InvalidEnrollmentStatus = 4,
    EnrollmentStatusFormat = 5,
};

inline shared::error::Error MakeIotDeviceError(IotDeviceErrors code, std::string message,
                                               std::string origin = {}) {
    return shared::error::Error(shared::error::ErrorCategory::EC_Component, static_cast<int32_t>(code),
                                std::move(message), std::string(kIotDeviceErrorsType), std::move(origin));
}

inline shared::error::Error MakeEnrollmentError(EnrollmentErrors code, std::string message,
                                                std::string origin = {}) {
    return shared::error::Error(shared::error::ErrorCategory::EC_Component, static_cast<int32_t>(code),
                                std::move(message), std::string(kEnrollmentErrorsType), std::move(origin));
}

}  // namespace zelko::plenar::agent
