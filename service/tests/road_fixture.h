#pragma once

// A Service over a test folder with fakes at its edges (device, features, enrollment and
// attestation libraries, the data-valve client) and the real modules in between, run in virtual
// time: the wall clock is fake and moved by the test; the steady clock is fake and moved on its own
// whenever something sleeps on it (the connectivity module's end pauses a second there).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/connectivity_errors.h"
#include "connectivity/connectivity_module.h"
#include "connectivity/device_attestation_module.h"
#include "features/feature_finder.h"
#include "outside/enrollment/enrollment_errors.h"
#include "outside/http/http_errors.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "platform/sessions.h"
#include "platform/steady_clock.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "testing/fake_device_info.h"
#include "testing/fake_identity.h"
#include "testing/log_capture.h"
#include "testing/named_features.h"
#include "testing/scripted_http_client.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {

// The enrollment road's bookkeeping, which the tests seed and read.
struct EnrollmentRoadPeer {
    explicit EnrollmentRoadPeer(EnrollmentRoad& road) : road(road) {}
    int32_t& failure_entry_count() { return road._failure_entry_count; }
    int32_t& attest_error_counter() { return road._attest_error_counter; }
    int32_t& enroll_server_error_count() { return road._enroll_server_error_count; }
    bool& reattest_required() { return road._reattest_required; }
    bool& reenroll_required() { return road._reenroll_required; }
    bool& force_discovery_query() { return road._force_discovery_query; }
    bool& back_to_enrollment() { return road._back_to_enrollment; }
    bool& cert_read_blocked_by_update() { return road._cert_read_blocked_by_update; }
    bool& simulate_write_cert_error() { return road._simulate_write_cert_error; }
    int64_t& pre_enroll_time() { return road._pre_enroll_time; }
    EnrollmentRoad& road;
};

}  // namespace zelko::plenar::agent

namespace zelko::plenar::agent::test {

inline EnrollmentRoadPeer Road(Service& service) { return EnrollmentRoadPeer(service.Enrollment()); }

using nlohmann::json;
using shared::error::Error;

// 2024-03-05T12:00:00Z.
constexpr int64_t kStart = 1'709'640'000LL * platform::kTicksPerSecond;
constexpr int64_t kSecond = platform::kTicksPerSecond;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;

// What the fakes at the service's edges answer; shared by every set-up of one test.
struct Edges {
    std::set<std::string> features;
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<zelko::testing::FakeEnrollment> enrollment = std::make_shared<zelko::testing::FakeEnrollment>();
    // The attestation library of the connectivity module built last; scripted by script_attestation
    // as it is made.
    zelko::testing::FakeDeviceAttestation* attestation = nullptr;
    std::function<void(zelko::testing::FakeDeviceAttestation&)> script_attestation;
    bool real_telemetry = false;
    // The HTTP client of the next set-ups; the real one when null.
    std::shared_ptr<shared::http::IHttpClient> http;
    // Raised by the connectivity step of the next set-ups while set.
    bool fail_connectivity = false;
    // The IoT credentials are granted at once, so GettingIotCreds goes on to the agent configuration.
    bool grant_credentials = false;
    std::atomic<int> connectivity_modules{0};
    // The module built last, and how many were built while an earlier one was still alive.
    std::weak_ptr<ConnectivityModule> last_connectivity;
    int built_over_live_connectivity = 0;
    std::atomic<int> telemetry_steps{0};
};

class RoadService : public TestableService {
  public:
    ~RoadService() override { EndPostedWork(); }
    RoadService(std::filesystem::path exe, Edges& edges) : exe_(std::move(exe)), edges_(edges) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }
    std::shared_ptr<shared::device::IDeviceInfo> NewDeviceInfo() override { return edges_.device; }
    std::vector<std::shared_ptr<ISource>> MakeFeatureSources() override {
        return {std::make_shared<zelko::testing::NamedFeatures>(edges_.features)};
    }
    void InitHttpClient() override {
        if (edges_.http) {
            _modules.http_client = edges_.http;
        } else {
            Service::InitHttpClient();
        }
    }
    void InitConnectivityModule() override {
        if (edges_.fail_connectivity) throw std::runtime_error("connectivity refused by the test");
        if (!edges_.last_connectivity.expired()) ++edges_.built_over_live_connectivity;
        auto attestation = std::make_unique<zelko::testing::FakeDeviceAttestation>();
        attestation->mode = shared::attestation::AttestationMode::Hardware;
        if (edges_.script_attestation) edges_.script_attestation(*attestation);
        edges_.attestation = attestation.get();
        ConnectivityModule::Environment environment;
        environment.executableFolder = exe_.parent_path();
        environment.makeEnrollment = [enrollment = edges_.enrollment](const auto&, auto) { return enrollment; };
        environment.makeValveClient = [](const auto&, auto*) {
            return std::make_shared<zelko::testing::FakeDataValveClient>();
        };
        _modules.conn_module = std::make_shared<ConnectivityModule>(
            _stack, (_config_folder / "connectivity-module-config.json").string(), _modules.http_client, _modules.feature_finder,
            _device_info, _modules.consent_bridge_module,
            std::make_shared<DeviceAttestationModule>(std::move(attestation), _modules.http_client), _modules.s3_client, true,
            nullptr, std::move(environment));
        ++edges_.connectivity_modules;
        edges_.last_connectivity = _modules.conn_module;
    }
    shared::error::Error IotGetCredentials(bool reset_device) override {
        if (edges_.grant_credentials) return {};
        return Service::IotGetCredentials(reset_device);
    }
    void InitTelemetryModule() override {
        ++edges_.telemetry_steps;
        if (edges_.real_telemetry) Service::InitTelemetryModule();
    }
    using Service::HasFeature;

