// The postponed-run store on disk: names and content, the storage cap, ageing and choosing under
// spreading, replay order, orphans, older formats, damaged files and the SendPostponed task.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "telemetry/telemetry_module.h"
#include "telemetry/tests/telemetry_module_fixture.h"
#include "testing/log_capture.h"

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;
using logging::debug;
using logging::info;
using logging::warning;

constexpr int64_t kHour = 3600 * platform::kTicksPerSecond;
constexpr char kStamp[] = "%Y-%m-%d-%H-%M-%S";

int64_t March5() { return Utils::ToTimePoint("2024-03-05-14-07-09-0123456", kStamp, "-"); }

std::vector<std::string> Names() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PostponedFolder(), ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

json Record(const std::string& collector, uint32_t control, uint32_t type) {
    TelemetryEvent item;
    item.Type = {control, type, 0, 0};
    item.SysEvent = Event(control, type);
    return {{"version", "1"}, {"reason", "time"}, {"collector", collector}, {"ver", ""},
            {"event", TelemetryEventToJson(item)}};
}

// Writes a postponed file whose last-write time is `age_order` seconds in the past, so tests
// choose the replay order.
fs::path Put(const std::string& name, const json& record, int age_order = 0) {
    fs::create_directories(PostponedFolder());
    const auto path = PostponedFolder() / name;
    std::ofstream(path) << record.dump();
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age_order));
    return path;
}

std::string NameAt(const std::string& origin, int64_t ticks) {
    return "postponed_" + origin + "_" + Utils::FormatTimePoint(ticks, kStamp, "-") + ".ppnd";
}

class PostponedStoreTest : public TelemetryModuleTest {
  protected:
    std::unique_ptr<TelemetryModule> Spreading(bool on, int64_t interval = 300) {
        json any = {{{"dwControl", 230}, {"dwEventType", -1}}, {{"dwControl", 11}, {"dwEventType", -1}}};
        return Make({{"spread_collectors", on},
                     {"spread_collectors_interval_sec", interval},
                     {"collectors", {Entry("a", any), Entry("b", {{{"dwControl", 230}, {"dwEventType", 20}}})}}},
                    nullptr, false, true, crypto);
    }
    std::vector<std::string> Replay(TelemetryModule& module) {
        TelemetryModule::RunList runs;
        module.DeserializedAllPostponedCollectors(TelemetryEvent{}, runs);
        std::vector<std::string> names;
        for (const auto& [collector, item] : runs)
            names.push_back(collector->name + ":" + std::to_string(item->Type.dwControl) + "/" +
                            std::to_string(item->Type.dwEventType));
        return names;
    }

    zelko::testing::LogCapture log;
    std::shared_ptr<crypto::Cryptography> crypto = std::make_shared<crypto::Cryptography>("SNR-POSTPONED");
};

TEST_F(PostponedStoreTest, SavedNamesAndContentWithAFixedClock) {
    platform::ScopedFakeClock clock(March5());
    auto module = Spreading(false);
    const auto collector = module->Collectors()[0];
    TelemetryEvent daily;
    daily.Type = {230, 20, 0, 0};
    daily.SysEvent = Event(230, 20);
    TelemetryEvent arrival;
    arrival.Type = {11, 0x8000, 0, 0};
    arrival.SysEvent = Event(11, 0x8000);
    module->SavePostponed(collector, daily, "game");
    module->SavePostponed(collector, arrival, "cpu");
    module->SavePostponed(collector, daily, "time");  // same tick: a file of its own
    // Saves of one tick are numbered in save order, whatever their origin.
    EXPECT_EQ(Names(), (std::vector<std::string>{"postponed_sched-20_2024-03-05-14-07-09-0123456.ppnd",
                                                 "postponed_sched-20_2024-03-05-14-07-09-0123456_2.ppnd",
                                                 "postponed_system_2024-03-05-14-07-09-0123456_1.ppnd"}));
    const json record = Utils::LoadJsonFile(PostponedFolder() / Names()[0]);
    EXPECT_EQ(record["version"], "1");
    EXPECT_EQ(record["reason"], "game");
    EXPECT_EQ(record["collector"], "a");
    EXPECT_EQ(record["ver"], "");
    EXPECT_EQ(TelemetryEventFromJson(record["event"]).Type, daily.Type);
    EXPECT_EQ(log.Count(debug, "SendPostponed Task created."), 1);
    EXPECT_TRUE(log.Contains(info, "Postponed data saved for plugin a version  the file " +
                                       (PostponedFolder() / Names()[0]).string()));
    // Replayed in the order saved, also where the file system gives the three one modification time.
    const auto written = fs::last_write_time(PostponedFolder() / Names()[0]);
    for (const auto& saved : Names()) fs::last_write_time(PostponedFolder() / saved, written);
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:230/20", "a:11/32768", "a:230/20"}));
    EXPECT_TRUE(Names().empty());
}

