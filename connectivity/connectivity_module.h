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
#include <vector>

#include "config/shadow_channel.h"
#include "connectivity/connectivity_errors.h"
#include "outside/data_valve/data_valve.h"
#include "outside/enrollment/enrollment.h"
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
namespace zelko::shared::s3 {
class S3Client;
}

namespace zelko::plenar::agent {

class DeviceAttestationModule;
class ConsentBridgeModule;
class FeatureFinder;
class Onboarding;

// Replaces the configured discovery, enrollment and enrollment-status addresses.
struct EnrollmentUriOverride {
    std::string discoveryUri;
    std::string enrollmentUri;
    std::string enrollmentStatusUri;
};

// A certificate request made by GenerateCSR; the private key is wiped when the record goes.
struct CertificateRequest {
    std::string privateKey;  // PKCS#1 PEM, or empty
    std::string publicKey;   // PKCS#1 PEM, or empty
    int32_t requestLength = 0;
    std::string request;     // PKCS#10 PEM, or empty
    CertificateRequest() = default;
    CertificateRequest(const CertificateRequest&) = delete;
    CertificateRequest& operator=(const CertificateRequest&) = delete;
    CertificateRequest(CertificateRequest&&) = default;
    CertificateRequest& operator=(CertificateRequest&&) = default;
    ~CertificateRequest();
};

// Whether the device has a feature of that name.
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

// The data-valve stack and API key of a stack name ("prod", "stage", "dev"; anything else is "pie").
struct ValveStackChoice {
    shared::valve::Stack stack;
    std::string apiKey;
};
ValveStackChoice ChooseValveStack(const std::string& stackName);

// The consent test of a device without the subscription feature, over its feature names.
bool IsValidTransactionalConsent(const FeatureCheck& hasFeature);

// The telemetry envelope of a filtered data tree. Raises std::invalid_argument for a gun of fewer
// than nine pieces, the JSON errors for a tree that is not JSON or a "dataValve" or "originator"
// that is not an object.
nlohmann::json BuildTelemetryEnvelope(const std::string& gun, const std::string& filteredData,
                                      const nlohmann::json& stackConfig, shared::device::IDeviceInfo& device,
                                      const std::string& timestamp, const std::string& agentVersion);

// The agent's one gateway to its cloud: IoT identity and connection, publishing under the lifetime
// traffic caps, subscriptions, named shadows, and the closing of an idle connection.
//
// Two locks: stateLock (enrollment, credentials-ready flag) and iotLock (IoT data, device,
// connection flags, idle deadline, counters); no operation holds both. Every IoT operation holds
// iotLock across its library call. The library calls back on its own threads, so a callback may call
// the module; but Disconnect and Unsub wait for a delivery in flight while iotLock is held, so a
// callback that blocks on the module while the connection closes would wait for good: callbacks
// should hand their work on (the Service's and RemoteConfig's post it to the scheduler).
class ConnectivityModule : public config::IShadowChannel {
  public:
    using Error = shared::error::Error;
    using IoTResult = shared::iot::IoTResult;

    // Where the module keeps its files and how it makes its IoT client; empty members mean the
    // running program's folder and the IoT library's own client.
    struct Environment {
        std::filesystem::path executableFolder;
        IoTDeviceFactory makeIoTDevice;
        // Makes the maker and 1E enrollment objects (tests); empty: the enrollment library's.
        std::function<std::shared_ptr<shared::enrollment::Enrollment>(
            const shared::enrollment::Enrollment::Settings& settings,
            std::shared_ptr<shared::http::IHttpClient> httpClient)>
            makeEnrollment;
        // Makes the data-valve client (tests); empty: the data-valve library's.
        std::function<std::shared_ptr<shared::valve::DataValveClientBase>(
            const shared::valve::Configuration& configuration, shared::device::IDeviceInfo* deviceInfo)>
            makeValveClient;
    };

