#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <shared_mutex>
#include <string>
#include <vector>

#include "foundation/calendar_schedule.h"
#include "foundation/task.h"
#include "foundation/timed_scheduler.h"

namespace zelko::plenar::agent {

class IScheduler {
  public:
    virtual void RunIntervalStartingWithDate(TimePoint start, int32_t intervalMinutes,
                                             std::function<void()> cb, ScheduleTypes type) = 0;
    virtual TimePoint Now() = 0;

  protected:
    // Owners hold and destroy the concrete Scheduler.
    ~IScheduler() = default;
};

// The agent's main loop: one timed-task scheduler with a single worker, so everything posted here
// runs one after the other. Once destroyed, everything posted through it does nothing. It also
// delivers the calendar schedule events (calendar_schedule.cpp).
class Scheduler : public IScheduler {
  public:
    // The configuration and state files live beside the running executable.
    explicit Scheduler(const std::string& name);
    // The same with the executable's folder given (tests).
    Scheduler(const std::string& name, const std::filesystem::path& exeFolder);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs f once after the delay (or at the time) on the worker, unless destroyed by then.
    template <typename F>
    void In(Duration delay, F&& f) {
        std::shared_lock lock(postMutex);
        if (destroyed.load()) return;
        const TimePoint now = WallClock::now();
        timedScheduler->schedule_at(now + delay, std::make_shared<InTask>(Guard(std::forward<F>(f))));
    }
    template <typename F>
    void In(TimePoint at, F&& f) {
        std::shared_lock lock(postMutex);
        if (destroyed.load()) return;
        timedScheduler->run_at(at, Guard(std::forward<F>(f)));
    }
    // Runs f at once, then one period after the end of each run.
    template <typename F>
    void Interval(Duration period, F&& f) {
        std::shared_lock lock(postMutex);
        if (destroyed.load()) return;
        timedScheduler->run_every(period, Guard(std::forward<F>(f)));
    }
    // Runs the task's action one interval from now and, while it repeats and its owner holds it,
    // one interval after the end of each run.
    void AddTask(std::weak_ptr<Task> task);

    // Sets destroyed and joins the threads: queued jobs finish (their guards skip the callables),
    // later entries are dropped. Must not run on this scheduler's own threads.
    void Destroy();

    // Calendar schedule events.
    void SetSysEventCallback(std::function<void(ScheduleTypes)> cb);
    void Reinit();
    bool RegisterSysEventSchedule(ScheduleTypes type);
    void StartScheduledEvents();
    void RunIntervalStartingWithDate(TimePoint start, int32_t intervalMinutes, std::function<void()> cb,
                                     ScheduleTypes type) override;
    TimePoint Now() override;
    static std::string ScheduleTypeName(ScheduleTypes type) { return agent::ScheduleTypeName(type); }
    void LoadPersistedSate();
    void SavePersistedSate();

    const std::filesystem::path& ConfigPath() const { return configPath; }
    const std::filesystem::path& StatePath() const { return statePath; }

    // The owner's stop path posts its teardown straight onto timedScheduler after setting destroyed.
    std::unique_ptr<TimedTaskScheduler> timedScheduler;

  private:
    template <typename F>
    std::function<void()> Guard(F&& f) {
        return [this, f = std::forward<F>(f)]() mutable {
            if (!destroyed.load()) f();
        };
    }
    void StopTimedScheduler();

    nlohmann::json config;
    std::function<void(ScheduleTypes)> sysEventCallback;
    std::vector<std::function<void()>> regularEvents;
    std::vector<std::function<void()>> onStartEvents;
    std::string name;
    bool started = false;
    bool hourlyIsDateBased = false;
    int32_t hourlyFakeMin = 60;
    std::filesystem::path exeFolder;
    std::filesystem::path statePath;
    std::filesystem::path configPath;
    nlohmann::json state;
    bool stateLoaded = false;
    // Posting holds it shared; Destroy takes it to take timedScheduler away, so no post can reach a
    // scheduler that is being released.
    std::shared_mutex postMutex;

  public:
    std::atomic<bool> destroyed{false};
};

}  // namespace zelko::plenar::agent
