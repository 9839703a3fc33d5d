// The states of a connected device: IoT credentials and connection, the consent wait of
// subscription devices, the first run of the required collectors, steady processing, and the
// closing work of Stopping.

#include <filesystem>
#include <mutex>
#include <string>

#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "consent/consent_bridge.h"
#include "features/system_info.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils_time.h"
#include "platform/paths.h"
#include "platform/process_modules.h"
#include "platform/steady_clock.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {

using shared::error::Error;

constexpr uint32_t kRunRequiredCollectors = 220;
constexpr uint32_t kResendCollectedData = 215;
constexpr uint32_t kIotCredentialsReady = 430;

constexpr int64_t kFiveMinutes = 3'000'000'000;
constexpr int64_t kFourHours = 144'000'000'000;
constexpr int64_t kThirtyDays = 25'920'000'000'000;
constexpr int64_t kConsentStepMs = 15'000;
constexpr int64_t kConsentCeilingMs = 60'000;
constexpr char kExecutorImage[] = "zelko-plugin-executor.exe";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The image name of the plug-in executor, without regard to case. The Linux build of the program
// carries no ".exe", so the bare name counts too; nothing else does.
bool IsExecutorImage(const std::string& path) {
    const std::string name = Lower(std::filesystem::path(path).filename().string());
    return name == kExecutorImage || name == std::string(kExecutorImage, sizeof(kExecutorImage) - 5);
}

// Before module set-up there is no connectivity module; the states then back off like any failure.
Error NoConnectivity() {
    return Error(shared::error::ErrorCategory::EC_Component, 1, "connectivity module not initialised", "int",
                 "zelko-plenar-agent-service.exe");
}

void PauseOneSecond() {
    platform::SteadyWaiter waiter;
    waiter.WaitUntil(platform::SteadyNowNanos() + 1'000'000'000, [] { return false; });
}

}  // namespace

void Service::BindConnectedStates() {
    GettingIotCreds.OnEnter = [this] { GettingIotCredsEnter(); };
    ConnectingToIot.OnEnter = [this] { ConnectingToIotEnter(); };
    UpdatingConsent.OnEnter = [this] { UpdatingConsentEnter(); };
    RequiredOnStarting.OnEnter = [this] { RequiredOnStartingEnter(); };
    Processing.OnEnter = [this] { ProcessingEnter(); };
}

// ---- seams over the connectivity module and the machine ----

Error Service::IotGetCredentials(bool reset_device) {
    if (!_modules.conn_module) return NoConnectivity();
    return _modules.conn_module->GetCredentials(reset_device);
}

Error Service::IotConnect() {
    if (!_modules.conn_module) return NoConnectivity();
    return _modules.conn_module->ConnectToIot();
}

void Service::IotResetEnrollment() {
    if (_modules.conn_module) _modules.conn_module->ResetEnrollment();
}

bool Service::IotCredentialsReady() { return _modules.conn_module && _modules.conn_module->IsCredentialsReady(); }

std::filesystem::path Service::TelemetryDataFolder() const {
    return platform::ProgramDataFolder() / "zelko" / "Telemetry" / "data";
}

bool Service::RemoveTelemetryData(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    if (error) {
        LOG_DEBUG << "Removing " << folder.string() << " failed: " << error.message();
    }
    return !error;
}

bool Service::KillPluginExecutor() {
    const auto ids = platform::ListProcessIds();
    return ids && KillExecutorAmong(*ids);
}

bool Service::KillExecutorAmong(const std::vector<int>& pids) {
    for (const int pid : pids) {
        const auto image = platform::ProcessImagePath(pid);
        if (!image || !IsExecutorImage(*image)) continue;
        // The first executor that can be ended; one that cannot is passed over like the others.
        if (platform::TerminateProcessById(pid)) {
            LOG_INFO << "Stopped the plug-in executor, process " << pid;
            return true;
        }
    }
    return false;
}

// ---- GettingIotCreds ----

