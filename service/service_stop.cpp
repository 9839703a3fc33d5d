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
    // The worker may wait in a consent request: the teardown queued behind it must not.
    _modules.StopConsent();
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
    ModuleSet::ReleaseHooks hooks;
    if (report_stop_pending) {
        hooks.report_stop_pending = [this] {
            ReportSvcStatus(platform::kServiceStopPending, platform::kNoError, kStopPendingHint);
        };
    }
    hooks.drop_remote_config_states = [this] { _remote_configs.Drop(); };
    _modules.Release(hooks);
}

}  // namespace zelko::plenar::agent
