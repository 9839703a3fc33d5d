#include "jobs/install_component.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "config/config_service.h"
#include "features/system_info.h"
#include "foundation/logging.h"
#include "foundation/retry_policy.h"
#include "foundation/settings.h"
#include "foundation/utils_files.h"
#include "foundation/utils_system.h"
#include "foundation/utils_time.h"
#include "jobs/windows_paths.h"
#include "outside/plugin_manager/validator.h"
#include "outside/s3/s3_client.h"
#include "platform/clock.h"
#include "platform/file_replace.h"
#include "platform/service_control.h"
#include "platform/task_scheduler.h"

namespace zelko::plenar::agent {

using nlohmann::json;

namespace {

const char* const kDefaultUpdateFolder = "%programdata%/Zelko/Zelko Plenar Agent/Installer";

json DefaultJobList() {
    return json::array({{{"ExecutionJobName", "job-1e-install"}, {"StatusJobName", "state"}, {"ServiceName", "1EClient"}}});
}

json DefaultTaskSchedulerList() {
    return json::array({{{"name", "VevEInstaller"},
                         {"Arguments", " /quiet"},
                         {"Executor", ""},
                         {"IdleWaitTime", "PT5M"},
                         {"ExecutionTimeLimit", "PT1H"},
                         {"RetryAttempts", 3}}});
}

json Duration(int count, const char* units, int spread, const char* spread_units) {
    return {{"base_value", {{"count", count}, {"units", units}}},
            {"interval", {{"count", spread}, {"units", spread_units}}},
            {"interval_type", "StartingWithBase"}};
}

// The update folder by Windows rules, relative ones under the executable's folder.
std::string ResolveUpdateFolder(const std::string& folder, const std::string& executable_path) {
    if (winpath::IsAbsolute(folder)) return winpath::ToBackslashes(folder);
    std::string rest = folder.substr(winpath::RootName(folder).size());
    auto first = rest.find_first_not_of("\\/");
    rest = first == std::string::npos ? "" : rest.substr(first);
    std::string base = winpath::ParentFolder(executable_path);
    return winpath::ToBackslashes(rest.empty() ? base : base + "\\" + rest);
}

const json& DataOf(const json& document) {
    static const json empty;
    const json* level = &document;
    for (const char* key : {"state", "desired", "data"}) {
        if (!level->is_object() || !level->contains(key)) return empty;
        level = &(*level)[key];
    }
    return *level;
}

}  // namespace

json UpdateLogEntry::ToJson() const {
    return {{"laststatusupdatetime", laststatusupdatetime},
            {"uploadedtime", uploadedtime},
            {"hash", hash},
            {"version", version},
            {"status", status},
            {"retryattempted", retryattempted},
            {"downloadedbytes", downloadedbytes}};
}

namespace {

// A whole number of the cache that T holds; 0 when missing. A negative count would wrap around into
// a huge resume point, and a float out of range converts to nothing defined: either marks the cache
// as damaged. A float that holds a whole number in range is taken.
template <class T>
T CacheNumber(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return T{0};
    if (it->is_number_integer() && !it->is_number_unsigned() && it->get<int64_t>() < 0 &&
        !std::numeric_limits<T>::is_signed) {
        throw std::runtime_error(std::string("Cache.json: \"") + key + "\" is negative");
    }
    if (it->is_number_float()) {
        const double value = it->get<double>();
        if (!(value >= static_cast<double>(std::numeric_limits<T>::min()) &&
              value <= static_cast<double>(std::numeric_limits<T>::max()) &&
              value < std::ldexp(1.0, std::numeric_limits<T>::digits)) ||
            value != std::trunc(value)) {
            throw std::runtime_error(std::string("Cache.json: \"") + key + "\" is not a whole number in range");
        }
        return static_cast<T>(value);
    }
    return it->get<T>();
}

}  // namespace

UpdateLogEntry UpdateLogEntry::FromJson(const json& object) {
    UpdateLogEntry entry;
    entry.laststatusupdatetime = object.value("laststatusupdatetime", std::string());
    entry.uploadedtime = object.value("uploadedtime", std::string());
    entry.hash = object.value("hash", std::string());
    entry.version = object.value("version", std::string());
    entry.status = CacheNumber<int32_t>(object, "status");
    entry.retryattempted = CacheNumber<uint32_t>(object, "retryattempted");
    entry.downloadedbytes = CacheNumber<uint64_t>(object, "downloadedbytes");
    return entry;
}

InstallComponent::InstallComponent(std::string configPath, std::shared_ptr<config::ConfigService> configService,
                                   std::string jobName, std::shared_ptr<ConnectivityModule> connectivity,
                                   RerunProcess rerunProcess, ReportError reportError,
                                   HoldSelfUpdate holdSelfUpdate, RerunMonitor rerunMonitor, json jobEntry,
                                   std::string executable_path)
    : jobEntry(std::move(jobEntry)),
      configService(std::move(configService)),
      connectivity(std::move(connectivity)),
      jobName(std::move(jobName)),
      rerunProcess(std::move(rerunProcess)),
      rerunMonitor(std::move(rerunMonitor)),
      reportError(std::move(reportError)),
      holdSelfUpdate(std::move(holdSelfUpdate)) {
    // The name becomes the job's folder under the update folder: one that could leave it is refused
    // before anything is read or written.
    if (!winpath::IsPlainName(this->jobName)) {
        LOG_ERROR << "Install component: the job name "
                  << json(this->jobName).dump(-1, ' ', false, json::error_handler_t::replace)
                  << " cannot name a folder; the job is refused";
        throw std::invalid_argument("Install component: job name refused: " + this->jobName);
    }
    WireDefaults();
    executablePath = executable_path.empty() ? Utils::GetExecutableFilePath().string() : executable_path;
    PopulateConfigParams(configPath);
    CreateDownloadPath(jobFolder);
    policyDocument = DefaultPolicyDocument();
    // Each job keeps its own counters: a shared state file let one job's policy overwrite another's.
    installPolicy = CreateRateLimiterPolicy(policyDocument, PolicyName(this->jobName),
                                            winpath::ToNative(winpath::ParentFolder(executablePath)).string());
}

InstallComponent::~InstallComponent() {
    if (downloadRunning && cancelDownload) {
        // Only this job's transfers: other jobs' downloads go on.
        std::string path;
        {
            std::lock_guard lock(downloadPathMutex);
            path = downloadPath;
        }
        if (!path.empty()) {
            cancelDownload(path);
            cancelDownload(path + ".sig");
        }
    }
    std::future<void> process;
    std::future<void> monitor;
    {
        std::lock_guard lock(taskMutex);
        process = std::move(processTask);
        monitor = std::move(monitorTask);
    }
    if (process.valid()) process.wait();
    if (monitor.valid()) monitor.wait();
}

std::string InstallComponent::PolicyName(const std::string& jobName) { return "InstallComponent-" + jobName; }

json InstallComponent::DefaultPolicyDocument() {
    return {{"type", "Exp"},
            {"end_type", "Stop"},
            {"initial_delay", Duration(2, "min", 10, "sec")},
            {"diff_or_base", Duration(2, "sec", 1, "sec")},
            {"end_time", Duration(30, "min", 30, "sec")},
            {"max_delay", Duration(30, "min", 5, "sec")}};
}

void InstallComponent::PopulateConfigParams(const std::string& configPath) {
    LOG_INFO << "Install component: " << jobName
             << " Install component starting with configuration file: " << configPath;
    // No built-in default: without the file no job is built. Said in words that name the file,
    // not as the type error that reading no document would raise.
    std::error_code exists_error;
    if (!std::filesystem::exists(winpath::ToNative(configPath), exists_error) && !exists_error) {
        throw std::runtime_error("the configuration file " + configPath +
                                 " is missing; no install job is built without it");
    }
    // A damaged file leaves no document, which fails below.
    config = json();
    try {
        config = Utils::LoadJsonFile(winpath::ToNative(configPath));
    } catch (const std::exception& e) {
        LOG_ERROR << "Install component: " << jobName << " cannot read " << configPath << ": " << e.what();
    }
    std::string update_folder = Utils::ExpandEnvironment(config.value("UpdateFolder", std::string(kDefaultUpdateFolder)));
    update_folder = ResolveUpdateFolder(update_folder, executablePath);

    for (const auto& entry : config.value("Job", DefaultJobList())) {
        serviceName = entry.value("ServiceName", std::string("1EClient"));
    }
    for (const auto& entry : config.value("TaskScheduler", DefaultTaskSchedulerList())) {
        arguments = entry.value("Arguments", std::string(" /quiet"));
        executor = entry.value("Executor", std::string("msiexec"));
        idleWaitTime = entry.value("IdleWaitTime", std::string("PT5M"));
        executionTimeLimit = entry.value("ExecutionTimeLimit", std::string("PT1H"));
        retryAttempts = static_cast<int32_t>(
            Settings::Int(entry, configPath, "RetryAttempts", 3, 0, std::numeric_limits<int32_t>::max()));
    }
    taskName = "ZelkoPlenarAgent_" + jobName;
    jobFolder = update_folder + "\\" + jobName;
    ReadShadowContentFromFile(jobFolder + "\\" + jobName);
}

void InstallComponent::CreateDownloadPath(const std::string& path) {
    auto native = winpath::ToNative(path);
    if (std::filesystem::exists(native)) {
        LOG_INFO << "Install component: " << jobName << " Download directory exists: " << path;
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(native, error);
    if (error) {
        throw std::runtime_error("Install component: Creating the downloading directory failed: " + path + " " +
                                 error.message());
    }
}

void InstallComponent::InitCache(const std::string& folder) {
    std::string cache_path = folder + "\\Cache.json";
    CreateCache(cache_path);
    LoadCache(cache_path);
}

void InstallComponent::CreateCache(const std::string& cachePath) {
    if (std::filesystem::exists(winpath::ToNative(cachePath))) return;
    LOG_INFO << "Install component: " << jobName << " Service is running for the first time";
    installerPath.clear();
    jobTimestamp.clear();
    SetJobStatus(Idle, false);
    std::lock_guard lock(updateLogMutex);
    updateLog.clear();
}

void InstallComponent::LoadCache(const std::string& cachePath) {
    if (!updateLog.empty()) return;
    cacheDocument = Utils::LoadJsonFile(winpath::ToNative(cachePath));
    const json& log = cacheDocument.at("UpdateLog");
    if (!log.is_array()) throw std::runtime_error("Cache.json: \"UpdateLog\" is not an array: " + cachePath);
    std::vector<UpdateLogEntry> entries;
    for (const auto& element : log) {
        if (!element.is_object()) throw std::runtime_error("Cache.json: an entry is not an object: " + cachePath);
        entries.push_back(UpdateLogEntry::FromJson(element));
    }
    std::lock_guard lock(updateLogMutex);
    updateLog = std::move(entries);
}

void InstallComponent::SetJobStatus(int32_t status, bool replace) {
    UpdateLogEntry entry;
    entry.laststatusupdatetime = Utils::GetUtcTimestamp();
    entry.uploadedtime = jobTimestamp;
    entry.hash = std::to_string(winpath::PathHash(installerPath));
    entry.version = installerPath.empty() ? "" : Utils::GetFileVersion(winpath::ToNative(installerPath).string());
    entry.status = status;
    entry.retryattempted = retryAttempted;
    entry.downloadedbytes = downloadedBytes;
    jobStatus = status;
    {
        std::lock_guard lock(updateLogMutex);
        if (replace && !updateLog.empty()) updateLog.pop_back();
        updateLog.push_back(std::move(entry));
    }
    WriteCache(jobFolder);
}

void InstallComponent::WriteCache(const std::string& folder) {
    std::string text = "{\"UpdateLog\" : [";
    std::unique_lock lock(updateLogMutex);
    for (size_t i = 0; i < updateLog.size(); ++i) {
        if (i) text += ",";
        text += updateLog[i].ToJson().dump();
    }
    lock.unlock();
    text += "]}\n";
    auto path = winpath::ToNative(folder + "\\Cache.json");
    if (platform::ReplaceFileContent(path, text) != platform::FileReplace::Ok) {
        LOG_ERROR << "Install component: " << jobName << " Failed to write cache: " << path.string();
    }
}

void InstallComponent::WriteContentToFile(const std::string& folder, const std::string& content) {
    std::string path = folder + "\\" + jobName;
    if (platform::ReplaceFileContent(winpath::ToNative(path), content + "\n") == platform::FileReplace::Ok) {
        LOG_INFO << "Install component: " << jobName << " Content written to file: " << path;
    } else {
        LOG_ERROR << "Install component: " << jobName << " Failed to open file for writing: " << path;
    }
}

void InstallComponent::ReadShadowContentFromFile(const std::string& path) {
    installerPath.clear();
    jobTimestamp.clear();
    auto native = winpath::ToNative(path);
    if (!std::filesystem::exists(native)) {
        LOG_INFO << "Install component: " << jobName << " Local shadow content file does not exist";
        return;
    }
    try {
        json document = Utils::LoadJsonFile(native);
        const json& data = DataOf(document);
        downloadUrl = data.value("location_x64", std::string());
        LOG_DEBUG << "zelko::plenar::agent::InstallComponent::ReadShadowContentFromFile" << " : platform is X64"
                  << " installer download location: " << downloadUrl;
        installerPath = jobFolder + "\\" + jobName + winpath::Extension(downloadUrl);
        checksum = data.value("checksum", std::string());
        jobTimestamp = data.value("timestamp", std::string());
        arguments = data.value("arguments", arguments);
        executor = data.value("executor", executor);
        executionTimeLimit = data.value("executionTimeLimit", executionTimeLimit);
        validationParams = data.value("validationParams", json::object());
        try {
            const json& interval = validationParams.is_object() && validationParams.contains("validationIntervalMin")
                                       ? validationParams["validationIntervalMin"]
                                       : json();
            if (interval.is_number_integer()) {
                // Zero or less would ask for the next keeping pass at once, over and over.
                validationIntervalMin =
                    static_cast<int32_t>(Settings::Minutes(validationParams, "job document of " + jobName,
                                                           "validationIntervalMin", validationIntervalMin)
                                             .count());
            } else {
                LOG_WARNING << "Install component: " << jobName
                            << "validationIntervalMin is not an integer, using default value: "
                            << validationIntervalMin;
            }
        } catch (const json::exception& e) {
            LOG_ERROR << "Install component: " << jobName << "Error parsing validationIntervalMin: " << e.what()
                      << ". Using default value: " << validationIntervalMin;
        }
        SetupServiceMap();
    } catch (const json::exception& e) {
        LOG_ERROR << "Error parsing Job Content: " << e.what();
    } catch (const std::runtime_error& e) {
        // A kept copy that cannot be read counts as missing, like any damaged file.
        LOG_ERROR << "Error parsing Job Content: " << path << ": " << e.what();
    }
}

void InstallComponent::SetupServiceMap() {
    if (validationParams.is_object() && validationParams.contains("services") &&
        validationParams["services"].is_array() && !validationParams["services"].empty()) {
        serviceMap.clear();
        for (const auto& service : validationParams["services"]) {
            if (service.is_object() && service.contains("name")) {
                serviceMap[service["name"].get<std::string>()] = ServiceWatch::Unchecked;
            } else {
                LOG_ERROR << "Install Component: " << jobName << " - 'name' field is missing for service.";
            }
        }
        return;
    }
    LOG_ERROR << "Install Component: " << jobName << " - Invalid or empty 'services' field in validationParams.";
}

std::string InstallComponent::GetTimestampFromContent(const std::string& content) {
    try {
        return json::parse(content).at("state").at("desired").at("data").at("timestamp").get<std::string>();
    } catch (const json::exception& e) {
        LOG_WARNING << "Error parsing content JSON: " << e.what();
    } catch (...) {
        LOG_WARNING << "install components: unknown exception while retrieving timestamp";
    }
    return "";
}

bool InstallComponent::IsTimeStampDifferent(const std::string& shadowTimestamp, const std::string& keptTimestamp) {
    if (shadowTimestamp.empty()) {
        LOG_INFO << "Timestamp retrieved from shadow content is empty";
        return false;
    }
    if (keptTimestamp.empty()) {
        LOG_INFO << "Install component: " << jobName << " No valid in-memory job timestamp available";
        return true;
    }
    return shadowTimestamp != keptTimestamp;
}

bool InstallComponent::InstallerLaunchedForJob() const {
    if (installerLaunched) return true;
    // The cache outlives a restart: an entry of this job at or past the launch proves it ran.
    std::lock_guard lock(updateLogMutex);
    return std::any_of(updateLog.begin(), updateLog.end(), [this](const UpdateLogEntry& entry) {
        return entry.uploadedtime == jobTimestamp &&
               (entry.status == Installing || entry.status == AwaitingInstall ||
                entry.status == InstallTimedOut || entry.status == Succeeded);
    });
}

bool InstallComponent::VerifyInstallation() {
    if (!ComponentValidator::HasChecks(validationParams) && !InstallerLaunchedForJob()) {
        LOG_INFO << "Install component: " << jobName << " nothing to verify before the installer has run";
        return false;
    }
    if (validator.Validate(validationParams, jobName)) return false;
    LOG_INFO << "Install component: " << jobName << " Job Successfully Installed. performing post success operations...";
    return true;
}

void InstallComponent::DeleteCloudShadow() {
    std::string content;
    shared::error::Error error = shadows.get ? shadows.get(jobName, content)
                                             : shared::error::Error(shared::error::ErrorCategory::EC_Component, 1,
                                                                    "no shadow access");
    if (error) {
        LOG_ERROR << "Install component: " << jobName << " Error retrieving the shadow. Deletion skipped: " << error.what();
        return;
    }
    if (IsTimeStampDifferent(GetTimestampFromContent(content), jobTimestamp)) {
        LOG_INFO << "Install component: " << jobName
                 << " Skipping shadow deletion - a new update was posted during installation/validation.";
        return;
    }
    error = shadows.remove ? shadows.remove(jobName)
                           : shared::error::Error(shared::error::ErrorCategory::EC_Component, 1, "no shadow access");
    if (error) {
        LOG_ERROR << "Install component: " << jobName << " Failed to delete the shadow: " << error.what();
    } else {
        LOG_INFO << "Install component: " << jobName << " Successfully deleted the shadow.";
    }
}

int32_t InstallComponent::LastStatus() const {
    std::lock_guard lock(updateLogMutex);
    return updateLog.empty() ? 0 : updateLog.back().status;
}

std::vector<UpdateLogEntry> InstallComponent::History() const {
    std::lock_guard lock(updateLogMutex);
    return updateLog;
}

}  // namespace zelko::plenar::agent

namespace zelko::plenar::agent {

namespace {

constexpr std::chrono::milliseconds kShortRetry{120000};
constexpr std::chrono::milliseconds kOnlineDownloadRetry{3600000};

const char* const kStatusTemplate =
    R"({"state": {"desired": {"data": {"code": "1", "message": "Failed to download 1E", "timestamp": "2024-01-02T19:40:58.437085"}, "version": "0"}}})";

}  // namespace

void InstallComponent::WireDefaults() {
    if (connectivity) {
        ConnectivityModule* module = connectivity.get();
        shadows.get = [module](const std::string& name, std::string& content) { return module->GetShadow(name, content); };
        shadows.update = [module](const std::string& name, const std::string& document) {
            return module->UpdateShadow(name, document);
        };
        shadows.remove = [module](const std::string& name) { return module->DeleteShadow(name); };
        actions.fetch = [module](const std::string& url, const std::string& path, uint64_t& bytes, bool& complete) {
            return module->DownloadFromS3(url, path, bytes, complete);
        };
        cancelDownload = [module](const std::string& path) { module->CancelS3Download(path); };
    }
    actions.makeValidator = [] { return std::make_unique<shared::plugin::Validator>(); };
    actions.sleep = [](std::chrono::seconds wait) { std::this_thread::sleep_for(wait); };
    actions.hasInternet = [] { return SystemInfo::HasInternetConnectivity(); };
    actions.deleteTask = [this](const std::string& name) { taskScheduler.DeleteTask(name); };
    serviceHost = SystemServiceHost();
}

DownloadResult InstallComponent::DownloadInstaller(const std::string& url, const std::string& path,
                                                   uint64_t& bytes, bool& complete) {
    if (actions.download) return actions.download(url, path, bytes, complete);
    LOG_INFO << "Install component: " << jobName << " Downloading the updates...";
    const std::string location = url;
    const std::string native_path = path.empty() ? std::string() : winpath::ToNative(path).string();
    {
        std::lock_guard lock(downloadPathMutex);
        downloadPath = native_path;
    }
    shared::error::Error error = actions.fetch ? actions.fetch(location, native_path, bytes, complete)
                                               : shared::error::Error(shared::error::ErrorCategory::EC_Component, 1,
                                                                      "no connectivity module");
    if (error) {
        LOG_ERROR << "Install component: " << jobName << " failed to download the updates: " << error.what();
        return DownloadResult::Failed;
    }
    if (complete) {
        // The detached signature travels beside the installer: "<location>.sig".
        uint64_t signature_bytes = 0;
        bool signature_complete = false;
        error = actions.fetch(location + ".sig", native_path + ".sig", signature_bytes, signature_complete);
        if (error || !signature_complete) {
            LOG_ERROR << "Install component: " << jobName << " failed to download the installer's signature: "
                      << (error ? error.what() : std::string("interrupted"));
            complete = false;
            bytes = 0;
            return DownloadResult::Failed;
        }
        LOG_INFO << "Install component: " << jobName << " Successfully downloaded the updates... " << "Bytes: " << bytes;
        return DownloadResult::Complete;
    }
    LOG_INFO << "Install component: " << jobName << " Download interrupted" << "Bytes: " << bytes;
    return DownloadResult::Interrupted;
}

bool InstallComponent::ValidateInstallerSignature(const std::string& path) {
    if (actions.validateSignature) return actions.validateSignature(path);
    std::unique_ptr<shared::plugin::IValidator> checker = actions.makeValidator ? actions.makeValidator() : nullptr;
    const std::string native_path = winpath::ToNative(path).string();
    int last_error = 0;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        // The installer may still be settling on disk (scanners, the file system's caches).
        if (actions.sleep) actions.sleep(std::chrono::seconds(15 * attempt));
        errno = 0;
        const int32_t result = checker ? checker->ValidateFile(native_path.c_str()) : -1;
        last_error = errno;
        if (result == 0) {
            LOG_INFO << "Install component: " << jobName << " Installer signature validated...";
            return true;
        }
        LOG_INFO << "Install component: retry " << (attempt - 1);
    }
    LOG_ERROR << "Installer signature validation failed... " << last_error;
    return false;
}

bool InstallComponent::CreateTask() {
    bool created = actions.createTask ? actions.createTask() : false;
    if (!actions.createTask) {
        // Built afresh each time from the job's arguments, so a retry does not wrap them again.
        std::string program = executor == "start" ? installerPath : executor;
        std::string command_line =
            executor == "start" ? arguments
                                : BuildInstallerCommandLine(winpath::ToNative(installerPath).string(), arguments);
        std::string native_program = executor == "start" ? winpath::ToNative(installerPath).string() : program;
        if (executor == "start") {
            // The download is the program itself here; nothing else lets it run.
            int error = 0;
            if (!platform::MakeExecutable(native_program, &error)) {
                LOG_ERROR << "Install component: " << jobName
                          << " the installer cannot be made runnable: " << error;
            }
        }
        if (taskScheduler.CreateTask(native_program, taskName, command_line, idleWaitTime, executionTimeLimit)) {
            LOG_INFO << "Install component: " << jobName << " Windows task created.";
            created = true;
        } else {
            LOG_INFO << "Install component: " << jobName
                     << " Failed to create the windows scheduler task...Attempting to run the installer as a process.";
            created = RunUpgrade(command_line);
            if (!created) {
                LOG_ERROR << "Install component: " << jobName << " Failed to run the installer as a process.";
            }
        }
    }
    if (created) installerLaunched = true;
    return created;
}

std::string InstallComponent::BuildInstallerCommandLine(const std::string& path, const std::string& args) const {
    std::string quoted = "\"" + path + "\" " + args;
    return executor == "msiexec" ? "/i " + quoted : quoted;
}

bool InstallComponent::RunUpgrade(const std::string& commandLine) {
    int error = 0;
    // "start" names no program: the installer runs itself, as the task would run it.
    const std::string program = executor == "start" ? winpath::ToNative(installerPath).string() : executor;
    if (platform::StartDetachedProcess(program, platform::SplitCommandLine(commandLine), &error)) {
        LOG_INFO << "Install component: " << jobName << " Installing the updates...";
        return true;
    }
    LOG_ERROR << "Install component: " << jobName << " Installer execution failed" << error;
    return false;
}

void InstallComponent::Monitor() {
    if (actions.monitor) {
        actions.monitor();
        return;
    }
    LOG_INFO << "Install component: " << jobName << " verifying if job is in progress or is in monitoring...";
    if (!KeepingPassDue()) {
        // A pass asked for later is on its way: another trigger (the remote jobs task runs daily)
        // would start one more chain of passes beside it.
        LOG_INFO << "Install component: " << jobName << " a keeping pass is already on its way";
        return;
    }
    StartMonitor();
}

bool InstallComponent::KeepingPassDue() const {
    const int64_t due = keepingPassDue.load();
    if (due == 0) return true;
    const int64_t now = platform::NowTicks();
    // A clock set back by more than the wait does not hold the pass back for longer.
    return now + platform::kTicksPerSecond >= due ||
           due - now > keepingPassSpan.load() + platform::kTicksPerSecond;
}

void InstallComponent::AskForKeepingPass(int32_t minutes) {
    const int64_t span = int64_t(minutes) * 60 * platform::kTicksPerSecond;
    keepingPassSpan = span;
    keepingPassDue = platform::NowTicks() + span;
    if (rerunMonitor) rerunMonitor(true, minutes, jobName);
}

void InstallComponent::StartMonitor() {
    const auto running = [](std::future<void>& task) {
        return task.valid() && task.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
    };
    // Process holds the lock while it waits for a task; a pass is then not due either. Waiting
    // for the lock here could hold up the very run that Process waits for.
    std::unique_lock lock(taskMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        LOG_INFO << "Install component: " << jobName << " processing of job is in progress...";
        AskForKeepingPass(1);
        return;
    }
    if (running(monitorTask)) {
        LOG_INFO << "Install component: " << jobName << " monitoring is already in progress...";
        AskForKeepingPass(1);
        return;
    }
    LOG_INFO << "Install component: " << jobName << " processing monitoring...";
    if (running(processTask)) {
        LOG_INFO << "Install component: " << jobName << " processing of job is in progress...";
        AskForKeepingPass(1);
        return;
    }
    if (monitorTask.valid()) monitorTask.wait();
    monitorTask = std::async(std::launch::async, [this] { RunMonitor(); });
}

void InstallComponent::RunMonitor() {
    try {
        keepingPassDue = 0;
        jobStatus = LastStatus();
        // A job that is being processed again is kept only after its next installation.
        if (jobStatus != Idle && jobStatus != Succeeded) return;
        switch (ManageInstalledJobs()) {
            case KeepingResult::NeedsRepair:
                SetJobStatus(Downloaded, true);
                if (rerunProcess) rerunProcess(true, std::chrono::milliseconds(0), jobName);
                break;
            case KeepingResult::LookAgainSoon:
                AskForKeepingPass(5);
                break;
            case KeepingResult::AllSettled:
                AskForKeepingPass(validationIntervalMin);
                break;
            case KeepingResult::StopKeeping:
                LOG_INFO << "Install Component: " << jobName << " Monitoring is stopped...";
                break;
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Install Component: " << jobName << " - Exception occurred: " << e.what();
    } catch (...) {
        LOG_ERROR << "Install Component: " << jobName << " - Exception occurred";
    }
}

KeepingResult InstallComponent::ManageInstalledJobs() {
    try {
        if (!VerifyInstallation()) {
            LOG_ERROR << "Install Component: " << jobName << " - Installed verion requires a repair";
            return KeepingResult::NeedsRepair;
        }
        const json* services = validationParams.is_object() && validationParams.contains("services")
                                   ? &validationParams["services"]
                                   : nullptr;
        if (services == nullptr || !services->is_array() || services->empty()) {
            LOG_ERROR << "Install Component: " << jobName << " - Invalid or empty 'services' field in validationParams.";
            return KeepingResult::StopKeeping;
        }
        if (!serviceHost) serviceHost = SystemServiceHost();
        for (const auto& entry : *services) {
            if (!entry.is_object() || !entry.contains("name")) {
                LOG_ERROR << "Install Component: " << jobName << " - 'name' field is missing for service.";
                return KeepingResult::StopKeeping;
            }
            const std::string name = entry["name"].get<std::string>();
            bool run_condition = true;
            if (entry.contains("run_cond")) {
                try {
                    const auto condition = nlohmann::ordered_json::parse(entry["run_cond"].get<std::string>());
                    run_condition = configService ? configService->ValidateCondition(condition) : true;
                } catch (const std::exception& e) {
                    LOG_WARNING << "Install Component: " << jobName
                                << " - Invalid run condition for service, starting by default: " << name << " "
                                << e.what();
                }
            }
            const ServiceHost::Query query = serviceHost->QueryService(name);
            switch (query.failed) {
                case ServiceHost::Step::Manager:
                    LOG_ERROR << "Install Component: " << jobName << " - OpenSCManager failed with error: " << query.error;
                    return KeepingResult::LookAgainSoon;
                case ServiceHost::Step::Service:
                    LOG_ERROR << "Install Component: " << jobName << " - OpenService failed with error: " << query.error;
                    return KeepingResult::LookAgainSoon;
                case ServiceHost::Step::Status:
                    LOG_ERROR << "Install Component: " << jobName
                              << " - QueryServiceStatusEx failed with error: " << query.error;
                    return KeepingResult::LookAgainSoon;
                case ServiceHost::Step::Ok: break;
            }
            const std::string prefix = "Install Component: " + jobName + " Service " + name;
            ServiceWatch& state = serviceMap[name];
            const bool is_running = query.state == platform::kServiceRunning;
            if (state == ServiceWatch::Unchecked || state == ServiceWatch::Settled) {
                if (!run_condition) {
                    state = ServiceWatch::Settled;
                } else if (is_running) {
                    LOG_INFO << prefix << " - Service is already running";
                    state = ServiceWatch::Settled;
                } else if (query.state == platform::kServiceStartPending) {
                    LOG_WARNING << prefix << " - Service is already starting. Waiting to see if it starts successfully";
                    state = ServiceWatch::Starting;
                } else {
                    if (const uint32_t error = serviceHost->StartService(name); error == 0) {
                        LOG_INFO << prefix << " - Service start is pending. Waiting to be in running";
                    } else {
                        LOG_WARNING << prefix << " - Service start failed with error: " << error;
                    }
                    state = ServiceWatch::Starting;
                }
            } else if (state == ServiceWatch::Starting) {
                if (run_condition) {
                    LOG_INFO << prefix << " - " << (is_running ? "Service successfully started" : "Service start failed!");
                    if (is_running) {
                        LOG_INFO << prefix << " Service successfully running";
                    } else {
                        LOG_WARNING << prefix << " - Service did not start after attempting to start...continue monitoring";
                    }
                }
                state = ServiceWatch::Settled;
            }
        }
        for (const auto& [name, state] : serviceMap) {
            if (state == ServiceWatch::Starting) return KeepingResult::LookAgainSoon;
        }
        return KeepingResult::AllSettled;
    } catch (const std::exception& e) {
        LOG_ERROR << "Install Component: " << jobName << " - Exception occurred: " << e.what();
        return KeepingResult::StopKeeping;
    }
}

std::chrono::minutes InstallComponent::RunInterval() const {
    int64_t minutes = kDefaultRunMinutes;
    try {
        const json ival = jobEntry.is_object() && jobEntry.contains("ival") ? jobEntry["ival"] : json("720");
        minutes = std::stoi(ival.get<std::string>());
    } catch (const std::exception& e) {
        LOG_ERROR << "Install Component: Invalid ival value, defaulting to 12 hours: " << e.what();
        return std::chrono::minutes(kDefaultRunMinutes);
    }
    // Zero or less would ask for the next run at once, over and over.
    return Settings::Minutes(json{{"ival", minutes}}, "remote job " + jobName, "ival", kDefaultRunMinutes);
}

void InstallComponent::ResetPolicy() {
    if (installPolicy) installPolicy->Reset();
}

void InstallComponent::Process() {
    try {
        LOG_INFO << "Install component: " << jobName << " Processing...";
        processStarted = true;
        std::lock_guard lock(taskMutex);
        if (processTask.valid() && processTask.wait_for(taskWaitLimit) != std::future_status::ready) {
            LOG_INFO << "Install component: " << jobName << " Existing job processing is already in progress...";
            if (rerunProcess) rerunProcess(true, kShortRetry, jobName);
            return;
        }
        LOG_INFO << "Install component: " << jobName << " Waiting for the monitor step to complete...";
        if (monitorTask.valid() && monitorTask.wait_for(taskWaitLimit) != std::future_status::ready) {
            LOG_INFO << "Install component: " << jobName << " Existing job Monitoring is already in progress...";
            if (rerunProcess) rerunProcess(true, kShortRetry, jobName);
            return;
        }
        InitCache(jobFolder);
        processTask = std::async(std::launch::async, [this] { Run(); });
    } catch (const std::exception& e) {
        LOG_ERROR << "Install component failed to process, unknown exception: " << e.what();
        // A job left without a rerun would rest until the service restarts.
        if (rerunProcess) rerunProcess(true, kShortRetry, jobName);
    } catch (...) {
        LOG_ERROR << "Install component failed to process, unknown exception";
        if (rerunProcess) rerunProcess(true, kShortRetry, jobName);
    }
}

void InstallComponent::Run() {
    // The steps in the order a run walks them: a step that moves the job on lets the steps after it
    // take it further in the same run.
    static constexpr struct {
        JobStatus status;
        JobStatus alsoStatus;
        StepEnd (InstallComponent::*step)();
    } kSteps[] = {
        {SelfUpdateHeld, SelfUpdateHeld, &InstallComponent::RunSelfUpdateHeld},
        {Idle, Idle, &InstallComponent::RunIdle},
        {RetryPending, RetryPending, &InstallComponent::RunRetryPending},
        {DownloadPending, Downloading, &InstallComponent::RunDownload},
        {Downloaded, Downloaded, &InstallComponent::RunDownloaded},
        {ReadyToInstall, ReadyToInstall, &InstallComponent::RunReadyToInstall},
        {Installing, AwaitingInstall, &InstallComponent::RunInstalling},
        {InstallTimedOut, InstallTimedOut, &InstallComponent::RunInstallTimedOut},
    };
    bool short_retry = false;
    try {
        jobStatus = LastStatus();
        LOG_INFO << "Install component: " << jobName << " Job status: " << jobStatus;
        if (!updateLog.empty()) downloadedBytes = updateLog.back().downloadedbytes;
        // Past the launch (also after a restart): the installer has run for this job.
        if (jobStatus == Installing || jobStatus == AwaitingInstall || jobStatus == InstallTimedOut) {
            installerLaunched = true;
        }
        for (const auto& entry : kSteps) {
            if (jobStatus != entry.status && jobStatus != entry.alsoStatus) continue;
            const StepEnd end = (this->*entry.step)();
            if (end == StepEnd::Done) return;
            if (end == StepEnd::RetrySoon) short_retry = true;
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "Install component: " << jobName << " run failed: " << e.what();
        short_retry = true;
    } catch (...) {
        LOG_ERROR << "Install component: " << jobName << " run failed with an unknown exception";
        short_retry = true;
    }

    if (!rerunProcess) return;
    if (short_retry) {
        bool online_failure = jobStatus == DownloadPending && downloadResult == DownloadResult::Failed;
        rerunProcess(true, online_failure ? kOnlineDownloadRetry : kShortRetry, jobName);
        return;
    }
    rerunProcess(true, std::chrono::milliseconds(RunInterval().count() * 60000), jobName);
}

InstallComponent::StepEnd InstallComponent::RunSelfUpdateHeld() {
    if (selfUpdateReleased) {
        selfUpdateReleased = false;
        if (CreateTask()) {
            SetJobStatus(Installing, true);
            return StepEnd::Done;
        }
        // Still held: the launch is tried again shortly.
        if (rerunProcess) rerunProcess(true, kShortRetry, jobName);
        return StepEnd::Done;
    }
    if (holdSelfUpdate) holdSelfUpdate(kShortRetry, jobName);
    return StepEnd::Done;
}

InstallComponent::StepEnd InstallComponent::RunIdle() {
    downloadedBytes = 0;
    switch (GetJobContent(jobName)) {
        case JobContent::Taken:
            retryAttempted = 0;
            signatureFailures = 0;
            installerLaunched = false;
            ResetPolicy();
            SetJobStatus(DownloadPending, true);
            missingJobPolls = 0;
            return StepEnd::GoOn;
        case JobContent::NothingNew:
            missingJobPolls = 0;
            return StepEnd::GoOn;
        case JobContent::FirstMissing:
            break;
    }
    return StepEnd::RetrySoon;
}

InstallComponent::StepEnd InstallComponent::RunRetryPending() {
    if (GetJobContent(jobName) == JobContent::Taken) {
        SetJobStatus(Superseded, true);
        installerLaunched = false;
        ResetPolicy();
        SetJobStatus(DownloadPending, false);
    } else {
        ++retryAttempted;
        SetJobStatus(Downloaded, true);
    }
    missingJobPolls = 0;
    return StepEnd::GoOn;
}

InstallComponent::StepEnd InstallComponent::RunDownload() {
    SetJobStatus(Downloading, true);
    downloadComplete = false;
    downloadResult = DownloadResult::None;
    downloadRunning = true;
    downloadResult = DownloadInstaller(downloadUrl, installerPath, downloadedBytes, downloadComplete);
    downloadRunning = false;
    switch (downloadResult) {
        case DownloadResult::Complete:
            SetJobStatus(Downloaded, true);
            return StepEnd::GoOn;
        case DownloadResult::Failed:
            if (actions.hasInternet && actions.hasInternet()) {
                LOG_ERROR << "Install component: " << jobName << " unable to download the installer.";
                downloadedBytes = 0;
                SetJobStatus(DownloadPending, true);
            } else {
                LOG_INFO << "Install component: " << jobName
                         << " Download interrupted due to internet unavailability..Retry to resume after 2 minutes";
                SetJobStatus(Downloading, true);
            }
            return StepEnd::RetrySoon;
        default:
            SetJobStatus(Downloading, true);
            return StepEnd::RetrySoon;
    }
}

InstallComponent::StepEnd InstallComponent::RunDownloaded() {
    SetJobStatus(ReadyToInstall, true);
    if (ValidateInstallerSignature(installerPath)) return StepEnd::GoOn;
    if (signatureFailures >= 3) {
        LOG_ERROR << "Install component: " << jobName
                  << " unable to validate the installer... Max download attempts exceeded - no updates will happen until next update";
        // Reported like every other failed cycle, so the cloud learns the job ended.
        UpdateStatusShadow("1", "", "Failure", Utils::GetUtcTimestamp());
        SetJobStatus(Failed, true);
        SetJobStatus(Idle, false);
        ResetPolicy();
        return StepEnd::GoOn;
    }
    LOG_ERROR << "Install component: " << jobName << " unable to validate the installer...re-downloading - "
              << (signatureFailures + 1);
    SetJobStatus(DownloadPending, true);
    ++signatureFailures;
    return StepEnd::RetrySoon;
}

InstallComponent::StepEnd InstallComponent::RunReadyToInstall() {
    if (VerifyInstallation()) {
        LOG_INFO << "Install component: " << jobName
                 << " Same or higher version of the job is already installed....switching to monitoring";
        PerformPostInstallTasks(true);
        return StepEnd::GoOn;
    }
    SetJobStatus(Installing, true);
    if (isSelfUpdate) {
        SetJobStatus(SelfUpdateHeld, true);
        if (holdSelfUpdate) holdSelfUpdate(kShortRetry, jobName);
        return StepEnd::Done;
    }
    if (CreateTask()) return StepEnd::GoOn;
    SetJobStatus(ReadyToInstall, true);
    return StepEnd::RetrySoon;
}

InstallComponent::StepEnd InstallComponent::RunInstalling() {
    if (VerifyInstallation()) {
        PerformPostInstallTasks(true);
        return StepEnd::GoOn;
    }
    if (auto delay = installPolicy ? installPolicy->Next() : std::nullopt) {
        SetJobStatus(AwaitingInstall, true);
        if (rerunProcess) rerunProcess(true, *delay, jobName);
        return StepEnd::Done;
    }
    shared::error::Error error(shared::error::ErrorCategory::EC_Component, -1, "no installation was done", "int", "");
    SetJobStatus(InstallTimedOut, true);
    if (reportError) reportError(error);
    return StepEnd::GoOn;
}

InstallComponent::StepEnd InstallComponent::RunInstallTimedOut() {
    if (VerifyInstallation()) {
        LOG_INFO << "Install component: " << jobName
                 << " Job Successfully Installed. Performing post success operations...";
        PerformPostInstallTasks(true);
        return StepEnd::GoOn;
    }
    if (!updateLog.empty()) retryAttempted = updateLog.back().retryattempted;
    if (retryAttempted < static_cast<uint32_t>(retryAttempts)) {
        SetJobStatus(RetryPending, true);
        return StepEnd::RetrySoon;
    }
    LOG_INFO << "Install component: " << jobName << " Retry attempts: " << static_cast<uint32_t>(retryAttempted - 1)
             << "Limit Reached";
    PerformPostInstallTasks(false);
    return StepEnd::GoOn;
}

namespace {

constexpr size_t kMaxJobShadowSize = 1 << 20;

// Why a job shadow cannot be taken as a job document; empty when it can.
std::string JobShadowDamage(const std::string& content) {
    if (content.empty()) return "it is empty";
    if (content.size() > kMaxJobShadowSize) return "it is larger than " + std::to_string(kMaxJobShadowSize) + " bytes";
    const json document = json::parse(content, nullptr, false);
    if (document.is_discarded()) return "it is not JSON";
    const json* data = &document;
    for (const char* key : {"state", "desired", "data"}) {
        if (!data->is_object() || !data->contains(key)) return std::string("it has no \"") + key + "\" object";
        data = &(*data)[key];
    }
    if (!data->is_object()) return "\"data\" is not an object";
    for (const char* key : {"timestamp", "location_x64"}) {
        if (!data->contains(key) || !(*data)[key].is_string()) return std::string("\"") + key + "\" is not a text";
    }
    for (const char* key : {"checksum", "arguments", "executor", "executionTimeLimit"}) {
        if (data->contains(key) && !(*data)[key].is_string()) return std::string("\"") + key + "\" is not a text";
    }
    if (data->contains("validationParams") && !(*data)["validationParams"].is_object())
        return "\"validationParams\" is not an object";
    return {};
}

}  // namespace

JobContent InstallComponent::GetJobContent(const std::string& name) {
    std::string content;
    shared::error::Error error = shadows.get ? shadows.get(name, content)
                                             : shared::error::Error(shared::error::ErrorCategory::EC_Component, 1,
                                                                    "no shadow access");
    if (!error) {
        // A job shadow that cannot be a job is no job: the job goes on as it was.
        if (const std::string damage = JobShadowDamage(content); !damage.empty()) {
            LOG_ERROR << "Install component: " << jobName << " the job shadow " << name
                      << " is damaged and treated as missing: " << damage;
            return JobContent::NothingNew;
        }
        std::string timestamp = GetTimestampFromContent(content);
        if (IsTimeStampDifferent(timestamp, jobTimestamp)) {
            LOG_INFO << "Install component: Cloud shadow timestamp: " << timestamp << " Local cache timestamp: ."
                     << jobTimestamp;
            CreateDownloadPath(jobFolder);
            WriteContentToFile(jobFolder, content);
            ReadShadowContentFromFile(jobFolder + "\\" + jobName);
            return JobContent::Taken;
        }
        LOG_INFO << "Install component: " << jobName << " The Job content in shadow is in sync with local cache.";
        return JobContent::NothingNew;
    }
    try {
        json message = json::parse(error.what());
        int64_t code = message.is_object() ? message.value("http_code", int64_t{0}) : 0;
        if (code == 404) {
            LOG_INFO << "Install component: " << jobName << " No Job available in the shadow";
            ++missingJobPolls;
            return missingJobPolls < 2 ? JobContent::FirstMissing : JobContent::NothingNew;
        }
    } catch (...) {
    }
    LOG_ERROR << "Install component: " << jobName << " Polling the job shadow failed: " << error.what();
    return JobContent::NothingNew;
}

void InstallComponent::PerformPostInstallTasks(bool success) {
    std::string version = installerPath.empty() ? "" : Utils::GetFileVersion(winpath::ToNative(installerPath).string());
    UpdateStatusShadow(success ? "0" : "1", version, success ? "Success" : "Failure", Utils::GetUtcTimestamp());
    if (success) {
        try {
            DeleteCloudShadow();
        } catch (const std::exception& e) {
            LOG_ERROR << "Install component: Deleting Shadow Failed with error: " << e.what();
        } catch (...) {
            LOG_ERROR << "Install component: " << jobName << "exception - failed to delete the shadow";
        }
    }
    if (!updateLog.empty()) {
        retryAttempted = updateLog.back().retryattempted;
        SetJobStatus(success ? Succeeded : Failed, true);
    }
    SetJobStatus(Idle, false);
    // The next job starts with a fresh confirmation wait.
    ResetPolicy();
    if (success) {
        SetupServiceMap();
        // A fresh installation starts its keeping afresh, whatever pass was asked for before.
        if (!isSelfUpdate) {
            keepingPassDue = 0;
            Monitor();
        }
    }
    if (actions.deleteTask) actions.deleteTask(taskName);
}

void InstallComponent::UpdateStatusShadow(const std::string& code, const std::string& version,
                                          const std::string& message, const std::string& timestamp) {
    const std::string name = "status-" + jobName;
    json document = json::parse(kStatusTemplate);
    auto& data = document["state"]["desired"]["data"];
    data["code"] = code;
    data["message"] = message;
    data["timestamp"] = timestamp;
    document["state"]["desired"]["version"] = version;
    shared::error::Error error = shadows.update ? shadows.update(name, document.dump())
                                                : shared::error::Error(shared::error::ErrorCategory::EC_Component, 1,
                                                                       "no shadow access");
    if (error) {
        LOG_ERROR << "Install component: " << jobName << " failed to updated the status to shadow: " << name
                  << error.what();
    } else {
        LOG_INFO << "Install component: " << jobName << " Successfully updated the status to shadow: " << name;
    }
}

}  // namespace zelko::plenar::agent
