#include "consent/consent_bridge.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "foundation/default_configs.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils_files.h"
#include "foundation/utils_strings.h"
#include "outside/device_enumeration/device_enumeration.h"
#include "platform/clock.h"
#include "platform/steady_clock.h"
#include "platform/thread_name.h"

namespace zelko::plenar::agent {

namespace {

using platform::RegistryHive;

constexpr int64_t kTicksPerMinute = 600'000'000;

std::string ReadHive(const std::string& valueName) {
    return ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kConsentKey, valueName);
}

int32_t WriteHive(const std::string& valueName, const std::string& value) {
    return ConsentManager::WriteRegistrySubKey(RegistryHive::LocalMachine, kConsentKey, valueName, value);
}

// now + span on the steady clock, saturated.
int64_t SteadyAfter(int64_t span) {
    const int64_t now = platform::SteadyNowNanos();
    return now > std::numeric_limits<int64_t>::max() - span ? std::numeric_limits<int64_t>::max()
                                                            : now + span;
}

}  // namespace

const std::vector<std::string>& QueryPurposeIds() {
    static const std::vector<std::string> ids = {
        PurposeId(ConsentField::Support), PurposeId(ConsentField::ProductEnhancement),
        PurposeId(ConsentField::Marketing), PurposeId(ConsentField::TransferOutOfCountry)};
    return ids;
}

Consent ConsentFromPurposes(const std::vector<Purpose>& purposes) {
    Consent consent;
    for (const auto& purpose : purposes) {
        for (ConsentField field : kConsentFields) {
            if (purpose.purposeId == PurposeId(field))
                FieldOf(consent, field) = StateFromPurposeState(purpose.state);
        }
    }
    return consent;
}

Purpose FindPurpose(const std::vector<Purpose>& purposes, ConsentField field) {
    for (const auto& purpose : purposes) {
        if (purpose.purposeId == PurposeId(field)) return purpose;
    }
    return {};
}

