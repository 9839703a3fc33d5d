#pragma once

// One-shot tasks that start as soon as they are registered and outlive the registering process.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zelko::platform {

struct TaskDefinition {
    std::string name;
    std::string author;
    std::string user;  // account the task runs under ("SYSTEM")
    bool highest_privileges = false;
    bool start_when_available = false;
    std::filesystem::path program;
    std::vector<std::string> arguments;
    // A run that fails (ends with a code other than 0) is started again after the interval, at most
    // restart_count times.
    std::chrono::milliseconds restart_interval{0};
    int restart_count = 0;
    // A run still going after this long is ended; zero means no limit.
    std::chrono::milliseconds execution_time_limit{0};
    std::string trigger_id;
};

// The steps of a registration, in order; a failure names the step it happened at.
enum class TaskStep {
    Initialize,
    Connect,
    Folder,
    NewTask,
    RegistrationInfo,
    Principal,
    Settings,
    IdleSettings,
    Triggers,
    CreateTrigger,
    TriggerId,  // not fatal: the registration goes on
    Actions,
    CreateAction,
    ExecAction,
    ActionPath,
    Register,
};

struct TaskRegistration {
    bool registered = false;
    TaskStep failed_step = TaskStep::Register;  // meaningful when not registered
    int32_t code = 0;                            // the system's result code of the failing step
    bool trigger_id_failed = false;
};

class TaskScheduler {
  public:
    virtual ~TaskScheduler() = default;
    // Replaces any task of the same name (its run under way is ended first) and starts the new one
    // at once. A program that cannot be started (a bare name is looked for on PATH) fails the
    // registration at TaskStep::ActionPath with the errno value.
    virtual TaskRegistration Register(const TaskDefinition& definition) = 0;
    // Removes the task's registration: it is never started again (a run under way goes on to its
    // end); false when there is none.
    virtual bool Delete(const std::string& name) = 0;
};

// The machine's task facility: tasks are recorded under the system root's "Tasks" folder
// ("<name>.json"; "<name>.last-run" holds the last run's exit code, -1 when its time limit ended
// it, once no restart is left) and run by a supervising process of their own, detached from the
// caller, which follows "<name>.owner" (the registration that owns the name) and holds "<name>.lock".
std::shared_ptr<TaskScheduler> SystemTaskScheduler();

// Starts the program (searched on PATH when it names no folder) with the arguments, detached from
// the caller (own session, not its child, output discarded). False with the errno value in *error
// when it cannot be started.
bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments, int* error = nullptr);

// Lets the file be run as a program (a downloaded installer). False with the errno value in *error.
bool MakeExecutable(const std::filesystem::path& file, int* error = nullptr);

// Splits a Windows command-line text into arguments (blanks separate, double quotes group,
// backslashes before a quote escape it).
std::vector<std::string> SplitCommandLine(const std::string& text);

}  // namespace zelko::platform
