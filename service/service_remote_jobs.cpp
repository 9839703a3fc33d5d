// The remote jobs task: the agent configuration's "rjs" list turned into running install jobs, and
// the callbacks through which the jobs ask to run again, to be kept again or to hold the agent's
// own update.
#include <algorithm>
#include <set>

#include "config/remote_config.h"
#include "connectivity/connectivity_module.h"
#include "foundation/logging.h"
#include "foundation/utils_time.h"
#include "jobs/install_component.h"
#include "service/service.h"

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

void Service::BindRemoteJobs() {
    RemoteJobsProcessing.Perform = [this] { PerformRemoteJobs(); };
    _remote_job_factory = [this](const std::string& name, const json& entry) {
        // A job asks for its reruns with the set of modules it was made with.
        const uint64_t generation = _modules_generation.load();
        return std::make_shared<InstallComponent>(
            (_config_folder / "install-component.json").string(), _config_service, name, _conn_module,
            [this, generation](bool run, std::chrono::milliseconds delay, std::string job) {
                RerunRemoteJob(run, delay, job, generation);
            },
            [](shared::error::Error) {},
            [this, generation](std::chrono::milliseconds delay, std::string job) {
                HoldSelfUpdate(delay, job, generation);
            },
            [this, generation](bool run, int32_t minutes, std::string job) {
                RerunRemoteJobMonitor(run, minutes, job, generation);
            },
            entry);
    };
}

bool Service::RemoteJobsStateAllowed() const {
    const std::string state = CurrentStateName();
    if (state.empty()) return false;
    if (state == Processing.name) return true;
    return state == RequiredOnStarting.name && _conn_module && _conn_module->isCorvaneDevice;
}

void Service::WhenRemoteJobsAllowed(Duration delay, std::function<void()> work) {
    WhenRemoteJobsAllowed(delay, std::move(work), _modules_generation.load());
}

void Service::WhenRemoteJobsAllowed(Duration delay, std::function<void()> work, uint64_t generation) {
    if (_scheduler.destroyed.load() || generation != _modules_generation.load()) return;
    _scheduler.In(delay, [this, generation, work = std::move(work)]() mutable {
        // Work of the jobs of released modules ends with them; the rebuilt set starts its own.
        if (_stopping || generation != _modules_generation.load()) return;
        if (RemoteJobsStateAllowed()) {
            work();
            return;
        }
        // Kept, not dropped: a job or the task that lost its turn would otherwise rest until the
        // service restarts.
        WhenRemoteJobsAllowed(_remote_jobs_state_poll, std::move(work), generation);
    });
}

void Service::PerformRemoteJobs() {
    LOG_INFO << "RemoteJobsProcessing.Perform";
    json document;
    try {
        if (_tavragent_config) document = _tavragent_config->GetConfig();
    } catch (const std::exception& e) {
        LOG_ERROR << "RemoteJobsProcessing: the agent configuration cannot be read: " << e.what();
    }
    // Until a document is received (or while the received one is damaged) the built-in one lists
    // the jobs, as it gives the connection.
    RunRemoteJobs({{"data", {{"config", AgentConfigOf(document)}}}});
}

