#include "foundation/calendar_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <limits>

#include "foundation/default_configs.h"
#include "foundation/scheduler.h"
#include "foundation/tests/scheduler_test_util.h"
#include "foundation/utils_time.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::Drain;
using testing::LogCapture;
using testing::Recorder;

class CalendarTest : public zelko::testing::SystemRootTest {
  protected:
    void TearDown() override { scheduler.reset(); }

    // A scheduler over its own executable folder, with the given configuration and state texts
    // (nullptr: no file), reinitialised and with the recording callback set.
    void Start(const char* config, const char* state, const std::string& folder = "bin") {
        exe = scratch() / folder;
        std::filesystem::create_directories(exe / "Configuration Files");
        if (config) std::ofstream(exe / "Configuration Files" / "zelko-scheduler-config.json") << config;
        if (state) std::ofstream(exe / "zelko-plenar-schedule-state.json") << state;
        scheduler = std::make_unique<Scheduler>("", exe);
        scheduler->SetSysEventCallback([this](ScheduleTypes type) { ran.Add(std::to_string(int(type))); });
        EXPECT_EQ(ReinitError(), 0);
    }

    // The calendar calls run on the scheduler's worker, as in the service. Exceptions stay on the
    // worker: f reports them itself.
    void OnWorker(std::function<void()> f) {
        auto done = std::make_shared<std::promise<void>>();
        auto result = done->get_future();
        scheduler->In(0s, [f, done] {
            f();
            done->set_value();
        });
        ASSERT_EQ(result.wait_for(testing::kWaitLimit), std::future_status::ready);
    }
    // The id of the JSON type error that Reinit raises, 0 when none.
    int ReinitError() {
        int id = 0;
        OnWorker([&] {
            try {
                scheduler->Reinit();
            } catch (const json::type_error& e) {
                id = e.id;
            }
        });
        return id;
    }
    bool Register(ScheduleTypes type) {
        bool added = false;
        OnWorker([&] { added = scheduler->RegisterSysEventSchedule(type); });
        return added;
    }
    void StartEvents() {
        OnWorker([this] { scheduler->StartScheduledEvents(); });
    }
    bool DrainAll() { return Drain(*scheduler->timedScheduler); }
    void Advance(Duration d) { clock.Advance(d.count()); }
    std::string Text(Duration ago) const { return FormatUtcIso8601(clock.Now() - ago.count()); }
    json State() const {
        std::ifstream in(exe / "zelko-plenar-schedule-state.json");
        return json::parse(in);
    }
    std::vector<std::string> Sorted() const {
        auto items = ran.Items();
        std::sort(items.begin(), items.end());
        return items;
    }
    size_t CountOf(ScheduleTypes type) const {
        auto items = ran.Items();
        return std::count(items.begin(), items.end(), std::to_string(int(type)));
    }

    platform::ScopedFakeClock clock{testing::kStartTicks};
    Recorder ran;
    std::filesystem::path exe;
    std::unique_ptr<Scheduler> scheduler;
};

TEST_F(CalendarTest, FirstStartDeliversDateBasedTypesAtOnceAndSavesTheirEnd) {
    LogCapture log;
    Start(nullptr, nullptr);
    EXPECT_TRUE(log.Contains(logging::warning, "Cannot open the state config file - GetLastError: "));
    ASSERT_TRUE(Register(ScheduleTypes::Daily));
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(ran.Size(), 0u) << "nothing is posted before the events start";
    StartEvents();
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(State(), json({{"Daily", Text(0s)}}));
    std::ifstream in(exe / "zelko-plenar-schedule-state.json");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("\n    \"Daily\": "), std::string::npos) << text;
    EXPECT_TRUE(
        log.Contains(logging::debug, "Queueing Date Based event: Daily on 2024-03-05T12:00:00+00:00"));
    EXPECT_TRUE(
        log.Contains(logging::debug, "Will rerun scheduled event: Daily on 2024-03-06T12:00:00+00:00"));
}

