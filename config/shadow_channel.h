#pragma once

#include <string>

#include "outside/error/error.h"
#include "outside/iot/iot_result.h"
#include "outside/iot/payload.h"

namespace zelko::plenar::config {

// What a remote configuration needs of the device's cloud connection: its shadow, the topic it is
// pushed on and whether telemetry may leave the device. The connectivity module implements it.
class IShadowChannel {
  public:
    virtual ~IShadowChannel() = default;

    // Writes the named shadow's document into content.
    virtual shared::error::Error GetShadow(const std::string& shadowName, std::string& content) = 0;
    // callback is called with context on the IoT library's threads.
    virtual shared::iot::IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                                       shared::iot::PayloadCallback callback, void* context) = 0;
    virtual shared::iot::IoTResult Unsub(const std::string& topic, const std::string& subscriberName) = 0;
    virtual bool IsValidConsent() = 0;
    // Only such devices open an IoT connection; they need no consent for telemetry.
    virtual bool IsCorvaneDevice() const = 0;
};

}  // namespace zelko::plenar::config
