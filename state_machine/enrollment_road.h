#pragma once

// The enrollment road: Initializing, FailureState, the first-state decision, Onboarding, the two
// attestation states, Discovery and the three enrollment states, up to GettingIotCreds. Every state
// posts its next step through the host; none waits on a thread of its own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/retry_policy.h"
#include "state_machine/service_state.h"
#include "state_machine/state_host.h"

namespace zelko::plenar::agent {

// What the enrollment road needs of its host beyond the common state host: the start-up's work
// and the certificate-store back-offs, which the module set-up keeps.
class EnrollmentHost : public virtual StateHost {
  public:
    // Seconds the start-up still waits for the grace after a logon or a wake; none when below one.
    virtual int64_t StartupWaitSeconds() = 0;
    // The start-up grace is over.
    virtual void EndStartupGrace() = 0;
    // Builds the device information and the modules; false (the reason logged) when this device
    // must not run, and the road then stops the service.
    virtual bool SetUpModules() = 0;
    // Starts the scheduled events and opens the event-log subscriptions.
    virtual void StartScheduledWork() = 0;

    enum class CertStore { Read, Save };
    virtual std::shared_ptr<IRandomValue> CertStorePolicy(CertStore which) = 0;
    // Makes the policy anew from its built-in document, its counters starting over.
    virtual std::shared_ptr<IRandomValue> RenewCertStorePolicy(CertStore which) = 0;
};

class EnrollmentRoad {
  public:
    // The states the road enters; they belong to the host's state table.
    struct States {
        ServiceState& Initializing;
        ServiceState& FailureState;
        ServiceState& Onboarding;
        ServiceState& Attestating;
        ServiceState& AttestatingPoP;
        ServiceState& Discovery;
        ServiceState& PreEnrollZelko;
        ServiceState& EnrollZelko;
        ServiceState& PollEnrollZelkoStatus;
        ServiceState& GettingIotCreds;
        ServiceState& Stopping;
    };

    EnrollmentRoad(EnrollmentHost& host, States states);
    EnrollmentRoad(const EnrollmentRoad&) = delete;
    EnrollmentRoad& operator=(const EnrollmentRoad&) = delete;

    // Binds the entry work of the road's states.
    void Bind();

    // Schedules the first state of the road from the attestation, the IoT information, the
    // enrollment certificate and the discovery token; nothing while the certificate cannot be read
    // because updates pend.
    void SetNextState();
    // The "simulatewu" and "simulatewritecerterr" features turn the simulations on (never off).
    void ReadSimulationFeatures();

    // The start-up has chosen the first state of the road (the control handler waits for it).
    bool Initialized() const { return _initialized.load(); }
    // A later failure asks for a new enrollment, with a fresh discovery query.
    void RequireReenrollment();
    void RequireReattestation();
    bool ReattestRequired() const { return _reattest_required; }
    bool ReenrollRequired() const { return _reenroll_required; }
    bool ForceDiscoveryQuery() const { return _force_discovery_query; }
    // The chance of FailureState's return to Initializing; tests make it certain.
    void SetChance(std::function<int()> chance) { _chance = std::move(chance); }

  private:
    friend struct EnrollmentRoadPeer;  // tests seed and read the bookkeeping

    // SetNextState with the certificate-store back-off; `still`: the state the retry belongs to
    // (null: the start-up's own step).
    void DecisionStep(const ServiceState* still);
    void InitializingWork();
    void FailureStateEnter();
    void OnboardingEnter();
    void AttestatingEnter();
    void AttestatingPoPEnter();
    void DiscoveryEnter();
    void PreEnrollZelkoEnter();
    void EnrollZelkoEnter();
    void PollEnrollZelkoStatusEnter();
    void PollCertStoreBackoff();
    // The certificate-store policy's next delay, the policy made anew when it gives none.
    int64_t CertStoreDelay(EnrollmentHost::CertStore which, int64_t fallback, bool& renewed);
    // PreEnrollZelko once the challenge is older than "challenge_ttl_sec", else EnrollZelko.
    void ChallengeRule();
    // The common entry: its line, the state test and the offline wait; true to go on.
    bool EnterEnrollmentStep(const ServiceState& state, const char* offline_line, std::function<void()> on_network);
    void MarkInitFinishedIfInitializing();
    void PostIn(int64_t ticks, std::function<void()> body);
    void PostEnterIfStill(const ServiceState& still, const ServiceState& target, int64_t ticks);
    void PostRerunIfStill(const ServiceState& state, int64_t ticks);
    int64_t StateDelay(const ServiceState& state, int64_t fallback) const;
    int64_t LocalDelay(int64_t fallback) const;

    EnrollmentHost& _host;
    States _s;
    std::function<int()> _chance;
    std::function<void()> _init_work;
    std::atomic<bool> _initialized{false};
    bool _simulate_wu = false;
    bool _simulate_write_cert_error = false;
    bool _reattest_required = false;
    bool _reenroll_required = false;
    bool _cert_read_blocked_by_update = false;
    bool _force_discovery_query = false;
    bool _back_to_enrollment = false;
    int64_t _pre_enroll_time = 0;
    int64_t _poll_network_error_time = 0;
    int32_t _failure_entry_count = 0;
    int32_t _attest_error_counter = 0;
    int32_t _enroll_server_error_count = 0;
};

}  // namespace zelko::plenar::agent
