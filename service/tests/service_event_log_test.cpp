// The service's event-log subscriptions over the simulated event log (entries become module events
// 240 and 245 for the telemetry module), their close in Stopping, the control channel's "eventlog"
// request, and the performance-collector step with its executor monitor.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <tuple>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "platform/event_log.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/performance.h"
#include "telemetry/telemetry_module.h"
#include "telemetry/windows_event_subscription.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using logging::debug;
using logging::info;
using logging::warning;

struct Delivered {
    uint32_t control, type, channel, level;
    std::u16string xml;
};

struct RecordingTelemetry : TelemetryModule {
    void Process(const Event& event) override {
        std::lock_guard lock(mutex);
        std::u16string xml(event.dataSize / 2, u'\0');
        if (event.dataSize) std::memcpy(xml.data(), event.lpEventData, xml.size() * 2);
        events.push_back({event.dwControl, event.dwEventType, event.dwChannel, event.dwLevel, xml});
        cv.notify_all();
    }
    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return events.size() >= count; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Delivered> events;
};

class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }

  private:
    std::filesystem::path exe_;
};

class ServiceEventLogTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        service = std::make_unique<TestService>(scratch() / "zelko-plenar-agent-service");
        service->InitBaseStates();
        service->InitializePolicies();
        service->_modules.telemetry_module = telemetry;
        service->_required_on_start_done = true;
        ServiceState processing = service->Processing;  // its control handler, not its entry work
        processing.OnEnter = [] {};
        service->SetState(processing);
    }
    void TearDown() override { service.reset(); }

    zelko::testing::LogCapture log;
    std::shared_ptr<RecordingTelemetry> telemetry = std::make_shared<RecordingTelemetry>();
    std::unique_ptr<TestService> service;
};

