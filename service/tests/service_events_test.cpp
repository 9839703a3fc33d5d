// The control path and the module event bus of a Service, the power reaction wired into it and the
// IoT connection notices, with modules that record what they receive.

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <latch>
#include <mutex>
#include <thread>

#include "jobs/acm_module.h"
#include "jobs/corvane_enrollment.h"
#include "jobs/vev_e_module.h"
#include "platform/clock.h"
#include "platform/notifications.h"
#include "platform/paths.h"
#include "platform/steady_clock.h"
#include "service/control_dispatch.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/telemetry_module.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using logging::debug;
using logging::error;
using logging::info;

struct Received {
    std::string module;
    uint32_t control;
    uint32_t event_type;
    std::vector<uint8_t> data;
};

// What every module received, in the order of delivery.
class Deliveries {
  public:
    void Add(const std::string& module, const Event& event) {
        {
            std::lock_guard lock(mutex_);
            received_.push_back(
                {module, event.dwControl, event.dwEventType,
                 std::vector<uint8_t>(event.lpEventData, event.lpEventData + event.dataSize)});
        }
        cv_.notify_all();
    }
    // Waits until the module has received an event with that control.
    bool WaitFor(const std::string& module, uint32_t control, size_t count = 1) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 5s, [&] { return CountLocked(module, control) >= count; });
    }
    std::vector<Received> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(received_, {});
    }

  private:
    size_t CountLocked(const std::string& module, uint32_t control) const {
        size_t n = 0;
        for (const auto& r : received_) n += (r.module == module && r.control == control);
        return n;
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Received> received_;
};

struct RecordingTelemetry : TelemetryModule {
    explicit RecordingTelemetry(Deliveries& d) : deliveries(d) {}
    void Process(const Event& event) override { deliveries.Add("telemetry", event); }
    Deliveries& deliveries;
};
struct RecordingAcm : AcmModule {
    explicit RecordingAcm(Deliveries& d) : deliveries(d) {}
    void Process(Event& event) override { deliveries.Add("compliance", event); }
    Deliveries& deliveries;
};
struct RecordingVevE : VevEModule {
    explicit RecordingVevE(Deliveries& d) : deliveries(d) {}
    void Process(Event& event) override { deliveries.Add("1E", event); }
    Deliveries& deliveries;
};
struct FakeCorvane : corvane::Enrollment {
    explicit FakeCorvane(bool ss_or_te) : ss_or_te(ss_or_te) {}
    bool HasFeatureByte() override { return ss_or_te; }
    bool ss_or_te;
};

class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }
    using Service::PostEventToModules;

  private:
    std::filesystem::path exe_;
};

// Put straight on the bus after what a test sent: once it arrives, everything before it has.
constexpr uint32_t kMarker = 9999;

// The state with its control handler but without its entry work: these tests look at how controls
// are routed, not at what the states do.
ServiceState Quiet(const ServiceState& state) {
    ServiceState quiet = state;
    quiet.OnEnter = [] {};
    return quiet;
}

class ServiceEventsTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        service = std::make_unique<TestService>(scratch() / "zelko-plenar-agent-service");
        service->InitBaseStates();
        service->InitializePolicies();  // names every state
        service->_modules.telemetry_module = std::make_shared<RecordingTelemetry>(deliveries);
        service->_modules.acm_module = std::make_shared<RecordingAcm>(deliveries);
        service->_modules.onee_module = std::make_shared<RecordingVevE>(deliveries);
        service->_required_on_start_done = true;
        service->SetState(Quiet(service->Processing));
    }
    void TearDown() override {
        // As the stop does: grace tasks call the service's virtual operations, so they end before
        // its destruction begins.
        service->_power_events.Stop();
        service.reset();
    }

    // Sends the marker and returns everything delivered up to and including it.
    std::vector<Received> Settle() {
        service->PostEventToModules(Event(kMarker, 0), false);
        EXPECT_TRUE(deliveries.WaitFor("1E", kMarker));
        auto all = deliveries.Take();
        EXPECT_EQ(all.size() >= 3 ? all[all.size() - 3].control : 0u, kMarker);
        all.resize(all.size() >= 3 ? all.size() - 3 : 0);
        return all;
    }
    // (control, type) of what the telemetry module received.
    static std::vector<std::pair<uint32_t, uint32_t>> Telemetry(const std::vector<Received>& all) {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const auto& r : all) {
            if (r.module == "telemetry") out.emplace_back(r.control, r.event_type);
        }
        return out;
    }

    zelko::testing::LogCapture log;
    Deliveries deliveries;
    std::unique_ptr<TestService> service;
};

