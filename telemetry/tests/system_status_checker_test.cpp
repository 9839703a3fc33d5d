// The status checker: its CPU tests over sample tables, its configuration, and its sampler.

#include "telemetry/system_status_checker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "platform/perf_counters.h"
#include "platform/steady_clock.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {
namespace {

using nlohmann::json;
constexpr int64_t kMinute = 60'000'000'000;

class TableChecker : public SystemStatusChecker {
  public:
    using SystemStatusChecker::AddSample;
    using SystemStatusChecker::SystemStatusChecker;
};

class SystemStatusCheckerTest : public zelko::testing::SystemRootTest {
  protected:
    std::filesystem::path Config(const std::string& text) {
        const auto path = scratch() / kSystemStatusConfigFileName;
        std::ofstream(path) << text;
        return path;
    }
    // Samples one minute apart, the last one now.
    void Fill(TableChecker& checker, const std::vector<double>& values) {
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0) clock.Advance(std::chrono::minutes(1));
            checker.AddSample(clock.Now(), values[i]);
        }
    }

    platform::ScopedFakeSteadyClock clock{100 * kMinute};
    platform::ScopedFakePerfCounters counters;
};

TEST_F(SystemStatusCheckerTest, ConsistentlyHighAndBelowThresholdTables) {
    struct Case {
        std::vector<double> samples;
        double threshold;
        bool high;
        bool below;  // against the configured 50
    } cases[] = {
        {{30, 70, 80}, -1, true, false},
        {{70, 30, 80}, -1, false, false},
        {{45, 45}, 40, true, true},
        {{45, 45}, -1, false, true},
        {{50, 50, 50}, 49.999, true, true},
        {{70, 50, 70}, -1, false, false},  // equal to the threshold breaks a run
        {{10, 20, 60}, -1, false, false},
        {{10, 20, 50}, -1, false, true},
        {{}, -1, false, false},
    };
    for (const auto& c : cases) {
        TableChecker checker(Config(R"({"cpu_usage_threshold": 50})"));
        Fill(checker, c.samples);
        EXPECT_EQ(checker.IsCpuUsageConsistentlyHigh(c.threshold), c.high)
            << ::testing::PrintToString(c.samples);
        EXPECT_EQ(checker.IsCpuUsageBelowThreshold(), c.below) << ::testing::PrintToString(c.samples);
    }
}

TEST_F(SystemStatusCheckerTest, WindowAndDurationSettings) {
    // Samples leave the history after the window; a zero duration makes one high sample enough.
    TableChecker checker(Config(R"({"duration_seconds": 120, "high_cpu_duration_seconds": 0})"));
    Fill(checker, {90, 10, 10, 10});
    EXPECT_EQ(checker.History().size(), 3u);
    EXPECT_FALSE(checker.IsCpuUsageConsistentlyHigh(-1));
    Fill(checker, {90});
    EXPECT_TRUE(checker.IsCpuUsageConsistentlyHigh(-1));
}

TEST_F(SystemStatusCheckerTest, DynamicReloadTakesNewValuesAndKeepsOldOnesOnFailure) {
    const auto path = Config(R"({"dynamic_load": true, "cpu_usage_threshold": 50})");
    TableChecker checker(path);
    Fill(checker, {60, 60});
    EXPECT_TRUE(checker.IsCpuUsageConsistentlyHigh(-1));
    Config(R"({"dynamic_load": true, "cpu_usage_threshold": 70})");
    EXPECT_FALSE(checker.IsCpuUsageConsistentlyHigh(-1));
    for (const char* damaged : {"", "[1]", "{cut"}) {
        Config(damaged);
        EXPECT_NO_THROW(EXPECT_FALSE(checker.IsCpuUsageConsistentlyHigh(-1))) << damaged;
    }
    // A damaged value is that value's default (50), named in one warning however often it is reloaded.
    Config(R"({"dynamic_load": true, "cpu_usage_threshold": "high"})");
    zelko::testing::LogCapture log;
    EXPECT_TRUE(checker.IsCpuUsageConsistentlyHigh(-1));
    EXPECT_TRUE(checker.IsCpuUsageConsistentlyHigh(-1));
    EXPECT_EQ(log.Count(logging::warning, "Setting \"cpu_usage_threshold\" of system-status-config.json"), 1);
    // Without dynamic load the file is read once.
    TableChecker fixed(Config(R"({"cpu_usage_threshold": 50})"));
    Fill(fixed, {60, 60});
    Config(R"({"cpu_usage_threshold": 70})");
    EXPECT_TRUE(fixed.IsCpuUsageConsistentlyHigh(-1));
}