// One test writes the query configuration beside the test program, so no other test process races it.
TEST_F(ServiceEventLogTest, EntriesBecomeModuleEventsUntilStoppingClosesTheSubscriptions) {
    const auto folder = Utils::GetExecutableDirectory() / "Configuration Files";
    const auto file = folder / "win-events-config.ejson";
    std::filesystem::create_directories(folder);
    const crypto::Cryptography builtin("Tq7vR2mXc9LpW4sJd0HbN6yKf3GzA8eUo1iVw5QnZtE=");

    // A missing or damaged query configuration leaves that id without a subscription, logged with
    // the file's name; the rest is made.
    const auto encrypted = [&](const nlohmann::json& document) {
        Utils::SaveEncryptedJsonFile(file, document, builtin);
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const std::string good = encrypted({{"queries_by_evnet_id", {{{"on_event", "*"}}}}});
    const std::pair<const char*, std::optional<std::string>> damaged[] = {
        {"missing", std::nullopt},
        {"empty", ""},
        {"cut", good.substr(0, good.size() - 7)},
        {"not encrypted", R"({"queries_by_evnet_id": []})"},
        {"no array", encrypted({{"queries_by_evnet_id", {{"0", 1}}}})},
        {"element of another type", encrypted({{"queries_by_evnet_id", {"text"}}})},
        {"huge", std::string(3 << 20, 'z')},
    };
    for (const auto& [what, content] : damaged) {
        std::filesystem::remove(file);
        if (content) std::ofstream(file, std::ios::binary) << *content;
        zelko::testing::LogCapture lines;
        service->EventLog().Create({{1, 134, 0}}, {0});
        EXPECT_TRUE(service->EventLog().extended().empty()) << what;
        EXPECT_TRUE(
            lines.Contains(warning, "No event-log subscription for query id 0 from " + file.string() + ": "))
            << what;
    }
    ASSERT_EQ(service->EventLog().plain().size(), std::size(damaged));
    service->EventLog().plain().clear();

    const nlohmann::json config = {
        {"queries_by_evnet_id",
         {{{"on_event",
            "<QueryList><Query Id=\"0\" Path=\"Application\"><Select Path=\"Application\">"
            "*[System[(EventID=1000)]]</Select></Query></QueryList>"}},
          {{"on_summary", "no event query"}}}}};
    Utils::SaveEncryptedJsonFile(file, config, builtin);
    service->EventLog().Create({{0, 506, 4}, {5, 3052, 2}}, {0, 1});
    std::filesystem::remove(file);
    EXPECT_TRUE(log.Contains(debug, "Subscription WindowsEventExt ID 1"));

    service->EventLog().Open();
    service->EventLog().Open();  // open ones stay as they are
    EXPECT_EQ(platform::OpenEventLogSubscriptions(), 3u);
    // Id 1 has no event query: the event log refuses it and it stays closed.
    EXPECT_EQ(log.Count(warning, "Failed to subscribe to event id 1 channel:  - GetLastError: 15001"), 2);

    ASSERT_TRUE(platform::WriteEventLogEntry(u"System", 506, 2));
    ASSERT_TRUE(telemetry->WaitFor(1));
    ASSERT_TRUE(
        platform::WriteEventLogEntry(u"Microsoft-Windows-PushNotification-Platform/Operational", 3052));
    ASSERT_TRUE(telemetry->WaitFor(2));
    ASSERT_TRUE(platform::WriteEventLogEntry(u"Application", 1000));
    ASSERT_TRUE(telemetry->WaitFor(3));
    {
        std::lock_guard lock(telemetry->mutex);
        const auto& e = telemetry->events;
        EXPECT_EQ(std::tie(e[0].control, e[0].type, e[0].channel, e[0].level),
                  std::tuple(240u, 506u, 0u, 0u));
        EXPECT_NE(e[0].xml.find(u"<EventID>506</EventID>"), std::u16string::npos);
        EXPECT_EQ(e[0].xml.back(), u'>');  // the XML's characters, without the NUL
        EXPECT_EQ(std::tie(e[1].control, e[1].type, e[1].channel), std::tuple(240u, 3052u, 5u));
        EXPECT_EQ(std::tie(e[2].control, e[2].type, e[2].channel, e[2].level),
                  std::tuple(245u, 1000u, 0u, 0u));
        EXPECT_NE(e[2].xml.find(u"<Channel>Application</Channel>"), std::u16string::npos);
    }
    EXPECT_TRUE(log.Contains(info, "WindowsEvent: dwChannel System dwEventType 506 dwLevel 0"));
    EXPECT_TRUE(log.Contains(info, "WindowsEventExt: EventType  dwEventType 1000"));

    service->SetState(service->Stopping);
    EXPECT_EQ(platform::OpenEventLogSubscriptions(), 0u);
    for (const auto& subscription : service->EventLog().plain()) {
        EXPECT_EQ(subscription->pimpl().handle, nullptr);
    }
    // Once stopping, none is opened again.
    service->EventLog().Open();
    EXPECT_EQ(platform::OpenEventLogSubscriptions(), 0u);
}

TEST_F(ServiceEventLogTest, ASubscriptionThatCannotBeOpenedIsTriedAgainLater) {
    service->EventLog().SetRetryDelay(20ms);
    // A file where the Setup channel's folder should be.
    const auto blocked = root() / "EventLog" / "Setup";
    std::filesystem::create_directories(blocked.parent_path());
    std::ofstream(blocked) << "in the way";
    service->EventLog().Create({{3, 1001, 0}}, {});
    service->EventLog().Open();
    EXPECT_EQ(platform::OpenEventLogSubscriptions(), 0u);
    EXPECT_TRUE(log.Contains(warning, "Failed to subscribe to event id 1001 channel: Setup - GetLastError: "));
    EXPECT_TRUE(log.Contains(warning, blocked.string()));
    EXPECT_TRUE(log.Contains(warning, "tried again later"));

    std::filesystem::remove(blocked);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (platform::OpenEventLogSubscriptions() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(platform::OpenEventLogSubscriptions(), 1u);
    ASSERT_TRUE(platform::WriteEventLogEntry(u"Setup", 1001));
    ASSERT_TRUE(telemetry->WaitFor(1));
    service->EventLog().Close();
    EXPECT_EQ(platform::OpenEventLogSubscriptions(), 0u);
}

TEST_F(ServiceEventLogTest, ControlChannelRaisesAnEntry) {
    const std::string answer = HandleEventLogRequest({"raise", "System", "506"});
    ASSERT_EQ(answer.rfind("ok ", 0), 0u) << answer;
    const std::filesystem::path file = answer.substr(3);
    EXPECT_EQ(file.parent_path(), root() / "EventLog" / "System");
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_TRUE(log.Contains(info, "Event log entry raised through the control channel: " + file.string()));
    EXPECT_EQ(HandleEventLogRequest({"raise", "System"}).rfind("error usage: raise <channel> <event id>", 0),
              0u);
    EXPECT_EQ(HandleEventLogRequest({"raise", "System", "x"}).rfind("error event id is not a number", 0), 0u);
}

TEST_F(ServiceEventLogTest, PerformanceCollectorStepAndTheExecutorMonitor) {
    service->_modules.conn_module = std::make_shared<zelko::testing::FakeConnectivity>();
    // Off by default, also for a value of another type: no collector, the callables do nothing.
    for (const nlohmann::json& config : {nlohmann::json::object(), nlohmann::json{{"collect_perf", "yes"}}}) {
        service->_agent_config = config;
        service->InitPerformanceCollector("$aws/rules/metrics/SNR");
        EXPECT_FALSE(service->_collect_perf);
        EXPECT_EQ(service->_modules.performance_collector, nullptr);
        service->StartExecutorMonitor();
        service->StopExecutorMonitor();
    }
    EXPECT_FALSE(log.Contains(info, "Loading performance collector..."));

    service->_agent_config = {{"collect_perf", true}};
    service->InitPerformanceCollector("$aws/rules/metrics/SNR");
    EXPECT_TRUE(log.Contains(info, "Loading performance collector..."));
    ASSERT_NE(service->_modules.performance_collector, nullptr);
    EXPECT_NE(service->_modules.performance_collector->GetPerformanceMonitor("zelko-plenar-agent-service"), nullptr);
    EXPECT_NE(service->_modules.performance_collector->GetPerformanceMonitor("zelko-plugin-executor"), nullptr);
    EXPECT_EQ(log.Count(debug, "ProcessPerformanceMonitor: Starting..."), 1);  // the service's own

    service->StartExecutorMonitor();
    EXPECT_EQ(log.Count(debug, "ProcessPerformanceMonitor: Starting..."), 2);
    service->StopExecutorMonitor();
    EXPECT_EQ(log.Count(debug, "ProcessPerformanceMonitor: Stop event signaled"), 1);

    // Released while a plug-in callable may run: it then finds no collector.
    std::thread plugin([&] {
        for (int i = 0; i < 20; ++i) {
            service->StartExecutorMonitor();
            service->StopExecutorMonitor();
        }
    });
    service->_modules.StorePerformanceCollector(nullptr);
    plugin.join();
}

}  // namespace
}  // namespace zelko::plenar::agent
