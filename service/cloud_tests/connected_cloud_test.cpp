// An enrolled device against the local cloud of the CTest fixture, through the real connectivity
// module and remote configurations: credentials, the agent configuration, the connection and the
// required collectors; then a new agent configuration set through the admin side is applied, and a
// grants shadow pushed over MQTT gives the BKC events.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "config/config_service.h"
#include "config/grants.h"
#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "foundation/retry_policy.h"
#include "foundation/utils.h"
#include "outside/s3/s3_client.h"
#include "platform/network.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/telemetry_module.h"
#include "testing/enrolled_device.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/log_capture.h"
#include "testing/named_features.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

namespace fs = std::filesystem;
using cloud::test::Admin;
using cloud::test::Cloud;
using nlohmann::json;
using shared::error::Error;
using shared::http::HttpMethod;
using namespace std::chrono_literals;

json Fixed(int milliseconds) {
    const json zero = {{"count", 0}, {"units", "milli"}};
    const json base = {{"count", milliseconds}, {"units", "milli"}};
    const json jitter = {{"base_value", base}, {"interval", zero}, {"interval_type", "StartingWithBase"}};
    return {{"type", "Linear"}, {"end_type", "Infinite"}, {"initial_delay", jitter}, {"diff_or_base", jitter}};
}

class RecordingService : public TestableService {
  public:
    ~RecordingService() override { EndPostedWork(); }
    explicit RecordingService(fs::path exe) : exe_(std::move(exe)) {}
    fs::path GetExecutablePath() override { return exe_; }
    void SendEventToModules(uint32_t control, uint32_t, const void*, uint64_t) override {
        std::lock_guard lock(mutex_);
        controls_.push_back(control);
        changed_.notify_all();
    }
    std::vector<uint32_t> Controls() {
        std::lock_guard lock(mutex_);
        return controls_;
    }
    bool WaitForControl(uint32_t control) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return std::find(controls_.begin(), controls_.end(), control) != controls_.end();
        });
    }

  private:
    fs::path exe_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint32_t> controls_;
};

class ConnectedCloudTest : public zelko::testing::SystemRootTest {
  protected:
    static constexpr const char* kShadows[] = {"tavragent-config", "job-corvane-grants", "job-corvane-policies"};

