// The start of the state machine and the enrollment road: Initializing, FailureState, the
// first-state decision, Onboarding, the two attestation states, Discovery and the three enrollment
// states, and the network wait they share. Every state posts its next step to the scheduler; none
// sleeps.

#include <algorithm>
#include <cctype>
#include <exception>
#include <limits>
#include <string>

#include "connectivity/connectivity_module.h"
#include "connectivity/device_attestation_module.h"
#include "features/feature_finder.h"
#include "features/network_events.h"
#include "features/system_info.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "outside/attestation/device_attestation.h"
#include "outside/enrollment/enrollment.h"
#include "outside/iot/iot_info.h"
#include "platform/clock.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {

using shared::error::Error;

constexpr int64_t kSecondTicks = platform::kTicksPerSecond;
constexpr int64_t kFiveSeconds = 5 * kSecondTicks;
constexpr int64_t kTwoMinutes = 120 * kSecondTicks;
constexpr int64_t kOneHour = 3600 * kSecondTicks;
constexpr int64_t kFourHours = 4 * kOneHour;
constexpr int64_t kOneDay = 24 * kOneHour;
constexpr int64_t kNetworkRecheck = 3'000'000'000;  // 5 minutes
constexpr int kMaxHwRetry = 1;
constexpr int kFailureReturnEvery = 24;
constexpr int kMaxEnrollServerErrors = 5;
constexpr char kMakerCertStore[] = "ZelkoPlenarCertStore";
constexpr char kServiceOrigin[] = "zelko-plenar-agent-service.exe";

std::string Text(const Error& error) { return error::ErrorToString(error); }
std::string Span(int64_t ticks) { return Utils::FormatDuration(ticks); }

bool IsHttpServerError(const Error& error) {
    if (error.category() != shared::error::ErrorCategory::EC_Component || error.code() < 500) return false;
    return Utils::ToLower(error.type()).find("http") != std::string::npos;
}

}  // namespace

// ---- helpers ----

void Service::PostIn(int64_t ticks, std::function<void()> body) {
    _scheduler.In(Duration(std::clamp<int64_t>(ticks, 0, kMaxDelayTicks)), std::move(body));
}

void Service::PostEnterIfStill(const ServiceState& still, const ServiceState& target, int64_t ticks) {
    PostIn(ticks, [this, still = still.name, target = &target] {
        if (IsCurrentState(still.c_str())) SetState(*target);
    });
}

void Service::PostRerunIfStill(const ServiceState& state, int64_t ticks) {
    PostIn(ticks, [this, state = &state] {
        if (IsCurrentState(state->name.c_str())) state->OnEnter();
    });
}

int64_t Service::StateDelay(const ServiceState& state, int64_t fallback) const {
    int64_t ticks = fallback;
    return state.GetNextDelay(ticks) ? ticks : fallback;
}

int64_t Service::LocalDelay(int64_t fallback) const {
    int64_t ticks = fallback;
    return GetLocalDelay(ticks) ? ticks : fallback;
}

void Service::ResetLocalDelay() {
    if (_local_delay_policy) _local_delay_policy->Reset();
}

void Service::BindEnrollmentStates() {
    Initializing.OnEnter = [this] {
        _initialized = false;
        PostIn(0, [this] { InitializingWork(); });
    };
    FailureState.OnEnter = [this] { FailureStateEnter(); };
    Onboarding.OnEnter = [this] { OnboardingEnter(); };
    Attestating.OnEnter = [this] { AttestatingEnter(); };
    AttestatingPoP.OnEnter = [this] { AttestatingPoPEnter(); };
    Discovery.OnEnter = [this] { DiscoveryEnter(); };
    PreEnrollZelko.OnEnter = [this] { PreEnrollZelkoEnter(); };
    EnrollZelko.OnEnter = [this] { EnrollZelkoEnter(); };
    PollEnrollZelkoStatus.OnEnter = [this] { PollEnrollZelkoStatusEnter(); };
    WaitingForNetwork.Perform = [this] { WaitingForNetworkPerform(); };
}

void Service::WaitingForNetworkPerform() {
    LOG_INFO << "WaitingForNetwork.Perform";
    WaitingForNetwork.running = false;
    if (SystemInfo::HasInternetConnectivity()) {
        if (_modules.network_events) _modules.network_events->ConnectivityChangedByOldApi();
    } else {
        LOG_INFO << "WaitingForNetwork.OnEnter no network, waiting.";
        WaitingForNetwork.running = true;
        PostIn(kNetworkRecheck, [this] { WaitingForNetwork.Perform(); });
    }
    LOG_INFO << "WaitingForNetwork.Perform exiting.";
}

