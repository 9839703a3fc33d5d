#include "foundation/timed_scheduler.h"

#include <vector>

namespace zelko::plenar::agent {

namespace {

// Deadlines more than a year ahead are cut to a year: the manager re-reads the clock then and
// waits again. Keeps the conversion to the system clock's own unit from overflowing.
constexpr Duration kLongestWait = std::chrono::hours(24 * 365);

std::chrono::system_clock::time_point ToSystemClock(TimePoint t) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(t.time_since_epoch()));
}

}  // namespace

TimedTaskScheduler::TimedTaskScheduler(unsigned n)
    : wake(std::make_shared<WakeSignal>()), pool(static_cast<int>(n) + 1) {
    // Fake time moves without the real clock: wake the waiting manager so it reads the clock again.
    std::weak_ptr<WakeSignal> weak = wake;
    clock_listener = platform::RegisterClockListener([weak] {
        if (auto signal = weak.lock()) {
            std::lock_guard lock(signal->mutex);
            signal->cv.notify_all();
        }
    });
    pool.push([this](int) { manager_loop(); });
}

TimedTaskScheduler::~TimedTaskScheduler() {
    done.store(true);
    wake_manager();
    platform::RemoveClockListener(clock_listener);
    // The pool (last member) is destroyed next: queued jobs run, its threads are joined, and only
    // then the map goes with the entries that were not yet due.
}

void TimedTaskScheduler::schedule_at(TimePoint t, std::shared_ptr<TimedTask> task) {
    std::lock_guard lock(task_mutex);
    tasks.emplace(t, std::move(task));  // after every entry of equal time
    wake_manager();
}

void TimedTaskScheduler::wake_manager() {
    std::lock_guard lock(wake->mutex);
    wake->wake_flag = true;
    wake->cv.notify_one();
}

void TimedTaskScheduler::manager_loop() {
    while (!done.load()) {
        wait_for_work();
        manage_tasks();
    }
}

void TimedTaskScheduler::wait_for_work() {
    bool empty;
    TimePoint earliest;
    {
        std::lock_guard lock(task_mutex);
        empty = tasks.empty();
        if (!empty) earliest = tasks.begin()->first;
    }
    std::unique_lock lock(wake->mutex);
    while (!wake->wake_flag) {
        if (empty) {
            wake->cv.wait(lock);
            continue;
        }
        const TimePoint now = WallClock::now();
        if (now >= earliest) break;
        if (platform::IsClockFaked()) {
            wake->cv.wait(lock);  // the clock listener wakes us when virtual time moves
        } else {
            wake->cv.wait_until(lock,
                                ToSystemClock(earliest - now > kLongestWait ? now + kLongestWait : earliest));
        }
    }
    // A wake that came in while we were busy stays in the flag until here, so none is lost.
    wake->wake_flag = false;
}

void TimedTaskScheduler::manage_tasks() {
    std::lock_guard lock(task_mutex);
    const TimePoint now = WallClock::now();
    const auto end = tasks.upper_bound(now);
    std::vector<std::pair<TimePoint, std::shared_ptr<TimedTask>>> again;
    for (auto it = tasks.begin(); it != end; ++it) {
        const auto& task = it->second;
        if (task->reschedule_after_run) {
            // The next time is taken once the run has ended; a run that throws is not rescheduled.
            pool.push([this, task](int) {
                task->f();
                schedule_at(task->next_run_time(), task);
            });
        } else {
            pool.push([task](int) { task->f(); });
            if (task->repeats) again.emplace_back(task->next_run_time(), task);
        }
    }
    tasks.erase(tasks.begin(), end);
    for (auto& [t, task] : again) tasks.emplace(t, std::move(task));
}

}  // namespace zelko::plenar::agent