void Service::RunRemoteJobs(const json& agentDocument) {
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
                SendEventToModules(kComplianceJobEvent, 0, data.c_str(), data.size() + 1);
                continue;
            }
            LOG_INFO << "Install component: job: " << name;
            bool known = false;
            {
                std::lock_guard lock(_remote_jobs_mutex);
                known = _remote_jobs.count(name) > 0;
            }
            if (known) continue;
            std::shared_ptr<InstallComponent> job;
            try {
                job = _remote_job_factory ? _remote_job_factory(name, entry) : nullptr;
            } catch (const std::exception& e) {
                LOG_ERROR << "Install component: job: " << name << " cannot be created: " << e.what();
                continue;
            }
            std::lock_guard lock(_remote_jobs_mutex);
            _remote_jobs.emplace(name, std::move(job));
        }
    }

    std::vector<std::pair<std::string, std::shared_ptr<InstallComponent>>> jobs;
    std::vector<std::shared_ptr<InstallComponent>> dropped;
    {
        std::lock_guard lock(_remote_jobs_mutex);
        if (whole) {
            for (auto it = _remote_jobs.begin(); it != _remote_jobs.end();) {
                const int32_t status = it->second ? StatusOf(*it->second) : 0;
                if (!listed.count(it->first) && (status <= 0 || status > 11)) {
                    // Released outside the lock: a job's end waits for its tasks.
                    dropped.push_back(std::move(it->second));
                    it = _remote_jobs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        jobs.assign(_remote_jobs.begin(), _remote_jobs.end());
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
    if (!RemoteJobsProcessing.GetNextDelay(ticks)) ticks = kDefaultDelayTicks;
    LOG_INFO << "RemoteJobsProcessing will run in " << Utils::FormatDuration(ticks);
    WhenRemoteJobsAllowed(FromTicks(ticks), [this] { PerformRemoteJobs(); });
}

std::shared_ptr<InstallComponent> Service::FindRemoteJob(const std::string& name) {
    std::lock_guard lock(_remote_jobs_mutex);
    auto it = _remote_jobs.find(name);
    return it == _remote_jobs.end() ? nullptr : it->second;
}

void Service::RerunRemoteJob(bool run, std::chrono::milliseconds delay, const std::string& name) {
    RerunRemoteJob(run, delay, name, _modules_generation.load());
}

void Service::RerunRemoteJob(bool run, std::chrono::milliseconds delay, const std::string& name,
                             uint64_t generation) {
    if (!run) return;
    const int64_t ticks = MillisecondsToTicks(delay.count());
    LOG_INFO << "Job: " << name << " will run in " << Utils::FormatDuration(ticks);
    WhenRemoteJobsAllowed(FromTicks(ticks), [this, name] {
        if (auto job = FindRemoteJob(name)) {
            job->Process();
        } else {
            LOG_ERROR << "Object not found for job_name: " << name;
        }
    }, generation);
}

void Service::RerunRemoteJobMonitor(bool run, int32_t minutes, const std::string& name) {
    RerunRemoteJobMonitor(run, minutes, name, _modules_generation.load());
}

void Service::RerunRemoteJobMonitor(bool run, int32_t minutes, const std::string& name, uint64_t generation) {
    if (!run) return;
    // Fits: 2^31 minutes are about 1.3e18 ticks.
    const int64_t ticks = std::clamp<int64_t>(int64_t(minutes) * kTicksPerMinute, 0, kMaxDelayTicks);
    LOG_INFO << "Monitor Job: " << name << " will run in " << Utils::FormatDuration(ticks);
    WhenRemoteJobsAllowed(FromTicks(ticks), [this, name] {
        auto job = FindRemoteJob(name);
        if (!job) {
            LOG_ERROR << "Object not found for job_name: " << name;
        } else if (!job->isSelfUpdate) {
            job->Monitor();
        }
    }, generation);
}

void Service::HoldSelfUpdate(std::chrono::milliseconds delay, const std::string& name) {
    HoldSelfUpdate(delay, name, _modules_generation.load());
}

void Service::HoldSelfUpdate(std::chrono::milliseconds delay, const std::string& name, uint64_t generation) {
    if (generation != _modules_generation.load()) return;
    LOG_INFO << "Install component: Verifying other job status before running " << name;
    std::shared_ptr<InstallComponent> self;
    std::string busy_name;
    int32_t busy_status = 0;
    {
        std::lock_guard lock(_remote_jobs_mutex);
        for (const auto& [other, job] : _remote_jobs) {
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
            if (generation != _modules_generation.load()) return;
            if (auto job = FindRemoteJob(name)) {
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
            if (generation == _modules_generation.load()) self->Process();
        });
    }
}

}  // namespace zelko::plenar::agent
