// The remote configurations the agent follows: the fetch and subscribe tasks of each, the agent's
// own configuration document that lists the others, the change callback of those marked "notify",
// and the grant and policy events drawn from the grants and policies configurations.

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/config_service.h"
#include "config/grants.h"
#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils_time.h"
#include "jobs/install_component.h"
#include "service/remote_configs.h"
#include "state_machine/error_tests.h"

namespace zelko::plenar::agent {

namespace {

using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;

constexpr uint32_t kGrantEvent = 210;
constexpr uint32_t kAcmBkcOn = 410;
constexpr uint32_t kAcmBkcOff = 411;
constexpr uint32_t kAcmPolicies = 420;
constexpr uint32_t kOneEBkcOn = 510;
constexpr uint32_t kOneEBkcOff = 511;
constexpr uint32_t kOneEPolicies = 512;

constexpr int64_t kFiveMinutes = 3'000'000'000;
constexpr int64_t kFourHours = 144'000'000'000;
constexpr int64_t kDay = 864'000'000'000;

constexpr char kGrantsShadow[] = "job-corvane-grants";
constexpr char kPoliciesShadow[] = "job-corvane-policies";
constexpr char kRemoteConfigFolder[] = "RemoteConfigs";
constexpr char kTavragentConfigName[] = "tavragent-config";

// A configuration name becomes a file name: no separators, no "..", not empty, no control characters.
bool IsSafeName(const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos) return false;
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

bool IsShadowNotFound(const Error& error) {
    const std::string& text = error.what();
    return error.category() == ErrorCategory::EC_Component && text.size() >= 15 &&
           text.find("\"http_code\":404") != std::string::npos;
}

// The configurations that the run conditions of a job's kept services refer to.
std::set<std::string> JobConfigNames(const InstallComponent& job) {
    std::set<std::string> names;
    const json& params = job.validationParams;
    if (!params.is_object() || !params.contains("services") || !params["services"].is_array()) return names;
    for (const auto& service : params["services"]) {
        if (!service.is_object() || !service.contains("run_cond") || !service["run_cond"].is_string()) continue;
        const json condition = json::parse(service["run_cond"].get<std::string>(), nullptr, false);
        if (!condition.is_object() || !condition.contains("confgs") || !condition["confgs"].is_object()) continue;
        for (const auto& [name, variables] : condition["confgs"].items()) names.insert(name);
    }
    return names;
}

}  // namespace

RemoteConfigs::RemoteConfigs(Scheduler& scheduler, ModuleSet& modules, Host host)
    : _scheduler(scheduler), _modules(modules), _host(std::move(host)) {}

json RemoteConfigs::TavragentConfigDefault(bool corvane_device) {
    auto document = json::parse(
        R"({"version": 1, "data": {"config": {"conn": "mq", "rjs": [{"name": "job-1e-install", "ival": "720", "ts": "1709904065"}]}}})");
    if (corvane_device) document["data"]["config"]["conn"] = "pers_mq";
    return document;
}

void RemoteConfigs::Init() {
    const auto tavragent_default =
        TavragentConfigDefault(_modules.conn_module && _modules.conn_module->isCorvaneDevice);

    _modules.config_service = std::make_shared<config::ConfigService>();

    LOG_INFO << "Initiating Remote config with tavragent-config topic...";
    _modules.tavragent_config = config::RemoteConfig::Create(
        kTavragentConfigName, kTavragentConfigName, _modules.conn_module, "", false, nullptr,
        nlohmann::ordered_json(tavragent_default), _host.executable_folder(), kRemoteConfigFolder);
    _modules.config_service->RegisterConfig(kTavragentConfigName, _modules.tavragent_config);
}

std::function<void()> RemoteConfigs::NewAgentConfigFetch() {
    if (!_modules.tavragent_config) return {};
    _tavragent_config_states = std::make_shared<RemoteConfigStates>();
    _tavragent_config_states->Init(this, _modules.tavragent_config,
                                   [this](std::weak_ptr<RemoteConfigStates> states, Error error) {
                                       ApplyAgentConfig(std::move(states), std::move(error));
                                   });
    std::weak_ptr<RemoteConfigStates> states = _tavragent_config_states;
    return [states] {
        if (auto held = states.lock()) held->fetch_task.Perform();
    };
}

void RemoteConfigs::PostSubscriptions() {
    for (const auto& [name, states] : _remote_config_states) {
        if (!states || !states->config || states->config->ListenTopic().empty()) continue;
        std::weak_ptr<RemoteConfigStates> entry = states;
        _scheduler.In(Duration::zero(), [entry] {
            if (auto held = entry.lock()) held->sub_task.Perform();
        });
    }
}

void RemoteConfigs::Refetch() {
    LOG_INFO << "Awake from sleep, refetch called for all the remote configs";
    for (const auto& [name, states] : _remote_config_states) {
        std::weak_ptr<RemoteConfigStates> entry = states;
        _scheduler.In(Duration::zero(), [entry] {
            // Once, outside the fetch task's retry policy; an entry removed meanwhile is skipped.
            if (auto held = entry.lock()) held->fetch_task.Perform();
        });
    }
}

void RemoteConfigs::Drop() {
    _remote_config_states.clear();
    _tavragent_config_states.reset();
}

void RemoteConfigs::Follow(const std::string& shadow, std::shared_ptr<RemoteConfigStates> states) {
    _remote_config_states[shadow] = std::move(states);
}

void RemoteConfigs::SetAgentConfigStates(std::shared_ptr<RemoteConfigStates> states) {
    _tavragent_config_states = std::move(states);
}

void RemoteConfigs::SetSubscribed(bool grants, bool policies) {
    _grants_subscribed = grants;
    _policies_subscribed = policies;
}

void RemoteConfigs::SetGrantFlags(bool prev_grant, bool req_grant_event) {
    _prev_grant = prev_grant;
    _req_grant_event = req_grant_event;
}

// ---- the tasks of one remote configuration ----

void RemoteConfigStates::Init(RemoteConfigs* owner, std::shared_ptr<config::RemoteConfig> remote_config,
                                       FetchCallback callback) {
    std::weak_ptr<RemoteConfigStates> weak = shared_from_this();
    config = std::move(remote_config);
    const json retry_config = owner->_host.retry_config();
    const auto folder = owner->_host.executable_folder();
    fetch_task.InitTask(config->ShadowName() + "_fetch", retry_config, folder);
    fetch_task.Perform = [owner, weak, callback = std::move(callback)] { owner->FetchRemoteConfig(weak, callback); };
    sub_task.InitTask(config->ShadowName() + "_sub", retry_config, folder);
    sub_task.Perform = [owner, weak] { owner->SubscribeRemoteConfig(weak); };
}

void RemoteConfigs::FetchRemoteConfig(const std::weak_ptr<RemoteConfigStates>& weak,
                                const RemoteConfigStates::FetchCallback& callback) {
    auto states = weak.lock();
    if (!states) return;
    const std::string shadow = states->config->ShadowName();
    LOG_INFO << "Fetching Remote Config " << shadow;
    const Error result = states->config->Fetch();
    if (callback) callback(weak, result);

    auto fetch_again = [weak] {
        if (auto held = weak.lock()) held->fetch_task.Perform();
    };
    if (!result) {
        if (states->config->ListenTopic().empty()) {
            int64_t delay = kDay;
            states->fetch_task.GetNextDelay(delay);
            LOG_INFO << "Fetch will rerun in " << Utils::FormatDuration(delay);
            _scheduler.In(Duration(delay), fetch_again);
        } else if (_host.is_current("Processing") || _host.is_current("RequiredOnStarting")) {
            _scheduler.In(Duration::zero(), [this, weak] {
                if (!_host.is_current("Processing") && !_host.is_current("RequiredOnStarting")) return;
                if (auto held = weak.lock()) held->sub_task.Perform();
            });
        }
        return;
    }

    const std::string error_text = error::ErrorToString(result);
    if (IsShadowNotFound(result)) {
        int64_t delay = kFiveMinutes;
        states->fetch_task.GetNextDelay(delay);
        LOG_INFO << "Fetch shadow not found, will refetch in " << Utils::FormatDuration(delay);
        _scheduler.In(Duration(delay), fetch_again);
    } else if (IsNetworkError(result)) {
        _host.run_on_network(fetch_again);
    } else if (IsRateLimitedError(result) || IsSlowInternetError(result) || IsBadRequestError(result) ||
               IsIotHttpError(result)) {
        int64_t delay = kFourHours;
        states->fetch_task.GetNextDelay(delay);
        LOG_INFO << "Fetch Remote Config " << shadow << " rate-limited, backing off for: "
                 << Utils::FormatDuration(delay) << "  error : " << error_text;
        _scheduler.In(Duration(delay), fetch_again);
    } else if (IsAwsInternetConnectionError(result)) {
        int64_t delay = kFourHours;
        _host.next_delay("GettingIotCreds", delay);
        LOG_INFO << "Fetch Remote Config AwsInternetConnectionError reconnect to iot in: "
                 << Utils::FormatDuration(delay) << "  error: " << error_text;
        _scheduler.In(Duration(delay), [this] {
            if (_host.is_current("Processing")) _host.set_state("GettingIotCreds");
        });
    } else if (!IsTlsError(result)) {
        int64_t delay = kDay;
        states->fetch_task.GetNextDelay(delay);
        LOG_INFO << "Fetch shadow error, will refetch in " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), fetch_again);
    } else if (_host.credentials_ready()) {
        _host.reset_enrollment();
        int64_t delay = kFourHours;
        _host.next_delay("Discovery", delay);
        LOG_INFO << "GettingIotCreds " << shadow << " failed on certificate, Discovery in: "
                 << Utils::FormatDuration(delay) << "  error: " << error_text;
        _host.require_reenrollment();
        _scheduler.In(Duration(delay), [this] {
            if (_host.is_current("Processing")) _host.set_state("Discovery");
        });
    }
    // A TLS error without credentials ends the chain.
}

