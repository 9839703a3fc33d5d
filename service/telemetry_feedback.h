#pragma once

// What the state machine does with the outcome of collector runs (reconnect, new credentials, a
// new discovery, a refresh of the data valve, a stop at the data limit, the end of
// RequiredOnStarting), and the side tasks that run beside the states: Enroll1E,
// CorvaneEnrollment, CollectPerformance, ResetDataValveClient and PerformanceMeasure.

#include <cstdint>
#include <functional>

#include "foundation/scheduler.h"
#include "outside/error/error.h"
#include "state_machine/module_set.h"
#include "state_machine/service_state.h"

namespace zelko::plenar::agent {

struct TelemetryEvent;

class TelemetryFeedback {
  public:
    // The states the reactions enter or test; they belong to the host's state table.
    struct States {
        ServiceState& FailureState;
        ServiceState& Attestating;
        ServiceState& Discovery;
        ServiceState& GettingIotCreds;
        ServiceState& ConnectingToIot;
        ServiceState& RequiredOnStarting;
        ServiceState& Processing;
        ServiceState& Stopping;
    };
    // What the reactions and the tasks need of the service around them.
    struct Host {
        std::function<bool(const char* state_name)> is_current;
        std::function<void(const ServiceState& target)> set_state;
        std::function<void(std::function<void()> work)> run_on_network;
        // The shared local back-off: its next delay (false when it gives none), and its start over.
        std::function<bool(int64_t& ticks)> local_delay;
        std::function<void()> reset_local_delay;
        std::function<void(uint32_t control, uint32_t event_type)> send_event;
        std::function<void()> require_reenrollment;
        std::function<void()> require_reattestation;
        // Keeps "the required collectors have run" in memory and in the persisted state.
        std::function<void()> save_required_done;
        std::function<void()> open_event_log;
    };

    TelemetryFeedback(Scheduler& scheduler, ModuleSet& modules, States states, Host host);
    TelemetryFeedback(const TelemetryFeedback&) = delete;
    TelemetryFeedback& operator=(const TelemetryFeedback&) = delete;

    // Binds the work of the side tasks.
    void Bind();
    // The telemetry module's done callable, on its worker thread: only hands the work on.
    void ItemDone(const TelemetryEvent& item);
    // The failed callable's work, on the scheduler, with whether the item was the required
    // collectors' 220.
    void ItemFailed(const shared::error::Error& error, bool required);
    // The required collectors have run (in RequiredOnStarting only): the flag is saved, then
    // Processing, the scheduled events and the event-log subscriptions.
    void CompleteRequiredCollectors();

    ServiceTask& Enroll1E() { return _enroll_1e; }
    ServiceTask& CorvaneEnrollment() { return _corvane_enrollment; }
    ServiceTask& CollectPerformance() { return _collect_performance; }
    ServiceTask& ResetDataValveClient() { return _reset_data_valve_client; }
    ServiceTask& PerformanceMeasure() { return _performance_measure; }

  private:
    friend class TelemetryFailureReaction;
    friend struct TelemetryFeedbackPeer;  // tests seed and read the counters

    void PerformEnroll1E();
    void PerformCorvaneEnrollment();
    void PerformCollectPerformance();
    void PerformResetDataValveClient();
    void PerformPerformanceMeasure();

    Scheduler& _scheduler;
    ModuleSet& _modules;
    States _s;
    Host _host;
    ServiceTask _enroll_1e;
    ServiceTask _corvane_enrollment;
    ServiceTask _collect_performance;
    ServiceTask _reset_data_valve_client;
    ServiceTask _performance_measure;
    // Publishing failures counted towards new credentials or a new discovery; worker only.
    int32_t _aws_connection_error_count = 0;
    int32_t _gateway_timeout_error_count = 0;
    int32_t _aws_error_count = 0;
};

}  // namespace zelko::plenar::agent
