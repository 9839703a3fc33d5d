// Every numeric and boolean setting of the telemetry documents, damaged five ways (a text, null, 0,
// -1 and the largest 64-bit number): the module is still built, does its work, stops within its
// limit, leaves no thread behind and none busy. Work is counted; time is bounded per case.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/default_configs.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/perf_counters.h"
#include "platform/steady_clock.h"
#include "telemetry/system_status_checker.h"
#include "telemetry/telemetry_module.h"
#include "telemetry/tests/telemetry_module_fixture.h"
#include "testing/log_capture.h"
#include "testing/settings_table.h"

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;

using zelko::testing::DamagedSettingValues;
using zelko::testing::NumericLeaves;
using zelko::testing::ThreadCount;

json BuiltIn(const char* name) {
    const std::string* text = FindDefaultConfig(DefaultConfigs(), name, ConfigVariant::Standard);
    return text ? json::parse(*text) : json::object();
}

// The built-in document with every key the module reads, spreading on so that its interval is used.
json TelemetryBase() {
    json base = BuiltIn(kTelemetryConfigFileName);
    base.update({{"spread_collectors", true},
                 {"spread_collectors_interval_sec", 300},
                 {"max_hang_time_min", 60},
                 {"max_queue_size", 1000},
                 {"wait_on_stop_ms", 15000},
                 {"skip_game_check", false},
                 {"skip_cpu_check", false},
                 {"idle_thresh", 40}});
    base["collectors"][0]["runs_in_parallel"] = false;
    return base;
}

std::vector<std::string> TelemetryKeys() {
    std::vector<std::string> keys;
    for (const auto& leaf : NumericLeaves(TelemetryBase())) keys.push_back(leaf.to_string());
    return keys;
}

// One test per key of the telemetry document (the module's settings and its collectors' entries).
class TelemetryDocumentKey : public TelemetryModuleTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(TelemetryDocumentKey, DamagedFiveWays) {
    const json base = TelemetryBase();
    const json::json_pointer leaf(GetParam());
    std::ofstream(scratch() / kSystemStatusConfigFileName) << "{}";
    auto checker = std::make_shared<BusyChecker>(scratch() / kSystemStatusConfigFileName);
    platform::ScopedFakeClock clock(1'000'000 * platform::kTicksPerSecond);
    const size_t threads = ThreadCount();
    for (const json& value : DamagedSettingValues()) {
        SCOPED_TRACE(value.dump());
        const auto started = std::chrono::steady_clock::now();
        fs::remove_all(PostponedFolder());
        journal.runs.clear();
        journal.done.clear();
        json document = base;
        document[leaf] = value;
        zelko::testing::LogCapture log;
        std::unique_ptr<TelemetryModule> module;
        ASSERT_NO_THROW(module = Make(document, checker));
        ASSERT_GE(module->Collectors().size(), 22u);  // at most the damaged entry is skipped

        // A resume (13/18) selects six collectors: one runs now and the rest wait when spreading.
        module->Process(Event(13, 18));
        Drain(*module);
        const auto runs = Runs().size();
        EXPECT_GE(runs, 1u);
        EXPECT_LE(runs, 10u);  // six for the resume, four for the drain's 220
        // Nothing more happens while the clock stands still: no timer fires again and again.
        std::unique_lock guard(journal.lock);
        EXPECT_FALSE(journal.changed.wait_for(guard, std::chrono::milliseconds(20),
                                              [&] { return journal.runs.size() != runs; }));
        guard.unlock();
        EXPECT_EQ(log.Count(logging::debug, "SendPostponed Task sending event."), 0);

        auto stop = std::async(std::launch::async, [&] { module->Process(Event(251, 0)); });
        ASSERT_EQ(stop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_FALSE(module->IsRunning());
        module.reset();
        EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads), threads);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
}

INSTANTIATE_TEST_SUITE_P(TelemetryModule, TelemetryDocumentKey, ::testing::ValuesIn(TelemetryKeys()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return zelko::testing::TestNameOf(info.param);
                         });

class SettingsTableTest : public TelemetryModuleTest {};

TEST_F(SettingsTableTest, SystemStatusDocument) {
    const json base = {{"cpu_usage_threshold", 50},
                       {"duration_seconds", 300},
                       {"high_cpu_duration_seconds", 60},
                       {"metric_collection_frequency", 60},
                       {"dynamic_load", false}};
    platform::ScopedFakeSteadyClock steady{100 * int64_t{60'000'000'000}};
    platform::ScopedFakePerfCounters counters;
    counters.SetValue(u"% Processor Time", 80.0);
    const size_t threads = ThreadCount();
    for (const auto& leaf : NumericLeaves(base)) {
        for (const json& value : DamagedSettingValues()) {
            SCOPED_TRACE(leaf.to_string() + " = " + value.dump());
            json document = base;
            document[leaf] = value;
            std::ofstream(scratch() / kSystemStatusConfigFileName) << document.dump();
            std::unique_ptr<SystemStatusChecker> checker;
            ASSERT_NO_THROW(checker = std::make_unique<SystemStatusChecker>(scratch() / kSystemStatusConfigFileName));
            checker->Process();
            // One sample, then the sampler sleeps: it does not sample on a full core.
            ASSERT_TRUE(steady.WaitForSleepers(1));
            EXPECT_EQ(checker->History().size(), 1u);
            EXPECT_NO_THROW(checker->IsCpuUsageConsistentlyHigh(-1));
            const auto before = std::chrono::steady_clock::now();
            checker->StopMonitoring();
            EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
            checker.reset();
            EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads), threads);
        }
    }
}

}  // namespace
}  // namespace zelko::plenar::agent::test
