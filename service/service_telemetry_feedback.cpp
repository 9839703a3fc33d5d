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
#include "state_machine/error_tests.h"
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

// The reaction to one failed collector item. Each step it schedules tests the state when it runs,
// not when the failure was reported.
class TelemetryFailureReaction {
  public:
    TelemetryFailureReaction(Service& service, const Error& error, bool required)
        : s_(service), error_(error), required_(required), text_(Text(error)) {}

    void Run() {
        if (!s_.IsCurrentState("Processing") && !s_.IsCurrentState("RequiredOnStarting")) {
            LOG_INFO << "Aws connection error on publishing, waiting for next reconnect to iot, will be resend on "
                        "reconnect  error: "
                     << text_;
            return;
        }
        const int64_t code = error_.code();
        if (code == 12 || code == 14) {
            PublishFailure();
        } else {
            CollectorFault(code);
        }
    }

  private:
    // The collector itself failed: fatal, internal, the device management or the consent.
    void CollectorFault(int64_t code) {
        if (code == 1) {
            LOG_ERROR << "Fatal error in collector, going to FailureState";
            After(0, [&s = s_] { EnterFailure(s); });
            return;
        }
        if ((code >= 2 && code <= 10) || code == 15) {
            if (!required_) return;
            LOG_WARNING << "Internal error in collector, during a required collector call, going to FailureState";
            After(0, [&s = s_] { EnterFailure(s); });
            return;
        }
        if (code == 11 || code == 13) {
            if (!required_) return;
            const int64_t d = DelayOf(s_.RequiredOnStarting, kOneHour);
            LOG_WARNING << "CDM error, during a required collector call, retry Required On start in "
                        << Utils::FormatDuration(d);
            After(d, [&s = s_] { RetryRequired(s); });
            return;
        }
        if (code == 16) {
            const int64_t d = DelayOf(s_.ResetDataValveClient, kOneHour);
            if (required_) {
                LOG_WARNING << "Remote Consent error, during a required collector call rerun in "
                            << Utils::FormatDuration(d);
            } else {
                LOG_WARNING << "Remote Consent error, during a collector call rerun in " << Utils::FormatDuration(d);
            }
            After(d, [&s = s_] { s.ResetDataValveClient.Perform(); });
        }
    }

    // Publishing failed: the data limit, the network, a proxy or the rate limit, else the IoT side.
    void PublishFailure() {
        if (IsDataReachedLimitError(error_)) {
            After(0, [&s = s_] { s.SetState(s.Stopping); });
            return;
        }
        if (IsNetworkError(error_)) {
            Service& s = s_;
            if (required_) {
                LOG_WARNING << "Nework error on publishing, during a required collector call, retry Required On start on "
                               "network";
                s.RequestToRunOnNetwork([&s] { s._scheduler.In(Duration::zero(), [&s] { RetryRequired(s); }); });
            } else {
                LOG_WARNING << "No network error on publishing, during a collector call, retry resend on network";
                s.RequestToRunOnNetwork([&s] { s._scheduler.In(Duration::zero(), [&s] { Resend(s); }); });
            }
            return;
        }
        if (IsProxyError(error_) || IsIotHttpError(error_)) {
            RetryLater("Proxy error on publsihing");
            return;
        }
        if (IsRateLimitedError(error_) || IsSlowInternetError(error_) || IsBadRequestError(error_)) {
            RetryLater("Rate-Limited on publsihing");
            return;
        }
        IotFailure();
    }

    // The required collectors again, or a resend, after the state's delay.
    void RetryLater(const char* what) {
        if (required_) {
            const int64_t d = DelayOf(s_.RequiredOnStarting, kOneHour);
            LOG_WARNING << what << ", during a required collector call, retry Required On start in "
                        << Utils::FormatDuration(d);
            After(d, [&s = s_] { RetryRequired(s); });
        } else {
            const int64_t d = DelayOf(s_.Processing, kOneHour);
            LOG_WARNING << what << ", during a collector call, try resend data in " << Utils::FormatDuration(d);
            After(d, [&s = s_] { Resend(s); });
        }
    }