  private:
    std::filesystem::path exe_;
    Edges& edges_;
};

// The stack "dev" of the connectivity configuration: every service address leads nowhere (the
// fakes answer in their place).
inline json DevStack() {
    const std::string nowhere = "https://127.0.0.1:1";
    return {{"stackName", "dev"},
            {"iot",
             {{"telemetryTopic", "$aws/rules/telemetry/"},
              {"corvaneEnrollmentTopic", "$aws/rules/notifications/"},
              {"credentialUri", nowhere + "/role-aliases/zelko-device/credentials"}}},
            {"dataValve", {{"endpointUrl", nowhere}}},
            {"enrollment_v2",
             {{"discoveryUri", nowhere}, {"enrollmentUri", nowhere}, {"enrollmentStatusUri", nowhere},
              {"preEnrollmentUri", nowhere}}},
            {"enrollment_1e", {{"preEnrollmentUri", nowhere}, {"enrollmentUri", nowhere}}},
            {"attestation", {{"attestUri", nowhere}, {"possesionUri", nowhere}, {"certificateUri", nowhere}}}};
}

// The enrollment status of an issued enrollment, as the enrollment library keeps it.
inline std::shared_ptr<shared::enrollment::EnrollmentStatus> IssuedStatus(const std::filesystem::path& store) {
    auto status = std::make_shared<shared::enrollment::EnrollmentStatus>();
    status->isValid = status->isReady = true;
    status->tenant = "tenant";
    status->status = json{{"IotInfo", {{"amazonCa", "Q0E="}, {"iot_region", "local"}, {"iot_endpoint", "127.0.0.1:1"}}},
                          {"deviceId", "SNR0001"},
                          {"cert_store_path", store.string()},
                          {"creds_topic", "creds/SNR0001"}}
                         .dump();
    return status;
}

class RoadTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        // The program lives in the scratch folder, and so do the files kept beside it.
        ::setenv("ZELKO_AGENT_FOLDER", scratch().c_str(), 1);
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        std::filesystem::create_directories(Config());
        WriteJson(Config() / kAgentConfigFileName,
                  {{"cloud", {{"stack", "dev"}}}, {"run_in_background", false}, {"run_with_ecoqos", false}});
        WriteJson(Config() / "connectivity-module-config.json", {{"cloud", {{"stacks", {{"dev", DevStack()}}}}}});
        // A subscription device's consent service: nowhere, answered at once.
        WriteJson(Config() / "consent-bridge-module-config.json",
                  {{"stacks", {{"dev", {{"stackName", "dev"}, {"host", "http://127.0.0.1:1/"}}}}}});
        ticker_ = std::thread([this] {
            while (!stop_ticker_) {
                if (platform::SteadySleepers() > 0) steady_.Advance(std::chrono::seconds(1));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void TearDown() override {
        if (HasFailure() && std::getenv("ZELKO_DUMP_LOG") != nullptr) {
            for (const auto& [severity, message] : log_.Lines())
                if (severity <= logging::info) std::cerr << "  log: " << message << "\n";
        }
        service_.reset();
        stop_ticker_ = true;
        ticker_.join();
        platform::SetSimulatedNetworkConnectivity(std::nullopt);
    }

    std::filesystem::path Exe() const { return scratch() / "zelko-plenar-agent-service"; }
    std::filesystem::path Config() const { return scratch() / kConfigFolderName; }
    static void WriteJson(const std::filesystem::path& path, const json& document) {
        std::ofstream(path) << document.dump(2);
    }
    void WriteText(const std::filesystem::path& path, const std::string& text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    // Merges values into the main configuration (before the service is made).
    void Configure(const json& values) {
        std::ifstream in(Config() / kAgentConfigFileName);
        json config = json::parse(in);
        config.update(values);
        WriteJson(Config() / kAgentConfigFileName, config);
    }

    // The service with its configuration loaded and its base states bound; nothing entered yet.
    // What an earlier service of the test left beside the program (policy progress, IoT
    // information, counters) is removed first.
    RoadService& Make() {
        service_.reset();
        for (const auto& entry : std::filesystem::directory_iterator(scratch())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("zelko-plenar-service-state-", 0) == 0 || name == "iot-info.dat") {
                std::filesystem::remove(entry.path());
            }
        }
        service_ = std::make_unique<RoadService>(Exe(), edges_);
        EXPECT_TRUE(service_->InitConfig(kConfigFolderName, kAgentConfigFileName, scratch().string()));
        service_->InitBaseStates();
        return *service_;
    }
    // Runs a callable on the service's worker and waits for it.
    void OnWorker(std::function<void()> work) {
        std::promise<void> done;
        auto finished = done.get_future();
        service_->_scheduler.In(Duration::zero(), [&] {
            try {
                work();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "raised on the worker: " << e.what();
            }
            done.set_value();
        });
        ASSERT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }
    // Lets everything due by now run, and what that posts for now.
    void Drain() {
        for (int i = 0; i < 3; ++i) OnWorker([] {});
    }
    void Advance(int64_t ticks) {
        clock_.Advance(ticks);
        Drain();
    }
    // Messages at or above info, in order, that hold one of the texts.
    std::vector<std::string> Lines(const std::vector<std::string>& texts) const {
        std::vector<std::string> out;
        for (const auto& [severity, message] : log_.Lines()) {
            for (const auto& text : texts) {
                if (message.find(text) != std::string::npos) {
                    out.push_back(message);
                    break;
                }
            }
        }
        return out;
    }

    zelko::testing::LogCapture log_;
    platform::ScopedFakeClock clock_{kStart};
    platform::ScopedFakeSteadyClock steady_;
    // Logged on an hour before the start: the start-up grace is over.
    std::unique_ptr<platform::ScopedFakeSessions> sessions_ = LoggedOnAgo(kHour);
    static std::unique_ptr<platform::ScopedFakeSessions> LoggedOnAgo(int64_t ticks) {
        return std::make_unique<platform::ScopedFakeSessions>(std::vector<platform::FakeSession>{
            {1, platform::SessionState::Active, platform::kFileTimeUnixEpoch + kStart - ticks}});
    }
    std::atomic<bool> stop_ticker_{false};
    std::thread ticker_;
    Edges edges_;
    std::unique_ptr<RoadService> service_;
};

}  // namespace zelko::plenar::agent::test
