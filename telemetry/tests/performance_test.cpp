// Process performance monitors (with fake counters, and on this test process) and the performance
// collector's metrics message and publish outcomes.

#include "telemetry/performance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/paths.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"

namespace zelko::plenar::agent {
namespace {

using logging::debug;
using logging::error;
using shared::error::ErrorCategory;
using Sample = ProcessPerformanceMonitor::PerformanceData;

const double kProcessors = platform::GetSystemInfo().dwNumberOfProcessors;

class FakeCounters {
  public:
    // One tick's raw counter values; nullopt makes that read fail.
    void Set(std::optional<double> cpu, std::optional<double> memory, std::optional<double> disk) {
        fake.SetValue(u"% Processor Time", cpu);
        fake.SetValue(u"Working Set", memory);
        fake.SetValue(u"IO Data Bytes/sec", disk);
    }
    platform::ScopedFakePerfCounters fake;
};

TEST(RingBufferTest, KeepsTheNewestOldestFirst) {
    struct Case {
        int32_t capacity;
        int pushes;
        std::vector<int> held;
    } cases[] = {
        {1, 3, {3}},
        {3, 2, {1, 2}},
        {3, 3, {1, 2, 3}},
        {3, 7, {5, 6, 7}},
    };
    for (const auto& c : cases) {
        RingBuffer<int> buffer(c.capacity);
        for (int i = 1; i <= c.pushes; ++i) buffer.Push(i, c.capacity);
        std::vector<int> held;
        for (int32_t i = 0; i < buffer.Count(); ++i) held.push_back(buffer.At(i));
        EXPECT_EQ(held, c.held) << c.capacity << "/" << c.pushes;
        buffer.Clear();
        EXPECT_EQ(buffer.Count(), 0);
    }
    EXPECT_THROW(RingBuffer<int>(0), std::invalid_argument);
}

class MonitorTest : public ::testing::Test {
  protected:
    zelko::testing::LogCapture log;
    FakeCounters counters;
};

TEST_F(MonitorTest, TicksStoreNonZeroSamplesInAFullBufferOfTheNewest) {
    ProcessPerformanceMonitor monitor("zelko-plugin-executor", 24, 1);
    for (int tick = 1; tick <= 30; ++tick) {
        counters.Set(tick * kProcessors, tick * 2048.0, tick * 100.0);
        monitor.CalculatePerformance();
    }
    const auto samples = monitor.Samples();
    ASSERT_EQ(samples.size(), 24u);
    EXPECT_DOUBLE_EQ(samples.front().cpu, 7);
    EXPECT_DOUBLE_EQ(samples.back().cpu, 30);
    EXPECT_DOUBLE_EQ(samples.back().memory, 30 * 2048.0);
    EXPECT_TRUE(log.Contains(debug,
                             "ProcessPerformanceMonitor: Collecting for zelko-plugin-executor CPU (%): 30 "
                             "Memory (KB): 60KB Disk (KBytes/sec): 2"));

    // A tick of zeros (as for a process that does not run) stores nothing.
    counters.Set(0.0, 0.0, 0.0);
    monitor.CalculatePerformance();
    EXPECT_EQ(log.Count(debug, "PDH query returned 0 values, value will be ignored"), 1);
    counters.Set(std::nullopt, std::nullopt, std::nullopt);
    monitor.CalculatePerformance();
    EXPECT_EQ(log.Count(debug, "PDH query returned 0 values, value will be ignored"), 2);
    EXPECT_EQ(monitor.Samples().size(), 24u);

    // A failed read zeroes only its own value and leaves it out of the line.
    counters.Set(std::nullopt, 4096.0, std::nullopt);
    monitor.CalculatePerformance();
    EXPECT_DOUBLE_EQ(monitor.Samples().back().cpu, 0);
    EXPECT_DOUBLE_EQ(monitor.Samples().back().memory, 4096);
    EXPECT_TRUE(log.Contains(debug, "Collecting for zelko-plugin-executor  Memory (KB): 4KB"));
}

TEST_F(MonitorTest, FailedSetUpIsLoggedOnceAndEveryTickFails) {
    struct Case {
        const char* what;
        std::function<void(platform::ScopedFakePerfCounters&)> arrange;
        std::vector<const char*> set_up_lines;
    } cases[] = {
        {"open",
         [](auto& f) { f.SetOpenStatus(platform::kPdhInvalidArgument); },
         {"Failed to open PDH query."}},
        {"cpu and disk",
         [](auto& f) {
             f.SetAddStatus(u"% Processor Time", platform::kPdhCstatusNoCounter);
             f.SetAddStatus(u"IO Data Bytes/sec", platform::kPdhCstatusNoCounter);
         },
         {"Failed to add CPU counter.", "Failed to add disk counter.", "Failed to add counters."}},
        {"memory",
         [](auto& f) { f.SetAddStatus(u"Working Set", platform::kPdhCstatusNoCounter); },
         {"Failed to add memory counter.", "Failed to add counters."}},
    };
    for (const auto& c : cases) {
        zelko::testing::LogCapture lines;
        FakeCounters fake;
        c.arrange(fake.fake);
        fake.Set(50.0, 1024.0, 1.0);
        ProcessPerformanceMonitor monitor("zelko-plenar-agent-service", 24, 300);
        for (const char* line : c.set_up_lines)
            EXPECT_EQ(lines.Count(error, line), 1) << c.what << ": " << line;
        monitor.Start();
        monitor.CalculatePerformance();
        monitor.CalculatePerformance();
        EXPECT_EQ(lines.Count(error, "Failed to collect PDH query data."), 2) << c.what;
        EXPECT_TRUE(monitor.Samples().empty()) << c.what;
        monitor.Stop();
    }
    try {
        ProcessPerformanceMonitor unnamed("", 24, 300);
        ADD_FAILURE() << "a monitor without a name was made";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "process_name is empty");
    }
}

// Plug-ins of parallel collectors start and stop the executor's monitor from their own threads.
TEST_F(MonitorTest, StartAndStopFromSeveralThreadsAtOnce) {
    ProcessPerformanceMonitor monitor("zelko-plugin-executor", 7200, 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                monitor.Start();
                monitor.Stop();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(log.Count(debug, "ProcessPerformanceMonitor: Stop event signaled"), 100);
}

// Real counters: this test process, sampled every second.
TEST(MonitorOnThisProcessTest, FirstSampleAfterOneIntervalAndRestartsKeepTheSamples) {
    zelko::testing::LogCapture log;
    const std::string self = platform::ExecutablePath().stem().string();
    ProcessPerformanceMonitor monitor(self, 5, 1);
    const auto start = std::chrono::steady_clock::now();
    monitor.Start();
    ASSERT_TRUE(log.WaitFor(debug, "ProcessPerformanceMonitor: Collecting for " + self));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    auto samples = monitor.Samples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_GT(samples[0].memory, 0);
    EXPECT_GE(samples[0].cpu, 0);

    monitor.Start();  // the old thread ends first; what it sampled stays
    EXPECT_EQ(log.Count(debug, "ProcessPerformanceMonitor: Stop event signaled"), 1);
    EXPECT_GE(monitor.Samples().size(), 1u);
    monitor.Stop();
    EXPECT_EQ(log.Count(debug, "ProcessPerformanceMonitor: Stop event signaled"), 2);
    monitor.Stop();  // not running: only the timer is cancelled
}

class PerformanceCollectorTest : public ::testing::Test {
  protected:
    void Tick(const std::string& name, double cpu, double memory, double disk) {
        counters.Set(cpu * kProcessors, memory, disk);
        collector->GetPerformanceMonitor(name)->CalculatePerformance();
    }

    zelko::testing::LogCapture log;
    FakeCounters counters;
    std::shared_ptr<zelko::testing::FakeConnectivity> connectivity =
        std::make_shared<zelko::testing::FakeConnectivity>();
    std::unique_ptr<PerformanceCollector> collector =
        std::make_unique<PerformanceCollector>(connectivity, "$aws/rules/metrics/SNR-1");
};

TEST_F(PerformanceCollectorTest, RefusesANullModuleOrAnEmptyTopic) {
    for (const auto& [module, topic, text] :
         {std::tuple{std::shared_ptr<ConnectivityModule>(), std::string("t"), "connectivityModule is null"},
          std::tuple{std::shared_ptr<ConnectivityModule>(connectivity), std::string(),
                     "iot_pub_url is empty"}}) {
        try {
            PerformanceCollector refused(module, topic);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), text);
        }
    }
}

