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
#include "service/telemetry_feedback.h"
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

TelemetryFeedback::TelemetryFeedback(Scheduler& scheduler, ModuleSet& modules, States states, Host host)
    : _scheduler(scheduler), _modules(modules), _s(states), _host(std::move(host)) {}

void TelemetryFeedback::Bind() {
    _enroll_1e.Perform = [this] { PerformEnroll1E(); };
    _corvane_enrollment.Perform = [this] { PerformCorvaneEnrollment(); };
    _collect_performance.Perform = [this] { PerformCollectPerformance(); };
    _reset_data_valve_client.Perform = [this] { PerformResetDataValveClient(); };
    _performance_measure.Perform = [this] { PerformPerformanceMeasure(); };
}

// ---- collector outcome reactions ----

void TelemetryFeedback::ItemDone(const TelemetryEvent& item) {
    // On the telemetry module's threads: only hand the work on.
    if (_scheduler.destroyed) return;
    if (item.Type.dwControl == 220) _scheduler.In(Duration::zero(), [this] { CompleteRequiredCollectors(); });
    if (item.Type.dwChannel == 210) {
        _scheduler.In(Duration::zero(), [this] {
            if (_host.is_current("Processing")) _reset_data_valve_client.ResetPolicy();
        });
    }
}

void TelemetryFeedback::CompleteRequiredCollectors() {
    if (!_host.is_current("RequiredOnStarting")) return;
    _host.save_required_done();
    _host.set_state(_s.Processing);
    _reset_data_valve_client.ResetPolicy();
    LOG_INFO << "RequiredOnStarting.OnEnter Starting scheduled events";
    _scheduler.StartScheduledEvents();
    _host.open_event_log();
}

// The reaction to one failed collector item. Each step it schedules tests the state when it runs,
// not when the failure was reported.
class TelemetryFailureReaction {
  public:
    TelemetryFailureReaction(TelemetryFeedback& feedback, const Error& error, bool required)
        : f_(feedback), error_(error), required_(required), text_(Text(error)) {}

    void Run() {
        if (!f_._host.is_current("Processing") && !f_._host.is_current("RequiredOnStarting")) {
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
            After(0, [&f = f_] { EnterFailure(f); });
            return;
        }
        if ((code >= 2 && code <= 10) || code == 15) {
            if (!required_) return;
            LOG_WARNING << "Internal error in collector, during a required collector call, going to FailureState";
            After(0, [&f = f_] { EnterFailure(f); });
            return;
        }
        if (code == 11 || code == 13) {
            if (!required_) return;
            const int64_t d = DelayOf(f_._s.RequiredOnStarting, kOneHour);
            LOG_WARNING << "CDM error, during a required collector call, retry Required On start in "
                        << Utils::FormatDuration(d);
            After(d, [&f = f_] { RetryRequired(f); });
            return;
        }
        if (code == 16) {
            const int64_t d = DelayOf(f_._reset_data_valve_client, kOneHour);
            if (required_) {
                LOG_WARNING << "Remote Consent error, during a required collector call rerun in "
                            << Utils::FormatDuration(d);
            } else {
                LOG_WARNING << "Remote Consent error, during a collector call rerun in " << Utils::FormatDuration(d);
            }
            After(d, [&f = f_] { f._reset_data_valve_client.Perform(); });
        }
    }

