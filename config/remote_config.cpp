#include "config/remote_config.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "config/file_replace.h"
#include "foundation/error_conversion.h"
#include "foundation/iot_failure_text.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils_files.h"
#include "foundation/utils_strings.h"
#include "platform/clock.h"
#include "platform/last_error.h"

namespace zelko::plenar::config {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;
using shared::error::Error;
using shared::error::ErrorCategory;

namespace {

constexpr int64_t kRegistryRetryDelay = 5 * platform::kTicksPerSecond;

// The object at key, or null when the key is missing or null (the lookup makes an object of it);
// false when something else is there.
bool ObjectOrMissing(const json& parent, const char* key, const json*& child) {
    auto it = parent.find(key);
    child = it == parent.end() || it->is_null() ? nullptr : &*it;
    return child == nullptr || child->is_object();
}

// Whether a stored shadow has the shape every later step relies on: an object whose "state" and
// "state"."desired", where present and not null, are objects. Anything else would fail every start.
bool IsUsableStoredShadow(const json& shadow) {
    const json* state = nullptr;
    const json* desired = nullptr;
    return shadow.is_object() && ObjectOrMissing(shadow, "state", state) &&
           (state == nullptr || ObjectOrMissing(*state, "desired", desired));
}

// Whether the text is the JSON null alone, which the settings parser's refusal cannot be told from.
bool IsNullText(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first != std::string::npos && text.compare(first, last - first + 1, "null") == 0;
}

constexpr const char* kFetchNoChange =
    "Fetch - No change in shadow version detected. JSON file will not be saved and 1E will not be notified.";
constexpr const char* kTopicNoChange =
    "OnTopicChange - No change in shadow version detected. JSON file will not be saved and 1E will not be "
    "notified.";
constexpr const char* kResetAgentError =
    "Fetch - No change in shadow version detected, but agent_error should be reset. JSON file will be saved "
    "and "
    "1E will be notified.";

// Error texts carry what peers sent; stored ones must stay valid UTF-8 for the JSON writer.
std::string ErrorText(const Error& error) {
    return agent::Utils::EscapeInvalidUtf8(agent::error::ErrorToString(error));
}

// A version as a signed 64-bit number; fractions are cut toward zero and values out of range are
// held at the range's ends. Anything but a number raises the library's type error.
int64_t VersionOf(const json& version) {
    if (version.is_number_float()) {
        double value = version.get<double>();
        if (std::isnan(value)) return 0;
        if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
        if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(value);
    }
    if (version.is_number_unsigned() &&
        version.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())) {
        return std::numeric_limits<int64_t>::max();
    }
    return version.get<int64_t>();
}

}  // namespace

struct RemoteConfig::RetryState {
    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    bool running = false;
    std::optional<int64_t> deadline;
};

std::shared_ptr<RemoteConfig> RemoteConfig::Create(const std::string& name, const std::string& shadowName,
                                                   std::shared_ptr<IShadowChannel> connectivity,
                                                   const std::string& listenTopic, bool registryWatch,
                                                   ChangeCallback onChange, const ordered_json& defaultData,
                                                   const fs::path& folder, const std::string& subFolder) {
    auto config =
        std::make_shared<RemoteConfig>(Token(), name, shadowName, std::move(connectivity), listenTopic,
                                       registryWatch, std::move(onChange), defaultData, folder, subFolder);
    if (registryWatch) {
        config->SubscribeToRegistryChanges();
        std::lock_guard lock(config->mutex);
        config->ApplyShadow();
    }
    return config;
}