TEST_F(PerformanceCollectorTest, MessageOfTwoMonitorsThenEmptyBuffers) {
    collector->AddPerformanceMonitor("zelko-plugin-executor", 7200, 1);
    collector->AddPerformanceMonitor("zelko-plenar-agent-service", 24, 300);
    Tick("zelko-plenar-agent-service", 10, 1000, 100);
    Tick("zelko-plenar-agent-service", 30, 3000, 300);

    const int64_t july_noon_utc = 17198352000000000;
    platform::ScopedFakeClock clock(july_noon_utc + 123 * platform::kTicksPerMillisecond);
    EXPECT_FALSE(collector->Process());
    const auto published = connectivity->HttpPublished();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].first, "$aws/rules/metrics/SNR-1");
    EXPECT_EQ(published[0].second,
              R"({"data":{"end":"2024-07-01T12:00:00.123000Z","samples":[)"
              R"({"metrics":{"cpu":{"usage":20.0},"disk":{"usage":200.0},"memory":{"usage":2000.0}},)"
              R"("process":"zelko-plenar-agent-service"},)"
              R"({"metrics":{"cpu":{"usage":0.0},"disk":{"usage":0.0},"memory":{"usage":0.0}},)"
              R"("process":"zelko-plugin-executor"}]},"type":"com.zelko.pciot.metrics","version":1})");
    EXPECT_TRUE(log.Contains(logging::info, "PefromanceCollector message was submitted successfully"));
    EXPECT_TRUE(log.Contains(debug, "Process: zelko-plenar-agent-service CPU: 20 Memory: 2000 Disk: 200"));

    // A new period starts: a message right after holds zeros.
    EXPECT_FALSE(collector->Process());
    EXPECT_NE(connectivity->HttpPublished()[1].second.find(
                  R"({"metrics":{"cpu":{"usage":0.0},"disk":{"usage":0.0},"memory":{"usage":0.0}},)"
                  R"("process":"zelko-plenar-agent-service"})"),
              std::string::npos);
}