TEST_F(PostponedStoreTest, StorageCapAtExactly100000000Bytes) {
    auto module = Spreading(false);
    const auto collector = module->Collectors()[0];
    fs::create_directories(PostponedFolder());
    const auto filler = PostponedFolder() / "filler.bin";
    std::ofstream(filler).close();
    fs::resize_file(filler, 100'000'001);
    TelemetryEvent item;
    item.Type = {11, 1, 0, 0};
    module->SavePostponed(collector, item, "cpu");
    EXPECT_EQ(Names().size(), 1u);
    EXPECT_TRUE(log.Contains(warning, "Collector SaveJsonFile failed with storage overflow for plugin a version  "
                                      "saving the file \""));
    EXPECT_FALSE(module->HasSendPostponedTask());

    fs::resize_file(filler, 100'000'000);
    module->SavePostponed(collector, item, "cpu");
    EXPECT_EQ(Names().size(), 2u);
    EXPECT_TRUE(module->HasSendPostponedTask());
}

TEST_F(PostponedStoreTest, AgeingUnderSpreading) {
    const int64_t now = March5();
    platform::ScopedFakeClock clock(now);
    struct Case {
        const char* what;
        std::string origin;
        int64_t interval;
        int64_t age;
        bool kept;
    } cases[] = {
        {"weekly just under 336 h", "sched-30", 300, 336 * kHour - 1, true},
        {"weekly at 336 h", "sched-30", 300, 336 * kHour, false},
        {"weekly, interval 600, 671 h", "sched-30", 600, 671 * kHour, true},
        {"weekly, interval 600, 672 h", "sched-30", 600, 672 * kHour, false},
        {"minute under an hour", "sched-1", 300, kHour - 1, true},
        {"minute at an hour", "sched-1", 300, kHour, false},
        {"hourly at 6 h", "sched-10", 300, 6 * kHour, false},
        {"daily under 48 h", "sched-20", 300, 48 * kHour - 1, true},
        {"system at 48 h", "system", 300, 48 * kHour, false},
        {"system under 48 h", "system", 300, 48 * kHour - 1, true},
        // 10080 x 36000 x 12 seconds overflows 32 bits: a day-old monthly run is still young.
        {"monthly, long interval", "sched-40", 36000, 24 * kHour, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(PostponedFolder());
        auto module = Spreading(true, c.interval);
        const uint32_t type = static_cast<uint32_t>(std::stoul(c.origin.size() > 6 ? c.origin.substr(6) : "0"));
        const auto path = Put(NameAt(c.origin, now - c.age), Record("a", c.origin == "system" ? 11 : 230, type));
        EXPECT_EQ(Replay(*module).size(), c.kept ? 1u : 0u);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(log.Contains(info, "TelemetryModule DeserializedAllPostponedCollectors cleaning stale file " +
                                         path.string()),
                  !c.kept);
    }
}

TEST_F(PostponedStoreTest, OldSchemesAndUnreadableNamesAreRemovedUnderSpreading) {
    platform::ScopedFakeClock clock(March5());
    auto module = Spreading(true);
    const auto old = Put("postponed_sched_2024-03-05-14-07-09-0123456.ppnd", Record("a", 230, 20));
    const auto oldest = Put("postponed_2024-03-05_14-07-09-123.ppnd", Record("a", 230, 20));
    const auto short_name = Put("postponed_x.ppnd", Record("a", 230, 20));
    const auto no_stamp = Put("postponed_system_garbage.ppnd", Record("a", 11, 0));
    const auto bad_date = Put("postponed_system_2024-xx-05-14-07-09-0123456.ppnd", Record("a", 11, 0));
    EXPECT_TRUE(Replay(*module).empty());
    EXPECT_TRUE(Names().empty());
    EXPECT_TRUE(log.Contains(info, "TelemetryModule DeserializedAllPostponedCollectors cleaning old stale file " +
                                       old.string()));
    EXPECT_TRUE(log.Contains(info, "TelemetryModule DeserializedAllPostponedCollectors cleaning stale file " +
                                       oldest.string()));
    EXPECT_TRUE(log.Contains(warning, "Corrupted file removed " + short_name.string()));
    EXPECT_TRUE(log.Contains(warning, "Corrupted file removed " + no_stamp.string()));
    // A date that cannot be read is damage, not age.
    EXPECT_TRUE(log.Contains(warning, "Corrupted file removed " + bad_date.string()));
    EXPECT_FALSE(module->IsAnyPostponedCollectors());
}

TEST_F(PostponedStoreTest, SpreadingAlternatesOriginsAndReplaysOnePerPass) {
    const int64_t now = March5();
    platform::ScopedFakeClock clock(now);
    auto module = Spreading(true);
    Put(NameAt("system", now - kHour), Record("a", 11, 1), 50);  // oldest of all
    Put(NameAt("sched-20", now - 3 * kHour), Record("b", 230, 20), 40);
    Put(NameAt("sched-20", now - 2 * kHour), Record("a", 230, 20), 30);
    Put(NameAt("system", now - 2 * kHour), Record("a", 11, 2), 20);
    Put(NameAt("system", now - 3 * kHour), Record("a", 11, 3), 10);
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"b:230/20"}));  // schedule runs first
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:11/1"}));
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:230/20"}));
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:11/2"}));
    // No schedule run left: the preferred origin falls back to the other.
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:11/3"}));
    EXPECT_TRUE(Names().empty());
}

