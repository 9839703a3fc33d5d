#include "testing/fake_connectivity.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
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

void FakeConnectivity::SetPubByHttpResult(IoTResult result) {
    SetPubByHttp([result](const std::string&, const std::string&) { return result; });
}

std::vector<std::pair<std::string, std::string>> FakeConnectivity::HttpPublished() const {
    std::lock_guard lock(mutex_);
    return http_published_;
}

bool FakeConnectivity::IsValidConsent() {
    std::lock_guard lock(mutex_);
    return consent_;
}

std::string FakeConnectivity::Envelope(const std::string& gun, const std::string& filtered) {
    nlohmann::json envelope;
    envelope["eventDetailType"] = gun;
    envelope["eventDetail"] = nlohmann::json::parse(filtered);
    return envelope.dump();
}

void FakeConnectivity::SetFilter(FilterHook hook) {
    std::lock_guard lock(mutex_);
    filter_ = std::move(hook);
}

void FakeConnectivity::SetPubResult(IoTResult result) {
    auto answer = [result](const std::string&, const std::string&) { return result; };
    std::lock_guard lock(mutex_);
    pub_ = answer;
    pub_by_http_ = answer;
}

void FakeConnectivity::SetPub(PublishHook hook) {
    std::lock_guard lock(mutex_);
    pub_ = std::move(hook);
}

void FakeConnectivity::SetPubByHttp(PublishHook hook) {
    std::lock_guard lock(mutex_);
    pub_by_http_ = std::move(hook);
}

void FakeConnectivity::SetUploadToS3(UploadHook hook) {
    std::lock_guard lock(mutex_);
    upload_ = std::move(hook);
}

void FakeConnectivity::SetConnected(bool connected) {
    std::lock_guard lock(mutex_);
    connected_ = connected;
}

void FakeConnectivity::SetCredentialsReady(bool ready) {
    std::lock_guard lock(mutex_);
    credentials_ready_ = ready;
}

void FakeConnectivity::SetTelemetryTopic(std::string topic) {
    std::lock_guard lock(mutex_);
    topic_ = std::move(topic);
}

void FakeConnectivity::SetDataValveClientInitTime(int64_t ticks) {
    std::lock_guard lock(mutex_);
    valve_init_time_ = ticks;
}

void FakeConnectivity::SetPublishDataS3Uri(std::string uri) {
    std::lock_guard lock(mutex_);
    s3_uri_ = std::move(uri);
}

void FakeConnectivity::SetDeviceUniqueId(std::string id) {
    std::lock_guard lock(mutex_);
    device_id_ = std::move(id);
}

std::vector<FakeConnectivity::Delivery> FakeConnectivity::Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<FakeConnectivity::Published> FakeConnectivity::PublishedMessages() const {
    std::lock_guard lock(mutex_);
    std::vector<Published> published;
    for (const auto& delivery : sent_) {
        if (delivery.via != "s3")
            published.push_back({delivery.target, delivery.message, delivery.via == "http"});
    }
    return published;
}

int FakeConnectivity::FilterCalls() const {
    std::lock_guard lock(mutex_);
    return filter_calls_;
}

int FakeConnectivity::PublishCalls() const {
    std::lock_guard lock(mutex_);
    return publish_calls_;
}

FakeConnectivity::IoTResult FakeConnectivity::Publish(const char* via, const PublishHook& hook,
                                                      const std::string& topic, const std::string& message) {
    IoTResult result;
    if (hook) result = hook(topic, message);
    std::lock_guard lock(mutex_);
    ++publish_calls_;
    const bool accepted =
        (result.httpCode == 0 || (result.httpCode == 200 && std::strcmp(via, "http") == 0)) &&
        result.iotCode == 0 && !result.error;
    if (accepted) sent_.push_back({via, topic, message});
    return result;
}

FakeConnectivity::IoTResult FakeConnectivity::Pub(const std::string& topic, const std::string& message) {
    PublishHook hook;
    {
        std::lock_guard lock(mutex_);
        hook = pub_;
    }
    return Publish("pub", hook, topic, message);
}

