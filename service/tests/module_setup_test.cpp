// Module set-up: the stack name, the managed-device flags, the consent choice, the policies and the
// documents it builds, and a second set-up after a failure that releases the first set of modules.

#include <gtest/gtest.h>

#include "config/remote_config.h"
#include "features/network_events.h"
#include "jobs/install_component.h"
#include "foundation/logging.h"
#include "service/tests/road_fixture.h"
#include "telemetry/telemetry_module.h"

namespace zelko::plenar::agent::test {
namespace {

using logging::info;
using logging::warning;

class ModuleSetupTest : public RoadTest {
  protected:
    // Runs the set-up on the worker, as Initializing does.
    void Initialize() {
        OnWorker([this] {
            service_->InitializeDeviceInfo();
            service_->Initialize();
        });
    }
};

TEST_F(ModuleSetupTest, StackNameFromTheMainConfiguration) {
    struct Case {
        json config;
        std::string stack;
        const char* warning;
    };
    const Case cases[] = {
        {json::object(), "prod", nullptr},
        {{{"cloud", {{"impersonate", false}}}}, "prod", nullptr},
        {{{"cloud", {{"stack", "dev"}}}}, "dev", nullptr},
        {{{"cloud", {{"stack", 5}}}}, "prod", "Setting \"stack\" of zelko-plenar-agent-config.json \"cloud\""},
        {{{"cloud", "dev"}}, "prod", "Setting \"cloud\" of zelko-plenar-agent-config.json"},
    };
    auto& service = Make();
    for (const auto& c : cases) {
        zelko::testing::LogCapture log;
        service._agent_config = c.config;
        EXPECT_EQ(ReadStackName(service._agent_config), c.stack) << c.config.dump();
        EXPECT_EQ(log.Count(warning, "Setting \""), c.warning ? 1 : 0) << c.config.dump();
        if (c.warning) EXPECT_TRUE(log.Contains(warning, c.warning)) << c.config.dump();
    }
}

// A "cloud" that is not an object is read once, as an empty one: the stack is "prod" and the
// device is not impersonated, and the set-up goes on.
TEST_F(ModuleSetupTest, ACloudSettingThatIsNotAnObjectFallsBackOnceAndTheSetUpGoesOn) {
    Configure({{"cloud", "dev"}});
    WriteJson(Config() / "connectivity-module-config.json",
              {{"cloud", {{"stacks", {{"prod", DevStack()}}}}}});
    auto& service = Make();
    Initialize();
    EXPECT_EQ(service._stack, "prod");
    EXPECT_EQ(service._device_info, edges_.device);
    EXPECT_TRUE(service._modules.conn_module);
    EXPECT_EQ(log_.Count(warning, "Setting \"cloud\" of zelko-plenar-agent-config.json"), 1);
}

TEST_F(ModuleSetupTest, ManagedDevicesStopUnlessSubscribedOrInTheTestEnvironment) {
    struct Case {
        std::set<std::string> features;
        bool stop;
        bool managed_subscription;
    };
    const Case cases[] = {
        {{}, false, false},
        {{"commercialManaged"}, true, false},
        {{"Deployers"}, true, false},
        {{"commercialManaged", "EnableTestEnv"}, false, false},
        {{"ss", "commercialManaged"}, false, true},
        {{"te", "Deployers"}, false, true},
        {{"ss"}, false, false},
    };
    for (const auto& c : cases) {
        edges_.features = c.features;
        auto& service = Make();
        service.InitFeatureFinder();
        EXPECT_EQ(service._stop_for_vxm, c.stop) << ::testing::PrintToString(c.features);
        EXPECT_EQ(service._is_vxm_managed_subscription, c.managed_subscription)
            << ::testing::PrintToString(c.features);
    }
}

TEST_F(ModuleSetupTest, BuildsTheModulesOfAPlainDevice) {
    auto& service = Make();
    Initialize();
    EXPECT_TRUE(service._modules.http_client);
    ASSERT_TRUE(service._modules.conn_module);
    EXPECT_FALSE(service._modules.conn_module->isSubscriptionDevice);
    // Consent comes from the consent settings through the finder: no bridge.
    EXPECT_FALSE(service._modules.consent_bridge_module);
    EXPECT_TRUE(log_.Contains(info, "Initial PSConsentSource"));
    EXPECT_TRUE(service._modules.s3_client);
    EXPECT_TRUE(service._modules.corvane_enrollment);
    EXPECT_TRUE(service._modules.cryptography);
    EXPECT_TRUE(service._modules.onee_module);
    EXPECT_TRUE(service._modules.network_events);
    EXPECT_NE(service._modules.nlm_advise_cookie, 0u);
    EXPECT_FALSE(service._modules.performance_collector);
    EXPECT_EQ(edges_.telemetry_steps, 1);
    ASSERT_TRUE(service._modules.config_service);
    ASSERT_TRUE(service._modules.tavragent_config);
    EXPECT_EQ(service._modules.tavragent_config->GetConfig()["version"], 1);
    EXPECT_TRUE(std::filesystem::is_directory(scratch() / "RemoteConfigs"));
    EXPECT_TRUE(log_.Contains(info, "Loading telemetry module completed."));
    EXPECT_TRUE(service._app.get_option_no_throw("--payload"));
    EXPECT_TRUE(service._app.get_option_no_throw("--plugin"));

    // The two certificate-store policies keep their own files beside the program; the local delay
    // keeps none and, built from its own document, stops after 30 seconds' worth of steps.
    int64_t ticks = 0;
    ASSERT_TRUE(NextPolicyDelay(service._cert_store_policy, ticks));
    EXPECT_GE(ticks, 20 * kSecond);
    EXPECT_LE(ticks, 25 * kSecond);
    ASSERT_TRUE(NextPolicyDelay(service._cert_store_save_policy, ticks));
    EXPECT_GE(ticks, 5 * kSecond);
    EXPECT_LE(ticks, 6 * kSecond);
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(scratch()))
        files.insert(entry.path().filename().string());
    EXPECT_TRUE(files.count("zelko-plenar-service-state-EnrollCertificateStore.json"))
        << ::testing::PrintToString(files);
    EXPECT_TRUE(files.count("zelko-plenar-service-state-EnrollCertificateStoreSave.json"));
    ASSERT_TRUE(service.GetLocalDelay(ticks));
    EXPECT_GE(ticks, 2 * kSecond);
    EXPECT_LE(ticks, 2 * kSecond + 100 * platform::kTicksPerMillisecond);
}

TEST_F(ModuleSetupTest, SubscriptionDevicesGetTheConsentBridgeAndCorvaneDevicesPersistentConnections) {
    edges_.features = {"ZelkoPlenarSubscription", "Corvane"};
    Configure({{"collect_perf", true}});
    auto& service = Make();
    Initialize();
    EXPECT_TRUE(service._modules.consent_bridge_module);
    EXPECT_FALSE(log_.Contains(info, "Initial PSConsentSource"));
    ASSERT_TRUE(service._modules.conn_module);
    EXPECT_TRUE(service._modules.conn_module->isSubscriptionDevice);
    EXPECT_TRUE(service._modules.conn_module->isCorvaneDevice);
    // The performance collector publishes on the enrollment topic followed by the device's id.
    EXPECT_TRUE(service._modules.performance_collector);
    EXPECT_TRUE(log_.Contains(info, "Loading performance collector..."));
}

TEST(TavragentConfigDefault, ConnectionKindFollowsTheDevice) {
    const json plain = RemoteConfigs::TavragentConfigDefault(false);
    EXPECT_EQ(plain.dump(),
              R"({"data":{"config":{"conn":"mq","rjs":[{"ival":"720","name":"job-1e-install","ts":"1709904065"}]}},"version":1})");
    EXPECT_EQ(RemoteConfigs::TavragentConfigDefault(true)["data"]["config"]["conn"], "pers_mq");
}

TEST_F(ModuleSetupTest, AConfigurationWithoutALocalDelayPolicyDoesNotEndTheSetUp) {
    WriteJson(Config() / kRetriesConfigFileName, {{"states", json::object()}, {"policies", {{"attest", json::object()}}}});
    auto& service = Make();
    Initialize();
    EXPECT_TRUE(log_.Contains(warning, "Retry configuration has no usable \"local_delay\" policy"));
    EXPECT_TRUE(service._modules.network_events);
    int64_t ticks = 0;
    EXPECT_TRUE(service.GetLocalDelay(ticks));
}

TEST_F(ModuleSetupTest, ASecondSetUpReleasesTheFirstSetOfModules) {
    edges_.real_telemetry = true;
    WriteJson(Config() / kTelemetryModuleConfigFileName,
              {{"pluginsFolder", (scratch() / "collectors").string()},
               {"collectors",
                {{{"name", "a"},
                  {"version", ">=1.0.0"},
                  {"events", {{{"dwControl", 230}, {"dwEventType", 20}}, {{"dwControl", 240}, {"dwEventType", 506}}}}}}}});
    auto& service = Make();
    Initialize();
    std::weak_ptr<ConnectivityModule> first_connectivity = service._modules.conn_module;
    std::weak_ptr<TelemetryModule> first_telemetry = service._modules.telemetry_module;
    std::weak_ptr<config::RemoteConfig> first_config = service._modules.tavragent_config;
    std::weak_ptr<NetworkEvents> first_sink = service._modules.network_events;
    ASSERT_FALSE(first_connectivity.expired());
    ASSERT_FALSE(first_telemetry.expired());
    EXPECT_EQ(service.EventLog().plain().size(), 1u);

    Initialize();
    EXPECT_TRUE(log_.Contains(info, "Releasing the modules of the previous initialization..."));
    EXPECT_TRUE(first_connectivity.expired());
    EXPECT_TRUE(first_telemetry.expired());
    EXPECT_TRUE(first_config.expired());
    EXPECT_TRUE(first_sink.expired());
    EXPECT_EQ(edges_.connectivity_modules, 2);
    EXPECT_EQ(edges_.built_over_live_connectivity, 0);
    ASSERT_TRUE(service._modules.telemetry_module);
    EXPECT_EQ(service.EventLog().plain().size(), 1u);
    EXPECT_NE(service._modules.nlm_advise_cookie, 0u);

    // The calendar event the collector asks for is registered once and so delivered once.
    OnWorker([&] { service._scheduler.StartScheduledEvents(); });
    EXPECT_EQ(log_.Count(logging::debug, "Queueing"), 1);
}

// Back from FailureState after the device had its credentials and its jobs: the rebuild releases
// every holder of the old connectivity module (the agent configuration's fetch task among them)
// and the jobs with their keys; back in Processing the jobs are made anew over the new modules.
TEST_F(ModuleSetupTest, ARebuildAfterTheCredentialsMakesTheJobsAnewOverOneSetOfModules) {
    edges_.grant_credentials = true;
    std::filesystem::create_directories(Config());
    WriteText(Config() / "install-component.json", "{}");
    auto& service = Make();
    std::vector<std::weak_ptr<InstallComponent>> made;
    const auto make_job = service.Jobs().factory();
    service.Jobs().SetFactory([&](const std::string& name, const json& entry) {
        auto job = make_job(name, entry);
        made.push_back(job);
        return job;
    });
    // Credentials, the agent configuration (none in the cloud: the built-in one), the connection
    // and, the required collectors having run before, Processing with its jobs task.
    auto connect = [&] {
        service._required_on_start_done = true;
        OnWorker([&] { service.SetState(service.GettingIotCreds); });
        for (int i = 0; i < 10 && !service.Jobs().Find("job-1e-install"); ++i) Drain();
        EXPECT_EQ(service.CurrentStateName(), "Processing");
    };
    Initialize();
    connect();
    ASSERT_TRUE(service.RemoteConfigurations().AgentConfigStates());
    ASSERT_EQ(made.size(), 1u);
    const std::weak_ptr<ConnectivityModule> first_connectivity = service._modules.conn_module;
    const std::weak_ptr<InstallComponent> first_job = service.Jobs().Find("job-1e-install");
    ASSERT_FALSE(first_job.expired());
    EXPECT_TRUE(first_job.lock()->processStarted);

    OnWorker([&] { service.SetState(service.FailureState); });
    Initialize();
    EXPECT_TRUE(first_connectivity.expired());
    EXPECT_TRUE(first_job.expired());
    EXPECT_EQ(edges_.built_over_live_connectivity, 0);
    EXPECT_FALSE(service.RemoteConfigurations().AgentConfigStates());
    {
        std::lock_guard lock(service._modules.remote_jobs_mutex);
        EXPECT_TRUE(service._modules.remote_jobs.empty());
    }

    connect();
    {
        const auto job = service.Jobs().Find("job-1e-install");
        ASSERT_TRUE(job);
        EXPECT_EQ(made.size(), 2u);
        EXPECT_EQ(job, made.back().lock());
        EXPECT_TRUE(job->processStarted);
    }
    EXPECT_FALSE(log_.Contains(logging::warning, "Error: Install Comp is null for key"));
    EXPECT_EQ(edges_.connectivity_modules, 2);

    // At the stop nothing keeps the module past the teardown.
    const std::weak_ptr<ConnectivityModule> second_connectivity = service._modules.conn_module;
    service.StopService();
    EXPECT_TRUE(second_connectivity.expired());
    EXPECT_FALSE(service.RemoteConfigurations().AgentConfigStates());
}

TEST_F(ModuleSetupTest, NoDeviceInformationFileForImpersonationFailsTheSetUp) {
    Configure({{"cloud", {{"stack", "dev"}, {"impersonate", true}}}});
    auto& service = Make();
    EXPECT_ANY_THROW(service.InitializeDeviceInfo());
    EXPECT_TRUE(log_.Contains(info, "Instantiating VirtualDeviceInfo to impersonate device"));
}

}  // namespace
}  // namespace zelko::plenar::agent::test
