#include "foundation/timed_scheduler.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "foundation/tests/scheduler_test_util.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using testing::Drain;
using testing::Gate;
using testing::Recorder;

class TimedSchedulerTest : public ::testing::Test {
  protected:
    TimePoint Now() const { return WallClock::now(); }

    platform::ScopedFakeClock clock{testing::kStartTicks};
    Recorder ran;
};

TEST_F(TimedSchedulerTest, EqualTimesRunInInsertionOrderAndPastTimesRunAtOnce) {
    TimedTaskScheduler scheduler(1);
    const TimePoint due = Now() + 10s;
    for (const char* name : {"a", "b", "c"}) scheduler.run_at(due, [this, name] { ran.Add(name); });
    scheduler.run_at(due - 1s, [this] { ran.Add("earlier"); });
    scheduler.run_at(Now() - 1h, [this] { ran.Add("past"); });
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"past"}));

    clock.Advance(Duration(10s).count());
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"past", "earlier", "a", "b", "c"}));
}

TEST_F(TimedSchedulerTest, NothingRunsBeforeItsTimeAndAdvancingTheClockWakesTheManager) {
    TimedTaskScheduler scheduler(1);
    scheduler.run_after(1min, [this] { ran.Add("late"); });
    scheduler.run_after(30s, [this] { ran.Add("early"); });
    clock.Advance(Duration(29s).count());
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(ran.Size(), 0u);
    clock.Advance(Duration(1s).count());
    ASSERT_TRUE(ran.WaitForSize(1));
    clock.Advance(Duration(30s).count());
    ASSERT_TRUE(ran.WaitForSize(2));
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"early", "late"}));
}

TEST_F(TimedSchedulerTest, RunEveryStartsAtOnceAndCountsThePeriodFromTheEndOfEachRun) {
    TimedTaskScheduler scheduler(1);
    std::vector<TimePoint> starts;
    std::mutex mutex;
    scheduler.run_every(10s, [&] {
        {
            std::lock_guard lock(mutex);
            starts.push_back(Now());
        }
        clock.Advance(Duration(5s).count());  // each run takes 5 s of virtual time
        ran.Add("run");
    });
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(Drain(scheduler));        // the run has ended and put itself back
    clock.Advance(Duration(9s).count());  // 14 s after the first start: not yet due
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(ran.Size(), 1u);
    clock.Advance(Duration(1s).count());
    ASSERT_TRUE(ran.WaitForSize(2));
    ASSERT_TRUE(Drain(scheduler));
    std::lock_guard lock(mutex);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1] - starts[0], Duration(15s));
}

TEST_F(TimedSchedulerTest, LongTaskDelaysDueTasksWhichThenRunOnceEachInDueOrder) {
    TimedTaskScheduler scheduler(1);
    std::atomic<int> every_runs{0};
    const TimePoint start = Now();
    scheduler.run_at(start + 20min, [this] { ran.Add("twenty"); });
    scheduler.run_at(start + 10min, [this] { ran.Add("ten"); });
    scheduler.run_at(start, [this] {
        ran.Add("long");
        clock.Advance(Duration(1h).count());  // an hour passes while the worker is busy
    });
    ASSERT_TRUE(ran.WaitForSize(3));
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"long", "ten", "twenty"}));

    scheduler.run_every(1min, [&] { ++every_runs; });
    ASSERT_TRUE(Drain(scheduler));
    scheduler.run_at(Now(), [this] { clock.Advance(Duration(10min).count()); });
    ASSERT_TRUE(Drain(scheduler));  // the clock has moved
    ASSERT_TRUE(Drain(scheduler));  // and what fell due meanwhile has run
    EXPECT_EQ(every_runs.load(), 2) << "an every-task does not catch up on missed periods";
}

TEST_F(TimedSchedulerTest, ThrowingTasksAreDroppedAndAThrowingEveryTaskStops) {
    TimedTaskScheduler scheduler(1);
    std::atomic<int> every_runs{0};
    scheduler.run_every(1s, [&] {
        ++every_runs;
        throw std::runtime_error("boom");
    });
    scheduler.run_after(0s, [] { throw 5; });
    scheduler.run_after(0s, std::function<void()>());  // empty callable
    scheduler.run_after(0s, [this] { ran.Add("after"); });
    ASSERT_TRUE(ran.WaitForSize(1));
    clock.Advance(Duration(10s).count());
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(every_runs.load(), 1);
}