RemoteConfig::RemoteConfig(Token, const std::string& name, const std::string& shadowName_,
                           std::shared_ptr<IShadowChannel> connectivity_,
                           const std::string& listenTopic_, bool registryWatch_, ChangeCallback onChange_,
                           const ordered_json& defaultData, const fs::path& folder,
                           const std::string& subFolder)
    : BaseConfig(name, defaultData, folder, subFolder),
      shadowName(shadowName_),
      shadow(json::object()),
      connectivity(std::move(connectivity_)),
      listenTopic(listenTopic_),
      registryWatch(registryWatch_),
      onChange(std::move(onChange_)),
      state(json::object()),
      retry(std::make_shared<RetryState>()) {
    if (!connectivity) throw std::invalid_argument("RemoteConfig needs a connectivity module");
    BaseConfig::LoadFile();
    if (!config.is_object()) {
        // A file that holds no object would make every later step fail; the default serves instead.
        LOG_WARNING << "Remote config file does not hold a JSON object, using the default: "
                    << filePath.string();
        config = defaultData;
    }
    LoadPersistedSate();
    consentValid = ConsentRule();
    ApplyShadow();
}

RemoteConfig::~RemoteConfig() {
    if (!listenTopic.empty()) {
        try {
            connectivity->Unsub(listenTopic, shadowName);
        } catch (...) {
            LOG_ERROR << "Failed to unsubscribe from " << listenTopic;
        }
    }
    {
        std::lock_guard lock(retry->mutex);
        retry->stop = true;
    }
    retry->cv.notify_all();
    // Released outside the lock: each waits for its thread, which may be waiting for the lock.
    std::shared_ptr<agent::RegistryMonitor> monitor;
    std::vector<std::shared_ptr<agent::RegistryMonitor>> retired;
    {
        std::lock_guard lock(mutex);
        monitor = std::move(registryMonitor);
        retired.swap(retiredMonitors);
    }
    monitor.reset();
    retired.clear();
}

Error RemoteConfig::SaveFile() {
    std::lock_guard lock(mutex);
    ApplyShadow();
    Error result = BaseConfig::SaveFile();
    // The owner reads the file it is told of: a save that failed is not announced.
    if (!result && onChange) {
        if (auto self = weak_from_this().lock()) onChange(self);
    }
    return result;
}

Error RemoteConfig::Fetch() {
    LOG_INFO << "Remote config - Fetch " << shadowName;
    std::string content;
    // The network call runs without the lock.
    Error fetched = connectivity->GetShadow(shadowName, content);
    std::lock_guard lock(mutex);
    if (fetched) {
        std::string text = ErrorText(fetched);
        LOG_ERROR << "Error while fetching the shadow: " << text;
        config["agent_error"] = text;
    } else if (!HandleDocument(content, kFetchNoChange)) {
        return {};
    }
    if (registryWatch && registryMonitor) consentValid = ConsentRule();
    SaveFile();
    return fetched;
}

Error RemoteConfig::Subscribe() {
    LOG_INFO << "Entering RemoteConfig subscribe...";
    if (listenTopic.empty()) return SubscribeToRegistryChanges();
    LOG_INFO << "subscribing to listen topic " << listenTopic << "shadow name:" << shadowName;
    shared::iot::IoTResult result =
        connectivity->Sub(listenTopic, shadowName, RemoteConfigTopicCallback, this);
    if (result.httpCode != 0 || result.iotCode != 0 || result.error) {
        return Error(ErrorCategory::EC_Component, -1,
                     agent::MakeIotFailureText(result.httpCode, result.iotCode, result.error), "int", "");
    }
    return SubscribeToRegistryChanges();
}

