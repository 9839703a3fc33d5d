#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "outside/error/error.h"

namespace zelko::shared::iot {

// Result of every call of the IoT client.
struct IoTResult {
    int32_t httpCode = 0;
    int32_t iotCode = 0;
    // The shadow document of a shadow read; none for other calls.
    std::optional<std::string> content;
    error::Error error;
};

}  // namespace zelko::shared::iot