TEST_F(PostponedStoreTest, WithoutSpreadingAllReplayOldestFirstAndNothingAges) {
    platform::ScopedFakeClock clock(March5());
    auto module = Spreading(false);
    Put(NameAt("system", 0), Record("a", 11, 7), 5);  // 1970: ancient, still replayed
    Put(NameAt("sched-20", March5()), Record("b", 230, 20), 10);
    Put("anything.txt", Record("a", 230, 1), 1);
    const auto orphan = Put(NameAt("system", March5()), Record("gone", 11, 0), 3);
    const auto encrypted = PostponedFolder() / NameAt("sched-5", March5() - 1);
    Utils::SaveEncryptedJsonFile(encrypted, Record("a", 230, 5), *crypto);
    fs::last_write_time(encrypted, fs::file_time_type::clock::now() - std::chrono::seconds(20));

    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:230/5", "b:230/20", "a:11/7", "a:230/1"}));
    EXPECT_TRUE(Names().empty());
    EXPECT_TRUE(log.Contains(info, "TelemetryModule DeserializedAllPostponedCollectors loaded old " +
                                       encrypted.string()));
    EXPECT_TRUE(log.Contains(info, "Removing postponed file generated by old collector." + orphan.string()));
}

TEST_F(PostponedStoreTest, DamagedFilesAreRemovedAndTheWalkGoesOn) {
    auto module = Spreading(false);
    json wrong_types = Record("a", 230, 1);
    wrong_types["collector"] = 5;
    json no_stop = Record("a", 230, 1);
    no_stop["event"]["IsStop"] = "no";
    const std::string valid = Record("a", 230, 1).dump();
    struct Case {
        const char* what;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"cut", valid.substr(0, valid.size() / 2)},
        {"not JSON", "\x01\x02 not json at all"},
        {"wrong shape", "[1,2,3]"},
        {"no event", json{{"version", "1"}, {"reason", "cpu"}, {"collector", "a"}}.dump()},
        {"wrong types", wrong_types.dump()},
        {"IsStop not a boolean", no_stop.dump()},
        {"huge", std::string(3'000'000, '{')},
    };
    int order = 100;
    std::vector<fs::path> damaged;
    for (const auto& c : cases) {
        const auto path = PostponedFolder() / (std::string("postponed_system_") + std::to_string(order) + ".ppnd");
        fs::create_directories(PostponedFolder());
        std::ofstream(path, std::ios::binary) << c.content;
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(order--));
        damaged.push_back(path);
    }
    Put(NameAt("system", March5()), Record("a", 11, 9));  // the newest, after all damaged ones
    EXPECT_EQ(Replay(*module), (std::vector<std::string>{"a:11/9"}));
    EXPECT_TRUE(Names().empty());
    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(log.Contains(warning, "Corrupted file removed " + damaged[i].string() + " due to exception: "));
    }
}

TEST_F(PostponedStoreTest, TaskIsCancelledByAnEmptyPassAndMadeAgainByTheNextSave) {
    platform::ScopedFakeClock clock(March5());
    Put(NameAt("system", March5()), Record("a", 11, 4));
    auto module = Spreading(false);
    EXPECT_TRUE(log.Contains(debug, "SendPostponed Task created on initialization."));
    EXPECT_TRUE(module->HasSendPostponedTask());

    // One interval later the task's 216 replays the leftover run.
    clock.Advance(300 * platform::kTicksPerSecond);
    ASSERT_TRUE(journal.WaitCallbacks(1));
    EXPECT_EQ(Runs(), (std::vector<std::string>{"a:11"}));
    EXPECT_TRUE(Names().empty());

    // The next pass finds nothing: the task goes.
    clock.Advance(300 * platform::kTicksPerSecond);
    ASSERT_TRUE(log.WaitFor(debug, "SendPostponed Task canceled."));
    EXPECT_TRUE(log.Contains(info, "TelemetryModule SendPostponed nothing to send, exiting..."));
    EXPECT_FALSE(module->HasSendPostponedTask());
    EXPECT_FALSE(module->IsAnyPostponedCollectors());  // empty folder

    TelemetryEvent item;
    item.Type = {11, 1, 0, 0};
    module->SavePostponed(module->Collectors()[0], item, "cpu");
    EXPECT_EQ(log.Count(debug, "SendPostponed Task created."), 1);
    EXPECT_TRUE(module->IsAnyPostponedCollectors());

    // A vanished folder: nothing to send, but the task stays.
    fs::remove_all(PostponedFolder());
    EXPECT_FALSE(module->IsAnyPostponedCollectors());
    EXPECT_TRUE(Replay(*module).empty());
    EXPECT_TRUE(module->HasSendPostponedTask());
}

}  // namespace
}  // namespace zelko::plenar::agent::test