void Service::GettingIotCredsEnter() {
    LOG_INFO << "GettingIotCreds.OnEnter";
    if (!IsCurrentState("GettingIotCreds")) {
        LOG_INFO << "GettingIotCreds.OnEnter state switched, exiting.";
        return;
    }
    auto rerun_if_still = [this] {
        if (IsCurrentState("GettingIotCreds")) GettingIotCreds.OnEnter();
    };
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "GettingIotCreds waiting for network. Will rerun in " << Utils::FormatDuration(kFiveMinutes);
        _scheduler.In(Duration(kFiveMinutes), rerun_if_still);
        return;
    }

    const Error result = IotGetCredentials(ResetIotDevice());
    if (!result) {
        if (_local_delay_policy) _local_delay_policy->Reset();
        ResetIotDevice() = false;
        if (!_modules.tavragent_config) {
            LOG_ERROR << "GettingIotCreds.OnEnter no agent configuration to fetch";
            return;
        }
        _tavragent_config_states = std::make_shared<RemoteConfigStates>();
        _tavragent_config_states->Init(this, _modules.tavragent_config,
                                       [this](std::weak_ptr<RemoteConfigStates> states, Error error) {
                                           ApplyAgentConfig(std::move(states), std::move(error));
                                       });
        LOG_INFO << "GettingIotCreds.OnEnter fetch called.";
        std::weak_ptr<RemoteConfigStates> states = _tavragent_config_states;
        _scheduler.In(Duration::zero(), [this, states] {
            if (auto held = states.lock()) held->fetch_task.Perform();
            SendEventToModules(kIotCredentialsReady, 0, nullptr, 0);
        });
        return;
    }

    const std::string error_text = error::ErrorToString(result);
    if (IsNetworkError(result)) {
        RequestToRunOnNetwork([this] { GettingIotCreds.OnEnter(); });
    } else if (IsRateLimitedError(result) || IsSlowInternetError(result) || IsBadRequestError(result)) {
        int64_t delay = kFourHours;
        GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "GettingIotCreds rate-limited, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), rerun_if_still);
    } else if (IsProxyError(result) || IsIotHttpError(result)) {
        int64_t delay = kFourHours;
        GetLocalDelay(delay);
        LOG_INFO << "GettingIotCreds Aws Http error, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), rerun_if_still);
    } else if (IsTlsError(result)) {
        IotResetEnrollment();
        _enrollment->RequireReenrollment();
        int64_t delay = kFourHours;
        Discovery.GetNextDelay(delay);
        LOG_INFO << "GettingIotCreds failed on certificate, Discovery in: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), [this] {
            if (IsCurrentState("GettingIotCreds")) SetState(Discovery);
        });
    } else {
        int64_t delay = kFourHours;
        GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "GettingIotCreds failed, no creds found, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), rerun_if_still);
    }
}

void Service::ScheduleConnectionTransition() {
    if (_scheduler.destroyed.load()) return;
    _scheduler.In(Duration::zero(), [this] {
        if (IsCurrentState("Processing") || IsCurrentState("RequiredOnStarting") ||
            IsCurrentState("GettingIotCreds")) {
            SetState(ConnectingToIot);
        }
    });
}

// ---- ConnectingToIot ----

