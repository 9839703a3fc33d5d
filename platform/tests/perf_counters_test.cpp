// Performance counters read from /proc for this test process, counter paths, and the waitable timer
// that drives the samplers.

#include "platform/perf_counters.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/paths.h"
#include "platform/waitable_timer.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::pair<PdhStatus, double> Read(PdhCounter counter, uint32_t format = kPdhFmtDouble) {
    PdhFmtCounterValue value{};
    const PdhStatus status = PdhGetFormattedCounterValue(counter, format, nullptr, &value);
    if (status != kPdhOk) return {status, value.CStatus};
    return {status, format == kPdhFmtLarge ? static_cast<double>(value.largeValue) : value.doubleValue};
}

class PerfCountersTest : public zelko::testing::SystemRootTest {};

TEST_F(PerfCountersTest, ThisProcessByItsExecutableNameAndAProcessThatDoesNotRun) {
    const std::string self = ExecutablePath().stem().string();
    ASSERT_GT(self.size(), 15u);  // longer than the kernel keeps in comm
    PdhQuery query = nullptr;
    ASSERT_EQ(PdhOpenQuery(nullptr, 0, &query), kPdhOk);
    PdhCounter cpu, memory, io, missing, total;
    ASSERT_EQ(PdhAddCounter(query, (u"\\Process(" + Wide(self) + u")\\% Processor Time").c_str(), 0, &cpu),
              kPdhOk);
    ASSERT_EQ(PdhAddCounter(query, (u"\\process(" + Wide(self) + u")\\working set").c_str(), 0, &memory),
              kPdhOk);
    ASSERT_EQ(PdhAddCounter(query, (u"\\Process(" + Wide(self) + u")\\IO Data Bytes/sec").c_str(), 0, &io),
              kPdhOk);
    ASSERT_EQ(PdhAddCounter(query, u"\\Process(zelko-plugin-executor)\\Working Set", 0, &missing), kPdhOk);
    ASSERT_EQ(PdhAddCounter(query, u"\\Processor(_Total)\\% Processor Time", 0, &total), kPdhOk);

    ASSERT_EQ(PdhCollectQueryData(query), kPdhOk);
    EXPECT_GT(Read(memory, kPdhFmtLarge).second, 0);
    EXPECT_EQ(Read(cpu).first, kPdhInvalidData);  // a rate needs two readings
    EXPECT_EQ(Read(missing), std::make_pair(kPdhInvalidData, double{kPdhCstatusNoInstance}));

    // Work and write between the readings, so both rates have something to show.
    volatile double sink = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (std::chrono::steady_clock::now() < until) sink = sink + 1;
    std::ofstream(scratch() / "io.bin") << std::string(1 << 20, 'x');

    ASSERT_EQ(PdhCollectQueryData(query), kPdhOk);
    const auto [cpu_status, cpu_percent] = Read(cpu);
    EXPECT_EQ(cpu_status, kPdhOk);
    EXPECT_GT(cpu_percent, 10.0);
    EXPECT_GT(Read(io).second, 1 << 20);
    EXPECT_EQ(Read(total).first, kPdhOk);
    EXPECT_EQ(Read(missing).first, kPdhInvalidData);

    EXPECT_EQ(PdhCloseQuery(query), kPdhOk);
    EXPECT_EQ(PdhCloseQuery(query), kPdhInvalidHandle);
    EXPECT_EQ(PdhCollectQueryData(query), kPdhInvalidHandle);
    EXPECT_EQ(Read(memory).first, kPdhInvalidHandle);
    EXPECT_GE(GetSystemInfo().dwNumberOfProcessors, 1u);
}

TEST_F(PerfCountersTest, CounterPaths) {
    PdhQuery query = nullptr;
    ASSERT_EQ(PdhOpenQuery(nullptr, 0, &query), kPdhOk);
    PdhCounter counter = nullptr;
    EXPECT_EQ(PdhCollectQueryData(query), kPdhNoData);
    const std::pair<const char16_t*, PdhStatus> cases[] = {
        {u"", kPdhCstatusBadCountername},
        {u"Process(x)\\Working Set", kPdhCstatusBadCountername},
        {u"\\Process(x\\Working Set", kPdhCstatusBadCountername},
        {u"\\Process()\\Working Set", kPdhCstatusBadCountername},
        {u"\\Process(x)\\", kPdhCstatusBadCountername},
        {u"\\Memory\\Available Bytes", kPdhCstatusNoObject},
        {u"\\Process(x)\\Handle Count", kPdhCstatusNoCounter},
        {u"\\Processor(3)\\% Processor Time", kPdhCstatusNoInstance},
        {u"\\PROCESSOR(_total)\\% processor time", kPdhOk},
    };
    for (const auto& [path, status] : cases) {
        EXPECT_EQ(PdhAddCounter(query, path, 0, &counter), status)
            << std::string(path, path + std::char_traits<char16_t>::length(path));
    }
    EXPECT_EQ(PdhAddCounter(nullptr, u"\\Process(x)\\Working Set", 0, &counter), kPdhInvalidHandle);
    EXPECT_EQ(PdhOpenQuery(u"log.blg", 0, &query), kPdhInvalidArgument);
    PdhCloseQuery(query);
}

TEST(WaitableTimerTest, SignalsAfterItsDueTimeThenEveryPeriodUntilCancelled) {
    auto timer = WaitableTimer::Create();
    ASSERT_TRUE(timer);
    EXPECT_EQ(WaitForSingleObject(*timer, 0), kWaitTimeout);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(timer->Set(-200'000, 30));  // 20 ms, then every 30 ms
    EXPECT_EQ(WaitForSingleObject(*timer, 2000), kWaitObject0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(WaitForSingleObject(*timer, 2000), kWaitObject0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    ASSERT_TRUE(timer->Cancel());
    timer->TryAcquire();  // a signal that came before the cancel
    EXPECT_EQ(WaitForSingleObject(*timer, 100), kWaitTimeout);
}

}  // namespace
}  // namespace zelko::platform
