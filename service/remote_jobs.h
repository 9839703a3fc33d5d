#pragma once

// The remote jobs task: the agent configuration's "rjs" list turned into running install jobs, and
// the callbacks through which the jobs ask to run again, to be kept again or to hold the agent's
// own update. The jobs live in the module set and go with it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/scheduler.h"
#include "state_machine/module_set.h"

namespace zelko::plenar::agent {

class InstallComponent;

class RemoteJobs {
  public:
    // What the jobs need of the service around them.
    struct Host {
        // Processing, or RequiredOnStarting on a Corvane device.
        std::function<bool()> state_allows;
        std::function<bool()> stopping;
        // Sends a module event whose data is the text with its terminating zero.
        std::function<void(uint32_t control, const std::string& text)> send_event;
        // The "data"."config" object of the agent configuration document.
        std::function<nlohmann::json(const nlohmann::json& document)> agent_config_of;
        // The jobs task's next delay (100-ns ticks); false when its policy has none.
        std::function<bool(int64_t& ticks)> next_delay;
        // The folder of the configuration files.
        std::function<std::filesystem::path()> config_folder;
    };
    // Builds a job for an "rjs" entry; tests replace it.
    using Factory = std::function<std::shared_ptr<InstallComponent>(const std::string& name, const nlohmann::json& entry)>;

    RemoteJobs(Scheduler& scheduler, ModuleSet& modules, Host host);
    RemoteJobs(const RemoteJobs&) = delete;
    RemoteJobs& operator=(const RemoteJobs&) = delete;

    // The task's work over the agent configuration's "rjs" list.
    void Perform();
    void Run(const nlohmann::json& agentDocument);
    bool StateAllowed() const { return _host.state_allows(); }
    // Runs the work once the state allows it, looking again every poll interval until then; work
    // of the jobs made with an earlier set of modules is dropped once that set is released.
    void WhenAllowed(Duration delay, std::function<void()> work);
    void WhenAllowed(Duration delay, std::function<void()> work, uint64_t generation);
    // The jobs' callbacks; `generation` is the set of modules the calling job was made with, the
    // current one when not given.
    void Rerun(bool run, std::chrono::milliseconds delay, const std::string& name);
    void Rerun(bool run, std::chrono::milliseconds delay, const std::string& name, uint64_t generation);
    void RerunMonitor(bool run, int32_t minutes, const std::string& name);
    void RerunMonitor(bool run, int32_t minutes, const std::string& name, uint64_t generation);
    void HoldSelfUpdate(std::chrono::milliseconds delay, const std::string& name);
    void HoldSelfUpdate(std::chrono::milliseconds delay, const std::string& name, uint64_t generation);
    std::shared_ptr<InstallComponent> Find(const std::string& name);

    const Factory& factory() const { return _factory; }
    void SetFactory(Factory factory) { _factory = std::move(factory); }
    // How often work that fell due in a state that does not allow it looks again.
    void SetStatePoll(Duration poll) { _state_poll = poll; }
    // Whether the task has been started over the current set of modules.
    bool started() const { return _started; }
    void SetStarted(bool started) { _started = started; }

  private:
    std::shared_ptr<InstallComponent> MakeJob(const std::string& name, const nlohmann::json& entry);

    Scheduler& _scheduler;
    ModuleSet& _modules;
    Host _host;
    Factory _factory;
    Duration _state_poll = std::chrono::minutes(1);
    bool _started = false;
    // Why each job could not be made, as last said: the same cause is said once per job, not at
    // every pass of the task (the scheduler's worker only).
    std::map<std::string, std::string> _creation_failures;
};

}  // namespace zelko::plenar::agent
