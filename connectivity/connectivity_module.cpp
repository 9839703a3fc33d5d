#include "connectivity/connectivity_module.h"

#include <cerrno>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "connectivity/device_attestation_module.h"
#include "connectivity/onboarding.h"
#include "features/feature_finder.h"
#include "foundation/default_configs.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"
#include "platform/file_replace.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr char kConfigFileName[] = "connectivity-module-config.json";
constexpr char kStateFileName[] = "connectitivy-state.json";
constexpr char kInitialStats[] = "{\"data_transfered\": 0, \"sent_msgs\": 0}";
constexpr char kDefaultPublishDataS3Uri[] = "arn:aws:s3:::zelko-plenar-telemetry-oversize-prod";
constexpr int64_t kNanosPerSecond = 1'000'000'000;

// A document whose "cloud" or "stacks" is of another kind cannot be read at all; it is treated like
// a missing file.
bool IsConfigurationDocument(const json& document) {
    if (!document.is_object()) return false;
    auto cloud = document.find("cloud");
    if (cloud == document.end() || cloud->is_null()) return true;
    if (!cloud->is_object()) return false;
    auto stacks = cloud->find("stacks");
    return stacks == cloud->end() || stacks->is_null() || stacks->is_object();
}

json BuiltInConfiguration() {
    const std::string* text = FindDefaultConfig(DefaultConfigs(), kConfigFileName, ConfigVariant::Standard);
    return text == nullptr ? json::object() : json::parse(*text);
}

int64_t ReadInteger(const json& object, const char* key, int64_t fallback, const fs::path& file, int64_t min,
                    int64_t max = Settings::kMaxInt) {
    return Settings::Int(object, file.string(), key, fallback, min, max);
}

bool ReadBool(const json& object, const char* key, bool fallback, const fs::path& file) {
    return Settings::Bool(object, file.string(), key, fallback);
}

// A counter of the counters file; anything but a count from 0 up counts as 0.
uint64_t ReadCounter(const json& stats, const char* key, const fs::path& file) {
    auto it = stats.find(key);
    if (it == stats.end()) return 0;
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
    LOG_WARNING << "The state config file (" << file.string() << ") holds no count in \"" << key
                << "\", counting from 0.";
    return 0;
}

}  // namespace

ConnectivityModule::ConnectivityModule() : standIn_(true) {}

