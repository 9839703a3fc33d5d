// What the state machine does with the outcome of collector runs (reconnect, new credentials, a
// new discovery, a refresh of the data valve, a stop at the data limit, the end of
// RequiredOnStarting), and the side tasks that run beside the states.

#include <functional>
#include <string>

#include "connectivity/connectivity_module.h"
#include "features/system_info.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "jobs/corvane_enrollment.h"
#include "service/service.h"
#include "telemetry/collector_errors.h"
#include "telemetry/performance.h"
#include "telemetry/telemetry_records.h"

namespace zelko::plenar::agent {

namespace {

using shared::error::Error;

constexpr int64_t kFiveMinutes = 3'000'000'000;
constexpr int64_t kOneHour = 36'000'000'000;
constexpr int64_t kFourHours = 144'000'000'000;
constexpr int64_t kOneDay = 864'000'000'000;
constexpr int64_t kThirtyDays = 25'920'000'000'000;

int64_t DelayOf(const ServiceState& state, int64_t fallback) {
    int64_t ticks = fallback;
    if (!state.GetNextDelay(ticks)) ticks = fallback;
    return ticks;
}

int64_t DelayOf(const ServiceTask& task, int64_t fallback) {
    int64_t ticks = fallback;
    if (!task.GetNextDelay(ticks)) ticks = fallback;
    return ticks;
}

std::string Text(const Error& error) { return error::ErrorToString(error); }

}  // namespace

void Service::BindTelemetryFeedback() {
    Enroll1E.Perform = [this] { PerformEnroll1E(); };
    CorvaneEnrollment.Perform = [this] { PerformCorvaneEnrollment(); };
    CollectPerformance.Perform = [this] { PerformCollectPerformance(); };
    ResetDataValveClient.Perform = [this] { PerformResetDataValveClient(); };
    PerformanceMeasure.Perform = [this] { PerformPerformanceMeasure(); };
}

// ---- collector outcome reactions ----

void Service::TelemetryItemDone(const TelemetryEvent& item) {
    // On the telemetry module's threads: only hand the work on.
    if (_scheduler.destroyed) return;
    if (item.Type.dwControl == 220) _scheduler.In(Duration::zero(), [this] { CompleteRequiredCollectors(); });
    if (item.Type.dwChannel == 210) {
        _scheduler.In(Duration::zero(), [this] {
            if (IsCurrentState("Processing")) ResetDataValveClient.ResetPolicy();
        });
    }
}

void Service::CompleteRequiredCollectors() {
    if (!IsCurrentState("RequiredOnStarting")) return;
    _required_on_start_done = true;
    if (!_persisted_state.is_object()) _persisted_state = nlohmann::json::object();
    _persisted_state["required_on_start_done"] = true;
    SavePersistedSate();
    SetState(Processing);
    ResetDataValveClient.ResetPolicy();
    LOG_INFO << "RequiredOnStarting.OnEnter Starting scheduled events";
    _scheduler.StartScheduledEvents();
    OpenWindowsEventSubscriptions();
}

void Service::TelemetryItemFailed(const Error& error, bool required) {
    if (error.type() != kCollectorErrorType) return;
    const std::string e = Text(error);
    if (!IsCurrentState("Processing") && !IsCurrentState("RequiredOnStarting")) {
        LOG_INFO << "Aws connection error on publishing, waiting for next reconnect to iot, will be resend on "
                    "reconnect  error: "
                 << e;
        return;
    }

    // The steps the reactions schedule; each tests the state when it runs, not when it was reported.
    auto after = [this](int64_t ticks, std::function<void()> step) { _scheduler.In(Duration(ticks), std::move(step)); };
    auto enter_failure = [this] {
        if (!IsCurrentState("FailureState") && !IsCurrentState("Stopping")) SetState(FailureState);
    };
    auto retry_required = [this] {
        if (IsCurrentState("RequiredOnStarting") && RequiredOnStarting.OnEnter) RequiredOnStarting.OnEnter();
    };
    auto resend = [this] {
        if (IsCurrentState("Processing") && Processing.OnEnter) Processing.OnEnter();
    };
    auto may_reconnect = [this] {
        return IsCurrentState("Processing") || IsCurrentState("RequiredOnStarting") || IsCurrentState("GettingIotCreds");
    };
    auto reconnect_logged = [this, may_reconnect] {
        if (may_reconnect()) {
            SetState(ConnectingToIot);
        } else {
            LOG_INFO << "Reconnect not queued since we are not in Processing state";
        }
    };
    auto reconnect = [this, may_reconnect] {
        if (may_reconnect()) SetState(ConnectingToIot);
    };
    auto running = [this] { return IsCurrentState("Processing") || IsCurrentState("RequiredOnStarting"); };
    auto new_credentials = [this, running] {
        if (running()) SetState(GettingIotCreds);
    };
    auto new_discovery = [this, running] {
        if (running()) SetState(Discovery);
    };
    const bool corvane = _conn_module && _conn_module->isCorvaneDevice;

    const int64_t code = error.code();
    if (code == 1) {
        LOG_ERROR << "Fatal error in collector, going to FailureState";
        after(0, enter_failure);
        return;
    }
    if ((code >= 2 && code <= 10) || code == 15) {
        if (!required) return;
        LOG_WARNING << "Internal error in collector, during a required collector call, going to FailureState";
        after(0, enter_failure);
        return;
    }
    if (code == 11 || code == 13) {
        if (!required) return;
        const int64_t d = DelayOf(RequiredOnStarting, kOneHour);
        LOG_WARNING << "CDM error, during a required collector call, retry Required On start in "
                    << Utils::FormatDuration(d);
        after(d, retry_required);
        return;
    }
    if (code == 16) {
        const int64_t d = DelayOf(ResetDataValveClient, kOneHour);
        if (required) {
            LOG_WARNING << "Remote Consent error, during a required collector call rerun in " << Utils::FormatDuration(d);
        } else {
            LOG_WARNING << "Remote Consent error, during a collector call rerun in " << Utils::FormatDuration(d);
        }
        after(d, [this] { ResetDataValveClient.Perform(); });
        return;
    }
    if (code != 12 && code != 14) return;

    if (IsDataReachedLimitError(error)) {
        after(0, [this] { SetState(Stopping); });
        return;
    }
    if (IsNetworkError(error)) {
        if (required) {
            LOG_WARNING << "Nework error on publishing, during a required collector call, retry Required On start on "
                           "network";
            RequestToRunOnNetwork([this, after, retry_required] { after(0, retry_required); });
        } else {
            LOG_WARNING << "No network error on publishing, during a collector call, retry resend on network";
            RequestToRunOnNetwork([after, resend] { after(0, resend); });
        }
        return;
    }
    if (IsProxyError(error) || IsIotHttpError(error)) {
        if (required) {
            const int64_t d = DelayOf(RequiredOnStarting, kOneHour);
            LOG_WARNING << "Proxy error on publsihing, during a required collector call, retry Required On start in "
                        << Utils::FormatDuration(d);
            after(d, retry_required);
        } else {
            const int64_t d = DelayOf(Processing, kOneHour);
            LOG_WARNING << "Proxy error on publsihing, during a collector call, try resend data in "
                        << Utils::FormatDuration(d);
            after(d, resend);
        }
        return;
    }
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        if (required) {
            const int64_t d = DelayOf(RequiredOnStarting, kOneHour);
            LOG_WARNING << "Rate-Limited on publsihing, during a required collector call, retry Required On start in "
                        << Utils::FormatDuration(d);
            after(d, retry_required);
        } else {
            const int64_t d = DelayOf(Processing, kOneHour);
            LOG_WARNING << "Rate-Limited on publsihing, during a collector call, try resend data in "
                        << Utils::FormatDuration(d);
            after(d, resend);
        }
        return;
    }
    if (IsAwsInternetConnectionError(error) || IsError5138(error)) {
        ++_aws_connection_error_count;
        if (!corvane) _aws_connection_error_count = 3;
        if (_aws_connection_error_count <= 2) {
            const int64_t d = DelayOf(ConnectingToIot, kFourHours);
            LOG_INFO << "Aws connection error on publishing, going to reconnect iot for: " << Utils::FormatDuration(d)
                     << "  error: " << e;
            after(d, reconnect_logged);
        } else {
            _aws_connection_error_count = 0;
            const int64_t d = DelayOf(GettingIotCreds, kFourHours);
            LOG_INFO << "Aws connection error on publishing, too much retries going to get creds for: "
                     << Utils::FormatDuration(d) << "  error: " << e;
            after(d, new_credentials);
        }
        return;
    }
    if (IsGatewayTimeoutError(error)) {
        ++_gateway_timeout_error_count;
        if (_gateway_timeout_error_count > 2) {
            _gateway_timeout_error_count = 0;
            const int64_t d = DelayOf(Discovery, kFourHours);
            _enrollment->RequireReenrollment();
            LOG_INFO << "Aws creds error on publishing, too much retries, on retries going to Disovery in: "
                     << Utils::FormatDuration(d) << "  error: " << e;
            after(d, new_discovery);
        } else {
            const int64_t d = DelayOf(GettingIotCreds, kFourHours);
            LOG_INFO << "Aws creds error on publishing, going to get creds for: " << Utils::FormatDuration(d)
                     << "  error: " << e;
            after(d, new_credentials);
        }
        return;
    }
    ++_aws_error_count;
    if (!corvane) _aws_error_count = 3;
    if (_aws_error_count <= 2) {
        const int64_t d = DelayOf(ConnectingToIot, kFourHours);
        LOG_INFO << "ConnectingToIot failed with AWS error, backing off for: " << Utils::FormatDuration(d)
                 << "  error: " << e;
        after(d, reconnect);
    } else {
        _aws_error_count = 0;
        const int64_t d = DelayOf(GettingIotCreds, kFourHours);
        LOG_INFO << "Aws error on publishing, going to get get creds in: " << Utils::FormatDuration(d)
                 << "  error: " << e;
        _enrollment->RequireReenrollment();
        after(d, new_credentials);
    }
}

