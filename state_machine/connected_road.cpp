// The connected road. Every wait is work posted through the host.

#include "state_machine/connected_road.h"

#include <algorithm>
#include <string>

#include "connectivity/connectivity_module.h"
#include "consent/consent_bridge.h"
#include "features/system_info.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils_time.h"
#include "platform/steady_clock.h"
#include "state_machine/error_tests.h"

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

void PauseOneSecond() {
    platform::SteadyWaiter waiter;
    waiter.WaitUntil(platform::SteadyNowNanos() + 1'000'000'000, [] { return false; });
}

}  // namespace

ConnectedRoad::ConnectedRoad(ConnectedHost& host, EnrollmentRoad& enrollment, States states)
    : _host(host), _enrollment(enrollment), _s(states) {}

void ConnectedRoad::Bind() {
    _s.GettingIotCreds.OnEnter = [this] { GettingIotCredsEnter(); };
    _s.ConnectingToIot.OnEnter = [this] { ConnectingToIotEnter(); };
    _s.UpdatingConsent.OnEnter = [this] { UpdatingConsentEnter(); };
    _s.RequiredOnStarting.OnEnter = [this] { RequiredOnStartingEnter(); };
    _s.Processing.OnEnter = [this] { ProcessingEnter(); };
}

// ---- GettingIotCreds ----

void ConnectedRoad::GettingIotCredsEnter() {
    LOG_INFO << "GettingIotCreds.OnEnter";
    if (!_host.IsCurrentState("GettingIotCreds")) {
        LOG_INFO << "GettingIotCreds.OnEnter state switched, exiting.";
        return;
    }
    auto rerun_if_still = [this] {
        if (_host.IsCurrentState("GettingIotCreds")) _s.GettingIotCreds.OnEnter();
    };
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "GettingIotCreds waiting for network. Will rerun in " << Utils::FormatDuration(kFiveMinutes);
        _host.PostAfter(kFiveMinutes, rerun_if_still);
        return;
    }

    const Error result = _host.IotGetCredentials(_reset_iot_device);
    if (!result) {
        _host.ResetLocalDelay();
        _reset_iot_device = false;
        auto fetch = _host.NewAgentConfigFetch();
        if (!fetch) {
            LOG_ERROR << "GettingIotCreds.OnEnter no agent configuration to fetch";
            return;
        }
        LOG_INFO << "GettingIotCreds.OnEnter fetch called.";
        _host.PostAfter(0, [this, fetch = std::move(fetch)] {
            fetch();
            _host.SendEventToModules(kIotCredentialsReady, 0, nullptr, 0);
        });
        return;
    }

    const std::string error_text = error::ErrorToString(result);
    if (agent::IsNetworkError(result)) {
        _host.RequestToRunOnNetwork([this] { _s.GettingIotCreds.OnEnter(); });
    } else if (agent::IsRateLimitedError(result) || agent::IsSlowInternetError(result) || agent::IsBadRequestError(result)) {
        int64_t delay = kFourHours;
        _s.GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "GettingIotCreds rate-limited, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, rerun_if_still);
    } else if (agent::IsProxyError(result) || agent::IsIotHttpError(result)) {
        int64_t delay = kFourHours;
        _host.GetLocalDelay(delay);
        LOG_INFO << "GettingIotCreds Aws Http error, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, rerun_if_still);
    } else if (agent::IsTlsError(result)) {
        _host.IotResetEnrollment();
        _enrollment.RequireReenrollment();
        int64_t delay = kFourHours;
        _s.Discovery.GetNextDelay(delay);
        LOG_INFO << "GettingIotCreds failed on certificate, Discovery in: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, [this] {
            if (_host.IsCurrentState("GettingIotCreds")) _host.SetState(_s.Discovery);
        });
    } else {
        int64_t delay = kFourHours;
        _s.GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "GettingIotCreds failed, no creds found, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, rerun_if_still);
    }
}

void ConnectedRoad::ScheduleConnectionTransition() {
    _host.PostAfter(0, [this] {
        if (_host.IsCurrentState("Processing") || _host.IsCurrentState("RequiredOnStarting") ||
            _host.IsCurrentState("GettingIotCreds")) {
            _host.SetState(_s.ConnectingToIot);
        }
    });
}

// ---- ConnectingToIot ----