// ---- Initializing ----

void Service::InitializingWork() {
    LOG_INFO << "Initializing.OnEnter";
    if (!IsCurrentState(Initializing.name.c_str())) {
        LOG_INFO << "Initializing.OnEnter state switched, exiting.";
        return;
    }
    if (ConfigBool("skip_modern_sleep_wait", false)) _startup_wake_time = 0;
    const int64_t wait = _grace_period.GetTimeToWait(_startup_wake_time.load()).count();
    if (wait >= 1) {
        LOG_INFO << "Initializing.OnEnter start_delay " << wait << " seconds will try later.";
        PostIn(wait * kSecondTicks, [this] { Initializing.OnEnter(); });
        return;
    }
    _startup_grace_done = true;
    _in_wake_grace = false;
    _startup_wake_time = 0;
    LOG_INFO << "Initializing.OnEnter Initialization of the agent started.";

    try {
        [&] {
            InitializeDeviceInfo();
            if (DoNotCallHome()) {
                LOG_INFO << "DoNotCallHome detected, stopping service.";
                SetState(Stopping);
                return;
            }
            Initialize();
            if (_stop_for_vxm) {
                SetState(Stopping);
                return;
            }
            bool over_cap = false;
            {
                std::lock_guard lock(_modules.conn_module->iotLock);
                over_cap = _modules.conn_module->sentMsgs > _modules.conn_module->maxSentMsgs ||
                           static_cast<int64_t>(_modules.conn_module->dataTransfered) > _modules.conn_module->maxDataTransfered;
            }
            if (over_cap) {
                LOG_INFO << "This device already sent too much data, stopping service.";
                SetState(Stopping);
                return;
            }
            _reattest_required = false;
            _reenroll_required = false;
            _cert_read_blocked_by_update = false;
            if (HasFeature("simulatewu")) _simulate_wu = true;
            if (HasFeature("simulatewritecerterr")) _simulate_write_cert_error = true;
            _init_work = [this] { DecisionStep(nullptr); };
            _init_work();
            if (_required_on_start_done) {
                LOG_INFO << "Initializing.OnEnter Starting scheduled events after initialization.";
                _scheduler.StartScheduledEvents();
                OpenWindowsEventSubscriptions();
            }
        }();
    } catch (const Error& e) {
        LOG_ERROR << "Error caught in Initializing.OnEnter " << Text(e);
        SetState(FailureState);
    } catch (const std::exception& e) {
        LOG_ERROR << "Exception caught in Initializing.OnEnter: " << e.what();
        SetState(FailureState);
    } catch (...) {
        const Error converted = error::ErrorFromException(std::current_exception(), kServiceOrigin);
        LOG_ERROR << "Unknown exception caught in Initializing.OnEnter " << Text(converted);
        SetState(FailureState);
    }
    LOG_INFO << "Initializing.OnEnter exiting.";
}

void Service::DecisionStep(const ServiceState* still) {
    SetNextState();
    if (!_cert_read_blocked_by_update) return;
    int64_t ticks = 0;
    if (NextPolicyDelay(_cert_store_policy, ticks)) {
        LOG_DEBUG << "Read enrollment certificate failed due to pending WU, backoff EnrollCertificateStore for "
                  << Span(ticks);
    } else {
        _cert_store_policy = CreateRateLimiterPolicy(_cert_store_policy_doc, "EnrollCertificateStore",
                                                     ExecutableFolder().string());
        if (!NextPolicyDelay(_cert_store_policy, ticks)) ticks = kFourHours;
        LOG_DEBUG << "EnrollCertificateStore Policy Reset. Read enrollment certificate failed due to pending WU, "
                     "backoff EnrollCertificateStore for "
                  << Span(ticks);
    }
    PostIn(ticks, [this, still] {
        // After a proof of possession the retry belongs to that state only.
        if (still != nullptr && !IsCurrentState(still->name.c_str())) return;
        if (still != nullptr) {
            DecisionStep(still);
        } else if (_init_work) {
            _init_work();
        }
    });
}

