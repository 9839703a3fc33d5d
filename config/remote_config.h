#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config/base_config.h"
#include "config/grants.h"
#include "config/registry_monitor.h"
#include "config/shadow_channel.h"
#include "outside/error/error.h"
#include "outside/iot/payload.h"

namespace zelko::plenar::config {

// A configuration whose "data" the cloud delivers as a named, versioned shadow: fetched on request
// or pushed on a topic, accepted only when its version grew, kept in a state file beside the
// executable ("<shadow>-state.json") and in the configuration file, and announced to the owner
// after every save. With the registry watch it also follows the consent policy key and, while
// consent holds, adds the telemetry grant to "data"."grants".
//
// Reached from the owner's thread (Fetch, Subscribe), the IoT client's thread (pushed documents)
// and the registry monitor's thread; one recursive lock (the base's) guards the documents.
class RemoteConfig : public BaseConfig {
    // Only Create builds one: the registry watch must not deliver before the owning pointer exists.
    class Token {
        Token() = default;
        friend class RemoteConfig;
    };

  public:
    using ChangeCallback = std::function<void(std::shared_ptr<BaseConfig>)>;

    // The grant that consent adds to the delivered grants.
    static constexpr const char* kTelemetryGrant = config::kTelemetryGrant;
    // Key under HKEY_LOCAL_MACHINE watched for consent changes, with its subtree.
    static constexpr const char* kConsentKey = "SOFTWARE\\Policies\\Zelko\\Consent";

    // Loads the configuration file (folder/subFolder/name + "-config.json") and the state file,
    // applies the stored shadow and, with registryWatch, starts the registry watch. Writes no
    // configuration file. connectivity must not be null.
    static std::shared_ptr<RemoteConfig> Create(const std::string& name, const std::string& shadowName,
                                                std::shared_ptr<IShadowChannel> connectivity,
                                                const std::string& listenTopic, bool registryWatch,
                                                ChangeCallback onChange,
                                                const nlohmann::ordered_json& defaultData,
                                                const std::filesystem::path& folder,
                                                const std::string& subFolder);

    RemoteConfig(Token, const std::string& name, const std::string& shadowName,
                 std::shared_ptr<IShadowChannel> connectivity, const std::string& listenTopic,
                 bool registryWatch, ChangeCallback onChange, const nlohmann::ordered_json& defaultData,
                 const std::filesystem::path& folder, const std::string& subFolder);
    ~RemoteConfig() override;

    // Applies the shadow, writes the file and calls the owner back (whatever the write's result).
    shared::error::Error SaveFile() override;
    // Fetches the shadow and applies it. A failed fetch is recorded as "agent_error", saved, and
    // its Error returned unchanged; a document that is not JSON raises.
    virtual shared::error::Error Fetch();
    // Subscribes to the listen topic (when there is one), then starts the registry watch.
    shared::error::Error Subscribe();
    // Starts a fresh registry watch in place of the current one (with the registry watch only).
    shared::error::Error SubscribeToRegistryChanges();

    // A pushed document. Never raises: a failure is logged and recorded as "agent_error".
    void OnTopicChange(shared::iot::Payload payload);
    // The registry monitor's callbacks. Never raise.
    void OnRegistyChange(agent::RegistryData data);
    void OnRegistyFailure(shared::error::Error error);

    const std::string& ShadowName() const { return shadowName; }
    // Empty: the configuration is not pushed on a topic.
    const std::string& ListenTopic() const { return listenTopic; }

    bool IsNewVersionOfShadow(const nlohmann::json& document);
    void ApplyShadow();
    static bool IsValidShadowFormat(const nlohmann::json& document);
    void LoadPersistedSate();
    void SavePersistedSate();

  private:
    struct RetryState;
    // One per monitor created; guarded by the lock. Lets a failure reported before the monitor
    // is installed (or after it was replaced) be told apart from one of the current monitor.
    struct MonitorSlot {
        bool failed = false;
    };

    // Applies one received document; false when nothing is to be saved.
    bool HandleDocument(const std::string& text, const char* noChangeText);
    bool ConsentRule();
    bool GrantRuleHolds();
    void RecordAgentError(std::exception_ptr exception, const char* origin);
    // A null slot stands for the current monitor.
    void OnMonitorFailure(const std::shared_ptr<MonitorSlot>& slot, shared::error::Error error);
    void ScheduleRegistryRetry();
    void RestartRegistryWatch();
    static void RetryLoop(std::shared_ptr<RetryState> retry, std::weak_ptr<BaseConfig> owner);

    std::string shadowName;
    nlohmann::json shadow;
    bool consentValid = false;
    std::shared_ptr<IShadowChannel> connectivity;
    std::string listenTopic;
    bool registryWatch = false;
    std::shared_ptr<agent::RegistryMonitor> registryMonitor;
    ChangeCallback onChange;
    nlohmann::json state;
    std::filesystem::path statePath;

    std::shared_ptr<MonitorSlot> monitorSlot;
    // Failed monitors wait here until another thread releases them (never their own).
    std::vector<std::shared_ptr<agent::RegistryMonitor>> retiredMonitors;
    std::shared_ptr<RetryState> retry;
};

// The topic callback handed to the IoT client; context is the RemoteConfig. Never raises.
void RemoteConfigTopicCallback(shared::iot::Payload payload, void* context);

}  // namespace zelko::plenar::config