    void SetUp() override {
        SystemRootTest::SetUp();
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
        zelko::testing::TrustLocalCloud(scratch());

        // An enrolled device: its certificate store and "iot-info.dat" beside the program.
        thing_ = cloud::test::UniqueName("connected");
        device_->snrId = thing_;
        zelko::testing::WriteEnrolledDevice(scratch(), thing_);
        json stack = zelko::testing::LocalCloudStack("$aws/rules/telemetry/");
        stack["dataValve"] = {{"endpointUrl", "https://127.0.0.1:1"}};
        const auto folder = scratch() / kConfigFolderName;
        zelko::testing::WriteConnectivityConfig(folder, stack);
        // Short policies: the agent configuration is fetched again every second.
        Utils::SaveJsonFile(folder / kRetriesConfigFileName,
                            {{"states",
                              {{"tavragent-config_fetch", "refetch"},
                               {"job-corvane-grants_fetch", "fetch"},
                               {"job-corvane-grants_sub", "fetch"},
                               {"job-corvane-policies_fetch", "fetch"},
                               {"job-corvane-policies_sub", "fetch"}}},
                             {"policies",
                              {{"refetch", Fixed(1000)},
                               {"fetch", Fixed(500)},
                               {"attest", Fixed(60'000)},
                               {"local_delay", Fixed(60'000)}}}});
        Utils::SaveJsonFile(folder / kAgentConfigFileName, json::object());

        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        connectivity_ = std::make_shared<ConnectivityModule>(
            "dev", (folder / "connectivity-module-config.json").string(), nullptr,
            zelko::testing::FinderOf({"Corvane"}), device_, nullptr, nullptr, nullptr, false, nullptr, environment);
        ASSERT_TRUE(connectivity_->isCorvaneDevice);

        service_ = std::make_unique<RecordingService>(scratch() / "zelko-plenar-agent-service");
        ASSERT_TRUE(service_->InitConfig(kConfigFolderName, kAgentConfigFileName, scratch().string()));
        service_->InitBaseStates();
        service_->InitializePolicies();
        service_->_local_delay_policy =
            CreateRateLimiterPolicy(service_->_retry_config["policies"]["local_delay"], "", "");
        service_->LoadPersistedSate();
        service_->_modules.conn_module = connectivity_;
        service_->_device_info = device_;
        service_->_modules.config_service = std::make_shared<config::ConfigService>();
        service_->_modules.tavragent_config = config::RemoteConfig::Create(
            "tavragent-config", "tavragent-config", connectivity_, "", false, nullptr,
            nlohmann::ordered_json(RemoteConfigs::TavragentConfigDefault(true)), scratch(), "RemoteConfigs");
        service_->_modules.config_service->RegisterConfig("tavragent-config", service_->_modules.tavragent_config);
    }

    void TearDown() override {
        service_.reset();
        connectivity_.reset();
        for (const char* name : kShadows) Admin(HttpMethod::DEL, "/shadows/" + thing_ + "/" + name);
        ::unsetenv("ZELKO_CLOUD_CA_FILE");
        platform::SetSimulatedNetworkConnectivity(std::nullopt);
        RemoveStateFiles();
    }

    static void RemoveStateFiles() {
        for (const char* name : kShadows) {
            std::error_code ignored;
            fs::remove(Utils::GetExecutableDirectory() / (std::string(name) + "-state.json"), ignored);
        }
    }

    void SetShadow(const std::string& name, const json& data) {
        ASSERT_EQ(Admin(HttpMethod::PUT, "/shadows/" + thing_ + "/" + name, {{"state", {{"desired", {{"data", data}}}}}})
                      .first,
                  200);
    }

    bool WaitForState(const std::string& name) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (service_->CurrentStateName() != name) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    zelko::testing::LogCapture log_;
    std::string thing_;
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<ConnectivityModule> connectivity_;
    std::unique_ptr<RecordingService> service_;

  private:
};

TEST_F(ConnectedCloudTest, EnrolledDeviceConnectsFollowsItsConfigurationAndItsGrants) {
    const json rcs = {{{"name", "job-corvane-grants"}, {"subscribe", true}, {"notify", true}},
                      {{"name", "job-corvane-policies"}, {"subscribe", true}, {"notify", true}}};
    SetShadow("tavragent-config", {{"config", {{"conn", "pers_mq"}, {"ffs", {{"enable-acm-bkc", true}}}, {"rjs", json::array()}}}});
    SetShadow("job-corvane-grants", {{"grants", json::array()}});
    SetShadow("job-corvane-policies", {{"preferenceInfo", {{"window", "night"}}}});

    service_->_scheduler.In(Duration::zero(), [this] { service_->SetState(service_->GettingIotCreds); });
    ASSERT_TRUE(WaitForState("RequiredOnStarting"));
    ASSERT_TRUE(service_->WaitForControl(220));
    auto controls = service_->Controls();
    EXPECT_EQ(std::vector<uint32_t>(controls.begin(), controls.begin() + 2), (std::vector<uint32_t>{430, 220}));
    EXPECT_TRUE(connectivity_->IsConnected());

    // The telemetry module reports the required collectors done.
    TelemetryEvent required;
    required.Type.dwControl = 220;
    service_->Feedback().ItemDone(required);
    ASSERT_TRUE(WaitForState("Processing"));
    ASSERT_TRUE(service_->WaitForControl(215));
    EXPECT_EQ(Utils::LoadJsonFile(scratch() / "zelko-plenar-agent-state.json").value("required_on_start_done", false),
              true);

    // A new agent configuration, set through the admin side, is applied at the next fetch: its
    // configurations are made, fetched and subscribed.
    SetShadow("tavragent-config",
              {{"config", {{"conn", "pers_mq"}, {"ffs", {{"enable-acm-bkc", true}}}, {"rcs", rcs}, {"rjs", json::array()}}}});
    ASSERT_TRUE(log_.WaitFor(logging::info, "Creating RemoteConfig: corvane-grants with file name: primary-corvane-grants",
                             1, 10s));
    // Each fetch of the agent configuration builds them anew: from here on it waits an hour, so
    // the push below meets the last ones built.
    service_->_scheduler.In(Duration::zero(), [this] {
        service_->RemoteConfigurations().AgentConfigStates()->fetch_task.policy =
            CreateRateLimiterPolicy(Fixed(3'600'000), "", "");
    });
    ASSERT_TRUE(log_.WaitFor(logging::info, "Fetch will rerun in 1h0m0s0ms", 1, 10s));
    const int built = log_.Count(logging::info, "Creating RemoteConfig: corvane-grants");
    ASSERT_TRUE(log_.WaitFor(logging::info, "Successfully subscribed to remote config job-corvane-grants changes.", built,
                             10s));
    ASSERT_TRUE(log_.WaitFor(logging::info, "Successfully subscribed to remote config job-corvane-policies changes.",
                             built, 10s));
    ASSERT_TRUE(service_->WaitForControl(420));

    // Both grants, pushed on the shadow's topic: 1E BKC off, compliance BKC on, and the grant event.
    const size_t before = service_->Controls().size();
    SetShadow("job-corvane-grants", {{"grants", {config::kCorvaneGrant, config::kBkcGrant}}});
    ASSERT_TRUE(log_.WaitFor(logging::info, "Corvane Grants enable ACM BKC", 1, 10s));
    ASSERT_TRUE(service_->WaitForControl(210));
    controls = service_->Controls();
    // (The policies' last subscription may still be sending its 420 and 512.)
    std::vector<uint32_t> after;
    for (auto it = controls.begin() + static_cast<std::ptrdiff_t>(before); it != controls.end(); ++it) {
        if (*it != 420 && *it != 512) after.push_back(*it);
    }
    EXPECT_EQ(after, (std::vector<uint32_t>{511, 410, 210}));
}

}  // namespace
}  // namespace zelko::plenar::agent
