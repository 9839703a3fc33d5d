#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ratio>

#include "foundation/thread_pool.h"
#include "platform/clock.h"

namespace zelko::plenar::agent {

// The system (wall) clock in 100-ns ticks since 1970, read through the platform clock so that tests
// can drive it. No monotonic clock is used for scheduling.
struct WallClock {
    using rep = int64_t;
    using period = std::ratio<1, 10'000'000>;
    using duration = std::chrono::duration<rep, period>;
    using time_point = std::chrono::time_point<WallClock>;
    static constexpr bool is_steady = false;
    static time_point now() { return time_point(duration(platform::NowTicks())); }
};

using Duration = WallClock::duration;
using TimePoint = WallClock::time_point;

class TimedTask {
  public:
    TimedTask(std::function<void()> f, bool repeats, bool reschedule_after_run)
        : f(std::move(f)), repeats(repeats), reschedule_after_run(reschedule_after_run) {}
    virtual ~TimedTask() = default;
    virtual TimePoint next_run_time() const = 0;

    std::function<void()> f;
    bool repeats;
    bool reschedule_after_run;
};

class InTask : public TimedTask {
  public:
    explicit InTask(std::function<void()> f) : TimedTask(std::move(f), false, false) {}
    TimePoint next_run_time() const override { return TimePoint{}; }
};

class EveryTask : public TimedTask {
  public:
    EveryTask(Duration period, std::function<void()> f)
        : TimedTask(std::move(f), true, true), period(period) {}
    TimePoint next_run_time() const override { return WallClock::now() + period; }

    Duration period;
};

// Runs callables at points of the wall clock on a pool of n workers. A manager thread sleeps until
// the earliest entry is due (or a wake) and hands every due entry to the pool in due order;
// entries of equal time keep their insertion order. Destruction runs what is queued or due at
// that moment and drops later entries. Never destroy it from one of its own tasks.
class TimedTaskScheduler {
  public:
    explicit TimedTaskScheduler(unsigned n);
    ~TimedTaskScheduler();
    TimedTaskScheduler(const TimedTaskScheduler&) = delete;
    TimedTaskScheduler& operator=(const TimedTaskScheduler&) = delete;

    void schedule_at(TimePoint t, std::shared_ptr<TimedTask> task);

    template <typename F>
    void run_at(TimePoint t, F&& f) {
        schedule_at(t, std::make_shared<InTask>(std::function<void()>(std::forward<F>(f))));
    }

    template <typename F>
    void run_after(Duration d, F&& f) {
        const TimePoint now = WallClock::now();
        schedule_at(now + d, std::make_shared<InTask>(std::function<void()>(std::forward<F>(f))));
    }

    template <typename F>
    void run_every(Duration period, F&& f) {
        auto task = std::make_shared<EveryTask>(period, std::function<void()>(std::forward<F>(f)));
        schedule_at(WallClock::now(), std::move(task));
    }

    // Makes the manager read the clock again (after a resume from sleep, or a new entry).
    void wake_manager();

  private:
    // Shared with the clock listener, which may still run a moment after the scheduler is gone.
    struct WakeSignal {
        bool wake_flag = false;
        std::mutex mutex;
        std::condition_variable cv;
    };

    void manager_loop();
    void wait_for_work();
    void manage_tasks();

    std::atomic<bool> done{false};
    std::shared_ptr<WakeSignal> wake;
    int clock_listener = 0;
    std::multimap<TimePoint, std::shared_ptr<TimedTask>> tasks;
    std::mutex task_mutex;
    // Last member: destroyed first, so queued jobs still find the map and its mutex.
    thread_pool pool;
};

}  // namespace zelko::plenar::agent