void RemoteConfigs::SubscribeRemoteConfig(const std::weak_ptr<RemoteConfigStates>& weak) {
    auto states = weak.lock();
    if (!states) return;
    const std::string shadow = states->config->ShadowName();
    if (shadow == kGrantsShadow) {
        _grants_subscribed = false;
    } else if (shadow == kPoliciesShadow) {
        _policies_subscribed = false;
    }
    LOG_INFO << "Subscribing to Remote Config " << shadow;
    Error result;
    if (_host.config_string("sub_type", "sub") == "sub") {
        result = states->config->Subscribe();
    } else {
        LOG_VERBOSE << "Subscribing to Remote Config " << shadow << " is not implemented";
    }

    auto subscribe_again = [weak] {
        if (auto held = weak.lock()) held->sub_task.Perform();
    };
    if (!result) {
        LOG_INFO << "Successfully subscribed to remote config " << shadow << " changes.";
        if (shadow == kGrantsShadow) {
            _grants_subscribed = true;
        } else if (shadow == kPoliciesShadow) {
            _policies_subscribed = true;
        }
        if (_policies_subscribed) _host.policies_subscribed();
        SendCorvaneEventIfNeeded(states->config);
        return;
    }

    const std::string error_text = error::ErrorToString(result);
    if (IsNetworkError(result)) {
        _host.run_on_network(subscribe_again);
    } else if (IsRateLimitedError(result) || IsSlowInternetError(result) || IsBadRequestError(result) ||
               IsIotHttpError(result)) {
        int64_t delay = kFourHours;
        states->fetch_task.GetNextDelay(delay);
        LOG_INFO << "Sub " << shadow << " rate-limited, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), subscribe_again);
    } else if (IsAwsInternetConnectionError(result)) {
        int64_t delay = kFourHours;
        _host.next_delay("GettingIotCreds", delay);
        LOG_INFO << "Sub " << shadow << " failed with AwsInternetConnectionError reconnect to iot in: "
                 << Utils::FormatDuration(delay) << "  error: " << error_text;
        _scheduler.In(Duration(delay), [this] {
            if (_host.is_current("Processing")) _host.set_state("GettingIotCreds");
        });
    } else if (!IsTlsError(result)) {
        states->sub_task.ResetPolicy();
        LOG_INFO << "Sub shadow error, will resub in " << Utils::FormatDuration(kDay) << "  error: " << error_text;
        _scheduler.In(Duration(kDay), subscribe_again);
    } else if (_host.credentials_ready()) {
        _host.reset_enrollment();
        int64_t delay = kFourHours;
        _host.next_delay("Discovery", delay);
        _host.require_reenrollment();
        LOG_INFO << "Sub " << shadow << " failed on certificate, Discovery in: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), [this, weak] {
            if (!weak.expired() && _host.is_current("Processing")) _host.set_state("Discovery");
        });
    }
}