Error RemoteConfig::SubscribeToRegistryChanges() {
    if (!registryWatch) return {};
    LOG_INFO << "Listening for registry changes...";
    auto slot = std::make_shared<MonitorSlot>();
    std::shared_ptr<agent::RegistryMonitor> fresh;
    try {
        std::weak_ptr<BaseConfig> owner = weak_from_this();
        // The callbacks hold the configuration only while they run, so it can go away meanwhile.
        auto on_change = [owner](agent::RegistryData data) {
            if (auto self = owner.lock()) static_cast<RemoteConfig&>(*self).OnRegistyChange(std::move(data));
        };
        auto on_error = [owner, slot](Error error) {
            if (auto self = owner.lock())
                static_cast<RemoteConfig&>(*self).OnMonitorFailure(slot, std::move(error));
        };
        fresh = std::make_shared<agent::RegistryMonitor>(
            kConsentKey, std::vector<std::pair<std::string, std::string>>{}, on_change, on_error);
    } catch (const std::exception& e) {
        Error error = agent::error::ErrorFromStdException(e, "Remote Config");
        LOG_ERROR << ErrorText(error);
        return error;
    }
    std::shared_ptr<agent::RegistryMonitor> replaced;
    bool failed_already = false;
    {
        std::lock_guard lock(mutex);
        replaced = std::move(registryMonitor);
        registryMonitor = std::move(fresh);
        monitorSlot = slot;
        // Its thread may have failed before the monitor got here: give it up as it would have been.
        if (slot->failed) {
            retiredMonitors.push_back(std::move(registryMonitor));
            monitorSlot.reset();
            failed_already = true;
        }
    }
    // Outside the lock: releasing waits for the old monitor's thread, which may wait for the lock.
    replaced.reset();
    if (failed_already) ScheduleRegistryRetry();
    return {};
}

void RemoteConfig::OnTopicChange(shared::iot::Payload payload) {
    // Held for the whole handling, so the last owner letting go meanwhile does not end it halfway.
    auto self = weak_from_this().lock();
    if (!self) return;
    try {
        std::lock_guard lock(mutex);
        if (payload.GetError()) {
            std::string text = ErrorText(payload.GetError());
            LOG_ERROR << "Error while receiving the payload: " << text;
            config["agent_error"] = text;
        } else {
            LOG_DEBUG << "on topic change: " << payload.GetTopic() << "conmtent:" << payload.GetContent();
            if (!HandleDocument(payload.GetContent(), kTopicNoChange)) return;
        }
        SaveFile();
    } catch (...) {
        RecordAgentError(std::current_exception(), "RemoteConfig::OnTopicChange");
    }
}

void RemoteConfig::OnRegistyChange(agent::RegistryData data) {
    try {
        std::lock_guard lock(mutex);
        LOG_DEBUG << "OnRegistyChange: sub key: " << data.sub_key << "Value: " << data.value;
        bool consent = ConsentRule();
        if (consent != consentValid) {
            consentValid = consent;
            SaveFile();
        }
    } catch (...) {
        RecordAgentError(std::current_exception(), "RemoteConfig::OnRegistyChange");
    }
}

void RemoteConfig::OnRegistyFailure(Error error) { OnMonitorFailure(nullptr, std::move(error)); }

void RemoteConfig::OnMonitorFailure(const std::shared_ptr<MonitorSlot>& slot, Error error) {
    try {
        LOG_ERROR << "OnRegistyFailure: " << ErrorText(error);
        {
            std::lock_guard lock(mutex);
            if (slot) {
                slot->failed = true;
                // Not installed yet (the installer gives it up) or replaced already (nothing to do).
                if (slot != monitorSlot) return;
            }
            // Given up here but released elsewhere: this runs on the failed monitor's own thread.
            if (registryMonitor) retiredMonitors.push_back(std::move(registryMonitor));
            monitorSlot.reset();
        }
        ScheduleRegistryRetry();
    } catch (...) {
        RecordAgentError(std::current_exception(), "RemoteConfig::OnRegistyFailure");
    }
}

void RemoteConfig::ScheduleRegistryRetry() {
    {
        std::lock_guard lock(retry->mutex);
        if (retry->stop) return;
        retry->deadline = platform::NowTicks() + kRegistryRetryDelay;
        if (!retry->running) {
            retry->running = true;
            // Detached: it holds the configuration only while it restarts the watch, so the
            // configuration never waits for it.
            std::thread(&RemoteConfig::RetryLoop, retry, weak_from_this()).detach();
        }
        retry->cv.notify_all();
    }
    LOG_DEBUG << "Registry watch restarts in 5 seconds";
}