TEST_F(CalendarTest, AfterARestartEachTypeComesAtItsOffsetAndUnknownKeysAreKept) {
    const std::string state = json({{"Daily", Text(3h)},
                                    {"Weekly", Text(200h)},
                                    {"Monthly", ""},
                                    {"Hourly", "2024-13-01T00:00:00+00:00"},
                                    {"custom", {{"keep", true}}}})
                                  .dump();
    Start(nullptr, state.c_str());
    for (auto type :
         {ScheduleTypes::Minute, ScheduleTypes::Hourly, ScheduleTypes::Daily, ScheduleTypes::Weekly,
          ScheduleTypes::Monthly, ScheduleTypes::OnStart, ScheduleTypes::MockedOnStart}) {
        ASSERT_TRUE(Register(type));
    }
    StartEvents();
    ASSERT_TRUE(ran.WaitForSize(6));
    ASSERT_TRUE(DrainAll());
    // Weekly is more than a week old and Monthly has no time: both at once; Daily waits.
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"1", "10", "30", "40", "50", "51"}));

    Advance(21h - 1s);
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(CountOf(ScheduleTypes::Daily), 0u);
    Advance(1s);
    ASSERT_TRUE(DrainAll());
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(CountOf(ScheduleTypes::Daily), 1u);
    EXPECT_EQ(CountOf(ScheduleTypes::OnStart), 1u);

    const json saved = State();
    EXPECT_EQ(saved["Daily"], Text(0s));
    EXPECT_EQ(saved["Weekly"], Text(21h));
    EXPECT_EQ(saved["custom"], json({{"keep", true}}));
    EXPECT_EQ(saved["Hourly"], "2024-13-01T00:00:00+00:00") << "Hourly is not date-based by default";
}

TEST_F(CalendarTest, IntervalsFollowTheConfiguration) {
    struct Case {
        const char* config;  // nullptr: no file
        ScheduleTypes type;
        int minutes;
        bool saved;
    } cases[] = {
        {nullptr, ScheduleTypes::Hourly, 60, false},
        {"not json", ScheduleTypes::Hourly, 60, false},
        {R"({"hourly_fake_min": 1})", ScheduleTypes::Hourly, 1, true},
        {R"({"hourly_fake_min": 1})", ScheduleTypes::Daily, 24, true},
        {R"({"hourly_fake_min": 1})", ScheduleTypes::Weekly, 168, true},
        {R"({"hourly_fake_min": 1})", ScheduleTypes::Monthly, 720, true},
        {R"({"hourly_fake_min": 1})", ScheduleTypes::Minute, 1, false},
        {R"({"hourly_fake_min": 2.7, "hourly_is_date_based": true})", ScheduleTypes::Hourly, 60, true},
        {R"({"hourly_fake_min": 0, "hourly_is_date_based": false})", ScheduleTypes::Hourly, 60, false},
        {R"({"hourly_fake_min": -5})", ScheduleTypes::Daily, 24 * 60, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.config ? c.config : "no file") + " type " + std::to_string(int(c.type)));
        LogCapture log;
        Start(c.config, nullptr, "case" + std::to_string(n++));
        const std::string config = c.config ? c.config : "";
        EXPECT_EQ(log.Contains(logging::warning, "Setting \"hourly_fake_min\" of zelko-scheduler-config.json"),
                  config.find("\"hourly_fake_min\": 0") != std::string::npos ||
                      config.find("-5") != std::string::npos || config.find("2.7") != std::string::npos);
        ASSERT_TRUE(Register(c.type));
        StartEvents();
        ASSERT_TRUE(ran.WaitForSize(1));
        ASSERT_TRUE(DrainAll());
        Advance(std::chrono::minutes(c.minutes) - 1s);
        ASSERT_TRUE(DrainAll());
        EXPECT_EQ(ran.Size(), 1u);
        Advance(1s);
        ASSERT_TRUE(ran.WaitForSize(2));
        ASSERT_TRUE(DrainAll());
        EXPECT_EQ(std::filesystem::exists(exe / "zelko-plenar-schedule-state.json"), c.saved);
        scheduler.reset();
        ran.Clear();
    }
}

