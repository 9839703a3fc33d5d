#include "testing/fake_iot_device.h"

#include <mosquitto.h>

#include <chrono>

#include <nlohmann/json.hpp>

#include "outside/iot/iot_errors.h"
#include "outside/iot/shadow_document.h"

namespace zelko::testing {

using shared::iot::IoTCredential;

namespace {

bool Matches(const std::string& filter, const std::string& topic) {
    bool result = false;
    return mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &result) == MOSQ_ERR_SUCCESS && result;
}

FakeIoTDevice::IoTResult HttpFailure(int32_t status, const std::string& message) {
    FakeIoTDevice::IoTResult result;
    result.httpCode = status;
    result.error = shared::iot::MakeIotHttpError(status, message, "FakeIoTDevice");
    return result;
}

FakeIoTDevice::IoTResult HttpOk(std::optional<std::string> content = std::nullopt) {
    FakeIoTDevice::IoTResult result;
    result.httpCode = 200;
    result.content = std::move(content);
    return result;
}

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

FakeIoTDevice::FakeIoTDevice(std::string thingName)
    : thing_(std::move(thingName)),
      credential_(std::make_shared<IoTCredential>(Error(), "FAKEACCESSKEY", "fake-secret", "fake-token",
                                                  "2099-01-01T00:00:00Z")),
      worker_([this] { Run(); }) {}

FakeIoTDevice::~FakeIoTDevice() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    cv_.notify_all();
    worker_.join();
}

void FakeIoTDevice::Script(Call call, IoTResult result) {
    std::lock_guard lock(mutex_);
    scripted_[call].push_back(std::move(result));
}

void FakeIoTDevice::ScriptError(Call call, Error error, int32_t httpCode) {
    IoTResult result;
    result.httpCode = httpCode;
    result.error = std::move(error);
    Script(call, std::move(result));
}

void FakeIoTDevice::SetCredentials(std::shared_ptr<IoTCredential> credential) {
    std::lock_guard lock(mutex_);
    credential_ = std::move(credential);
}

void FakeIoTDevice::SetShadow(const std::string& name, const std::string& document) {
    std::lock_guard lock(mutex_);
    if (document.empty()) {
        shadows_.erase(name);
        return;
    }
    Shadow& shadow = shadows_[name];
    shadow.document = document;
    ++shadow.version;
}

std::string FakeIoTDevice::ShadowDocument(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = shadows_.find(name);
    return it == shadows_.end() ? std::string() : it->second.document;
}

int64_t FakeIoTDevice::ShadowVersion(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = shadows_.find(name);
    return it == shadows_.end() ? 0 : it->second.version;
}

void FakeIoTDevice::Deliver(const std::string& topic, const std::string& content, Error error) {
    std::lock_guard lock(mutex_);
    QueueDelivery(topic, content, error);
}

void FakeIoTDevice::Interrupt() {
    Post([this] {
        shared::iot::InterruptCallback callback;
        void* context;
        {
            std::lock_guard lock(mutex_);
            connected_ = false;
            callback = onInterrupt_;
            context = context_;
        }
        if (callback != nullptr) callback(context);
    });
}

void FakeIoTDevice::Resume(bool sessionPresent) {
    Post([this, sessionPresent] {
        shared::iot::ConnectionResumeCallback callback;
        void* context;
        {
            std::lock_guard lock(mutex_);
            connected_ = true;
            callback = onResume_;
            context = context_;
        }
        if (callback != nullptr) callback(sessionPresent, context);
    });
}

void FakeIoTDevice::WaitIdle() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return (queue_.empty() && !busy_) || stopping_; });
}

int FakeIoTDevice::Calls(Call call) const {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(call);
    return it == calls_.end() ? 0 : it->second;
}

std::vector<FakeIoTDevice::Message> FakeIoTDevice::Published() const {
    std::lock_guard lock(mutex_);
    return published_;
}

bool FakeIoTDevice::IsConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool FakeIoTDevice::IsSubscribed(const std::string& topic, const std::string& subscriber) const {
    std::lock_guard lock(mutex_);
    return subscribers_.count({topic, subscriber}) > 0;
}

FakeIoTDevice::IoTResult FakeIoTDevice::Connect(shared::iot::ConnectionSuccessCallback onSuccess,
                                                shared::iot::ConnectionResumeCallback onResume,
                                                shared::iot::DisconnectCallback onDisconnect,
                                                shared::iot::InterruptCallback onInterrupt, void* context) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::Connect, result)) return result;
    onSuccess_ = onSuccess;
    onResume_ = onResume;
    onDisconnect_ = onDisconnect;
    onInterrupt_ = onInterrupt;
    context_ = context;
    connected_ = true;
    queue_.push_back([this] {
        shared::iot::ConnectionSuccessCallback callback;
        void* ctx;
        {
            std::lock_guard inner(mutex_);
            callback = onSuccess_;
            ctx = context_;
        }
        if (callback != nullptr) callback(false, ctx);
    });
    cv_.notify_all();
    return result;
}

FakeIoTDevice::IoTResult FakeIoTDevice::Disconnect() {
    IoTResult result;
    {
        std::lock_guard lock(mutex_);
        if (TakeScripted(Call::Disconnect, result)) return result;
        if (connected_ && onDisconnect_ != nullptr) {
            auto callback = onDisconnect_;
            void* context = context_;
            queue_.push_back([callback, context] { callback(context); });
        }
        connected_ = false;
        cv_.notify_all();
    }
    WaitIdle();
    std::lock_guard lock(mutex_);
    // Nothing the caller gave may be called from now on.
    onSuccess_ = nullptr;
    onResume_ = nullptr;
    onDisconnect_ = nullptr;
    onInterrupt_ = nullptr;
    return result;
}

