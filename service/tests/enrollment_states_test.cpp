// The start of the state machine and the enrollment road in virtual time: the start-up grace and
// stops, the first-state decision, FailureState, attestation, discovery and the enrollment states,
// over the real connectivity module with scripted enrollment and attestation libraries.

#include <gtest/gtest.h>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "service/tests/road_fixture.h"

namespace zelko::plenar::agent::test {
namespace {

using logging::debug;
using logging::error;
using logging::info;
using shared::error::ErrorCategory;

Error Component(const std::string& type, int64_t code, const std::string& message = "failed") {
    return Error(ErrorCategory::EC_Component, code, message, type, "test");
}
const Error kNetwork = Component("CURLcode", 7, "Couldn't connect to server");
const Error kRateLimited = Component("HttpStatusCode", 429);
const Error kHttp500 = Component("HttpStatusCode", 500);
const Error kProxy = Component("ProxyFailure", 1, "proxy refused the tunnel");
const Error kOdd = Component("Mystery", 1, "odd");
const Error kAttestServer = Component("DeviceAttestation::ErrorCodes", 10);
const Error kAttestLocal = Component("DeviceAttestation::ErrorCodes", 3);
const Error kNotReady = Component("Enrollment::ErrorCodes", 31);
const Error kSaveFailed = Component("Enrollment::ErrorCodes", 6);
const Error kCertMissing = Component("Enrollment::ErrorCodes", 7);
const Error kCertOther = Component("Enrollment::ErrorCodes", 2);
const Error kBadToken = Component("Enrollment::ErrorCodes", 20);

class EnrollmentStatesTest : public RoadTest {
  protected:
    void SetUp() override {
        RoadTest::SetUp();
        // A valid cached discovery token, an issued enrollment once polled.
        edges_.enrollment->token = std::make_shared<shared::enrollment::DiscoveryToken>(
            Error{}, "{}", "token", kStart / kSecond + 365 * 86400);
        edges_.enrollment->status = IssuedStatus(scratch() / "ZelkoPlenarCertStore");
    }

