#pragma once

// The one object around which the service program is built: it owns the states, the agent
// scheduler, the module set and the feature groups, and implements the hosts the state roads and
// the module set reach it through. `main` uses one global instance; tests build their own.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/allocator.h"
#include "foundation/event.h"
#include "foundation/scheduler.h"
#include "foundation/settings.h"
#include "platform/event_log.h"
#include "platform/steady_clock.h"
#include "service/compliance_reports.h"
#include "service/event_log_subscriptions.h"
#include "service/persisted_state.h"
#include "service/power_events.h"
#include "service/remote_configs.h"
#include "service/remote_jobs.h"
#include "service/service_documents.h"
#include "service/service_shell.h"
#include "service/telemetry_feedback.h"
#include "state_machine/connected_road.h"
#include "state_machine/enrollment_road.h"
#include "state_machine/module_set.h"
#include "state_machine/service_states.h"

namespace zelko::shared::device {
class IDeviceInfo;
}

namespace zelko::plenar::agent {

class ConnectivityModule;
class ConsentBridgeModule;
class ISource;

class Service : public ServiceControlCalls,
                public EnrollmentHost,
                public ConnectedHost,
                public ModuleSet::Builder,
                private ServiceStates,
                private ServiceShellState,
                private ServiceDocuments,
                private DeviceStanding,
                private SleepState {
  public:
    Service();
    virtual ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // ---- program entry, service control shell and the main configuration ----
    // Loads base/folder/file (base: the executable's folder when empty). False when the base is
    // missing; a null or empty document is replaced by the defaults, and ConfigWarning says so.
    bool InitConfig(std::string folder_name, std::string file_name, std::string base_folder);
    const std::string& ConfigWarning() const { return _config_warning; }
    int32_t ReadLogSeverity() const;
    // Whether the operation did what it was asked; a failure is logged and kept for LastShellFailure.
    bool SvcInstallService();
    bool SvcRemoveService(bool missing_is_failure = true);
    void SvcMain();
    void SvcInit();
    void ReportSvcStatus(uint32_t current_state, uint32_t win32_exit_code, uint32_t wait_hint);
    void ReportServiceError(const std::string& function_name);
    const std::string& LastShellFailure() const { return _last_shell_failure; }
    platform::ServiceStatus LastReportedStatus() const;
    bool ConfigBool(const char* key, bool default_value) const override;
    int64_t ConfigInteger(const char* key, int64_t default_value, int64_t min = Settings::kMinInt,
                          int64_t max = Settings::kMaxInt) const override;
    std::string ConfigString(const char* key, const std::string& default_value) const;
    void StopService();

    // ---- state machine ----
    void SetState(const ServiceState& target) override;
    // The current state, held by the caller while it runs its handlers.
    std::shared_ptr<const ServiceState> CurrentState() const;
    std::string CurrentStateName() const;
    void InitBaseStates();
    void InitializePolicies();
    bool GetLocalDelay(int64_t& ticks) const override;
    void ResetLocalDelay() override;
    void RequestToRunOnNetwork(std::function<void()> work) override;
    void PostAfter(int64_t ticks, std::function<void()> work) override;
    bool IsStopping() const override { return _stopping.load(); }
    std::shared_ptr<ConnectivityModule> Connectivity() const override { return _modules.conn_module; }
    EnrollmentRoad& Enrollment() { return *_enrollment; }
    ConnectedRoad& Connected() { return *_connected; }
    void OnNetworkConnected();
    void OnNetworkLost();

    // ---- control path, module event bus and event-log subscriptions ----
    virtual void SvcCtrlHandlerImpl(uint32_t control, uint32_t event_type, void* event_data);
    bool SvcCtrlHandlerImplDefault(uint32_t control);
    bool SvcCtrlHandlerImplProcessing(uint32_t control, uint32_t event_type, uint32_t channel, uint32_t level,
                                      void* data, uint64_t size);
    virtual void SendEventToModules(uint32_t control, uint32_t event_type);
    void SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) override;
    // Reads the plug-in run parameters file into the plug-in options; false (logged) when it cannot.
    bool InitCustomEventParams();
    void SendWindowsEventToModules(uint32_t channel, uint32_t event_type, uint32_t level, const void* data,
                                   uint64_t size);
    void SendWindowsEventExtToModules(uint32_t event_type, const void* data, uint64_t size);
    EventLogSubscriptions& EventLog() { return _event_log; }

    // ---- module set-up steps (the module set calls them in its order) ----
    // The device information (impersonated when the main configuration asks for it) and the stack.
    void InitializeDeviceInfo();
    // Builds every module, then the local delay and the network sink; modules of an earlier run
    // (back from FailureState) are released first, in the stop's order.
    void Initialize();
    void InitHttpClient() override;
    bool CheckSystemReadiness() override;
    void InitFeatureFinder() override;
    void PrepareForModules() override;
    void InitConsentBridge() override;
    void InitS3Client() override;
    void PrepareScheduler() override;
    void InitConnectivityModule() override;
    void InitRemoteConfigs() override;
    void InitCorvaneEnrollment() override;
    void InitCryptography() override;
    void InitTelemetry() override;  // the status checker (left out when it fails), then the module
    void InitAcmModule() override;
    void InitVevEModule() override;
    void InitPerformanceCollector() override;
    // With "collect_perf": the collector publishing on `topic`, with monitors of this service and
    // of the plug-in executor.
    void InitPerformanceCollector(const std::string& topic);
    virtual void InitTelemetryModule();
    std::string DeviceSnrId() const;
    // With report_stop_pending, stop pending is reported along the way (the stop's teardown).
    void ReleaseModules(bool report_stop_pending);
    void ReleaseModulesForRebuild();
    // The real device of this machine; tests hand in their own.
    virtual std::shared_ptr<shared::device::IDeviceInfo> NewDeviceInfo();
    // The feature sources in their order, each left out (logged) when it cannot be built.
    virtual std::vector<std::shared_ptr<ISource>> MakeFeatureSources();

