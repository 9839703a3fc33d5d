#pragma once

// A Service in virtual time over a fake connectivity module: the credentials and connection calls
// answer what the test scripts, module events are recorded, and every retry policy gives a fixed
// delay of its own, so each back-off can be told by its length.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config/config_service.h"
#include "config/remote_config.h"
#include "foundation/retry_policy.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "testing/fake_connectivity.h"
#include "testing/fake_device_info.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {

// The connected road's bookkeeping, which the tests seed.
struct ConnectedRoadPeer {
    explicit ConnectedRoadPeer(ConnectedRoad& road) : road(road) {}
    bool& reset_iot_device() { return road._reset_iot_device; }
    ConnectedRoad& road;
};

}  // namespace zelko::plenar::agent

namespace zelko::plenar::agent::connected_test {

using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;

constexpr int64_t kSecond = platform::kTicksPerSecond;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;

inline Error Err(const std::string& type, int64_t code, const std::string& message = "failed") {
    return Error(ErrorCategory::EC_Component, code, message, type, "test");
}

struct SentEvent {
    uint32_t control;
    std::string data;  // the bytes as text, the NUL included when sent
    bool operator==(const SentEvent&) const = default;
};

class ConnectedService : public TestableService {
  public:
    explicit ConnectedService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    ~ConnectedService() override { EndPostedWork(); }

    std::filesystem::path GetExecutablePath() override { return exe_; }
    void SendEventToModules(uint32_t control, uint32_t, const void* data, uint64_t size) override {
        std::lock_guard lock(mutex);
        events.push_back({control, std::string(static_cast<const char*>(data), static_cast<const char*>(data) + size)});
    }
    Error IotGetCredentials(bool reset) override {
        credential_resets.push_back(reset);
        return Next(credential_results);
    }
    Error IotConnect() override {
        ++connects;
        return Next(connect_results);
    }
    void IotResetEnrollment() override { ++enrollment_resets; }
    bool IotCredentialsReady() override { return credentials_ready; }
    bool RemoveTelemetryData(const std::filesystem::path& folder) override {
        ++removals;
        if (removal_fails) return false;
        return Service::RemoveTelemetryData(folder);
    }
    bool KillPluginExecutor() override {
        ++kills;
        return kill_succeeds;
    }

    std::vector<uint32_t> Controls() {
        std::lock_guard lock(mutex);
        std::vector<uint32_t> out;
        for (const auto& e : events) out.push_back(e.control);
        return out;
    }

    std::mutex mutex;
    std::vector<SentEvent> events;
    std::deque<Error> credential_results;
    std::deque<Error> connect_results;
    std::vector<bool> credential_resets;
    int connects = 0;
    int enrollment_resets = 0;
    bool credentials_ready = true;
    int removals = 0;
    bool removal_fails = false;
    int kills = 0;
    bool kill_succeeds = false;

  private:
    static Error Next(std::deque<Error>& results) {
        if (results.empty()) return {};
        Error e = results.front();
        results.pop_front();
        return e;
    }
    std::filesystem::path exe_;
};

// A linear policy of a fixed delay.
inline json Fixed(int seconds) {
    const json zero = {{"count", 0}, {"units", "sec"}};
    const json base = {{"count", seconds}, {"units", "sec"}};
    const json jitter = {{"base_value", base}, {"interval", zero}, {"interval_type", "StartingWithBase"}};
    return {{"type", "Linear"}, {"end_type", "Infinite"}, {"initial_delay", jitter}, {"diff_or_base", jitter}};
}

class ConnectedTest : public zelko::testing::SystemRootTest {
  protected:
    // The delays of the test's retry configuration, in seconds.
    static constexpr int kIot = 7, kDiscovery = 11, kLocal = 13, kRefetch = 17, kFetch = 19, kAttest = 23,
                         kPerf = 29, kMonth = 31, kRequired = 37;