    // Starts the service: Initializing is entered and its step runs.
    RoadService& Start() {
        auto& service = Make();
        service.SetState(service.Initializing);
        Drain();
        return service;
    }
    std::string State() const { return service_->CurrentStateName(); }
    // Moves virtual time on in steps until the state is reached (or the steps run out).
    bool WalkTo(const std::string& state, int64_t step = 10 * kSecond, int steps = 200) {
        for (int i = 0; i < steps && State() != state; ++i) Advance(step);
        return State() == state;
    }
    // Enters a state from the worker with the machine otherwise idle.
    void Enter(const ServiceState& state) {
        OnWorker([&] { service_->SetState(state); });
        Drain();  // what the entry posted at once
    }
    // An attested device with enrollment data: the decision's inputs.
    void Enrolled(RoadService& service) {
        OnWorker([&] { ASSERT_FALSE(service._modules.conn_module->PollEnrollZelkoStatus()); });
    }
    int Count(const std::string& text, logging::Severity severity = info) const { return log_.Count(severity, text); }
};

TEST_F(EnrollmentStatesTest, AFreshDeviceWalksTheRoadToIotCredentials) {
    edges_.script_attestation = [](zelko::testing::FakeDeviceAttestation& attestation) {
        attestation.Set("CheckCertificate", kAttestLocal, 2);  // no certificate until the proof
    };
    auto& service = Start();
    EXPECT_TRUE(service.Enrollment().Initialized());
    ASSERT_TRUE(WalkTo("GettingIotCreds")) << State();
    EXPECT_EQ(Lines({"Service state changed to"}),
              (std::vector<std::string>{"Service state changed to Initializing", "Service state changed to Attestating",
                                        "Service state changed to AttestatingPoP", "Service state changed to Discovery",
                                        "Service state changed to PreEnrollZelko", "Service state changed to EnrollZelko",
                                        "Service state changed to PollEnrollZelkoStatus",
                                        "Service state changed to GettingIotCreds"}));
    EXPECT_TRUE(edges_.attestation->lastRenew);
    EXPECT_EQ(edges_.attestation->lastProof, edges_.attestation->value);
    EXPECT_TRUE(std::filesystem::exists(scratch() / "iot-info.dat"));
    EXPECT_TRUE(std::filesystem::exists(scratch() / "x509Req.pem"));
    for (const char* name : {"Attestating", "Discovery", "PreEnrollZelko", "EnrollZelko", "PollEnrollZelkoStatus"}) {
        EXPECT_TRUE(std::filesystem::exists(scratch() / (std::string("zelko-plenar-service-state-") + name + ".json")))
            << name;
    }
}

TEST_F(EnrollmentStatesTest, TheStartUpWaitsOutTheGraceAfterALogon) {
    sessions_.reset();  // one fake at a time
    sessions_ = LoggedOnAgo(20 * kSecond);
    Start();
    EXPECT_EQ(Count("Initializing.OnEnter start_delay 40 seconds will try later."), 1);
    EXPECT_EQ(edges_.connectivity_modules, 0);
    Advance(39 * kSecond);
    EXPECT_EQ(Count("Initialization of the agent started."), 0);
    Advance(2 * kSecond);
    EXPECT_EQ(Count("Initialization of the agent started."), 1);
    EXPECT_EQ(edges_.connectivity_modules, 1);
    EXPECT_TRUE(service_->_startup_grace_done);
}

TEST_F(EnrollmentStatesTest, DevicesThatMustNotRunStopDuringTheStartUp) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* line;
        int modules;
    };
    const Case cases[] = {
        // Outside the test stacks a device without maker information must not call home.
        {"do not call home", [&] { Configure({{"cloud", {{"stack", "prod"}}}}); },
         "DoNotCallHome detected, stopping service.", 0},
        {"VXM", [&] { edges_.features = {"commercialManaged"}; }, "Device is managed or deployed by VXM, stopping service.", 1},
        {"cap", [&] { WriteText(scratch() / "connectitivy-state.json", R"({"sent_msgs": 2401, "data_transfered": 0})"); },
         "This device already sent too much data, stopping service.", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        edges_.features.clear();
        edges_.connectivity_modules = 0;
        WriteJson(Config() / kAgentConfigFileName, {{"cloud", {{"stack", "dev"}}}});
        std::filesystem::remove(scratch() / "connectitivy-state.json");
        c.arrange();
        Start();
        EXPECT_EQ(State(), "Stopping");
        EXPECT_EQ(Count(c.line), 1);
        EXPECT_EQ(edges_.connectivity_modules, c.modules);
        EXPECT_TRUE(log_.Contains(info, "Initializing.OnEnter exiting."));
        service_.reset();
        log_.Clear();
    }
}

TEST_F(EnrollmentStatesTest, FirstStateDecision) {
    struct Case {
        const char* name;
        bool enrolled;
        Error attested;      // CheckCertificate of the attestation
        Error certificate;   // CheckCertificateValidity of the enrollment
        std::set<std::string> features;
        bool token;
        const char* pending_updates;  // content of the update simulation, null for none
        std::vector<std::string> scheduled;
        bool blocked;
    };
    const std::string iot = "GettingIotCreds rate-limited, backing off for: ";
    const std::string discovery = "Discovery rate-limitted, backing off for: ";
    const std::string attest = "Attestation rate-limitted backing off for:  ";
    const Case cases[] = {
        {"fresh device", false, kAttestLocal, {}, {}, true, nullptr, {attest}, false},
        {"attested with a token", false, {}, {}, {}, true, nullptr, {discovery}, false},
        {"attested without a token", false, {}, {}, {}, false, nullptr, {attest}, false},
        {"attested subscription device", false, {}, {}, {"ZelkoPlenarSubscription"}, false, nullptr, {discovery}, false},
        {"enrolled", true, {}, {}, {}, true, nullptr, {iot}, false},
        {"enrolled, not attested", true, kAttestLocal, {}, {}, true, nullptr, {iot, attest}, false},
        {"certificate missing", true, {}, kCertMissing, {}, true, nullptr, {discovery}, false},
        {"certificate unreadable, no update", true, {}, kCertOther, {}, true, nullptr, {discovery}, false},
        {"certificate unreadable, updates pend", true, {}, kCertOther, {}, true, "2", {}, true},
        {"certificate unreadable, update query fails", true, {}, kCertOther, {}, true, "fail 4 -1", {}, true},
        {"valid certificate, simulatewu", true, {}, {}, {"simulatewu"}, true, nullptr, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        edges_.features = c.features;
        edges_.enrollment = std::make_shared<zelko::testing::FakeEnrollment>();
        edges_.enrollment->status = IssuedStatus(scratch() / "store");
        if (c.token) edges_.enrollment->token = std::make_shared<shared::enrollment::DiscoveryToken>(Error{}, "{}", "t", kStart / kSecond + 86400);
        std::filesystem::remove(scratch() / "iot-info.dat");
        std::filesystem::remove_all(root() / "WindowsUpdate");
        if (c.pending_updates) WriteText(root() / "WindowsUpdate" / "pending", c.pending_updates);
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
            service.Enrollment().ReadSimulationFeatures();
        });
        if (c.enrolled) Enrolled(service);
        edges_.attestation->Set("CheckCertificate", c.attested);
        edges_.enrollment->Set("CheckCertificateValidity", c.certificate);
        log_.Clear();
        OnWorker([&] { service.Enrollment().SetNextState(); });
        EXPECT_EQ(Lines({iot, discovery, attest}).size(), c.scheduled.size());
        for (const auto& prefix : c.scheduled) EXPECT_EQ(Count(prefix), 1) << prefix;
        EXPECT_EQ(Road(service).cert_read_blocked_by_update(), c.blocked);
        EXPECT_EQ(log_.Contains(info, "WU pending in this machine"), c.blocked);
        service_.reset();
    }
}

