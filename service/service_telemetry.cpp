// The telemetry wiring: the status checker, the telemetry module with its callables, the schedule
// types its collectors ask for, their event-log subscriptions and what the collector outcome
// reactions reach of the service.

#include <exception>
#include <memory>

#include "foundation/calendar_schedule.h"
#include "foundation/logging.h"
#include "service/service.h"
#include "telemetry/system_status_checker.h"
#include "telemetry/telemetry_module.h"

namespace zelko::plenar::agent {

void Service::InitTelemetry() {
    LOG_INFO << "Loading System Status Checker Module...";
    try {
        _modules.system_status_checker =
            std::make_shared<SystemStatusChecker>(_config_folder / kSystemStatusCheckerConfigFileName);
        _modules.system_status_checker->Process();
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to load System Status Checker Module " << e.what();
        _modules.system_status_checker.reset();
    } catch (...) {
        LOG_WARNING << "Failed to load System Status Checker Module";
        _modules.system_status_checker.reset();
    }
    InitTelemetryModule();
}

void Service::InitTelemetryModule() {
    LOG_INFO << "Loading telemetry module...";
    TelemetryModule::Environment environment;
    environment.featureFinder = _modules.feature_finder;
    _modules.telemetry_module = std::make_shared<TelemetryModule>(
        (_config_folder / kTelemetryModuleConfigFileName).string(), _modules.conn_module, nullptr,
        [this](TelemetryEvent item) { _feedback.ItemDone(item); },
        [this](shared::error::Error error, TelemetryEvent item) {
            const bool required = item.Type.dwControl == 220;
            _scheduler.In(Duration::zero(), [this, error = std::move(error), required] {
                _feedback.ItemFailed(error, required);
            });
        },
        [this] { StartExecutorMonitor(); }, [this] { StopExecutorMonitor(); }, _modules.system_status_checker,
        _modules.cryptography, true, _is_vxm_managed_subscription, std::move(environment));

    for (const uint32_t type : _modules.telemetry_module->ScheduleTypes()) {
        if (_stack == "prod" && type == static_cast<uint32_t>(ScheduleTypes::Minute)) {
            LOG_WARNING << "Bad minute schedule request, the event is not scheduled (minute-based not "
                           "allowed in Prod)";
            continue;
        }
        // A module built again after a failure finds its types registered by the first one.
        if (_registered_schedule_types.count(type) != 0) continue;
        if (_scheduler.RegisterSysEventSchedule(static_cast<ScheduleTypes>(type))) {
            _registered_schedule_types.insert(type);
        } else {
            LOG_WARNING << "Bad schedule request, the event is not scheduled (" << type << ")";
        }
    }

    std::vector<EventLogSubscriptionKey> keys;
    for (const EventKey& key : _modules.telemetry_module->GetWindowsEventSubscriptions()) {
        keys.push_back({static_cast<int32_t>(key.dwChannel), static_cast<int32_t>(key.dwEventType),
                        static_cast<int32_t>(key.dwLevel)});
    }
    std::vector<int32_t> ids;
    for (const EventKey& key : _modules.telemetry_module->GetExtEventSubscriptions()) {
        ids.push_back(static_cast<int32_t>(key.dwEventType));
    }
    _event_log.Create(keys, ids);
    LOG_INFO << "Loading telemetry module completed.";
}

TelemetryFeedback::Host Service::FeedbackHost() {
    TelemetryFeedback::Host host;
    host.is_current = [this](const char* name) { return IsCurrentState(name); };
    host.set_state = [this](const ServiceState& target) { SetState(target); };
    host.run_on_network = [this](std::function<void()> work) { RequestToRunOnNetwork(std::move(work)); };
    host.local_delay = [this](int64_t& ticks) { return GetLocalDelay(ticks); };
    host.reset_local_delay = [this] { ResetLocalDelay(); };
    host.send_event = [this](uint32_t control, uint32_t event_type) { SendEventToModules(control, event_type); };
    host.require_reenrollment = [this] { _enrollment->RequireReenrollment(); };
    host.require_reattestation = [this] { _enrollment->RequireReattestation(); };
    host.save_required_done = [this] {
        _required_on_start_done = true;
        if (!_persisted_state.is_object()) _persisted_state = nlohmann::json::object();
        _persisted_state["required_on_start_done"] = true;
        SavePersistedSate();
    };
    host.open_event_log = [this] { _event_log.Open(); };
    return host;
}

}  // namespace zelko::plenar::agent
