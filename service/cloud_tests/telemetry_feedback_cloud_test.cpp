// Telemetry delivery against the local cloud of the CTest fixture, through the real plug-in manager,
// connectivity module and telemetry module: uploads the cloud refuses land in resend records and
// move the state machine; once the cloud accepts again, event 215 sends them, oldest first.

#include <gtest/gtest.h>

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

#include "connectivity/connectivity_module.h"
#include "foundation/cryptography.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "outside/s3/s3_client.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/resend_record.h"
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

constexpr const char* kGun = "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";

int ServicesPort() {
    std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
    return json::parse(in).at("services_port").get<int>();
}

void WriteText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

size_t ResendFiles() {
    size_t n = 0;
    std::error_code ec;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(ResendFolder(), ec)) ++n;
    return n;
}

// What the plug-in answers for schedule type n: one element whose battery reads n.
json Upload(int n) { return {{"upload", {{{"gun", kGun}, {"data", {{"battery", n}, {"owner", "x"}}}}}}}; }

class FixedPolicy : public IRandomValue {
  public:
    explicit FixedPolicy(int64_t ms) : ms(ms) {}
    std::optional<std::chrono::milliseconds> Next() override { return std::chrono::milliseconds(ms); }
    void Reset() override {}
    uint64_t GetCount() override { return 0; }
    json ToJson() const override { return json::object(); }
    int64_t ms;
};

class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(fs::path exe) : exe_(std::move(exe)) {}
    fs::path GetExecutablePath() override { return exe_; }

  private:
    fs::path exe_;
};

class TelemetryFeedbackCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::DEL, "/device-faults");
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
        ASSERT_EQ(Admin(HttpMethod::PUT, "/valve-rules", {{"rules", {{{"gun", kGun}, {"allow", {"battery"}}}}}}).first,
                  200);
        zelko::testing::TrustLocalCloud(scratch());

        const auto library = scratch() / "inmem" / "uploader" / "1.0.0" / "uploader.so";
        fs::create_directories(library.parent_path());
        fs::copy_file(ZELKO_COLLECTOR_TEST_PLUGIN, library);
        manager_ = std::make_shared<shared::plugin::PluginManager>(
            (scratch() / "collectors").c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
            shared::plugin::ValidatorSettings{scratch() / "no-key.pem", true});
        manager_->InitializeInMemoryPlugins((scratch() / "inmem").c_str());

        // An enrolled device: its certificate store and "iot-info.dat" beside the program.
        thing_ = cloud::test::UniqueName("feedback");
        device_->snrId = thing_;
        zelko::testing::WriteEnrolledDevice(scratch(), thing_);
        const std::string services = "https://127.0.0.1:" + std::to_string(ServicesPort());
        json stack = zelko::testing::LocalCloudStack("$aws/rules/telemetry/");
        stack["iot"]["publish_data_s3_uri"] = "arn:aws:s3:::telemetry/" + thing_;
        stack["dataValve"] = {{"endpointUrl", services + "/clientdatavalvecontroller"}};
        const auto config = zelko::testing::WriteConnectivityConfig(scratch() / "Configuration Files", stack);
        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        connectivity_ = std::make_shared<ConnectivityModule>(
            "dev", config.string(), nullptr, zelko::testing::FinderOf({"Managed"}), device_, nullptr, nullptr,
            std::make_shared<shared::s3::S3Client>(nullptr, services + "/objects"), false, nullptr, environment);
        const Error credentials = connectivity_->GetCredentials(false);
        ASSERT_FALSE(credentials) << credentials.what();
        // Counted like a device with the Corvane feature: two reconnections, then new credentials.
        connectivity_->isCorvaneDevice = true;
        topic_ = connectivity_->GetTelemetryTopic();

        service_ = std::make_unique<TestService>(scratch() / "zelko-plenar-agent-service");
        service_->InitBaseStates();
        service_->InitializePolicies();
        service_->_modules.conn_module = connectivity_;
        service_->ConnectingToIot.policy = std::make_shared<FixedPolicy>(20);
        service_->GettingIotCreds.policy = std::make_shared<FixedPolicy>(40);
        // Stand-ins for the connection states: a reconnection that succeeds goes back to
        // Processing; new credentials are fetched from the cloud, then the device reconnects.
        service_->Processing.OnEnter = [this] { Record("Processing"); };
        service_->ConnectingToIot.OnEnter = [this] {
            Record("ConnectingToIot");
            service_->SetState(service_->Processing);
        };
        service_->GettingIotCreds.OnEnter = [this] {
            Record("GettingIotCreds");
            if (!connectivity_->GetCredentials(true)) service_->SetState(service_->ConnectingToIot);
        };

        const auto telemetryConfig = scratch() / kTelemetryConfigFileName;
        WriteText(telemetryConfig,
                  json{{"collectors",
                        {{{"name", "uploader"},
                          {"version", ">=1.0.0"},
                          {"configuration", {{"answers", {{"1", Upload(1)}, {"2", Upload(2)}, {"3", Upload(3)}}}}},
                          {"events", {{{"dwControl", 230}, {"dwEventType", -1}}}}}}}}
                      .dump());
        // Wired as the service wires its own module: outcomes are handed to the agent scheduler.
        module_ = std::make_shared<TelemetryModule>(
            telemetryConfig, connectivity_, manager_,
            [this](TelemetryEvent item) {
                service_->Feedback().ItemDone(item);
                Outcome("done " + std::to_string(item.Type.dwControl));
            },
            [this](Error error, TelemetryEvent item) {
                const bool required = item.Type.dwControl == 220;
                service_->_scheduler.In(Duration::zero(), [this, error, required] {
                    service_->Feedback().ItemFailed(error, required);
                    Outcome("failed " + std::to_string(error.code()));
                });
            },
            nullptr, nullptr, nullptr, crypto_, true, false);
        service_->_modules.telemetry_module = module_;
        service_->_scheduler.In(Duration::zero(), [this] { service_->SetState(service_->Processing); });
        ASSERT_TRUE(WaitStates(1));
    }

    void TearDown() override {
        module_.reset();
        service_.reset();
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::PUT, "/valve-rules", {{"rules", {{{"gun", "*"}, {"allow", {"*"}}}}}});
        ::unsetenv("ZELKO_CLOUD_CA_FILE");
    }

    void Record(const std::string& state) {
        std::lock_guard lock(mutex_);
        states_.push_back(state);
        changed_.notify_all();
    }
    void Outcome(const std::string& outcome) {
        std::lock_guard lock(mutex_);
        outcomes_.push_back(outcome);
        changed_.notify_all();
    }
    bool WaitStates(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return states_.size() >= count; });
    }
    bool WaitOutcomes(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return outcomes_.size() >= count; });
    }

    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<shared::plugin::PluginManager> manager_;
    std::shared_ptr<ConnectivityModule> connectivity_;
    std::shared_ptr<crypto::Cryptography> crypto_ = std::make_shared<crypto::Cryptography>("SNR-FEEDBACK");
    std::unique_ptr<TestService> service_;
    std::shared_ptr<TelemetryModule> module_;
    std::string thing_;
    std::string topic_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> states_;
    std::vector<std::string> outcomes_;
};