    // ---- feature groups ----
    // The executor's monitor, started and stopped with the plug-ins; safe on any thread.
    void StartExecutorMonitor();
    void StopExecutorMonitor();
    TelemetryFeedback& Feedback() { return _feedback; }
    RemoteJobs& Jobs() { return _remote_jobs; }
    void LoadPersistedSate();
    void SavePersistedSate();
    bool IsZelkoPlenarAgentRestrictionApplied();
    void ResetState();
    bool DoNotCallHome();

    // ---- power notices and IoT connection notices (the context is the Service, or nothing) ----
    uint32_t SuspendResumeCallback(uint32_t type, const void* setting);
    uint32_t ModernSuspendResumeCallbackImpl(uint32_t type, const platform::PowerBroadcastSetting* setting);
    void UpdateSleepState();
    static void NotifyAgentOnConnectSuccess(bool sessionPresent, void* context);
    static void NotifyAgentOnResumeCallback(bool sessionPresent, void* context);
    static void NotifyAgentOnDisconnectCallback(void* context);
    static void NotifyAgentOnConnectionInterruptCallback(void* context);
    void NotifyAgentOnResume(bool sessionPresent);
    void NotifyAgentOnDisconnect();
    void NotifyAgentOnConnectionInterrupt();

    // ---- the roads' hooks ----
    int64_t StartupWaitSeconds() override;
    void EndStartupGrace() override;
    bool SetUpModules() override;
    bool RequiredOnStartDone() const override { return _required_on_start_done.load(); }
    void StartScheduledWork() override;
    std::shared_ptr<IRandomValue> CertStorePolicy(CertStore which) override;
    std::shared_ptr<IRandomValue> RenewCertStorePolicy(CertStore which) override;
    void WaitingForNetworkPerform();
    // Posts the move to ConnectingToIot, from Processing, RequiredOnStarting or GettingIotCreds.
    void ScheduleConnectionTransition();
    void HookConnectionNotices(ConnectivityModule& module) override;
    std::function<void()> NewAgentConfigFetch() override { return _remote_configs.NewAgentConfigFetch(); }
    void PostRemoteConfigSubscriptions() override { _remote_configs.PostSubscriptions(); }
    std::shared_ptr<ConsentBridgeModule> ConsentBridge() const override { return _modules.consent_bridge_module; }
    bool CollectsPerformance() const override { return _collect_perf; }
    bool RemoteJobsStarted() const override { return _remote_jobs.started(); }
    void MarkRemoteJobsStarted() override { _remote_jobs.SetStarted(true); }
    // The connectivity calls and the local work of the connected states; tests replace them.
    shared::error::Error IotGetCredentials(bool reset_device) override;
    shared::error::Error IotConnect() override;
    void IotResetEnrollment() override;
    virtual bool IotCredentialsReady();
    bool RemoveTelemetryData(const std::filesystem::path& folder) override;
    bool KillPluginExecutor() override;
    std::filesystem::path TelemetryDataFolder() const override;

  protected:
    // The stop's teardown, on the scheduler's worker; sets `done` last.
    void TeardownModules(std::atomic<bool>& done);
    void BindHandlers();
    void EnterStoppingWork();
    bool IsCurrentState(const char* state_name) const override;
    std::filesystem::path ExecutableFolder() override;
    void FailShell(const std::string& text);
    bool HasFeature(const std::string& name) override;
    // Posts the delivery on the scheduler unless the stop has begun; the delivery checks again.
    void PostEventToModules(Event event, bool telemetry_only);
    PowerEvents::Hooks PowerHooks();
    void PostRecredential();  // from Processing or RequiredOnStarting, on subscription devices
    void BindRemoteJobs();
    RemoteJobs::Host RemoteJobsHost();
    TelemetryFeedback::Host FeedbackHost();

  private:
    friend class TestableService;  // the tests' one peer (testing/testable_service.h)

    RemoteConfigs::Host RemoteConfigsHost();
    RemoteConfigs& RemoteConfigurations() { return _remote_configs; }
    // Ends the grace tasks and the posted work: what is queued is skipped, a run in progress ends.
    // A test service calls it from its own destructor, while its virtual functions are still there.
    void EndPostedWork();

    // The order below is the teardown's: what threads call back into outlives those threads.
    RemoteConfigs _remote_configs;  // its tasks go after the scheduler's worker
    std::shared_ptr<shared::device::IDeviceInfo> _device_info;
    TelemetryFeedback _feedback;  // after the scheduler and the modules, whose threads call it
    ComplianceReports _compliance;
    shared::http::Allocator _allocator;
    Scheduler _scheduler;
    RemoteJobs _remote_jobs;  // before the modules, whose jobs call back into it
    ModuleSet _modules;       // after the allocator and the device information
    EventLogSubscriptions _event_log;
    PowerEvents _power_events;  // the power callbacks and the wake-up grace
    platform::SteadyWaiter _teardown_waiter;  // the stop waits on it, at most 30 seconds
    std::unique_ptr<EnrollmentRoad> _enrollment;
    std::unique_ptr<ConnectedRoad> _connected;
};

}  // namespace zelko::plenar::agent