TEST_F(ServiceEventsTest, TestAllCollectorsFansOutToEveryModuleInOrder) {
    service->SvcCtrlHandlerImpl(211, 0, nullptr);
    const auto all = Settle();
    std::vector<std::string> seen;
    for (const auto& r : all) {
        seen.push_back(r.module + " " + std::to_string(r.control) + " " + std::to_string(r.event_type));
        EXPECT_TRUE(r.data.empty());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"telemetry 13 18", "compliance 13 18", "1E 13 18",
                                              "telemetry 11 32768", "compliance 11 32768", "1E 11 32768",
                                              "telemetry 11 32772", "compliance 11 32772", "1E 11 32772"}));
    EXPECT_TRUE(log.Contains(info, "Custom event for 211. Test all collectors"));
}

TEST_F(ServiceEventsTest, CustomControlsPassThroughAndControl150IsDropped) {
    for (uint32_t control : {150u, 250u, 251u, 252u, 999u}) service->SvcCtrlHandlerImpl(control, 0, nullptr);
    EXPECT_EQ(Telemetry(Settle()),
              (std::vector<std::pair<uint32_t, uint32_t>>{{250, 0}, {251, 0}, {252, 0}}));
    EXPECT_TRUE(log.Contains(debug, "Service handling control 150 with event type 0 time "));
}

TEST_F(ServiceEventsTest, DeviceEventsOfAllowedClassesCarryTheirWholeRecord) {
    const auto usb = *platform::ParseGuid("{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    const auto unlisted = *platform::ParseGuid("{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}");
    auto record = platform::MakeDeviceInterfaceBroadcast(usb, u"\\\\?\\USB#VID_0781&PID_5581");
    auto other = platform::MakeDeviceInterfaceBroadcast(unlisted, u"\\\\?\\STORAGE#Volume");

    service->SvcCtrlHandlerImpl(11, platform::kDbtDeviceArrival, record.data());
    service->SvcCtrlHandlerImpl(11, platform::kDbtDeviceArrival, other.data());
    service->SvcCtrlHandlerImpl(11, platform::kDbtDeviceQueryRemove, record.data());
    service->SvcCtrlHandlerImpl(11, platform::kDbtDeviceArrival, nullptr);
    record[40] ^= 0xFF;  // the bus holds its own copy already
    auto all = Settle();
    ASSERT_EQ(all.size(), 3u);
    record[40] ^= 0xFF;
    for (const auto& r : all) {
        EXPECT_EQ(r.control, 11u);
        EXPECT_EQ(r.event_type, platform::kDbtDeviceArrival);
        EXPECT_EQ(r.data, record) << r.module;
    }

    // A state without the processing step, or a device whose required collectors never ran.
    for (ServiceState* state : {&service->RequiredOnStarting, &service->FailureState}) {
        service->SetState(Quiet(*state));
        service->SvcCtrlHandlerImpl(11, platform::kDbtDeviceArrival, record.data());
        service->SvcCtrlHandlerImpl(13, platform::kPbtApmSuspend, nullptr);
        EXPECT_TRUE(Settle().empty()) << state->name;
    }
    service->SetState(Quiet(service->Processing));
    service->_required_on_start_done = false;
    service->SvcCtrlHandlerImpl(11, platform::kDbtDeviceArrival, record.data());
    service->SvcCtrlHandlerImpl(211, 0, nullptr);  // custom controls still work
    EXPECT_EQ(Telemetry(Settle()).size(), 3u);
}

TEST_F(ServiceEventsTest, PluginRunRequestSendsTheNamedPluginWithItsExpandedPayload) {
    AddPluginRunOptions(service->_app, service->_plugin_name, service->_plugin_payload_path);
    service->_cli_params_path = (scratch() / "zelko_plenar_cli.txt").string();
    std::ofstream(service->_cli_params_path) << "-p my_plugin_ver_1.2.0 -l %programdata%/x.json\n";

    service->SvcCtrlHandlerImpl(205, 0, nullptr);
    auto telemetry = Settle();
    ASSERT_EQ(telemetry.size(), 3u);
    const std::string text = "my_plugin_ver_1.2.0, " + platform::ProgramDataFolder().string() + "/x.json";
    std::vector<uint8_t> expected(text.begin(), text.end());
    expected.push_back(0);
    EXPECT_EQ(telemetry[0].control, 205u);
    EXPECT_EQ(telemetry[0].data, expected);

    // An option the parser does not know: nothing is sent.
    std::ofstream(service->_cli_params_path) << "-p my_plugin -x 1\n";
    service->SvcCtrlHandlerImpl(205, 0, nullptr);
    EXPECT_TRUE(Settle().empty());
    EXPECT_TRUE(log.Contains(error, "Exception CLI::"));

    // Refused while the device sleeps, carried out afterwards.
    std::ofstream(service->_cli_params_path) << "-p my_plugin_ver_1.2.0\n";
    service->_is_sleeping = true;
    service->SvcCtrlHandlerImpl(205, 0, nullptr);
    EXPECT_TRUE(Settle().empty());
    EXPECT_TRUE(log.Contains(info, "Service waiting for 60 sec after wake up"));
    service->_is_sleeping = false;
    service->SvcCtrlHandlerImpl(205, 0, nullptr);
    EXPECT_EQ(Telemetry(Settle()).size(), 1u);
}

TEST_F(ServiceEventsTest, WindowsEventLogEventsReachTelemetryAlone) {
    const std::u16string xml = u"<Event/>";
    service->CurrentState()->OnProcess(240, 4624, 2, 4, const_cast<char16_t*>(xml.data()), xml.size() * 2);
    service->CurrentState()->OnProcess(245, 7, 0, 0, const_cast<char16_t*>(xml.data()), xml.size() * 2);
    const auto all = Settle();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].module, "telemetry");
    EXPECT_EQ(all[0].control, 240u);
    EXPECT_EQ(all[0].data.size(), 16u);
    EXPECT_EQ(all[1].control, 245u);
    EXPECT_TRUE(log.Contains(info, "WindowsEvent: dwChannel Security dwEventType 4624 dwLevel 4"));

    // Without a telemetry module they reach nobody; the others still get the rest.
    service->_modules.telemetry_module.reset();
    service->CurrentState()->OnProcess(240, 4624, 2, 4, nullptr, 0);
    service->PostEventToModules(Event(kMarker, 0), false);
    ASSERT_TRUE(deliveries.WaitFor("1E", kMarker));
    EXPECT_EQ(deliveries.Take().size(), 2u);
}

