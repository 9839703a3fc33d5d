// The enrollment road. Every state posts its next step through the host; none sleeps.

#include "state_machine/enrollment_road.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>
#include <string>

#include "connectivity/connectivity_module.h"
#include "connectivity/device_attestation_module.h"
#include "features/system_info.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "outside/attestation/device_attestation.h"
#include "outside/enrollment/enrollment.h"
#include "platform/clock.h"
#include "state_machine/error_tests.h"

namespace zelko::plenar::agent {

namespace {

using shared::error::Error;

constexpr int64_t kSecondTicks = platform::kTicksPerSecond;
constexpr int64_t kFiveSeconds = 5 * kSecondTicks;
constexpr int64_t kTwoMinutes = 120 * kSecondTicks;
constexpr int64_t kOneHour = 3600 * kSecondTicks;
constexpr int64_t kFourHours = 4 * kOneHour;
constexpr int64_t kOneDay = 24 * kOneHour;
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

EnrollmentRoad::EnrollmentRoad(EnrollmentHost& host, States states)
    : _host(host), _s(states), _chance([] { return std::rand(); }) {}

// ---- helpers ----

void EnrollmentRoad::PostIn(int64_t ticks, std::function<void()> body) { _host.PostAfter(ticks, std::move(body)); }

void EnrollmentRoad::PostEnterIfStill(const ServiceState& still, const ServiceState& target, int64_t ticks) {
    PostIn(ticks, [this, still = still.name, target = &target] {
        if (_host.IsCurrentState(still.c_str())) _host.SetState(*target);
    });
}

void EnrollmentRoad::PostRerunIfStill(const ServiceState& state, int64_t ticks) {
    PostIn(ticks, [this, state = &state] {
        if (_host.IsCurrentState(state->name.c_str())) state->OnEnter();
    });
}

int64_t EnrollmentRoad::StateDelay(const ServiceState& state, int64_t fallback) const {
    int64_t ticks = fallback;
    return state.GetNextDelay(ticks) ? ticks : fallback;
}

int64_t EnrollmentRoad::LocalDelay(int64_t fallback) const {
    int64_t ticks = fallback;
    return _host.GetLocalDelay(ticks) ? ticks : fallback;
}

void EnrollmentRoad::RequireReenrollment() { _reenroll_required = _force_discovery_query = true; }

void EnrollmentRoad::RequireReattestation() { _reattest_required = true; }

void EnrollmentRoad::ReadSimulationFeatures() {
    if (_host.HasFeature("simulatewu")) _simulate_wu = true;
    if (_host.HasFeature("simulatewritecerterr")) _simulate_write_cert_error = true;
}

void EnrollmentRoad::Bind() {
    _s.Initializing.OnEnter = [this] {
        _initialized = false;
        PostIn(0, [this] { InitializingWork(); });
    };
    _s.FailureState.OnEnter = [this] { FailureStateEnter(); };
    _s.Onboarding.OnEnter = [this] { OnboardingEnter(); };
    _s.Attestating.OnEnter = [this] { AttestatingEnter(); };
    _s.AttestatingPoP.OnEnter = [this] { AttestatingPoPEnter(); };
    _s.Discovery.OnEnter = [this] { DiscoveryEnter(); };
    _s.PreEnrollZelko.OnEnter = [this] { PreEnrollZelkoEnter(); };
    _s.EnrollZelko.OnEnter = [this] { EnrollZelkoEnter(); };
    _s.PollEnrollZelkoStatus.OnEnter = [this] { PollEnrollZelkoStatusEnter(); };
}

// ---- Initializing ----

void EnrollmentRoad::InitializingWork() {
    LOG_INFO << "Initializing.OnEnter";
    if (!_host.IsCurrentState(_s.Initializing.name.c_str())) {
        LOG_INFO << "Initializing.OnEnter state switched, exiting.";
        return;
    }
    const int64_t wait = _host.StartupWaitSeconds();
    if (wait >= 1) {
        LOG_INFO << "Initializing.OnEnter start_delay " << wait << " seconds will try later.";
        PostIn(wait * kSecondTicks, [this] { _s.Initializing.OnEnter(); });
        return;
    }
    _host.EndStartupGrace();
    LOG_INFO << "Initializing.OnEnter Initialization of the agent started.";

    try {
        [&] {
            if (!_host.SetUpModules()) {
                _host.SetState(_s.Stopping);
                return;
            }
            bool over_cap = false;
            {
                const auto conn = _host.Connectivity();
                std::lock_guard lock(conn->iotLock);
                over_cap = conn->sentMsgs > conn->maxSentMsgs ||
                           static_cast<int64_t>(conn->dataTransfered) > conn->maxDataTransfered;
            }
            if (over_cap) {
                LOG_INFO << "This device already sent too much data, stopping service.";
                _host.SetState(_s.Stopping);
                return;
            }
            _reattest_required = false;
            _reenroll_required = false;
            _cert_read_blocked_by_update = false;
            ReadSimulationFeatures();
            _init_work = [this] { DecisionStep(nullptr); };
            _init_work();
            if (_host.RequiredOnStartDone()) {
                LOG_INFO << "Initializing.OnEnter Starting scheduled events after initialization.";
                _host.StartScheduledWork();
            }
        }();
    } catch (const Error& e) {
        LOG_ERROR << "Error caught in Initializing.OnEnter " << Text(e);
        _host.SetState(_s.FailureState);
    } catch (const std::exception& e) {
        LOG_ERROR << "Exception caught in Initializing.OnEnter: " << e.what();
        _host.SetState(_s.FailureState);
    } catch (...) {
        const Error converted = error::ErrorFromException(std::current_exception(), kServiceOrigin);
        LOG_ERROR << "Unknown exception caught in Initializing.OnEnter " << Text(converted);
        _host.SetState(_s.FailureState);
    }
    LOG_INFO << "Initializing.OnEnter exiting.";
}

int64_t EnrollmentRoad::CertStoreDelay(EnrollmentHost::CertStore which, int64_t fallback, bool& renewed) {
    int64_t ticks = 0;
    renewed = false;
    if (NextPolicyDelay(_host.CertStorePolicy(which), ticks)) return ticks;
    renewed = true;
    if (!NextPolicyDelay(_host.RenewCertStorePolicy(which), ticks)) ticks = fallback;
    return ticks;
}

void EnrollmentRoad::DecisionStep(const ServiceState* still) {
    SetNextState();
    if (!_cert_read_blocked_by_update) return;
    bool renewed = false;
    const int64_t ticks = CertStoreDelay(EnrollmentHost::CertStore::Read, kFourHours, renewed);
    if (!renewed) {
        LOG_DEBUG << "Read enrollment certificate failed due to pending WU, backoff EnrollCertificateStore for "
                  << Span(ticks);
    } else {
        LOG_DEBUG << "EnrollCertificateStore Policy Reset. Read enrollment certificate failed due to pending WU, "
                     "backoff EnrollCertificateStore for "
                  << Span(ticks);
    }
    PostIn(ticks, [this, still] {
        // After a proof of possession the retry belongs to that state only.
        if (still != nullptr && !_host.IsCurrentState(still->name.c_str())) return;
        if (still != nullptr) {
            DecisionStep(still);
        } else if (_init_work) {
            _init_work();
        }
    });
}

void EnrollmentRoad::MarkInitFinishedIfInitializing() {
    if (_host.IsCurrentState(_s.Initializing.name.c_str())) _initialized = true;
}

void EnrollmentRoad::SetNextState() {
    const auto conn = _host.Connectivity();
    LOG_INFO << "SetNextState starting...";
    bool attestation_needed = false;
    if (_reattest_required) {
        LOG_INFO << "Attest Cert failed, need to reaattest";
        attestation_needed = true;
    } else {
        const bool attested = conn->attestationModule && conn->attestationModule->IsAttestated();
        LOG_INFO << "Device is " << (attested ? "attested" : "not attested");
        attestation_needed = !attested;
    }
    _cert_read_blocked_by_update = false;

    bool need_enroll = false;
    if (_reenroll_required) {
        LOG_INFO << "Enroll Cert failed, need to reenroll";
        need_enroll = true;
    } else if (!conn->GetIotInfo()) {
        LOG_INFO << "IoTInfo is null, need to enroll";
        need_enroll = true;
    } else {
        LOG_INFO << "IoTInfo is not null";
        const auto enrollment = conn->GetMakerEnrollment();
        const Error error = enrollment ? enrollment->CheckCertificateValidity(kMakerCertStore)
                                       : Error(shared::error::ErrorCategory::EC_Component, 0, "no enrollment", "agent");
        if ((agent::IsEnrollmentCertReadError(error) || agent::IsEnrollmentCertMissingError(error)) && !_simulate_wu) {
            LOG_INFO << "Enroll Cert is not valid or not found, need to reenroll";
            need_enroll = true;
        } else if (!error && !_simulate_wu) {
            MarkInitFinishedIfInitializing();
            const int64_t ticks = StateDelay(_s.GettingIotCreds, 72'000'000'000);
            LOG_INFO << "GettingIotCreds rate-limited, backing off for: " << Span(ticks);
            PostIn(ticks, [this] { _host.SetState(_s.GettingIotCreds); });
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
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "Discovery rate-limitted, backing off for: " << Span(ticks);
            PostIn(ticks, [this] {
                if (_host.IsCurrentState(_s.Discovery.name.c_str()) && _cert_read_blocked_by_update) {
                    _s.Discovery.OnEnter();
                } else {
                    _host.SetState(_s.Discovery);
                }
            });
        };
        if (conn->isSubscriptionDevice) {
            post_discovery();
            return;
        }
        const auto enrollment = conn->GetMakerEnrollment();
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
    const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
    LOG_INFO << "Attestation rate-limitted backing off for:  " << Span(ticks);
    PostIn(ticks, [this] { _host.SetState(_s.Attestating); });
}

// ---- FailureState ----

void EnrollmentRoad::FailureStateEnter() {
    LOG_INFO << "FailureState.OnEnter.";
    if (!_host.IsCurrentState(_s.FailureState.name.c_str())) {
        LOG_INFO << "FailureState.OnEnter state switched, exiting.";
        return;
    }
    if (_host.IsStopping()) return;
    ++_failure_entry_count;
    if (_failure_entry_count % kFailureReturnEvery == 0 && _chance() % 2 == 0) {
        _reattest_required = true;
        _reenroll_required = true;
        _host.SetState(_s.Initializing);
    }
    const int64_t ticks = StateDelay(_s.FailureState, kOneHour);
    LOG_DEBUG << "Queuing FailureState.OnEnter to " << ticks;
    PostIn(ticks, [this] { _s.FailureState.OnEnter(); });
    LOG_INFO << "FailureState.OnEnter exiting.";
}

// ---- Onboarding ----

void EnrollmentRoad::OnboardingEnter() {
    const auto conn = _host.Connectivity();
    LOG_INFO << "Onboarding.OnEnter";
    if (!_host.IsCurrentState(_s.Onboarding.name.c_str())) {
        LOG_INFO << "Onboarding.OnEnter state switched, exiting.";
        return;
    }
    conn->Onboard();
    if (!conn->onboardingInProgress) return;
    const int64_t minutes = conn->onboardingBackoffHint;
    // A hint of nothing would post the next attempt at once, again and again: the state's own
    // policy paces it instead.
    const int64_t ticks = minutes > 0 ? minutes * 600'000'000 : StateDelay(_s.Onboarding, kOneHour);
    LOG_INFO << "Onboarding backing off for " << Span(ticks);
    PostRerunIfStill(_s.Onboarding, ticks);
}

// ---- attestation ----

void EnrollmentRoad::AttestatingEnter() {
    const auto conn = _host.Connectivity();
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "Attestation will run once the internet connection is back";
        _host.RequestToRunOnNetwork([this] {
            if (_host.IsCurrentState(_s.Attestating.name.c_str())) _s.Attestating.OnEnter();
        });
        return;
    }
    LOG_INFO << "Attestating.OnEnter  error_counter: " << _attest_error_counter << " max_hw_retry: " << kMaxHwRetry;
    auto& module = *conn->attestationModule;
    auto& library = *module.attestation;
    using shared::attestation::AttestationMode;
    const bool prefer_software = _attest_error_counter > kMaxHwRetry || conn->softkey ||
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
        _host.ResetLocalDelay();
        PostIn(0, [this] { _host.SetState(_s.AttestatingPoP); });
        return;
    }
    if (agent::IsNetworkError(error)) {
        LOG_INFO << "Attestation failed with error: " << Text(error) << " waiting for connection";
        _host.RequestToRunOnNetwork([this] { _s.Attestating.OnEnter(); });
    } else if (agent::IsRateLimitedError(error) || agent::IsSlowInternetError(error) || agent::IsBadRequestError(error)) {
        const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
        LOG_INFO << "Attestation rate-limitted failed backing off for:  " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(_s.Attestating, ticks);
    } else if (agent::IsAttestationServerError(error)) {
        _reattest_required = true;
        ++_attest_error_counter;
        const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
        LOG_INFO << "Attestation failed on server, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(_s.Attestating, ticks);
    } else if (agent::IsAttestationLocalError(error)) {
        _reattest_required = true;
        ++_attest_error_counter;
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "Attestation failed locally, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(_s.Attestating, ticks);
    } else if (agent::IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "Attestation failed due proxy config, backing off for: " << Span(ticks) << "  error: "
                 << Text(error);
        PostRerunIfStill(_s.Attestating, ticks);
    } else {
        LOG_ERROR << "Attestation failed with error: " << Text(error);
        _host.SetState(_s.FailureState);
    }
}

void EnrollmentRoad::AttestatingPoPEnter() {
    const auto conn = _host.Connectivity();
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << "AttestatingPoP will run once the internet connection is back";
        _host.RequestToRunOnNetwork([this] {
            if (_host.IsCurrentState(_s.AttestatingPoP.name.c_str())) _s.AttestatingPoP.OnEnter();
        });
        return;
    }
    auto& module = *conn->attestationModule;
    const Error error = module.attestation->ProofOfPossesion(module.attestationValue);
    if (!error) {
        _reattest_required = false;
        _host.ResetLocalDelay();
        // With the certificate unreadable while updates pend, the decision schedules nothing: back
        // off on the certificate-store policy as the start-up does, while this state is current.
        DecisionStep(&_s.AttestatingPoP);
        return;
    }
    if (agent::IsNetworkError(error)) {
        LOG_INFO << "AttestationPoP failed with error: " << Text(error) << " waiting for connection";
        _host.RequestToRunOnNetwork([this] { _s.AttestatingPoP.OnEnter(); });
    } else if (agent::IsAttestationServerError(error)) {
        _reattest_required = true;
        const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
        LOG_INFO << "AttestationPoP failed on server, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(_s.AttestatingPoP, _s.Attestating, ticks);
    } else if (agent::IsRateLimitedError(error) || agent::IsSlowInternetError(error) || agent::IsBadRequestError(error)) {
        const int64_t ticks = StateDelay(_s.AttestatingPoP, kOneDay);
        LOG_INFO << "AttestationPoP rate-limitted failed backing off for:  " << Span(ticks) << "  error: "
                 << Text(error);
        PostRerunIfStill(_s.AttestatingPoP, ticks);
    } else if (agent::IsAttestationLocalError(error)) {
        _reattest_required = true;
        const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
        LOG_INFO << "AttestationPoP failed locally, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(_s.AttestatingPoP, _s.Attestating, ticks);
    } else if (agent::IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "AttestationPoP failed due proxy config, backing off for: " << Span(ticks) << "  error: "
                 << Text(error);
        PostRerunIfStill(_s.AttestatingPoP, ticks);
    } else {
        LOG_ERROR << "PoP failed with error: " << Text(error);
        _host.SetState(_s.FailureState);
    }
}

// ---- discovery and enrollment ----

bool EnrollmentRoad::EnterEnrollmentStep(const ServiceState& state, const char* offline_line,
                                  std::function<void()> on_network) {
    LOG_INFO << state.name << ".OnEnter";
    if (!_host.IsCurrentState(state.name.c_str())) {
        LOG_INFO << state.name << ".OnEnter state switched, exiting.";
        return false;
    }
    if (!SystemInfo::HasInternetConnectivity()) {
        LOG_INFO << offline_line;
        _host.RequestToRunOnNetwork(std::move(on_network));
        return false;
    }
    return true;
}

void EnrollmentRoad::ChallengeRule() {
    const int64_t ttl = _host.ConfigInteger("challenge_ttl_sec", 86400, 0, std::numeric_limits<int32_t>::max());
    const int32_t seconds = static_cast<int32_t>(ttl);
    if (_pre_enroll_time + static_cast<int64_t>(seconds) * kSecondTicks < platform::NowTicks()) {
        _host.SetState(_s.PreEnrollZelko);
    } else if (_host.IsCurrentState(_s.EnrollZelko.name.c_str())) {
        _s.EnrollZelko.OnEnter();
    } else {
        _host.SetState(_s.EnrollZelko);
    }
}

void EnrollmentRoad::DiscoveryEnter() {
    const auto conn = _host.Connectivity();
    if (!EnterEnrollmentStep(_s.Discovery, "Discovery will run once the internet connection is back",
                             [this] { PostRerunIfStill(_s.Discovery, 0); }))
        return;
    const Error error = conn->Discovery(_force_discovery_query);
    const bool subscription = conn->isSubscriptionDevice;
    if (!error) {
        _force_discovery_query = false;
        _host.ResetLocalDelay();
        if (_back_to_enrollment) {
            _back_to_enrollment = false;
            const int64_t ticks = StateDelay(_s.EnrollZelko, kOneDay);
            LOG_INFO << "EnrollZelko (back to Enrollment) delayed for: " << Span(ticks);
            PostIn(ticks, [this] {
                if (_host.IsCurrentState(_s.Discovery.name.c_str())) ChallengeRule();
            });
        } else if (_cert_read_blocked_by_update) {
            LOG_INFO << "Error in reading Enrollment certificate from store. Rescheduled to read for " << Span(kFourHours);
            PostIn(kFourHours, [this] {
                if (_host.IsCurrentState(_s.Discovery.name.c_str())) SetNextState();
            });
        } else {
            const int64_t ticks = StateDelay(_s.PreEnrollZelko, kOneDay);
            LOG_INFO << "PreEnrollZelko delayed for: " << Span(ticks);
            PostEnterIfStill(_s.Discovery, _s.PreEnrollZelko, ticks);
        }
        return;
    }
    if (agent::IsNetworkError(error)) {
        LOG_INFO << "Discovery failed with error: " << Text(error) << " waiting for connection";
        _host.RequestToRunOnNetwork([this] { _s.Discovery.OnEnter(); });
    } else if (agent::IsRateLimitedError(error) || agent::IsSlowInternetError(error) || agent::IsBadRequestError(error)) {
        // A device without the subscription feature retries as well rather than stall here.
        _force_discovery_query = true;
        const int64_t ticks = StateDelay(_s.Discovery, subscription ? kOneDay : kFourHours);
        LOG_INFO << "Discovery rate-limitted, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(_s.Discovery, ticks);
    } else if (agent::IsEnrollmentErrorsCode0(error) || agent::IsEnrollmentErrorsCode1(error)) {
        _force_discovery_query = true;
        if (subscription) {
            _reenroll_required = true;
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "Discovery no or expired token, backing off for: " << Span(ticks) << "  error: " << Text(error);
            PostRerunIfStill(_s.Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(_s.Attestating, kFourHours);
            LOG_INFO << "Discovery no or expired token, Attest in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.Discovery, _s.Attestating, ticks);
        }
    } else if (agent::IsProxyError(error)) {
        const int64_t ticks = subscription ? LocalDelay(kOneHour) : StateDelay(_s.Discovery, kFourHours);
        LOG_INFO << "Discovery ofailed due proxy cnfig, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(_s.Discovery, ticks);
    } else {
        LOG_ERROR << "Discovery failed with error: " << Text(error);
        _host.SetState(_s.FailureState);
    }
}

void EnrollmentRoad::PreEnrollZelkoEnter() {
    const auto conn = _host.Connectivity();
    if (!EnterEnrollmentStep(_s.PreEnrollZelko, "PreEnrollZelko will run once the internet connection is back",
                             [this] { PostRerunIfStill(_s.PreEnrollZelko, 0); }))
        return;
    _back_to_enrollment = false;
    const Error error = conn->PreEnrollZelko();
    const bool subscription = conn->isSubscriptionDevice;
    if (!error) {
        _host.ResetLocalDelay();
        _pre_enroll_time = platform::NowTicks();
        PostIn(0, [this] { _host.SetState(_s.EnrollZelko); });
        return;
    }
    if (agent::IsNetworkError(error)) {
        LOG_INFO << "PreEnrollZelko waiting for network due to error: " << Text(error);
        _host.RequestToRunOnNetwork([this] { _s.PreEnrollZelko.OnEnter(); });
    } else if (agent::IsRateLimitedError(error) || agent::IsSlowInternetError(error) || agent::IsBadRequestError(error)) {
        const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
        LOG_INFO << "PreEnrollZelko rate-limitted, going to check Discovery Token in for: " << Span(ticks)
                 << "  error: " << Text(error);
        PostEnterIfStill(_s.PreEnrollZelko, _s.Discovery, ticks);
    } else if (agent::IsAuthError(error)) {
        _force_discovery_query = true;
        if (subscription) {
            _reenroll_required = true;
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "PreEnrollZelko Unauthorized, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.PreEnrollZelko, _s.Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(_s.Attestating, kFourHours);
            LOG_INFO << "PreEnrollZelko Unauthorized, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.PreEnrollZelko, _s.Attestating, ticks);
        }
    } else if (agent::IsEnrollmentErrorType(error)) {
        _reattest_required = _force_discovery_query = true;
        const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
        LOG_INFO << "PreEnrollZelko bad token, Attestating in: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(_s.PreEnrollZelko, _s.Attestating, ticks);
    } else if (agent::IsAttestationLocalError(error)) {
        _reattest_required = _force_discovery_query = true;
        const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
        LOG_INFO << "PreEnrollZelko validating attestsation signuture error, Attestating in: " << Span(ticks)
                 << "  error: " << Text(error);
        PostEnterIfStill(_s.PreEnrollZelko, _s.Attestating, ticks);
    } else if (agent::IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "PreEnrollZelko due to proxy, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostRerunIfStill(_s.PreEnrollZelko, ticks);
    } else {
        LOG_ERROR << "Invalid PreEnrollZelko" << Text(error);
        _host.SetState(_s.FailureState);
    }
}

void EnrollmentRoad::EnrollZelkoEnter() {
    const auto conn = _host.Connectivity();
    auto challenge_if_still = [this] {
        if (_host.IsCurrentState(_s.EnrollZelko.name.c_str())) ChallengeRule();
    };
    if (!EnterEnrollmentStep(_s.EnrollZelko, "EnrollZelko will run once the internet connection is back",
                             challenge_if_still))
        return;
    int64_t discarded = 0;
    (void)_s.EnrollZelko.GetNextDelay(discarded);
    const Error error = conn->EnrollZelko();
    const bool subscription = conn->isSubscriptionDevice;
    if (!error) {
        _host.ResetLocalDelay();
        int64_t ticks = 0;
        if (!_s.PollEnrollZelkoStatus.GetNextDelay(ticks)) {
            _s.PollEnrollZelkoStatus.ResetPolicy();
            ticks = kFiveSeconds;
        }
        LOG_INFO << "PollEnrollZelkoStatus first call backing off for: " << Span(ticks);
        PostIn(ticks, [this] { _host.SetState(_s.PollEnrollZelkoStatus); });
        return;
    }
    if (agent::IsNetworkError(error)) {
        LOG_INFO << "EnrollZelko waiting for network due to error: " << Text(error);
        _host.RequestToRunOnNetwork(challenge_if_still);
    } else if (IsHttpServerError(error)) {
        if (++_enroll_server_error_count > kMaxEnrollServerErrors) {
            _enroll_server_error_count = 0;
            _reattest_required = _reenroll_required = true;
            const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
            LOG_INFO << "EnrollZelko failed, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.EnrollZelko, _s.Attestating, ticks);
        } else {
            _back_to_enrollment = true;
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "EnrollZelko rate-limitted, checking on Discovery Token in : " << Span(ticks)
                     << "  error: " << Text(error);
            PostEnterIfStill(_s.EnrollZelko, _s.Discovery, ticks);
        }
    } else if (agent::IsRateLimitedError(error) || agent::IsSlowInternetError(error) || agent::IsBadRequestError(error)) {
        _back_to_enrollment = true;
        const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
        LOG_INFO << "EnrollZelko rate-limitted, checking on Discovery Token in : " << Span(ticks)
                 << "  error: " << Text(error);
        PostEnterIfStill(_s.EnrollZelko, _s.Discovery, ticks);
    } else if (agent::IsUnauthorizedError(error)) {
        _reattest_required = _reenroll_required = true;
        const int64_t ticks = StateDelay(_s.Attestating, kFourHours);
        LOG_INFO << "EnrollZelko failed, Attest in: " << Span(ticks) << "  error: " << Text(error);
        PostEnterIfStill(_s.EnrollZelko, _s.Attestating, ticks);
    } else if (agent::IsAuthError(error)) {
        _force_discovery_query = _reenroll_required = true;
        if (subscription) {
            _back_to_enrollment = true;
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "EnrollZelko bad token, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.EnrollZelko, _s.Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
            LOG_INFO << "EnrollZelko bad token, Attestatin in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.EnrollZelko, _s.Attestating, ticks);
        }
    } else if (agent::IsEnrollmentErrorType(error)) {
        _force_discovery_query = _reenroll_required = true;
        if (subscription) {
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "EnrollZelko failed, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.EnrollZelko, _s.Discovery, ticks);
        } else {
            _reattest_required = true;
            const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
            LOG_INFO << "EnrollZelko failed, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.EnrollZelko, _s.Attestating, ticks);
        }
    } else if (agent::IsProxyError(error)) {
        const int64_t ticks = LocalDelay(kOneHour);
        LOG_INFO << "EnrollZelko due to proxy, backing off for: " << Span(ticks) << "  error: " << Text(error);
        PostIn(ticks, challenge_if_still);
    } else {
        LOG_ERROR << "Invalid EnrollZelko" << Text(error);
        _host.SetState(_s.FailureState);
    }
}

void EnrollmentRoad::PollCertStoreBackoff() {
    int64_t ticks = 0;
    bool renewed = false;
    if (Utils::GetWindowsUpdates() != 0 || _simulate_write_cert_error) {
        ticks = CertStoreDelay(EnrollmentHost::CertStore::Read, kFourHours, renewed);
        if (!renewed) {
            LOG_DEBUG << "Save enrollment certificate to store failed due to pending WU, backoff EnrollCertificateStore for "
                      << Span(ticks);
        } else {
            LOG_DEBUG << "EnrollCertificateStore Policy Reset.Save enrollment certificate to store failed due to "
                         "pending WU, backoff EnrollCertificateStore for "
                      << Span(ticks);
        }
    } else {
        ticks = CertStoreDelay(EnrollmentHost::CertStore::Save, kOneHour, renewed);
        if (!renewed) {
            LOG_DEBUG << "Save enrollment certificate to store failed, backoff EnrollCertificateStoreSave for "
                      << Span(ticks);
        } else {
            LOG_DEBUG << "EnrollCertificateStoreSave Policy Reset. Save enrollment certificate to store failed, "
                         "backoff EnrollCertificateStoreSave for "
                      << Span(ticks);
        }
    }
    PostRerunIfStill(_s.PollEnrollZelkoStatus, ticks);
}

void EnrollmentRoad::PollEnrollZelkoStatusEnter() {
    const auto conn = _host.Connectivity();
    if (!EnterEnrollmentStep(_s.PollEnrollZelkoStatus,
                             "PollEnrollZelkoStatus will run once the internet connection is back",
                             [this] { PostRerunIfStill(_s.PollEnrollZelkoStatus, 0); }))
        return;
    const Error error = conn->PollEnrollZelkoStatus();
    const bool subscription = conn->isSubscriptionDevice;
    auto back_to_discovery = [this](int64_t ticks) {
        _back_to_enrollment = _reenroll_required = _force_discovery_query = true;
        PostEnterIfStill(_s.PollEnrollZelkoStatus, _s.Discovery, ticks);
    };
    if (!error && !_simulate_write_cert_error) {
        _host.ResetLocalDelay();
        _s.PollEnrollZelkoStatus.ResetPolicy();
        PostIn(0, [this] { _host.SetState(_s.GettingIotCreds); });
        return;
    }
    if (agent::IsEnrollmentError6(error) || _simulate_write_cert_error) {
        PollCertStoreBackoff();
    } else if (agent::IsEnrollmentNotFoundError(error)) {
        int64_t ticks = 0;
        if (_s.PollEnrollZelkoStatus.GetNextDelay(ticks)) {
            LOG_INFO << "PollEnrollZelkoStatus not ready, backing off for: " << Span(ticks) << " error: " << Text(error);
            PostRerunIfStill(_s.PollEnrollZelkoStatus, ticks);
        } else {
            _s.PollEnrollZelkoStatus.ResetPolicy();
            ticks = StateDelay(_s.Discovery, kOneHour);
            LOG_INFO << "PollEnrollZelkoStatus timed out - not ready, backing off for: " << Span(ticks);
            back_to_discovery(ticks);
        }
    } else if (agent::IsNetworkError(error)) {
        _poll_network_error_time = platform::NowTicks();
        _host.RequestToRunOnNetwork([this] {
            if (platform::NowTicks() - _poll_network_error_time <= kTwoMinutes) {
                _s.PollEnrollZelkoStatus.OnEnter();
                return;
            }
            const int64_t ticks = StateDelay(_s.Discovery, kOneHour);
            LOG_INFO << "PollEnrollZelkoStatus timed out, Discovery in: " << Span(ticks);
            _back_to_enrollment = _reenroll_required = _force_discovery_query = true;
            PostEnterIfStill(_s.PollEnrollZelkoStatus, _s.Discovery, ticks);
        });
    } else if (agent::IsRateLimitedError(error) || agent::IsSlowInternetError(error)) {
        int64_t ticks = kFiveSeconds;
        int64_t drawn = 0;
        if (_s.PollEnrollZelkoStatus.GetNextDelay(drawn)) {
            ticks = drawn;
        } else {
            _s.PollEnrollZelkoStatus.ResetPolicy();
        }
        if (_s.PollEnrollZelkoStatus.GetNextDelay(drawn)) ticks = drawn;
        LOG_INFO << "PollEnrollZelkoStatus ratelimited or slow internet, backing off for: " << Span(ticks)
                 << " error: " << Text(error);
        PostRerunIfStill(_s.PollEnrollZelkoStatus, ticks);
    } else if (agent::IsBadRequestError(error) || agent::IsEnrollmentError13(error)) {
        const int64_t ticks = StateDelay(_s.Discovery, kOneHour);
        LOG_INFO << "PollEnrollZelkoStatus bad httprequest or Emptycertificate, backing off for " << Span(ticks);
        back_to_discovery(ticks);
    } else if (agent::IsAuthError(error)) {
        if (subscription) {
            const int64_t ticks = StateDelay(_s.Discovery, kFourHours);
            LOG_INFO << "PollEnrollZelkoStatus bad token, Discovery in: " << Span(ticks) << "  error: " << Text(error);
            back_to_discovery(ticks);
        } else {
            _reattest_required = _force_discovery_query = _reenroll_required = true;
            const int64_t ticks = StateDelay(_s.Attestating, kOneDay);
            LOG_INFO << "PollEnrollZelkoStatus bad token, Attestating in: " << Span(ticks) << "  error: " << Text(error);
            PostEnterIfStill(_s.PollEnrollZelkoStatus, _s.Attestating, ticks);
        }
    } else if (agent::IsEnrollmentErrorType(error)) {
        const int64_t ticks = StateDelay(_s.Discovery, kOneHour);
        LOG_INFO << "PollEnrollZelkoStatus failed, Discovery in: " << Span(ticks) << "  error: " << Text(error);
        back_to_discovery(ticks);
    } else if (agent::IsProxyError(error)) {
        const int64_t ticks = StateDelay(_s.Discovery, kOneHour);
        LOG_INFO << "PollEnrollZelkoStatus failed due to proxy, Discovery in: " << Span(ticks) << "  error: "
                 << Text(error);
        back_to_discovery(ticks);
    } else {
        LOG_ERROR << "Invalid PollEnrollZelkoStatus" << Text(error);
        _host.SetState(_s.FailureState);
    }
}

}  // namespace zelko::plenar::agent
