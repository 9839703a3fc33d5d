#pragma once

// The service's reaction to sleep and wake-up: the suspend/resume and Modern Standby callbacks and the
// 60-second wake-up grace, each grace on a thread of its own. The sleep flags are the `Service`'s own
// members (others read them); what the reaction does to the rest of the service goes through the
// hooks, which the `Service` binds to itself.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/notifications.h"
#include "platform/steady_clock.h"

namespace zelko::plenar::agent {

class PowerEvents {
  public:
    struct Hooks {
        // Into the control path, without event data.
        std::function<void(uint32_t control, uint32_t event_type)> control;
        // The stop has begun.
        std::function<bool()> stopping;
        // The start-up grace of `Initializing` is over.
        std::function<bool()> startup_grace_done;
        // A Modern Standby exit seen during start-up, in Unix seconds.
        std::function<void(int64_t unix_seconds)> record_startup_wake;
        // Sets (true) or resets "Global\SystemSleepEvent"; false with the system error on failure.
        std::function<bool(bool set, int* error)> sleep_event;
        // Lets what fell due during sleep run at once.
        std::function<void()> wake_scheduler;
        // Last step of a completed grace (the refetch in `Processing`).
        std::function<void()> after_grace;
    };

    // The service's flags, read and written with atomic operations from every thread involved.
    struct Flags {
        std::atomic<bool>& is_sleeping;     // suspended or in Modern Standby
        std::atomic<bool>& new_wakeup;      // a further wake-up came during a grace
        std::atomic<bool>& in_wake_grace;   // a grace task is in its 60-second wait
        std::atomic<int64_t>& grace_start;  // steady-clock nanoseconds at which the latest grace began
    };

    static constexpr std::chrono::seconds kGraceWait{60};

    PowerEvents(Flags flags, Hooks hooks);
    ~PowerEvents();
    PowerEvents(const PowerEvents&) = delete;
    PowerEvents& operator=(const PowerEvents&) = delete;

    // The system's callbacks; both answer 0.
    uint32_t SuspendResumeCallback(uint32_t type);
    uint32_t ModernSuspendResumeCallbackImpl(uint32_t type, const platform::PowerBroadcastSetting* setting);

    // Starts a grace task; a task still waiting is told of the further wake-up. Never waits for a
    // previous task, so a power callback is not held up.
    void UpdateSleepState();

    // Ends every grace wait at once and joins the grace threads; wake-ups after it start no task.
    // Not to be called from a hook.
    void Stop();

  private:
    struct GraceTask {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void RunGraceTask(GraceTask* self);
    bool Stopping() const;
    void ReleaseHandle(GraceTask* self);

    Hooks hooks_;
    std::atomic<bool>& _is_sleeping;
    std::atomic<bool>& _new_wakeup;
    std::atomic<bool>& _in_wake_grace;
    std::atomic<int64_t>& _grace_start;
    std::atomic<int64_t> last_wakeup_{0};  // steady-clock nanoseconds of the latest UpdateSleepState

    // Guards the handle and the task list. A task only ever clears the handle when it is its own;
    // threads are joined by UpdateSleepState (finished ones) and by Stop, never by themselves.
    std::mutex grace_mutex_;
    GraceTask* _grace_task = nullptr;
    std::vector<std::unique_ptr<GraceTask>> tasks_;
    std::atomic<bool> stopped_{false};
    platform::SteadyWaiter waiter_;
};

}  // namespace zelko::plenar::agent