TEST_F(ServiceEventsTest, EventsOfAStoppingServiceAreDroppedNeverDeliveredLate) {
    // One event waits behind a busy worker while the stop begins; one is posted after it began.
    std::latch release(1);
    service->_scheduler.In(Duration::zero(), [&] { release.wait(); });
    service->SvcCtrlHandlerImpl(211, 0, nullptr);
    service->_stopping = true;
    service->SvcCtrlHandlerImpl(252, 0, nullptr);
    std::promise<void> idle;
    service->_scheduler.timedScheduler->run_at(WallClock::now(), [&] { idle.set_value(); });
    release.count_down();
    idle.get_future().wait();
    EXPECT_TRUE(deliveries.Take().empty());

    service->_scheduler.Destroy();
    service->SvcCtrlHandlerImpl(252, 0, nullptr);  // nothing to post to any more
    EXPECT_TRUE(deliveries.Take().empty());
}

TEST_F(ServiceEventsTest, SuspendStopsCollectorsFirstAndResumeLetsThemRunAfterTheGrace) {
    platform::ScopedFakeSteadyClock steady(0);
    service->SuspendResumeCallback(platform::kPbtApmSuspend, nullptr);
    EXPECT_EQ(Telemetry(Settle()), (std::vector<std::pair<uint32_t, uint32_t>>{{251, 0}, {13, 4}}));

    service->SuspendResumeCallback(platform::kPbtApmResumeAutomatic, nullptr);
    EXPECT_EQ(Telemetry(Settle()), (std::vector<std::pair<uint32_t, uint32_t>>{{13, 18}}));
    ASSERT_TRUE(steady.WaitForSleepers(1));
    steady.Advance(60s);
    ASSERT_TRUE(deliveries.WaitFor("telemetry", 252));
    EXPECT_TRUE(log.WaitFor(info, "Awake from sleep, refetch called for all the remote configs"));
}

