#pragma once

// The service's reaction to sleep and wake-up: the suspend/resume and Modern Standby callbacks and the
// 60-second wake-up grace. Every wake-up starts a grace of its own, but all graces wait on one thread,
// which runs only while a grace is pending, so a burst of wake-ups costs records, not threads. The sleep flags are the `Service`'s own
// (`SleepState`; others read them); what the reaction does to the rest of the service goes through the
// hooks, which the `Service` binds to itself.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/grace_period.h"
#include "platform/named_objects.h"
#include "platform/notifications.h"
#include "platform/steady_clock.h"

namespace zelko::plenar::agent {

// The service's sleep and wake-up state: its notification registrations, the event that tells the
// collectors of sleep, and the flags every thread involved reads with atomic operations.
struct SleepState {
    platform::NotificationHandle _dev_notify_handle = 0;
    platform::NotificationHandle _acdc_notify_handle = 0;
    platform::NotificationHandle _suspend_resume_notify_handle = 0;
    platform::NotificationHandle _modern_sleep_notify_handle = 0;
    std::unique_ptr<platform::NamedEvent> _system_sleep_event;
    GracePeriod _grace_period;
    std::atomic<bool> _is_sleeping{false};
    std::atomic<bool> _new_wakeup{false};
    std::atomic<bool> _in_wake_grace{false};
    std::atomic<int64_t> _startup_wake_time{0};
    std::atomic<bool> _startup_grace_done{false};
    std::atomic<int64_t> _grace_start{0};  // steady-clock nanoseconds
};

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
        // Starts the grace thread; empty for std::thread. Tests make it fail.
        std::function<std::thread(std::function<void()>)> start_thread;
    };

    // The service's flags, read and written with atomic operations from every thread involved.
    struct Flags {
        std::atomic<bool>& is_sleeping;     // suspended or in Modern Standby
        std::atomic<bool>& new_wakeup;      // a further wake-up came during a grace
        std::atomic<bool>& in_wake_grace;   // a grace is in its 60-second wait
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

    // Starts a grace; graces still pending are told of the further wake-up. Never waits for a
    // previous grace, so a power callback is not held up.
    void UpdateSleepState();

    // Ends every grace wait at once, lets the graces finish and joins the grace thread; wake-ups
    // after it start nothing. Not to be called from a hook.
    void Stop();

  private:
    struct Grace {
        int64_t start = 0;       // steady-clock nanoseconds
        bool extending = false;  // in the further 60 seconds after a new wake-up
    };
    enum class Step { kInSleep, kExtend, kFinish };

    void RunGraces();
    void Carry(Step step);
    bool Stopping() const;

    Hooks hooks_;
    std::atomic<bool>& _is_sleeping;
    std::atomic<bool>& _new_wakeup;
    std::atomic<bool>& _in_wake_grace;
    std::atomic<int64_t>& _grace_start;
    std::atomic<int64_t> last_wakeup_{0};  // steady-clock nanoseconds of the latest UpdateSleepState

    // Guards the graces and the thread. The thread leaves (clearing running_ under the lock) once no
    // grace is pending; the next wake-up joins it, which is short, and starts a new one.
    std::mutex grace_mutex_;
    std::vector<Grace> graces_;
    std::thread thread_;
    bool running_ = false;
    std::atomic<uint64_t> changes_{0};  // moved by every wake-up and by Stop, to end the thread's wait
    std::atomic<bool> stopped_{false};
    platform::SteadyWaiter waiter_;
};

}  // namespace zelko::plenar::agent