TEST_F(EnrollmentStatesTest, ReenrollmentSkipsTheCertificate) {
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    Enrolled(service);
    Road(service).reenroll_required() = true;
    OnWorker([&] { service.Enrollment().SetNextState(); });
    EXPECT_EQ(edges_.enrollment->Calls("CheckCertificateValidity"), 0);
    EXPECT_TRUE(log_.Contains(info, "Enroll Cert failed, need to reenroll"));
    EXPECT_TRUE(log_.Contains(info, "Valid token, goes to Discovery"));
}

TEST_F(EnrollmentStatesTest, PendingUpdatesBackOffOnTheCertificateStorePolicyUntilTheCertificateReads) {
    WriteText(root() / "WindowsUpdate" / "pending", "1");
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    Enrolled(service);
    edges_.enrollment->Set("CheckCertificateValidity", kCertOther);
    Enter(service.Initializing);
    EXPECT_TRUE(log_.Contains(debug, "Read enrollment certificate failed due to pending WU, backoff EnrollCertificateStore for "));
    EXPECT_FALSE(service.Enrollment().Initialized());
    std::filesystem::remove(root() / "WindowsUpdate" / "pending");
    edges_.enrollment->Set("CheckCertificateValidity", {});
    ASSERT_TRUE(WalkTo("GettingIotCreds", 5 * kSecond, 40));
    EXPECT_TRUE(service.Enrollment().Initialized());
}

TEST_F(EnrollmentStatesTest, AProofOfPossessionWhileUpdatesPendRetriesInsteadOfStalling) {
    WriteText(root() / "WindowsUpdate" / "pending", "1");
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    Enrolled(service);
    edges_.enrollment->Set("CheckCertificateValidity", kCertOther);
    Enter(service.AttestatingPoP);
    EXPECT_EQ(Count("WU pending in this machine"), 1);
    EXPECT_EQ(State(), "AttestatingPoP");
    Advance(30 * kSecond);
    EXPECT_EQ(Count("WU pending in this machine"), 2);
    std::filesystem::remove(root() / "WindowsUpdate" / "pending");
    edges_.enrollment->Set("CheckCertificateValidity", {});
    ASSERT_TRUE(WalkTo("GettingIotCreds", 10 * kSecond, 20));
}

