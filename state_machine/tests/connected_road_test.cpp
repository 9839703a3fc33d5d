// The connected road over a fake host: every wait the road needs is one step posted through the
// host (never run or slept on in place), and a certificate failure hands the device back to the
// enrollment road.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/network.h"
#include "state_machine/connected_road.h"
#include "state_machine/enrollment_road.h"

namespace zelko::plenar::agent {
namespace {

using shared::error::Error;

constexpr int64_t kSecond = 10'000'000;
constexpr int64_t kHour = 3600 * kSecond;

Error Err(const std::string& type, int64_t code, const std::string& message = "failed") {
    return Error(shared::error::ErrorCategory::EC_Component, code, message, type, "test");
}

struct Post {
    int64_t ticks;
    std::function<void()> work;
};

class FakeHost : public EnrollmentHost, public ConnectedHost {
  public:
    void SetState(const ServiceState& target) override { current = target.name; }
    bool IsCurrentState(const char* name) const override { return current == name; }
    bool IsStopping() const override { return false; }
    bool RequiredOnStartDone() const override { return false; }
    void PostAfter(int64_t ticks, std::function<void()> work) override { posts.push_back({ticks, std::move(work)}); }
    void RequestToRunOnNetwork(std::function<void()> work) override { network_waits.push_back(std::move(work)); }
    bool ConfigBool(const char*, bool default_value) const override { return default_value; }
    int64_t ConfigInteger(const char*, int64_t default_value, int64_t, int64_t) const override {
        return default_value;
    }
    std::filesystem::path ExecutableFolder() override { return {}; }
    bool GetLocalDelay(int64_t&) const override { return false; }
    void ResetLocalDelay() override {}
    std::shared_ptr<ConnectivityModule> Connectivity() const override { return nullptr; }
    bool HasFeature(const std::string&) override { return false; }

    int64_t StartupWaitSeconds() override { return 0; }
    void EndStartupGrace() override {}
    bool SetUpModules() override { return false; }
    void StartScheduledWork() override {}
    std::shared_ptr<IRandomValue> CertStorePolicy(CertStore) override { return nullptr; }
    std::shared_ptr<IRandomValue> RenewCertStorePolicy(CertStore) override { return nullptr; }

    Error IotGetCredentials(bool reset_device) override {
        credential_resets.push_back(reset_device);
        return credentials;
    }
    Error IotConnect() override { return {}; }
    void IotResetEnrollment() override { ++enrollment_resets; }
    void HookConnectionNotices(ConnectivityModule&) override {}
    std::function<void()> NewAgentConfigFetch() override { return {}; }
    void PostRemoteConfigSubscriptions() override {}
    std::shared_ptr<ConsentBridgeModule> ConsentBridge() const override { return nullptr; }
    void SendEventToModules(uint32_t control, uint32_t, const void*, uint64_t) override { events.push_back(control); }
    bool CollectsPerformance() const override { return false; }
    bool RemoteJobsStarted() const override { return jobs_started; }
    void MarkRemoteJobsStarted() override { jobs_started = true; }
    std::filesystem::path TelemetryDataFolder() const override { return "missing-telemetry-folder"; }
    bool RemoveTelemetryData(const std::filesystem::path&) override { return true; }
    bool KillPluginExecutor() override { return false; }

    std::string current;
    std::vector<Post> posts;
    std::vector<std::function<void()>> network_waits;
    Error credentials;
    std::vector<bool> credential_resets;
    int enrollment_resets = 0;
    std::vector<uint32_t> events;
    bool jobs_started = false;
};

ServiceState Named(const char* name) {
    ServiceState state;
    state.name = name;
    return state;
}

class ConnectedRoadTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet); }
    void TearDown() override { platform::SetSimulatedNetworkConnectivity(std::nullopt); }

    // Makes the state current and runs its entry work, as the host's SetState does.
    void Enter(ServiceState& state) {
        host.SetState(state);
        state.OnEnter();
    }
    std::vector<int64_t> Delays() const {
        std::vector<int64_t> out;
        for (const auto& post : host.posts) out.push_back(post.ticks);
        return out;
    }

    FakeHost host;
    // Unbound states have no policy: every back-off takes the road's own fallback.
    ServiceState initializing = Named("Initializing"), failure = Named("FailureState"),
                 onboarding = Named("Onboarding"), attestating = Named("Attestating"),
                 pop = Named("AttestatingPoP"), discovery = Named("Discovery"), pre_enroll = Named("PreEnrollZelko"),
                 enroll = Named("EnrollZelko"), poll = Named("PollEnrollZelkoStatus"),
                 credentials = Named("GettingIotCreds"), connecting = Named("ConnectingToIot"),
                 consent = Named("UpdatingConsent"), required = Named("RequiredOnStarting"),
                 processing = Named("Processing"), stopping = Named("Stopping");
    ServiceTask collect, jobs, measure;
    EnrollmentRoad enrollment{host, {initializing, failure, onboarding, attestating, pop, discovery, pre_enroll,
                                     enroll, poll, credentials, stopping}};
    ConnectedRoad road{host, enrollment, {credentials, connecting, consent, required, processing, discovery, collect,
                                          jobs, measure}};
};

TEST_F(ConnectedRoadTest, EveryWaitIsOneStepPostedThroughTheHost) {
    road.Bind();
    const struct {
        const char* what;
        std::function<void()> arrange;
        ServiceState* state;
        std::vector<int64_t> delays;
    } rows[] = {
        {"credentials offline", [] { platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityDisconnected); },
         &credentials, {300 * kSecond}},
        {"credentials rate-limited", [this] { host.credentials = Err("HttpStatusCode", 429); },
         &credentials, {4 * kHour}},
        {"credentials refused", [this] { host.credentials = Err("IotDeviceErrors", 3, "no credentials"); },
         &credentials, {4 * kHour}},
        {"consent not valid", [] {}, &consent, {30 * kSecond}},
        {"processing", [] {}, &processing, {0, 30 * 24 * kHour}},
        {"required collectors", [] {}, &required, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        host.posts.clear();
        host.jobs_started = false;
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        row.arrange();
        Enter(*row.state);
        EXPECT_EQ(Delays(), row.delays);
        EXPECT_EQ(host.current, row.state->name) << "nothing ran in place";
        EXPECT_TRUE(host.network_waits.empty());
    }
}

TEST_F(ConnectedRoadTest, ACertificateFailureSendsTheDeviceBackToDiscoveryWhileStillWaitingForCredentials) {
    road.Bind();
    for (const bool moved_on : {false, true}) {
        SCOPED_TRACE(moved_on);
        host.posts.clear();
        host.credentials = Err("IotDeviceErrors", 2, "TLS handshake failed");
        Enter(credentials);
        EXPECT_EQ(host.enrollment_resets, moved_on ? 2 : 1);
        EXPECT_TRUE(enrollment.ReenrollRequired());
        EXPECT_TRUE(enrollment.ForceDiscoveryQuery());
        ASSERT_EQ(Delays(), std::vector<int64_t>{4 * kHour});
        if (moved_on) host.SetState(processing);
        host.posts[0].work();
        EXPECT_EQ(host.current, moved_on ? "Processing" : "Discovery");
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