void Service::MarkInitFinishedIfInitializing() {
    if (IsCurrentState(Initializing.name.c_str())) _initialized = true;
}

void Service::SetNextState() {
    LOG_INFO << "SetNextState starting...";
    bool attestation_needed = false;
    if (_reattest_required) {
        LOG_INFO << "Attest Cert failed, need to reaattest";
        attestation_needed = true;
    } else {
        const bool attested = _modules.conn_module->attestationModule && _modules.conn_module->attestationModule->IsAttestated();
        LOG_INFO << "Device is " << (attested ? "attested" : "not attested");
        attestation_needed = !attested;
    }
    _cert_read_blocked_by_update = false;

    bool need_enroll = false;
    if (_reenroll_required) {
        LOG_INFO << "Enroll Cert failed, need to reenroll";
        need_enroll = true;
    } else if (!_modules.conn_module->GetIotInfo()) {
        LOG_INFO << "IoTInfo is null, need to enroll";
        need_enroll = true;
    } else {
        LOG_INFO << "IoTInfo is not null";
        const auto enrollment = _modules.conn_module->GetMakerEnrollment();
        const Error error = enrollment ? enrollment->CheckCertificateValidity(kMakerCertStore)
                                       : Error(shared::error::ErrorCategory::EC_Component, 0, "no enrollment", "agent");
        if ((IsEnrollmentCertReadError(error) || IsEnrollmentCertMissingError(error)) && !_simulate_wu) {
            LOG_INFO << "Enroll Cert is not valid or not found, need to reenroll";
            need_enroll = true;
        } else if (!error && !_simulate_wu) {
            MarkInitFinishedIfInitializing();
            const int64_t ticks = StateDelay(GettingIotCreds, 72'000'000'000);
            LOG_INFO << "GettingIotCreds rate-limited, backing off for: " << Span(ticks);
            PostIn(ticks, [this] { SetState(GettingIotCreds); });
            if (!attestation_needed) return;
        } else {
            if (Utils::GetWindowsUpdates() != 0 || _simulate_wu) {
                _cert_read_blocked_by_update = true;
                LOG_INFO << "WU pending in this machine";
                return;
            }
            LOG_INFO << "Enroll Cert is valid but not able to read certificate from store and no WU pending";
            need_enroll = true;
        }
    }

    if (need_enroll && !attestation_needed) {
        auto post_discovery = [this] {
            MarkInitFinishedIfInitializing();
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "Discovery rate-limitted, backing off for: " << Span(ticks);
            PostIn(ticks, [this] {
                if (IsCurrentState(Discovery.name.c_str()) && _cert_read_blocked_by_update) {
                    Discovery.OnEnter();
                } else {
                    SetState(Discovery);
                }
            });
        };
        if (_modules.conn_module->isSubscriptionDevice) {
            post_discovery();
            return;
        }
        const auto enrollment = _modules.conn_module->GetMakerEnrollment();
        if (enrollment && !enrollment->LoadCachedDiscoveryToken()) {
            const auto token = enrollment->GetDiscoveryToken();
            if (token && !token->GetError() && !enrollment->IsDiscoveryTokenExpired()) {
                LOG_INFO << "Valid token, goes to Discovery";
                post_discovery();
                return;
            }
        }
        LOG_INFO << "No valid token, need to attest";
        _reattest_required = true;
    }

    MarkInitFinishedIfInitializing();
    const int64_t ticks = StateDelay(Attestating, kOneDay);
    LOG_INFO << "Attestation rate-limitted backing off for:  " << Span(ticks);
    PostIn(ticks, [this] { SetState(Attestating); });
}

// ---- FailureState ----

void Service::FailureStateEnter() {
    LOG_INFO << "FailureState.OnEnter.";
    if (!IsCurrentState(FailureState.name.c_str())) {
        LOG_INFO << "FailureState.OnEnter state switched, exiting.";
        return;
    }
    if (_stopping) return;
    ++_failure_entry_count;
    if (_failure_entry_count % kFailureReturnEvery == 0 && _chance() % 2 == 0) {
        _reattest_required = true;
        _reenroll_required = true;
        SetState(Initializing);
    }
    const int64_t ticks = StateDelay(FailureState, kOneHour);
    LOG_DEBUG << "Queuing FailureState.OnEnter to " << ticks;
    PostIn(ticks, [this] { FailureState.OnEnter(); });
    LOG_INFO << "FailureState.OnEnter exiting.";
}

// ---- Onboarding ----

void Service::OnboardingEnter() {
    LOG_INFO << "Onboarding.OnEnter";
    if (!IsCurrentState(Onboarding.name.c_str())) {
        LOG_INFO << "Onboarding.OnEnter state switched, exiting.";
        return;
    }
    _modules.conn_module->Onboard();
    if (!_modules.conn_module->onboardingInProgress) return;
    const int64_t minutes = _modules.conn_module->onboardingBackoffHint;
    // A hint of nothing would post the next attempt at once, again and again: the state's own
    // policy paces it instead.
    const int64_t ticks = minutes > 0 ? minutes * 600'000'000 : StateDelay(Onboarding, kOneHour);
    LOG_INFO << "Onboarding backing off for " << Span(ticks);
    PostRerunIfStill(Onboarding, ticks);
}

// ---- attestation ----

void Service::AttestatingEnter() {
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "Attestation will run once the internet connection is back";
        RequestToRunOnNetwork([this] {
            if (IsCurrentState(Attestating.name.c_str())) Attestating.OnEnter();
        });
        return;
    }
    LOG_INFO << "Attestating.OnEnter  error_counter: " << _attest_error_counter << " max_hw_retry: " << kMaxHwRetry;
    auto& module = *_modules.conn_module->attestationModule;
    auto& library = *module.attestation;
    using shared::attestation::AttestationMode;
    const bool prefer_software = _attest_error_counter > kMaxHwRetry || _modules.conn_module->softkey ||
                                 library.GetAttestationMode() == AttestationMode::SoftwareKey;
    if (const Error check = library.CheckCertificate(shared::attestation::CertificateType::Attestation)) {
        _reattest_required = true;
        LOG_INFO << "Check Attestation certificate failed: " << Text(check);
    } else {
        _reattest_required = false;
        LOG_INFO << "Atestation certificate valid";
    }
    module.attestationValue = 0;
    const AttestationMode mode = prefer_software || library.GetAttestationMode() == AttestationMode::SoftwareKey
                                     ? AttestationMode::SoftwareKey
                                     : AttestationMode::Hardware;
    const Error error = library.Attestate(_reattest_required, mode, &module.attestationValue);
    if (!error) {
        ResetLocalDelay();
        PostIn(0, [this] { SetState(AttestatingPoP); });
        return;
    }
    if (IsNetworkError(error)) {
        LOG_INFO << "Attestation failed with error: " << Text(error) << " waiting for connection";
        RequestToRunOnNetwork([this] { Attestating.OnEnter(); });
    } else if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t ticks = StateDelay(Attestating, kOneDay);
        LOG_INFO << "Attestation rate-limitted failed backing off for:  " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(Attestating, ticks);
    } else if (IsAttestationServerError(error)) {
        _reattest_required = true;
        ++_attest_error_counter;
        const int64_t ticks = StateDelay(Attestating, kOneDay);
        LOG_INFO << "Attestation failed on server, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(Attestating, ticks);
    } else if (IsAttestationLocalError(error)) {
        _reattest_required = true;
        ++_attest_error_counter;
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "Attestation failed locally, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(Attestating, ticks);
    } else if (IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "Attestation failed due proxy config, backing off for: " << Span(ticks) << "  error: "
                 << Text(error);
        PostRerunIfStill(Attestating, ticks);
    } else {
        LOG_ERROR << "Attestation failed with error: " << Text(error);
        SetState(FailureState);
    }
}

