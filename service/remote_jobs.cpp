#include "service/remote_jobs.h"

#include <algorithm>
#include <set>

#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "foundation/logging.h"
#include "foundation/utils_time.h"
#include "jobs/install_component.h"
#include "state_machine/service_state.h"

namespace zelko::plenar::agent {

using nlohmann::json;

namespace {

constexpr const char* kComplianceJob = "job-acm-bkc-cfg";
constexpr const char* kSelfUpdateJob = "job-zelkoplenaragent-update";
constexpr uint32_t kComplianceJobEvent = 440;
constexpr int64_t kDefaultDelayTicks = 864000000000;  // 24 hours
constexpr int64_t kTicksPerMinute = 600000000;

Duration FromTicks(int64_t ticks) { return Duration(std::clamp<int64_t>(ticks, 0, kMaxDelayTicks)); }

// Status code of a job's last record, 0 when it has none.
int32_t StatusOf(const InstallComponent& job) { return job.LastStatus(); }

}  // namespace

RemoteJobs::RemoteJobs(Scheduler& scheduler, ModuleSet& modules, Host host)
    : _scheduler(scheduler), _modules(modules), _host(std::move(host)) {
    _factory = [this](const std::string& name, const json& entry) { return MakeJob(name, entry); };
}

std::shared_ptr<InstallComponent> RemoteJobs::MakeJob(const std::string& name, const json& entry) {
    // A job asks for its reruns with the set of modules it was made with.
    const uint64_t generation = _modules.Generation();
    return std::make_shared<InstallComponent>(
        (_host.config_folder() / "install-component.json").string(), _modules.config_service, name,
        _modules.conn_module,
        [this, generation](bool run, std::chrono::milliseconds delay, std::string job) {
            Rerun(run, delay, job, generation);
        },
        [](shared::error::Error) {},
        [this, generation](std::chrono::milliseconds delay, std::string job) { HoldSelfUpdate(delay, job, generation); },
        [this, generation](bool run, int32_t minutes, std::string job) {
            RerunMonitor(run, minutes, job, generation);
        },
        entry);
}

void RemoteJobs::WhenAllowed(Duration delay, std::function<void()> work) {
    WhenAllowed(delay, std::move(work), _modules.Generation());
}

void RemoteJobs::WhenAllowed(Duration delay, std::function<void()> work, uint64_t generation) {
    if (_scheduler.destroyed.load() || generation != _modules.Generation()) return;
    _scheduler.In(delay, [this, generation, work = std::move(work)]() mutable {
        // Work of the jobs of released modules ends with them; the rebuilt set starts its own.
        if (_host.stopping() || generation != _modules.Generation()) return;
        if (StateAllowed()) {
            work();
            return;
        }
        // Kept, not dropped: a job or the task that lost its turn would otherwise rest until the
        // service restarts.
        WhenAllowed(_state_poll, std::move(work), generation);
    });
}

void RemoteJobs::Perform() {
    LOG_INFO << "RemoteJobsProcessing.Perform";
    json document;
    try {
        if (_modules.tavragent_config) document = _modules.tavragent_config->GetConfig();
    } catch (const std::exception& e) {
        LOG_ERROR << "RemoteJobsProcessing: the agent configuration cannot be read: " << e.what();
    }
    // Until a document is received (or while the received one is damaged) the built-in one lists
    // the jobs, as it gives the connection.
    Run({{"data", {{"config", _host.agent_config_of(document)}}}});
}

void RemoteJobs::Run(const json& agentDocument) {
    LOG_INFO << "Loading Install component module...";
    const json* list = nullptr;
    if (agentDocument.is_object() && agentDocument.contains("data") && agentDocument["data"].is_object() &&
        agentDocument["data"].contains("config") && agentDocument["data"]["config"].is_object() &&
        agentDocument["data"]["config"].contains("rjs")) {
        list = &agentDocument["data"]["config"]["rjs"];
    }
    if (list == nullptr || !list->is_array()) {
        // Nothing to run now; the list is looked at again after the task's delay.
        LOG_WARNING << "RemoteJobsProcessing: the agent configuration has no \"rjs\" list";
        list = nullptr;
    }

    std::set<std::string> listed;
    // A list with a damaged entry may be missing a job that is still wanted: nothing is dropped.
    bool whole = list != nullptr;
    if (list != nullptr) {
        for (const auto& entry : *list) {
            if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
                LOG_WARNING << "RemoteJobsProcessing: skipping an \"rjs\" entry without a text \"name\": "
                            << entry.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 200);
                whole = false;
                continue;
            }
            const std::string name = entry["name"].get<std::string>();
            listed.insert(name);
            if (name == kComplianceJob) {
                const std::string data = entry.dump(-1, ' ', false, json::error_handler_t::replace);
                _host.send_event(kComplianceJobEvent, data);
                continue;
            }
            LOG_INFO << "Install component: job: " << name;
            bool known = false;
            {
                std::lock_guard lock(_modules.remote_jobs_mutex);
                known = _modules.remote_jobs.count(name) > 0;
            }
            if (known) continue;
            std::shared_ptr<InstallComponent> job;
            try {
                job = _factory ? _factory(name, entry) : nullptr;
            } catch (const std::exception& e) {
                auto [said, first] = _creation_failures.try_emplace(name, e.what());
                if (first || said->second != e.what()) {
                    said->second = e.what();
                    LOG_ERROR << "Install component: job: " << name << " cannot be created: " << e.what();
                }
                continue;
            }
            _creation_failures.erase(name);
            std::lock_guard lock(_modules.remote_jobs_mutex);
            _modules.remote_jobs.emplace(name, std::move(job));
        }
    }

    std::vector<std::pair<std::string, std::shared_ptr<InstallComponent>>> jobs;
    std::vector<std::shared_ptr<InstallComponent>> dropped;
    {
        std::lock_guard lock(_modules.remote_jobs_mutex);
        if (whole) {
            for (auto it = _modules.remote_jobs.begin(); it != _modules.remote_jobs.end();) {
                const int32_t status = it->second ? StatusOf(*it->second) : 0;
                if (!listed.count(it->first) && (status <= 0 || status > 11)) {
                    // Released outside the lock: a job's end waits for its tasks.
                    dropped.push_back(std::move(it->second));
                    it = _modules.remote_jobs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        jobs.assign(_modules.remote_jobs.begin(), _modules.remote_jobs.end());
    }
    dropped.clear();
    LOG_INFO << "Loading of Install component completed...";

    for (auto& [name, job] : jobs) {
        if (!job) {
            LOG_WARNING << "Error: Install Comp is null for key " << name;
            continue;
        }
        if (name == kSelfUpdateJob) job->isSelfUpdate = true;
        if (!job->processStarted) job->Process();
        const auto log = job->History();
        if (log.size() >= 2 && log[log.size() - 2].status == Succeeded &&
            (log.back().status == Idle || log.back().status == Succeeded)) {
            job->Monitor();
        }
    }

    int64_t ticks = kDefaultDelayTicks;
    if (!_host.next_delay(ticks)) ticks = kDefaultDelayTicks;
    LOG_INFO << "RemoteJobsProcessing will run in " << Utils::FormatDuration(ticks);
    WhenAllowed(FromTicks(ticks), [this] { Perform(); });
}

std::shared_ptr<InstallComponent> RemoteJobs::Find(const std::string& name) {
    std::lock_guard lock(_modules.remote_jobs_mutex);
    auto it = _modules.remote_jobs.find(name);
    return it == _modules.remote_jobs.end() ? nullptr : it->second;
}

void RemoteJobs::Rerun(bool run, std::chrono::milliseconds delay, const std::string& name) {
    Rerun(run, delay, name, _modules.Generation());
}

void RemoteJobs::Rerun(bool run, std::chrono::milliseconds delay, const std::string& name,
                             uint64_t generation) {
    if (!run) return;
    const int64_t ticks = MillisecondsToTicks(delay.count());
    LOG_INFO << "Job: " << name << " will run in " << Utils::FormatDuration(ticks);
    WhenAllowed(FromTicks(ticks), [this, name] {
        if (auto job = Find(name)) {
            job->Process();
        } else {
            LOG_ERROR << "Object not found for job_name: " << name;
        }
    }, generation);
}

void RemoteJobs::RerunMonitor(bool run, int32_t minutes, const std::string& name) {
    RerunMonitor(run, minutes, name, _modules.Generation());
}

void RemoteJobs::RerunMonitor(bool run, int32_t minutes, const std::string& name, uint64_t generation) {
    if (!run) return;
    // Fits: 2^31 minutes are about 1.3e18 ticks.
    const int64_t ticks = std::clamp<int64_t>(int64_t(minutes) * kTicksPerMinute, 0, kMaxDelayTicks);
    LOG_INFO << "Monitor Job: " << name << " will run in " << Utils::FormatDuration(ticks);
    WhenAllowed(FromTicks(ticks), [this, name] {
        auto job = Find(name);
        if (!job) {
            LOG_ERROR << "Object not found for job_name: " << name;
        } else if (!job->isSelfUpdate) {
            job->Monitor();
        }
    }, generation);
}

void RemoteJobs::HoldSelfUpdate(std::chrono::milliseconds delay, const std::string& name) {
    HoldSelfUpdate(delay, name, _modules.Generation());
}

void RemoteJobs::HoldSelfUpdate(std::chrono::milliseconds delay, const std::string& name, uint64_t generation) {
    if (generation != _modules.Generation()) return;
    LOG_INFO << "Install component: Verifying other job status before running " << name;
    std::shared_ptr<InstallComponent> self;
    std::string busy_name;
    int32_t busy_status = 0;
    {
        std::lock_guard lock(_modules.remote_jobs_mutex);
        for (const auto& [other, job] : _modules.remote_jobs) {
            if (other == name) {
                self = job;
                continue;
            }
            if (!job || !busy_name.empty()) continue;
            const int32_t status = StatusOf(*job);
            if (status >= 1 && status <= 7) {
                busy_name = other;
                busy_status = status;
            }
        }
    }
    if (!busy_name.empty()) {
        LOG_INFO << "Install component: job: " << busy_name << "in state: " << busy_status << "holding self update";
        const int64_t ticks = MillisecondsToTicks(delay.count());
        LOG_INFO << "Job: " << name << " will run in " << Utils::FormatDuration(ticks);
        if (_scheduler.destroyed.load()) return;
        _scheduler.In(FromTicks(ticks), [this, name, generation] {
            if (generation != _modules.Generation()) return;
            if (auto job = Find(name)) {
                job->selfUpdateReleased = false;
                job->Process();
            }
        });
        return;
    }
    if (self) {
        self->selfUpdateReleased = true;
        // Called from the job's own run: its next run starts once this one has ended.
        if (_scheduler.destroyed.load()) return;
        _scheduler.In(Duration::zero(), [this, self, generation] {
            if (generation == _modules.Generation()) self->Process();
        });
    }
}

}  // namespace zelko::plenar::agent
