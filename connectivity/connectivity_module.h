#pragma once

#include <string>

#include "outside/error/error.h"
#include "outside/iot/iot_result.h"
#include "outside/iot/payload.h"

namespace zelko::plenar::agent {

// Transport to the IoT broker: named shadows, topic subscriptions and the device's consent test.
class ConnectivityModule {
  public:
    virtual ~ConnectivityModule() = default;

    // Writes the named shadow's document into content; an empty Error on success.
    virtual shared::error::Error GetShadow(const std::string& shadowName, std::string& content) = 0;
    // Subscribes callback (called with context on the IoT client's thread) to topic for subscriber.
    virtual shared::iot::IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                                       shared::iot::PayloadCallback callback, void* context) = 0;
    // Withdraws the subscription that Sub made for that subscriber.
    virtual shared::iot::IoTResult Unsub(const std::string& topic, const std::string& subscriberName) = 0;
    // Publishes the message on the topic over the IoT client's HTTP publish; accepted when the HTTP
    // status is 0 or 200, the IoT code 0 and the Error empty.
    virtual shared::iot::IoTResult PubByHttp(std::string topic, std::string message) = 0;
    // Whether the device's consent allows the agent's data to be sent.
    virtual bool IsValidConsent() = 0;

    // The device has the feature "Corvane"; set at construction, read without a lock.
    bool isCorvaneDevice = false;
};

}  // namespace zelko::plenar::agent
