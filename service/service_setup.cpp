// Module set-up: the device information, then every module the service owns, in the order in
// which they depend on each other.

#include <exception>
#include <memory>
#include <stdexcept>

#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "consent/consent_bridge.h"
#include "features/feature_finder.h"
#include "features/network_events.h"
#include "features/system_info.h"
#include "foundation/cryptography.h"
#include "foundation/default_configs.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"
#include "jobs/corvane_enrollment.h"
#include "jobs/vev_e_module.h"
#include "outside/device_info/device_info.h"
#include "outside/device_info/virtual_device_info.h"
#include "outside/http/http_client.h"
#include "outside/s3/s3_client.h"
#include "platform/network.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {

constexpr char kConnectivityConfigFileName[] = "connectivity-module-config.json";
constexpr char kCorvaneConfigFileName[] = "corvane-module-config.json";

nlohmann::json Span(int base, const char* base_units, int interval, const char* interval_units) {
    return {{"base_value", {{"count", base}, {"units", base_units}}},
            {"interval", {{"count", interval}, {"units", interval_units}}},
            {"interval_type", "StartingWithBase"}};
}

// Runs one step of the feature-source list; a source that cannot be built is left out.
template <typename Make>
void AddSource(std::vector<std::shared_ptr<ISource>>& sources, const char* log_line, const char* name,
               Make make) {
    LOG_INFO << log_line;
    try {
        sources.push_back(make());
    } catch (const std::exception& e) {
        LOG_WARNING << "Exception on loading " << name << " " << e.what();
    } catch (...) {
        LOG_WARNING << "Unknown exception on loading " << name;
    }
}

// A copy of a main configuration value, null when absent or unreadable.
nlohmann::json ReadSetting(const nlohmann::json& config, const char* key) {
    try {
        if (config.is_object() && config.contains(key)) return config.at(key);
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to read " << key << ". Exception: " << e.what();
    } catch (...) {
        LOG_WARNING << "Failed to read " << key << ".";
    }
    return nullptr;
}

}  // namespace

nlohmann::json CertStorePolicyDocument() {
    return {{"type", "Exp"},
            {"end_type", "Reset"},
            {"initial_delay", Span(20, "sec", 5, "sec")},
            {"diff_or_base", Span(20, "sec", 1, "sec")},
            {"end_time", Span(12, "hr", 30, "sec")},
            {"max_delay", Span(10, "min", 5, "sec")}};
}

nlohmann::json CertStoreSavePolicyDocument() {
    return {{"type", "Linear"},
            {"end_type", "Reset"},
            {"initial_delay", Span(5, "sec", 1, "sec")},
            {"diff_or_base", Span(5, "sec", 1, "sec")},
            {"max_delay", Span(1, "hr", 1, "sec")}};
}

nlohmann::json LocalDelayPolicyDocument() {
    return {{"type", "Exp"},
            {"end_type", "Stop"},
            {"initial_delay", Span(2, "sec", 100, "milli")},
            {"diff_or_base", Span(3, "sec", 100, "milli")},
            {"max_delay", Span(30, "sec", 100, "milli")}};
}

namespace {
std::string StackOf(const nlohmann::json& cloud) {
    if (!Settings::Has(cloud, "stack")) return "prod";
    return Settings::String(cloud, std::string(kAgentConfigFileName) + " \"cloud\"", "stack", "prod");
}
}  // namespace

std::string ReadStackName(const nlohmann::json& agent_config) { return StackOf(CloudSetting(agent_config)); }

std::shared_ptr<shared::device::IDeviceInfo> Service::NewDeviceInfo() {
    return std::make_shared<shared::device::DeviceInfo>();
}

void Service::ReleaseModulesForRebuild() {
    if (!_modules.Built()) return;
    // Back from FailureState: one set of modules ever lives, so the old set goes first, in the
    // stop's order (its IoT connection, closing thread and registrations with it), and before the
    // device information that the old HTTP client points to is replaced.
    LOG_INFO << "Releasing the modules of the previous initialization...";
    ReleaseModules(false);
    _event_log.Clear();
    // The jobs task starts again, over the new modules, once the machine is back in Processing.
    _remote_jobs.SetStarted(false);
}