    // Publishing failed: the data limit, the network, a proxy or the rate limit, else the IoT side.
    void PublishFailure() {
        if (IsDataReachedLimitError(error_)) {
            After(0, [&f = f_] { f._host.set_state(f._s.Stopping); });
            return;
        }
        if (IsNetworkError(error_)) {
            TelemetryFeedback& f = f_;
            if (required_) {
                LOG_WARNING << "Nework error on publishing, during a required collector call, retry Required On start on "
                               "network";
                f._host.run_on_network([&f] { f._scheduler.In(Duration::zero(), [&f] { RetryRequired(f); }); });
            } else {
                LOG_WARNING << "No network error on publishing, during a collector call, retry resend on network";
                f._host.run_on_network([&f] { f._scheduler.In(Duration::zero(), [&f] { Resend(f); }); });
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
            const int64_t d = DelayOf(f_._s.RequiredOnStarting, kOneHour);
            LOG_WARNING << what << ", during a required collector call, retry Required On start in "
                        << Utils::FormatDuration(d);
            After(d, [&f = f_] { RetryRequired(f); });
        } else {
            const int64_t d = DelayOf(f_._s.Processing, kOneHour);
            LOG_WARNING << what << ", during a collector call, try resend data in " << Utils::FormatDuration(d);
            After(d, [&f = f_] { Resend(f); });
        }
    }

    // The IoT side refused: reconnect first, then new credentials, then a new discovery.
    void IotFailure() {
        const bool corvane = f_._modules.conn_module && f_._modules.conn_module->isCorvaneDevice;
        if (IsAwsInternetConnectionError(error_) || IsError5138(error_)) {
            ++f_._aws_connection_error_count;
            if (!corvane) f_._aws_connection_error_count = 3;
            if (f_._aws_connection_error_count <= 2) {
                const int64_t d = DelayOf(f_._s.ConnectingToIot, kFourHours);
                LOG_INFO << "Aws connection error on publishing, going to reconnect iot for: "
                         << Utils::FormatDuration(d) << "  error: " << text_;
                After(d, [&f = f_] {
                    if (MayReconnect(f)) {
                        f._host.set_state(f._s.ConnectingToIot);
                    } else {
                        LOG_INFO << "Reconnect not queued since we are not in Processing state";
                    }
                });
            } else {
                f_._aws_connection_error_count = 0;
                const int64_t d = DelayOf(f_._s.GettingIotCreds, kFourHours);
                LOG_INFO << "Aws connection error on publishing, too much retries going to get creds for: "
                         << Utils::FormatDuration(d) << "  error: " << text_;
                After(d, [&f = f_] { NewCredentials(f); });
            }
            return;
        }
        if (IsGatewayTimeoutError(error_)) {
            GatewayTimeout();
            return;
        }
        ++f_._aws_error_count;
        if (!corvane) f_._aws_error_count = 3;
        if (f_._aws_error_count <= 2) {
            const int64_t d = DelayOf(f_._s.ConnectingToIot, kFourHours);
            LOG_INFO << "ConnectingToIot failed with AWS error, backing off for: " << Utils::FormatDuration(d)
                     << "  error: " << text_;
            After(d, [&f = f_] {
                if (MayReconnect(f)) f._host.set_state(f._s.ConnectingToIot);
            });
        } else {
            f_._aws_error_count = 0;
            const int64_t d = DelayOf(f_._s.GettingIotCreds, kFourHours);
            LOG_INFO << "Aws error on publishing, going to get get creds in: " << Utils::FormatDuration(d)
                     << "  error: " << text_;
            f_._host.require_reenrollment();
            After(d, [&f = f_] { NewCredentials(f); });
        }
    }

    void GatewayTimeout() {
        ++f_._gateway_timeout_error_count;
        if (f_._gateway_timeout_error_count > 2) {
            f_._gateway_timeout_error_count = 0;
            const int64_t d = DelayOf(f_._s.Discovery, kFourHours);
            f_._host.require_reenrollment();
            LOG_INFO << "Aws creds error on publishing, too much retries, on retries going to Disovery in: "
                     << Utils::FormatDuration(d) << "  error: " << text_;
            After(d, [&f = f_] {
                if (Running(f)) f._host.set_state(f._s.Discovery);
            });
        } else {
            const int64_t d = DelayOf(f_._s.GettingIotCreds, kFourHours);
            LOG_INFO << "Aws creds error on publishing, going to get creds for: " << Utils::FormatDuration(d)
                     << "  error: " << text_;
            After(d, [&f = f_] { NewCredentials(f); });
        }
    }

    void After(int64_t ticks, std::function<void()> step) { f_._scheduler.In(Duration(ticks), std::move(step)); }

    static void EnterFailure(TelemetryFeedback& f) {
        if (!f._host.is_current("FailureState") && !f._host.is_current("Stopping")) {
            f._host.set_state(f._s.FailureState);
        }
    }
    static void RetryRequired(TelemetryFeedback& f) {
        if (f._host.is_current("RequiredOnStarting") && f._s.RequiredOnStarting.OnEnter) {
            f._s.RequiredOnStarting.OnEnter();
        }
    }
    static void Resend(TelemetryFeedback& f) {
        if (f._host.is_current("Processing") && f._s.Processing.OnEnter) f._s.Processing.OnEnter();
    }
    static bool MayReconnect(TelemetryFeedback& f) {
        return f._host.is_current("Processing") || f._host.is_current("RequiredOnStarting") ||
               f._host.is_current("GettingIotCreds");
    }
    static bool Running(TelemetryFeedback& f) {
        return f._host.is_current("Processing") || f._host.is_current("RequiredOnStarting");
    }
    static void NewCredentials(TelemetryFeedback& f) {
        if (Running(f)) f._host.set_state(f._s.GettingIotCreds);
    }

    TelemetryFeedback& f_;
    const Error& error_;
    const bool required_;
    const std::string text_;
};

void TelemetryFeedback::ItemFailed(const Error& error, bool required) {
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

void TelemetryFeedback::PerformEnroll1E() {
    LOG_INFO << "Enroll1E.OnEnter";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "Enroll1E failed due to no internet connection";
        _host.run_on_network([this] { _enroll_1e.Perform(); });
        return;
    }
    const Error error = _modules.conn_module ? _modules.conn_module->Enroll1E() : Error(shared::error::ErrorCategory::EC_Component, 1,
                                                                        "The connectivity module is not initialised");
    if (!error) {
        _host.reset_local_delay();
        LOG_INFO << "Enroll1E successful";
        return;
    }
    if (IsNetworkError(error)) {
        _host.run_on_network([this] { _enroll_1e.Perform(); });
        return;
    }
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t d = DelayOf(_enroll_1e, kOneDay);
        LOG_INFO << "Enroll1E backing off for " << Utils::FormatDuration(d);
        RerunAfter(_scheduler, _enroll_1e, d);
        return;
    }
    if (IsUnauthorizedError(error)) {
        const int64_t d = DelayOf(_s.Attestating, kOneDay);
        LOG_INFO << "Enroll1E failed reattestate in " << Utils::FormatDuration(d);
        _scheduler.In(Duration(d), [this] {
            _host.require_reattestation();
            _host.set_state(_s.Attestating);
        });
        return;
    }
    LOG_WARNING << "Invalid 1E enrollment, will not retry due to " << Text(error);
}

