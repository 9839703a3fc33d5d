#include "platform/steady_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace zelko::platform {
namespace {

using namespace std::chrono_literals;

TEST(SteadyClockTest, FakeTimeEndsWaitsAtTheirDeadline) {
    ScopedFakeSteadyClock clock(0);
    EXPECT_EQ(SteadyNowNanos(), 0);
    SteadyWaiter waiter;
    std::atomic<int> result{-1};
    std::thread sleeper([&] { result = waiter.WaitUntil(60'000'000'000, [] { return false; }) ? 1 : 0; });
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.Advance(59s);
    EXPECT_EQ(result.load(), -1);
    clock.Advance(1s);
    sleeper.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(SteadySleepers(), 0u);
}

TEST(SteadyClockTest, PredicateEndsTheWaitWhenNotified) {
    ScopedFakeSteadyClock clock(0);
    SteadyWaiter waiter;
    std::atomic<bool> flag{false};
    std::atomic<int> result{-1};
    std::thread sleeper(
        [&] { result = waiter.WaitUntil(60'000'000'000, [&] { return flag.load(); }) ? 1 : 0; });
    ASSERT_TRUE(clock.WaitForSleepers(1));
    flag = true;
    waiter.NotifyAll();
    sleeper.join();
    EXPECT_EQ(result.load(), 1);
}

TEST(SteadyClockTest, RealClockIsMonotonicAndWaitsEnd) {
    int64_t a = SteadyNowNanos();
    SteadyWaiter waiter;
    EXPECT_FALSE(waiter.WaitUntil(SteadyNowNanos() + 5'000'000, [] { return false; }));
    EXPECT_GE(SteadyNowNanos() - a, 5'000'000);
}

}  // namespace
}  // namespace zelko::platform
