#include "testing/fake_connectivity.h"

#include <vector>

namespace zelko::testing {

void FakeConnectivity::SetShadow(std::string document) {
    std::lock_guard lock(mutex_);
    shadow_ = std::move(document);
    shadow_error_ = {};
}

void FakeConnectivity::SetShadowError(Error error) {
    std::lock_guard lock(mutex_);
    shadow_error_ = std::move(error);
}

void FakeConnectivity::SetSubResult(IoTResult result) {
    std::lock_guard lock(mutex_);
    sub_result_ = std::move(result);
}

void FakeConnectivity::SetConsent(bool valid) {
    std::lock_guard lock(mutex_);
    consent_ = valid;
}

void FakeConnectivity::SetPubResult(IoTResult result) {
    std::lock_guard lock(mutex_);
    pub_result_ = std::move(result);
}

std::vector<FakeConnectivity::Published> FakeConnectivity::PublishedMessages() const {
    std::lock_guard lock(mutex_);
    return published_;
}

int FakeConnectivity::Push(const std::string& topic, const std::string& content, Error error) {
    std::lock_guard delivery(delivery_);
    std::vector<std::pair<shared::iot::PayloadCallback, void*>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, target] : subscribers_) {
            if (key.first == topic) targets.push_back(target);
        }
    }
    for (const auto& [callback, context] : targets)
        callback(shared::iot::Payload(topic, content, error), context);
    return static_cast<int>(targets.size());
}

bool FakeConnectivity::IsSubscribed(const std::string& topic, const std::string& subscriber) const {
    std::lock_guard lock(mutex_);
    return subscribers_.count({topic, subscriber}) > 0;
}

int FakeConnectivity::GetShadowCalls() const {
    std::lock_guard lock(mutex_);
    return get_shadow_calls_;
}

int FakeConnectivity::SubCalls() const {
    std::lock_guard lock(mutex_);
    return sub_calls_;
}

int FakeConnectivity::UnsubCalls() const {
    std::lock_guard lock(mutex_);
    return unsub_calls_;
}

FakeConnectivity::Error FakeConnectivity::GetShadow(const std::string& shadowName, std::string& content) {
    std::lock_guard lock(mutex_);
    ++get_shadow_calls_;
    if (shadow_error_) return shadow_error_;
    content = shadow_;
    return {};
}

FakeConnectivity::IoTResult FakeConnectivity::Sub(const std::string& topic, const std::string& subscriberName,
                                                  shared::iot::PayloadCallback callback, void* context) {
    std::lock_guard lock(mutex_);
    ++sub_calls_;
    bool success = sub_result_.httpCode == 0 && sub_result_.iotCode == 0 && !sub_result_.error;
    if (success) subscribers_[{topic, subscriberName}] = {callback, context};
    return sub_result_;
}

FakeConnectivity::IoTResult FakeConnectivity::Unsub(const std::string& topic,
                                                    const std::string& subscriberName) {
    std::lock_guard delivery(delivery_);
    std::lock_guard lock(mutex_);
    ++unsub_calls_;
    subscribers_.erase({topic, subscriberName});
    return {};
}

FakeConnectivity::IoTResult FakeConnectivity::Pub(const std::string& topic, const std::string& message) {
    std::lock_guard lock(mutex_);
    if (!pub_result_.error) published_.push_back({topic, message, false});
    return pub_result_;
}

FakeConnectivity::IoTResult FakeConnectivity::PubByHttp(const std::string& topic,
                                                        const std::string& message) {
    std::lock_guard lock(mutex_);
    if (!pub_result_.error) published_.push_back({topic, message, true});
    return pub_result_;
}

bool FakeConnectivity::IsValidConsent() {
    std::lock_guard lock(mutex_);
    return consent_;
}

}  // namespace zelko::testing
