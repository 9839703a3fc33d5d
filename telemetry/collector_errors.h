#pragma once

// The failures of a collector run. The service reacts only to errors carrying this type text, so a
// collector makes its failures only through MakeCollectorError. Collector exposes the enumeration under
// its own name (Collector::CollectorErrorEnum).

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "outside/error/error.h"

namespace zelko::plenar::agent {

inline constexpr std::string_view kCollectorErrorType =
    "enum zelko::plenar::agent::Collector::CollectorErrorEnum";

enum class CollectorErrorEnum : int32_t {
    NoConnectivity = 1,
    RunFailed = 2,
    PluginNotFound = 4,
    PluginNotLoaded = 5,
    ExecutionFailed = 6,
    NoUploadElement = 7,
    NoOutput = 8,
    InvalidUploadElement = 9,
    MockedUpload = 10,
    NoConsent = 11,
    FilterFailed = 12,
    NoRemoteConsent = 13,
    PublishFailed = 14,
    NoValidEnrollment = 15,
    NoRemoteConsentRefetch = 16,
};

inline shared::error::Error MakeCollectorError(CollectorErrorEnum code, std::string message) {
    return shared::error::Error(shared::error::ErrorCategory::EC_Component, static_cast<int32_t>(code),
                                std::move(message), std::string(kCollectorErrorType));
}

}  // namespace zelko::plenar::agent
