#include "state_machine/module_set.h"

#include <exception>
#include <utility>
#include <vector>

#include "config/config_service.h"
#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "consent/consent_bridge.h"
#include "features/feature_finder.h"
#include "features/network_events.h"
#include "foundation/cryptography.h"
#include "foundation/logging.h"
#include "jobs/acm_module.h"
#include "jobs/corvane_enrollment.h"
#include "jobs/install_component.h"
#include "jobs/vev_e_module.h"
#include "outside/http/http_client.h"
#include "outside/s3/s3_client.h"
#include "platform/network.h"
#include "telemetry/performance.h"
#include "telemetry/system_status_checker.h"
#include "telemetry/telemetry_module.h"

namespace zelko::plenar::agent {

void ModuleSet::Build(Builder& builder) {
    _built = true;
    builder.InitHttpClient();
    (void)builder.CheckSystemReadiness();
    builder.InitFeatureFinder();
    builder.PrepareForModules();
    builder.InitConsentBridge();
    {
        std::lock_guard lock(_consent_stop_mutex);
        _consent_for_stop = consent_bridge_module;
    }
    builder.InitS3Client();
    builder.PrepareScheduler();
    builder.InitConnectivityModule();
    builder.InitRemoteConfigs();
    builder.InitCorvaneEnrollment();
    builder.InitCryptography();
    builder.InitPerformanceCollector();
    builder.InitTelemetry();
    builder.InitAcmModule();
    builder.InitVevEModule();
}

void ModuleSet::StopConsent() {
    std::shared_ptr<ConsentBridgeModule> consent;
    {
        std::lock_guard lock(_consent_stop_mutex);
        consent = _consent_for_stop.lock();
    }
    if (consent) consent->Stop();
}

std::shared_ptr<PerformanceCollector> ModuleSet::LoadPerformanceCollector() const {
    return std::atomic_load(&performance_collector);
}

void ModuleSet::StorePerformanceCollector(std::shared_ptr<PerformanceCollector> collector) {
    std::atomic_store(&performance_collector, std::move(collector));
}

void ModuleSet::Release(const ReleaseHooks& hooks) {
    // Each step survives the failure of the one before; stop pending is reported either way.
    auto step = [&hooks](const char* error_text, bool report, const std::function<void()>& action) {
        try {
            action();
        } catch (const std::exception& e) {
            LOG_ERROR << error_text << e.what();
            if (hooks.report_stop_pending) hooks.report_stop_pending();
            return;
        }
        if (report && hooks.report_stop_pending) hooks.report_stop_pending();
    };

    // Work that the old modules left on the scheduler (job reruns, connection checks) belongs to
    // them: bumped before and after, so what they post meanwhile is dropped too.
    ++_generation;

    // The sink calls into the service from the notification thread: it goes before anything else.
    if (nlm_advise_cookie != 0) {
        platform::UnadviseNetworkListManagerEvents(nlm_advise_cookie);
        nlm_advise_cookie = 0;
    }

    step("corvane enrollment failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to corvane enrollment";
        corvane_enrollment.reset();
        LOG_INFO << "corvane enrollment module stopped.";
    });
    step("performance collector failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to performance collector";
        StorePerformanceCollector(nullptr);
        LOG_INFO << "performance collector module stopped.";
    });
    step("ACM failed to stop ", true, [this] {
        LOG_INFO << "Pause and Stop ACM";
        if (acm_module) {
            acm_module->Stop();
            acm_module.reset();
        }
    });
    step("telemetry module failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to telemetry module";
        telemetry_module.reset();
        // The module held the checker too; its sampler ends with the last owner.
        system_status_checker.reset();
        LOG_INFO << "telemetry module stopped.";
    });
    step("install component failed to stop ", true, [this] {
        LOG_DEBUG << "Stopping 1e remote jobs";
        // Taken out under the lock that job threads read the map under; destroyed outside it,
        // since a job's destructor waits for its run, which may be reading the map.
        std::vector<std::pair<std::string, std::shared_ptr<InstallComponent>>> jobs;
        {
            std::lock_guard lock(remote_jobs_mutex);
            for (auto& [name, job] : remote_jobs) jobs.emplace_back(name, std::move(job));
            // No key stays behind: the next run of the jobs task makes every job anew.
            remote_jobs.clear();
        }
        for (auto& [name, job] : jobs) {
            job.reset();
            LOG_INFO << "Job: " << name << " stopped.";
        }
    });
    step("failed to destroying remote config states. ", false, [this, &hooks] {
        LOG_INFO << "Destroying remote config states.";
        // The agent configuration's fetch task holds its RemoteConfig, and so the connectivity module.
        if (hooks.drop_remote_config_states) hooks.drop_remote_config_states();
        tavragent_config.reset();
        config_service.reset();
    });
    step("_conn_module failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to connectivity module";
        // Its connection and closing thread end here, even if something still holds the module.
        if (conn_module) conn_module->Shutdown();
        conn_module.reset();
        LOG_INFO << "connectivity module stopped.";
    });
    step("consent bridge module failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to consent bridge module";
        consent_bridge_module.reset();
        LOG_INFO << "consent bridge module stopped.";
    });
    step("http client failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to http client";
        http_client.reset();
        LOG_INFO << "http client stopped.";
    });
    ++_generation;
    _built = false;
}

}  // namespace zelko::plenar::agent