void ConnectedRoad::ConnectingToIotEnter() {
    LOG_INFO << "ConnectingToIot.OnEnter";
    if (!_host.IsCurrentState("ConnectingToIot")) {
        LOG_INFO << "ConnectingToIot.OnEnter state switched, exiting.";
        return;
    }
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "ConnectingToIot will run once the internet connection is back";
        _host.RequestToRunOnNetwork([this] {
            if (_host.IsCurrentState("ConnectingToIot")) _s.ConnectingToIot.OnEnter();
        });
        return;
    }

    if (_host.CollectsPerformance() && !_collect_performance_scheduled) {
        int64_t delay = kFiveMinutes;
        _s.CollectPerformance.GetNextDelay(delay);
        LOG_INFO << "CollectPerformance process will run in " << Utils::FormatDuration(delay);
        _host.PostAfter(delay, [this] { _s.CollectPerformance.Perform(); });
        _collect_performance_scheduled = true;
    }

    const auto conn = _host.Connectivity();
    if (!conn) {
        LOG_ERROR << "ConnectingToIot.OnEnter without a connectivity module";
        return;
    }
    _host.HookConnectionNotices(*conn);
    const Error result = _host.IotConnect();

    if (!result) {
        _host.ResetLocalDelay();
        if (conn->isSubscriptionDevice) {
            _host.PostAfter(0, [this] {
                const auto consent = _host.ConsentBridge();
                const bool valid = consent && consent->IsConsentValid();
                if (valid) ScheduleConsentUploadCheck();
                if (!valid) {
                    _host.SetState(_s.UpdatingConsent);
                } else if (_host.RequiredOnStartDone()) {
                    _host.SetState(_s.Processing);
                } else {
                    _host.SetState(_s.RequiredOnStarting);
                }
            });
            return;
        }
        if (conn->IsConnected()) _host.PostRemoteConfigSubscriptions();
        _host.PostAfter(0, [this] {
            _host.SetState(_host.RequiredOnStartDone() ? _s.Processing : _s.RequiredOnStarting);
        });
        return;
    }

    const std::string error_text = error::ErrorToString(result);
    auto rerun_if_still = [this] {
        if (_host.IsCurrentState("ConnectingToIot")) _s.ConnectingToIot.OnEnter();
    };
    if (agent::IsNetworkError(result)) {
        _host.RequestToRunOnNetwork([this] { _s.ConnectingToIot.OnEnter(); });
    } else if (agent::IsRateLimitedError(result) || agent::IsSlowInternetError(result) || agent::IsBadRequestError(result)) {
        int64_t delay = kFourHours;
        _s.GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "ConnectingToIot rate-limited, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, rerun_if_still);
    } else if (agent::IsProxyError(result) || agent::IsIotHttpError(result) || agent::IsAwsInternetConnectionError(result)) {
        int64_t delay = kFourHours;
        _host.GetLocalDelay(delay);
        LOG_INFO << "ConnectingToIot AWS Http error, backing off for: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, rerun_if_still);
    } else {
        int64_t delay = kFourHours;
        _s.GettingIotCreds.GetNextDelay(delay);
        LOG_INFO << "ConnectingToIot failed, update credentials in: " << Utils::FormatDuration(delay)
                 << "  error: " << error_text;
        _host.PostAfter(delay, [this] {
            // Whatever the state by then: the next credentials fetch must make a new IoT device.
            _reset_iot_device = true;
            if (_host.IsCurrentState("ConnectingToIot")) _host.SetState(_s.GettingIotCreds);
        });
    }
}

// ---- UpdatingConsent ----

void ConnectedRoad::UpdatingConsentEnter() {
    LOG_INFO << "UpdatingConsent.OnEnter";
    if (!_host.IsCurrentState("UpdatingConsent")) {
        LOG_INFO << "UpdatingConsent.OnEnter state switched, exiting.";
        return;
    }
    if (_host.IsStopping()) return;
    const auto consent = _host.ConsentBridge();
    // Only the download belongs here; a consent valid by now needs none.
    if (consent && !consent->IsConsentValid()) consent->Process();
    // A stop ended the download: nothing to retry.
    if (_host.IsStopping()) return;
    if (consent && consent->IsConsentValid()) {
        LOG_INFO << "Updating Consent successful";
        ScheduleConsentUploadCheck();
        _host.SetState(_host.RequiredOnStartDone() ? _s.Processing : _s.RequiredOnStarting);
    } else {
        LOG_ERROR << "Invalid Consent";
        _consent_retry_delay_ms = std::min(kConsentCeilingMs, _consent_retry_delay_ms + kConsentStepMs);
        LOG_DEBUG << "Queuing UpdatingConsent.OnEnter to " << _consent_retry_delay_ms;
        _host.PostAfter(_consent_retry_delay_ms * 10'000, [this] {
            LOG_INFO << "Retrying Consent...";
            _s.UpdatingConsent.OnEnter();
        });
    }
    LOG_INFO << "UpdatingConsent.OnEnter exiting.";
}

