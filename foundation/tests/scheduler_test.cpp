#include "foundation/scheduler.h"

#include <gtest/gtest.h>

#include <thread>

#include "foundation/tests/scheduler_test_util.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using testing::Drain;
using testing::Gate;
using testing::LogCapture;
using testing::Recorder;

class SchedulerTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        scheduler = std::make_unique<Scheduler>("", scratch());
    }
    void TearDown() override { scheduler.reset(); }

    bool DrainScheduler() { return Drain(*scheduler->timedScheduler); }
    void Advance(Duration d) { clock.Advance(d.count()); }

    platform::ScopedFakeClock clock{testing::kStartTicks};
    Recorder ran;
    std::unique_ptr<Scheduler> scheduler;
};

TEST_F(SchedulerTest, PostsRunInDueOrderAndAZeroDelayFromTheWorkerRunsAfterTheCurrentCallable) {
    Gate posted;
    scheduler->In(0s, [&] { posted.Wait(); });  // the worker waits until everything is posted
    scheduler->In(10s, [this] { ran.Add("ten"); });
    scheduler->In(WallClock::now() + 5s, [this] { ran.Add("five"); });
    scheduler->In(0s, [this] {
        scheduler->In(0s, [this] { ran.Add("nested"); });
        ran.Add("outer");
    });
    scheduler->In(0s, [this] { ran.Add("second"); });
    posted.Open();
    ASSERT_TRUE(DrainScheduler());
    Advance(10s);
    ASSERT_TRUE(DrainScheduler());
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"outer", "second", "nested", "five", "ten"}));
}

TEST_F(SchedulerTest, IntervalRunsAtOnceThenOnePeriodAfterTheEndOfEachRun) {
    scheduler->Interval(1min, [this] {
        ran.Add("tick");
        clock.Advance(Duration(20s).count());  // each run takes 20 s
    });
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(DrainScheduler());
    Advance(59s);
    ASSERT_TRUE(DrainScheduler());
    EXPECT_EQ(ran.Size(), 1u);
    Advance(1s);
    ASSERT_TRUE(ran.WaitForSize(2));
}

TEST_F(SchedulerTest, NothingPostedBeforeOrAfterDestroyRunsExceptWorkPostedStraightOnTheTimedScheduler) {
    LogCapture log;
    Gate release;
    scheduler->In(0s, [&] { release.Wait(); });  // keeps the worker busy
    scheduler->In(0s, [this] { ran.Add("queued before destroyed"); });
    scheduler->In(1h, [this] { ran.Add("later"); });
    scheduler->Interval(1s, [this] { ran.Add("interval"); });

    // The service's stop path: mark destroyed, run the teardown straight on the timed scheduler.
    scheduler->destroyed.exchange(true);
    scheduler->In(0s, [this] { ran.Add("after destroyed"); });
    scheduler->timedScheduler->run_after(Duration(0), [this] { ran.Add("teardown"); });
    release.Open();
    ASSERT_TRUE(ran.WaitForSize(1));

    std::thread stopper([this] { scheduler->Destroy(); });
    stopper.join();
    scheduler->In(0s, [this] { ran.Add("after Destroy"); });
    scheduler->Interval(1s, [this] { ran.Add("after Destroy"); });
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"teardown"}));
    EXPECT_TRUE(log.Contains(logging::info, "Scheduler terminating..."));
    EXPECT_TRUE(log.Contains(logging::info, "Scheduler fully destroyed."));
}

TEST_F(SchedulerTest, RepeatingTaskRunsOneIntervalAfterTheEndOfEachRunUntilItsOwnerLetsGo) {
    std::vector<TimePoint> starts;
    std::mutex mutex;
    auto task = std::make_shared<Task>(
        [&] {
            {
                std::lock_guard lock(mutex);
                starts.push_back(WallClock::now());
            }
            clock.Advance(Duration(5s).count());  // the action takes 5 s
            ran.Add("run");
        },
        Duration(10s), true);
    scheduler->AddTask(task);
    ASSERT_TRUE(DrainScheduler());
    EXPECT_EQ(ran.Size(), 0u) << "the first run comes one interval after AddTask";
    Advance(10s);
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(DrainScheduler());
    Advance(10s);
    ASSERT_TRUE(ran.WaitForSize(2));
    ASSERT_TRUE(DrainScheduler());
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(starts.size(), 2u);
        EXPECT_EQ(starts[1] - starts[0], Duration(15s));
    }

    task.reset();
    Advance(1h);
    ASSERT_TRUE(DrainScheduler());
    EXPECT_EQ(ran.Size(), 2u);

    scheduler->AddTask(std::weak_ptr<Task>());  // nothing to post
    ASSERT_TRUE(DrainScheduler());
}