    void SetUp() override {
        SystemRootTest::SetUp();
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        const auto config_folder = scratch() / kConfigFolderName;
        std::filesystem::create_directories(config_folder);
        const json retries = {
            {"states",
             {{"GettingIotCreds", "iot"},
              {"ConnectingToIot", "iot_conn"},
              {"Discovery", "discovery"},
              {"RequiredOnStarting", "enroll"},
              {"tavragent-config_fetch", "refetch"},
              {"tavragent-config_sub", "fetch"},
              {"job-corvane-grants_fetch", "fetch"},
              {"job-corvane-grants_sub", "fetch"},
              {"job-corvane-policies_fetch", "fetch"},
              {"job-corvane-policies_sub", "fetch"},
              {"CollectPerformance", "perf"},
              {"PerformanceMeasure", "month"}}},
            {"policies",
             {{"iot", Fixed(kIot)},
              {"iot_conn", Fixed(3)},
              {"discovery", Fixed(kDiscovery)},
              {"local_delay", Fixed(kLocal)},
              {"refetch", Fixed(kRefetch)},
              {"fetch", Fixed(kFetch)},
              {"attest", Fixed(kAttest)},
              {"perf", Fixed(kPerf)},
              {"month", Fixed(kMonth)},
              {"enroll", Fixed(kRequired)}}}};
        Utils::SaveJsonFile(config_folder / kRetriesConfigFileName, retries);
        WriteMainConfig(json::object());
        MakeService();
    }
    void TearDown() override {
        service.reset();
        platform::SetSimulatedNetworkConnectivity(std::nullopt);
        RemoveStateFiles();
    }
    static void RemoveStateFiles() {
        for (const char* name : {"tavragent-config", "job-corvane-grants", "job-corvane-policies", "other-config",
                                 "plain", "a", "b", "with-topic", "without-topic"}) {
            std::error_code ignored;
            std::filesystem::remove(Utils::GetExecutableDirectory() / (std::string(name) + "-state.json"), ignored);
        }
    }

    void WriteMainConfig(const json& config) {
        Utils::SaveJsonFile(scratch() / kConfigFolderName / kAgentConfigFileName, config);
    }

    // A service as after a restart: what the remote configurations and the policies kept is
    // gone, the service's own state file stays.
    void MakeService() {
        service.reset();
        connectivity = std::make_shared<zelko::testing::FakeConnectivity>();
        RemoveStateFiles();
        std::filesystem::remove_all(scratch() / "RemoteConfigs");
        for (const auto& entry : std::filesystem::directory_iterator(scratch())) {
            if (entry.path().filename().string().starts_with("zelko-plenar-service-state-")) {
                std::filesystem::remove(entry.path());
            }
        }
        service = std::make_unique<ConnectedService>(scratch() / "zelko-plenar-agent-service");
        ASSERT_TRUE(service->InitConfig(kConfigFolderName, kAgentConfigFileName, scratch().string()));
        service->InitBaseStates();
        // The enrollment road's states are only targets here: entering them does no work.
        for (ServiceState* state : {&service->Initializing, &service->FailureState, &service->Onboarding,
                                    &service->Attestating, &service->AttestatingPoP, &service->Discovery,
                                    &service->PreEnrollZelko, &service->EnrollZelko,
                                    &service->PollEnrollZelkoStatus}) {
            state->OnEnter = [] {};
        }
        service->InitializePolicies();
        service->_local_delay_policy =
            CreateRateLimiterPolicy(service->_retry_config["policies"]["local_delay"], "", "");
        service->LoadPersistedSate();
        service->_modules.conn_module = connectivity;
        service->_device_info = device;
        service->_modules.config_service = std::make_shared<config::ConfigService>();
        service->_svc_stop_event_handle = platform::Event::Create(true, false);
        service->_modules.tavragent_config = config::RemoteConfig::Create(
            "tavragent-config", "tavragent-config", connectivity, "", false, nullptr,
            nlohmann::ordered_json::parse(
                R"({"version": 1, "data": {"config": {"conn": "mq", "rjs": [{"name": "job-1e-install"}]}}})"),
            scratch(), "RemoteConfigs");
        service->_modules.config_service->RegisterConfig("tavragent-config", service->_modules.tavragent_config);
    }

    // Runs everything due now, and what that posts at once, on the worker.
    void Settle() {
        for (int pass = 0; pass < 8; ++pass) {
            std::promise<void> done;
            auto ready = done.get_future();
            service->_scheduler.timedScheduler->run_after(Duration(0), [&done] { done.set_value(); });
            ASSERT_EQ(ready.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        }
    }
    void Advance(int64_t ticks) {
        clock.Advance(ticks);
        Settle();
    }
    // Runs the callable on the worker, as the states run.
    template <typename F>
    void OnWorker(F&& f) {
        service->_scheduler.In(Duration::zero(), std::forward<F>(f));
        Settle();
    }
    void Enter(ServiceState& state) {
        OnWorker([this, &state] { service->SetState(state); });
    }
    // Makes a state current without its entry work.
    void Place(const char* name) {
        OnWorker([this, name] {
            ServiceState quiet;
            quiet.name = name;
            service->SetState(quiet);
        });
    }
    std::string State() { return service->CurrentStateName(); }

    platform::ScopedFakeClock clock{1'709'640'000LL * platform::kTicksPerSecond};
    zelko::testing::LogCapture log;
    std::shared_ptr<zelko::testing::FakeConnectivity> connectivity =
        std::make_shared<zelko::testing::FakeConnectivity>();
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::unique_ptr<ConnectedService> service;

  private:
};

}  // namespace zelko::plenar::agent::connected_test