void TelemetryFeedback::PerformCorvaneEnrollment() {
    LOG_INFO << "Running CorvaneEnrollment";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "CorvaneEnrollment will run once the internet connection is back";
        _host.run_on_network([this] { _corvane_enrollment.Perform(); });
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
        const int64_t d = DelayOf(_corvane_enrollment, kFiveMinutes);
        LOG_INFO << "CorvaneEnrollment process will run again in " << Utils::FormatDuration(d);
        RerunAfter(_scheduler, _corvane_enrollment, d);
        return;
    }
    if (IsNetworkError(error)) {
        _host.run_on_network([this] { _corvane_enrollment.Perform(); });
        return;
    }
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t d = DelayOf(_corvane_enrollment, kFourHours);
        LOG_INFO << "CorvaneEnrollment is rate-limited, backing off for: " << Utils::FormatDuration(d)
                 << "  error : " << Text(error);
        RerunAfter(_scheduler, _corvane_enrollment, d);
        return;
    }
    if (IsProxyError(error) || IsIotHttpError(error) || IsAwsInternetConnectionError(error)) {
        int64_t d = kFourHours;
        if (!_host.local_delay(d)) d = kFourHours;
        LOG_INFO << "CorvaneEnrollment  failed with Aws Internet Connection Error, reconnect to iot in: "
                 << Utils::FormatDuration(d) << "  error: " << Text(error);
        // The chain is started once per process: it must not end here, or it never runs again.
        _scheduler.In(Duration(d), [this] {
            if (!_host.is_current("Processing")) {
                _corvane_enrollment.Perform();
                return;
            }
            _host.set_state(_s.GettingIotCreds);
            const int64_t again = DelayOf(_corvane_enrollment, kFourHours);
            LOG_INFO << "CorvaneEnrollment will run again in " << Utils::FormatDuration(again);
            RerunAfter(_scheduler, _corvane_enrollment, again);
        });
        return;
    }
    if (IsTlsError(error)) {
        if (!_modules.conn_module || !_modules.conn_module->IsCredentialsReady()) {
            const int64_t d = DelayOf(_corvane_enrollment, kFourHours);
            LOG_INFO << "CorvaneEnrollment failed on certificate without credentials, will rerun in "
                     << Utils::FormatDuration(d) << "  error: " << Text(error);
            RerunAfter(_scheduler, _corvane_enrollment, d);
            return;
        }
        _modules.conn_module->ResetEnrollment();
        const int64_t d = DelayOf(_s.Discovery, kFourHours);
        LOG_INFO << "CorvaneEnrollment  failed on certificate, Discovery in: " << Utils::FormatDuration(d)
                 << "  error: " << Text(error);
        _host.require_reenrollment();
        _scheduler.In(Duration(d), [this] { _host.set_state(_s.Discovery); });
        return;
    }
    const int64_t d = DelayOf(_corvane_enrollment, kOneDay);
    LOG_INFO << "CorvaneEnrollment error, will rerun in " << Utils::FormatDuration(d) << "  error: " << Text(error);
    RerunAfter(_scheduler, _corvane_enrollment, d);
}