TEST_F(SchedulerTest, AnOwnerLettingGoDuringARunLetsTheRunFinishAndTheNextStepDoesNothing) {
    Gate started, release;
    auto task = std::make_shared<Task>(
        [&] {
            started.Open();
            release.Wait();
            ran.Add("run");
        },
        Duration(1s), true);
    scheduler->AddTask(task);
    Advance(1s);
    ASSERT_TRUE(started.Wait());
    task.reset();
    release.Open();
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(DrainScheduler());
    Advance(1s);
    ASSERT_TRUE(DrainScheduler());
    EXPECT_EQ(ran.Size(), 1u);
}

TEST_F(SchedulerTest, AThrowingActionOrCallableEndsOnlyItsOwnRun) {
    auto task = std::make_shared<Task>([] { throw std::runtime_error("task"); }, Duration(1s), true);
    scheduler->AddTask(task);
    std::atomic<int> interval_runs{0};
    scheduler->Interval(1s, [&] {
        ++interval_runs;
        throw 1;
    });
    scheduler->In(0s, [] { throw std::runtime_error("in"); });
    scheduler->In(2s, [this] { ran.Add("still running"); });
    Advance(5s);
    ASSERT_TRUE(ran.WaitForSize(1));
    ASSERT_TRUE(DrainScheduler());
    EXPECT_EQ(interval_runs.load(), 1);
}

TEST_F(SchedulerTest, DestroyedWithoutDestroyItSkipsWhatIsQueuedAndStopsBeforeItsMembersGo) {
    Gate started, release;
    auto task = std::make_shared<Task>([this] { ran.Add("task"); }, Duration(0s), true);
    scheduler->In(0s, [&] {
        started.Open();
        release.Wait();
        ran.Add("running");
    });
    scheduler->In(0s, [this] {
        ran.Add("queued");
        scheduler->In(0s, [] {});
    });
    scheduler->AddTask(task);
    ASSERT_TRUE(started.Wait());
    Scheduler* raw = scheduler.get();
    std::thread owner([this] { scheduler.reset(); });
    // The destructor marks the scheduler destroyed before it waits for the busy worker.
    const auto limit = std::chrono::steady_clock::now() + testing::kWaitLimit;
    while (!raw->destroyed.load() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    release.Open();
    owner.join();
    EXPECT_EQ(ran.Items(), (std::vector<std::string>{"running"}));
}

TEST_F(SchedulerTest, PostingFromManyThreadsWhileItIsDestroyedIsSafe) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int i = 0; i < 3; ++i) {
        posters.emplace_back([&] {
            while (!stop.load()) scheduler->In(0s, [] {});
        });
    }
    scheduler->In(0s, [this] { ran.Add("one"); });
    ASSERT_TRUE(ran.WaitForSize(1));
    scheduler->Destroy();
    stop = true;
    for (auto& poster : posters) poster.join();
}

TEST(SchedulerPathsTest, FilesLiveBesideTheExecutableAndAMissingFolderIsLogged) {
    zelko::testing::TempSystemRoot root;
    Scheduler telemetry("-telemetry", root.path());
    EXPECT_EQ(telemetry.ConfigPath(),
              root.path() / "Configuration Files" / "zelko-scheduler-telemetry-config.json");
    EXPECT_EQ(telemetry.StatePath(), root.path() / "zelko-plenar-schedule-telemetry-state.json");

    LogCapture log;
    Scheduler lost("", root.path() / "missing");
    EXPECT_TRUE(lost.ConfigPath().empty());
    EXPECT_TRUE(lost.StatePath().empty());
    EXPECT_TRUE(log.Contains(logging::error, "Cannot get the folder path - GetLastError: "));

    Scheduler own("");
    EXPECT_EQ(own.StatePath().filename(), "zelko-plenar-schedule-state.json");
}

}  // namespace
}  // namespace zelko::plenar::agent