FakeIoTDevice::IoTResult FakeIoTDevice::Pub(const std::string& topic, const std::string& message) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::Pub, result)) return result;
    if (!connected_) {
        result.error = shared::iot::MakeConnectionError(shared::iot::ConnectionFamily::MqttClientAwsErrors, 5,
                                                        shared::iot::kAwsSocketNotConnected, "not connected",
                                                        "FakeIoTDevice");
        return result;
    }
    published_.push_back({topic, message, false});
    QueueDelivery(topic, message, {});
    return result;
}

FakeIoTDevice::IoTResult FakeIoTDevice::PublishByHttp(const std::string& topic, const std::string& message) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::PublishByHttp, result)) return result;
    published_.push_back({topic, message, true});
    QueueDelivery(topic, message, {});
    return HttpOk();
}

FakeIoTDevice::IoTResult FakeIoTDevice::Sub(const std::string& topic, const std::string& subscriberName,
                                            shared::iot::PayloadCallback callback, void* context) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::Sub, result)) return result;
    subscribers_[{topic, subscriberName}] = {callback, context};
    return result;
}

FakeIoTDevice::IoTResult FakeIoTDevice::Unsubscribe(const std::string& topic, const std::string& subscriberName) {
    IoTResult result;
    {
        std::lock_guard lock(mutex_);
        if (TakeScripted(Call::Unsubscribe, result)) return result;
        subscribers_.erase({topic, subscriberName});
    }
    // A delivery in flight to that subscriber ends before the call returns.
    if (std::this_thread::get_id() != worker_.get_id()) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return !busy_ || stopping_; });
    }
    return result;
}

FakeIoTDevice::IoTResult FakeIoTDevice::GetShadow(const std::string& shadowName) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::GetShadow, result)) return result;
    auto it = shadows_.find(shadowName);
    if (it == shadows_.end()) return HttpFailure(404, R"({"code":404,"message":"No shadow exists with name: ')" +
                                                          shadowName + "'\"}");
    nlohmann::json document = nlohmann::json::parse(it->second.document, nullptr, false);
    if (document.is_object()) {
        document["version"] = it->second.version;
        return HttpOk(document.dump());
    }
    return HttpOk(it->second.document);
}

FakeIoTDevice::IoTResult FakeIoTDevice::UpdateShadow(const std::string& shadowName, const std::string& document) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::UpdateShadow, result)) return result;
    const nlohmann::json update = nlohmann::json::parse(document, nullptr, false);
    Shadow& shadow = shadows_[shadowName];
    nlohmann::json stored = shadow.document.empty() ? nlohmann::json() : nlohmann::json::parse(shadow.document, nullptr, false);
    if (stored.is_object()) stored["version"] = shadow.version;
    try {
        nlohmann::json accepted = shared::iot::ApplyShadowUpdate(stored, update, Now());
        shadow.version = stored["version"].get<int64_t>();
        shadow.document = stored.dump();
        const std::string text = accepted.dump();
        QueueDelivery(shared::iot::ShadowTopic(thing_, shadowName, "update/accepted"), text, {});
        return HttpOk(text);
    } catch (const shared::iot::ShadowUpdateError& e) {
        if (shadow.document.empty()) shadows_.erase(shadowName);
        return HttpFailure(e.status(), nlohmann::json{{"code", e.status()}, {"message", e.what()}}.dump());
    }
}

FakeIoTDevice::IoTResult FakeIoTDevice::DeleteShadow(const std::string& shadowName) {
    std::lock_guard lock(mutex_);
    IoTResult result;
    if (TakeScripted(Call::DeleteShadow, result)) return result;
    if (shadows_.erase(shadowName) == 0)
        return HttpFailure(404, R"({"code":404,"message":"No shadow exists with name: ')" + shadowName + "'\"}");
    return HttpOk();
}

std::shared_ptr<IoTCredential> FakeIoTDevice::GetCredentials() {
    std::lock_guard lock(mutex_);
    ++calls_[Call::GetCredentials];
    return credential_;
}

bool FakeIoTDevice::TakeScripted(Call call, IoTResult& result) {
    ++calls_[call];
    auto it = scripted_.find(call);
    if (it == scripted_.end() || it->second.empty()) return false;
    result = std::move(it->second.front());
    it->second.pop_front();
    return true;
}

void FakeIoTDevice::Post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    cv_.notify_all();
}

// Caller holds mutex_.
void FakeIoTDevice::QueueDelivery(const std::string& topic, const std::string& content, const Error& error) {
    for (const auto& [key, target] : subscribers_) {
        if (!Matches(key.first, topic)) continue;
        const auto subscriber = key;
        queue_.push_back([this, subscriber, topic, content, error] {
            shared::iot::PayloadCallback callback = nullptr;
            void* context = nullptr;
            {
                std::lock_guard lock(mutex_);
                auto it = subscribers_.find(subscriber);
                if (it == subscribers_.end()) return;
                callback = it->second.first;
                context = it->second.second;
            }
            callback(shared::iot::Payload(topic, content, error), context);
        });
    }
    cv_.notify_all();
}

void FakeIoTDevice::Run() {
    std::unique_lock lock(mutex_);
    while (true) {
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        auto work = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

}  // namespace zelko::testing