void TelemetryFeedback::PerformCollectPerformance() {
    LOG_INFO << "Running CollectPerformance";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "CollectPerformance will run once the internet connection is back";
        _host.run_on_network([this] { _collect_performance.Perform(); });
        return;
    }
    Error error;
    // Replaced whole by the set-up while the telemetry module's threads read it.
    if (auto collector = _modules.LoadPerformanceCollector()) {
        error = collector->Process();
    } else {
        error = Error(shared::error::ErrorCategory::EC_Component, 1, "The performance collector is not made");
    }
    if (error) {
        const int64_t d = DelayOf(_collect_performance, kOneDay);
        LOG_INFO << "CollectPerformance error, will rerun in " << Utils::FormatDuration(d) << "  error: " << Text(error);
        RerunAfter(_scheduler, _collect_performance, d);
        return;
    }
    LOG_INFO << "CollectPerformance is successfull.";
    const int64_t d = DelayOf(_collect_performance, kFiveMinutes);
    LOG_INFO << "CollectPerformance process will run again in " << Utils::FormatDuration(d);
    RerunAfter(_scheduler, _collect_performance, d);
}

void TelemetryFeedback::PerformResetDataValveClient() {
    LOG_INFO << "Running ResetDataValveClient";
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "ResetDataValveClient will run once the internet connection is back";
        _host.run_on_network([this] { _reset_data_valve_client.Perform(); });
        return;
    }
    const Error error = _modules.conn_module ? _modules.conn_module->ResetDataValveClient()
                                     : Error(shared::error::ErrorCategory::EC_Component, 1,
                                             "The connectivity module is not initialised");
    if (!error) {
        if (_host.is_current("RequiredOnStarting")) {
            LOG_INFO << "ResetDataValveClient RequiredOnStarting.OnEnter.";
            _scheduler.In(Duration::zero(), [this] {
                if (_s.RequiredOnStarting.OnEnter) _s.RequiredOnStarting.OnEnter();
            });
        } else if (_host.is_current("Processing")) {
            LOG_INFO << "ResetDataValveClient Processing.OnEnter.";
            _scheduler.In(Duration::zero(), [this] {
                if (_s.Processing.OnEnter) _s.Processing.OnEnter();
            });
        }
        return;
    }
    if (IsNetworkError(error)) {
        _host.run_on_network([this] { _reset_data_valve_client.Perform(); });
        return;
    }
    const int64_t d = DelayOf(_reset_data_valve_client, kFiveMinutes);
    if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        LOG_INFO << "ResetDataValveClient backing off for " << Utils::FormatDuration(d);
    } else {
        LOG_INFO << "ResetDataValveClient backing off for " << Utils::FormatDuration(d)
                 << " due to error: " << Text(error);
    }
    RerunAfter(_scheduler, _reset_data_valve_client, d);
}

void TelemetryFeedback::PerformPerformanceMeasure() {
    LOG_INFO << "Running PerformanceMeasure";
    _host.send_event(222, 0);
    const int64_t d = DelayOf(_performance_measure, kThirtyDays);
    LOG_INFO << "PerformanceMeasure will run in " << Utils::FormatDuration(d);
    RerunAfter(_scheduler, _performance_measure, d);
}

}  // namespace zelko::plenar::agent
