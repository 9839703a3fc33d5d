// A compliance job against the local cloud that the CTest fixture started: the job's shadow names
// an object, the compliance module downloads it, the engine runs it, the service records the
// outcome in the status shadow and leaves the report in a message file, and the send-message
// plug-in's collector run publishes it.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "connectivity/connectivity_module.h"
#include "foundation/cryptography.h"
#include "jobs/acm_module.h"
#include "outside/device_info/virtual_device_info.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "outside/s3/s3_client.h"
#include "platform/clock.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/collector.h"
#include "testing/enrolled_device.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/log_capture.h"
#include "testing/named_features.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;
using cloud::test::Admin;
using cloud::test::Cloud;
using nlohmann::json;
using shared::error::Error;
using shared::http::HttpMethod;

constexpr const char* kReportGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.deviceBkcStatus.version.1";
constexpr int64_t kTenSeconds = 10 * platform::kTicksPerSecond;

int ServicesPort() {
    std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
    return json::parse(in).at("services_port").get<int>();
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Records what the service puts on its bus and delivers it as the service does.
class BusService : public TestableService {
  public:
    ~BusService() override { EndPostedWork(); }
    explicit BusService(fs::path exe) : exe_(std::move(exe)) {}
    fs::path GetExecutablePath() override { return exe_; }
    void SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) override {
        {
            std::lock_guard lock(mutex_);
            sent_.emplace_back(control, data ? std::string(static_cast<const char*>(data), size) : "");
            changed_.notify_all();
        }
        Service::SendEventToModules(control, event_type, data, size);
    }
    // The data of the first event of that code, once it was sent.
    std::optional<std::string> WaitFor(uint32_t control) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const auto& [code, data] : sent_) {
                if (code == control) found = data;
            }
            return found.has_value();
        });
        return found;
    }

  private:
    fs::path exe_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<uint32_t, std::string>> sent_;
};

class ComplianceCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::DEL, "/device-faults");
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
        ASSERT_EQ(Admin(HttpMethod::PUT, "/valve-rules", {{"rules", {{{"gun", "*"}, {"allow", {"*"}}}}}}).first, 200);
        zelko::testing::TrustLocalCloud(scratch());

        // An enrolled device: its certificate store and "iot-info.dat" beside the program.
        thing_ = cloud::test::UniqueName("compliance");
        device_->snrId = thing_;
        zelko::testing::WriteEnrolledDevice(scratch(), thing_);

        const std::string services = "https://127.0.0.1:" + std::to_string(ServicesPort());
        json stack = zelko::testing::LocalCloudStack("$aws/rules/telemetry/");
        stack["iot"]["publish_data_s3_uri"] = "arn:aws:s3:::telemetry/" + thing_;
        stack["dataValve"] = {{"endpointUrl", services + "/clientdatavalvecontroller"}};
        const auto configFolder = scratch() / "Configuration Files";
        zelko::testing::WriteConnectivityConfig(configFolder, stack);
        WriteText(configFolder / "acm-module-config.json",
                  json{{"workFolder", "%programdata%/Zelko/ACM/"}, {"sendReport", true}, {"defaultSchedule", 600}}.dump());
        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        connectivity_ = std::make_shared<ConnectivityModule>(
            "dev", (configFolder / "connectivity-module-config.json").string(), nullptr,
            zelko::testing::FinderOf({"Managed"}), device_, nullptr, nullptr,
            std::make_shared<shared::s3::S3Client>(nullptr, services + "/objects"), false, nullptr, environment);
        const Error credentials = connectivity_->GetCredentials(false);
        ASSERT_FALSE(credentials) << credentials.what();

        // The send-message plug-in decrypts with the device's own id, as the service encrypts.
        const auto real = MakeDeviceInfo(json::object(), configFolder);
        crypto_ = std::make_shared<crypto::Cryptography>(real->GetDeviceSNRId());
        service_ = std::make_unique<BusService>(scratch() / "zelko-plenar-agent-service");
        service_->_config_folder = configFolder;
        service_->_modules.conn_module = connectivity_;
        service_->_modules.cryptography = crypto_;
    }

    void TearDown() override {
        if (service_ && service_->_modules.acm_module) service_->_modules.acm_module->Stop();
        service_.reset();
        Admin(HttpMethod::DEL, "/faults");
        ::unsetenv("ZELKO_CLOUD_CA_FILE");
    }

    // Waits until `count` delayed requests of ten seconds were handed to the scheduler.
    bool WaitForTenSecondRequests(int count) {
        return log_.WaitFor(logging::info, "AcmModule reschedule  in 0h0m10s0ms", count);
    }
    // Moves the time on by ten seconds at a time until the line has been logged `count` times: a
    // request may reach the scheduler just after the time moved.
    bool AdvanceUntil(const std::string& line, int count) {
        for (int i = 0; i < 20; ++i) {
            clock_.Advance(kTenSeconds);
            if (log_.WaitFor(logging::info, line, count, std::chrono::milliseconds(200))) return true;
        }
        return false;
    }

    zelko::testing::LogCapture log_;
    platform::ScopedFakeClock clock_{platform::NowTicks()};
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<ConnectivityModule> connectivity_;
    std::shared_ptr<crypto::Cryptography> crypto_;
    std::unique_ptr<BusService> service_;
    std::string thing_;
};

