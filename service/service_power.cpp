// Sleep and wake-up (the power callbacks and the wake-up grace, through PowerEvents) and the IoT
// connection notices.

#include "foundation/logging.h"
#include "jobs/corvane_enrollment.h"
#include "platform/last_error.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {
// The follow-up after an IoT interruption: 5 minutes.
constexpr Duration kInterruptionCheckDelay{3'000'000'000};
}  // namespace

PowerEvents::Hooks Service::PowerHooks() {
    PowerEvents::Hooks hooks;
    hooks.control = [this](uint32_t control, uint32_t event_type) {
        SvcCtrlHandlerImpl(control, event_type, nullptr);
    };
    hooks.stopping = [this] { return _stopping.load(); };
    hooks.startup_grace_done = [this] { return _startup_grace_done.load(); };
    hooks.record_startup_wake = [this](int64_t unix_seconds) { _startup_wake_time.store(unix_seconds); };
    hooks.sleep_event = [this](bool set, int* error) {
        if (!_system_sleep_event) {
            if (error) *error = static_cast<int>(platform::kErrorInvalidHandle);
            return false;
        }
        return set ? _system_sleep_event->Set(error) : _system_sleep_event->Reset(error);
    };
    hooks.wake_scheduler = [this] {
        // The grace tasks are joined before the stop destroys the scheduler, so it is still there.
        if (_scheduler.timedScheduler) _scheduler.timedScheduler->wake_manager();
    };
    // After a completed wake-up grace, every remote configuration is fetched again in Processing.
    hooks.after_grace = [this] {
        if (IsCurrentState("Processing")) {
            LOG_INFO << "Awake from sleep - in Processing state, refetch called for all the remote configs";
            if (!_scheduler.destroyed.load()) _scheduler.In(Duration::zero(), [this] { _remote_configs.Refetch(); });
        } else {
            LOG_INFO << "Awake from sleep, but not in processing state, so not refetching remote configs";
        }
    };
    return hooks;
}

uint32_t Service::SuspendResumeCallback(uint32_t type, const void*) {
    return _power_events.SuspendResumeCallback(type);
}

uint32_t Service::ModernSuspendResumeCallbackImpl(uint32_t type,
                                                  const platform::PowerBroadcastSetting* setting) {
    return _power_events.ModernSuspendResumeCallbackImpl(type, setting);
}

void Service::UpdateSleepState() { _power_events.UpdateSleepState(); }

// ---- IoT connection notices ----

void Service::NotifyAgentOnConnectSuccess(bool sessionPresent, void* context) {
    if (context == nullptr) return;
    LOG_INFO << "Iot connection success. Session present: " << (sessionPresent ? 1 : 0);
}

void Service::NotifyAgentOnResumeCallback(bool sessionPresent, void* context) {
    if (context != nullptr) static_cast<Service*>(context)->NotifyAgentOnResume(sessionPresent);
}

void Service::NotifyAgentOnDisconnectCallback(void* context) {
    if (context != nullptr) static_cast<Service*>(context)->NotifyAgentOnDisconnect();
}

void Service::NotifyAgentOnConnectionInterruptCallback(void* context) {
    if (context != nullptr) static_cast<Service*>(context)->NotifyAgentOnConnectionInterrupt();
}

void Service::NotifyAgentOnResume(bool sessionPresent) {
    LOG_INFO << "Iot connection Resume. Session present: " << (sessionPresent ? 1 : 0);
    _iot_connected.store(true);
    PostRecredential();
}

void Service::NotifyAgentOnDisconnect() {
    LOG_INFO << "Iot connection Disconnect.";
    PostRecredential();
}

void Service::NotifyAgentOnConnectionInterrupt() {
    LOG_INFO << "Iot connection interruption";
    _iot_connected.store(false);
    if (!_scheduler.destroyed.load())
        // A connection of released modules must not send the rebuilt ones back for credentials.
        _scheduler.In(kInterruptionCheckDelay, [this, generation = _modules.Generation()] {
            if (generation != _modules.Generation()) return;
            if (IsCurrentState("Stopping") || IsCurrentState("FailureState") || _iot_connected.load()) return;
            LOG_INFO << "Resubscribing to Iot on connection interruption";
            if (!IsCurrentState("GettingIotCreds")) SetState(GettingIotCreds);
        });
}

// The notices come on the IoT client's threads, while the worker may be building or releasing the
// modules: the enrollment module is looked at on the worker.
void Service::PostRecredential() {
    if (_scheduler.destroyed.load()) return;
    _scheduler.In(Duration::zero(), [this, generation = _modules.Generation()] {
        if (generation != _modules.Generation()) return;
        if (!_modules.corvane_enrollment || !_modules.corvane_enrollment->HasFeatureByte()) return;
        if (IsCurrentState("Processing") || IsCurrentState("RequiredOnStarting")) SetState(GettingIotCreds);
    });
}

}  // namespace zelko::plenar::agent
