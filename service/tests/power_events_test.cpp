#include "service/power_events.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <fstream>
#include <system_error>

#include "platform/clock.h"
#include "testing/log_capture.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;

// Records what the power reaction does to the service, in order.
class HookRecorder {
  public:
    PowerEvents::Hooks Hooks() {
        PowerEvents::Hooks h;
        h.control = [this](uint32_t c, uint32_t t) {
            Add("control " + std::to_string(c) + " " + std::to_string(t));
        };
        h.stopping = [this] { return stopping.load(); };
        h.startup_grace_done = [this] { return startup_grace_done.load(); };
        h.record_startup_wake = [this](int64_t s) {
            startup_wake_time = s;
            Add("startup wake");
        };
        h.sleep_event = [this](bool set, int* error) {
            Add(set ? "sleep event set" : "sleep event reset");
            if (fail_sleep_event && error) *error = 5;
            return !fail_sleep_event;
        };
        h.wake_scheduler = [this] { Add("wake scheduler"); };
        h.after_grace = [this] { Add("after grace"); };
        return h;
    }

    void Add(std::string what) {
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(std::move(what));
        }
        cv_.notify_all();
    }

    std::vector<std::string> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    size_t Count(const std::string& what) {
        std::lock_guard lock(mutex_);
        return std::count(seen_.begin(), seen_.end(), what);
    }

    bool WaitFor(const std::string& what, size_t times = 1, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout,
                            [&] { return std::count(seen_.begin(), seen_.end(), what) >= (long)times; });
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        seen_.clear();
    }

    std::atomic<bool> stopping{false};
    std::atomic<bool> startup_grace_done{true};
    std::atomic<bool> fail_sleep_event{false};
    std::atomic<int64_t> startup_wake_time{0};

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> seen_;
};

class PowerEventsTest : public ::testing::Test {
  protected:
    std::vector<uint8_t> Standby(uint8_t value) {
        return platform::MakePowerBroadcastSetting(platform::kModernStandbySetting, {value});
    }
    uint32_t Modern(const std::vector<uint8_t>& record, uint32_t type = platform::kPbtPowerSettingChange) {
        return power.ModernSuspendResumeCallbackImpl(
            type, reinterpret_cast<const platform::PowerBroadcastSetting*>(record.data()));
    }

    platform::ScopedFakeSteadyClock clock{0};
    HookRecorder hooks;
    std::atomic<bool> is_sleeping{false};
    std::atomic<bool> new_wakeup{false};
    std::atomic<bool> in_wake_grace{false};
    std::atomic<int64_t> grace_start{0};
    zelko::testing::LogCapture log;
    PowerEvents power{{is_sleeping, new_wakeup, in_wake_grace, grace_start}, hooks.Hooks()};
};

TEST_F(PowerEventsTest, SuspendStopsCollectorsBeforeThePowerEvent) {
    EXPECT_EQ(power.SuspendResumeCallback(platform::kPbtApmSuspend), 0u);
    EXPECT_EQ(hooks.Seen(), (std::vector<std::string>{"control 251 0", "control 13 4"}));
    EXPECT_TRUE(is_sleeping.load());
    EXPECT_EQ(power.SuspendResumeCallback(99), 0u);  // other types: nothing
    EXPECT_EQ(hooks.Seen().size(), 2u);
}

TEST_F(PowerEventsTest, ResumeSendsItsEventAtOnceAndResumesCollectorsAfterTheGrace) {
    power.SuspendResumeCallback(platform::kPbtApmSuspend);
    hooks.Clear();
    power.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    EXPECT_FALSE(is_sleeping.load());
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_TRUE(in_wake_grace.load());
    clock.Advance(59s);
    EXPECT_EQ(hooks.Seen(), (std::vector<std::string>{"control 13 18"}));

    clock.Advance(1s);
    ASSERT_TRUE(hooks.WaitFor("after grace"));
    EXPECT_EQ(hooks.Seen(),
              (std::vector<std::string>{"control 13 18", "wake scheduler", "control 252 0", "after grace"}));
    EXPECT_FALSE(in_wake_grace.load());
    EXPECT_EQ(log.Count(logging::info, "Grace Period: waiting for 60 sec after exit from sleep"), 1);
}

