// A connected device whose module set-up fails once, against the local cloud of the CTest fixture:
// the machine goes through FailureState back to Initializing, builds one new set of modules and
// returns to Processing with one IoT connection at the broker and its built-in install job running.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/connectivity_module.h"
#include "foundation/utils.h"
#include "jobs/install_component.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "platform/paths.h"
#include "platform/sessions.h"
#include "service/service.h"
#include "testing/testable_service.h"
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
using nlohmann::json;
using shared::http::HttpMethod;
using namespace std::chrono_literals;

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

json Fixed(int milliseconds) {
    const json zero = {{"count", 0}, {"units", "milli"}};
    const json base = {{"count", milliseconds}, {"units", "milli"}};
    const json jitter = {{"base_value", base}, {"interval", zero}, {"interval_type", "StartingWithBase"}};
    return {{"type", "Linear"}, {"end_type", "Infinite"}, {"initial_delay", jitter}, {"diff_or_base", jitter}};
}

// The broker's log, kept in the local cloud's folder.
fs::path BrokerLog() {
    std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
    return fs::path(json::parse(in).at("folder").get<std::string>()) / "mosquitto.log";
}

// The real service over this machine's test folder: a Corvane device of its own, whose connectivity
// step fails while the test asks for it; the telemetry module is left out.
class RebuildService : public TestableService {
  public:
    ~RebuildService() override { EndPostedWork(); }
    RebuildService(fs::path exe, std::shared_ptr<zelko::testing::FakeDeviceInfo> device)
        : exe_(std::move(exe)), device_(std::move(device)) {}
    fs::path GetExecutablePath() override { return exe_; }
    std::shared_ptr<shared::device::IDeviceInfo> NewDeviceInfo() override { return device_; }
    std::vector<std::shared_ptr<ISource>> MakeFeatureSources() override {
        return {std::make_shared<zelko::testing::NamedFeatures>(std::set<std::string>{"Corvane"})};
    }
    void InitConnectivityModule() override {
        if (fail_connectivity.exchange(false)) throw std::runtime_error("connectivity set-up failure forced by the test");
        Service::InitConnectivityModule();
    }
    void InitTelemetryModule() override {}

    std::atomic<bool> fail_connectivity{false};

  private:
    fs::path exe_;
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_;
};

class RebuildCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
        Admin(HttpMethod::DEL, "/faults");

        // An enrolled device: its certificate in the maker's store and "iot-info.dat" beside the program.
        thing_ = cloud::test::UniqueName("rebuild");
        device_->snrId = thing_;
        zelko::testing::WriteEnrolledDevice(scratch(), thing_,
                                            platform::ProgramDataFolder() / "Zelko" / "CertificateStores");
        json stack = zelko::testing::LocalCloudStack("$aws/rules/telemetry/");
        stack["dataValve"] = {{"endpointUrl", "https://127.0.0.1:1"}};
        const auto folder = scratch() / kConfigFolderName;
        zelko::testing::WriteConnectivityConfig(folder, stack);
        WriteText(folder / "install-component.json", "{}");
        // The credentials come at once; everything else (attestation, the retry of FailureState,
        // the next fetch, the jobs task's next run) waits an hour, beyond the test.
        Utils::SaveJsonFile(folder / kRetriesConfigFileName,
                            {{"states", {{"GettingIotCreds", "quick"}}},
                             {"policies",
                              {{"quick", Fixed(100)}, {"attest", Fixed(3'600'000)}, {"local_delay", Fixed(3'600'000)}}}});
        Utils::SaveJsonFile(folder / kAgentConfigFileName,
                            {{"cloud", {{"stack", "dev"}}}, {"run_in_background", false}, {"run_with_ecoqos", false}});
        // The required collectors ran at an earlier start.
        Utils::SaveJsonFile(scratch() / "zelko-plenar-agent-state.json", {{"required_on_start_done", true}});

        service_ = std::make_unique<RebuildService>(scratch() / "zelko-plenar-agent-service", device_);
        ASSERT_TRUE(service_->InitConfig(kConfigFolderName, kAgentConfigFileName, scratch().string()));
        service_->InitBaseStates();
    }

    void TearDown() override {
        if (service_) service_->StopService();
        service_.reset();
        Admin(HttpMethod::DEL, "/shadows/" + thing_ + "/job-1e-install");
        platform::SetSimulatedNetworkConnectivity(std::nullopt);
    }

    bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    void Enter(ServiceState& state) {
        service_->_scheduler.In(Duration::zero(), [this, &state] { service_->SetState(state); });
    }

    // Connections of this device that the broker holds open, by its log; and whether it ever
    // closed one because the same device connected again.
    int OpenConnections() const {
        std::ifstream in(BrokerLog());
        int open = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find("New client connected") != std::string::npos && line.find(" as " + thing_ + " ") != std::string::npos)
                ++open;
            if (line.find("Client " + thing_ + " ") != std::string::npos &&
                (line.find(" disconnected") != std::string::npos || line.find("closed its connection") != std::string::npos))
                --open;
        }
        return open;
    }
    bool Replaced() const {
        std::ifstream in(BrokerLog());
        std::stringstream text;
        text << in.rdbuf();
        return text.str().find("Client " + thing_ + " already connected") != std::string::npos;
    }

    zelko::testing::LogCapture log_;
    // Logged on an hour ago: the start-up grace is over.
    platform::ScopedFakeSessions sessions_{std::vector<platform::FakeSession>{
        {1, platform::SessionState::Active,
         platform::kFileTimeUnixEpoch + platform::NowTicks() - 3600 * platform::kTicksPerSecond}}};
    std::string thing_;
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::unique_ptr<RebuildService> service_;
};

TEST_F(RebuildCloudTest, AFailedSetUpOnceConnectedReturnsToProcessingWithOneConnectionAndItsJob) {
    // Start-up: the valid certificate leads to the credentials, the built-in agent configuration
    // (the cloud has none) to the connection, and Processing starts the built-in job.
    Enter(service_->Initializing);
    ASSERT_TRUE(WaitFor([&] { return service_->CurrentStateName() == "Processing"; }));
    ASSERT_TRUE(WaitFor([&] { return service_->Jobs().Find("job-1e-install") != nullptr; }));
    ASSERT_TRUE(WaitFor([&] { return OpenConnections() == 1; })) << OpenConnections();
    const std::weak_ptr<ConnectivityModule> first = service_->_modules.conn_module;

    // The set-up fails once: FailureState; its return to Initializing builds the modules again.
    service_->fail_connectivity = true;
    Enter(service_->Initializing);
    ASSERT_TRUE(WaitFor([&] { return service_->CurrentStateName() == "FailureState"; }));
    EXPECT_TRUE(log_.Contains(logging::error, "connectivity set-up failure forced by the test"));
    EXPECT_TRUE(first.expired());
    EXPECT_TRUE(WaitFor([&] { return OpenConnections() == 0; })) << OpenConnections();

    Enter(service_->Initializing);
    ASSERT_TRUE(WaitFor([&] { return service_->CurrentStateName() == "Processing"; }));
    ASSERT_TRUE(WaitFor([&] {
        const auto job = service_->Jobs().Find("job-1e-install");
        return job && job->processStarted;
    }));
    ASSERT_TRUE(service_->_modules.conn_module);
    EXPECT_TRUE(service_->_modules.conn_module->IsConnected());
    EXPECT_TRUE(WaitFor([&] { return OpenConnections() == 1; })) << OpenConnections();
    // A moment for a second connection to show (there is no event for its absence).
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(OpenConnections(), 1);
    EXPECT_FALSE(Replaced());
    EXPECT_EQ(service_->CurrentStateName(), "Processing");
    EXPECT_FALSE(log_.Contains(logging::warning, "Error: Install Comp is null for key"));
}

}  // namespace
}  // namespace zelko::plenar::agent