TEST_F(ServiceEventsTest, GraceInProcessingFetchesEveryRemoteConfigurationAgainInNameOrder) {
    std::vector<std::string> fetched;
    std::mutex mutex;
    std::condition_variable fetched_cv;
    for (const char* name : {"corvane-policies", "corvane-grants"}) {
        auto states = std::make_shared<RemoteConfigStates>();
        states->fetch_task.Perform = [&, name = std::string(name)] {
            {
                std::lock_guard lock(mutex);
                fetched.push_back(name);
            }
            fetched_cv.notify_all();
        };
        service->RemoteConfigurations().Follow(name, states);
    }
    platform::ScopedFakeSteadyClock steady(0);
    service->SuspendResumeCallback(platform::kPbtApmResumeAutomatic, nullptr);
    ASSERT_TRUE(steady.WaitForSleepers(1));
    steady.Advance(60s);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(fetched_cv.wait_for(lock, 5s, [&] { return fetched.size() == 2; }));
        EXPECT_EQ(fetched, (std::vector<std::string>{"corvane-grants", "corvane-policies"}));
    }

    // Outside Processing nothing is fetched.
    service->SetState(Quiet(service->GettingIotCreds));
    service->SuspendResumeCallback(platform::kPbtApmResumeAutomatic, nullptr);
    ASSERT_TRUE(steady.WaitForSleepers(1));
    steady.Advance(60s);
    ASSERT_TRUE(
        log.WaitFor(info, "Awake from sleep, but not in processing state, so not refetching remote configs"));
    Settle();
    std::lock_guard lock(mutex);
    EXPECT_EQ(fetched.size(), 2u);
}

TEST_F(ServiceEventsTest, StopEndsTheGraceWithinASecond) {
    platform::ScopedFakeSteadyClock steady(0);
    service->SuspendResumeCallback(platform::kPbtApmResumeAutomatic, nullptr);
    ASSERT_TRUE(steady.WaitForSleepers(1));
    const auto started = std::chrono::steady_clock::now();
    service->StopService();  // no virtual time passes
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_TRUE(log.Contains(info, "Service has stopped."));
    EXPECT_EQ(platform::SteadySleepers(), 0u);
}

TEST_F(ServiceEventsTest, ModernStandbySetsAndResetsTheSharedSleepEvent) {
    auto shared = platform::NamedEvent::Create("Global\\SystemSleepEvent", false);
    ASSERT_TRUE(shared);
    service->_startup_grace_done = true;
    auto enter = platform::MakePowerBroadcastSetting(platform::kModernStandbySetting, {1});
    auto leave = platform::MakePowerBroadcastSetting(platform::kModernStandbySetting, {0});
    platform::ScopedFakeSteadyClock steady(0);
    service->ModernSuspendResumeCallbackImpl(
        platform::kPbtPowerSettingChange,
        reinterpret_cast<const platform::PowerBroadcastSetting*>(enter.data()));
    EXPECT_TRUE(shared->IsSet());
    service->ModernSuspendResumeCallbackImpl(
        platform::kPbtPowerSettingChange,
        reinterpret_cast<const platform::PowerBroadcastSetting*>(leave.data()));
    EXPECT_FALSE(shared->IsSet());
    EXPECT_EQ(Telemetry(Settle()),
              (std::vector<std::pair<uint32_t, uint32_t>>{{13, 0x8013}, {251, 0}, {13, 0x8013}}));
}

TEST_F(ServiceEventsTest, NotificationsInjectedFromOutsideReachTheService) {
    // The registrations the service main makes, fed by the platform's injection.
    auto handle = platform::RegisterSuspendResumeNotification(
        [&](uint32_t type, const void* setting) { return service->SuspendResumeCallback(type, setting); });
    auto device = platform::RegisterDeviceInterfaceNotification([&](uint32_t c, uint32_t t, const void* d) {
        ServiceControlHandler(c, t, const_cast<void*>(d), service.get());
    });
    ASSERT_TRUE(platform::InjectNotificationCommand("power suspend"));
    ASSERT_TRUE(
        platform::InjectNotificationCommand("device arrival {378DE44C-56EF-11D1-BC8C-00A0C91405DD} mouse"));
    platform::FlushNotifications();
    platform::UnregisterNotification(handle);
    platform::UnregisterNotification(device);
    EXPECT_EQ(Telemetry(Settle()),
              (std::vector<std::pair<uint32_t, uint32_t>>{{251, 0}, {13, 4}, {11, 0x8000}}));
}