TEST_F(PowerEventsTest, SecondWakeupInsideTheGraceRestartsIt) {
    power.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.Advance(30s);
    power.SuspendResumeCallback(platform::kPbtApmResumeSuspend);  // the user's wake-up follows
    EXPECT_TRUE(new_wakeup.load());
    // Both graces now sleep the further 60 seconds, counted from the second wake-up.
    clock.Advance(59s);
    EXPECT_EQ(hooks.Count("control 252 0"), 0u);
    clock.Advance(1s);
    ASSERT_TRUE(hooks.WaitFor("control 252 0", 2));
    ASSERT_TRUE(hooks.WaitFor("after grace", 2));
    EXPECT_EQ(log.Count(logging::info,
                        "Grace Period: New wakeup detected while in grace period...resetting wait "
                        "timer to wait for 60 seconds"),
              2u);
    EXPECT_TRUE(log.Contains(logging::debug, "Grace Period: Future is in progress"));
}

TEST_F(PowerEventsTest, SuspendInsideTheGraceCancelsIt) {
    power.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    ASSERT_TRUE(clock.WaitForSleepers(1));
    power.SuspendResumeCallback(platform::kPbtApmSuspend);
    clock.Advance(60s);
    power.Stop();  // joins the task
    EXPECT_EQ(hooks.Count("control 252 0"), 0u);
    EXPECT_EQ(hooks.Count("after grace"), 0u);
    EXPECT_TRUE(is_sleeping.load());
    EXPECT_TRUE(log.Contains(logging::info, "Grace Period: graceful start wait over, device in sleep"));
}

TEST_F(PowerEventsTest, StopEndsEveryGraceWaitAtOnce) {
    // One task in its first wait, two in the further sleep after a second wake-up.
    power.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    ASSERT_TRUE(clock.WaitForSleepers(1));
    power.SuspendResumeCallback(platform::kPbtApmResumeSuspend);
    ASSERT_TRUE(log.WaitFor(logging::info, "Grace Period: New wakeup detected while in grace period...resetting "
                                           "wait timer to wait for 60 seconds"));
    const auto started = std::chrono::steady_clock::now();
    hooks.stopping = true;
    power.Stop();  // no virtual time passes
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(platform::SteadySleepers(), 0u);
    // Wake-ups after the stop start nothing.
    power.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    EXPECT_EQ(platform::SteadySleepers(), 0u);
}

TEST_F(PowerEventsTest, HandleSurvivesWakeupsFromSeveralThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) power.UpdateSleepState();
        });
    }
    for (auto& t : threads) t.join();
    // Every task ends on its own, clearing the handle while others replace it. Tasks may still be on
    // their way into their waits, so time moves until all have ended.
    bool all_ended = false;
    for (int i = 0; i < 200 && !all_ended; ++i) {
        clock.Advance(60s);
        all_ended = hooks.WaitFor("after grace", 40, 20ms);
    }
    ASSERT_TRUE(all_ended);
    power.UpdateSleepState();  // reaps the finished tasks
    power.Stop();
    EXPECT_EQ(hooks.Count("control 252 0"), 41u);
}

TEST_F(PowerEventsTest, ModernStandbyEntryAndExit) {
    Modern(Standby(1));
    EXPECT_EQ(hooks.Seen(),
              (std::vector<std::string>{"sleep event set", "control 13 32787", "control 251 0"}));
    EXPECT_TRUE(is_sleeping.load());
    hooks.Clear();

    Modern(Standby(0));
    EXPECT_FALSE(is_sleeping.load());
    EXPECT_EQ(hooks.Seen(), (std::vector<std::string>{"sleep event reset", "control 13 32787"}));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    hooks.Clear();

    // Entering again while the grace waits: no urgent stop.
    Modern(Standby(1));
    EXPECT_EQ(hooks.Seen(), (std::vector<std::string>{"sleep event set", "control 13 32787"}));
    power.Stop();
}

