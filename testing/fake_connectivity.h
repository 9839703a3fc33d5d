#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connectivity/connectivity_module.h"

namespace zelko::testing {

// A connectivity module without a broker: shadows, subscription results and consent are set by
// the test, and Push delivers a message to the topic's subscribers on the calling thread.
// Filtering passes the data through, publishes and S3 uploads succeed and are recorded, unless
// the test sets its own behaviour.
class FakeConnectivity : public plenar::agent::ConnectivityModule {
  public:
    using Error = shared::error::Error;
    using IoTResult = shared::iot::IoTResult;

    // Writes the filtered tree into `filtered` or answers the failure.
    using FilterHook =
        std::function<Error(const std::string& data, const std::string& gun, std::string& filtered)>;
    using PublishHook = std::function<IoTResult(const std::string& topic, const std::string& message)>;
    using UploadHook =
        std::function<Error(const std::string& uri, const std::string& key, const std::string& content)>;

    struct Published {
        std::string topic;
        std::string message;
        bool byHttp = false;
    };
    // Every delivery the cloud accepted, publishes and S3 uploads, in order.
    struct Delivery {
        std::string via;     // "pub", "http" or "s3"
        std::string target;  // topic, or uri + "/" + key for S3
        std::string message;
    };

    // The envelope FormatForPublishing writes: {"eventDetail": filtered tree, "eventDetailType": gun}.
    static std::string Envelope(const std::string& gun, const std::string& filtered);

    void SetFilter(FilterHook hook);
    // Answer of the next publishes (Pub and PubByHttp); success by default.
    void SetPubResult(IoTResult result);
    void SetPub(PublishHook hook);
    void SetPubByHttp(PublishHook hook);
    void SetUploadToS3(UploadHook hook);
    void SetConnected(bool connected);
    void SetCredentialsReady(bool ready);
    void SetTelemetryTopic(std::string topic);
    void SetDataValveClientInitTime(int64_t ticks);
    void SetPublishDataS3Uri(std::string uri);
    void SetDeviceUniqueId(std::string id);

    std::vector<Delivery> Sent() const;
    // The messages that Pub and PubByHttp accepted, in order.
    std::vector<Published> PublishedMessages() const;
    int FilterCalls() const;
    int PublishCalls() const;  // Pub, PubByHttp and UploadToS3, accepted or not

    void SetShadow(std::string document);
    void SetShadowError(Error error);
    void SetSubResult(IoTResult result);
    void SetConsent(bool valid);
    // The answer of every PubByHttp from now on.
    void SetPubByHttpResult(IoTResult result);
    // What PubByHttp was given, accepted or not, in order: topic and message.
    std::vector<std::pair<std::string, std::string>> HttpPublished() const;

    // Number of subscribers the message reached.
    int Push(const std::string& topic, const std::string& content, Error error = {});

    bool IsSubscribed(const std::string& topic, const std::string& subscriber) const;
    int GetShadowCalls() const;
    int SubCalls() const;
    int UnsubCalls() const;

    // Answers of the enrollment and data-valve calls the side tasks make, and how often each came.
    void SetEnroll1EResult(Error error);
    void SetResetDataValveClientResult(Error error);
    int Enroll1ECalls() const;
    int ResetEnrollmentCalls() const;
    int ResetDataValveClientCalls() const;
    Error Enroll1E() override;
    void ResetEnrollment() override;
    Error ResetDataValveClient() override;

    Error GetShadow(const std::string& shadowName, std::string& content) override;
    IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                  shared::iot::PayloadCallback callback, void* context) override;
    IoTResult Unsub(const std::string& topic, const std::string& subscriberName) override;
    bool IsValidConsent() override;
    IoTResult Pub(const std::string& topic, const std::string& message) override;
    IoTResult PubByHttp(const std::string& topic, const std::string& message) override;
    Error FilterCDMTrees(const std::string& data, const std::string& gun, char* buffer,
                         size_t bufferSize) override;
    int64_t GetDataValveClientInitTime() override;
    void FormatForPublishing(const std::string& gun, const std::string& filteredData,
                             std::vector<char>& envelope) override;
    std::string GetTelemetryTopic() override;
    bool IsConnected() override;
    bool IsCredentialsReady() override;
    Error UploadToS3(const std::string& uri, const std::string& key, const nlohmann::json& content) override;
    std::string GetPublishDataS3Uri() override;
    std::string GetDeviceUniqueId() override;

  private:
    IoTResult Publish(const char* via, const PublishHook& hook, const std::string& topic,
                      const std::string& message);

    mutable std::mutex mutex_;
    // Held while a message is delivered, so an unsubscribe waits for the delivery in flight (as the
    // broker's client does); recursive because a delivery may unsubscribe.
    std::recursive_mutex delivery_;
    std::string shadow_;
    Error shadow_error_;
    IoTResult sub_result_;
    bool consent_ = false;
    std::vector<std::pair<std::string, std::string>> http_published_;
    int get_shadow_calls_ = 0;
    Error enroll_1e_result_;
    Error reset_valve_result_;
    int enroll_1e_calls_ = 0;
    int reset_enrollment_calls_ = 0;
    int reset_valve_calls_ = 0;
    int sub_calls_ = 0;
    int unsub_calls_ = 0;
    FilterHook filter_;
    PublishHook pub_;
    PublishHook pub_by_http_;
    UploadHook upload_;
    bool connected_ = true;
    bool credentials_ready_ = true;
    std::string topic_ = "$aws/rules/telemetry/thing";
    int64_t valve_init_time_ = 0;
    std::string s3_uri_ = "arn:aws:s3:::telemetry";
    std::string device_id_ = "SNR0001";
    std::vector<Delivery> sent_;
    int filter_calls_ = 0;
    int publish_calls_ = 0;
    std::map<std::pair<std::string, std::string>, std::pair<shared::iot::PayloadCallback, void*>>
        subscribers_;
};

}  // namespace zelko::testing