void Service::AttestatingPoPEnter() {
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "AttestatingPoP will run once the internet connection is back";
        RequestToRunOnNetwork([this] {
            if (IsCurrentState(AttestatingPoP.name.c_str())) AttestatingPoP.OnEnter();
        });
        return;
    }
    auto& module = *_modules.conn_module->attestationModule;
    const Error error = module.attestation->ProofOfPossesion(module.attestationValue);
    if (!error) {
        _reattest_required = false;
        ResetLocalDelay();
        // With the certificate unreadable while updates pend, the decision schedules nothing: back
        // off on the certificate-store policy as the start-up does, while this state is current.
        DecisionStep(&AttestatingPoP);
        return;
    }
    if (IsNetworkError(error)) {
        LOG_INFO << "AttestationPoP failed with error: " << Text(error) << " waiting for connection";
        RequestToRunOnNetwork([this] { AttestatingPoP.OnEnter(); });
    } else if (IsAttestationServerError(error)) {
        _reattest_required = true;
        const int64_t ticks = StateDelay(Attestating, kOneDay);
        LOG_INFO << "AttestationPoP failed on server, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(AttestatingPoP, Attestating, ticks);
    } else if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t ticks = StateDelay(AttestatingPoP, kOneDay);
        LOG_INFO << "AttestationPoP rate-limitted failed backing off for:  " << Span(ticks) << "  error: "
                 << Text(error);
        PostRerunIfStill(AttestatingPoP, ticks);
    } else if (IsAttestationLocalError(error)) {
        _reattest_required = true;
        const int64_t ticks = StateDelay(Attestating, kOneDay);
        LOG_INFO << "AttestationPoP failed locally, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(AttestatingPoP, Attestating, ticks);
    } else if (IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "AttestationPoP failed due proxy config, backing off for: " << Span(ticks) << "  error: "
                 << Text(error);
        PostRerunIfStill(AttestatingPoP, ticks);
    } else {
        LOG_ERROR << "PoP failed with error: " << Text(error);
        SetState(FailureState);
    }
}

