#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "connectivity/connectivity_module.h"
#include "jobs/component_validator.h"
#include "jobs/service_host.h"
#include "jobs/windows_task_scheduler.h"
#include "foundation/random_value.h"
#include "outside/error/error.h"

namespace zelko::shared::plugin {
class IValidator;
}
namespace zelko::plenar::config {
class ConfigService;
}

namespace zelko::plenar::agent {

// The integer status of a job, as recorded in "Cache.json".
enum JobStatus : int32_t {
    Idle = 0,
    DownloadPending = 1,
    Downloading = 2,
    Downloaded = 4,
    ReadyToInstall = 6,
    SelfUpdateHeld = 7,
    Installing = 8,
    AwaitingInstall = 9,
    InstallTimedOut = 10,
    RetryPending = 11,
    Succeeded = 13,
    Failed = 14,
    Superseded = 15,
};

// How a download of the installer ended.
enum class DownloadResult : int32_t {
    None = 0,
    Failed = 1,
    Interrupted = 2,
    Complete = 3,
};

// What a poll of the job shadow found.
enum class JobContent : uint32_t {
    // A new job document was taken.
    Taken = 0,
    // Nothing new, or the poll failed.
    NothingNew = 1,
    // The first of consecutive polls that found no job shadow.
    FirstMissing = 2,
};

// What a keeping pass found, and so when the next one comes.
enum class KeepingResult : int32_t {
    StopKeeping = 2,
    AllSettled = 3,
    LookAgainSoon = 4,
    NeedsRepair = 5,
};

// Where a kept service stands between two keeping passes.
enum class ServiceWatch : int32_t {
    Unchecked = 0,
    Starting = 1,
    Settled = 3,
};

// One status record of the job's cache.
struct UpdateLogEntry {
    std::string laststatusupdatetime;
    std::string uploadedtime;
    std::string hash;
    std::string version;
    int32_t status = 0;
    uint32_t retryattempted = 0;
    uint64_t downloadedbytes = 0;

    nlohmann::json ToJson() const;
    // Missing keys read as "" or 0; a key of the wrong JSON type raises the JSON type error.
    static UpdateLogEntry FromJson(const nlohmann::json& object);
};

// The job shadow operations a job needs; they default to the connectivity module's shadow calls.
struct JobShadows {
    std::function<shared::error::Error(const std::string& name, std::string& content)> get;
    std::function<shared::error::Error(const std::string& name, const std::string& document)> update;
    std::function<shared::error::Error(const std::string& name)> remove;
};

// One remote install job: its configuration, its folder, the kept job document and the cache whose
// status history lets the job continue where it stopped.
class InstallComponent {
  public:
    using RerunProcess = std::function<void(bool, std::chrono::milliseconds, std::string)>;
    using RerunMonitor = std::function<void(bool, int32_t, std::string)>;
    using ReportError = std::function<void(shared::error::Error)>;
    using HoldSelfUpdate = std::function<void(std::chrono::milliseconds, std::string)>;

    // executable_path is the running program's unless given (tests give a Windows-form path).
    InstallComponent(std::string configPath, std::shared_ptr<config::ConfigService> configService, std::string jobName,
                     std::shared_ptr<ConnectivityModule> connectivity, RerunProcess rerunProcess,
                     ReportError reportError, HoldSelfUpdate holdSelfUpdate, RerunMonitor rerunMonitor,
                     nlohmann::json jobEntry, std::string executable_path = {});
    ~InstallComponent();
    InstallComponent(const InstallComponent&) = delete;
    InstallComponent& operator=(const InstallComponent&) = delete;

    void PopulateConfigParams(const std::string& configPath);
    DownloadResult DownloadInstaller(const std::string& url, const std::string& path, uint64_t& downloadedBytes,
                                     bool& downloadComplete);
    bool ValidateInstallerSignature(const std::string& path);
    void CreateDownloadPath(const std::string& path);
    void LoadCache(const std::string& cachePath);
    void CreateCache(const std::string& cachePath);
    void InitCache(const std::string& folder);

    void SetJobStatus(int32_t status, bool replace);
    void WriteCache(const std::string& folder);
    void WriteContentToFile(const std::string& folder, const std::string& content);
    void ReadShadowContentFromFile(const std::string& path);
    std::string GetTimestampFromContent(const std::string& content);
    bool IsTimeStampDifferent(const std::string& shadowTimestamp, const std::string& keptTimestamp);
    void SetupServiceMap();

    // Starts one run of the job's state machine on a task of its own; never throws.
    void Process();
    JobContent GetJobContent(const std::string& name);
    void PerformPostInstallTasks(bool success);
    void UpdateStatusShadow(const std::string& code, const std::string& version, const std::string& message,
                            const std::string& timestamp);
    // Starts the installer through a task, else as a process; true when either started it.
    bool CreateTask();
    std::string BuildInstallerCommandLine(const std::string& installerPath, const std::string& arguments) const;
    // Starts the executor (searched on the path) with the command line as a process of its own.
    bool RunUpgrade(const std::string& commandLine);
    // Starts a keeping pass on a task of its own, or asks for one a minute later while a pass or
    // a run of the job is under way.
    void Monitor();
    // One keeping pass.
    KeepingResult ManageInstalledJobs();

    // True when what the job document names is installed. A document that names nothing proves
    // nothing until the installer has been started for the job.
    bool VerifyInstallation();
    // Whether the installer has been started for the current job document, in this run of the
    // agent or (as the cache records) an earlier one.
    bool InstallerLaunchedForJob() const;
    // Removes the job shadow after a successful installation unless a newer job was posted.
    void DeleteCloudShadow();

