#pragma once

#include <string>
#include <utility>

#include "outside/error/error.h"

namespace zelko::shared::iot {

// One message delivered on a subscribed topic, or the failure of a delivery.
class Payload {
  public:
    Payload() = default;
    Payload(std::string topic, std::string content, error::Error error = {})
        : topic_(std::move(topic)), content_(std::move(content)), error_(std::move(error)) {}

    const char* GetTopic() const { return topic_.c_str(); }
    const char* GetContent() const { return content_.c_str(); }
    // Set when the delivery failed.
    const error::Error& GetError() const { return error_; }

  private:
    std::string topic_;
    std::string content_;
    error::Error error_;
};

// Receives every message of a subscribed topic, on a thread of the IoT client, with the context
// given at subscription.
using PayloadCallback = void (*)(Payload payload, void* context);

}  // namespace zelko::shared::iot