FakeConnectivity::IoTResult FakeConnectivity::PubByHttp(const std::string& topic,
                                                        const std::string& message) {
    PublishHook hook;
    {
        std::lock_guard lock(mutex_);
        http_published_.emplace_back(topic, message);
        hook = pub_by_http_;
    }
    return Publish("http", hook, topic, message);
}

FakeConnectivity::Error FakeConnectivity::FilterCDMTrees(const std::string& data, const std::string& gun,
                                                         char* buffer, size_t bufferSize) {
    FilterHook hook;
    {
        std::lock_guard lock(mutex_);
        ++filter_calls_;
        hook = filter_;
    }
    std::string filtered = data;
    if (hook) {
        if (Error error = hook(data, gun, filtered)) return error;
    }
    if (buffer == nullptr || filtered.size() + 1 > bufferSize)
        return Error(shared::error::ErrorCategory::EC_Component, 1, "filter buffer too small");
    std::memcpy(buffer, filtered.c_str(), filtered.size() + 1);
    return {};
}

int64_t FakeConnectivity::GetDataValveClientInitTime() {
    std::lock_guard lock(mutex_);
    return valve_init_time_;
}

void FakeConnectivity::FormatForPublishing(const std::string& gun, const std::string& filteredData,
                                           std::vector<char>& envelope) {
    const std::string text = Envelope(gun, filteredData);
    if (envelope.size() < text.size() + 1) envelope.resize(text.size() + 1);
    std::fill(envelope.begin(), envelope.end(), '\0');
    std::memcpy(envelope.data(), text.c_str(), text.size());
}

std::string FakeConnectivity::GetTelemetryTopic() {
    std::lock_guard lock(mutex_);
    return topic_;
}

bool FakeConnectivity::IsConnected() {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool FakeConnectivity::IsCredentialsReady() {
    std::lock_guard lock(mutex_);
    return credentials_ready_;
}

FakeConnectivity::Error FakeConnectivity::UploadToS3(const std::string& uri, const std::string& key,
                                                     const nlohmann::json& content) {
    UploadHook hook;
    {
        std::lock_guard lock(mutex_);
        hook = upload_;
    }
    const std::string text = content.is_string() ? content.get<std::string>() : content.dump();
    Error error = hook ? hook(uri, key, text) : Error{};
    std::lock_guard lock(mutex_);
    ++publish_calls_;
    if (!error) sent_.push_back({"s3", uri + "/" + key, text});
    return error;
}

std::string FakeConnectivity::GetPublishDataS3Uri() {
    std::lock_guard lock(mutex_);
    return s3_uri_;
}

std::string FakeConnectivity::GetDeviceUniqueId() {
    std::lock_guard lock(mutex_);
    return device_id_;
}

void FakeConnectivity::SetEnroll1EResult(Error error) {
    std::lock_guard lock(mutex_);
    enroll_1e_result_ = std::move(error);
}

void FakeConnectivity::SetResetDataValveClientResult(Error error) {
    std::lock_guard lock(mutex_);
    reset_valve_result_ = std::move(error);
}

int FakeConnectivity::Enroll1ECalls() const {
    std::lock_guard lock(mutex_);
    return enroll_1e_calls_;
}

int FakeConnectivity::ResetEnrollmentCalls() const {
    std::lock_guard lock(mutex_);
    return reset_enrollment_calls_;
}

int FakeConnectivity::ResetDataValveClientCalls() const {
    std::lock_guard lock(mutex_);
    return reset_valve_calls_;
}

FakeConnectivity::Error FakeConnectivity::Enroll1E() {
    std::lock_guard lock(mutex_);
    ++enroll_1e_calls_;
    return enroll_1e_result_;
}

void FakeConnectivity::ResetEnrollment() {
    std::lock_guard lock(mutex_);
    ++reset_enrollment_calls_;
}

FakeConnectivity::Error FakeConnectivity::ResetDataValveClient() {
    std::lock_guard lock(mutex_);
    ++reset_valve_calls_;
    return reset_valve_result_;
}

}  // namespace zelko::testing