// ---- side tasks ----

namespace {

// Runs the task again after the delay, unless the scheduler is gone by then.
void RerunAfter(Scheduler& scheduler, ServiceTask& task, int64_t ticks) {
    scheduler.In(Duration(ticks), [&task] { task.Perform(); });
}

}  // namespace

void Service::PerformEnroll1E() {
    LOG_INFO << "Enroll1E.OnEnter";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "Enroll1E failed due to no internet connection";
        RequestToRunOnNetwork([this] { Enroll1E.Perform(); });
        return;
    }
    const Error error = _conn_module ? _conn_module->Enroll1E() : Error(shared::error::ErrorCategory::EC_Component, 1,
                                                                        "The connectivity module is not initialised");
    if (!error) {
        if (_local_delay_policy) _local_delay_policy->Reset();
        LOG_INFO << "Enroll1E successful";
        return;
    }
    if (IsNetworkError(error)) {
        RequestToRunOnNetwork([this] { Enroll1E.Perform(); });
        return;
    }
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t d = DelayOf(Enroll1E, kOneDay);
        LOG_INFO << "Enroll1E backing off for " << Utils::FormatDuration(d);
        RerunAfter(_scheduler, Enroll1E, d);
        return;
    }
    if (IsUnauthorizedError(error)) {
        const int64_t d = DelayOf(Attestating, kOneDay);
        LOG_INFO << "Enroll1E failed reattestate in " << Utils::FormatDuration(d);
        _scheduler.In(Duration(d), [this] {
            _enrollment->RequireReattestation();
            SetState(Attestating);
        });
        return;
    }
    LOG_WARNING << "Invalid 1E enrollment, will not retry due to " << Text(error);
}