TEST_F(TimedSchedulerTest, DestructionRunsQueuedJobsAndDropsFutureEntries) {
    Gate started, release;
    std::atomic<bool> future_ran{false};
    auto scheduler = std::make_unique<TimedTaskScheduler>(1);
    scheduler->run_after(0s, [&] {
        started.Open();
        release.Wait();
        ran.Add("blocking");
    });
    scheduler->run_after(0s, [this] { ran.Add("queued"); });
    scheduler->run_after(1h, [&] { future_ran = true; });
    scheduler->run_every(1s, [this] { ran.Add("every"); });
    ASSERT_TRUE(started.Wait());

    std::thread destroyer([&] { scheduler.reset(); });
    release.Open();
    destroyer.join();
    // Once the manager has ended, its thread takes queued jobs too, so the order is open here.
    auto items = ran.Items();
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{"blocking", "every", "queued"}));
    EXPECT_FALSE(future_ran.load());
}

TEST_F(TimedSchedulerTest, AWakeWithNothingDueRunsNothing) {
    TimedTaskScheduler scheduler(1);
    scheduler.wake_manager();
    scheduler.run_after(1h, [this] { ran.Add("x"); });
    scheduler.wake_manager();
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(ran.Size(), 0u);
}

TEST(TimedSchedulerRealClockTest, RunsOnTheRealClockAndManyThreadsCanScheduleConcurrently) {
    TimedTaskScheduler scheduler(1);
    Recorder ran;
    scheduler.run_after(20ms, [&] { ran.Add("timed"); });
    constexpr int kThreads = 4, kEach = 500;
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                scheduler.run_after(Duration(0), [&] {
                    // A running task may post onto its own scheduler.
                    if (count.fetch_add(1) % 100 == 0)
                        scheduler.run_after(Duration(0), [&] { ran.Add("nested"); });
                });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(ran.WaitForSize(1 + kThreads * kEach / 100));
    ASSERT_TRUE(Drain(scheduler));
    EXPECT_EQ(count.load(), kThreads * kEach);
}

// Waiting for an entry is one sleep until its time, not a loop of short waits: while the only
// entry is still ahead, the process spends next to no processor time and hardly switches threads.
TEST(TimedSchedulerRealClockTest, WaitingForADistantEntryNeitherSpinsNorPolls) {
    TimedTaskScheduler scheduler(1);
    ASSERT_TRUE(Drain(scheduler));  // threads are up and idle
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    Recorder ran;
    scheduler.run_after(300ms, [&] { ran.Add("due"); });
    ASSERT_TRUE(ran.WaitForSize(1));
    const auto waited = std::chrono::steady_clock::now() - start;
    ::getrusage(RUSAGE_SELF, &after);
    ASSERT_GE(waited, 290ms);
    auto micros = [](const timeval& t) { return int64_t{t.tv_sec} * 1'000'000 + t.tv_usec; };
    const int64_t cpu =
        micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime) - micros(before.ru_stime);
    EXPECT_LT(cpu, 50'000) << "microseconds of processor time";
    // The test thread, the manager and the worker each wake about once; a 10 ms poll would be ~30.
    EXPECT_LT(after.ru_nvcsw - before.ru_nvcsw, 12);
}

TEST(TimedSchedulerRealClockTest, SeveralWorkersShareTheDueTasks) {
    TimedTaskScheduler scheduler(3);
    Gate all_in;
    std::atomic<int> inside{0};
    Recorder ran;
    for (int i = 0; i < 3; ++i) {
        scheduler.run_after(Duration(0), [&] {
            if (++inside == 3) all_in.Open();
            ran.Add(all_in.Wait() ? "together" : "alone");
        });
    }
    ASSERT_TRUE(ran.WaitForSize(3));
    EXPECT_EQ(ran.Items(), (std::vector<std::string>(3, "together")));
}

}  // namespace
}  // namespace zelko::plenar::agent
