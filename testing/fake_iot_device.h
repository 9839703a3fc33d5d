#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "outside/iot/iot_device.h"

namespace zelko::testing {

// An IoT device without a broker, for the modules' unit tests. Each call answers the next result
// scripted for it, else success; shadows live in a versioned in-memory store (an accepted update
// is also delivered on ".../update/accepted"); a publish reaches the device's own subscribers.
// Deliveries and connection callbacks run on the fake's own thread, as the real library's do, and
// none runs after Disconnect returns or after destruction.
class FakeIoTDevice : public shared::iot::IoTDevice {
  public:
    using IoTResult = shared::iot::IoTResult;
    using Error = shared::error::Error;

    enum class Call {
        Connect,
        Disconnect,
        Pub,
        PublishByHttp,
        Sub,
        Unsubscribe,
        GetShadow,
        UpdateShadow,
        DeleteShadow,
        GetCredentials,
    };

    struct Message {
        std::string topic;
        std::string content;
        bool byHttp = false;
    };

    explicit FakeIoTDevice(std::string thingName = "fake-thing");
    ~FakeIoTDevice() override;

    // The next call of that kind answers result instead of doing its work.
    void Script(Call call, IoTResult result);
    // Shorthand: the next call fails with error (for shadows with httpCode too).
    void ScriptError(Call call, Error error, int32_t httpCode = 0);
    // Answer of GetCredentials; by default a usable credential.
    void SetCredentials(std::shared_ptr<shared::iot::IoTCredential> credential);

    // Sets the stored shadow document (its version goes up by one); an empty document removes it.
    void SetShadow(const std::string& name, const std::string& document);
    // The stored document ("" when none) and its version (0 when none).
    std::string ShadowDocument(const std::string& name) const;
    int64_t ShadowVersion(const std::string& name) const;

    // Delivers a message to the subscribers of topic (wildcards in their filters apply) on the
    // fake's thread; returns at once.
    void Deliver(const std::string& topic, const std::string& content, Error error = {});
    // Connection events on the fake's thread, as an unexpected loss and an automatic reconnect give.
    void Interrupt();
    void Resume(bool sessionPresent = false);
    // Waits until everything queued for the fake's thread has run.
    void WaitIdle();

    int Calls(Call call) const;
    std::vector<Message> Published() const;
    bool IsConnected() const;
    bool IsSubscribed(const std::string& topic, const std::string& subscriber) const;
    const std::string& ThingName() const { return thing_; }

    IoTResult Connect(shared::iot::ConnectionSuccessCallback onSuccess,
                      shared::iot::ConnectionResumeCallback onResume,
                      shared::iot::DisconnectCallback onDisconnect, shared::iot::InterruptCallback onInterrupt,
                      void* context) override;
    IoTResult Disconnect() override;
    IoTResult Pub(const std::string& topic, const std::string& message) override;
    IoTResult PublishByHttp(const std::string& topic, const std::string& message) override;
    IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                  shared::iot::PayloadCallback callback, void* context) override;
    IoTResult Unsubscribe(const std::string& topic, const std::string& subscriberName) override;
    IoTResult GetShadow(const std::string& shadowName) override;
    IoTResult UpdateShadow(const std::string& shadowName, const std::string& document) override;
    IoTResult DeleteShadow(const std::string& shadowName) override;
    std::shared_ptr<shared::iot::IoTCredential> GetCredentials() override;

  private:
    struct Shadow {
        std::string document;
        int64_t version = 0;
    };

    bool TakeScripted(Call call, IoTResult& result);
    void Post(std::function<void()> work);
    void QueueDelivery(const std::string& topic, const std::string& content, const Error& error);
    void Run();

    const std::string thing_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::map<Call, std::deque<IoTResult>> scripted_;
    std::map<Call, int> calls_;
    std::map<std::string, Shadow> shadows_;
    std::vector<Message> published_;
    std::map<std::pair<std::string, std::string>, std::pair<shared::iot::PayloadCallback, void*>> subscribers_;
    std::shared_ptr<shared::iot::IoTCredential> credential_;
    bool connected_ = false;
    shared::iot::ConnectionSuccessCallback onSuccess_ = nullptr;
    shared::iot::ConnectionResumeCallback onResume_ = nullptr;
    shared::iot::DisconnectCallback onDisconnect_ = nullptr;
    shared::iot::InterruptCallback onInterrupt_ = nullptr;
    void* context_ = nullptr;

    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace zelko::testing