void Service::PerformCorvaneEnrollment() {
    LOG_INFO << "Running CorvaneEnrollment";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "CorvaneEnrollment will run once the internet connection is back";
        RequestToRunOnNetwork([this] { CorvaneEnrollment.Perform(); });
        return;
    }
    Error error;
    if (_corvane_enrollment) {
        error = _corvane_enrollment->Process();
    } else {
        error = Error(shared::error::ErrorCategory::EC_Component, 1, "The AI-experience enrollment is not made");
    }
    if (!error) {
        LOG_INFO << "CorvaneEnrollment is successfull.";
        const int64_t d = DelayOf(CorvaneEnrollment, kFiveMinutes);
        LOG_INFO << "CorvaneEnrollment process will run again in " << Utils::FormatDuration(d);
        RerunAfter(_scheduler, CorvaneEnrollment, d);
        return;
    }
    if (IsNetworkError(error)) {
        RequestToRunOnNetwork([this] { CorvaneEnrollment.Perform(); });
        return;
    }
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t d = DelayOf(CorvaneEnrollment, kFourHours);
        LOG_INFO << "CorvaneEnrollment is rate-limited, backing off for: " << Utils::FormatDuration(d)
                 << "  error : " << Text(error);
        RerunAfter(_scheduler, CorvaneEnrollment, d);
        return;
    }
    if (IsProxyError(error) || IsIotHttpError(error) || IsAwsInternetConnectionError(error)) {
        int64_t d = kFourHours;
        if (!GetLocalDelay(d)) d = kFourHours;
        LOG_INFO << "CorvaneEnrollment  failed with Aws Internet Connection Error, reconnect to iot in: "
                 << Utils::FormatDuration(d) << "  error: " << Text(error);
        // The chain is started once per process: it must not end here, or it never runs again.
        _scheduler.In(Duration(d), [this] {
            if (!IsCurrentState("Processing")) {
                CorvaneEnrollment.Perform();
                return;
            }
            SetState(GettingIotCreds);
            const int64_t again = DelayOf(CorvaneEnrollment, kFourHours);
            LOG_INFO << "CorvaneEnrollment will run again in " << Utils::FormatDuration(again);
            RerunAfter(_scheduler, CorvaneEnrollment, again);
        });
        return;
    }
    if (IsTlsError(error)) {
        if (!_conn_module || !_conn_module->IsCredentialsReady()) {
            const int64_t d = DelayOf(CorvaneEnrollment, kFourHours);
            LOG_INFO << "CorvaneEnrollment failed on certificate without credentials, will rerun in "
                     << Utils::FormatDuration(d) << "  error: " << Text(error);
            RerunAfter(_scheduler, CorvaneEnrollment, d);
            return;
        }
        _conn_module->ResetEnrollment();
        const int64_t d = DelayOf(Discovery, kFourHours);
        LOG_INFO << "CorvaneEnrollment  failed on certificate, Discovery in: " << Utils::FormatDuration(d)
                 << "  error: " << Text(error);
        _enrollment->RequireReenrollment();
        _scheduler.In(Duration(d), [this] { SetState(Discovery); });
        return;
    }
    const int64_t d = DelayOf(CorvaneEnrollment, kOneDay);
    LOG_INFO << "CorvaneEnrollment error, will rerun in " << Utils::FormatDuration(d) << "  error: " << Text(error);
    RerunAfter(_scheduler, CorvaneEnrollment, d);
}

