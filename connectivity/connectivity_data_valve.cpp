#include <algorithm>
// The data valve, the telemetry envelope, the consent test and S3 transfers.
#include <cstdlib>
#include <cstring>

#include "connectivity/connectivity_module.h"
#include "consent/consent_bridge.h"
#include "features/feature_finder.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "outside/data_valve/data_valve.h"
#include "outside/device_info/device_info.h"
#include "outside/iot/iot_credential.h"
#include "outside/os_info/os_info.h"
#include "outside/s3/s3_client.h"
#include "platform/clock.h"

namespace zelko::plenar::agent {

namespace {

using nlohmann::json;

std::string Text(const char* text) { return text != nullptr ? text : ""; }

std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The country of the operating system, or empty when the library cannot tell it.
std::string CountryCode() {
    shared::os::OSInfoParams params;
    const shared::error::Error failure = shared::os::OSInfo::RetrieveOSInfo(&params);
    std::string country = !failure && params.countryCode != nullptr ? params.countryCode : "";
    for (char* text : {params.name, params.version, params.build, params.edition, params.architecture,
                       params.prettyName, params.machineName, params.language, params.locale, params.countryCode})
        std::free(text);
    return country;
}

shared::error::Error InvalidArgument(const std::string& message, const char* origin) {
    return shared::error::Error(shared::error::ErrorCategory::EC_StdException, 1, message, "class std::invalid_argument",
                                origin);
}

}  // namespace

ValveStackChoice ChooseValveStack(const std::string& stackName) {
    static const std::string kProd = "Hx4Tn8Wq2Lr6Vb9Mz3Kc7Pd1Fs5Jg0Ye";
    static const std::string kOther = "Qm7RtY2wKp9LxN4vB8cZ1hF6jD3sG5aE";
    if (stackName == "prod") return {shared::valve::Stack::Prod, kProd};
    if (stackName == "stage") return {shared::valve::Stack::Stage, kOther};
    if (stackName == "dev") return {shared::valve::Stack::Dev, kOther};
    return {shared::valve::Stack::Pie, kOther};  // "pie" and any other name
}

bool IsValidTransactionalConsent(const FeatureCheck& hasFeature) {
    if (!hasFeature) return false;
    if (hasFeature("Managed")) return true;
    return hasFeature("AllowSupport") && hasFeature("PrivacySettingsAppInstalled") &&
           (!hasFeature("TransferOutConsentRequired") || hasFeature("AllowTransferOutOfCountry"));
}

json BuildTelemetryEnvelope(const std::string& gun, const std::string& filteredData, const json& stackConfig,
                            shared::device::IDeviceInfo& device, const std::string& timestamp,
                            const std::string& agentVersion) {
    const std::vector<std::string> pieces = Utils::Split(gun, ".");
    if (pieces.size() < 9) throw std::invalid_argument("The gun has fewer than nine pieces: " + gun);
    json detail = json::parse(filteredData);
    const std::string& category = pieces[8];
    if (category == "deviceBkcStatus") detail["version"] = "1.0.0";

    static const json kEmpty = json::object();
    const json& valve = stackConfig.contains("dataValve") ? stackConfig["dataValve"] : kEmpty;
    const json& originator = valve.contains("originator") ? valve["originator"] : kEmpty;
    const std::string uuid = Lower(Text(device.GetSystemUuid()));
    json envelope;
    envelope["version"] = valve.value("version", std::string("1.3.0"));
    envelope["originator"]["originatorDetailType"] = originator.value(
        "detailType",
        std::string("com.zelko.cdm.domain.telemetry.type.originatorDetail.originator.personalComputer.version.1"));
    json& details = envelope["originator"]["originatorDetail"];
    details["version"] = originator.value("version", std::string("1.1.0"));
    details["currentDateTime"] = timestamp;
    details["serialNumber"] = Text(device.GetSerialNumber());
    details["deviceUuid"] = uuid;
    details["biosUuid"] = uuid;
    details["productId"] = Text(device.GetProductId());
    details["baseBoardId"] = Text(device.GetBaseBoardId());
    details["manufacturer"] = Text(device.GetManufacturer());
    details["modelName"] = Text(device.GetModel());
    details["agentName"] = "Tavrin Agent";
    details["agentVersion"] = agentVersion;
    envelope["events"] = json::array({{{"eventCategory", category},
                                       {"eventDetailType", gun},
                                       {"eventDetail", std::move(detail)},
                                       {"sequenceNumber", 1},
                                       {"dateTime", timestamp}}});
    return envelope;
}

void ConnectivityModule::InitializePublisher() {
    LOG_INFO << "Initialize Publisher...";
    const std::string assetId =
        deviceIdBy == "sn" ? Text(deviceInfo->GetSerialNumber()) : Lower(Text(deviceInfo->GetSystemUuid()));
    valveMetadata.reset();
    std::string country = CountryCode();
    if (country.empty()) {
        country = "US";
        LOG_WARNING << "Country code is empty. Using default: " << country;
    } else {
        LOG_INFO << "Country code: " << country;
    }
    static const json kEmpty = json::object();
    const json& valve = stackConfig.contains("dataValve") ? stackConfig["dataValve"] : kEmpty;
    valveMetadata = std::make_shared<shared::valve::ValveControllerMetadata>(
        country, valve.value("assetUnit", std::string("desktop")), valve.value("deviceId", std::string()),
        valve.value("edgeType", std::string()), assetId, valve.value("assetType", std::string()),
        valve.value("accountLoginId", std::string()), valve.value("nimbrelUserId", std::string()),
        Text(deviceInfo->GetDeviceSNRId()));
    const ValveStackChoice choice = ChooseValveStack(stackConfig.at("stackName").get<std::string>());
    auto configuration = std::make_shared<shared::valve::Configuration>(choice.stack, choice.apiKey, nullptr);
    // The configured rules host, when there is one, so a stack can point at its own cloud.
    if (auto url = valve.find("endpointUrl"); url != valve.end() && url->is_string() && !url->get<std::string>().empty())
        configuration->SetEndpoint(url->get<std::string>());
    {
        std::lock_guard lock(stateLock);
        valveConfiguration = std::move(configuration);
    }
    const json& iot = stackConfig.at("iot");
    telemetryTopicPrefix = iot.value("telemetryTopic", std::string("$aws/rules/pciot_telemetry_events_rule_pie/"));
    LOG_INFO << "Publisher initialized successfully.";
}

shared::error::Error ConnectivityModule::InitializeDataValveClient() {
    valveClient.reset();
    try {
        if (!valveConfiguration) throw std::logic_error("The publisher is not initialized");
        valveClient = makeValveClient ? makeValveClient(*valveConfiguration, deviceInfo.get())
                                      : std::make_shared<shared::valve::DataValveClient<shared::valve::Configuration>>(
                                            *valveConfiguration, deviceInfo.get());
        if (!valveClient) throw std::logic_error("No data-valve client was made");
        shared::error::Error result = valveClient->GetError();
        if (!result) valveClientInitTime = platform::NowTicks();
        return result;
    } catch (const std::exception& e) {
        shared::error::Error failure = error::ErrorFromStdException(e, "InitializeDataValveClient");
        LOG_ERROR << "InitializeDataValveClient failed with exception: " << error::ErrorToString(failure);
        return failure;
    } catch (...) {
        shared::error::Error failure =
            error::ErrorFromException(std::current_exception(), "zelko-plenar-agent-service.exe");
        LOG_ERROR << "InitializeDataValveClient failed with exception: " << error::ErrorToString(failure);
        return failure;
    }
}

int64_t ConnectivityModule::GetDataValveClientInitTime() {
    std::lock_guard lock(stateLock);
    return valveClientInitTime;
}

shared::error::Error ConnectivityModule::FilterCDMTrees(const std::string& data, const std::string& gun, char* buffer,
                                                        size_t bufferSize) {
    std::lock_guard lock(stateLock);
    if (!valveClient) (void)InitializeDataValveClient();
    if (!valveClient) return InvalidArgument("The data-valve client could not be made", "FilterCDMTrees");
    if (!valveMetadata) return InvalidArgument("The publisher is not initialized", "FilterCDMTrees");
    return valveClient->FilterCDMTrees(data.c_str(), gun.c_str(), buffer, bufferSize, *valveMetadata);
}

void ConnectivityModule::FormatForPublishing(const std::string& gun, const std::string& filteredData,
                                             std::vector<char>& envelope) {
    std::string path = Utils::GetExecutableFilePath().string();
    for (auto& c : path) c = c == '\\' ? '/' : c;
    const json document =
        BuildTelemetryEnvelope(gun, filteredData, stackConfig, *deviceInfo, Utils::GetUtcTimestamp(),
                               Utils::GetBinaryFileVersion(path));
    const std::string text = document.dump();
    if (envelope.size() < text.size() + 1) envelope.resize(text.size() + 1);
    std::fill(envelope.begin(), envelope.end(), '\0');
    std::memcpy(envelope.data(), text.c_str(), text.size());
}

bool ConnectivityModule::IsValidConsent() {
    std::lock_guard lock(stateLock);
    LOG_DEBUG << "Checking if consent is valid";
    bool valid = false;
    if (isSubscriptionDevice) {
        LOG_DEBUG << "Checking if consent is valid for subscription";
        // The bridge's flag is atomic: no lock of the bridge is taken, and never iotLock, since
        // the remote configuration asks from the IoT library's thread.
        valid = consentBridge ? consentBridge->IsConsentValid() : false;
    } else {
        std::vector<std::string> names;
        if (featureFinder) names = FeatureNames(featureFinder->GetFeatures());
        valid = IsValidTransactionalConsent([&names](const std::string& name) {
            return std::find(names.begin(), names.end(), name) != names.end();
        });
        LOG_DEBUG << "Checking if consent is valid for transactional";
    }
    LOG_DEBUG << "PS Local Legacy Consent local is " << (valid ? "valid" : "invalid");
    return valid;
}

shared::error::Error ConnectivityModule::DownloadFromS3(const std::string& uri, const std::string& downloadPath,
                                                        uint64_t& size, bool& complete) {
    LOG_INFO << "Downloading from s3 bucket";
    if (uri.empty() || downloadPath.empty()) return InvalidArgument("uri or download path are empty", "DownloadFromS3");
    std::shared_ptr<shared::iot::IotInfo> info;
    std::shared_ptr<shared::iot::IoTCredential> credential;
    {
        std::lock_guard lock(iotLock);
        if (!iotDevice) return MakeIotDeviceError(IotDeviceErrors::NotInitialized, "IoT device is not initialized.");
        credential = iotDevice->GetCredentials();
        info = iotInfo;
    }
    if (!credential) return MakeIotDeviceError(IotDeviceErrors::NotInitialized, "No credentials.");
    if (!s3Client) return InvalidArgument("No S3 client", "DownloadFromS3");
    return s3Client->DownloadFile(info.get(), credential.get(), uri, downloadPath, size, complete);
}

void ConnectivityModule::CancelS3Download() {
    if (s3Client) s3Client->CancelDownload();
}

void ConnectivityModule::CancelS3Download(const std::string& downloadPath) {
    if (s3Client) s3Client->CancelDownload(downloadPath);
}

shared::error::Error ConnectivityModule::UploadToS3(const std::string& uri, const std::string& key,
                                                    const json& content) {
    LOG_INFO << "Uploading to s3 bucket: " << uri;
    if (uri.empty() || content.is_null() || (content.is_structured() && content.empty()) || key.empty())
        return InvalidArgument("upload uri oath or content are empty", "UploadToS3");
    if (!content.is_string()) return InvalidArgument("The upload content is not a document text", "UploadToS3");
    std::shared_ptr<shared::iot::IoTCredential> credential;
    {
        std::lock_guard lock(iotLock);
        if (!iotDevice) return MakeIotDeviceError(IotDeviceErrors::NotInitialized, "IoT device is not initialized.");
        credential = iotDevice->GetCredentials();
    }
    if (!credential) return MakeIotDeviceError(IotDeviceErrors::NotInitialized, "No credentials.");
    if (!s3Client) return InvalidArgument("No S3 client", "UploadToS3");
    return s3Client->UploadJsonContent(credential.get(), uri, key, content.get<std::string>(), "");
}

std::string ConnectivityModule::GetDeviceUniqueId() { return Text(deviceInfo->GetDeviceSNRId()); }

std::string ConnectivityModule::GetPublishDataS3Uri() { return publishDataS3Uri; }

}  // namespace zelko::plenar::agent