void Service::InitializeDeviceInfo() {
    ReleaseModulesForRebuild();
    // Read once for the stack and the impersonation alike: a damaged "cloud" is an empty one.
    const nlohmann::json cloud = CloudSetting(_agent_config);
    _stack = StackOf(cloud);
    _device_info = MakeDeviceInfo(nlohmann::json{{"cloud", cloud}}, _config_folder, NewDeviceInfo());
}

void Service::InitHttpClient() {
    LOG_INFO << "Initialilizing http client...";
    _modules.http_client = std::make_shared<shared::http::HttpClient>(&_allocator, _device_info.get());
}

bool Service::CheckSystemReadiness() {
    (void)SystemInfo::HasOOBECompleted();
    (void)SystemInfo::HasClockSynchronized();
    return SystemInfo::HasInternetConnectivity();
}

std::vector<std::shared_ptr<ISource>> Service::MakeFeatureSources() {
    const nlohmann::json fbf = ReadSetting(_agent_config, "fbf");
    const nlohmann::json fhi = ReadSetting(_agent_config, "fhi");
    std::vector<std::shared_ptr<ISource>> sources;
    AddSource(sources, "Initial FeatureByteSource", "FeatureByteSource",
              [&] { return std::make_shared<FeatureByteSource>(_device_info, fbf); });
    AddSource(sources, "Initial ZelkoInitiativesSource", "ZelkoInitiativesSource",
              [&] { return std::make_shared<ZelkoInitiativesSource>(_device_info, fhi); });
    AddSource(sources, "Initialize SFS", "SFS", [&] { return std::make_shared<SimulateFeaturesSource>(_agent_config); });
    AddSource(sources, "Initialize RegistrySource", "RegistrySource", [] { return std::make_shared<RegistrySource>(); });
    return sources;
}