void ConnectedRoad::ScheduleConsentUploadCheck() {
    const auto consent = _host.ConsentBridge();
    if (!consent || _consent_upload_check_scheduled) return;
    _consent_upload_check_scheduled = true;
    // Just past the module's interval, so its own test finds the interval over.
    const int64_t delay = int64_t{consent->UploadIntervalMinutes()} * 60 * 10'000'000 + 1;
    _host.PostAfter(delay, [this] { ConsentUploadCheck(); });
}

void ConnectedRoad::ConsentUploadCheck() {
    _consent_upload_check_scheduled = false;
    const auto consent = _host.ConsentBridge();
    if (_host.IsStopping() || !consent) return;
    // Off the worker: a silent consent service must not hold the scheduled work behind it.
    if ((_host.IsCurrentState("Processing") || _host.IsCurrentState("RequiredOnStarting")) &&
        consent->IsConsentValid()) {
        consent->StartUploadCheck();
    }
    ScheduleConsentUploadCheck();
}

// ---- RequiredOnStarting ----

void ConnectedRoad::RequiredOnStartingEnter() {
    LOG_INFO << "RequiredOnStarting.OnEnter";
    if (!_host.IsCurrentState("RequiredOnStarting")) {
        LOG_INFO << "RequiredOnStarting.OnEnter state switched, exiting.";
        return;
    }
    if (_host.RequiredOnStartDone()) {
        LOG_INFO << "RequiredOnStarting.OnEnter: Required on start already successful, moving to Processing";
        _host.SetState(_s.Processing);
        return;
    }
    const auto conn = _host.Connectivity();
    if (conn && conn->isCorvaneDevice && !_host.RemoteJobsStarted()) {
        _host.PostAfter(0, [this] {
            if (_host.IsCurrentState("RequiredOnStarting")) _s.RemoteJobsProcessing.Perform();
        });
        _host.MarkRemoteJobsStarted();
    }

    // Collected data is deleted unless the configuration says false; a value of another type is
    // a configuration error that keeps the deletion.
    const bool delete_data = _host.ConfigBool("delete_data_on_start", true);
    if (delete_data) {
        LOG_INFO << "Deleting data on start";
        const auto folder = _host.TelemetryDataFolder();
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (_host.RemoveTelemetryData(folder)) break;
            LOG_ERROR << "Failed to delete Telemetry data";
            if (_host.KillPluginExecutor()) continue;
            LOG_ERROR << "Failed to kill the process " << kExecutorImage;
            PauseOneSecond();
        }
    } else {
        LOG_INFO << "Keeping the telemetry data on start (\"delete_data_on_start\" is false)";
    }

    _host.SendEventToModules(kRunRequiredCollectors, 0, nullptr, 0);
    LOG_INFO << "RequiredOnStarting.OnEnter exiting.";
}

// ---- Processing ----

void ConnectedRoad::ProcessingEnter() {
    LOG_INFO << "Processing.OnEnter";
    LOG_INFO << "Processing is triggering TelemetryEventType::ResendCollectedData";
    _host.SendEventToModules(kResendCollectedData, 0, nullptr, 0);
    if (!_host.RemoteJobsStarted()) {
        _host.PostAfter(0, [this] {
            if (_host.IsCurrentState("Processing")) _s.RemoteJobsProcessing.Perform();
        });
        _host.MarkRemoteJobsStarted();
    }
    if (!_performance_measure_scheduled) {
        int64_t delay = kThirtyDays;
        _s.PerformanceMeasure.GetNextDelay(delay);
        LOG_INFO << "PerformanceMeasure enqued and will run in " << Utils::FormatDuration(delay);
        _host.PostAfter(delay, [this] {
            if (_host.IsCurrentState("Processing")) _s.PerformanceMeasure.Perform();
        });
        _performance_measure_scheduled = true;
    }
    LOG_INFO << "Processing.OnEnter exiting.";
}

}  // namespace zelko::plenar::agent