    // stack: "prod", "stage", "pie" or "dev"; configPath: "connectivity-module-config.json".
    // Raises the JSON type error for a stack the configuration lacks (or without an "iot"
    // object), std::invalid_argument without device information, and re-raises what the
    // preparation steps raise. The finder is used only under stateLock once the module is shared
    // (it has no lock of its own); without one the device has no features.
    ConnectivityModule(const std::string& stack, const std::string& configPath,
                       std::shared_ptr<shared::http::IHttpClient> httpClient,
                       std::shared_ptr<FeatureFinder> featureFinder,
                       std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                       std::shared_ptr<ConsentBridgeModule> consentBridge,
                       std::shared_ptr<DeviceAttestationModule> attestationModule,
                       std::shared_ptr<shared::s3::S3Client> s3Client, bool mocked,
                       std::shared_ptr<EnrollmentUriOverride> uriOverride, Environment environment = {});
    ConnectivityModule(const ConnectivityModule&) = delete;
    ConnectivityModule& operator=(const ConnectivityModule&) = delete;
    // Shutdown, if it has not run.
    virtual ~ConnectivityModule();

    // Ends the IoT connection, saves the counters and stops the closing thread (at least a
    // second on the steady clock). The module's owner calls it when it lets the module go, so
    // that its connection and thread end then, whoever still holds the module; from then on no
    // IoT device is made (connecting, credentials and publishing fail as not initialised).
    // Runs once; later calls return at once.
    void Shutdown();

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
    virtual Error UpdateShadow(const std::string& shadowName, const std::string& document);
    virtual Error DeleteShadow(const std::string& shadowName);
    bool ValidatePayloadContents(const std::string& message);
    virtual bool IsConnected();
    // Telemetry topic prefix + thing name; empty before the device has IoT connection data.
    virtual std::string GetTelemetryTopic();

    // --- IoT information file and credentials ---
    // Drops the IoT information and deletes "iot-info.dat" (reset), or loads it from there,
    // keeping it only when it belongs to this device.
    void ResetIoTInfo(bool reset);
    // Empty on any failure; never a partial record.
    std::shared_ptr<shared::iot::IotInfo> LoadIoTInfo(const std::filesystem::path& path);
    // Failures are logged; the file on disk is replaced whole or left as it was.
    void SaveIoTInfo(const std::filesystem::path& path, const std::shared_ptr<shared::iot::IotInfo>& info);
    virtual std::shared_ptr<shared::iot::IotInfo> GetIotInfo();
    // The IoT device's current credential, taken under iotLock; null without a device or credential.
    virtual std::shared_ptr<shared::iot::IoTCredential> GetIotCredential();
    // Disconnects the IoT client (re-creating it when resetDevice) and fetches its credentials;
    // on failure the client is dropped.
    Error GetCredentials(bool resetDevice);
    virtual bool IsCredentialsReady();

    // --- Consent ---
    // Whether telemetry may leave the device: on subscription devices the consent bridge's flag
    // (false without a bridge), on others the consent features.
    virtual bool IsValidConsent();
    bool IsCorvaneDevice() const override { return isCorvaneDevice; }

    // --- Onboarding ---
    // Runs one onboarding attempt and copies its outcome into onboardingInProgress and
    // onboardingBackoffHint.
    void Onboard();

    // --- Certificate requests and enrollment ---
    // A new 2048-bit RSA key and a request for it (subject CN, OU), also written to fileName in the
    // executable's folder and printed; empty texts when the key or request cannot be made.
    CertificateRequest GenerateCSR(const char* commonName, const char* organisationalUnit, const char* fileName);
    // Errors of the token steps are returned; afterwards the discovery feature source is put back
    // in the finder, best-effort (a failure there is logged and the discovery still succeeds).
    Error Discovery(bool forceQuery);
    Error PreEnrollZelko();
    Error EnrollZelko();
    // Once the enrollment is ready: builds the IoT information from the status, saves
    // "iot-info.dat", makes the data-valve client and sets the credentials-ready flag.
    Error PollEnrollZelkoStatus();
    // Deletes "iot-info.dat" and the enrollment certificate store.
    virtual void ResetEnrollment();
    virtual Error Enroll1E();
    // For the first-state decision and the discovery feature source.
    std::shared_ptr<shared::enrollment::Enrollment> GetMakerEnrollment();

