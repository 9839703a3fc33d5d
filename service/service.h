#pragma once

// The one object around which the service program is built: it owns the states and side tasks,
// the agent scheduler, every module, the configuration documents and the handles the service
// control layer gives it. `main` uses one global instance; tests build their own and replace the
// virtual wrappers over the service control manager, the event log and the stop event.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
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
namespace zelko::plenar::config {
class BaseConfig;
class RemoteConfig;
}  // namespace zelko::plenar::config

namespace zelko::plenar::agent {

class ConnectivityModule;
class ConsentBridgeModule;
class ISource;
struct TelemetryEvent;

class Service : public EnrollmentHost,
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

    // ---- virtual wrappers over the service control manager, the event log and the stop event ----
    virtual platform::ScHandle OpenScManager(const char* machine, const char* database, uint32_t access);
    virtual platform::ScHandle CreateAgentService(platform::ScHandle manager,
                                                  const std::string& command_line);
    virtual uint32_t WaitForObject(platform::Waitable* handle, uint32_t milliseconds);
    virtual platform::EventSourceHandle RegisterEventLogSource(const char* server, const std::string& source);
    virtual bool SignalEvent(platform::Event* handle);
    virtual void SendEventToModules(uint32_t control, uint32_t event_type);
    virtual platform::ScHandle OpenAgentService(platform::ScHandle manager);
    virtual bool CloseScHandle(platform::ScHandle handle);
    void SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) override;
    virtual std::filesystem::path GetExecutablePath();
    virtual void SvcCtrlHandlerImpl(uint32_t control, uint32_t event_type, void* event_data);

    // ---- program entry and service control shell ----
    // Loads the main configuration from base/folder/file (base: the executable's folder when
    // empty). False when the base is missing; a document that is null or empty is replaced by the
    // built-in defaults, and ConfigWarning says so for the log.
    bool InitConfig(std::string folder_name, std::string file_name, std::string base_folder);
    const std::string& ConfigWarning() const { return _config_warning; }
    int32_t ReadLogSeverity() const;
    // Return whether the operation did what it was asked; a failure is logged and kept for
    // LastShellFailure.
    bool SvcInstallService();
    // missing_is_failure: whether a service that is not installed is reported as a failed removal.
    bool SvcRemoveService(bool missing_is_failure = true);
    void SvcMain();
    void SvcInit();
    void ReportSvcStatus(uint32_t current_state, uint32_t win32_exit_code, uint32_t wait_hint);
    void ReportServiceError(const std::string& function_name);
    // What the last failed install or removal logged.
    const std::string& LastShellFailure() const { return _last_shell_failure; }
    platform::ServiceStatus LastReportedStatus() const;

    // Main configuration values; a missing key, a document that is not an object or a value of
    // another type give the default.
    bool ConfigBool(const char* key, bool default_value) const override;
    int64_t ConfigInteger(const char* key, int64_t default_value, int64_t min = Settings::kMinInt,
                          int64_t max = Settings::kMaxInt) const override;
    std::string ConfigString(const char* key, const std::string& default_value) const;

    // ---- stop ----
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

    // ---- control path and module event bus ----
    bool SvcCtrlHandlerImplDefault(uint32_t control);
    bool SvcCtrlHandlerImplProcessing(uint32_t control, uint32_t event_type, uint32_t channel, uint32_t level,
                                      void* data, uint64_t size);
    // Reads the plug-in run parameters file into the plug-in options; false (logged) when it cannot.
    bool InitCustomEventParams();
    void SendWindowsEventToModules(uint32_t channel, uint32_t event_type, uint32_t level, const void* data,
                                   uint64_t size);
    void SendWindowsEventExtToModules(uint32_t event_type, const void* data, uint64_t size);

    // ---- event-log subscriptions ----
    void CreateWindowsEventSubscriptions(const std::vector<EventLogSubscriptionKey>& keys,
                                         const std::vector<int32_t>& ext_ids) {
        _event_log.Create(keys, ext_ids);
    }
    void OpenWindowsEventSubscriptions() { _event_log.Open(); }
    void CloseWindowsEventSubscriptions() { _event_log.Close(); }
    EventLogSubscriptions& EventLog() { return _event_log; }

    // ---- performance collection ----
    // The performance-collector step of module set-up: with "collect_perf" set, the collector
    // publishing on `topic`, its monitor of this service (started) and of the plug-in executor.
    void InitPerformanceCollector(const std::string& topic);
    // The same with the topic of the connectivity configuration's stack and the device's SNR id.
    void InitPerformanceCollector() override;
    // The plug-in started and stopped callables of the telemetry module: start and stop the
    // executor's monitor when there is one. Safe on any thread.
    void StartExecutorMonitor();
    void StopExecutorMonitor();

    // ---- telemetry ----
    // The telemetry step of module set-up: the status checker (left out, with a warning, when it
    // cannot be built), then the telemetry module. A module that cannot be built raises.
    void InitTelemetry() override;
    void InitSystemStatusChecker();
    // Builds the module over the connectivity module, registers the collectors' schedule types on the agent
    // scheduler and creates (without opening) their event-log subscriptions.
    virtual void InitTelemetryModule();
    // The module's done callable, on its worker thread; and the failed callable's work, posted to
    // the scheduler with whether the item was the required collectors' 220.
    virtual void TelemetryItemDone(const TelemetryEvent& item) { _feedback.ItemDone(item); }
    virtual void TelemetryItemFailed(const shared::error::Error& error, bool required) {
        _feedback.ItemFailed(error, required);
    }
    // The collector outcome reactions and the side tasks.
    TelemetryFeedback& Feedback() { return _feedback; }

    // ---- compliance and 1E modules (service_compliance.cpp) ----
    // The compliance step of module set-up: the module over the connectivity module with the
    // handlers of the compliance reports. A module that cannot be built is logged and left out.
    void InitAcmModule() override;
    // The 1E step: the grants and policy files module; left out, logged, when it cannot be built.
    void InitVevEModule() override;
    ComplianceReports& Compliance() { return _compliance; }

    // ---- power notices and the wake-up grace ----
    uint32_t SuspendResumeCallback(uint32_t type, const void* setting);
    uint32_t ModernSuspendResumeCallbackImpl(uint32_t type, const platform::PowerBroadcastSetting* setting);
    void UpdateSleepState();

    // ---- IoT connection notices (the context is the Service; a null context does nothing) ----
    static void NotifyAgentOnConnectSuccess(bool sessionPresent, void* context);
    static void NotifyAgentOnResumeCallback(bool sessionPresent, void* context);
    static void NotifyAgentOnDisconnectCallback(void* context);
    static void NotifyAgentOnConnectionInterruptCallback(void* context);
    void NotifyAgentOnResume(bool sessionPresent);
    void NotifyAgentOnDisconnect();
    void NotifyAgentOnConnectionInterrupt();

    // ---- persisted service state, restriction and do-not-call-home ----
    void LoadPersistedSate();
    void SavePersistedSate();
    bool IsZelkoPlenarAgentRestrictionApplied();
    void ResetState();
    bool DoNotCallHome();

    // ---- module set-up and the enrollment road (start-up, attestation, discovery, enrollment) ----
    // The device information (impersonated when the main configuration asks for it) and the stack.
    void InitializeDeviceInfo();
    // Builds every module in its fixed order (the module set's), then the local delay and the
    // network sink. When modules of an earlier run are still there (the machine came back from
    // FailureState), they are released first, in the stop's order.
    void Initialize();
    // The set-up steps of the module set.
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
    void InitNetworkEvents();
    std::string DeviceSnrId() const;
    // Releases the modules in the stop's order, the network sink's registration first; with
    // report_stop_pending, stop pending is reported along the way (the stop's teardown).
    void ReleaseModules(bool report_stop_pending);
    // Releases the modules of an earlier set-up, if there are any (logged).
    void ReleaseModulesForRebuild();
    // The real device of this machine; tests hand in their own.
    virtual std::shared_ptr<shared::device::IDeviceInfo> NewDeviceInfo();
    // The feature sources in their order, each left out (logged) when it cannot be built.
    virtual std::vector<std::shared_ptr<ISource>> MakeFeatureSources();
    // Reads "cloud"."stack" of the main configuration; "prod" when absent or damaged (logged).
    std::string ReadStackName() const;
    // The built-in policy documents of module set-up.
    static nlohmann::json CertStorePolicyDocument();
    static nlohmann::json CertStoreSavePolicyDocument();
    static nlohmann::json LocalDelayPolicyDocument();
    // The enrollment road's hooks into the start-up and the module set-up.
    int64_t StartupWaitSeconds() override;
    void EndStartupGrace() override;
    bool SetUpModules() override;
    bool RequiredOnStartDone() const override { return _required_on_start_done.load(); }
    void StartScheduledWork() override;
    std::shared_ptr<IRandomValue> CertStorePolicy(CertStore which) override;
    std::shared_ptr<IRandomValue> RenewCertStorePolicy(CertStore which) override;
    void WaitingForNetworkPerform();

    // ---- connected operation: IoT credentials and connection, running states, remote configurations, grants ----
    // Posts the move to ConnectingToIot, taken only from Processing, RequiredOnStarting or
    // GettingIotCreds; nothing once the scheduler is destroyed.
    void ScheduleConnectionTransition();
    // The connected road's hooks.
    void HookConnectionNotices(ConnectivityModule& module) override;
    std::function<void()> NewAgentConfigFetch() override { return _remote_configs.NewAgentConfigFetch(); }
    void PostRemoteConfigSubscriptions() override { _remote_configs.PostSubscriptions(); }
    std::shared_ptr<ConsentBridgeModule> ConsentBridge() const override { return _modules.consent_bridge_module; }
    bool CollectsPerformance() const override { return _collect_perf; }
    bool RemoteJobsStarted() const override { return _remote_jobs.started(); }
    void MarkRemoteJobsStarted() override { _remote_jobs.SetStarted(true); }
    // The connectivity calls of these states, and the local work of RequiredOnStarting; tests
    // replace them.
    shared::error::Error IotGetCredentials(bool reset_device) override;
    shared::error::Error IotConnect() override;
    void IotResetEnrollment() override;
    virtual bool IotCredentialsReady();
    // Removes the folder with everything in it; a missing folder counts as removed.
    bool RemoveTelemetryData(const std::filesystem::path& folder) override;
    // Ends the first running plug-in executor that may be ended; false when there is none.
    bool KillPluginExecutor() override;
    // The same over the given processes: the first whose program is the executor by name.
    static bool KillExecutorAmong(const std::vector<int>& pids);
    std::filesystem::path TelemetryDataFolder() const override;
    // The shared enrollment flags, by name.
    bool ReenrollRequired() const { return _enrollment->ReenrollRequired(); }
    bool ForceDiscoveryQuery() const { return _enrollment->ForceDiscoveryQuery(); }

  protected:
    // The teardown of the stop, run on the scheduler's worker; sets `done` as its last action.
    void TeardownModules(std::atomic<bool>& done);
    void BindHandlers();
    void EnterStoppingWork();
    bool IsCurrentState(const char* state_name) const override;
    // Folder of the executable, where the configuration folder and the state files are.
    std::filesystem::path ExecutableFolder() override;
    // The device has the feature "ss" or "te".
    bool HasSubscriptionFeature();
    void FailShell(const std::string& text);
    // The device has the feature; none until the module set-up has built the feature finder.
    bool HasFeature(const std::string& name) override;
    // The event bus: posts the event's delivery on the scheduler, unless the stop has begun or the
    // scheduler is destroyed; the delivery checks both again.
    void PostEventToModules(Event event, bool telemetry_only);
    // What the do-not-call-home decision reads of the device information; none until the module
    // set-up has built it.
    std::string DeviceProductId();
    std::optional<ZelkoSpecificInfoFacts> DeviceZelkoSpecificInfo();
    // Lets what fell due during sleep run at once.
    void WakeScheduler();
    // The power reaction's hooks into this service.
    PowerEvents::Hooks PowerHooks();
    // The end of a completed wake-up grace: every remote configuration is fetched again in Processing.
    void AfterWakeGrace();
    // Sends the state machine back for new IoT credentials after a connection change.
    void IotRecredential();
    void IotInterruptionCheck();

    // ---- remote install jobs ----
    void BindRemoteJobs();
    RemoteJobs::Host RemoteJobsHost();
    // What the collector outcome reactions and the side tasks reach of the service.
    TelemetryFeedback::Host FeedbackHost();

  public:
    RemoteJobs& Jobs() { return _remote_jobs; }

  private:
    // Tests reach the private parts through this one peer (testing/testable_service.h).
    friend class TestableService;

    RemoteConfigs::Host RemoteConfigsHost();
    RemoteConfigs& RemoteConfigurations() { return _remote_configs; }

    // Before the scheduler: the configurations' tasks go only after its worker has ended.
    RemoteConfigs _remote_configs;
    std::shared_ptr<shared::device::IDeviceInfo> _device_info;
    // Where the side tasks were: they go only after the scheduler's worker has ended, and after
    // the modules, whose threads call back into them.
    TelemetryFeedback _feedback;
    ComplianceReports _compliance;
    bool _collect_perf = false;
    // The state entered last. Replaced whole under its mutex, never changed in place, so a
    // handler running on another thread keeps the state it started with.
    std::shared_ptr<const ServiceState> _current_state;
    mutable std::mutex _current_state_mutex;
    std::vector<std::function<void()>> _network_wait_queue;
    int64_t _poll_enroll_started = 0;
    std::atomic<bool> _iot_connected{false};
    shared::http::Allocator _allocator;
    Scheduler _scheduler;
    // Before the modules, whose jobs call back into it.
    RemoteJobs _remote_jobs;
    // After the allocator and the device information, which the HTTP client points to.
    ModuleSet _modules;
    EventLogSubscriptions _event_log;
    std::atomic<bool> _stopping{false};
    std::atomic<bool> _required_on_start_done{false};
    bool _start_work_scheduled = false;
    bool _scheduler_reinitialized = false;
    std::set<uint32_t> _registered_schedule_types;
    bool _corvane_enrollment_started = false;
    // The power callbacks and the wake-up grace tasks; the handle of the running grace task lives
    // there, guarded, in place of a future of its own.
    PowerEvents _power_events;
    // The stop's teardown has finished (the stop waits for it, at most 30 seconds).
    platform::SteadyWaiter _teardown_waiter;
    std::unique_ptr<EnrollmentRoad> _enrollment;
    std::unique_ptr<ConnectedRoad> _connected;
};

}  // namespace zelko::plenar::agent