void Service::ConnectingToIotEnter() {
    LOG_INFO << "ConnectingToIot.OnEnter";
    if (!IsCurrentState("ConnectingToIot")) {
        LOG_INFO << "ConnectingToIot.OnEnter state switched, exiting.";
        return;
    }
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "ConnectingToIot will run once the internet connection is back";
        RequestToRunOnNetwork([this] {
            if (IsCurrentState("ConnectingToIot")) ConnectingToIot.OnEnter();
        });
        return;
    }

    if (_collect_perf && !_collect_performance_scheduled) {
        int64_t delay = kFiveMinutes;
        CollectPerformance.GetNextDelay(delay);
        LOG_INFO << "CollectPerformance process will run in " << Utils::FormatDuration(delay);
        _scheduler.In(Duration(delay), [this] { CollectPerformance.Perform(); });
        _collect_performance_scheduled = true;
    }

    if (!_modules.conn_module) {
        LOG_ERROR << "ConnectingToIot.OnEnter without a connectivity module";
        return;
    }
    {
        // The module reads them under this lock when a publish reconnects.
        std::lock_guard lock(_modules.conn_module->iotLock);
        _modules.conn_module->connectSuccessCallback = &Service::NotifyAgentOnConnectSuccess;
        _modules.conn_module->resumeCallback = &Service::NotifyAgentOnResumeCallback;
        _modules.conn_module->disconnectCallback = &Service::NotifyAgentOnDisconnectCallback;
        _modules.conn_module->interruptCallback = &Service::NotifyAgentOnConnectionInterruptCallback;
        _modules.conn_module->callbackContext = this;
    }
    const Error result = IotConnect();

    if (!result) {
        if (_local_delay_policy) _local_delay_policy->Reset();
        if (_modules.conn_module->isSubscriptionDevice) {
            _scheduler.In(Duration::zero(), [this] {
                const bool consent = _modules.consent_bridge_module && _modules.consent_bridge_module->IsConsentValid();
                if (consent) ScheduleConsentUploadCheck();
                if (!consent) {
                    SetState(UpdatingConsent);
                } else if (_required_on_start_done.load()) {
                    SetState(Processing);
                } else {
                    SetState(RequiredOnStarting);
                }
            });
            return;
        }
        if (_modules.conn_module->IsConnected()) {
            for (const auto& [name, states] : _remote_config_states) {
                if (!states || !states->config || states->config->ListenTopic().empty()) continue;
                std::weak_ptr<RemoteConfigStates> entry = states;
                _scheduler.In(Duration::zero(), [entry] {
                    if (auto held = entry.lock()) held->sub_task.Perform();
                });
            }
        }
        _scheduler.In(Duration::zero(), [this] {
            SetState(_required_on_start_done.load() ? Processing : RequiredOnStarting);
        });
        return;
    }

    const std::string error_text = error::ErrorToString(result);
    auto rerun_if_still = [this] {
        if (IsCurrentState("ConnectingToIot")) ConnectingToIot.OnEnter();
    };
    if (IsNetworkError(result)) {
        RequestToRunOnNetwork([this] { ConnectingToIot.OnEnter(); });
    } else if (IsRateLimitedError(result) || IsSlowInternetError(result) || IsBadRequestError(result)) {
        int64_t delay = kFourHours;
        GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "ConnectingToIot rate-limited, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), rerun_if_still);
    } else if (IsProxyError(result) || IsIotHttpError(result) || IsAwsInternetConnectionError(result)) {
        int64_t delay = kFourHours;
        GetLocalDelay(delay);
        LOG_INFO << "ConnectingToIot AWS Http error, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), rerun_if_still);
    } else {
        int64_t delay = kFourHours;
        GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "ConnectingToIot failed, update credentials in: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _scheduler.In(Duration(delay), [this] {
            // Whatever the state by then: the next credentials fetch must make a new IoT device.
            ResetIotDevice() = true;
            if (IsCurrentState("ConnectingToIot")) SetState(GettingIotCreds);
        });
    }
}

// ---- UpdatingConsent ----

void Service::UpdatingConsentEnter() {
    LOG_INFO << "UpdatingConsent.OnEnter";
    if (!IsCurrentState("UpdatingConsent")) {
        LOG_INFO << "UpdatingConsent.OnEnter state switched, exiting.";
        return;
    }
    if (_stopping.load()) return;
    if (_modules.consent_bridge_module) _modules.consent_bridge_module->Process();
    if (_modules.consent_bridge_module && _modules.consent_bridge_module->IsConsentValid()) {
        LOG_INFO << "Updating Consent successful";
        ScheduleConsentUploadCheck();
        SetState(_required_on_start_done.load() ? Processing : RequiredOnStarting);
    } else {
        LOG_ERROR << "Invalid Consent";
        _consent_retry_delay_ms = std::min(kConsentCeilingMs, _consent_retry_delay_ms + kConsentStepMs);
        LOG_DEBUG << "Queuing UpdatingConsent.OnEnter to " << _consent_retry_delay_ms;
        _scheduler.In(Duration(_consent_retry_delay_ms * 10'000), [this] {
            LOG_INFO << "Retrying Consent...";
            UpdatingConsent.OnEnter();
        });
    }
    LOG_INFO << "UpdatingConsent.OnEnter exiting.";
}