    // Status of the last history entry, 0 when there is none. Safe from any thread.
    int32_t LastStatus() const;
    // A copy of the history, for other threads.
    std::vector<UpdateLogEntry> History() const;

    // Name of the job's retry policy, and so of its state file: one per job.
    static std::string PolicyName(const std::string& jobName);
    static nlohmann::json DefaultPolicyDocument();

    // Minutes between two runs of a job that needs no early retry: "ival" of the job entry.
    std::chrono::minutes RunInterval() const;
    static constexpr int64_t kDefaultRunMinutes = 720;

  private:
    // How one status step of a run ends: the run goes on to the steps after it (asking for a short
    // retry at its end or not), or the step has asked for what comes next itself.
    enum class StepEnd { GoOn, RetrySoon, Done };
    void Run();
    StepEnd RunSelfUpdateHeld();
    StepEnd RunIdle();
    StepEnd RunRetryPending();
    StepEnd RunDownload();
    StepEnd RunDownloaded();
    StepEnd RunReadyToInstall();
    StepEnd RunInstalling();
    StepEnd RunInstallTimedOut();
    void RunMonitor();
    void StartMonitor();
    // Whether no keeping pass asked for later is on its way any more.
    bool KeepingPassDue() const;
    void AskForKeepingPass(int32_t minutes);
    void ResetPolicy();
    void WireDefaults();
  public:

    nlohmann::json jobEntry;
    nlohmann::json config;
    std::shared_ptr<config::ConfigService> configService;
    std::shared_ptr<ConnectivityModule> connectivity;
    nlohmann::json validationParams = nlohmann::json::object();
    std::string jobFolder;
    std::string installerPath;
    std::string executablePath;
    std::string serviceName;
    std::string executor;
    std::string taskName;
    std::string arguments;
    std::string idleWaitTime;
    std::string executionTimeLimit;
    int32_t retryAttempts = 0;
    std::string jobName;
    std::string downloadUrl;
    std::string checksum;
    std::string jobTimestamp;
    // Written by the job's tasks only; other threads read it through LastStatus and History.
    std::vector<UpdateLogEntry> updateLog;
    mutable std::mutex updateLogMutex;
    nlohmann::json cacheDocument;
    uint32_t retryAttempted = 0;
    RerunProcess rerunProcess;
    RerunMonitor rerunMonitor;
    ReportError reportError;
    HoldSelfUpdate holdSelfUpdate;
    std::shared_ptr<IRandomValue> installPolicy;
    // Both futures are touched by the scheduler's worker and by the tasks: guarded by taskMutex.
    std::mutex taskMutex;
    std::future<void> processTask;
    std::future<void> monitorTask;
    nlohmann::json policyDocument;
    int32_t jobStatus = 0;
    std::unordered_map<std::string, ServiceWatch> serviceMap;
    // Set by the service's worker, read by the job's tasks.
    std::atomic<bool> isSelfUpdate{false};
    std::atomic<bool> selfUpdateReleased{false};
    int32_t signatureFailures = 0;
    int32_t validationIntervalMin = 720;
    std::atomic<bool> processStarted{false};
    int32_t missingJobPolls = 0;
    uint64_t downloadedBytes = 0;
    bool downloadComplete = false;
    DownloadResult downloadResult = DownloadResult::None;
    JobShadows shadows;
    // The parts of the run that reach outside. Empty ones run the job's own operation; the
    // others are wired to the connectivity module, the system and the task facility, and tests
    // replace them.
    struct Actions {
        // Replaces the whole download operation.
        std::function<DownloadResult(const std::string& url, const std::string& path, uint64_t& bytes,
                                     bool& complete)>
            download;
        // The transfer the download operation uses: the connectivity module's S3 download.
        std::function<shared::error::Error(const std::string& url, const std::string& path, uint64_t& bytes,
                                           bool& complete)>
            fetch;
        // Replaces the whole signature check.
        std::function<bool(const std::string& path)> validateSignature;
        // The validator the signature check creates for each check, and its waits.
        std::function<std::unique_ptr<shared::plugin::IValidator>()> makeValidator;
        std::function<void(std::chrono::seconds)> sleep;
        std::function<bool()> createTask;
        std::function<bool()> hasInternet;
        // Replaces the keeping pass request.
        std::function<void()> monitor;
        std::function<void(const std::string& taskName)> deleteTask;
    } actions;
    std::shared_ptr<ServiceHost> serviceHost;
    // How long Process waits for a running task before it asks to be called again.
    std::chrono::milliseconds taskWaitLimit{5000};
    ComponentValidator validator;
    WindowsTaskScheduler taskScheduler;
    // The installer has been started for the current job in this run of the agent; the cache
    // keeps the proof across restarts (InstallerLaunchedForJob).
    bool installerLaunched = false;
    // Cancels the download under way to a path; set by whoever wires the S3 download.
    std::function<void(const std::string& path)> cancelDownload;
    // The native path of the job's current download, for the cancel.
    std::mutex downloadPathMutex;
    std::string downloadPath;
    std::atomic<bool> downloadRunning{false};
    // When the keeping pass asked for through rerunMonitor is due (clock ticks, 0: none) and its wait.
    std::atomic<int64_t> keepingPassDue{0};
    std::atomic<int64_t> keepingPassSpan{0};
};

}  // namespace zelko::plenar::agent
