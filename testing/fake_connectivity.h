#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connectivity/connectivity_module.h"

namespace zelko::testing {

// A connectivity module without a broker: shadows, subscription and publish results and consent
// are set by the test, publishes are recorded, and Push delivers a message to the topic's
// subscribers on the calling thread.
class FakeConnectivity : public plenar::agent::ConnectivityModule {
  public:
    using Error = shared::error::Error;
    using IoTResult = shared::iot::IoTResult;

    void SetShadow(std::string document);
    void SetShadowError(Error error);
    void SetSubResult(IoTResult result);
    void SetConsent(bool valid);
    // Answer of the next publishes (Pub and PubByHttp); success by default.
    void SetPubResult(IoTResult result);

    struct Published {
        std::string topic;
        std::string message;
        bool byHttp = false;
    };
    // The messages that Pub and PubByHttp accepted, in order.
    std::vector<Published> PublishedMessages() const;

    // Number of subscribers the message reached.
    int Push(const std::string& topic, const std::string& content, Error error = {});

    bool IsSubscribed(const std::string& topic, const std::string& subscriber) const;
    int GetShadowCalls() const;
    int SubCalls() const;
    int UnsubCalls() const;

    Error GetShadow(const std::string& shadowName, std::string& content) override;
    IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                  shared::iot::PayloadCallback callback, void* context) override;
    IoTResult Unsub(const std::string& topic, const std::string& subscriberName) override;
    IoTResult Pub(const std::string& topic, const std::string& message) override;
    IoTResult PubByHttp(const std::string& topic, const std::string& message) override;
    bool IsValidConsent() override;

  private:
    mutable std::mutex mutex_;
    // Held while a message is delivered, so an unsubscribe waits for the delivery in flight (as the
    // broker's client does); recursive because a delivery may unsubscribe.
    std::recursive_mutex delivery_;
    std::string shadow_;
    Error shadow_error_;
    IoTResult sub_result_;
    IoTResult pub_result_;
    std::vector<Published> published_;
    bool consent_ = false;
    int get_shadow_calls_ = 0;
    int sub_calls_ = 0;
    int unsub_calls_ = 0;
    std::map<std::pair<std::string, std::string>, std::pair<shared::iot::PayloadCallback, void*>>
        subscribers_;
};

}  // namespace zelko::testing
