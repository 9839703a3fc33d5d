#include "service/power_events.h"

#include "foundation/logging.h"
#include "platform/clock.h"

namespace zelko::plenar::agent {

namespace {
constexpr uint32_t kControlPowerEvent = 13;
constexpr uint32_t kControlUrgentStop = 251;
constexpr uint32_t kControlResumeCollectors = 252;
constexpr int64_t kNanosPerSecond = 1'000'000'000;
}  // namespace

PowerEvents::PowerEvents(Flags flags, Hooks hooks)
    : hooks_(std::move(hooks)),
      _is_sleeping(flags.is_sleeping),
      _new_wakeup(flags.new_wakeup),
      _in_wake_grace(flags.in_wake_grace),
      _grace_start(flags.grace_start) {}

PowerEvents::~PowerEvents() { Stop(); }

bool PowerEvents::Stopping() const { return stopped_.load() || (hooks_.stopping && hooks_.stopping()); }

uint32_t PowerEvents::SuspendResumeCallback(uint32_t type) {
    switch (type) {
        case platform::kPbtApmSuspend:
            LOG_INFO << "Service is about to enter suspended state: " << type;
            _is_sleeping.exchange(true);
            _new_wakeup.exchange(false);
            hooks_.control(kControlUrgentStop, 0);
            hooks_.control(kControlPowerEvent, platform::kPbtApmSuspend);
            break;
        case platform::kPbtApmResumeSuspend:
            LOG_INFO << "Service is transitioning out of a suspended state because of a user interaction: "
                     << type;
            _is_sleeping.exchange(false);
            hooks_.control(kControlPowerEvent, platform::kPbtApmResumeSuspend);
            UpdateSleepState();
            break;
        case platform::kPbtApmResumeAutomatic:
            LOG_INFO << "Service is transitioning automatically out of a suspended state: " << type;
            _is_sleeping.exchange(false);
            hooks_.control(kControlPowerEvent, platform::kPbtApmResumeAutomatic);
            UpdateSleepState();
            break;
        default:
            break;
    }
    return 0;
}

uint32_t PowerEvents::ModernSuspendResumeCallbackImpl(uint32_t type,
                                                      const platform::PowerBroadcastSetting* setting) {
    if (type != platform::kPbtPowerSettingChange || setting == nullptr ||
        !(setting->PowerSetting == platform::kModernStandbySetting)) {
        return 0;
    }
    const auto value = platform::ReadPowerSettingByte(setting);
    if (!value) return 0;
    int error = 0;
    if (*value == 1) {
        LOG_INFO << "Grace Period: Event: Enter Modern Standby - updating systemsleep event";
        if (!hooks_.sleep_event(true, &error)) {
            LOG_WARNING << "Grace Period: set event failed for modern sleep" << error;
        }
        _is_sleeping.exchange(true);
        _new_wakeup.exchange(false);
        hooks_.control(kControlPowerEvent, platform::kPbtPowerSettingChange);
        // A grace wait that runs has stopped nothing yet, so there is nothing to stop urgently.
        if (!_in_wake_grace.load()) hooks_.control(kControlUrgentStop, 0);
    } else if (*value == 0) {
        LOG_INFO << "Grace Period: Event: Exit Modern Standby - updating systemsleep event";
        _is_sleeping.exchange(false);
        if (!hooks_.sleep_event(false, &error)) {
            LOG_WARNING << "Grace Period: set event failed for modern sleep" << error;
        }
        if (hooks_.startup_grace_done()) {
            hooks_.control(kControlPowerEvent, platform::kPbtPowerSettingChange);
            UpdateSleepState();
        } else {
            hooks_.record_startup_wake(platform::NowTicks() / platform::kTicksPerSecond);
            LOG_INFO << "Grace Period: service is starting - fast sleep";
        }
    }
    return 0;
}

void PowerEvents::UpdateSleepState() {
    std::vector<std::unique_ptr<GraceTask>> finished;
    {
        std::lock_guard lock(grace_mutex_);
        if (stopped_.load()) return;
        last_wakeup_.store(platform::SteadyNowNanos());
        if (_grace_task != nullptr && !_grace_task->done.load()) {
            LOG_DEBUG << "Grace Period: Future is in progress";
            _new_wakeup.exchange(true);
            waiter_.NotifyAll();
        }
        for (auto it = tasks_.begin(); it != tasks_.end();) {
            if ((*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = tasks_.erase(it);
            } else {
                ++it;
            }
        }
        auto task = std::make_unique<GraceTask>();
        GraceTask* raw = task.get();
        _grace_task = raw;
        raw->thread = std::thread([this, raw] { RunGraceTask(raw); });
        tasks_.push_back(std::move(task));
    }
    // Finished tasks have returned or are about to, so these joins are short.
    for (auto& task : finished) task->thread.join();
}

void PowerEvents::ReleaseHandle(GraceTask* self) {
    std::lock_guard lock(grace_mutex_);
    if (_grace_task == self) _grace_task = nullptr;
}

void PowerEvents::RunGraceTask(GraceTask* self) {
    try {
        const int64_t start = platform::SteadyNowNanos();
        _grace_start.store(start);
        LOG_INFO << "Grace Period: waiting for 60 sec after exit from sleep";
        _in_wake_grace.exchange(true);
        waiter_.WaitUntil(start + kGraceWait.count() * kNanosPerSecond,
                          [this] { return _new_wakeup.load() || Stopping(); });
        _in_wake_grace.exchange(false);

        if (_is_sleeping.load()) {
            LOG_INFO << "Grace Period: graceful start wait over, device in sleep";
        } else {
            if (_new_wakeup.load() && !Stopping()) {
                LOG_INFO << "Grace Period: New wakeup detected while in grace period...resetting wait timer "
                            "to wait "
                            "for 60 seconds";
                // Counted from the latest wake-up, which every task waiting on it shares.
                waiter_.WaitUntil(last_wakeup_.load() + kGraceWait.count() * kNanosPerSecond,
                                  [this] { return Stopping(); });
            }
            _is_sleeping.exchange(false);
            hooks_.wake_scheduler();
            hooks_.control(kControlResumeCollectors, 0);
            ReleaseHandle(self);
            hooks_.after_grace();
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Grace Period: task failed: " << e.what();
    } catch (...) {
        LOG_ERROR << "Grace Period: task failed";
    }
    ReleaseHandle(self);
    self->done.store(true);
}

void PowerEvents::Stop() {
    std::vector<std::unique_ptr<GraceTask>> tasks;
    {
        std::lock_guard lock(grace_mutex_);
        stopped_.store(true);
        tasks.swap(tasks_);
        _grace_task = nullptr;
    }
    waiter_.NotifyAll();
    for (auto& task : tasks) {
        if (task->thread.get_id() == std::this_thread::get_id()) {
            // Called from a hook of this very task: it cannot join itself, so it is left to end alone.
            task->thread.detach();
            task.release();
        } else if (task->thread.joinable()) {
            task->thread.join();
        }
    }
}

}  // namespace zelko::plenar::agent