void RemoteConfig::RetryLoop(std::shared_ptr<RetryState> retry, std::weak_ptr<BaseConfig> owner) {
    // A fake clock moving on must wake the wait.
    int listener = platform::RegisterClockListener([retry] {
        std::lock_guard lock(retry->mutex);
        retry->cv.notify_all();
    });
    std::unique_lock lock(retry->mutex);
    while (!retry->stop) {
        if (!retry->deadline) {
            retry->cv.wait(lock);
            continue;
        }
        int64_t now = platform::NowTicks();
        if (now < *retry->deadline) {
            retry->cv.wait_for(lock, std::chrono::microseconds((*retry->deadline - now) / 10));
            continue;
        }
        retry->deadline.reset();
        lock.unlock();
        try {
            if (auto self = owner.lock()) static_cast<RemoteConfig&>(*self).RestartRegistryWatch();
        } catch (...) {
            LOG_ERROR << "Failed to restart the registry watch";
        }
        lock.lock();
    }
    lock.unlock();
    platform::RemoveClockListener(listener);
}

void RemoteConfig::RestartRegistryWatch() {
    std::vector<std::shared_ptr<agent::RegistryMonitor>> retired;
    {
        std::lock_guard lock(mutex);
        retired.swap(retiredMonitors);
        // Someone subscribed again meanwhile: that watch stays.
        if (registryMonitor) return;
    }
    // Their threads ended after reporting; this is not one of them.
    retired.clear();
    SubscribeToRegistryChanges();
}

bool RemoteConfig::IsNewVersionOfShadow(const json& document) {
    int64_t current = 0;
    int64_t incoming = 0;
    try {
        if (shadow.is_object() && shadow.contains("version")) current = VersionOf(shadow["version"]);
        if (document.is_object() && document.contains("version")) incoming = VersionOf(document["version"]);
    } catch (const json::exception& e) {
        LOG_WARNING << "Error while parsing version " << e.what();
    }
    if (incoming > current) return true;
    LOG_WARNING << "Shadow event is outdated and will be discarded.";
    return false;
}

void RemoteConfig::ApplyShadow() {
    std::lock_guard lock(mutex);
    config["data"] = ordered_json(shadow["state"]["desired"]["data"]);
    if (!GrantRuleHolds()) return;
    ordered_json& data = config["data"];
    // Only an object (or nothing) can carry a grants list, and only a list can take the grant.
    if (!data.is_object() && !data.is_null()) return;
    if (!data.contains("grants")) data["grants"] = ordered_json::array();
    ordered_json& grants = data["grants"];
    if (grants.is_null()) grants = ordered_json::array();
    if (!grants.is_array()) return;
    for (const ordered_json& grant : grants) {
        if (grant == kTelemetryGrant) return;
    }
    grants.push_back(kTelemetryGrant);
}

bool RemoteConfig::IsValidShadowFormat(const json& document) {
    if (!document.is_object()) return false;
    auto state = document.find("state");
    if (state == document.end() || !state->is_object()) return false;
    auto desired = state->find("desired");
    return desired != state->end() && desired->is_object() && desired->contains("data");
}

