#include "jobs/windows_task_scheduler.h"

#include <cctype>
#include <cstdlib>

#include "foundation/logging.h"

namespace zelko::plenar::agent {

namespace {

const char* StepMessage(platform::TaskStep step) {
    using platform::TaskStep;
    switch (step) {
        case TaskStep::Initialize: return "Task Scheduler: CoInitializeEx failed:";
        case TaskStep::Connect: return "Task Scheduler: ITaskService::Connect failed: ";
        case TaskStep::Folder: return "Task Scheduler: Cannot get Root folder pointer: ";
        case TaskStep::NewTask: return "Task Scheduler: Failed to CoCreate an instance of the TaskService class: ";
        case TaskStep::RegistrationInfo: return "Task Scheduler: Cannot get identification pointer: ";
        case TaskStep::Principal: return "Task Scheduler: Cannot get principal pointer: ";
        case TaskStep::Settings: return "Task Scheduler: Cannot get settings pointer: ";
        case TaskStep::IdleSettings: return "Task Scheduler: Cannot get idle setting information: ";
        case TaskStep::Triggers: return "Task Scheduler: Cannot get trigger collection: ";
        case TaskStep::CreateTrigger: return "Task Scheduler: Cannot create trigger: ";
        case TaskStep::TriggerId: return "Task Scheduler: Cannot put trigger ID: ";
        case TaskStep::Actions: return "Task Scheduler: Cannot get Task collection pointer: ";
        case TaskStep::CreateAction: return "Task Scheduler: Cannot create the action: ";
        case TaskStep::ExecAction: return "Task Scheduler: QueryInterface call failed for IExecAction: ";
        case TaskStep::ActionPath: return "Task Scheduler: Cannot put action path: ";
        case TaskStep::Register: return "Task Scheduler: Error saving the Task : ";
    }
    return "Task Scheduler: failed: ";
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseIsoDuration(const std::string& text) {
    if (text.size() < 2 || text[0] != 'P') return std::nullopt;
    double total_ms = 0;
    bool in_time = false;
    bool any = false;
    size_t i = 1;
    while (i < text.size()) {
        if (text[i] == 'T') {
            if (in_time) return std::nullopt;
            in_time = true;
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
        if (start == i || i >= text.size()) return std::nullopt;
        double value = std::strtod(text.substr(start, i - start).c_str(), nullptr);
        double unit_ms = 0;
        switch (text[i]) {
            case 'Y': unit_ms = in_time ? 0 : 365.0 * 86400000; break;
            case 'M': unit_ms = in_time ? 60000.0 : 30.0 * 86400000; break;
            case 'W': unit_ms = in_time ? 0 : 7.0 * 86400000; break;
            case 'D': unit_ms = in_time ? 0 : 86400000.0; break;
            case 'H': unit_ms = in_time ? 3600000.0 : 0; break;
            case 'S': unit_ms = in_time ? 1000.0 : 0; break;
            default: return std::nullopt;
        }
        if (unit_ms == 0) return std::nullopt;
        total_ms += value * unit_ms;
        any = true;
        ++i;
    }
    if (!any || total_ms > 1e15) return std::nullopt;
    return std::chrono::milliseconds(static_cast<int64_t>(total_ms));
}

WindowsTaskScheduler::WindowsTaskScheduler(std::shared_ptr<platform::TaskScheduler> tasks)
    : tasks_(std::move(tasks)) {}

platform::TaskDefinition WindowsTaskScheduler::Definition(const std::string& program, const std::string& taskName,
                                                          const std::string& arguments,
                                                          const std::string& executionTimeLimit) {
    platform::TaskDefinition d;
    d.name = taskName;
    d.author = "ZELKO INC";
    d.user = "SYSTEM";
    d.highest_privileges = true;
    d.start_when_available = true;
    d.program = program;
    d.arguments = platform::SplitCommandLine(arguments);
    d.restart_interval = std::chrono::minutes(5);
    d.restart_count = 3;
    // A limit the system would not take leaves the task without one, as a refused setting does.
    d.execution_time_limit = ParseIsoDuration(executionTimeLimit).value_or(std::chrono::milliseconds(0));
    d.trigger_id = "ZelkoPlenarAgentRegistrationExecute";
    return d;
}

bool WindowsTaskScheduler::CreateTask(const std::string& program, const std::string& taskName,
                                      const std::string& arguments, const std::string& idleWaitTime,
                                      const std::string& executionTimeLimit) {
    auto result = tasks_->Register(Definition(program, taskName, arguments, executionTimeLimit));
    if (result.trigger_id_failed) {
        LOG_ERROR << StepMessage(platform::TaskStep::TriggerId) << result.code;
    }
    if (!result.registered) {
        LOG_ERROR << StepMessage(result.failed_step) << result.code;
        return false;
    }
    LOG_INFO << "Task Scheduler: Success! Task successfully registered. " << 0;
    return true;
}

bool WindowsTaskScheduler::DeleteTask(const std::string& taskName) { return tasks_->Delete(taskName); }

}  // namespace zelko::plenar::agent
