#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "outside/error/error.h"
#include "outside/iot/iot_result.h"
#include "outside/iot/payload.h"

namespace zelko::plenar::agent {

// Transport to the IoT broker: named shadows, topic subscriptions, publishing, the data-valve
// filter and envelope, S3 uploads and the device's consent test.
class ConnectivityModule {
  public:
    virtual ~ConnectivityModule() = default;

    // Publishes over the IoT connection (reconnecting when the idle close dropped it).
    virtual shared::iot::IoTResult Pub(const std::string& topic, const std::string& message) = 0;
    // Publishes over the IoT client's HTTP publish; accepted on HTTP status 0 or 200.
    virtual shared::iot::IoTResult PubByHttp(const std::string& topic, const std::string& message) = 0;
    // Filters a data tree through the data-valve client and writes the filtered tree, NUL-terminated,
    // into buffer. An Error whose type names ValveFilterErrorType means the cloud holds no remote consent.
    virtual shared::error::Error FilterCDMTrees(const std::string& data, const std::string& gun, char* buffer,
                                                size_t bufferSize) = 0;
    // Creation time of the current data-valve client in 100-ns ticks since 1970; 0 before the first.
    virtual int64_t GetDataValveClientInitTime() = 0;
    // Writes the publishing envelope of the filtered tree into envelope, NUL-terminated, growing it
    // to the text's length + 1 when shorter. Raises when the envelope cannot be built.
    virtual void FormatForPublishing(const std::string& gun, const std::string& filteredData,
                                     std::vector<char>& envelope) = 0;
    // Telemetry topic prefix + thing name; empty without IoT connection data.
    virtual std::string GetTelemetryTopic() = 0;
    virtual bool IsConnected() = 0;
    // The device holds valid enrollment credentials.
    virtual bool IsCredentialsReady() = 0;
    // Uploads content (a JSON string holding the document text) as the S3 object key under uri.
    virtual shared::error::Error UploadToS3(const std::string& uri, const std::string& key,
                                            const nlohmann::json& content) = 0;
    // S3 target of oversize telemetry.
    virtual std::string GetPublishDataS3Uri() = 0;
    // The device's SNR identity.
    virtual std::string GetDeviceUniqueId() = 0;

    // Writes the named shadow's document into content; an empty Error on success.
    virtual shared::error::Error GetShadow(const std::string& shadowName, std::string& content) = 0;
    // Subscribes callback (called with context on the IoT client's thread) to topic for subscriber.
    virtual shared::iot::IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                                       shared::iot::PayloadCallback callback, void* context) = 0;
    // Withdraws the subscription that Sub made for that subscriber.
    virtual shared::iot::IoTResult Unsub(const std::string& topic, const std::string& subscriberName) = 0;
    // Whether the device's consent allows the agent's data to be sent.
    virtual bool IsValidConsent() = 0;

    // The device has the feature "Corvane"; set at construction, read without a lock.
    bool isCorvaneDevice = false;
    // Enrollment is mocked: collectors run their plug-ins but upload nothing.
    bool mocked = false;
    // Telemetry envelopes above this many kilobytes (of 1024 bytes) go to S3.
    double switchS3UploadMaxMessageSize = 128.0;
};

}  // namespace zelko::plenar::agent