TEST_F(ServiceEventsTest, PersistedStateRestrictionAndCallHomeThroughTheService) {
    std::ofstream(scratch() / "zelko-plenar-agent-state.json")
        << R"({"required_on_start_done": true, "prev_grant": true})";
    service->_required_on_start_done = false;
    service->LoadPersistedSate();
    EXPECT_TRUE(service->_required_on_start_done.load());
    EXPECT_TRUE(service->RemoteConfigurations().PrevGrant());
    EXPECT_FALSE(service->RemoteConfigurations().GrantEventRequested());
    EXPECT_EQ(service->_state_file_path, scratch() / "zelko-plenar-agent-state.json");

    service->_persisted_state["req_grant_event"] = true;
    service->SavePersistedSate();
    service->RemoteConfigurations().SetGrantFlags(service->RemoteConfigurations().PrevGrant(), false);
    service->LoadPersistedSate();
    EXPECT_TRUE(service->RemoteConfigurations().GrantEventRequested());

    // No feature finder yet, so no "ss" or "te": the purge waits for a later start.
    std::ofstream(scratch() / "zelko-plenar-service-state-Discovery.json") << "{}";
    service->ResetState();
    EXPECT_TRUE(std::filesystem::exists(scratch() / "zelko-plenar-service-state-Discovery.json"));
    EXPECT_TRUE(log.Contains(info, "No state reset needed. No ss or te feature found."));

    service->_stack = "dev";
    EXPECT_FALSE(service->DoNotCallHome());
    service->_stack = "prod";  // without device information the device must not call home
    EXPECT_TRUE(service->DoNotCallHome());
}

class IotNoticesTest : public ServiceEventsTest {
  protected:
    // Lets the scheduler run what is due up to now, in order.
    void RunDue() { Settle(); }
};

TEST_F(IotNoticesTest, InterruptionWithoutReconnectSendsProcessingBackForCredentials) {
    platform::ScopedFakeClock wall(platform::NowTicks());
    Service::NotifyAgentOnConnectionInterruptCallback(service.get());
    wall.Advance(5 * 60 * platform::kTicksPerSecond - 1);
    RunDue();
    EXPECT_EQ(service->CurrentStateName(), "Processing");
    wall.Advance(1);
    RunDue();
    EXPECT_EQ(service->CurrentStateName(), "GettingIotCreds");
    EXPECT_TRUE(log.Contains(info, "Resubscribing to Iot on connection interruption"));
}

TEST_F(IotNoticesTest, InterruptionFollowedByAResumeChangesNothing) {
    platform::ScopedFakeClock wall(platform::NowTicks());
    Service::NotifyAgentOnConnectionInterruptCallback(service.get());
    Service::NotifyAgentOnResumeCallback(true, service.get());
    wall.Advance(5 * 60 * platform::kTicksPerSecond);
    RunDue();
    EXPECT_EQ(service->CurrentStateName(), "Processing");
    EXPECT_FALSE(log.Contains(info, "Resubscribing to Iot on connection interruption"));
    EXPECT_TRUE(log.Contains(info, "Iot connection Resume. Session present: 1"));
}

TEST_F(IotNoticesTest, DisconnectAsksForCredentialsOnlyOnSubscriptionDevices) {
    Service::NotifyAgentOnDisconnectCallback(nullptr);  // no context: nothing
    service->_modules.corvane_enrollment = std::make_shared<FakeCorvane>(false);
    Service::NotifyAgentOnDisconnectCallback(service.get());
    RunDue();
    EXPECT_EQ(service->CurrentStateName(), "Processing");
    EXPECT_EQ(log.Count(info, "Iot connection Disconnect."), 1);

    service->_modules.corvane_enrollment = std::make_shared<FakeCorvane>(true);
    Service::NotifyAgentOnDisconnectCallback(service.get());
    RunDue();
    EXPECT_EQ(service->CurrentStateName(), "GettingIotCreds");
}

// The IoT client's threads deliver notices while the worker builds and releases the modules: the
// notices leave the enrollment module to the worker (the thread sanitizer checks).
TEST_F(IotNoticesTest, NoticesFromTheClientsThreadLeaveTheModulesToTheWorker) {
    std::thread client([this] {
        for (int i = 0; i < 500; ++i) {
            Service::NotifyAgentOnDisconnectCallback(service.get());
            Service::NotifyAgentOnResumeCallback(false, service.get());
        }
    });
    for (int i = 0; i < 500; ++i) {
        service->_scheduler.In(Duration::zero(), [this, i] {
            if (i % 2 == 0) service->_modules.corvane_enrollment = std::make_shared<FakeCorvane>(false);
            else service->_modules.corvane_enrollment.reset();
        });
    }
    client.join();
    RunDue();
    EXPECT_EQ(service->CurrentStateName(), "Processing");
    EXPECT_EQ(log.Count(info, "Iot connection Disconnect."), 500);
}

}  // namespace
}  // namespace zelko::plenar::agent