TEST_F(CalendarTest, AConfigurationOfTheWrongShapeIsReplacedByTheBuiltInOneWithAWarning) {
    const struct {
        const char* config;
        std::string warning;
    } cases[] = {
        {"[1, 2]", "is not of the expected shape, using the built-in one"},
        {"null", "is not of the expected shape, using the built-in one"},
        {"\"text\"", "is not of the expected shape, using the built-in one"},
        // One damaged value: that value's default, and a warning naming it.
        {R"({"hourly_is_date_based": "yes", "hourly_fake_min": 60})",
         "Setting \"hourly_is_date_based\" of zelko-scheduler-config.json is not a boolean"},
        {R"({"hourly_fake_min": "x", "hourly_is_date_based": false})",
         "Setting \"hourly_fake_min\" of zelko-scheduler-config.json is not a whole number"},
    };
    for (const auto& [config, warning] : cases) {
        SCOPED_TRACE(config);
        zelko::testing::LogCapture log;
        Start(config, nullptr);  // Reinit raises nothing
        EXPECT_TRUE(log.Contains(logging::warning, warning));
        // The built-in hour is 60 minutes and not date based: no hourly run after a minute.
        ASSERT_TRUE(Register(ScheduleTypes::Hourly));
        StartEvents();
        ASSERT_TRUE(ran.WaitForSize(1));
        ASSERT_TRUE(DrainAll());
        Advance(1min);
        ASSERT_TRUE(DrainAll());
        EXPECT_EQ(ran.Size(), 1u);
        scheduler.reset();
        ran.Clear();
    }
}

TEST_F(CalendarTest, AStateFileWithoutAnObjectOrWithANonTextTimeMeansNoSavedTime) {
    struct Case {
        const char* state;
        const char* warning;
    } cases[] = {
        {"[1, 2]", "The state config file holds no JSON object"},
        {"\"2024-03-05T09:00:00+00:00\"", "The state config file holds no JSON object"},
        {R"({"Daily": 5, "other": 1})", "The saved time of Daily is not a text"},
        {"{broken", "Cannot load the state config file - GetLastError: "},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        LogCapture log;
        Start(nullptr, c.state, "case" + std::to_string(n++));
        ASSERT_TRUE(Register(ScheduleTypes::Daily));
        EXPECT_TRUE(log.Contains(logging::warning, c.warning));
        StartEvents();
        ASSERT_TRUE(ran.WaitForSize(1)) << "delivered at once";
        ASSERT_TRUE(DrainAll());
        const json saved = State();
        ASSERT_TRUE(saved.is_object());
        EXPECT_EQ(saved["Daily"], Text(0s));
        scheduler.reset();
        ran.Clear();
    }
}

TEST_F(CalendarTest, ASavedEndInTheFutureCountsFromThatTime) {
    const std::string state = json({{"Daily", FormatUtcIso8601(clock.Now() + Duration(2h).count())}}).dump();
    Start(nullptr, state.c_str());
    ASSERT_TRUE(Register(ScheduleTypes::Daily));
    StartEvents();
    Advance(26h - 1s);
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(ran.Size(), 0u);
    Advance(1s);
    ASSERT_TRUE(ran.WaitForSize(1));
}

