#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>

#include "connectivity/connectivity_errors.h"
#include "outside/error/error.h"
#include "outside/iot/iot_device.h"
#include "outside/iot/iot_info.h"
#include "outside/iot/iot_result.h"
#include "outside/iot/payload.h"
#include "platform/steady_clock.h"

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::device {
class IDeviceInfo;
}
namespace zelko::shared::enrollment {
class Enrollment;
}
namespace zelko::shared::s3 {
class S3Client;
}

namespace zelko::plenar::agent {

class DeviceAttestationModule;
class ConsentBridgeModule;
class Onboarding;

// Replaces the configured discovery, enrollment and enrollment-status addresses.
struct EnrollmentUriOverride {
    std::string discoveryUri;
    std::string enrollmentUri;
    std::string enrollmentStatusUri;
};

// Whether the device has at least one feature of that name.
using FeatureCheck = std::function<bool(const std::string& name)>;

// Makes the IoT client from the connection data (null when there are none).
using IoTDeviceFactory =
    std::function<std::shared_ptr<shared::iot::IoTDevice>(const shared::iot::IotInfo* info)>;

// The "credentialUri" of a stack's "iot" object, or the built-in credentials endpoint. Raises the
// JSON type error when iot is not an object.
std::string GetCredentialUri(const nlohmann::json& iot);

// Host ("endpoint") and path of an "https://" address; both empty when there is no host. Logs a
// warning when the address does not hold "https://" followed by something.
std::pair<std::string, std::string> SplitCredentialUri(const std::string& uri);

// The agent's one gateway to its cloud: IoT identity and connection, publishing under the lifetime
// traffic caps, subscriptions, named shadows, and the closing of an idle connection.
//
// Two locks: stateLock (enrollment, credentials-ready flag) and iotLock (IoT data, device,
// connection flags, idle deadline, counters); no operation holds both. Every IoT operation holds
// iotLock across its library call. The library calls back on its own threads, so a callback may call
// the module; but Disconnect and Unsub wait for a delivery in flight while iotLock is held, so a
// callback that blocks on the module while the connection closes would wait for good: callbacks
// should hand their work on (the Service's and RemoteConfig's post it to the scheduler).
class ConnectivityModule {
  public:
    using Error = shared::error::Error;
    using IoTResult = shared::iot::IoTResult;

    // Where the module keeps its files and how it makes its IoT client; empty members mean the
    // running program's folder and the IoT library's own client.
    struct Environment {
        std::filesystem::path executableFolder;
        IoTDeviceFactory makeIoTDevice;
    };

    // stack: "prod", "stage", "pie" or "dev"; configPath: "connectivity-module-config.json".
    // Raises the JSON type error for a stack the configuration lacks (or without an "iot"
    // object), std::invalid_argument without device information, and re-raises what the
    // preparation steps raise.
    ConnectivityModule(const std::string& stack, const std::string& configPath,
                       std::shared_ptr<shared::http::IHttpClient> httpClient, FeatureCheck hasFeature,
                       std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                       std::shared_ptr<ConsentBridgeModule> consentBridge,
                       std::shared_ptr<DeviceAttestationModule> attestationModule,
                       std::shared_ptr<shared::s3::S3Client> s3Client, bool mocked,
                       std::shared_ptr<EnrollmentUriOverride> uriOverride, Environment environment = {});
    ConnectivityModule(const ConnectivityModule&) = delete;
    ConnectivityModule& operator=(const ConnectivityModule&) = delete;
    // Ends the IoT connection, saves the counters and stops the closing thread (at least a
    // second on the steady clock).
    virtual ~ConnectivityModule();

    // --- IoT messaging ---
    // Opens the MQTT connection with the four callbacks and callbackContext (devices with the
    // feature "Corvane" only); arms the idle close unless keepConnection.
    Error ConnectToIot();
    // Publishes over MQTT within the traffic caps, reconnecting first when the idle close ended
    // the connection; counts what was sent.
    virtual IoTResult Pub(const std::string& topic, const std::string& message);
    // callback is called with context on the IoT library's threads.
    virtual IoTResult Sub(const std::string& topic, const std::string& subscriberName,
                          shared::iot::PayloadCallback callback, void* context);
    virtual IoTResult Unsub(const std::string& topic, const std::string& subscriberName);
    // Publishes over HTTP; counted but never refused by the caps, and leaves the MQTT connection
    // alone.
    virtual IoTResult PubByHttp(const std::string& topic, const std::string& message);
    // Writes the named shadow's document into content. A failed call is category 5 code 14 whose
    // message is the compact {"error","http_code","iot_code"}.
    virtual Error GetShadow(const std::string& shadowName, std::string& content);
    Error UpdateShadow(const std::string& shadowName, const std::string& document);
    Error DeleteShadow(const std::string& shadowName);
    bool ValidatePayloadContents(const std::string& message);
    bool IsConnected();
    // Telemetry topic prefix + thing name; empty before the device has IoT connection data.
    std::string GetTelemetryTopic();

    // --- IoT information file and credentials ---
    // Drops the IoT information and deletes "iot-info.dat" (reset), or loads it from there,
    // keeping it only when it belongs to this device.
    void ResetIoTInfo(bool reset);
    // Empty on any failure; never a partial record.
    std::shared_ptr<shared::iot::IotInfo> LoadIoTInfo(const std::filesystem::path& path);
    // Failures are logged; the file on disk is replaced whole or left as it was.
    void SaveIoTInfo(const std::filesystem::path& path, const std::shared_ptr<shared::iot::IotInfo>& info);
    std::shared_ptr<shared::iot::IotInfo> GetIotInfo();
    // Disconnects the IoT client (re-creating it when resetDevice) and fetches its credentials;
    // on failure the client is dropped.
    Error GetCredentials(bool resetDevice);
    bool IsCredentialsReady();