ConnectivityModule::ConnectivityModule(const std::string& stack_, const std::string& configPath_,
                                       std::shared_ptr<shared::http::IHttpClient> httpClient_,
                                       std::shared_ptr<FeatureFinder> featureFinder_,
                                       std::shared_ptr<shared::device::IDeviceInfo> deviceInfo_,
                                       std::shared_ptr<ConsentBridgeModule> consentBridge_,
                                       std::shared_ptr<DeviceAttestationModule> attestationModule_,
                                       std::shared_ptr<shared::s3::S3Client> s3Client_, bool mocked_,
                                       std::shared_ptr<EnrollmentUriOverride> uriOverride_,
                                       Environment environment)
    : deviceInfo(std::move(deviceInfo_)),
      httpClient(std::move(httpClient_)),
      featureFinder(std::move(featureFinder_)),
      stack(stack_),
      executableFolder(std::move(environment.executableFolder)),
      makeIoTDevice(std::move(environment.makeIoTDevice)) {
    if (!deviceInfo) throw std::invalid_argument("ConnectivityModule needs the device information");
    if (executableFolder.empty()) executableFolder = Utils::GetExecutableDirectory();
    if (!makeIoTDevice) {
        makeIoTDevice = [](const shared::iot::IotInfo* info) {
            return std::make_shared<shared::iot::IoTDevice>(info, nullptr);
        };
    }

    makeEnrollment = std::move(environment.makeEnrollment);
    makeValveClient = std::move(environment.makeValveClient);

    configPath = configPath_;
    configFolder = configPath.parent_path();
    LOG_INFO << "Connectivity module is starting with config file: " << configPath_ << " stack: " << stack
             << "\n";

    config = Utils::LoadConfigFile(configPath, false, "sub");
    if (!IsConfigurationDocument(config)) {
        LOG_ERROR << "Failed to load config: " << configPath_
                  << " is not a connectivity configuration document, loading defaults.";
        config = BuiltInConfiguration();
    }
    cloudConfig = config["cloud"];
    stackConfig = cloudConfig["stacks"][stack];
    LOG_DEBUG << "_stack_config: \n" << stackConfig.dump(-1, ' ', false, json::error_handler_t::replace);

    maxSentMsgs = ReadInteger(config, "max_sent_msgs", 2400, configPath, 0);
    maxDataTransfered = ReadInteger(config, "max_data_transfered", 12288000, configPath, 0);
    closeConnectionAfterSec =
        ReadInteger(config, "close_connection_after_sec", 900, configPath, 1, int64_t{366} * 24 * 3600);

    // A stack the configuration lacks, or one without an "iot" object, raises the JSON type error
    // here ("cannot use value() with null").
    json& iot = stackConfig["iot"];
    if (!iot.is_object()) (void)iot.value("switch_s3_upload_max_message_size", 128.0);
    switchS3UploadMaxMessageSize = Settings::Double(iot, configPath_, "switch_s3_upload_max_message_size",
                                                    switchS3UploadMaxMessageSize, 0.0);
    publishDataS3Uri = Settings::String(iot, configPath_, "publish_data_s3_uri", kDefaultPublishDataS3Uri);

    LoadPersistedSate();

    credentialsReady = false;
    mocked = mocked_;
    uriOverride = std::move(uriOverride_);
    consentBridge = std::move(consentBridge_);
    s3Client = std::move(s3Client_);

    try {
        LOG_INFO << "Instantiating DeviceAttestationModule";
        attestationModule = attestationModule_ ? std::move(attestationModule_)
                                               : std::make_shared<DeviceAttestationModule>(
                                                     httpClient, deviceInfo, stackConfig);
        LOG_INFO << "Finished Instantiating DeviceAttestationModule";

        // Not shared yet, so the finder needs no lock here.
        isSubscriptionDevice = featureFinder && !featureFinder->GetFeaturesByName("ZelkoPlenarSubscription").empty();
        isCorvaneDevice = featureFinder && !featureFinder->GetFeaturesByName("Corvane").empty();

        PrepareEnrollment(uriOverride, attestationModule, false);
        (void)PrepareEnrollment1E();

        const bool onboard = ReadBool(cloudConfig, "onboard", false, configPath);
        softkey = ReadBool(cloudConfig, "softkey", false, configPath);
        if (onboard) {
            onboarding = std::make_shared<Onboarding>(configFolder / "onboarding-module-config.json", stack,
                                                      httpClient, deviceInfo);
        }

        const std::string defaultIdBy = isSubscriptionDevice ? "uuid" : "sn";
        LOG_INFO << "By default User Consent goes by " << defaultIdBy;
        deviceIdBy = Settings::String(cloudConfig, configPath_, "device_id_by", defaultIdBy);
        if (deviceIdBy != defaultIdBy) {
            LOG_INFO << "User Consent goes by is overriden by config to " << deviceIdBy;
        }
        if (deviceIdBy != "sn" && deviceIdBy != "uuid") {
            LOG_WARNING << "Wrong device id by, using default " << defaultIdBy;
            deviceIdBy = defaultIdBy;
        }

        InitializePublisher();
    } catch (const std::exception& e) {
        LOG_ERROR << "Connectivity module failed with exception: " << e.what();
        throw std::runtime_error(e.what());
    } catch (...) {
        LOG_ERROR << "ConnectivityModule failed with unknown exception";
        throw;
    }

    if (mocked) {
        LOG_INFO << "Connectivity module is mocked and not performing enrollement. Exiting...";
        return;
    }
    closingThread = std::thread([this] { CloseConnectionLoop(); });
}

ConnectivityModule::~ConnectivityModule() { Shutdown(); }

void ConnectivityModule::Shutdown() {
    if (standIn_) return;
    std::shared_ptr<shared::iot::IoTDevice> device;
    {
        std::lock_guard lock(iotLock);
        if (shutDown) return;
        shutDown = true;
        device = std::move(iotDevice);
        iotConnected = false;
        connectionOpen = false;
    }
    // The client goes outside the lock: its end waits for callbacks in flight, which may need it.
    device.reset();
    {
        std::lock_guard lock(iotLock);
        stopClosing = true;
        SavePersistedSate();
        ++closeWakeups;
        closeCondition.NotifyAll();
    }
    platform::SteadyWaiter pause;
    pause.WaitUntil(platform::SteadyNowNanos() + kNanosPerSecond, [] { return false; });
    if (closingThread.joinable()) closingThread.join();
}