TEST_F(EnrollmentStatesTest, FailureStateRetriesAndEveryTwentyFourthEntryMayGoBackToInitializing) {
    for (const int chance : {1, 2}) {
        SCOPED_TRACE(chance);
        auto& service = Make();
        service.Enrollment().SetChance([chance] { return chance; });
        Road(service).failure_entry_count() = 22;
        Enter(service.FailureState);
        EXPECT_EQ(Road(service).failure_entry_count(), 23);
        EXPECT_EQ(State(), "FailureState");
        // The "attest" policy's first delay is at most 20 seconds.
        Advance(21 * kSecond);
        EXPECT_EQ(Road(service).failure_entry_count(), 24);
        EXPECT_EQ(State(), chance % 2 == 0 ? "Initializing" : "FailureState");
        EXPECT_EQ(Count("Service state changed to Initializing"), chance % 2 == 0 ? 1 : 0);
        service_.reset();
    }
}

TEST_F(EnrollmentStatesTest, FailureStateDoesNothingOnceTheStopHasBegun) {
    auto& service = Make();
    service._stopping = true;
    Enter(service.FailureState);
    EXPECT_EQ(Road(service).failure_entry_count(), 0);
    EXPECT_EQ(Count("Queuing FailureState.OnEnter", debug), 0);
}

TEST_F(EnrollmentStatesTest, AFailedStartUpReturnsFromFailureStateWithOneSetOfModules) {
    edges_.fail_connectivity = true;
    auto& service = Start();
    EXPECT_EQ(State(), "FailureState");
    EXPECT_TRUE(log_.Contains(error, "Exception caught in Initializing.OnEnter: connectivity refused by the test"));
    EXPECT_FALSE(service._modules.conn_module);
    std::weak_ptr<shared::http::IHttpClient> first_client = service._modules.http_client;
    edges_.fail_connectivity = false;
    service.Enrollment().SetChance([] { return 0; });
    Road(service).failure_entry_count() = 23;
    Advance(21 * kSecond);  // FailureState's re-run: the 24th entry
    EXPECT_TRUE(log_.Contains(info, "Releasing the modules of the previous initialization..."));
    EXPECT_TRUE(first_client.expired());
    EXPECT_EQ(edges_.connectivity_modules, 1);
    ASSERT_TRUE(WalkTo("GettingIotCreds"));
    EXPECT_EQ(edges_.built_over_live_connectivity, 0);
}