TEST_F(SystemStatusCheckerTest, ConstructionFailures) {
    EXPECT_THROW(SystemStatusChecker(scratch() / "missing.json"), json::type_error);
    for (const char* damaged : {"", "[1]", "{cut", "null"}) {
        EXPECT_THROW(SystemStatusChecker(Config(damaged)), json::type_error) << damaged;
    }
    const auto good = Config("{}");
    counters.SetOpenStatus(platform::kPdhInvalidArgument);
    EXPECT_THROW(SystemStatusChecker{good}, std::runtime_error);
    counters.SetOpenStatus(platform::kPdhOk);
    counters.SetAddStatus(u"% Processor Time", platform::kPdhCstatusNoCounter);
    EXPECT_THROW(SystemStatusChecker{good}, std::runtime_error);
}

TEST_F(SystemStatusCheckerTest, SamplerTakesSamplesAndStopsAtOnce) {
    counters.SetValue(u"% Processor Time", 80.0);
    TableChecker checker(Config("{}"));
    EXPECT_FALSE(checker.IsFullScreenD3DRunning());
    checker.Process();
    checker.Process();  // one sampler only
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(platform::SteadySleepers(), 1u);
    clock.Advance(std::chrono::minutes(1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (checker.History().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(checker.History().size(), 2u);
    EXPECT_TRUE(checker.IsCpuUsageConsistentlyHigh(-1));

    // In the middle of a one-minute wait the stop ends the sampler at once.
    ASSERT_TRUE(clock.WaitForSleepers(1));
    const auto before = std::chrono::steady_clock::now();
    checker.StopMonitoring();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(platform::SteadySleepers(), 0u);
}

// Every value of a setting that is out of range or of the wrong type is its default: the sampler
// still waits a minute between samples rather than sampling on a full core.
TEST_F(SystemStatusCheckerTest, DamagedSettingsAreTheirDefaults) {
    counters.SetValue(u"% Processor Time", 80.0);
    for (const char* value : {"0", "-1", "\"1\"", "null", "9223372036854775807", "1.5"}) {
        SCOPED_TRACE(value);
        zelko::testing::LogCapture log;
        const std::string text = std::string("{\"metric_collection_frequency\": ") + value +
                                 ", \"duration_seconds\": " + value + ", \"high_cpu_duration_seconds\": " + value +
                                 ", \"cpu_usage_threshold\": " + value + ", \"dynamic_load\": " + value + "}";
        TableChecker checker(Config(text));
        for (const char* key : {"metric_collection_frequency", "duration_seconds"}) {
            EXPECT_TRUE(log.Contains(logging::warning,
                                     std::string("Setting \"") + key + "\" of system-status-config.json"))
                << key;
        }
        checker.Process();
        ASSERT_TRUE(clock.WaitForSleepers(1));
        EXPECT_EQ(checker.History().size(), 1u);
        // The default window (300 s) and duration (60 s) apply: two busy minutes are consistently high.
        Fill(checker, {80, 80});
        EXPECT_TRUE(checker.IsCpuUsageConsistentlyHigh(-1));
        checker.StopMonitoring();
    }
}

}  // namespace
}  // namespace zelko::plenar::agent::test