// ---- the agent's own configuration ----

std::string RemoteConfigs::MapJobName(const std::string& name) const {
    if (name == kGrantsShadow) return _corvane_grants_name;
    if (name == kPoliciesShadow) return _corvane_policies_name;
    return name;
}

std::string RemoteConfigs::MapPrimaryJobName(const std::string& name) const {
    if (name == _corvane_grants_name) return "primary-corvane-grants";
    if (name == _corvane_policies_name) return "primary-corvane-policies";
    return name;
}

json RemoteConfigs::AgentConfigOf(const json& document) const {
    const bool corvane = _modules.conn_module && _modules.conn_module->isCorvaneDevice;
    if (!document.is_object() || !document.contains("data") || document["data"].is_null()) {
        // Nothing received yet (the configuration starts without data until a shadow is stored):
        // the built-in document stands in, so the device still connects and runs its jobs.
        LOG_INFO << "No agent configuration received yet, using the built-in one";
        return TavragentConfigDefault(corvane)["data"]["config"];
    }
    const json& data = document["data"];
    if (!data.is_object()) {
        // A damaged document must not keep the device from connecting: the built-in one serves
        // until a good one arrives.
        LOG_WARNING << "Agent configuration " << kTavragentConfigName
                    << " is damaged (\"data\" is not an object), using the built-in one: "
                    << data.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 200);
        return TavragentConfigDefault(corvane)["data"]["config"];
    }
    if (!data.contains("config") || !data["config"].is_object()) {
        LOG_WARNING << "Agent configuration " << kTavragentConfigName
                    << " is damaged (\"data\".\"config\" is not an object), using the built-in one";
        return TavragentConfigDefault(corvane)["data"]["config"];
    }
    return data["config"];
}

