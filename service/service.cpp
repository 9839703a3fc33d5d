#include "service/service.h"

#include <future>

#include "features/feature_finder.h"
#include "features/system_info.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/network.h"

namespace zelko::plenar::agent {

namespace {
constexpr uint32_t kScheduleEventControl = 230;
}  // namespace

Service::Service()
    : _remote_configs(_scheduler, _modules, RemoteConfigsHost()),
      _feedback(_scheduler, _modules,
                {FailureState, Attestating, Discovery, GettingIotCreds, ConnectingToIot, RequiredOnStarting, Processing,
                 Stopping},
                FeedbackHost()),
      _compliance(_scheduler, _modules,
                  [this](uint32_t control, uint32_t event_type, const void* data, uint64_t size) {
                      SendEventToModules(control, event_type, data, size);
                  }),
      _scheduler(""),
      _remote_jobs(_scheduler, _modules, RemoteJobsHost()),
      _event_log(_scheduler, {[this] { return CurrentState(); }, [this] { return IsCurrentState("Stopping"); }}),
      _power_events({_is_sleeping, _new_wakeup, _in_wake_grace, _grace_start}, PowerHooks()) {
    _grace_period.logonFound = false;
    _grace_period.logonTime = 0;
    _grace_period.invalidLogonSeen = false;
    _grace_period.createdTicks = platform::NowTicks();
    _grace_period.oobeCompleted = [] { return SystemInfo::HasOOBECompleted(); };

    // No COM here: nothing to initialise or secure. The Network List Manager's connection point is
    // the platform's network-connectivity notification source; module set-up registers the
    // `NetworkEvents` sink (features/) on it once the sink exists, the registration taking the
    // place of `_modules.nlm_advise_cookie` (0 until made), and the destructor unregisters it first.

    _stopping.store(false);
    _required_on_start_done = false;

    LOG_INFO << "Initialilizing modern sleep event...";
    int error = 0;
    _system_sleep_event = platform::NamedEvent::Create("Global\\SystemSleepEvent", false, &error);
    if (_system_sleep_event) {
        LOG_INFO << "Initialilizing modern sleep event completed...";
    } else {
        LOG_WARNING
            << "Initialilizing modern sleep event failed, collector will not be notified on sleep events"
            << error;
    }

    LOG_INFO << "Initialilizing scheduler events...";
    if (!_scheduler.destroyed) {
        _scheduler.SetSysEventCallback([this](ScheduleTypes type) {
            CurrentState()->OnProcess(kScheduleEventControl, static_cast<uint32_t>(type), 0, 0, nullptr, 0);
        });
    }
    LOG_INFO << "Initialilizing scheduler events completed...";

    _enrollment = std::make_unique<EnrollmentRoad>(
        *this, EnrollmentRoad::States{Initializing, FailureState, Onboarding, Attestating, AttestatingPoP, Discovery,
                                      PreEnrollZelko, EnrollZelko, PollEnrollZelkoStatus, GettingIotCreds, Stopping});
    _connected = std::make_unique<ConnectedRoad>(
        *this, *_enrollment,
        ConnectedRoad::States{GettingIotCreds, ConnectingToIot, UpdatingConsent, RequiredOnStarting, Processing,
                              Discovery, _feedback.CollectPerformance(), RemoteJobsProcessing,
                              _feedback.PerformanceMeasure()});
    // Bound whatever failed above, so that a stop request always reaches the Stopping state.
    BindHandlers();
}

Service::~Service() {
    // The network sink is called from the notification thread: its registration ends first.
    if (_modules.nlm_advise_cookie != 0) platform::UnadviseNetworkListManagerEvents(_modules.nlm_advise_cookie);
    EndPostedWork();
    _system_sleep_event.reset();
}

void Service::EndPostedWork() {
    // The grace tasks call back into the members; they end first. (StopService has ended them
    // already in a service that ran; the virtual calls they make need an object not yet destroyed.)
    _power_events.Stop();
    // Posted work refers to the members; skip what is still queued and let a run in progress end
    // before they go. The threads themselves end with the scheduler member. Nothing here logs: the
    // process's logger may already be gone.
    _scheduler.destroyed.exchange(true);
    if (_scheduler.timedScheduler) {
        std::promise<void> idle;
        auto worker_idle = idle.get_future();
        _scheduler.timedScheduler->run_at(WallClock::now(), [&idle] { idle.set_value(); });
        worker_idle.wait();
    }
}

void Service::BindHandlers() {
    auto default_only = [this](uint32_t control, uint32_t, uint32_t, uint32_t, void*, uint64_t) {
        SvcCtrlHandlerImplDefault(control);
    };
    auto processing = [this](uint32_t control, uint32_t type, uint32_t channel, uint32_t level, void* data,
                             uint64_t size) {
        if (SvcCtrlHandlerImplDefault(control)) {
            SvcCtrlHandlerImplProcessing(control, type, channel, level, data, size);
        }
    };
    auto processing_once_initialized = [this](uint32_t control, uint32_t type, uint32_t channel,
                                              uint32_t level, void* data, uint64_t size) {
        if (SvcCtrlHandlerImplDefault(control) && _enrollment->Initialized()) {
            SvcCtrlHandlerImplProcessing(control, type, channel, level, data, size);
        }
    };
    auto nothing = [] {};

    // The states' entry work and the tasks' work come with their own parts of the state machine;
    // until then they keep the handlers that do nothing.
    FailureState.OnProcess = default_only;
    Initializing.OnProcess = processing_once_initialized;
    Onboarding.OnProcess = default_only;
    Attestating.OnProcess = processing;
    AttestatingPoP.OnProcess = processing;
    for (ServiceState* state : {&Discovery, &PreEnrollZelko, &EnrollZelko, &PollEnrollZelkoStatus,
                                &GettingIotCreds, &ConnectingToIot, &Processing}) {
        state->OnProcess = processing;
    }
    UpdatingConsent.OnProcess = default_only;
    RequiredOnStarting.OnProcess = default_only;
    Stopping.OnEnter = [this] { EnterStoppingWork(); };
    Stopping.OnProcess = default_only;
    for (ServiceState* state :
         {&FailureState, &Initializing, &Onboarding, &Attestating, &AttestatingPoP, &Discovery,
          &PreEnrollZelko, &EnrollZelko, &PollEnrollZelkoStatus, &GettingIotCreds, &ConnectingToIot,
          &UpdatingConsent, &RequiredOnStarting, &Processing, &Stopping}) {
        state->OnExit = nothing;
    }
    _feedback.Bind();
    BindRemoteJobs();
    _enrollment->Bind();
    WaitingForNetwork.Perform = [this] { WaitingForNetworkPerform(); };
    _connected->Bind();
}

void Service::EnterStoppingWork() {
    _event_log.Close();
    LOG_INFO << "Stopping.OnEnter";
    if (!SignalEvent(_svc_stop_event_handle.get())) {
        LOG_ERROR << "Stopping.OnEnter could not signal the stop event - GetLastError: "
                  << platform::GetLastError();
    }
    LOG_INFO << "Stopping.OnEnter exiting.";
}

// ---- state machine ----

std::shared_ptr<const ServiceState> Service::CurrentState() const {
    std::lock_guard lock(_current_state_mutex);
    return _current_state;
}

std::string Service::CurrentStateName() const { return CurrentState()->name; }

bool Service::IsCurrentState(const char* state_name) const { return CurrentStateName() == state_name; }

void Service::SetState(const ServiceState& target) {
    LOG_DEBUG << "Service state is changing to " << target.name;
    std::shared_ptr<const ServiceState> previous;
    std::shared_ptr<const ServiceState> next;
    {
        std::lock_guard lock(_current_state_mutex);
        if (_current_state->name == target.name) {
            previous = _current_state;
        } else if (_current_state->name != "Stopping") {
            previous = _current_state;
            next = std::make_shared<const ServiceState>(target);
            _current_state = next;
        }
    }
    if (!next) {
        if (previous) {
            LOG_DEBUG << "Service state is already " << target.name;
        } else {
            LOG_DEBUG << "Service is stopping, final state won't change to " << target.name;
        }
        return;
    }
    // Handlers run outside the lock: entry work enters further states.
    previous->OnExit();
    LOG_INFO << "Service state changed to " << next->name;
    next->OnEnter();
}

std::filesystem::path Service::ExecutableFolder() { return GetExecutablePath().parent_path(); }

void Service::InitBaseStates() {
    const auto folder = ExecutableFolder();
    _retry_config = Utils::LoadConfigFile(folder / kConfigFolderName / kRetriesConfigFileName);
    NotInited.InitState("NotInited", _retry_config, folder);
    FailureState.InitState("FailureState", _retry_config, folder);
    Initializing.InitState("Initializing", _retry_config, folder);
    Stopping.InitState("Stopping", _retry_config, folder);
}

void Service::InitializePolicies() {
    const auto folder = ExecutableFolder();
    const auto path = folder / kConfigFolderName / kRetriesConfigFileName;
    if (HasFeature("ss") || HasFeature("te")) {  // a subscription device
        const std::string variant = ConfigString("sub_type", "sub");
        _retry_config = Utils::LoadConfigFile(path, true, variant);
        LOG_DEBUG << "Retry Policies - Corvane";
    } else {
        _retry_config = Utils::LoadConfigFile(path);
    }
    const std::pair<ServiceState*, const char*> states[] = {
        {&Onboarding, "Onboarding"},
        {&Attestating, "Attestating"},
        {&AttestatingPoP, "AttestatingPoP"},
        {&Discovery, "Discovery"},
        {&PreEnrollZelko, "PreEnrollZelko"},
        {&EnrollZelko, "EnrollZelko"},
        {&PollEnrollZelkoStatus, "PollEnrollZelkoStatus"},
        {&GettingIotCreds, "GettingIotCreds"},
        {&ConnectingToIot, "ConnectingToIot"},
        {&UpdatingConsent, "UpdatingConsent"},
        {&RequiredOnStarting, "RequiredOnStarting"},
        {&Processing, "Processing"},
    };
    for (const auto& [state, name] : states) state->InitState(name, _retry_config, folder);
    _feedback.Enroll1E().InitTask("Enroll1E", _retry_config, folder);
    WaitingForNetwork.InitTask("WaitingForNetwork", _retry_config, folder);
    RemoteJobsProcessing.InitTask("RemoteJobsProcessing", _retry_config, folder);
    _feedback.CorvaneEnrollment().InitTask("CorvaneEnrollment", _retry_config, folder);
    _feedback.CollectPerformance().InitTask("CollectPerformance", _retry_config, folder);
    _feedback.CollectPerformance().ResetPolicy();
    _feedback.ResetDataValveClient().InitTask("ResetDataValveClient", _retry_config, folder);
    _feedback.ResetDataValveClient().ResetPolicy();
    _feedback.PerformanceMeasure().InitTask("PerformanceMeasure", _retry_config, folder);
}

bool Service::HasFeature(const std::string& name) {
    // Until the module set-up has built the feature finder the device has no features.
    return _modules.feature_finder && !_modules.feature_finder->GetFeaturesByName(name).empty();
}


bool Service::GetLocalDelay(int64_t& ticks) const { return NextPolicyDelay(_local_delay_policy, ticks); }

// ---- network wait ----

void Service::RequestToRunOnNetwork(std::function<void()> work) {
    _network_wait_queue.push_back(std::move(work));
    if (_modules.network_events && !WaitingForNetwork.running) {
        WaitingForNetwork.running = true;
        _scheduler.In(Duration::zero(), [this] { WaitingForNetwork.Perform(); });
    }
}

void Service::OnNetworkConnected() {
    _scheduler.In(Duration::zero(), [this] {
        for (auto& work : _network_wait_queue) _scheduler.In(Duration::zero(), std::move(work));
        _network_wait_queue.clear();
    });
}

void Service::OnNetworkLost() {
    // The flag belongs to the worker; set it there rather than on the caller's thread.
    _scheduler.In(Duration::zero(), [this] {
        WaitingForNetwork.running = true;
        WaitingForNetwork.Perform();
    });
}

}  // namespace zelko::plenar::agent