// ---- discovery and enrollment ----

bool Service::EnterEnrollmentStep(const ServiceState& state, const char* offline_line,
                                  std::function<void()> on_network) {
    LOG_INFO << state.name << ".OnEnter";
    if (!IsCurrentState(state.name.c_str())) {
        LOG_INFO << state.name << ".OnEnter state switched, exiting.";
        return false;
    }
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << offline_line;
        RequestToRunOnNetwork(std::move(on_network));
        return false;
    }
    return true;
}

void Service::ChallengeRule() {
    const int64_t ttl = ConfigInteger("challenge_ttl_sec", 86400, 0, std::numeric_limits<int32_t>::max());
    const int32_t seconds = static_cast<int32_t>(ttl);
    if (_pre_enroll_time + static_cast<int64_t>(seconds) * kSecondTicks < platform::NowTicks()) {
        SetState(PreEnrollZelko);
    } else if (IsCurrentState(EnrollZelko.name.c_str())) {
        EnrollZelko.OnEnter();
    } else {
        SetState(EnrollZelko);
    }
}

void Service::DiscoveryEnter() {
    if (!EnterEnrollmentStep(Discovery, "Discovery will run once the internet connection is back",
                             [this] { PostRerunIfStill(Discovery, 0); }))
        return;
    const Error error = _modules.conn_module->Discovery(_force_discovery_query);
    const bool subscription = _modules.conn_module->isSubscriptionDevice;
    if (!error) {
        _force_discovery_query = false;
        ResetLocalDelay();
        if (_back_to_enrollment) {
            _back_to_enrollment = false;
            const int64_t ticks = StateDelay(EnrollZelko, kOneDay);
            LOG_INFO << "EnrollZelko (back to Enrollment) delayed for: " << Span(ticks);
            PostIn(ticks, [this] {
                if (IsCurrentState(Discovery.name.c_str())) ChallengeRule();
            });
        } else if (_cert_read_blocked_by_update) {
            LOG_INFO << "Error in reading Enrollment certificate from store. Rescheduled to read for " << Span(kFourHours);
            PostIn(kFourHours, [this] {
                if (IsCurrentState(Discovery.name.c_str())) SetNextState();
            });
        } else {
            const int64_t ticks = StateDelay(PreEnrollZelko, kOneDay);
            LOG_INFO << "PreEnrollZelko delayed for: " << Span(ticks);
            PostEnterIfStill(Discovery, PreEnrollZelko, ticks);
        }
        return;
    }
    if (IsNetworkError(error)) {
        LOG_INFO << "Discovery failed with error: " << Text(error) << " waiting for connection";
        RequestToRunOnNetwork([this] { Discovery.OnEnter(); });
    } else if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        // A device without the subscription feature retries as well rather than stall here.
        _force_discovery_query = true;
        const int64_t ticks = StateDelay(Discovery, subscription ? kOneDay : kFourHours);
        LOG_INFO << "Discovery rate-limitted, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(Discovery, ticks);
    } else if (IsEnrollmentErrorsCode0(error) || IsEnrollmentErrorsCode1(error)) {
        _force_discovery_query = true;
        if (subscription) {
            _reenroll_required = true;
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "Discovery no or expired token, backing off for: " << Span(ticks) << "  error: " << Text(error);
            PostRerunIfStill(Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(Attestating, kFourHours);
            LOG_INFO << "Discovery no or expired token, Attest in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(Discovery, Attestating, ticks);
        }
    } else if (IsProxyError(error)) {
        const int64_t ticks = subscription ? LocalDelay(kOneHour) : StateDelay(Discovery, kFourHours);
        LOG_INFO << "Discovery ofailed due proxy cnfig, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(Discovery, ticks);
    } else {
        LOG_ERROR << "Discovery failed with error: " << Text(error);
        SetState(FailureState);
    }
}