void RemoteConfigs::ApplyAgentConfig(std::weak_ptr<RemoteConfigStates> weak, Error) {
    try {
        auto states = weak.lock();
        if (!states) return;
        const json document = states->config->GetConfig();
        LOG_DEBUG << "weak_this shadow_data" << document.dump(-1, ' ', false, json::error_handler_t::replace);
        const json config = AgentConfigOf(document);
        const std::string source = kTavragentConfigName;

        // Optional members: a missing one is the default without a warning, a mistyped one warns.
        const bool persistent =
            Settings::Has(config, "conn") && Settings::String(config, source, "conn", "mq") == "pers_mq";
        if (!_modules.conn_module) throw std::logic_error("no connectivity module");
        bool kept = false;
        {
            std::lock_guard lock(_modules.conn_module->iotLock);
            kept = _modules.conn_module->keepConnection;
        }
        if (_host.is_current("GettingIotCreds") || persistent != kept) {
            {
                std::lock_guard lock(_modules.conn_module->iotLock);
                _modules.conn_module->keepConnection = persistent;
            }
            _host.schedule_connection_transition();
        }

        _remote_config_states.clear();
        const std::string thing = _host.device_snr();
        const json rcs = Settings::Has(config, "rcs") ? Settings::Array(config, source, "rcs") : json::array();
        for (const auto& entry : rcs) {
            const std::string name = Settings::String(entry, source + " rcs", "name", "");
            if (!IsSafeName(name)) {
                // A name that cannot be a file name is passed over; the others still count.
                LOG_WARNING << "Remote configuration entry without a usable \"name\" skipped: "
                            << entry.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 200);
                continue;
            }
            const std::string where = source + " rcs " + name;
            const bool subscribe = Settings::Has(entry, "subscribe") && Settings::Bool(entry, where, "subscribe", false);
            const bool notify = Settings::Has(entry, "notify") && Settings::Bool(entry, where, "notify", false);

            auto entry_states = std::make_shared<RemoteConfigStates>();
            const std::string topic =
                subscribe ? "$aws/things/" + thing + "/shadow/name/" + name + "/update/accepted" : std::string();
            const std::string registry_name = MapJobName(name);
            const bool registry_watch = registry_name == _corvane_grants_name;
            config::RemoteConfig::ChangeCallback on_change;
            if (notify) on_change = OnRemoteConfigChanged(registry_name);
            const std::string file_name = MapPrimaryJobName(registry_name);
            LOG_INFO << "Creating RemoteConfig: " << registry_name << " with file name: " << file_name
                     << "and notify: " << (notify ? "on" : "off");
            auto remote = config::RemoteConfig::Create(file_name, name, _modules.conn_module, topic, registry_watch,
                                                       std::move(on_change), nlohmann::ordered_json::object(),
                                                       _host.executable_folder(), kRemoteConfigFolder);
            if (_modules.config_service) _modules.config_service->RegisterConfig(registry_name, remote);
            entry_states->Init(this, remote, nullptr);
            _remote_config_states[name] = entry_states;
            std::weak_ptr<RemoteConfigStates> fresh = entry_states;
            _scheduler.In(Duration::zero(), [fresh] {
                if (auto held = fresh.lock()) held->fetch_task.Perform();
            });
        }

        const json rjs = Settings::Has(config, "rjs") ? Settings::Array(config, source, "rjs") : json::array();
        for (const auto& job : rjs) {
            // A job entry without a name is passed over; the others still count.
            if (job.is_object() && job.contains("name") && job["name"].is_string()) {
                LOG_INFO << "Remote job: " << job["name"].get<std::string>();
            } else {
                LOG_WARNING << "Remote job entry without a name skipped: "
                            << job.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 200);
            }
        }
    } catch (const std::exception& e) {
        LOG_INFO << "Fetched json is invalid " << e.what();
    }
}