    // The IoT side refused: reconnect first, then new credentials, then a new discovery.
    void IotFailure() {
        const bool corvane = s_._modules.conn_module && s_._modules.conn_module->isCorvaneDevice;
        if (IsAwsInternetConnectionError(error_) || IsError5138(error_)) {
            ++s_._aws_connection_error_count;
            if (!corvane) s_._aws_connection_error_count = 3;
            if (s_._aws_connection_error_count <= 2) {
                const int64_t d = DelayOf(s_.ConnectingToIot, kFourHours);
                LOG_INFO << "Aws connection error on publishing, going to reconnect iot for: "
                         << Utils::FormatDuration(d) << "  error: " << text_;
                After(d, [&s = s_] {
                    if (MayReconnect(s)) {
                        s.SetState(s.ConnectingToIot);
                    } else {
                        LOG_INFO << "Reconnect not queued since we are not in Processing state";
                    }
                });
            } else {
                s_._aws_connection_error_count = 0;
                const int64_t d = DelayOf(s_.GettingIotCreds, kFourHours);
                LOG_INFO << "Aws connection error on publishing, too much retries going to get creds for: "
                         << Utils::FormatDuration(d) << "  error: " << text_;
                After(d, [&s = s_] { NewCredentials(s); });
            }
            return;
        }
        if (IsGatewayTimeoutError(error_)) {
            GatewayTimeout();
            return;
        }
        ++s_._aws_error_count;
        if (!corvane) s_._aws_error_count = 3;
        if (s_._aws_error_count <= 2) {
            const int64_t d = DelayOf(s_.ConnectingToIot, kFourHours);
            LOG_INFO << "ConnectingToIot failed with AWS error, backing off for: " << Utils::FormatDuration(d)
                     << "  error: " << text_;
            After(d, [&s = s_] {
                if (MayReconnect(s)) s.SetState(s.ConnectingToIot);
            });
        } else {
            s_._aws_error_count = 0;
            const int64_t d = DelayOf(s_.GettingIotCreds, kFourHours);
            LOG_INFO << "Aws error on publishing, going to get get creds in: " << Utils::FormatDuration(d)
                     << "  error: " << text_;
            s_._enrollment->RequireReenrollment();
            After(d, [&s = s_] { NewCredentials(s); });
        }
    }

    void GatewayTimeout() {
        ++s_._gateway_timeout_error_count;
        if (s_._gateway_timeout_error_count > 2) {
            s_._gateway_timeout_error_count = 0;
            const int64_t d = DelayOf(s_.Discovery, kFourHours);
            s_._enrollment->RequireReenrollment();
            LOG_INFO << "Aws creds error on publishing, too much retries, on retries going to Disovery in: "
                     << Utils::FormatDuration(d) << "  error: " << text_;
            After(d, [&s = s_] {
                if (Running(s)) s.SetState(s.Discovery);
            });
        } else {
            const int64_t d = DelayOf(s_.GettingIotCreds, kFourHours);
            LOG_INFO << "Aws creds error on publishing, going to get creds for: " << Utils::FormatDuration(d)
                     << "  error: " << text_;
            After(d, [&s = s_] { NewCredentials(s); });
        }
    }

    void After(int64_t ticks, std::function<void()> step) { s_._scheduler.In(Duration(ticks), std::move(step)); }

    static void EnterFailure(Service& s) {
        if (!s.IsCurrentState("FailureState") && !s.IsCurrentState("Stopping")) s.SetState(s.FailureState);
    }
    static void RetryRequired(Service& s) {
        if (s.IsCurrentState("RequiredOnStarting") && s.RequiredOnStarting.OnEnter) s.RequiredOnStarting.OnEnter();
    }
    static void Resend(Service& s) {
        if (s.IsCurrentState("Processing") && s.Processing.OnEnter) s.Processing.OnEnter();
    }
    static bool MayReconnect(Service& s) {
        return s.IsCurrentState("Processing") || s.IsCurrentState("RequiredOnStarting") ||
               s.IsCurrentState("GettingIotCreds");
    }
    static bool Running(Service& s) { return s.IsCurrentState("Processing") || s.IsCurrentState("RequiredOnStarting"); }
    static void NewCredentials(Service& s) {
        if (Running(s)) s.SetState(s.GettingIotCreds);
    }

    Service& s_;
    const Error& error_;
    const bool required_;
    const std::string text_;
};

void Service::TelemetryItemFailed(const Error& error, bool required) {
    if (error.type() != kCollectorErrorType) return;
    TelemetryFailureReaction(*this, error, required).Run();
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
    const Error error = _modules.conn_module ? _modules.conn_module->Enroll1E() : Error(shared::error::ErrorCategory::EC_Component, 1,
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
    if (_modules.corvane_enrollment) {
        error = _modules.corvane_enrollment->Process();
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
        if (!_modules.conn_module || !_modules.conn_module->IsCredentialsReady()) {
            const int64_t d = DelayOf(CorvaneEnrollment, kFourHours);
            LOG_INFO << "CorvaneEnrollment failed on certificate without credentials, will rerun in "
                     << Utils::FormatDuration(d) << "  error: " << Text(error);
            RerunAfter(_scheduler, CorvaneEnrollment, d);
            return;
        }
        _modules.conn_module->ResetEnrollment();
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
    if (_modules.performance_collector) {
        error = _modules.performance_collector->Process();
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
    const Error error = _modules.conn_module ? _modules.conn_module->ResetDataValveClient()
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