ConsentBridgeModule::ConsentBridgeModule(std::string stackName, const std::filesystem::path& configPath,
                                         std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                                         std::shared_ptr<shared::http::IHttpClient> httpClient)
    : stackName(std::move(stackName)), deviceInfo(std::move(deviceInfo)) {
    LOG_INFO << "Initializing ConsentBridgeModule.";
    config = Utils::LoadConfigFile(configPath);
    if (!config.is_object() || !config.contains("stacks")) {
        // A document without stacks has nothing of the module in it: the built-in one stands in.
        LOG_WARNING << "No \"stacks\" in " << configPath.string() << ", loading defaults.";
        const std::string* text =
            FindDefaultConfig(DefaultConfigs(), configPath.filename().string(), ConfigVariant::Standard);
        config = text != nullptr ? nlohmann::json::parse(*text) : nlohmann::json::object();
    }
    this->httpClient =
        httpClient ? std::move(httpClient) : std::make_shared<shared::http::HttpClient>(&allocator, nullptr);
    WriteDefaultConsentToRegistry();
    consentValid = !ReadHive(kConsentProgressValue).empty() && ReadConsent().support != ConsentState::Unknown;
    // value() raises the library's type error for a stacks or stack that is not an object.
    const nlohmann::json stacks = config.value("stacks", nlohmann::json());
    const nlohmann::json stack =
        stacks.is_null() ? nlohmann::json() : stacks.value(this->stackName, nlohmann::json());
    // A stack that is not an object keeps the module from being built: value() raises the JSON
    // library's type error for it.
    if (!stack.is_object()) (void)stack.value("first_time_wait_ms", 0);
    const std::string document = configPath.filename().string();
    // Zero or negative: no wait. The wait blocks the scheduler's worker, so it is held to a minute.
    firstTimeWaitMs = static_cast<int32_t>(
        Settings::Int(stack, document, "first_time_wait_ms", 5000, std::numeric_limits<int32_t>::min(), 60'000));
    uploadLocalWaitMin = static_cast<int32_t>(Settings::Minutes(stack, document, "upload_local_wait_min", 720).count());
    lastUploadCheck = platform::NowTicks();
    LOG_INFO << "Initializing ConsentBridgeModule succeeded.";
}

ConsentBridgeModule::~ConsentBridgeModule() { Stop(); }

// ---- registry side ----

bool ConsentBridgeModule::IsSubscriptionDevice() {
    shared::device_enumeration::DeviceEnumeration enumeration;
    enumeration.QueryDevices(shared::device_enumeration::kSystemDeviceClass);
    for (size_t i = 0; i < enumeration.size(); ++i) {
        const std::string id = enumeration.get(i).GetHardwareID();
        if (id.find("VEN_ZLKC&DEV_0016") != std::string::npos) return true;
    }
    return false;
}

void ConsentBridgeModule::WriteConsentToRegistry(const Consent& consent, const std::string& progress) {
    for (ConsentField field : kConsentFields)
        WriteHive(RegistryValueName(field), RegistryText(FieldOf(consent, field)));
    if (!progress.empty()) {
        WriteHive(kConsentProgressValue, progress);
        LOG_INFO << "The downloaded Consent is valid and persisted.";
    }
    consentValid = true;
}

void ConsentBridgeModule::WriteDefaultConsentToRegistry() {
    LOG_INFO << "Consent Module: Identifying if it is a subscription device...";
    if (!IsSubscriptionDevice()) return;
    LOG_INFO
        << "Consent Module: Identified as a Subscription device, creating registry hive with default values.";
    SetRegistryHiveWithDefaultValues();
}

void ConsentBridgeModule::SetRegistryHiveWithDefaultValues() {
    LOG_INFO << "Writing default consent.";
    Consent consent = ReadConsent();
    if (consent.support == ConsentState::Unknown) consent.support = ConsentState::Accepted;
    // The consent and every missing default in one write of the key: each write is synced to disk.
    std::vector<std::pair<std::string, std::string>> values;
    for (ConsentField field : kConsentFields)
        values.emplace_back(RegistryValueName(field), RegistryText(FieldOf(consent, field)));
    const size_t consentValues = values.size();
    for (const auto& [name, value] : ConsentDefaults()) {
        if (ReadHive(name).empty()) values.emplace_back(name, value);
    }
    const int32_t status = ConsentManager::WriteRegistrySubKeys(RegistryHive::LocalMachine, kConsentKey, values);
    consentValid = true;
    if (status != 0) return;
    for (size_t i = consentValues; i < values.size(); ++i) {
        LOG_INFO << "Consent Module: Added default value: " << values[i].second << " to the subkey : "
                 << values[i].first;
    }
}

std::string ConsentBridgeModule::biosUUID() {
    try {
        if (!deviceInfo) throw std::runtime_error("no device information");
        const char* uuid = deviceInfo->GetSystemUuid();
        return Utils::ToLower(uuid != nullptr ? uuid : "");
    } catch (const std::exception& e) {
        LOG_ERROR << "Consent bridge module failed to read Biod UUID: " << e.what();
    } catch (...) {
        LOG_ERROR << "Consent bridge module failed to read Biod UUID";
    }
    return "";
}

// ---- consent step ----

ConsentBridgeModule::Pass::Pass(ConsentBridgeModule& module) : module_(module) {
    module_.passDeadline = SteadyAfter(std::max<int64_t>(module_.passBudgetMs.load(), 0) * 1'000'000);
}

void ConsentBridgeModule::Process() {
    Pass pass(*this);
    if (consentValid) {
        try {
            ProcessUploadCheck();
        } catch (const std::exception& e) {
            LOG_ERROR << "ConsentBridgeModule::Process() exception: " << e.what();
        } catch (...) {
            LOG_ERROR << "ConsentBridgeModule::Process() unknown exception";
        }
    } else {
        try {
            ProcessDownload();
        } catch (const std::exception& e) {
            LOG_ERROR << "ConsentBridgeModule::Process() exception: " << e.what();
        } catch (...) {
            LOG_ERROR << "ConsentBridgeModule::Process() unknown exception";
        }
    }
}

void ConsentBridgeModule::ProcessUploadCheck() {
    const int64_t now = platform::NowTicks();
    if (!(lastUploadCheck + uploadLocalWaitMin * kTicksPerMinute < now)) return;
    lastUploadCheck = now;
    const Consent local = ReadConsent();
    if (local.support == ConsentState::Unknown) {
        LOG_WARNING
            << "Trying to upload consent for the registry, but it's not valid. Please update it using Zelko "
               "software.";
        return;
    }
    const std::string hash = ConsentHash(local);
    if (hash == ReadHive(kUploadedHashValue)) return;
    if (!UploadConsent(hash)) return;
    LOG_INFO << "Consent was changed and was uploaded to the cloud ";
    LOG_DEBUG << hash;
    WriteHive(kUploadedHashValue, hash);
}

void ConsentBridgeModule::ProcessDownload() {
    if (firstTime) {
        LOG_INFO << "Waiting for Pending Association to propagate user's consent...";
        // At most half the pass's budget, so the request keeps the other half; over at once on a stop.
        if (firstTimeWaitMs > 0) {
            const int64_t wait = std::min<int64_t>(int64_t{firstTimeWaitMs} * 1'000'000,
                                                   std::max<int64_t>(passBudgetMs.load(), 0) * 500'000);
            stopWaiter.WaitUntil(SteadyAfter(wait), [this] { return stopped.load(); });
        }
        firstTime = false;
    }
    const std::vector<Purpose> purposes = DownloadPurposes();
    const Consent cloud = ConsentFromPurposes(purposes);
    LOG_INFO << "Consent was downloaded.";
    LOG_DEBUG << "AllowSupport " << RegistryText(cloud.support) << " AllowMarketing "
              << RegistryText(cloud.marketing) << " AllowProductEnhancement "
              << RegistryText(cloud.productEnhancement) << " AllowTransferOutOfCountry "
              << RegistryText(cloud.transferOutOfCountry) << " currentConsentHash " << ConsentHash(cloud);
    std::string progress;
    for (const auto& purpose : purposes) {
        if (!purpose.dateTime.empty()) {
            progress = purpose.dateTime;
            break;
        }
    }
    if (cloud.support != ConsentState::Unknown) WriteConsentToRegistry(cloud, progress);
}

std::string ConsentBridgeModule::Host() const {
    return config.at("stacks").at(stackName).at("host").get<std::string>();
}

ConsentManager ConsentBridgeModule::Manager() const {
    return ConsentManager(Host(), passDeadline.load(), cancel);
}

std::vector<Purpose> ConsentBridgeModule::DownloadPurposes() {
    const ConsentManager manager = Manager();
    const std::string payload = ConsentManager::CreateQueryPayload("en", biosUUID(), QueryPurposeIds());
    LOG_DEBUG << "DownloadPurposes requestPayloadString: " << payload;
    const std::string answer = manager.GetPurposeMetadata(payload, httpClient);
    LOG_DEBUG << "DownloadPurposes responsePayloadString: " << answer;
    return ConsentManager::DeserializePurposeList(answer);
}

bool ConsentBridgeModule::UploadConsent(const std::string& localHash) {
    LOG_INFO << "Uploading Consent";
    const std::vector<Purpose> purposes = DownloadPurposes();
    // Without the cloud's purposes nothing can be sent: the change must stay pending.
    if (purposes.empty()) {
        LOG_ERROR << "Failed to UploadConsent: the consent service gave no purposes";
        return false;
    }
    const Consent cloud = ConsentFromPurposes(purposes);
    const Consent local = ParseConsentHash(localHash);
    bool result = true;
    for (ConsentField field : kConsentFields) {
        const ConsentState mine = FieldOf(local, field);
        const ConsentState theirs = FieldOf(cloud, field);
        std::string text;
        if (mine != theirs) {
            if (mine == ConsentState::Accepted) {
                text = "OptedIn";
            } else if (mine == ConsentState::Rejected || theirs != ConsentState::Rejected) {
                text = "OptedOut";
            }
        }
        LOG_DEBUG << "UploadConsent: User State " << text;
        if (text.empty()) continue;
        Purpose purpose = FindPurpose(purposes, field);
        if (purpose.resourceId.empty()) {
            // Not sent, so not uploaded: the change stays pending for the next check.
            LOG_ERROR << "UploadConsent: the consent service lists no purpose " << PurposeId(field)
                      << " with a resource id to set";
            result = false;
            continue;
        }
        purpose.state = text;
        const bool sent = UploadPurpose(purpose);
        result = result && sent;
    }
    if (!result) {
        LOG_ERROR << "Failed to UploadConsent " << 0;
    }
    return result;
}

bool ConsentBridgeModule::UploadPurpose(const Purpose& purpose) {
    const ConsentManager manager = Manager();
    const std::string query = ConsentManager::CreateQueryPayload("en", "us", biosUUID(), purpose.resourceId,
                                                                 purpose.state, purpose.purposeId);
    LOG_DEBUG << "UploadPurpose requestPayloadString: " << query;
    const std::string answer = manager.SetSpecificPurposeMetada(query, httpClient);
    LOG_DEBUG << "UploadPurpose responsePayloadString: " << answer;
    std::vector<Purpose> confirmed;
    try {
        const auto parsed = nlohmann::json::parse(answer);
        const nlohmann::json consents = parsed.value("consents", nlohmann::json());
        confirmed = ConsentManager::DeserializePurposeList(consents.dump());
    } catch (const std::exception& e) {
        LOG_ERROR << "failed to parse response " << e.what();
    }
    if (!confirmed.empty() && confirmed.front().resourceId == purpose.resourceId) {
        LOG_INFO << "succeeded to set " << purpose.resourceId << "to" << purpose.state;
        return true;
    }
    LOG_ERROR << "failed to set " << purpose.resourceId;
    return false;
}

// ---- the upload check's thread and the stop ----

void ConsentBridgeModule::StartUploadCheck() {
    std::lock_guard lock(uploadMutex);
    if (stopped || uploadAsked || uploadRunning) return;
    uploadAsked = true;
    if (!uploadThread.joinable()) {
        try {
            uploadThread = std::thread([this] { UploadLoop(); });
        } catch (const std::exception& e) {
            uploadAsked = false;
            LOG_ERROR << "ConsentBridgeModule: cannot start the upload check: " << e.what();
            return;
        }
    }
    uploadChanged.notify_all();
}

bool ConsentBridgeModule::WaitForUploadCheck(std::chrono::milliseconds timeout) {
    std::unique_lock lock(uploadMutex);
    return uploadChanged.wait_for(lock, timeout, [this] { return !uploadAsked && !uploadRunning; });
}

void ConsentBridgeModule::UploadLoop() {
    platform::SetCurrentThreadName("zelko-consent");
    std::unique_lock lock(uploadMutex);
    while (true) {
        uploadChanged.wait(lock, [this] { return stopped || uploadAsked; });
        if (stopped) break;
        uploadAsked = false;
        uploadRunning = true;
        lock.unlock();
        if (IsConsentValid()) Process();
        lock.lock();
        uploadRunning = false;
        uploadChanged.notify_all();
    }
    uploadAsked = false;
    uploadChanged.notify_all();
}

void ConsentBridgeModule::Stop() {
    {
        std::lock_guard lock(uploadMutex);
        stopped = true;
    }
    uploadChanged.notify_all();
    cancel->Cancel();
    stopWaiter.NotifyAll();
    std::lock_guard join(joinMutex);
    if (uploadThread.joinable()) uploadThread.join();
}

}  // namespace zelko::plenar::agent