TEST_F(PowerEventsTest, ModernStandbyExitDuringStartUpOnlyRecordsTheTime) {
    hooks.startup_grace_done = false;
    platform::ScopedFakeClock wall(1'700'000'000LL * platform::kTicksPerSecond);
    Modern(Standby(0));
    EXPECT_EQ(hooks.Seen(), (std::vector<std::string>{"sleep event reset", "startup wake"}));
    EXPECT_EQ(hooks.startup_wake_time.load(), 1'700'000'000);
    EXPECT_EQ(platform::SteadySleepers(), 0u);
    EXPECT_TRUE(log.Contains(logging::info, "Grace Period: service is starting - fast sleep"));
}

TEST_F(PowerEventsTest, OtherSettingsAndBrokenRecordsAreIgnored) {
    hooks.fail_sleep_event = true;
    Modern(Standby(1), platform::kPbtApmSuspend);
    Modern(platform::MakePowerBroadcastSetting(platform::kAcDcPowerSourceSetting, {1}));
    Modern(platform::MakePowerBroadcastSetting(platform::kModernStandbySetting, {}));
    Modern(Standby(7));
    EXPECT_EQ(power.ModernSuspendResumeCallbackImpl(platform::kPbtPowerSettingChange, nullptr), 0u);
    EXPECT_TRUE(hooks.Seen().empty());

    // A failed event update is logged and changes nothing else.
    Modern(Standby(1));
    EXPECT_TRUE(log.Contains(logging::warning, "Grace Period: set event failed for modern sleep5"));
    EXPECT_TRUE(is_sleeping.load());
}


size_t ThreadCount() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
    }
    return 0;
}

TEST_F(PowerEventsTest, BurstOfWakeupsWaitsOnOneThread) {
    // One thread for the graces; a sanitizer's runtime may start one of its own meanwhile.
    const size_t before = ThreadCount();
    for (int i = 0; i < 2000; ++i) power.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    EXPECT_LE(ThreadCount(), before + 2);
    // Every wake-up keeps its own grace: each ends with its own 252 after the last wake-up's minute.
    clock.Advance(59s);
    EXPECT_EQ(hooks.Count("control 252 0"), 0u);
    clock.Advance(1s);
    ASSERT_TRUE(hooks.WaitFor("control 252 0", 2000));
    power.Stop();
    EXPECT_LE(ThreadCount(), before + 1);
    EXPECT_EQ(hooks.Count("after grace"), 2000u);
}

TEST_F(PowerEventsTest, GraceThreadThatCannotStartResumesTheCollectorsAtOnce) {
    std::atomic<bool> fail{true};
    auto h = hooks.Hooks();
    h.start_thread = [&](std::function<void()> body) {
        if (fail) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    PowerEvents failing{{is_sleeping, new_wakeup, in_wake_grace, grace_start}, h};
    failing.SuspendResumeCallback(platform::kPbtApmResumeAutomatic);
    EXPECT_EQ(hooks.Seen(),
              (std::vector<std::string>{"control 13 18", "wake scheduler", "control 252 0", "after grace"}));
    EXPECT_FALSE(in_wake_grace.load());
    EXPECT_TRUE(log.Contains(logging::error, "Grace Period: cannot start the grace wait, resuming at once: "));
    // The next wake-up that can start the thread waits as usual.
    fail = false;
    hooks.Clear();
    failing.UpdateSleepState();
    EXPECT_TRUE(in_wake_grace.load());
    clock.Advance(60s);
    ASSERT_TRUE(hooks.WaitFor("after grace"));
}

}  // namespace
}  // namespace zelko::plenar::agent