    // --- Consent ---
    // Whether telemetry may leave the device.
    virtual bool IsValidConsent();

    // Set by the Service immediately before ConnectToIot; read under iotLock when Pub reconnects.
    shared::iot::ConnectionSuccessCallback connectSuccessCallback = nullptr;
    shared::iot::ConnectionResumeCallback resumeCallback = nullptr;
    shared::iot::DisconnectCallback disconnectCallback = nullptr;
    shared::iot::InterruptCallback interruptCallback = nullptr;
    void* callbackContext = nullptr;

    // Fixed at construction, read without a lock.
    bool mocked = false;
    bool softkey = false;
    // "uuid" or "sn": what the user consent and the data-valve asset identity go by.
    std::string deviceIdBy;
    bool isSubscriptionDevice = false;
    // Only such devices open an IoT connection.
    bool isCorvaneDevice = false;
    // Kilobytes; larger telemetry goes to S3.
    double switchS3UploadMaxMessageSize = 128.0;
    std::shared_ptr<DeviceAttestationModule> attestationModule;
    // Made only when the configuration's "cloud"."onboard" is true.
    std::shared_ptr<Onboarding> onboarding;

    // Scheduler thread only.
    bool onboardingInProgress = false;
    int32_t onboardingBackoffHint = -1;

    // Guards the IoT members below and those of the private part marked so.
    std::mutex iotLock;
    // Keep the IoT connection open: no idle close is armed while set. The Service writes it.
    bool keepConnection = false;
    // Lifetime counters of what Pub and PubByHttp sent, and their caps: Pub is refused once a
    // counter is strictly above its cap.
    uint64_t dataTransfered = 0;
    int64_t sentMsgs = 0;
    int64_t maxSentMsgs = 2400;
    int64_t maxDataTransfered = 12288000;

  protected:
    // For stand-ins that derive from the module: no configuration, no files, no thread; the
    // destruction does nothing but release.
    ConnectivityModule();

  private:
    void LoadPersistedSate();
    void SavePersistedSate();  // caller holds iotLock (or the module is not shared yet)
    void CloseConnectionLoop();
    // Sets the idle deadline and wakes the closing thread; caller holds iotLock.
    void ArmClose(int64_t deadlineNanos);
    int64_t IdleDeadline() const;
    // Releases lock until notified or until the deadline; caller holds lock on iotLock.
    void WaitForClosing(std::unique_lock<std::mutex>& lock, int64_t deadlineNanos);
    std::shared_ptr<shared::iot::IoTDevice> MakeIoTDevice();  // caller holds iotLock
    void CountSent(const std::string& message);               // caller holds iotLock
    std::filesystem::path IoTInfoPath() const;

    // Steps of the construction whose subjects live elsewhere.
    void PrepareEnrollment(const std::shared_ptr<EnrollmentUriOverride>& uriOverride,
                           const std::shared_ptr<DeviceAttestationModule>& attestation, bool resetIoTInfo);
    Error PrepareEnrollment1E();
    void InitializePublisher();

    // Construction members: written before the module is shared, read without a lock after.
    bool standIn_ = false;
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo;
    std::shared_ptr<shared::http::IHttpClient> httpClient;
    FeatureCheck hasFeature;
    std::string stack;
    std::string valveApiKeyNonProd = "Qm7RtY2wKp9LxN4vB8cZ1hF6jD3sG5aE";
    std::string valveApiKeyProd = "Hx4Tn8Wq2Lr6Vb9Mz3Kc7Pd1Fs5Jg0Ye";
    std::string telemetryTopicPrefix;
    std::string publishDataS3Uri;
    std::filesystem::path configPath;
    std::filesystem::path configFolder;
    nlohmann::json config;
    nlohmann::json stackConfig;
    nlohmann::json cloudConfig;
    std::shared_ptr<ConsentBridgeModule> consentBridge;
    std::shared_ptr<EnrollmentUriOverride> uriOverride;
    std::shared_ptr<shared::s3::S3Client> s3Client;
    std::filesystem::path executableFolder;
    IoTDeviceFactory makeIoTDevice;
    int64_t closeConnectionAfterSec = 900;
    std::filesystem::path statePath;

    // Guarded by stateLock.
    std::mutex stateLock;
    std::shared_ptr<shared::enrollment::Enrollment> makerEnrollment;
    std::shared_ptr<shared::enrollment::Enrollment> enrollment1E;
    bool credentialsReady = false;

    // Guarded by iotLock.
    std::shared_ptr<shared::iot::IotInfo> iotInfo;
    std::shared_ptr<shared::iot::IoTDevice> iotDevice;
    IoTResult lastIotResult;
    bool iotConnected = false;
    bool connectionOpen = false;
    bool closeArmed = false;
    int64_t closeDeadline = 0;  // steady clock, nanoseconds
    bool stopClosing = false;
    nlohmann::json stats;
    // Bumped under iotLock at every arming and at the stop, so the closing thread's wait (on the
    // platform's steady clock, which tests move by hand) never misses one.
    std::atomic<uint64_t> closeWakeups{0};
    platform::SteadyWaiter closeCondition;

    std::thread closingThread;
};

}  // namespace zelko::plenar::agent