void ConnectivityModule::LoadPersistedSate() {
    stats = json::parse(kInitialStats);

    std::error_code ec;
    const bool exists = fs::exists(executableFolder, ec);
    if (ec) throw fs::filesystem_error("exists", executableFolder, ec);
    if (!exists) {
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << platform::kErrorPathNotFound;
        return;
    }

    statePath = executableFolder / kStateFileName;
    bool loaded = false;
    std::ifstream in(statePath, std::ios::binary);
    if (!in) {
        LOG_VERBOSE << "Cannot open the state config file (" << statePath.string()
                    << ") - GetLastError: " << platform::ErrorFromErrno(errno);
    } else {
        try {
            json document = json::parse(in);
            if (document.is_object()) {
                stats = std::move(document);
                loaded = true;
            } else {
                LOG_WARNING << "The state config file (" << statePath.string()
                            << ") is not a JSON object, counting from 0.";
            }
        } catch (const std::exception& e) {
            LOG_VERBOSE << "Cannot load the state config file (" << statePath.string()
                        << ") - GetLastError: " << platform::GetLastError();
            LOG_VERBOSE << e.what();
        }
    }
    if (!loaded) SavePersistedSate();

    // Both counters are 64-bit: the byte count passes 2^31 on a device that publishes over HTTP.
    dataTransfered = ReadCounter(stats, "data_transfered", statePath);
    const uint64_t sent = ReadCounter(stats, "sent_msgs", statePath);
    sentMsgs = sent > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : static_cast<int64_t>(sent);
    stats["data_transfered"] = dataTransfered;
    stats["sent_msgs"] = sentMsgs;
}

void ConnectivityModule::SavePersistedSate() {
    if (statePath.empty()) return;
    if (platform::ReplaceFileContent(statePath, stats.dump(4)) != platform::FileReplace::Ok) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: " << platform::ErrorFromErrno(errno);
    }
}

int64_t ConnectivityModule::IdleDeadline() const {
    const int64_t now = platform::SteadyNowNanos();
    const int64_t seconds = std::max<int64_t>(closeConnectionAfterSec, 0);
    if (seconds > (std::numeric_limits<int64_t>::max() - now) / kNanosPerSecond)
        return std::numeric_limits<int64_t>::max();
    return now + seconds * kNanosPerSecond;
}

void ConnectivityModule::ArmClose(int64_t deadlineNanos) {
    closeDeadline = deadlineNanos;
    closeArmed = true;
    ++closeWakeups;
    closeCondition.NotifyAll();
}

void ConnectivityModule::WaitForClosing(std::unique_lock<std::mutex>& lock, int64_t deadlineNanos) {
    const uint64_t seen = closeWakeups.load();
    lock.unlock();
    closeCondition.WaitUntil(deadlineNanos, [&] { return closeWakeups.load() != seen; });
    lock.lock();
}

void ConnectivityModule::CloseConnectionLoop() {
    constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    std::unique_lock lock(iotLock);
    while (true) {
        while (!stopClosing && !(closeArmed && !keepConnection)) WaitForClosing(lock, kNever);
        if (stopClosing) break;
        // Each wake-up reads the deadline afresh: a publish moves it.
        while (!stopClosing) {
            const int64_t left = closeDeadline - platform::SteadyNowNanos();
            if (left <= 0) break;
            LOG_DEBUG << "Idle connection closes in " << (left - 1) / kNanosPerSecond + 1 << " seconds.";
            WaitForClosing(lock, closeDeadline);
        }
        if (stopClosing) break;
        try {
            LOG_INFO << "Closing connection";
            if (iotDevice) iotDevice->Disconnect();
        } catch (...) {
            LOG_ERROR << "Closing connection failed: "
                      << error::ErrorToString(error::ErrorFromException(std::current_exception(), "Closing"));
        }
        connectionOpen = false;
        closeArmed = false;
    }
    LOG_INFO << "Stopping the connection closing thread.";
}

std::shared_ptr<shared::iot::IoTDevice> ConnectivityModule::MakeIoTDevice() {
    if (shutDown) return nullptr;
    return makeIoTDevice(iotInfo.get());
}

fs::path ConnectivityModule::IoTInfoPath() const { return executableFolder / "iot-info.dat"; }

}  // namespace zelko::plenar::agent
