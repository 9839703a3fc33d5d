#pragma once

// The connected road: IoT credentials and connection, the consent wait of subscription devices,
// the first run of the required collectors and steady processing. Every wait is work posted
// through the host.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "outside/error/error.h"
#include "state_machine/enrollment_road.h"
#include "state_machine/service_state.h"
#include "state_machine/state_host.h"

namespace zelko::plenar::agent {

class ConsentBridgeModule;

// What the connected road needs of its host beyond the common state host.
class ConnectedHost : public virtual StateHost {
  public:
    // The connectivity calls of the states; an error when there is no connectivity module.
    virtual shared::error::Error IotGetCredentials(bool reset_device) = 0;
    virtual shared::error::Error IotConnect() = 0;
    virtual void IotResetEnrollment() = 0;
    // Routes the module's connection notices (connected, resumed, lost, interrupted) to the host.
    virtual void HookConnectionNotices(ConnectivityModule& module) = 0;
    // The fetch of the agent's own configuration with its tasks made anew; empty when there is no
    // agent configuration.
    virtual std::function<void()> NewAgentConfigFetch() = 0;
    // Posts the subscription of every remote configuration that listens on a topic.
    virtual void PostRemoteConfigSubscriptions() = 0;
    virtual std::shared_ptr<ConsentBridgeModule> ConsentBridge() const = 0;
    virtual void SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) = 0;
    // "collect_perf" of the main configuration, as the module set-up read it.
    virtual bool CollectsPerformance() const = 0;
    // The remote jobs task has been started for this set of modules.
    virtual bool RemoteJobsStarted() const = 0;
    virtual void MarkRemoteJobsStarted() = 0;
    // The collected telemetry data and its removal on start.
    virtual std::filesystem::path TelemetryDataFolder() const = 0;
    virtual bool RemoveTelemetryData(const std::filesystem::path& folder) = 0;
    // Ends the first running plug-in executor that may be ended; false when there is none.
    virtual bool KillPluginExecutor() = 0;
};

class ConnectedRoad {
  public:
    // The states and tasks the road enters or runs; they belong to the host's state table.
    struct States {
        ServiceState& GettingIotCreds;
        ServiceState& ConnectingToIot;
        ServiceState& UpdatingConsent;
        ServiceState& RequiredOnStarting;
        ServiceState& Processing;
        ServiceState& Discovery;
        ServiceTask& CollectPerformance;
        ServiceTask& RemoteJobsProcessing;
        ServiceTask& PerformanceMeasure;
    };

    // A certificate failure sends the device back on the enrollment road.
    ConnectedRoad(ConnectedHost& host, EnrollmentRoad& enrollment, States states);
    ConnectedRoad(const ConnectedRoad&) = delete;
    ConnectedRoad& operator=(const ConnectedRoad&) = delete;

    // Binds the entry work of the road's states.
    void Bind();
    // Posts the move to ConnectingToIot, taken only from Processing, RequiredOnStarting or
    // GettingIotCreds.
    void ScheduleConnectionTransition();
    // The next credentials fetch makes a new IoT device.
    bool ResetIotDevice() const { return _reset_iot_device; }

  private:
    friend struct ConnectedRoadPeer;  // tests seed and read the bookkeeping

    void GettingIotCredsEnter();
    void ConnectingToIotEnter();
    void UpdatingConsentEnter();
    void RequiredOnStartingEnter();
    void ProcessingEnter();
    // Once the consent is valid, the consent module checks for a change made on the device at its
    // own interval, from the running states.
    void ScheduleConsentUploadCheck();
    void ConsentUploadCheck();

    ConnectedHost& _host;
    EnrollmentRoad& _enrollment;
    States _s;
    bool _reset_iot_device = false;
    int64_t _consent_retry_delay_ms = 15000;
    bool _consent_upload_check_scheduled = false;
    bool _collect_performance_scheduled = false;
    bool _performance_measure_scheduled = false;
};

}  // namespace zelko::plenar::agent