std::function<void(std::shared_ptr<config::BaseConfig>)> RemoteConfigs::OnRemoteConfigChanged(
    const std::string& registry_name) {
    return [this, registry_name](std::shared_ptr<config::BaseConfig> changed) {
        if (_scheduler.destroyed.load()) return;
        auto remote = std::dynamic_pointer_cast<config::RemoteConfig>(changed);
        _scheduler.In(Duration::zero(),
                      [this, remote, registry_name] { RemoteConfigChangedWork(remote, registry_name); });
    };
}

void RemoteConfigs::RemoteConfigChangedWork(const std::shared_ptr<config::RemoteConfig>& changed,
                                      const std::string& registry_name) {
    SendCorvaneEventIfNeeded(changed);
    std::vector<std::shared_ptr<InstallComponent>> jobs;
    {
        std::lock_guard lock(_modules.remote_jobs_mutex);
        for (const auto& [name, job] : _modules.remote_jobs) jobs.push_back(job);
    }
    for (const auto& job : jobs) {
        if (!job || !JobConfigNames(*job).contains(registry_name)) continue;
        std::weak_ptr<InstallComponent> weak_job = job;
        _scheduler.In(Duration::zero(), [weak_job] {
            auto held = weak_job.lock();
            if (!held) return;
            held->jobStatus = held->LastStatus();
            if (held->jobStatus == 13) held->Monitor();
        });
    }
}

// ---- grants and policies ----