void Service::InitFeatureFinder() {
    LOG_INFO << "Loading feature finder...";
    auto sources = MakeFeatureSources();
    try {
        _modules.feature_finder = std::make_shared<FeatureFinder>(std::move(sources));
        LOG_INFO << "Initial Features:";
        bool ss_or_te = false;
        _is_commercial_managed = _has_vxm_deployer = _is_test_env = false;
        for (const auto& feature : _modules.feature_finder->GetFeatures()) {
            if (!feature) continue;
            const std::string name = feature->GetName();
            if (name == "commercialManaged") _is_commercial_managed = true;
            if (name == "Deployers") _has_vxm_deployer = true;
            if (name == "ss" || name == "te") ss_or_te = true;
            if (name == "EnableTestEnv") _is_test_env = true;
        }
        _has_ss_or_te = ss_or_te;
        _is_vxm_managed_subscription = false;
        if (_has_ss_or_te) {
            if (_is_commercial_managed || _has_vxm_deployer) {
                LOG_INFO << "This Device is managed or deployed by VXM.";
                _is_vxm_managed_subscription = true;
            }
        } else if (!_is_test_env && (_is_commercial_managed || _has_vxm_deployer)) {
            LOG_INFO << "Device is managed or deployed by VXM, stopping service.";
            _stop_for_vxm = true;
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Exception on loading feature finder " << e.what();
        throw std::runtime_error(e.what());
    } catch (...) {
        LOG_ERROR << "Unknown exception on loading feature finder";
        throw;
    }
}

void Service::InitS3Client() {
    LOG_INFO << "Loading S3 client...";
    _modules.s3_client = std::make_shared<shared::s3::S3Client>();
}

void Service::InitConnectivityModule() {
    const bool mock = ConfigBool("mock_enroll", false);
    LOG_INFO << "Loading connectivity module...";
    ConnectivityModule::Environment environment;
    environment.executableFolder = ExecutableFolder();
    _modules.conn_module = std::make_shared<ConnectivityModule>(
        _stack, (_config_folder / kConnectivityConfigFileName).string(), _modules.http_client, _modules.feature_finder,
        _device_info, _modules.consent_bridge_module, nullptr, _modules.s3_client, mock, nullptr, std::move(environment));
    LOG_INFO << "Loading connectivity module completed.";
}

void Service::Initialize() {
    LOG_INFO << "Loading modules...";
    ReleaseModulesForRebuild();
    _modules.Build(*this);

    _local_delay_policy = CreateRateLimiterPolicy(LocalDelayPolicyDocument(), "", "");
    // The network sink: the connected and waiting notices of the network list.
    _modules.network_events = std::make_shared<NetworkEvents>();
    _modules.network_events->SetInternetAvailableCallback([this] {
        if (!_scheduler.destroyed.load()) OnNetworkConnected();
    });
    _modules.network_events->SetNetworkWaitCallback([this] {
        if (!_scheduler.destroyed.load()) OnNetworkLost();
    });
    uint32_t cookie = 0;
    const platform::HResult advised = platform::AdviseNetworkListManagerEvents(_modules.network_events.get(), &cookie);
    if (advised != platform::kSOk) {
        LOG_WARNING << "Service: Advise failed, using old method only:" << advised;
    } else {
        _modules.nlm_advise_cookie = cookie;
    }

    if (_app.get_option_no_throw("--payload") == nullptr) {
        _app.add_option("-l,--payload", _plugin_payload_path,
                        "Absolute path to plugin payload file, like 'c:/temp/payload.json' ");
        _app.add_option("-p,--plugin", _plugin_name, "plugin name with version, like 'my_plugin_ver_1.2.0'");
    }

    LOG_INFO << "Loading telemetry module completed.";
}

void Service::PrepareForModules() {
    LoadPersistedSate();
    ResetState();

    InitializePolicies();

    const std::string exe_folder = ExecutableFolder().string();
    _cert_store_policy_doc = CertStorePolicyDocument();
    _cert_store_policy = CreateRateLimiterPolicy(_cert_store_policy_doc, "EnrollCertificateStore", exe_folder);
    _cert_store_save_policy_doc = CertStoreSavePolicyDocument();
    _cert_store_save_policy =
        CreateRateLimiterPolicy(_cert_store_save_policy_doc, "EnrollCertificateStoreSave", exe_folder);

    // Replaced after the set-up by the built-in local-delay document; a retry configuration
    // without a usable "local_delay" must not end the set-up here.
    try {
        _local_delay_policy = CreateRateLimiterPolicy(_retry_config.at("policies").at("local_delay"), "", "");
    } catch (const std::exception& e) {
        LOG_WARNING << "Retry configuration has no usable \"local_delay\" policy: " << e.what();
        _local_delay_policy.reset();
    }

    if (_stack.empty()) _stack = ReadStackName(_agent_config);
}

void Service::InitConsentBridge() {
    _modules.consent_bridge_module =
        SetUpConsent(*_modules.feature_finder, _stack, _config_folder, _device_info, _modules.http_client);
}

void Service::PrepareScheduler() {
    if (_scheduler_reinitialized) return;
    // Once per run: the calendar events registered and started by the first set-up keep serving
    // the modules built after it, so a second set-up neither re-registers nor restarts them.
    _scheduler.Reinit();
    _scheduler_reinitialized = true;
}

void Service::InitRemoteConfigs() { _remote_configs.Init(); }

void Service::InitCorvaneEnrollment() {
    _modules.corvane_enrollment = std::make_shared<corvane::Enrollment>(
        _modules.conn_module, _modules.feature_finder, _device_info, _config_folder / kConnectivityConfigFileName,
        _config_folder / kCorvaneConfigFileName, _stack);
}

std::string Service::DeviceSnrId() const {
    const char* snr = _device_info->GetDeviceSNRId();
    return snr != nullptr ? snr : "";
}

void Service::InitCryptography() { _modules.cryptography = std::make_shared<crypto::Cryptography>(DeviceSnrId()); }

void Service::InitPerformanceCollector() {
    std::string perf_topic;
    if (ConfigBool("collect_perf", false)) {
        const auto connectivity_config_path = _config_folder / kConnectivityConfigFileName;
        try {
            nlohmann::json connectivity_config = Utils::LoadConfigFile(connectivity_config_path, false, "sub");
            perf_topic = corvane::Enrollment::GetEnrollmentTopic(connectivity_config["cloud"]["stacks"][_stack]["iot"]);
        } catch (const std::exception& e) {
            LOG_WARNING << "No enrollment topic in " << connectivity_config_path.string()
                        << " for the performance collector, using the built-in one: " << e.what();
            perf_topic = corvane::Enrollment::GetEnrollmentTopic(nlohmann::json::object());
        }
        perf_topic += DeviceSnrId();
    }
    InitPerformanceCollector(perf_topic);
}

}  // namespace zelko::plenar::agent