void Service::PreEnrollZelkoEnter() {
    if (!EnterEnrollmentStep(PreEnrollZelko, "PreEnrollZelko will run once the internet connection is back",
                             [this] { PostRerunIfStill(PreEnrollZelko, 0); }))
        return;
    _back_to_enrollment = false;
    const Error error = _modules.conn_module->PreEnrollZelko();
    const bool subscription = _modules.conn_module->isSubscriptionDevice;
    if (!error) {
        ResetLocalDelay();
        _pre_enroll_time = platform::NowTicks();
        PostIn(0, [this] { SetState(EnrollZelko); });
        return;
    }
    if (IsNetworkError(error)) {
        LOG_INFO << "PreEnrollZelko waiting for network due to error: " << Text(error);
        RequestToRunOnNetwork([this] { PreEnrollZelko.OnEnter(); });
    } else if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        const int64_t ticks = StateDelay(Discovery, kFourHours);
        LOG_INFO << "PreEnrollZelko rate-limitted, going to check Discovery Token in for: " << Span(ticks)
                 << "  error: " << Text(error);
        PostEnterIfStill(PreEnrollZelko, Discovery, ticks);
    } else if (IsAuthError(error)) {
        _force_discovery_query = true;
        if (subscription) {
            _reenroll_required = true;
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "PreEnrollZelko Unauthorized, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(PreEnrollZelko, Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(Attestating, kFourHours);
            LOG_INFO << "PreEnrollZelko Unauthorized, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(PreEnrollZelko, Attestating, ticks);
        }
    } else if (IsEnrollmentErrorType(error)) {
        _reattest_required = _force_discovery_query = true;
        const int64_t ticks = StateDelay(Attestating, kOneDay);
        LOG_INFO << "PreEnrollZelko bad token, Attestating in: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(PreEnrollZelko, Attestating, ticks);
    } else if (IsAttestationLocalError(error)) {
        _reattest_required = _force_discovery_query = true;
        const int64_t ticks = StateDelay(Attestating, kOneDay);
        LOG_INFO << "PreEnrollZelko validating attestsation signuture error, Attestating in: " << Span(ticks)
                 << "  error: " << Text(error);
        PostEnterIfStill(PreEnrollZelko, Attestating, ticks);
    } else if (IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "PreEnrollZelko due to proxy, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(PreEnrollZelko, ticks);
    } else {
        LOG_ERROR << "Invalid PreEnrollZelko" << Text(error);
        SetState(FailureState);
    }
}