TEST_F(ComplianceCloudTest, AJobFromTheCloudRunsAndItsReportIsPublished) {
    WriteText(root() / "ProgramData" / "Zelko" / "compliance-marker.txt", "enforced");
    const json job = {{"id", "bkc-cloud-1"},
                      {"checks",
                       {{{"id", "marker"}, {"type", "file"}, {"path", "%programdata%/Zelko/compliance-marker.txt"},
                         {"contains", "enforced"}},
                        {{"id", "forbidden"}, {"type", "file"}, {"path", "%programdata%/Zelko/forbidden.txt"},
                         {"exists", false}}}}};
    ASSERT_FALSE(connectivity_->UploadToS3("s3://acm-jobs", thing_ + "/job.json", json(job.dump())));
    const std::string url = "s3://acm-jobs/" + thing_ + "/job.json";
    ASSERT_EQ(Admin(HttpMethod::PUT, "/shadows/" + thing_ + "/job-acm-bkc-cfg", {{"state", {{"desired", {{"data", url}}}}}})
                  .first,
              200);

    service_->InitAcmModule();
    ASSERT_TRUE(service_->_modules.acm_module);
    service_->SendEventToModules(AcmBkcEnable, 0, nullptr, 0);
    const std::string entry = json{{"name", "job-acm-bkc-cfg"}, {"ival", "720"}, {"ts", "1"}}.dump();
    service_->SendEventToModules(AcmJobReceived, 0, entry.c_str(), entry.size() + 1);

    // The update thread downloads the job into the cache and asks for 451 in ten seconds.
    ASSERT_TRUE(WaitForTenSecondRequests(1));
    EXPECT_TRUE(log_.Contains(logging::info, "Found ACM job url " + url));
    ASSERT_TRUE(AdvanceUntil("ACM setup corvane BKC event!", 1));  // 451: joined, 452 asked for
    ASSERT_TRUE(WaitForTenSecondRequests(2));
    ASSERT_TRUE(AdvanceUntil("ACM run corvane BKC event!", 1));  // 452: the engine runs the cached job

    const auto file_event = service_->WaitFor(217);
    ASSERT_TRUE(file_event.has_value()) << "no report file event";
    const fs::path file = json::parse(*file_event)["params"]["file"].get<std::string>();
    EXPECT_TRUE(fs::exists(file));

    // The cloud holds the outcome; the job's shadow is gone.
    const auto [status_code, status] = Admin(HttpMethod::GET, "/shadows/" + thing_ + "/status-job-acm-bkc-cfg");
    ASSERT_EQ(status_code, 200) << status.dump();
    EXPECT_EQ(status["state"]["desired"]["data"]["code"], "0");
    EXPECT_EQ(status["state"]["desired"]["data"]["message"], "Bkc bkc-cloud-1 succeeded!");
    EXPECT_EQ(Admin(HttpMethod::GET, "/shadows/" + thing_ + "/job-acm-bkc-cfg").first, 404);

    // The collector of event 217 runs the send-message plug-in on the file and publishes the report.
    const auto library = scratch() / "inmem" / "zelko-send-message" / "1.0.0" / "zelko-send-message.so";
    fs::create_directories(library.parent_path());
    fs::copy_file(ZELKO_SEND_MESSAGE_PLUGIN, library);
    auto manager = std::make_shared<shared::plugin::PluginManager>(
        (scratch() / "collectors").c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
        shared::plugin::ValidatorSettings{scratch() / "no-key.pem", true});
    manager->InitializeInMemoryPlugins((scratch() / "inmem").c_str());
    const json collector_entry = {
        {"name", "zelko-send-message"}, {"version", ">=1.0.0"}, {"configuration", json::object()},
        {"events", {{{"dwControl", 217}}}}};
    Collector collector(collector_entry, connectivity_, manager, nullptr, nullptr, crypto_, true);
    TelemetryEvent event;
    event.Type = {217, 0, 0, 0};
    event.SysEvent = Event(217, 0, file_event->data(), file_event->size());
    const Error run = collector.Process(event);
    ASSERT_FALSE(run) << run.what();
    EXPECT_FALSE(fs::exists(file)) << "the plug-in deletes the file it answered";

    const json recorded = Admin(HttpMethod::GET, "/messages?topic=" + connectivity_->GetTelemetryTopic()).second;
    ASSERT_EQ(recorded.size(), 1u) << recorded.dump();
    const json envelope = json::parse(recorded[0]["payload"].get<std::string>());
    ASSERT_EQ(envelope["events"].size(), 1u);
    EXPECT_EQ(envelope["events"][0]["eventDetailType"], kReportGun);
    const json& detail = envelope["events"][0]["eventDetail"];
    EXPECT_EQ(detail["bkcConfigId"], "bkc-cloud-1");
    ASSERT_EQ(detail["bkcStatus"].size(), 2u);
    EXPECT_EQ(detail["bkcStatus"][0]["quenloExitStatus"], "success");
    EXPECT_EQ(detail["bkcStatus"][1]["quenloExitStatus"], "success");
}

}  // namespace
}  // namespace zelko::plenar::agent::test