TEST_F(EnrollmentStatesTest, AttestationErrorRows) {
    struct Case {
        Error error;
        const char* line;
        bool reattest;
        int counter;
        const char* state_after;  // after the back-off
    };
    const Case cases[] = {
        {kRateLimited, "Attestation rate-limitted failed backing off for:  ", false, 0, "Attestating"},
        // Both the rate-limit and the server test hold: the rate-limit row comes first here.
        {Component("HttpStatusCode", 500, R"({"type": "ATT0042"})"), "Attestation rate-limitted failed", false, 0, "Attestating"},
        {kAttestServer, "Attestation failed on server, backing off for: ", true, 1, "Attestating"},
        {kAttestLocal, "Attestation failed locally, backing off for: ", true, 1, "Attestating"},
        {kProxy, "Attestation failed due proxy config, backing off for: ", false, 0, "Attestating"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        edges_.script_attestation = [&](zelko::testing::FakeDeviceAttestation& a) { a.Set("Attestate", c.error, 1); };
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        Enter(service.Attestating);
        EXPECT_EQ(Count(c.line), 1);
        EXPECT_TRUE(log_.Contains(info, std::string("  error: ") + agent::error::ErrorToString(c.error)));
        EXPECT_EQ(Road(service).reattest_required(), c.reattest);
        EXPECT_EQ(Road(service).attest_error_counter(), c.counter);
        EXPECT_EQ(edges_.attestation->Calls("Attestate"), 1);
        ASSERT_TRUE(WalkTo("AttestatingPoP", kMinute, 30));
        EXPECT_EQ(edges_.attestation->Calls("Attestate"), 2);
        service_.reset();
        log_.Clear();
    }
}

TEST_F(EnrollmentStatesTest, AttestationModesAndUnknownErrors) {
    // Two counted failures move every later attestation to the software key.
    edges_.script_attestation = [](zelko::testing::FakeDeviceAttestation& a) {
        a.Set("Attestate", kAttestServer, 1);
        a.Set("Attestate", kAttestLocal, 1);
        a.Set("Attestate", kOdd, 1);
    };
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    using shared::attestation::AttestationMode;
    Enter(service.Attestating);
    EXPECT_EQ(edges_.attestation->lastMode, static_cast<int>(AttestationMode::Hardware));
    OnWorker([&] { service.Attestating.OnEnter(); });
    EXPECT_EQ(edges_.attestation->lastMode, static_cast<int>(AttestationMode::Hardware));
    OnWorker([&] { service.Attestating.OnEnter(); });
    EXPECT_EQ(Road(service).attest_error_counter(), 2);
    EXPECT_EQ(edges_.attestation->lastMode, static_cast<int>(AttestationMode::SoftwareKey));
    EXPECT_TRUE(log_.Contains(error, "Attestation failed with error: "));
    EXPECT_EQ(State(), "FailureState");
}

TEST_F(EnrollmentStatesTest, ProofOfPossessionErrorRows) {
    struct Case {
        Error error;
        const char* line;
        bool reattest;
        const char* state_after;
    };
    const Case cases[] = {
        // The server test comes before the rate-limit test here.
        {Component("HttpStatusCode", 500, R"({"type": "ATT0042"})"), "AttestationPoP failed on server, backing off for: ", true, "Attestating"},
        {kRateLimited, "AttestationPoP rate-limitted failed backing off for:  ", false, "AttestatingPoP"},
        {kAttestLocal, "AttestationPoP failed locally, backing off for: ", true, "Attestating"},
        {kProxy, "AttestationPoP failed due proxy config, backing off for: ", false, "AttestatingPoP"},
        {kOdd, "PoP failed with error: ", false, "FailureState"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        edges_.script_attestation = [&](zelko::testing::FakeDeviceAttestation& a) {
            a.Set("ProofOfPossesion", c.error, 1);
            a.Set("Attestate", kOdd);  // a return to Attestating ends in FailureState: easy to see
        };
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        Enter(service.AttestatingPoP);
        EXPECT_TRUE(log_.Contains(std::string(c.state_after) == "FailureState" ? error : info, c.line));
        EXPECT_EQ(Road(service).reattest_required(), c.reattest);
        Advance(kHour);
        Advance(24 * kHour);
        if (std::string(c.state_after) == "AttestatingPoP") {
            EXPECT_EQ(edges_.attestation->Calls("ProofOfPossesion"), 2);  // re-run, then the road goes on
        } else if (std::string(c.state_after) == "Attestating") {
            EXPECT_EQ(edges_.attestation->Calls("Attestate"), 1);
        }
        service_.reset();
        log_.Clear();
    }
}

TEST_F(EnrollmentStatesTest, NetworkLossWaitsForTheNetworkWithoutDrawingAPolicy) {
    edges_.script_attestation = [](zelko::testing::FakeDeviceAttestation& a) { a.Set("Attestate", kNetwork, 1); };
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityDisconnected);
    Enter(service.Attestating);
    EXPECT_TRUE(log_.Contains(info, "Attestation will run once the internet connection is back"));
    EXPECT_TRUE(log_.Contains(info, "WaitingForNetwork.OnEnter no network, waiting."));
    EXPECT_EQ(edges_.attestation->Calls("Attestate"), 0);
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
    // The next check finds the network: the attestation runs, meets a network error, waits again
    // and runs once more when the network is found at once.
    Advance(5 * kMinute);
    for (int i = 0; i < 5; ++i) Drain();
    EXPECT_EQ(edges_.attestation->Calls("Attestate"), 2);
    EXPECT_TRUE(log_.Contains(info, "waiting for connection"));
    EXPECT_EQ(Count("Service state changed to AttestatingPoP"), 1);
    // Waiting for the network drew nothing from the state's policy.
    EXPECT_FALSE(std::filesystem::exists(scratch() / "zelko-plenar-service-state-Attestating.json"));
}

TEST_F(EnrollmentStatesTest, DiscoveryOnAPlainDeviceRetriesAfterRateLimitsAndProxies) {
    for (const Error& failure : {kRateLimited, Component("CURLcode", 28, "too slow"), Component("HttpStatusCode", 400), kProxy}) {
        SCOPED_TRACE(failure.what());
        edges_.enrollment = std::make_shared<zelko::testing::FakeEnrollment>();
        edges_.enrollment->token = std::make_shared<shared::enrollment::DiscoveryToken>(failure, "{}", "t", 0);
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        Enter(service.Discovery);
        EXPECT_EQ(Count("Discovery.OnEnter"), 1);
        // The "discovery" policy: about ten milliseconds.
        edges_.enrollment->token = std::make_shared<shared::enrollment::DiscoveryToken>(Error{}, "{}", "t", kStart / kSecond + 86400);
        Advance(kSecond);
        EXPECT_EQ(Count("Discovery.OnEnter"), 2);
        EXPECT_TRUE(log_.Contains(info, "PreEnrollZelko delayed for: "));
        service_.reset();
        log_.Clear();
    }
}

TEST_F(EnrollmentStatesTest, DiscoveryWithoutATokenGoesToAttestationOnAPlainDeviceAndRetriesOnASubscriptionDevice) {
    for (const bool subscription : {false, true}) {
        SCOPED_TRACE(subscription);
        edges_.features = subscription ? std::set<std::string>{"ZelkoPlenarSubscription"} : std::set<std::string>{};
        edges_.enrollment = std::make_shared<zelko::testing::FakeEnrollment>();  // no token
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        Enter(service.Discovery);
        EXPECT_EQ(log_.Contains(info, "Discovery no or expired token, Attest in: "), !subscription);
        EXPECT_EQ(log_.Contains(info, "Discovery no or expired token, backing off for: "), subscription);
        EXPECT_EQ(Road(service).reattest_required(), !subscription);
        EXPECT_EQ(Road(service).reenroll_required(), subscription);
        EXPECT_TRUE(Road(service).force_discovery_query());
        Advance(kSecond);
        Advance(30 * kSecond);
        EXPECT_EQ(Count("Service state changed to Attestating") > 0, !subscription);
        if (subscription) EXPECT_GE(Count("Discovery.OnEnter"), 2);
        service_.reset();
        log_.Clear();
    }
}

TEST_F(EnrollmentStatesTest, PreEnrollmentErrorRows) {
    struct Case {
        Error error;
        const char* line;
        const char* next;
    };
    const Case cases[] = {
        {kRateLimited, "PreEnrollZelko rate-limitted, going to check Discovery Token in for: ", "Discovery"},
        {Component("HttpStatusCode", 401), "PreEnrollZelko Unauthorized, Attestating in: ", "Attestating"},
        {kBadToken, "PreEnrollZelko bad token, Attestating in: ", "Attestating"},
        {kAttestLocal, "PreEnrollZelko validating attestsation signuture error, Attestating in: ", "Attestating"},
        {kProxy, "PreEnrollZelko due to proxy, backing off for: ", "PreEnrollZelko"},
        {kOdd, "Invalid PreEnrollZelko", "FailureState"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        edges_.enrollment = std::make_shared<zelko::testing::FakeEnrollment>();
        edges_.enrollment->Set("PreEnroll", c.error, 1);
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        Enter(service.PreEnrollZelko);
        EXPECT_EQ(Count(c.line, std::string(c.next) == "FailureState" ? error : info), 1);
        OnWorker([] {});
        for (int i = 0; i < 30 && State() == "PreEnrollZelko" && edges_.enrollment->Calls("PreEnroll") < 2; ++i)
            Advance(10 * kMinute);
        if (std::string(c.next) == "PreEnrollZelko") {
            EXPECT_EQ(edges_.enrollment->Calls("PreEnroll"), 2);
        } else {
            EXPECT_EQ(Lines({"Service state changed to"}).at(1), std::string("Service state changed to ") + c.next);
        }
        service_.reset();
        log_.Clear();
    }
}

TEST_F(EnrollmentStatesTest, TheChallengeExpiresAfterItsTimeToLive) {
    Configure({{"challenge_ttl_sec", 600}});
    for (const int64_t late : {600 * kSecond, 600 * kSecond + 1}) {
        SCOPED_TRACE(late);
        edges_.enrollment = std::make_shared<zelko::testing::FakeEnrollment>();
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        // The challenge is taken; the enrollment that follows finds the network gone and waits.
        OnWorker([&] {
            service.SetState(service.PreEnrollZelko);
            platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityDisconnected);
        });
        Drain();
        EXPECT_EQ(State(), "EnrollZelko");
        EXPECT_EQ(edges_.enrollment->Calls("Enroll"), 0);
        // The network returns exactly at, or just past, the challenge's end.
        clock_.Set(Road(service).pre_enroll_time() + late);
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        OnWorker([&] { service.OnNetworkConnected(); });
        Drain();
        // At the limit the enrollment runs; past it the challenge is asked for anew first.
        EXPECT_EQ(edges_.enrollment->Calls("Enroll"), 1);
        EXPECT_EQ(edges_.enrollment->Calls("PreEnroll"), late == 600 * kSecond ? 1 : 2);
        service_.reset();
        clock_.Set(kStart);
    }
}

TEST_F(EnrollmentStatesTest, TheSixthServerErrorOfEnrollmentGoesBackToAttestation) {
    edges_.enrollment->Set("Enroll", kHttp500, 6);
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    Enter(service.Discovery);
    // Each return to the enrollment waits for the "enroll" policy: hours.
    for (int i = 0; i < 600 && Count("EnrollZelko failed, Attestating in: ") == 0; ++i) Advance(10 * kMinute);
    EXPECT_EQ(Count("EnrollZelko rate-limitted, checking on Discovery Token in : "), 5);
    EXPECT_EQ(Count("EnrollZelko failed, Attestating in: "), 1);
    EXPECT_EQ(Road(service).enroll_server_error_count(), 0);
    EXPECT_TRUE(Road(service).reattest_required());
    EXPECT_TRUE(Road(service).reenroll_required());
    // After each server error the successful discovery went back to the enrollment directly.
    EXPECT_EQ(Count("EnrollZelko (back to Enrollment) delayed for: "), 5);
    EXPECT_EQ(edges_.enrollment->Calls("PreEnroll"), 1);
}

TEST_F(EnrollmentStatesTest, PollRepeatsWhileNotReadyAndGoesToDiscoveryWhenTheWindowCloses) {
    edges_.enrollment->Set("PollEnrollStatus", kNotReady);
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    Enter(service.PollEnrollZelkoStatus);
    for (int i = 0; i < 100 && Count("PollEnrollZelkoStatus timed out - not ready") == 0; ++i) Advance(10 * kSecond);
    EXPECT_GE(Count("PollEnrollZelkoStatus not ready, backing off for: "), 3);
    EXPECT_EQ(Count("PollEnrollZelkoStatus timed out - not ready, backing off for: "), 1);
    EXPECT_TRUE(Road(service).back_to_enrollment());
    EXPECT_TRUE(Road(service).reenroll_required());
    Advance(kSecond);
    EXPECT_EQ(State(), "Discovery");
}

TEST_F(EnrollmentStatesTest, APollThatLostTheNetworkPollsAgainWithinTwoMinutesAndRediscoversAfter) {
    for (const int64_t away : {2 * kMinute, 2 * kMinute + 1}) {
        SCOPED_TRACE(away);
        edges_.enrollment = std::make_shared<zelko::testing::FakeEnrollment>();
        edges_.enrollment->status = IssuedStatus(scratch() / "store");
        edges_.enrollment->Set("PollEnrollStatus", kNetwork, 1);
        auto& service = Make();
        OnWorker([&] {
            service.InitializeDeviceInfo();
            service.Initialize();
        });
        OnWorker([&] {
            service.SetState(service.PollEnrollZelkoStatus);
            platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityDisconnected);
        });
        Drain();
        EXPECT_EQ(State(), "PollEnrollZelkoStatus");
        clock_.Advance(away);
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        OnWorker([&] { service.OnNetworkConnected(); });
        Drain();
        if (away == 2 * kMinute) {
            EXPECT_EQ(State(), "GettingIotCreds");
        } else {
            EXPECT_TRUE(log_.Contains(info, "PollEnrollZelkoStatus timed out, Discovery in: "));
            EXPECT_TRUE(Road(service).back_to_enrollment());
            Advance(kSecond);
            EXPECT_EQ(State(), "Discovery");
        }
        service_.reset();
        log_.Clear();
        clock_.Set(kStart);
    }
}