void Service::EnrollZelkoEnter() {
    auto challenge_if_still = [this] {
        if (IsCurrentState(EnrollZelko.name.c_str())) ChallengeRule();
    };
    if (!EnterEnrollmentStep(EnrollZelko, "EnrollZelko will run once the internet connection is back",
                             challenge_if_still))
        return;
    int64_t discarded = 0;
    (void)EnrollZelko.GetNextDelay(discarded);
    const Error error = _modules.conn_module->EnrollZelko();
    const bool subscription = _modules.conn_module->isSubscriptionDevice;
    if (!error) {
        ResetLocalDelay();
        int64_t ticks = 0;
        if (!PollEnrollZelkoStatus.GetNextDelay(ticks)) {
            PollEnrollZelkoStatus.ResetPolicy();
            ticks = kFiveSeconds;
        }
        LOG_INFO << "PollEnrollZelkoStatus first call backing off for: " << Span(ticks);
        PostIn(ticks, [this] { SetState(PollEnrollZelkoStatus); });
        return;
    }
    if (IsNetworkError(error)) {
        LOG_INFO << "EnrollZelko waiting for network due to error: " << Text(error);
        RequestToRunOnNetwork(challenge_if_still);
    } else if (IsHttpServerError(error)) {
        if (++_enroll_server_error_count > kMaxEnrollServerErrors) {
            _enroll_server_error_count = 0;
            _reattest_required = _reenroll_required = true;
            const int64_t ticks = StateDelay(Attestating, kOneDay);
            LOG_INFO << "EnrollZelko failed, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(EnrollZelko, Attestating, ticks);
        } else {
            _back_to_enrollment = true;
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "EnrollZelko rate-limitted, checking on Discovery Token in : " << Span(ticks)
                     << "  error: " << Text(error);
            PostEnterIfStill(EnrollZelko, Discovery, ticks);
        }
    } else if (IsRateLimitedError(error) || IsSlowInternetError(error) || IsBadRequestError(error)) {
        _back_to_enrollment = true;
        const int64_t ticks = StateDelay(Discovery, kFourHours);
        LOG_INFO << "EnrollZelko rate-limitted, checking on Discovery Token in : " << Span(ticks)
                 << "  error: " << Text(error);
        PostEnterIfStill(EnrollZelko, Discovery, ticks);
    } else if (IsUnauthorizedError(error)) {
        _reattest_required = _reenroll_required = true;
        const int64_t ticks = StateDelay(Attestating, kFourHours);
        LOG_INFO << "EnrollZelko failed, Attest in: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(EnrollZelko, Attestating, ticks);
    } else if (IsAuthError(error)) {
        _force_discovery_query = _reenroll_required = true;
        if (subscription) {
            _back_to_enrollment = true;
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "EnrollZelko bad token, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(EnrollZelko, Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(Attestating, kOneDay);
            LOG_INFO << "EnrollZelko bad token, Attestatin in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(EnrollZelko, Attestating, ticks);
        }
    } else if (IsEnrollmentErrorType(error)) {
        _force_discovery_query = _reenroll_required = true;
        if (subscription) {
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "EnrollZelko failed, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(EnrollZelko, Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(Attestating, kOneDay);
            LOG_INFO << "EnrollZelko failed, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(EnrollZelko, Attestating, ticks);
        }
    } else if (IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "EnrollZelko due to proxy, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostIn(ticks, challenge_if_still);
    } else {
        LOG_ERROR << "Invalid EnrollZelko" << Text(error);
        SetState(FailureState);
    }
}

void Service::PollCertStoreBackoff() {
    int64_t ticks = 0;
    if (Utils::GetWindowsUpdates() != 0 || _simulate_write_cert_error) {
        if (NextPolicyDelay(_cert_store_policy, ticks)) {
            LOG_DEBUG << "Save enrollment certificate to store failed due to pending WU, backoff EnrollCertificateStore for "
                      << Span(ticks);
        } else {
            _cert_store_policy = CreateRateLimiterPolicy(_cert_store_policy_doc, "EnrollCertificateStore",
                                                         ExecutableFolder().string());
            if (!NextPolicyDelay(_cert_store_policy, ticks)) ticks = kFourHours;
            LOG_DEBUG << "EnrollCertificateStore Policy Reset.Save enrollment certificate to store failed due to "
                         "pending WU, backoff EnrollCertificateStore for "
                      << Span(ticks);
        }
    } else if (NextPolicyDelay(_cert_store_save_policy, ticks)) {
        LOG_DEBUG << "Save enrollment certificate to store failed, backoff EnrollCertificateStoreSave for " << Span(ticks);
    } else {
        _cert_store_save_policy = CreateRateLimiterPolicy(_cert_store_save_policy_doc, "EnrollCertificateStoreSave",
                                                          ExecutableFolder().string());
        if (!NextPolicyDelay(_cert_store_save_policy, ticks)) ticks = kOneHour;
        LOG_DEBUG << "EnrollCertificateStoreSave Policy Reset. Save enrollment certificate to store failed, backoff "
                     "EnrollCertificateStoreSave for "
                  << Span(ticks);
    }
    PostRerunIfStill(PollEnrollZelkoStatus, ticks);
}