    // --- Data valve, telemetry envelope, S3 ---
    // Caller holds stateLock.
    Error InitializeDataValveClient();
    // The same under stateLock, for callers outside the module.
    virtual Error ResetDataValveClient() {
        std::lock_guard lock(stateLock);
        return InitializeDataValveClient();
    }
    // Creation time of the current data-valve client in 100-ns ticks since 1970; 0 before the first.
    virtual int64_t GetDataValveClientInitTime();
    // Filters a data tree through the data-valve client (made on first use) and writes the filtered
    // tree, NUL-terminated, into buffer. An Error whose type names ValveFilterErrorType means the
    // cloud holds no consent for the data.
    virtual Error FilterCDMTrees(const std::string& data, const std::string& gun, char* buffer, size_t bufferSize);
    // Writes the publishing envelope of the filtered tree into envelope, NUL-terminated, growing it
    // to the text's length + 1 when shorter. Raises std::invalid_argument for a gun of fewer than
    // nine pieces, the JSON errors for a filtered tree that is not JSON.
    virtual void FormatForPublishing(const std::string& gun, const std::string& filteredData,
                                     std::vector<char>& envelope);
    virtual Error DownloadFromS3(const std::string& uri, const std::string& downloadPath, uint64_t& size, bool& complete);
    // Stops the S3 download under way (it returns incomplete).
    void CancelS3Download();
    // Stops only the S3 download to that path.
    void CancelS3Download(const std::string& downloadPath);
    // content: a JSON string holding the document text.
    virtual Error UploadToS3(const std::string& uri, const std::string& key, const nlohmann::json& content);
    virtual std::string GetDeviceUniqueId();
    virtual std::string GetPublishDataS3Uri();

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
    void RefreshDiscoveryFeatures(const std::shared_ptr<shared::enrollment::Enrollment>& enrollment);
    void InitializePublisher();
    std::shared_ptr<shared::enrollment::Enrollment> MakeEnrollment(const shared::enrollment::Enrollment::Settings& settings);

    // Construction members: written before the module is shared, read without a lock after.
    bool standIn_ = false;
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo;
    std::shared_ptr<shared::http::IHttpClient> httpClient;
    std::shared_ptr<FeatureFinder> featureFinder;  // used under stateLock
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
    std::shared_ptr<shared::valve::ValveControllerMetadata> valveMetadata;
    std::shared_ptr<shared::valve::Configuration> valveConfiguration;
    std::shared_ptr<shared::valve::DataValveClientBase> valveClient;
    int64_t valveClientInitTime = 0;
    std::function<std::shared_ptr<shared::valve::DataValveClientBase>(const shared::valve::Configuration&,
                                                                      shared::device::IDeviceInfo*)>
        makeValveClient;
    std::function<std::shared_ptr<shared::enrollment::Enrollment>(const shared::enrollment::Enrollment::Settings&,
                                                                  std::shared_ptr<shared::http::IHttpClient>)>
        makeEnrollment;

    // Guarded by iotLock.
    std::shared_ptr<shared::iot::IotInfo> iotInfo;
    std::shared_ptr<shared::iot::IoTDevice> iotDevice;
    IoTResult lastIotResult;
    bool iotConnected = false;
    bool connectionOpen = false;
    bool closeArmed = false;
    int64_t closeDeadline = 0;  // steady clock, nanoseconds
    bool stopClosing = false;
    bool shutDown = false;  // Shutdown has begun: no IoT device is made any more
    nlohmann::json stats;
    // Bumped under iotLock at every arming and at the stop, so the closing thread's wait (on the
    // platform's steady clock, which tests move by hand) never misses one.
    std::atomic<uint64_t> closeWakeups{0};
    platform::SteadyWaiter closeCondition;

    std::thread closingThread;
};

}  // namespace zelko::plenar::agent
