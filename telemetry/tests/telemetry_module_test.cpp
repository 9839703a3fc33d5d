// The telemetry module over fake collectors: registry, routing, spreading in virtual time, the
// gate, the low-end switch, 220 reporting and a failing item.

#include "telemetry/telemetry_module.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <stdexcept>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "telemetry/windows_event_subscription.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"
#include "testing/thread_count.h"
#include "telemetry/tests/telemetry_module_fixture.h"

namespace zelko::plenar::agent::test {
namespace {

using nlohmann::json;
using shared::error::Error;

TEST_F(TelemetryModuleTest, MergeConfigurationTable) {
    struct Case {
        json defaults, configuration, expected;
    } cases[] = {
        {{{"a", 1}, {"b", {{"x", 1}, {"y", 2}}}},
         {{"b", {{"y", 3}}}, {"c", {1}}},
         {{"a", 1}, {"b", {{"x", 1}, {"y", 3}}}, {"c", {1}}}},
        {json(), json(), json::object()},
        {{{"list", {1, 2}}}, {{"list", {3}}}, {{"list", {3}}}},
        {{{"a", 1}}, json(), {{"a", 1}}},
        {json::array(), {{"a", {{"b", 1}}}}, {{"a", {{"b", 1}}}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TelemetryModule::MergeConfiguration(c.defaults, c.configuration), c.expected)
            << c.configuration;
    }
}

TEST_F(TelemetryModuleTest, RegistryRoutesKeysAndScheduleTypes) {
    json config = {
        {"configuration_default", {{"d", 1}}},
        {"collectors",
         {Entry("daily", {{{"dwControl", 230}, {"dwEventType", 20}}}), Entry("power", {{{"dwControl", 13}}}),
          Entry("bad", {{{"dwControl", 240}, {"dwEventType", 1}}, {{"dwEventType", 2}}}),
          Entry("events", {{{"dwControl", 240}, {"dwEventType", 19}, {"dwChannel", 0}},
                           {{"dwControl", 245}, {"dwEventType", 3}}}),
          [] {
              json entry = Entry("featured", {{{"dwControl", 240}, {"dwEventType", 77}}});
              entry["requiredfeaturebytes"] = {"nope"};
              return entry;
          }()}}};
    auto module = Make(config);
    std::vector<std::string> names;
    for (const auto& c : module->Collectors()) names.push_back(c->name);
    EXPECT_EQ(names, (std::vector<std::string>{"daily", "power", "events"}));
    EXPECT_EQ(module->Collectors()[0]->configuration, json({{"d", 1}}));
    EXPECT_EQ(module->ScheduleTypes(), (std::set<uint32_t>{20}));
    EXPECT_EQ(module->CollectorsForKey({230, 20, 0, 0}).size(), 1u);
    EXPECT_EQ(module->CollectorsForCode(13).size(), 1u);
    EXPECT_TRUE(module->CollectorsForKey({240, 77, 0, 0}).empty());
    EXPECT_EQ(module->GetWindowsEventSubscriptions(), (EventKeySet{{240, 19, 0, 0}}));
    EXPECT_EQ(module->GetExtEventSubscriptions(), (EventKeySet{{245, 3, 0, 0}}));

    module->Process(Event(13, 4));  // any type of 13
    module->Process(Event(230, 20));
    module->Process(Event(230, 30));  // selects nothing, no callback
    Drain(*module);
    EXPECT_EQ(Runs(), (std::vector<std::string>{"power:13", "daily:230"}));
    EXPECT_EQ(Done().size(), 3u);
}

// Collectors that share an event-log key share its one subscription: an entry runs each of them once.
TEST_F(TelemetryModuleTest, ASubscriptionSharedByManyCollectorsRunsEachOnce) {
    json collectors = json::array();
    for (int i = 0; i < 40; ++i) {
        collectors.push_back(Entry("c" + std::to_string(i), {{{"dwControl", 240}, {"dwEventType", 506}, {"dwChannel", 0}}}));
    }
    auto module = Make({{"collectors", collectors}});
    ASSERT_EQ(module->GetWindowsEventSubscriptions(), (EventKeySet{{240, 506, 0, 0}}));

    WindowsEventSubscription subscription(u"System", 506, 0, module.get(), [](void* context, WindowsEvent event) {
        static_cast<TelemetryModule*>(context)->Process(Event(240, static_cast<uint32_t>(event.eventId())));
    });
    auto& p = subscription.pimpl();
    p.handle = platform::EvtSubscribe(nullptr, nullptr, p.channel.c_str(), p.query.c_str(), nullptr, &subscription,
                                      &Win32SubscriptionCallback, platform::kEvtSubscribeToFutureEvents);
    ASSERT_NE(p.handle, nullptr);
    ASSERT_TRUE(platform::WriteEventLogEntry(u"System", 506));
    ASSERT_TRUE(platform::WriteEventLogEntry(u"System", 506));
    ASSERT_TRUE(journal.WaitCallbacks(80));  // one per collector run
    platform::EvtClose(p.handle);
    p.handle = nullptr;

    Drain(*module);  // a third run would have come before this
    std::map<std::string, int> runs;
    for (const auto& run : Runs()) ++runs[run];
    ASSERT_EQ(runs.size(), 40u);
    for (const auto& [run, count] : runs) EXPECT_EQ(count, 2) << run;
}

TEST_F(TelemetryModuleTest, DefaultDocumentHas23CollectorsAndRestrictionKeepsTheFirstFour) {
    auto full = Make(json());
    EXPECT_EQ(full->Collectors().size(), 23u);
    EXPECT_EQ(full->ScheduleTypes(), (std::set<uint32_t>{1, 20, 30, 50}));
    EXPECT_EQ(full->GetWindowsEventSubscriptions().size(), 6u);
    full.reset();
    auto restricted = Make(json(), nullptr, true);
    std::vector<std::string> names;
    for (const auto& c : restricted->Collectors()) names.push_back(c->name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "zelko-telemetry-device-info-collector", "zelko-telemetry-hw-info-collector",
                         "zelko-telemetry-os-info-collector", "zelko-telemetry-fw-info-collector"}));
}

TEST_F(TelemetryModuleTest, SpreadingInVirtualTime) {
    platform::ScopedFakeClock clock(1'000'000 * platform::kTicksPerSecond);
    json three = {{{"dwControl", 230}, {"dwEventType", 20}}};
    auto module = Make(
        {{"spread_collectors", true},
         {"spread_collectors_interval_sec", 300},
         {"collectors",
          {Entry("a", three), Entry("b", three), Entry("c", three), Entry("idle", {{{"dwControl", 222}}})}}});
    module->Process(Event(230, 20));
    Drain(*module);
    EXPECT_EQ(Runs(), (std::vector<std::string>{"a:230"}));
    EXPECT_EQ(module->PostponedRuns(),
              (std::vector<std::pair<std::string, std::string>>{{"c", "time"}, {"b", "time"}}));

    // Two minutes later everything waits; a never-spread code still runs.
    clock.Advance(120 * platform::kTicksPerSecond);
    module->Process(Event(230, 20));
    module->Process(Event(222, 0));
    Drain(*module);
    EXPECT_EQ(module->PostponedRuns().size(), 5u);
    EXPECT_EQ(Runs(), (std::vector<std::string>{"a:230", "idle:222"}));

    // Under spreading each 216 replays one postponed run, oldest first.
    module->Process(Event(216, 0));
    Drain(*module);
    EXPECT_EQ(Runs(), (std::vector<std::string>{"a:230", "idle:222", "c:230"}));
    EXPECT_EQ(module->PostponedRuns().size(), 4u);
}

TEST_F(TelemetryModuleTest, RequiredCollectorsStopAtTheFirstCollectorError) {
    json start = {{{"dwControl", 220}}};
    auto module = Make({{"collectors", {Entry("r1", start), Entry("r2", start), Entry("r3", start)}}});
    journal.results["r2"] = MakeCollectorError(CollectorErrorEnum::PublishFailed, "no publish");
    module->Process(Event(220, 0));
    ASSERT_TRUE(journal.WaitCallbacks(1));
    EXPECT_EQ(Runs(), (std::vector<std::string>{"r1:220", "r2:220"}));
    EXPECT_EQ(Done(), (std::vector<std::pair<std::string, uint32_t>>{{"no publish", 220}}));

    // Errors of other kinds: all run, the last one's result is reported.
    journal.results["r2"] = Error(shared::error::ErrorCategory::EC_Network, 7, "net");
    journal.results["r3"] = Error(shared::error::ErrorCategory::EC_Network, 8, "last");
    module->Process(Event(220, 0));
    ASSERT_TRUE(journal.WaitCallbacks(2));
    EXPECT_EQ(Runs().size(), 5u);
    EXPECT_EQ(Done().back().first, "last");
}

TEST_F(TelemetryModuleTest, GatePostponesForGameAndCpuUnlessSkipped) {
    std::ofstream(scratch() / kSystemStatusConfigFileName) << "{}";
    auto checker = std::make_shared<BusyChecker>(scratch() / kSystemStatusConfigFileName);
    checker->game = true;
    json daily = {{{"dwControl", 230}, {"dwEventType", 20}}};
    auto module =
        Make({{"collectors", {Entry("a", daily), Entry("b", daily), Entry("r", {{{"dwControl", 220}}})}}},
             checker);
    module->Process(Event(230, 20));
    ASSERT_TRUE(journal.WaitCallbacks(2));
    EXPECT_TRUE(Runs().empty());
    EXPECT_EQ(Done(), (std::vector<std::pair<std::string, uint32_t>>{{"", 230}, {"", 230}}));
    EXPECT_EQ(module->PostponedRuns(),
              (std::vector<std::pair<std::string, std::string>>{{"a", "game"}, {"b", "game"}}));

    checker->game = false;
    checker->cpu = true;
    module->Process(Event(220, 0));  // never gated
    ASSERT_TRUE(journal.WaitCallbacks(3));
    EXPECT_EQ(Runs(), (std::vector<std::string>{"r:220"}));
    module.reset();

    auto skipping = Make(
        {{"skip_game_check", true}, {"skip_cpu_check", true}, {"collectors", {Entry("a", daily)}}}, checker);
    skipping->Process(Event(230, 20));
    ASSERT_TRUE(journal.WaitCallbacks(4));
    EXPECT_EQ(Runs().back(), "a:230");
}

TEST_F(TelemetryModuleTest, LowEndSwitchRunsOnly220And222) {
    for (const auto& [value, restricted] :
         std::vector<std::pair<platform::RegistryValue, bool>>{{platform::RegistryValue::String("1"), true},
                                                               {platform::RegistryValue::Dword(1), true},
                                                               {platform::RegistryValue::String("01"), false},
                                                               {platform::RegistryValue::Dword(2), false}}) {
        platform::RegistryKey key;
        ASSERT_EQ(
            platform::RegistryKey::Create(platform::RegistryHive::LocalMachine, kCollectorsRegistryKey, key),
            0u);
        ASSERT_EQ(key.SetValue(kLowEndSwitchName, value), 0u);
        journal.runs.clear();
        journal.done.clear();
        auto module = Make({{"collectors",
                             {Entry("daily", {{{"dwControl", 230}, {"dwEventType", 20}}}),
                              Entry("idle", {{{"dwControl", 222}}}), Entry("req", {{{"dwControl", 220}}})}}});
        EXPECT_EQ(module->IsLowEndSwitchOn(), restricted);
        module->Process(Event(230, 20));
        module->Process(Event(222, 0));
        module->Process(Event(220, 0));
        ASSERT_TRUE(journal.WaitCallbacks(restricted ? 2 : 3));
        const auto expected = restricted ? std::vector<std::string>{"idle:222", "req:220"}
                                         : std::vector<std::string>{"daily:230", "idle:222", "req:220"};
        EXPECT_EQ(Runs(), expected);
    }
}

TEST_F(TelemetryModuleTest, CustomRunStopRequestsAndHaltResume) {
    auto module = Make({{"collectors", {Entry("daily", {{{"dwControl", 230}, {"dwEventType", 20}}})}}});
    const std::string text = "'plug', /tmp/payload.json, extra";
    module->Process(Event(205, 0, text.c_str(), text.size() + 1));
    module->Process(Event(250, 0));
    Drain(*module);
    EXPECT_EQ(Runs(), (std::vector<std::string>{"custom:205", "stop:custom"}));
    EXPECT_EQ(Done().size(), 1u);  // only the drain

    module->Process(Event(251, 0));  // returns once the worker has ended
    EXPECT_FALSE(module->IsRunning());
    module->Process(Event(230, 20));  // queued while halted
    module->Process(Event(252, 0));
    ASSERT_TRUE(journal.WaitCallbacks(2));
    EXPECT_EQ(Runs().back(), "daily:230");
}

TEST_F(TelemetryModuleTest, StoppingWhileAListRunsDropsTheRestWithoutCallbacks) {
    zelko::testing::LogCapture log;
    json daily = {{{"dwControl", 230}, {"dwEventType", 20}}};
    auto module = Make({{"collectors", {Entry("slow", daily), Entry("b", daily), Entry("c", daily)}}});
    journal.holdSlow = true;
    module->Process(Event(230, 20));
    {
        std::unique_lock guard(journal.lock);
        ASSERT_TRUE(
            journal.changed.wait_for(guard, std::chrono::seconds(5), [&] { return !journal.runs.empty(); }));
    }
    std::thread destroy([&] { module.reset(); });
    // The stop's log line comes after the stopping flag is set.
    ASSERT_TRUE(log.WaitFor(logging::info, "TelemetryModule::Stop"));
    {
        std::lock_guard guard(journal.lock);
        journal.holdSlow = false;
        journal.changed.notify_all();
    }
    destroy.join();
    EXPECT_EQ(Runs(), (std::vector<std::string>{"slow:230"}));
    EXPECT_EQ(Done().size(), 1u);  // the run that was under way
}

TEST_F(TelemetryModuleTest, AnExceptionOnTheWorkerIsReportedAndTheLoopGoesOn) {
    struct ThrowingChecker : BusyChecker {
        using BusyChecker::BusyChecker;
        bool IsFullScreenD3DRunning() override { throw std::runtime_error("no shell state"); }
    };
    std::ofstream(scratch() / kSystemStatusConfigFileName) << "{}";
    auto checker = std::make_shared<ThrowingChecker>(scratch() / kSystemStatusConfigFileName);
    auto module = Make({{"collectors", {Entry("daily", {{{"dwControl", 230}, {"dwEventType", 20}}})}}}, checker);
    module->Process(Event(230, 20));
    ASSERT_TRUE(journal.WaitCallbacks(1));
    EXPECT_NE(Done()[0].first.find("no shell state"), std::string::npos) << Done()[0].first;
    Drain(*module);
    EXPECT_TRUE(module->IsRunning());
}

// Settings of the wrong type or out of range are their defaults, named in a warning; a stop
// request always ends the worker.
TEST_F(TelemetryModuleTest, DamagedSettingsAreTheirDefaultsAndAnUrgentStopAlwaysReturns) {
    const json daily = {{{"dwControl", 230}, {"dwEventType", 20}}};
    for (const json& value : {json("soon"), json(nullptr), json(-1), json(std::numeric_limits<int64_t>::max())}) {
        SCOPED_TRACE(value.dump());
        zelko::testing::LogCapture log;
        journal.runs.clear();
        journal.done.clear();
        auto module = Make({{"wait_on_stop_ms", value},
                            {"skip_game_check", value},
                            {"max_hang_time_min", value},
                            {"collectors", {Entry("daily", daily)}}});
        EXPECT_TRUE(log.Contains(logging::warning, "Setting \"wait_on_stop_ms\" of telemetry-module-config.json"));
        EXPECT_TRUE(log.Contains(logging::warning, "Setting \"skip_game_check\" of telemetry-module-config.json"));
        module->Process(Event(230, 20));
        ASSERT_TRUE(journal.WaitCallbacks(1));
        EXPECT_EQ(Done()[0], (std::pair<std::string, uint32_t>{"", 230}));
        auto stop = std::async(std::launch::async, [&] { module->Process(Event(251, 0)); });
        ASSERT_EQ(stop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_FALSE(module->IsRunning());
        EXPECT_EQ(Runs().back(), "stop:custom");
    }
}

TEST_F(TelemetryModuleTest, ASpreadIntervalOfZeroOrLessIsTheDefault) {
    platform::ScopedFakeClock clock(1'000'000 * platform::kTicksPerSecond);
    const json daily = {{{"dwControl", 230}, {"dwEventType", 20}}};
    for (int interval : {0, -5}) {
        SCOPED_TRACE(interval);
        std::filesystem::remove_all(PostponedFolder());
        journal.runs.clear();
        auto module = Make({{"spread_collectors", true},
                            {"spread_collectors_interval_sec", interval},
                            {"collectors", {Entry("a", daily), Entry("b", daily)}}});
        module->Process(Event(230, 20));
        Drain(*module);
        ASSERT_EQ(Runs(), (std::vector<std::string>{"a:230"}));
        // The replay task waits the default 300 seconds: it does not fire again and again at once.
        std::unique_lock guard(journal.lock);
        EXPECT_FALSE(journal.changed.wait_for(guard, std::chrono::milliseconds(200),
                                              [&] { return journal.runs.size() > 1; }));
        guard.unlock();
        clock.Advance(300 * platform::kTicksPerSecond);
        guard.lock();
        EXPECT_TRUE(journal.changed.wait_for(guard, std::chrono::seconds(5), [&] { return journal.runs.size() > 1; }));
        EXPECT_EQ(journal.runs.back(), "b:230");
    }
}

// A collector entry of the wrong types is skipped with a warning naming it; the others are built.
TEST_F(TelemetryModuleTest, AnEntryOfTheWrongTypesIsSkipped) {
    zelko::testing::LogCapture log;
    const json power = {{{"dwControl", 13}}};
    json no_name = Entry("x", power);
    no_name["name"] = 5;
    json no_version = Entry("v", power);
    no_version["version"] = 7;
    json parallel = Entry("p", power);
    parallel["runs_in_parallel"] = "yes";
    auto module = Make({{"collectors", {no_name, no_version, parallel, "text", Entry("good", power)}}}, nullptr,
                       false, false);
    ASSERT_EQ(module->Collectors().size(), 1u);
    EXPECT_EQ(module->Collectors()[0]->name, "good");
    for (const char* named : {"collector entry {", "collector v:", "collector p:", "collector entry \"text\""}) {
        EXPECT_TRUE(log.Contains(logging::warning, std::string("Bad collector, skipping ") + named)) << named;
    }
}

// A construction that fails after the watch was made leaves no thread behind, however often it is tried.
TEST_F(TelemetryModuleTest, AFailedConstructionLeavesNoThread) {
    const auto threads = [] { return zelko::testing::ThreadCount(); };
    const auto path = scratch() / kTelemetryConfigFileName;
    Utils::SaveJsonFile(path, json{{"collectors", {Entry("a", {{{"dwControl", 13}}})}}});
    TelemetryModule::Environment env;
    env.makeCollector = [](const json&) -> TelemetryModule::CollectorPtr { throw std::runtime_error("no memory"); };
    env.makeCustomCollector = [this] {
        json entry = Entry("custom", json::array());
        entry["configuration"] = json::object();
        return std::make_shared<FakeCollector>(entry, journal);
    };
    const size_t before = threads();
    for (int i = 0; i < 5; ++i) {
        EXPECT_THROW(TelemetryModule(path, std::make_shared<zelko::testing::FakeConnectivity>(),
                                     std::make_shared<NullPluginManager>(), nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, true, false, env),
                     std::runtime_error);
    }
    EXPECT_EQ(threads(), before);
}

TEST_F(TelemetryModuleTest, ConstructionFailures) {
    {
        // A document that is no object counts as missing: the built-in one is used.
        zelko::testing::LogCapture log;
        EXPECT_EQ(Make(json::array({1, 2}))->Collectors().size(), 23u);
        EXPECT_TRUE(log.Contains(logging::warning, "telemetry-module-config.json is not a JSON object"));
    }
    struct FailingManager : NullPluginManager {
        Error GetError() const override {
            return Error(shared::error::ErrorCategory::EC_System, 3, "no folder");
        }
    };
    const auto path = scratch() / kTelemetryConfigFileName;
    Utils::SaveJsonFile(path, json::object());
    EXPECT_THROW(TelemetryModule(path, nullptr, std::make_shared<FailingManager>(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, true, false),
                 Error);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