void Service::PollEnrollZelkoStatusEnter() {
    if (!EnterEnrollmentStep(PollEnrollZelkoStatus,
                             "PollEnrollZelkoStatus will run once the internet connection is back",
                             [this] { PostRerunIfStill(PollEnrollZelkoStatus, 0); }))
        return;
    const Error error = _modules.conn_module->PollEnrollZelkoStatus();
    const bool subscription = _modules.conn_module->isSubscriptionDevice;
    auto back_to_discovery = [this](int64_t ticks) {
        _back_to_enrollment = _reenroll_required = _force_discovery_query = true;
        PostEnterIfStill(PollEnrollZelkoStatus, Discovery, ticks);
    };
    if (!error && !_simulate_write_cert_error) {
        ResetLocalDelay();
        PollEnrollZelkoStatus.ResetPolicy();
        PostIn(0, [this] { SetState(GettingIotCreds); });
        return;
    }
    if (IsEnrollmentError6(error) || _simulate_write_cert_error) {
        PollCertStoreBackoff();
    } else if (IsEnrollmentNotFoundError(error)) {
        int64_t ticks = 0;
        if (PollEnrollZelkoStatus.GetNextDelay(ticks)) {
            LOG_INFO << "PollEnrollZelkoStatus not ready, backing off for: " << Span(ticks) << " error: " << Text(error);
            PostRerunIfStill(PollEnrollZelkoStatus, ticks);
        } else {
            PollEnrollZelkoStatus.ResetPolicy();
            ticks = StateDelay(Discovery, kOneHour);
            LOG_INFO << "PollEnrollZelkoStatus timed out - not ready, backing off for: " << Span(ticks);
            back_to_discovery(ticks);
        }
    } else if (IsNetworkError(error)) {
        _poll_network_error_time = platform::NowTicks();
        RequestToRunOnNetwork([this] {
            if (platform::NowTicks() - _poll_network_error_time <= kTwoMinutes) {
                PollEnrollZelkoStatus.OnEnter();
                return;
            }
            const int64_t ticks = StateDelay(Discovery, kOneHour);
            LOG_INFO << "PollEnrollZelkoStatus timed out, Discovery in: " << Span(ticks);
            _back_to_enrollment = _reenroll_required = _force_discovery_query = true;
            PostEnterIfStill(PollEnrollZelkoStatus, Discovery, ticks);
        });
    } else if (IsRateLimitedError(error) || IsSlowInternetError(error)) {
        int64_t ticks = kFiveSeconds;
        int64_t drawn = 0;
        if (PollEnrollZelkoStatus.GetNextDelay(drawn)) {
            ticks = drawn;
        } else {
            PollEnrollZelkoStatus.ResetPolicy();
        }
        if (PollEnrollZelkoStatus.GetNextDelay(drawn)) ticks = drawn;
        LOG_INFO << "PollEnrollZelkoStatus ratelimited or slow internet, backing off for: " << Span(ticks)
                 << " error: " << Text(error);
        PostRerunIfStill(PollEnrollZelkoStatus, ticks);
    } else if (IsBadRequestError(error) || IsEnrollmentError13(error)) {
        const int64_t ticks = StateDelay(Discovery, kOneHour);
        LOG_INFO << "PollEnrollZelkoStatus bad httprequest or Emptycertificate, backing off for " << Span(ticks);
        back_to_discovery(ticks);
    } else if (IsAuthError(error)) {
        if (subscription) {
            const int64_t ticks = StateDelay(Discovery, kFourHours);
            LOG_INFO << "PollEnrollZelkoStatus bad token, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            back_to_discovery(ticks);
        } else {
            _reattest_required = _force_discovery_query = _reenroll_required = true;
            const int64_t ticks = StateDelay(Attestating, kOneDay);
            LOG_INFO << "PollEnrollZelkoStatus bad token, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(PollEnrollZelkoStatus, Attestating, ticks);
        }
    } else if (IsEnrollmentErrorType(error)) {
        const int64_t ticks = StateDelay(Discovery, kOneHour);
        LOG_INFO << "PollEnrollZelkoStatus failed, Discovery in: " << Span(ticks) << "  error: " << Text(error);
        back_to_discovery(ticks);
    } else if (IsProxyError(error)) {
        const int64_t ticks = StateDelay(Discovery, kOneHour);
        LOG_INFO << "PollEnrollZelkoStatus failed due to proxy, Discovery in: " << Span(ticks) << "  error: "
                 << Text(error);
        back_to_discovery(ticks);
    } else {
        LOG_ERROR << "Invalid PollEnrollZelkoStatus" << Text(error);
        SetState(FailureState);
    }
}

}  // namespace zelko::plenar::agent