void RemoteConfig::LoadPersistedSate() {
    state = json::object();
    fs::path folder = agent::Utils::GetExecutableDirectory();
    if (folder.empty() || !fs::exists(folder)) {
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << errno;
        return;
    }
    statePath = folder / (shadowName + "-state.json");
    bool read = false;
    std::ifstream in(statePath, std::ios::binary);
    if (in.is_open()) {
        try {
            json parsed = json::parse(in);
            if (parsed.is_object()) {
                state = std::move(parsed);
                read = true;
            } else {
                LOG_VERBOSE << "Cannot load the state config file (" << statePath.string()
                            << ") - GetLastError: " << errno;
                LOG_VERBOSE << "The state config file does not hold a JSON object";
            }
        } catch (const std::exception& e) {
            LOG_VERBOSE << "Cannot load the state config file (" << statePath.string()
                        << ") - GetLastError: " << errno;
            LOG_VERBOSE << e.what();
        }
    } else {
        LOG_VERBOSE << "Cannot open the state config file (" << statePath.string()
                    << ") - GetLastError: " << errno;
    }
    in.close();
    auto stored = state.find("shadow_data");
    if (stored != state.end() && !IsUsableStoredShadow(*stored)) {
        LOG_WARNING << "The state config file holds a shadow that cannot be used, starting without it: "
                    << statePath.string();
        state.erase(stored);
        read = false;
    }
    if (!read) SavePersistedSate();
    stored = state.find("shadow_data");
    shadow = stored != state.end() ? *stored : json::object();
}

void RemoteConfig::SavePersistedSate() {
    try {
        if (statePath.empty()) throw std::system_error(ENOENT, std::system_category(), "no state file path");
        // Compact: indentation would make a deep document many times its own size.
        ReplaceFileContent(statePath, state.dump());
    } catch (const std::system_error& e) {
        // The system's error number, so a full disk is said as one.
        LOG_ERROR << "Cannot save the state config file - GetLastError: "
                  << platform::ErrorFromErrno(e.code().value());
    } catch (const std::exception& e) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: " << platform::ErrorFromErrno(errno)
                  << " " << e.what();
    }
}

bool RemoteConfig::HandleDocument(const std::string& text, const char* noChangeText) {
    json document = agent::Settings::Parse(text, "The shadow " + shadowName);
    if (document.is_null() && !IsNullText(text)) {
        // Text that is not JSON raises as it always did.
        if (!json::accept(text)) document = json::parse(text);
        // Nested too deep: refused as damaged, so it never grows into the state file; the stored
        // shadow stays.
        config["agent_error"] = ErrorText(Error(ErrorCategory::EC_Component, -2, "Invalid shadow format", "int",
                                                "RemotConfig::OnTopicChange"));
        return true;
    }
    if (!IsValidShadowFormat(document)) {
        shadow["state"]["desired"]["data"] = document;
        config["agent_error"] = ErrorText(Error(ErrorCategory::EC_Component, -2, "Invalid shadow format",
                                                "int", "RemotConfig::OnTopicChange"));
        return true;
    }
    if (IsNewVersionOfShadow(document)) {
        config.erase("agent_error");
        shadow = document;
        state["shadow_data"] = document;
        SavePersistedSate();
        return true;
    }
    if (!config.contains("agent_error")) {
        LOG_DEBUG << noChangeText;
        return false;
    }
    LOG_DEBUG << kResetAgentError;
    config.erase("agent_error");
    return true;
}

bool RemoteConfig::ConsentRule() { return connectivity->IsCorvaneDevice() || connectivity->IsValidConsent(); }

bool RemoteConfig::GrantRuleHolds() { return registryWatch && registryMonitor && consentValid; }

void RemoteConfig::RecordAgentError(std::exception_ptr exception, const char* origin) {
    std::string text = ErrorText(agent::error::ErrorFromException(exception, origin));
    LOG_ERROR << origin << " failed: " << text;
    try {
        std::lock_guard lock(mutex);
        config["agent_error"] = text;
        SaveFile();
    } catch (const std::exception& e) {
        LOG_ERROR << origin << " could not record the failure: " << e.what();
    } catch (...) {
        LOG_ERROR << origin << " could not record the failure";
    }
}

void RemoteConfigTopicCallback(shared::iot::Payload payload, void* context) {
    try {
        if (context != nullptr) static_cast<RemoteConfig*>(context)->OnTopicChange(payload);
    } catch (...) {
        LOG_ERROR << "Remote config topic callback failed";
    }
}

}  // namespace zelko::plenar::config
