#pragma once

// The modules of one set-up of the agent. They are built in the order in which they depend on each
// other and released in the stop's order, users before what they use. One set lives at a time; work
// that an earlier set left on the scheduler recognises it by the generation and does nothing.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::s3 {
class S3Client;
}
namespace zelko::plenar::config {
class ConfigService;
class RemoteConfig;
}  // namespace zelko::plenar::config
namespace zelko::plenar::crypto {
class Cryptography;
}

namespace zelko::plenar::agent {

class AcmModule;
class ConnectivityModule;
class ConsentBridgeModule;
class FeatureFinder;
class InstallComponent;
class NetworkEvents;
class PerformanceCollector;
class SystemStatusChecker;
class TelemetryModule;
class VevEModule;
namespace corvane {
class Enrollment;
}

class ModuleSet {
  public:
    // The owner's steps of the set-up, called in this order. Each builds its module(s) into the set
    // (tests replace some); the owner readies its own state where the later modules read it.
    class Builder {
      public:
        virtual ~Builder() = default;
        virtual void InitHttpClient() = 0;
        // Logs the out-of-box, clock and internet checks; the internet answer.
        virtual bool CheckSystemReadiness() = 0;
        virtual void InitFeatureFinder() = 0;
        // The persisted state, the policies and the stack, which the modules below read.
        virtual void PrepareForModules() = 0;
        virtual void InitConsentBridge() = 0;
        virtual void InitS3Client() = 0;
        // Once per run: the scheduler's calendar serves every later set of modules.
        virtual void PrepareScheduler() = 0;
        virtual void InitConnectivityModule() = 0;
        virtual void InitRemoteConfigs() = 0;
        virtual void InitCorvaneEnrollment() = 0;
        virtual void InitCryptography() = 0;
        virtual void InitPerformanceCollector() = 0;
        virtual void InitTelemetry() = 0;
        virtual void InitAcmModule() = 0;
        virtual void InitVevEModule() = 0;
    };

    // What the release needs of its owner.
    struct ReleaseHooks {
        // Reports stop pending; none while the machine rebuilds its modules.
        std::function<void()> report_stop_pending;
        // Drops the owner's tasks of the remote configurations, which hold their configurations.
        std::function<void()> drop_remote_config_states;
    };

    ModuleSet() = default;
    ModuleSet(const ModuleSet&) = delete;
    ModuleSet& operator=(const ModuleSet&) = delete;

    // Builds every module in the set-up order; the set counts as built from the first step on, so
    // a set-up that raises half-way is still released.
    void Build(Builder& builder);
    // Releases the modules in the stop's order, the network sink's registration first. Each step
    // survives the failure of the one before.
    void Release(const ReleaseHooks& hooks);
    bool Built() const { return _built; }
    // From the stopping thread: ends a consent request or wait the worker may be held in, so the
    // teardown posted behind it runs at once.
    void StopConsent();
    // The set a job or a delayed check was made with; changes when the modules are released.
    uint64_t Generation() const { return _generation.load(); }

    // The performance collector, read and replaced whole: the telemetry module's plug-in callables
    // read it on their own threads.
    std::shared_ptr<PerformanceCollector> LoadPerformanceCollector() const;
    void StorePerformanceCollector(std::shared_ptr<PerformanceCollector> collector);

    std::shared_ptr<shared::http::IHttpClient> http_client;
    std::shared_ptr<FeatureFinder> feature_finder;
    std::shared_ptr<ConsentBridgeModule> consent_bridge_module;
    std::shared_ptr<shared::s3::S3Client> s3_client;
    std::shared_ptr<ConnectivityModule> conn_module;
    std::shared_ptr<config::ConfigService> config_service;
    std::shared_ptr<config::RemoteConfig> tavragent_config;
    std::shared_ptr<corvane::Enrollment> corvane_enrollment;
    std::shared_ptr<crypto::Cryptography> cryptography;
    std::shared_ptr<PerformanceCollector> performance_collector;  // through Load/Store only
    std::shared_ptr<SystemStatusChecker> system_status_checker;
    std::shared_ptr<TelemetryModule> telemetry_module;
    std::shared_ptr<AcmModule> acm_module;
    std::shared_ptr<VevEModule> onee_module;
    std::shared_ptr<NetworkEvents> network_events;
    uint32_t nlm_advise_cookie = 0;
    // The remote install jobs by name; the jobs' own threads read the map under the mutex.
    std::map<std::string, std::shared_ptr<InstallComponent>> remote_jobs;
    std::mutex remote_jobs_mutex;

  private:
    bool _built = false;
    std::atomic<uint64_t> _generation{0};
    // The consent module the set-up built, as another thread than the worker reaches it.
    std::mutex _consent_stop_mutex;
    std::weak_ptr<ConsentBridgeModule> _consent_for_stop;
};

}  // namespace zelko::plenar::agent