TEST_F(CalendarTest, RegistrationRules) {
    exe = scratch() / "bin";
    std::filesystem::create_directories(exe);
    scheduler = std::make_unique<Scheduler>("", exe);
    EXPECT_FALSE(Register(ScheduleTypes::OnStart)) << "no callback yet";
    scheduler->SetSysEventCallback([this](ScheduleTypes type) { ran.Add(std::to_string(int(type))); });
    OnWorker([this] { scheduler->Reinit(); });
    EXPECT_FALSE(Register(ScheduleTypes(2)));
    EXPECT_FALSE(Register(ScheduleTypes(0)));
    EXPECT_TRUE(Register(ScheduleTypes::MockedOnStart));
    EXPECT_TRUE(Register(ScheduleTypes::Minute));
    EXPECT_TRUE(Register(ScheduleTypes::Minute));  // two registrations, two deliveries
    StartEvents();
    StartEvents();  // does nothing
    ASSERT_TRUE(ran.WaitForSize(3));
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"1", "1", "51"}));
    EXPECT_EQ(ScheduleTypeName(ScheduleTypes(2)), "");
    EXPECT_EQ(Scheduler::ScheduleTypeName(ScheduleTypes::MockedOnStart), "MockedOnStart");

    EXPECT_TRUE(Register(ScheduleTypes::OnStart));  // after the start: waits for the next start
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(CountOf(ScheduleTypes::OnStart), 0u);
    OnWorker([this] {
        scheduler->Reinit();
        scheduler->StartScheduledEvents();
    });
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(CountOf(ScheduleTypes::OnStart), 1u);
    EXPECT_EQ(CountOf(ScheduleTypes::MockedOnStart), 2u);
}

TEST_F(CalendarTest, AfterDestroyNothingIsDeliveredOrSaved) {
    Start(R"({"hourly_fake_min": 1})", nullptr);
    ASSERT_TRUE(Register(ScheduleTypes::Daily));
    StartEvents();
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(DrainAll());
    const json before = State();
    scheduler->Destroy();
    Advance(24min);
    EXPECT_FALSE(scheduler->RegisterSysEventSchedule(ScheduleTypes::Minute));
    scheduler->StartScheduledEvents();
    EXPECT_EQ(ran.Size(), 1u);
    EXPECT_EQ(State(), before);
}

TEST_F(CalendarTest, AThrowingDateBasedCallbackIsNotDeliveredAgainAndSavesNothing) {
    Start(R"({"hourly_fake_min": 1})", nullptr);
    scheduler->SetSysEventCallback([this](ScheduleTypes type) {
        ran.Add("called");
        throw std::runtime_error("collector failed");
    });
    ASSERT_TRUE(Register(ScheduleTypes::Daily));
    StartEvents();
    ASSERT_TRUE(ran.WaitForSize(1));
    Advance(48min);
    ASSERT_TRUE(DrainAll());
    EXPECT_EQ(ran.Size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(exe / "zelko-plenar-schedule-state.json"));
}

}  // namespace
// Every numeric and boolean key of the built-in scheduler document, damaged five ways: the
// scheduler is built, delivers once at start and then not before its hour, and stops at once.
TEST_F(CalendarTest, EveryBuiltInSettingDamagedFiveWays) {
    const json base = json::parse(
        *FindDefaultConfig(DefaultConfigs(), "zelko-scheduler-config.json", ConfigVariant::Standard));
    const json damaged[] = {"text", nullptr, 0, -1, std::numeric_limits<int64_t>::max()};
    int n = 0;
    for (const auto& [key, original] : base.items()) {
        if (!original.is_number() && !original.is_boolean()) continue;
        for (const json& value : damaged) {
            SCOPED_TRACE(key + " = " + value.dump());
            json document = base;
            document[key] = value;
            LogCapture log;
            Start(document.dump().c_str(), nullptr, "damaged" + std::to_string(n++));
            ASSERT_TRUE(Register(ScheduleTypes::Hourly));
            StartEvents();
            ASSERT_TRUE(ran.WaitForSize(1));
            ASSERT_TRUE(DrainAll());
            Advance(59min);
            ASSERT_TRUE(DrainAll());
            EXPECT_EQ(ran.Size(), 1u);  // no run before the hour: a zero interval would run again and again
            EXPECT_TRUE(log.Contains(logging::warning, "Setting \"" + key + "\" of zelko-scheduler-config.json"));
            const auto before = std::chrono::steady_clock::now();
            scheduler.reset();
            EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
            ran.Clear();
        }
    }
    EXPECT_EQ(n, 10);
}

}  // namespace zelko::plenar::agent