TEST_F(TelemetryFeedbackCloudTest, RefusedUploadsMoveTheMachineAndAreResentOldestFirst) {
    zelko::testing::LogCapture log;
    // The cloud drops the connection of every publish until told otherwise (a publish on a kept
    // connection is sent once more on a new one, so one publish may meet two drops).
    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "publish"}, {"close", true}, {"count", -1}}).first, 200);
    for (int run = 1; run <= 3; ++run) {
        module_->Process(Event(230, static_cast<uint32_t>(run)));
        ASSERT_TRUE(WaitOutcomes(static_cast<size_t>(run)));
        EXPECT_EQ(outcomes_.back(), "failed 14");
        // Each record is older than the next: the walk goes by last-write time.
        ASSERT_EQ(ResendFiles(), static_cast<size_t>(run));
        // The reaction comes due: a reconnection for the first two, new credentials for the third.
        ASSERT_TRUE(WaitStates(1 + 2 * static_cast<size_t>(run) + (run == 3 ? 1 : 0)));
    }
    EXPECT_EQ(states_, (std::vector<std::string>{"Processing", "ConnectingToIot", "Processing", "ConnectingToIot",
                                                 "Processing", "GettingIotCreds", "ConnectingToIot", "Processing"}));
    EXPECT_TRUE(connectivity_->IsCredentialsReady());
    EXPECT_TRUE(Admin(HttpMethod::GET, "/messages?topic=" + topic_).second.empty());

    // The cloud accepts again: the records go, oldest first, and their files with them.
    ASSERT_EQ(Admin(HttpMethod::DEL, "/faults").first, 200);
    const size_t before = outcomes_.size();
    module_->Process(Event(215, 0));
    ASSERT_TRUE(WaitOutcomes(before + 1));
    EXPECT_EQ(outcomes_.back(), "done 215");
    EXPECT_EQ(ResendFiles(), 0u);
    const json recorded = Admin(HttpMethod::GET, "/messages?topic=" + topic_).second;
    ASSERT_EQ(recorded.size(), 3u) << recorded.dump();
    for (int n = 1; n <= 3; ++n) {
        const json envelope = json::parse(recorded[n - 1]["payload"].get<std::string>());
        EXPECT_EQ(envelope["events"][0]["eventDetail"], json({{"battery", n}}));  // filtered again on the way
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