bool RemoteConfigs::IsFeatureEnabled() {
    try {
        if (!_modules.tavragent_config) return false;
        // Neither the built-in document nor a damaged one switches anything on.
        const json document = _modules.tavragent_config->GetConfig();
        if (!document.is_object() || !document.contains("data") || !document["data"].is_object()) return false;
        const json& config = document["data"].contains("config") ? document["data"]["config"] : json();
        if (!Settings::Has(config, "ffs")) return false;
        const json switches = Settings::Object(config, kTavragentConfigName, "ffs");
        if (!Settings::Has(switches, "enable-acm-bkc")) return false;
        return Settings::Bool(switches, std::string(kTavragentConfigName) + " ffs", "enable-acm-bkc", false);
    } catch (const std::exception&) {
        LOG_ERROR << "Could not retrieve enablement for feature: " << 0 << ". The feature disabled";
        return false;
    }
}

void RemoteConfigs::SendCorvaneEventIfNeeded(std::shared_ptr<config::RemoteConfig> changed) {
    const bool feature = IsFeatureEnabled();
    if (changed && changed->ShadowName() == kGrantsShadow) {
        LOG_INFO << "Check Grants for ACM";
        const json document = changed->GetConfig();
        // Only texts count as grants; a damaged list grants nothing (logged by the typed reader).
        const json data = Settings::Has(document, "data") ? Settings::Object(document, kGrantsShadow, "data") : json();
        std::vector<std::string> grants;
        for (const auto& grant : Settings::Has(data, "grants") ? Settings::Array(data, kGrantsShadow, "grants") : json())
            if (grant.is_string()) grants.push_back(grant.get<std::string>());
        LOG_INFO << "ACM BKC enabled: " << (feature ? 1 : 0) << "Corvane Grants: " << document.dump();
        const bool both = std::find(grants.begin(), grants.end(), config::kCorvaneGrant) != grants.end() &&
                          std::find(grants.begin(), grants.end(), config::kBkcGrant) != grants.end();
        if (!both) {
            LOG_INFO << "Corvane Grants disable ACM BKC";
            _host.send_event(kAcmBkcOff, nullptr, 0);
            LOG_INFO << "Corvane Grants disable 1E BKC";
            _host.send_event(kOneEBkcOff, nullptr, 0);
        } else if (feature) {
            LOG_INFO << "Corvane Grants disable 1E BKC";
            _host.send_event(kOneEBkcOff, nullptr, 0);
            LOG_INFO << "Corvane Grants enable ACM BKC";
            _host.send_event(kAcmBkcOn, nullptr, 0);
        } else {
            LOG_INFO << "Corvane Grants disable ACM BKC";
            _host.send_event(kAcmBkcOff, nullptr, 0);
            LOG_INFO << "Corvane Grants enable 1E BKC";
            _host.send_event(kOneEBkcOn, nullptr, 0);
        }
    } else if (changed && changed->ShadowName() == kPoliciesShadow) {
        LOG_INFO << "Check Corvane Policies for ACM";
        const json document = changed->GetConfig();
        const std::string text = document.at("data").value("preferenceInfo", json()).dump();
        _host.send_event(kAcmPolicies, text.c_str(), text.size() + 1);
        _host.send_event(kOneEPolicies, text.c_str(), text.size() + 1);
    }

    nlohmann::ordered_json selector = nlohmann::ordered_json::object();
    selector["cont"]["/data/grants"] = nlohmann::ordered_json::array({config::kCorvaneGrant});
    nlohmann::ordered_json condition = nlohmann::ordered_json::object();
    condition["confgs"][_corvane_grants_name]["a"] = selector;
    condition["cond"] = "a";
    const bool now = _modules.config_service && _modules.config_service->ValidateCondition(condition);
    const bool before = _prev_grant;
    _prev_grant = now;
    _req_grant_event = _req_grant_event || (now && !before);
    if (_grants_subscribed && _policies_subscribed && _req_grant_event) {
        _host.send_event(kGrantEvent, nullptr, 0);
        _req_grant_event = false;
    }
    _host.save_grant_flags(_prev_grant, _req_grant_event);
}

}  // namespace zelko::plenar::agent
