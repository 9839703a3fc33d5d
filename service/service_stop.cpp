// The stop: stop-pending reports, the module teardown on the scheduler's worker in its fixed order,
// the bounded wait for it, and the end of the scheduler and of the notifications.

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "foundation/logging.h"
#include "jobs/acm_module.h"
#include "jobs/install_component.h"
#include "platform/network.h"
#include "platform/steady_clock.h"
#include "service/service.h"
#include "telemetry/performance.h"

namespace zelko::plenar::agent {

namespace {
constexpr uint32_t kStopPendingHint = 120000;
constexpr int kWaitCycles = 60;
constexpr int64_t kWaitCycleNanos = 500'000'000;

void SleepSteady(int64_t nanos) {
    platform::SteadyWaiter waiter;
    waiter.WaitUntil(platform::SteadyNowNanos() + nanos, [] { return false; });
}
}  // namespace

void Service::StopService() {
    _stopping.exchange(true);
    LOG_INFO << "Stop event received, waiting for the modules to exit...";
    ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, kStopPendingHint);

    // From here no posted agent work runs; the teardown goes straight onto the timed scheduler.
    _scheduler.destroyed.exchange(true);
    // Every wake-up grace ends now; what the grace tasks still post is dropped.
    _power_events.Stop();
    platform::SetServiceRequestHandler("notify", nullptr);
    platform::SetServiceRequestHandler("eventlog", nullptr);
    auto done = std::make_shared<std::atomic<bool>>(false);
    _scheduler.timedScheduler->run_at(WallClock::now(), [this, done] { TeardownModules(*done); });

    const int64_t start = platform::SteadyNowNanos();
    for (int cycle = 1; !done->load(); ++cycle) {
        if (cycle > kWaitCycles) {
            LOG_ERROR << "Giving up on waiting for modules to stop (> 30 seconds)";
            break;
        }
        if (_teardown_waiter.WaitUntil(start + cycle * kWaitCycleNanos, [&] { return done->load(); })) break;
        ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, kStopPendingHint);
    }

    try {
        _scheduler.Destroy();
    } catch (const std::exception& e) {
        LOG_ERROR << "update module failed to stop " << e.what();
        ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, kStopPendingHint);
    }

    if (ConfigBool("crash_on_stop", false)) {
        LOG_INFO << "Crashing on stop";
        std::abort();
    }
    if (ConfigBool("throw_on_stop", false)) {
        LOG_INFO << "Throw on stop";
        throw std::runtime_error("Throw on stop");
    }
    if (const int64_t delay = ConfigInteger("force_delay_on_stop_milli", 0, 0, 3'600'000); delay > 0) {
        LOG_INFO << "Delay on stop";
        SleepSteady(delay * 1'000'000);
    }
    if (const int64_t seconds = ConfigInteger("delay_on_stop_sec", 0, 0, 3600); seconds > 0) {
        LOG_INFO << "Force delay on stop";
        for (int64_t i = 0; i < seconds; ++i) {
            LOG_DEBUG << "Another second to delay";
            ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, 2000);
            SleepSteady(1'000'000'000);
        }
    }

    if (_dev_notify_handle != 0) platform::UnregisterNotification(_dev_notify_handle);
    if (_acdc_notify_handle != 0) platform::UnregisterNotification(_acdc_notify_handle);

    LOG_INFO << "Service has stopped.";
    ReportSvcStatus(platform::kServiceStopped, platform::kNoError, 1000);
}

void Service::TeardownModules(std::atomic<bool>& done) {
    ReleaseModules(true);
    done.store(true);
    _teardown_waiter.NotifyAll();
}

void Service::ReleaseModules(bool report_stop_pending) {
    // Each step survives the failure of the one before; stop pending is reported either way.
    auto step = [this, report_stop_pending](const char* error_text, bool report,
                                            const std::function<void()>& action) {
        try {
            action();
        } catch (const std::exception& e) {
            LOG_ERROR << error_text << e.what();
            if (report_stop_pending)
                ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, kStopPendingHint);
            return;
        }
        if (report && report_stop_pending)
            ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, kStopPendingHint);
    };

    // Work that the old modules left on the scheduler (job reruns, connection checks) belongs to
    // them: bumped before and after, so what they post meanwhile is dropped too.
    ++_modules_generation;

    // The sink calls into the service from the notification thread: it goes before anything else.
    if (_nlm_advise_cookie != 0) {
        platform::UnadviseNetworkListManagerEvents(_nlm_advise_cookie);
        _nlm_advise_cookie = 0;
    }

    step("corvane enrollment failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to corvane enrollment";
        _corvane_enrollment.reset();
        LOG_INFO << "corvane enrollment module stopped.";
    });
    step("performance collector failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to performance collector";
        // The telemetry module's plug-in callables may still read it on their own threads.
        std::atomic_store(&_performance_collector, std::shared_ptr<PerformanceCollector>());
        LOG_INFO << "performance collector module stopped.";
    });
    step("ACM failed to stop ", true, [this] {
        LOG_INFO << "Pause and Stop ACM";
        if (_acm_module) {
            _acm_module->Stop();
            _acm_module.reset();
        }
    });
    step("telemetry module failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to telemetry module";
        _telemetry_module.reset();
        // The module held the checker too; its sampler ends with the last owner.
        _system_status_checker.reset();
        LOG_INFO << "telemetry module stopped.";
    });
    step("install component failed to stop ", true, [this] {
        LOG_DEBUG << "Stopping 1e remote jobs";
        // Taken out under the lock that job threads read the map under; destroyed outside it,
        // since a job's destructor waits for its run, which may be reading the map.
        std::vector<std::pair<std::string, std::shared_ptr<InstallComponent>>> jobs;
        {
            std::lock_guard lock(_remote_jobs_mutex);
            for (auto& [name, job] : _remote_jobs) jobs.emplace_back(name, std::move(job));
            // No key stays behind: the next run of the jobs task makes every job anew.
            _remote_jobs.clear();
        }
        for (auto& [name, job] : jobs) {
            job.reset();
            LOG_INFO << "Job: " << name << " stopped.";
        }
    });
    step("failed to destroying remote config states. ", false, [this] {
        LOG_INFO << "Destroying remote config states.";
        _remote_config_states.clear();
        // The agent configuration's fetch task holds its RemoteConfig, and so the connectivity module.
        _tavragent_config_states.reset();
        _tavragent_config.reset();
        _config_service.reset();
    });
    step("_conn_module failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to connectivity module";
        // Its connection and closing thread end here, even if something still holds the module.
        if (_conn_module) _conn_module->Shutdown();
        _conn_module.reset();
        LOG_INFO << "connectivity module stopped.";
    });
    step("consent bridge module failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to consent bridge module";
        _consent_bridge_module.reset();
        LOG_INFO << "consent bridge module stopped.";
    });
    step("http client failed to stop ", true, [this] {
        LOG_DEBUG << "Destroying smart pointer to http client";
        _http_client.reset();
        LOG_INFO << "http client stopped.";
    });
    ++_modules_generation;
}

}  // namespace zelko::plenar::agent