TEST_F(PerformanceCollectorTest, PublishOutcomes) {
    collector->AddPerformanceMonitor("zelko-plenar-agent-service", 24, 300);
    const shared::error::Error refused(ErrorCategory::EC_Network, 7, "refused", "curl", "iot");
    struct Case {
        int32_t http;
        int32_t iot;
        shared::error::Error error;
        bool accepted;
        shared::error::Error expected;
    } cases[] = {
        {0, 0, {}, true, {}},
        {200, 0, {}, true, {}},
        {500,
         0,
         {},
         false,
         {ErrorCategory::EC_Component, 500, "Server result code indicates error ", "int",
          "PeformanceCollector"}},
        {200,
         3,
         {},
         false,
         {ErrorCategory::EC_Component, 200, "Server result code indicates error ", "int",
          "PeformanceCollector"}},
        {200, 0, refused, false, refused},
    };
    for (const auto& c : cases) {
        Tick("zelko-plenar-agent-service", 10, 1000, 100);
        const size_t held = collector->GetPerformanceMonitor("zelko-plenar-agent-service")->Samples().size();
        connectivity->SetPubByHttpResult({c.http, c.iot, std::nullopt, c.error});
        zelko::testing::LogCapture lines;
        EXPECT_EQ(collector->Process(), c.expected) << c.http << "/" << c.iot;
        const size_t after = collector->GetPerformanceMonitor("zelko-plenar-agent-service")->Samples().size();
        if (c.accepted) {
            EXPECT_EQ(after, 0u);
        } else {
            EXPECT_EQ(after, held) << "samples kept for the next message";
            EXPECT_TRUE(lines.Contains(error, "PefromanceCollector message publishing failed with code : "));
            EXPECT_TRUE(lines.Contains(error, c.expected.what()));
        }
    }
}

TEST_F(PerformanceCollectorTest, MonitorsByName) {
    collector->AddPerformanceMonitor("zelko-plenar-agent-service", 24, 300);
    const auto first = collector->GetPerformanceMonitor("zelko-plenar-agent-service");
    collector->AddPerformanceMonitor("zelko-plenar-agent-service", 7200, 1);
    EXPECT_EQ(collector->GetPerformanceMonitor("zelko-plenar-agent-service"), first);
    EXPECT_EQ(log.Count(logging::warning, "Monitor for process zelko-plenar-agent-service already exists"),
              1);
    EXPECT_EQ(collector->GetPerformanceMonitor("zelko-plugin-executor"), nullptr);
    EXPECT_THROW(collector->AddPerformanceMonitor("", 24, 300), std::invalid_argument);
    EXPECT_EQ(collector->GetPerformanceMonitor(""), nullptr);

    // The collector's end stops a running monitor.
    first->Start();
    collector.reset();
    EXPECT_TRUE(log.Contains(debug, "ProcessPerformanceMonitor: Stop event signaled"));
}

}  // namespace
}  // namespace zelko::plenar::agent