TEST_F(EnrollmentStatesTest, ASimulatedCertificateWriteErrorKeepsPollingOnTheCertificateStorePolicy) {
    edges_.features = {"simulatewritecerterr"};
    auto& service = Start();
    ASSERT_TRUE(WalkTo("PollEnrollZelkoStatus"));
    EXPECT_TRUE(Road(service).simulate_write_cert_error());
    for (int i = 0; i < 12; ++i) Advance(kMinute);
    EXPECT_GE(Count("Save enrollment certificate to store failed due to pending WU, backoff EnrollCertificateStore for ", debug), 3);
    EXPECT_EQ(State(), "PollEnrollZelkoStatus");
}

TEST_F(EnrollmentStatesTest, ASaveFailureWithoutUpdatesBacksOffOnTheSavePolicy) {
    edges_.enrollment->Set("PollEnrollStatus", kSaveFailed, 2);
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    Enter(service.PollEnrollZelkoStatus);
    EXPECT_EQ(Count("Save enrollment certificate to store failed, backoff EnrollCertificateStoreSave for ", debug), 1);
    ASSERT_TRUE(WalkTo("GettingIotCreds", 5 * kSecond, 10));
}

TEST_F(EnrollmentStatesTest, OnboardingInProgressWithoutAHintBacksOffOnItsPolicy) {
    WriteJson(Config() / "connectivity-module-config.json",
              {{"cloud", {{"onboard", true}, {"stacks", {{"dev", DevStack()}}}}}});
    WriteJson(Config() / "onboarding-module-config.json",
              {{"stacks", {{"dev", {{"host", "https://127.0.0.1:1"}, {"stackName", "dev"}}}}}});
    auto http = std::make_shared<zelko::testing::ScriptedHttpClient>(
        [](const shared::http::HttpRequest&) { return zelko::testing::ScriptedHttpClient::Answer{202, R"({"backoffHint": 0})"}; });
    edges_.http = http;
    auto& service = Make();
    OnWorker([&] {
        service.InitializeDeviceInfo();
        service.Initialize();
    });
    ASSERT_TRUE(service._modules.conn_module && service._modules.conn_module->onboarding);
    Enter(service.Onboarding);
    for (int i = 0; i < 5; ++i) Drain();
    EXPECT_EQ(http->Requests().size(), 1u);
    EXPECT_TRUE(service._modules.conn_module->onboardingInProgress);
    EXPECT_EQ(Count("Onboarding backing off for "), 1);
    // The "attest" policy's first delay: at most 20 seconds.
    Advance(20 * kSecond);
    EXPECT_EQ(http->Requests().size(), 2u);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
