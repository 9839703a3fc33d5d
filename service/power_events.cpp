#include "service/power_events.h"

#include <algorithm>
#include <limits>
#include <string>

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
    bool started = true;
    std::string failure;
    {
        std::lock_guard lock(grace_mutex_);
        if (stopped_.load()) return;
        const int64_t now = platform::SteadyNowNanos();
        last_wakeup_.store(now);
        if (!graces_.empty()) {
            LOG_DEBUG << "Grace Period: Future is in progress";
            _new_wakeup.exchange(true);
        }
        graces_.push_back({now, false});
        _grace_start.store(now);
        LOG_INFO << "Grace Period: waiting for 60 sec after exit from sleep";
        _in_wake_grace.exchange(true);
        changes_.fetch_add(1);
        if (!running_) {
            // A thread that has left holds no lock any more, so joining it is short.
            if (thread_.joinable()) thread_.join();
            try {
                auto body = [this] { RunGraces(); };
                thread_ = hooks_.start_thread ? hooks_.start_thread(body) : std::thread(body);
                running_ = true;
            } catch (const std::exception& e) {
                failure = e.what();
                graces_.pop_back();
                started = false;
                bool waiting = false;
                for (const auto& grace : graces_) waiting = waiting || !grace.extending;
                _in_wake_grace.exchange(waiting);
            }
        }
    }
    if (started) {
        waiter_.NotifyAll();
        return;
    }
    // Without the wait the collectors would stay stopped until the next wake-up: resume them now.
    LOG_ERROR << "Grace Period: cannot start the grace wait, resuming at once: " << failure;
    Carry(Step::kFinish);
}

void PowerEvents::Carry(Step step) {
    try {
        switch (step) {
            case Step::kInSleep:
                LOG_INFO << "Grace Period: graceful start wait over, device in sleep";
                break;
            case Step::kExtend:
                LOG_INFO << "Grace Period: New wakeup detected while in grace period...resetting wait timer "
                            "to wait "
                            "for 60 seconds";
                break;
            case Step::kFinish:
                _is_sleeping.exchange(false);
                hooks_.wake_scheduler();
                hooks_.control(kControlResumeCollectors, 0);
                hooks_.after_grace();
                break;
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Grace Period: task failed: " << e.what();
    } catch (...) {
        LOG_ERROR << "Grace Period: task failed";
    }
}

void PowerEvents::RunGraces() {
    constexpr int64_t kWait = kGraceWait.count() * kNanosPerSecond;
    while (true) {
        std::vector<Step> steps;
        int64_t next = std::numeric_limits<int64_t>::max();
        uint64_t seen = 0;
        {
            std::lock_guard lock(grace_mutex_);
            seen = changes_.load();
            if (graces_.empty()) {
                running_ = false;
                return;
            }
            const int64_t now = platform::SteadyNowNanos();
            const bool stopping = Stopping();
            std::vector<Grace> pending;
            bool waiting = false;
            for (Grace grace : graces_) {
                if (!grace.extending) {
                    if (now < grace.start + kWait && !_new_wakeup.load() && !stopping) {
                        next = std::min(next, grace.start + kWait);
                        pending.push_back(grace);
                        waiting = true;
                        continue;
                    }
                    if (_is_sleeping.load()) {
                        steps.push_back(Step::kInSleep);
                        continue;
                    }
                    if (!_new_wakeup.load() || stopping) {
                        steps.push_back(Step::kFinish);
                        continue;
                    }
                    steps.push_back(Step::kExtend);
                    grace.extending = true;
                }
                // The further 60 seconds count from the latest wake-up, which every grace shares.
                const int64_t end = last_wakeup_.load() + kWait;
                if (now >= end || stopping) {
                    steps.push_back(Step::kFinish);
                } else {
                    next = std::min(next, end);
                    pending.push_back(grace);
                }
            }
            graces_.swap(pending);
            _in_wake_grace.exchange(waiting);
        }
        for (Step step : steps) Carry(step);
        if (!steps.empty()) continue;
        waiter_.WaitUntil(next, [this, seen] { return changes_.load() != seen; });
    }
}

void PowerEvents::Stop() {
    std::thread thread;
    {
        std::lock_guard lock(grace_mutex_);
        stopped_.store(true);
        changes_.fetch_add(1);
        thread.swap(thread_);
    }
    waiter_.NotifyAll();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        // Called from a hook of the grace thread itself: it cannot join itself, so it ends alone.
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace zelko::plenar::agent
