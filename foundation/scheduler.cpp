#include "foundation/scheduler.h"

#include <cerrno>
#include <system_error>

#include "foundation/logging.h"
#include "foundation/utils_files.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;

Scheduler::Scheduler(const std::string& name) : Scheduler(name, Utils::GetExecutableDirectory()) {}

Scheduler::Scheduler(const std::string& name, const fs::path& exeFolder)
    : timedScheduler(std::make_unique<TimedTaskScheduler>(1)), name(name), exeFolder(exeFolder) {
    std::error_code ec;
    errno = 0;
    if (!exeFolder.empty() && fs::exists(exeFolder, ec)) {
        configPath = exeFolder / "Configuration Files" / "zelko-scheduler";
        configPath += name + "-config.json";
        statePath = exeFolder / "zelko-plenar-schedule";
        statePath += name + "-state.json";
    } else {
        if (ec) errno = ec.value();
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << platform::ErrorFromErrno(errno);
    }
}

Scheduler::~Scheduler() {
    // An owner that never called Destroy (the telemetry module's): stop the threads before the
    // members that queued callables may still touch go away.
    destroyed.exchange(true);
    StopTimedScheduler();
}

void Scheduler::StopTimedScheduler() {
    std::unique_ptr<TimedTaskScheduler> stopping;
    {
        std::unique_lock lock(postMutex);
        stopping = std::move(timedScheduler);
    }
    // Released outside the lock: jobs that still run may post, and find destroyed set.
    stopping.reset();
}

void Scheduler::AddTask(std::weak_ptr<Task> task) {
    if (destroyed.load()) return;
    const auto held = task.lock();
    if (!held) return;
    In(held->interval, [this, task] {
        // Held while the action runs, so a run in progress finishes if the owner lets go meanwhile.
        const auto current = task.lock();
        if (!current) return;
        current->action();
        if (current->repeat) AddTask(task);
    });
}

void Scheduler::Destroy() {
    destroyed.exchange(true);
    LOG_INFO << "Scheduler terminating...";
    StopTimedScheduler();
    sysEventCallback = nullptr;
    LOG_INFO << "Scheduler fully destroyed.";
}

TimePoint Scheduler::Now() { return WallClock::now(); }

}  // namespace zelko::plenar::agent