void Service::PerformCollectPerformance() {
    LOG_INFO << "Running CollectPerformance";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "CollectPerformance will run once the internet connection is back";
        RequestToRunOnNetwork([this] { CollectPerformance.Perform(); });
        return;
    }
    Error error;
    if (_performance_collector) {
        error = _performance_collector->Process();
    } else {
        error = Error(shared::error::ErrorCategory::EC_Component, 1, "The performance collector is not made");
    }
    if (error) {
        const int64_t d = DelayOf(CollectPerformance, kOneDay);
        LOG_INFO << "CollectPerformance error, will rerun in " << Utils::FormatDuration(d) << "  error: " << Text(error);
        RerunAfter(_scheduler, CollectPerformance, d);
        return;
    }
    LOG_INFO << "CollectPerformance is successfull.";
    const int64_t d = DelayOf(CollectPerformance, kFiveMinutes);
    LOG_INFO << "CollectPerformance process will run again in " << Utils::FormatDuration(d);
    RerunAfter(_scheduler, CollectPerformance, d);
}

void Service::PerformResetDataValveClient() {
    LOG_INFO << "Running ResetDataValveClient";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "ResetDataValveClient will run once the internet connection is back";
        RequestToRunOnNetwork([this] { ResetDataValveClient.Perform(); });
        return;
    }
    const Error error = _conn_module ? _conn_module->ResetDataValveClient()
                                     : Error(shared::error::ErrorCategory::EC_Component, 1,
                                             "The connectivity module is not initialised");
    if (!error) {
        if (IsCurrentState("RequiredOnStarting")) {
            LOG_INFO << "ResetDataValveClient RequiredOnStarting.OnEnter.";
            _scheduler.In(Duration::zero(), [this] {
                if (RequiredOnStarting.OnEnter) RequiredOnStarting.OnEnter();
            });
        } else if (IsCurrentState("Processing")) {
            LOG_INFO << "ResetDataValveClient Processing.OnEnter.";
            _scheduler.In(Duration::zero(), [this] {
                if (Processing.OnEnter) Processing.OnEnter();
            });
        }
        return;
    }
    if (IsNetworkError(error)) {
        RequestToRunOnNetwork([this] { ResetDataValveClient.Perform(); });
        return;
    }
    const int64_t d = DelayOf(ResetDataValveClient, kFiveMinutes);
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        LOG_INFO << "ResetDataValveClient backing off for " << Utils::FormatDuration(d);
    } else {
        LOG_INFO << "ResetDataValveClient backing off for " << Utils::FormatDuration(d)
                 << " due to error: " << Text(error);
    }
    RerunAfter(_scheduler, ResetDataValveClient, d);
}

void Service::PerformPerformanceMeasure() {
    LOG_INFO << "Running PerformanceMeasure";
    SendEventToModules(222, 0);
    const int64_t d = DelayOf(PerformanceMeasure, kThirtyDays);
    LOG_INFO << "PerformanceMeasure will run in " << Utils::FormatDuration(d);
    RerunAfter(_scheduler, PerformanceMeasure, d);
}

}  // namespace zelko::plenar::agent