void Service::ScheduleConsentUploadCheck() {
    if (!_modules.consent_bridge_module || _consent_upload_check_scheduled) return;
    _consent_upload_check_scheduled = true;
    // Just past the module's interval, so its own test finds the interval over.
    const int64_t delay = int64_t{_modules.consent_bridge_module->UploadIntervalMinutes()} * 60 * 10'000'000 + 1;
    _scheduler.In(Duration(delay), [this] { ConsentUploadCheck(); });
}

void Service::ConsentUploadCheck() {
    _consent_upload_check_scheduled = false;
    if (_stopping.load() || !_modules.consent_bridge_module) return;
    if ((IsCurrentState("Processing") || IsCurrentState("RequiredOnStarting")) &&
        _modules.consent_bridge_module->IsConsentValid()) {
        _modules.consent_bridge_module->Process();
    }
    ScheduleConsentUploadCheck();
}

// ---- RequiredOnStarting ----

void Service::RequiredOnStartingEnter() {
    LOG_INFO << "RequiredOnStarting.OnEnter";
    if (!IsCurrentState("RequiredOnStarting")) {
        LOG_INFO << "RequiredOnStarting.OnEnter state switched, exiting.";
        return;
    }
    if (_required_on_start_done.load()) {
        LOG_INFO << "RequiredOnStarting.OnEnter: Required on start already successful, moving to Processing";
        SetState(Processing);
        return;
    }
    if (_modules.conn_module && _modules.conn_module->isCorvaneDevice && !_remote_jobs.started()) {
        _scheduler.In(Duration::zero(), [this] {
            if (IsCurrentState("RequiredOnStarting")) RemoteJobsProcessing.Perform();
        });
        _remote_jobs.SetStarted(true);
    }

    // Collected data is deleted unless the configuration says false; a value of another type is
    // a configuration error that keeps the deletion.
    const bool delete_data = ConfigBool("delete_data_on_start", true);
    if (delete_data) {
        LOG_INFO << "Deleting data on start";
        const auto folder = TelemetryDataFolder();
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (RemoveTelemetryData(folder)) break;
            LOG_ERROR << "Failed to delete Telemetry data";
            if (KillPluginExecutor()) continue;
            LOG_ERROR << "Failed to kill the process " << kExecutorImage;
            PauseOneSecond();
        }
    } else {
        LOG_INFO << "Keeping the telemetry data on start (\"delete_data_on_start\" is false)";
    }

    SendEventToModules(kRunRequiredCollectors, 0, nullptr, 0);
    LOG_INFO << "RequiredOnStarting.OnEnter exiting.";
}

// ---- Processing ----

void Service::ProcessingEnter() {
    LOG_INFO << "Processing.OnEnter";
    LOG_INFO << "Processing is triggering TelemetryEventType::ResendCollectedData";
    SendEventToModules(kResendCollectedData, 0, nullptr, 0);
    if (!_remote_jobs.started()) {
        _scheduler.In(Duration::zero(), [this] {
            if (IsCurrentState("Processing")) RemoteJobsProcessing.Perform();
        });
        _remote_jobs.SetStarted(true);
    }
    if (!_performance_measure_scheduled) {
        int64_t delay = kThirtyDays;
        PerformanceMeasure.GetNextDelay(delay);
        LOG_INFO << "PerformanceMeasure enqued and will run in " << Utils::FormatDuration(delay);
        _scheduler.In(Duration(delay), [this] {
            if (IsCurrentState("Processing")) PerformanceMeasure.Perform();
        });
        _performance_measure_scheduled = true;
    }
    LOG_INFO << "Processing.OnEnter exiting.";
}

}  // namespace zelko::plenar::agent
