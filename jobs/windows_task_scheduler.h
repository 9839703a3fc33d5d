#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/task_scheduler.h"

namespace zelko::plenar::agent {

// Registers an install job's installer as a task that starts at once under the system account, and
// removes it when the job is done.
class WindowsTaskScheduler {
  public:
    explicit WindowsTaskScheduler(std::shared_ptr<platform::TaskScheduler> tasks = platform::SystemTaskScheduler());

    // True when the task is registered, and so will start the installer.
    bool CreateTask(const std::string& program, const std::string& taskName, const std::string& arguments,
                    const std::string& idleWaitTime, const std::string& executionTimeLimit);
    bool DeleteTask(const std::string& taskName);

    // The task definition the job registers.
    static platform::TaskDefinition Definition(const std::string& program, const std::string& taskName,
                                               const std::string& arguments, const std::string& executionTimeLimit);

  private:
    std::shared_ptr<platform::TaskScheduler> tasks_;
};

// An ISO 8601 duration ("PT1H", "P1DT30M", "PT0.5S"); none for a text that is not one.
std::optional<std::chrono::milliseconds> ParseIsoDuration(const std::string& text);

}  // namespace zelko::plenar::agent
