#pragma once

// The remote configurations the agent follows: the fetch and subscribe tasks of each, the agent's
// own configuration document that lists the others, the change callback of those marked "notify",
// and the grant and policy events drawn from the grants and policies configurations.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/scheduler.h"
#include "outside/error/error.h"
#include "state_machine/module_set.h"
#include "state_machine/service_state.h"

namespace zelko::plenar::config {
class BaseConfig;
class RemoteConfig;
}  // namespace zelko::plenar::config

namespace zelko::plenar::agent {

class RemoteConfigs;

// The fetch and subscribe tasks of one remote configuration.
class RemoteConfigStates : public std::enable_shared_from_this<RemoteConfigStates> {
  public:
    using FetchCallback = std::function<void(std::weak_ptr<RemoteConfigStates>, shared::error::Error)>;
    // Binds the two tasks (shadow name + "_fetch" and "_sub") to their policies and their work;
    // runs nothing. The callback, when set, gets every fetch result. Raises std::bad_weak_ptr
    // unless the object is already owned by a shared pointer.
    void Init(RemoteConfigs* owner, std::shared_ptr<config::RemoteConfig> remote_config, FetchCallback callback);

    ServiceTask fetch_task;
    ServiceTask sub_task;
    std::shared_ptr<config::RemoteConfig> config;
};

class RemoteConfigs {
  public:
    // What the remote configurations need of the service around them.
    struct Host {
        std::function<bool(const char* state)> is_current;
        // "GettingIotCreds" or "Discovery": the move there, and that state's next delay (100-ns ticks).
        std::function<void(const char* state)> set_state;
        std::function<void(const char* state, int64_t& ticks)> next_delay;
        std::function<void(std::function<void()> work)> run_on_network;
        std::function<bool()> credentials_ready;
        std::function<void()> reset_enrollment;
        std::function<void()> require_reenrollment;
        // A string of the main configuration.
        std::function<std::string(const char* key, const std::string& default_value)> config_string;
        // The policies are subscribed: the Corvane enrollment starts, once.
        std::function<void()> policies_subscribed;
        std::function<void(uint32_t control, const void* data, uint64_t size)> send_event;
        std::function<void()> schedule_connection_transition;
        std::function<std::string()> device_snr;
        std::function<std::filesystem::path()> executable_folder;
        std::function<nlohmann::json()> retry_config;
        // Keeps the two grant flags in the persisted service state.
        std::function<void(bool prev_grant, bool req_grant_event)> save_grant_flags;
    };
    using States = std::map<std::string, std::shared_ptr<RemoteConfigStates>>;

    // Neither the scheduler nor the module set is used before the first call.
    RemoteConfigs(Scheduler& scheduler, ModuleSet& modules, Host host);
    RemoteConfigs(const RemoteConfigs&) = delete;
    RemoteConfigs& operator=(const RemoteConfigs&) = delete;

    // The default document of "tavragent-config"; devices with persistent connections say so.
    static nlohmann::json TavragentConfigDefault(bool corvane_device);
    // The module set-up step: the configuration service and the agent configuration in it.
    void Init();
    // The agent configuration's fetch task, built anew; empty without the agent configuration.
    std::function<void()> NewAgentConfigFetch();
    // Posts the subscription of every configuration that has a topic.
    void PostSubscriptions();
    // Posts one fetch of every configuration, outside its task's retry policy.
    void Refetch();
    // Lets go of every configuration's tasks (the modules are being released).
    void Drop();

    // The handler of every fetch of the agent's own configuration: connection mode, then every
    // other remote configuration with its tasks, built anew.
    void ApplyAgentConfig(std::weak_ptr<RemoteConfigStates> states, shared::error::Error error);
    // The "data"."config" object of an agent configuration document; the built-in one while no
    // document has been received ("data" missing or null) and, logged, when it is damaged ("data"
    // or its "config" not an object).
    nlohmann::json AgentConfigOf(const nlohmann::json& document) const;
    // The change callback of a configuration marked "notify"; posts its work to the worker.
    std::function<void(std::shared_ptr<config::BaseConfig>)> OnRemoteConfigChanged(const std::string& registry_name);
    void RemoteConfigChangedWork(const std::shared_ptr<config::RemoteConfig>& changed, const std::string& registry_name);
    std::string MapJobName(const std::string& name) const;
    std::string MapPrimaryJobName(const std::string& name) const;
    void SendCorvaneEventIfNeeded(std::shared_ptr<config::RemoteConfig> changed);
    bool IsFeatureEnabled();
    // The two procedures of a remote configuration's tasks.
    void FetchRemoteConfig(const std::weak_ptr<RemoteConfigStates>& weak, const RemoteConfigStates::FetchCallback& callback);
    void SubscribeRemoteConfig(const std::weak_ptr<RemoteConfigStates>& weak);

    const std::string& GrantsName() const { return _corvane_grants_name; }
    const std::string& PoliciesName() const { return _corvane_policies_name; }
    // The configurations followed, by shadow name, and the agent configuration's own tasks.
    const States& Following() const { return _remote_config_states; }
    void Follow(const std::string& shadow, std::shared_ptr<RemoteConfigStates> states);
    void Unfollow(const std::string& shadow) { _remote_config_states.erase(shadow); }
    std::shared_ptr<RemoteConfigStates> AgentConfigStates() const { return _tavragent_config_states; }
    void SetAgentConfigStates(std::shared_ptr<RemoteConfigStates> states);
    // Whether the grants and the policies are subscribed; worker only.
    bool GrantsSubscribed() const { return _grants_subscribed; }
    bool PoliciesSubscribed() const { return _policies_subscribed; }
    void SetSubscribed(bool grants, bool policies);
    // The grant seen last and whether its event is still owed; read back from the persisted state.
    bool PrevGrant() const { return _prev_grant; }
    bool GrantEventRequested() const { return _req_grant_event; }
    void SetGrantFlags(bool prev_grant, bool req_grant_event);

  private:
    friend class RemoteConfigStates;

    Scheduler& _scheduler;
    ModuleSet& _modules;
    Host _host;
    std::string _corvane_grants_name = "corvane-grants";
    std::string _corvane_policies_name = "corvane-policies";
    std::shared_ptr<RemoteConfigStates> _tavragent_config_states;
    States _remote_config_states;
    bool _grants_subscribed = false;
    bool _policies_subscribed = false;
    bool _prev_grant = false;
    bool _req_grant_event = false;
};

}  // namespace zelko::plenar::agent
