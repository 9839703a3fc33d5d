#include "jobs/acm_module.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <typeinfo>

#include "connectivity/connectivity_module.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/file_replace.h"
#include "platform/paths.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;
using shared::vorlix::ACM_CALLBACK_RESULT;

namespace {

constexpr const char* kOrigin = "zelko-plenar-agent-service.exe";
constexpr const char* kJobCacheName = "acm_job_cache.json";
constexpr const char* kReportName = "acm_report.json";
constexpr int64_t kTenSeconds = 10 * kAcmTicksPerSecond;
constexpr int64_t kMinuteTicks = 60 * kAcmTicksPerSecond;
constexpr int64_t kSecond = kAcmTicksPerSecond;

std::string WithoutLeadingSeparators(const std::string& text, size_t from = 0) {
    auto rest = text.find_first_not_of("/\\", from);
    return rest == std::string::npos ? std::string() : text.substr(rest);
}

// A work folder or schema path of the configuration. A Windows path without a drive ("\ACM",
// "/ACM") lies under the executable's folder; a drive path lies under the emulated machine's root.
std::string ResolvePath(const std::string& text) {
    if (!text.empty() && (text[0] == '/' || text[0] == '\\'))
        return (Utils::GetExecutableDirectory() / WithoutLeadingSeparators(text)).string();
    std::string expanded = Utils::ExpandEnvironment(text);
    if (expanded.size() >= 2 && std::isalpha(static_cast<unsigned char>(expanded[0])) && expanded[1] == ':')
        return (platform::SystemRoot() / WithoutLeadingSeparators(expanded, 2)).string();
    if (fs::path(expanded).is_absolute()) return expanded;
    return (Utils::GetExecutableDirectory() / WithoutLeadingSeparators(expanded)).string();
}

// The event's data as text, without the terminating NUL.
std::string EventText(const Event& event) {
    if (!event.lpEventData || event.dataSize == 0) return "";
    std::string text(reinterpret_cast<const char*>(event.lpEventData), event.dataSize);
    auto end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return text;
}

// A request carrying the text and its NUL.
Event TextEvent(uint32_t code, const std::string& text) { return Event(code, 0, text.c_str(), text.size() + 1); }

bool FileExists(const fs::path& path) {
    std::error_code error;
    bool exists = fs::exists(path, error);
    if (error && error != std::errc::no_such_file_or_directory)
        throw fs::filesystem_error("exists", path, error);
    return exists;
}

void RemoveFile(const fs::path& path) {
    std::error_code error;
    fs::remove(path, error);
    if (error && error != std::errc::no_such_file_or_directory) throw fs::filesystem_error("remove", path, error);
}

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void CompletionCallable(ACM_CALLBACK_RESULT result, const char* text, void* user) {
    static_cast<AcmModule*>(user)->AcmCallback(result, text ? text : "");
}

}  // namespace

void to_json(Json& document, const AcmJob& job) {
    document = Json{{"name", job.name}, {"ival", job.ival}, {"ts", job.ts}};
}

void from_json(const Json& document, AcmJob& job) {
    job.name = document.value("name", std::string());
    job.ival = document.value("ival", std::string());
    job.ts = document.value("ts", std::string());
    std::string number = document.contains("ival") ? job.ival : "720";
    try {
        job.interval = std::stoi(number);
    } catch (const std::exception& e) {
        LOG_ERROR << "ACM: failed to parse ival! " << e.what();
    }
}

AcmModule::AcmModule(std::string configPath, std::shared_ptr<ConnectivityModule> connectivity,
                     ReportCallback onReport, ErrorCallback onError, RescheduleCallback onReschedule)
    : configPath(std::move(configPath)),
      connectivity(std::move(connectivity)),
      onReport(std::move(onReport)),
      onError(std::move(onError)),
      onReschedule(std::move(onReschedule)) {
    LOG_INFO << "AcmModule is starting with config path: " << this->configPath;
    config = Utils::LoadConfigFile(this->configPath);
    workFolder = ResolvePath(config.value("workFolder", std::string("%programdata%/Zelko/ACM/")));
    schemaPath = ResolvePath(config.value("corvaneSchemaPath", std::string("schema")));
    sendReport = Settings::Bool(config, this->configPath, "sendReport", false);
    runAtStart = Settings::Bool(config, this->configPath, "runAtStart", false);
    // Zero would ask for the next run at once, over and over.
    defaultSchedule =
        Settings::Seconds(config, this->configPath, "defaultSchedule", 600, 1, UINT32_MAX).count() *
        kAcmTicksPerSecond;
    LOG_INFO << "Initializing Acm Module on Path=\"" << workFolder << "\"";
    Initialize();
}

AcmModule::~AcmModule() {
    // The service stops the module first; this guards against a forgotten stop. The engine's
    // thread may be inside AcmCallback, which uses members destroyed before the engine.
    if (controller) controller->Cancel();
    if (updateThread.joinable()) updateThread.join();
}

void AcmModule::Initialize() {
    fs::create_directories(workFolder);
    controller = std::make_unique<shared::vorlix::AcmController>(workFolder, "ManifestQueue.json", "TaskList.json",
                                                                 schemaPath, false, &CompletionCallable, this, true);
    controller->AddLogAppender(logging::info, logging::get<0>());
    LOG_INFO << "ACM version : " << controller->GetVersion();
}

bool AcmModule::IsRunning() const { return controller && controller->IsRunning(); }

std::string AcmModule::CachePath() const { return (fs::path(workFolder) / kJobCacheName).string(); }

void AcmModule::Process(Event& event) {
    try {
        LOG_INFO << "ACM Process event";
        if (!controller) return;
        EventCalled(event);
        switch (event.dwControl) {
            case AcmBkcEnable:
                if (controller->IsRunning()) {
                    LOG_INFO << "ACM is already running!";
                } else {
                    LOG_INFO << "Starting ACM";
                    Start();
                }
                break;
            case AcmBkcDisable:
                if (controller->IsRunning()) {
                    LOG_INFO << "Stopping ACM";
                    Stop();
                } else {
                    LOG_INFO << "ACM is already stopped!";
                }
                break;
            case AcmPolicies: {
                std::string policies = EventText(event);
                LOG_INFO << "Update ACM policy " << policies;
                if (!controller->SetPolicies(policies)) {
                    LOG_ERROR << "Failed to update ACM policy";
                }
                break;
            }
            case IotCredentialsReady:
                PassCredentials();
                break;
            case AcmJobReceived: {
                AcmJob job = Json::parse(EventText(event)).get<AcmJob>();
                jobs[job.name] = job;
                if (controller->IsRunning()) {
                    InitAcmJob(job.name);
                    RescheduleCachedJob(job);
                }
                break;
            }
            case AcmJobDownloadRetry:
                if (event.lpEventData && event.dataSize > 0) UpdateCorvaneBkcAcm(EventText(event));
                break;
            case AcmJobStored:
                LOG_INFO << "ACM setup corvane BKC event!";
                if (updateThread.joinable()) {
                    updateThread.join();
                    RequestThroughRule(Event(AcmRunJob, 0), kTenSeconds, &kTenSeconds);
                }
                break;
            case AcmRunJob:
                RunCachedJob();
                break;
            default:
                break;
        }
    } catch (const Json::exception& e) {
        LOG_ERROR << "AcmModule::Process json::exception: " << e.what();
    } catch (const std::exception& e) {
        LOG_ERROR << "AcmModule::Process std::exception: " << e.what();
    } catch (...) {
        LOG_ERROR << "Unknown exception caught in AcmModule::Process "
                  << error::ErrorToString(error::ErrorFromException(std::current_exception(), kOrigin));
    }
}

bool AcmModule::EntryDue(const std::string& name) const {
    auto found = entryDue.find(name);
    if (found == entryDue.end()) return true;
    const int64_t now = platform::NowTicks();
    // A clock set back by more than the wait does not hold the job back for longer.
    return now + kSecond >= found->second.due || found->second.due - now > found->second.span + kSecond;
}

void AcmModule::PassCredentials() {
    if (!connectivity) return;
    // Both are taken under the connectivity module's IoT lock: its device may be replaced meanwhile.
    auto credential = connectivity->GetIotCredential();
    auto info = connectivity->GetIotInfo();
    if (!credential || !info) return;
    auto text = [](const char* value) { return std::string(value ? value : ""); };
    const char* region = info->GetRegion();
    if (!controller->SetCredentials(text(credential->GetAccessKeyId()), text(credential->GetSessionToken()),
                                    text(credential->GetSecretAccessKey()), text(credential->GetExpiration()),
                                    text(region), "")) {
        LOG_ERROR << "Failed to update ACM Credentials policy";
    }
}

void AcmModule::Start() {
    LOG_INFO << "ACM Start";
    controller->Start();
    if (FileExists(CachePath())) {
        Event event(AcmRunJob, 0);
        if (runAtStart) {
            if (onReschedule) onReschedule(kTenSeconds, event);
        } else {
            RequestThroughRule(event, defaultSchedule);
        }
    }
    for (const auto& [name, job] : jobs) RescheduleCachedJob(job);
}

void AcmModule::Stop() {
    LOG_INFO << "ACM Stop";
    if (controller) controller->Cancel();
    if (updateThread.joinable()) updateThread.join();
}

Json AcmModule::GetReport() {
    LOG_INFO << "ACM GetReport";
    if (!controller) return Json::object();
    return controller->GetReport();
}

bool AcmModule::NeedsReschedule(int64_t& delay, const Event& event) {
    const uint32_t code = event.dwControl;
    {
        std::lock_guard lock(pendingLock);
        auto found = pending.find(code);
        if (found != pending.end() && found->second) return false;
        LOG_INFO << "ACM NeedsReschedule " << code;
        if (code != AcmJobReceived && code != AcmRunJob) {
            LOG_INFO << "ACM NeedsReschedule invalid event " << code;
            return false;
        }
        // Claimed now, so a request from the other thread meanwhile is refused.
        pending[code] = true;
    }
    if (code == AcmRunJob) {
        delay = defaultSchedule;
        auto start = std::make_shared<std::tm>();
        auto end = std::make_shared<std::tm>();
        if (controller && controller->GetNextPolicyWindow(start, end)) {
            start->tm_isdst = -1;
            int64_t window = static_cast<int64_t>(std::mktime(start.get())) * kAcmTicksPerSecond;
            int64_t now = platform::NowTicks();
            if (window > now) delay = std::min(window - now, defaultSchedule);
        }
    }
    return true;
}

void AcmModule::EventCalled(const Event& event) {
    LOG_INFO << "ACM EventCalled " << event.dwControl;
    std::lock_guard lock(pendingLock);
    auto found = pending.find(event.dwControl);
    if (found != pending.end()) found->second = false;
}

bool AcmModule::RequestThroughRule(Event event, int64_t delay, const int64_t* forced_delay) {
    if (!onReschedule) return false;
    if (!NeedsReschedule(delay, event)) return false;
    onReschedule(forced_delay ? *forced_delay : delay, std::move(event));
    return true;
}

void AcmModule::AcmCallback(ACM_CALLBACK_RESULT result, const std::string& text) {
    try {
        Event next(AcmRunJob, 0);
        auto failure = [&](int64_t code, const std::string& message) {
            if (onError)
                onError(Error(ErrorCategory::EC_Component, code, message, typeid(ACM_CALLBACK_RESULT).name(),
                              "AcmModule"),
                        text);
        };
        switch (result) {
            case shared::vorlix::ACM_RESULT_REPORT_AVAILABLE: {
                LOG_INFO << "ACM Finished";
                Json report = GetReport();
                fs::path path = fs::path(workFolder) / kReportName;
                LOG_INFO << "Save ACM report for debug to " << path.string();
                Utils::SaveJsonFile(path, report);
                if (sendReport && onReport) onReport(report);
                break;
            }
            case 2:
            case 4:
            case 5:
                failure(result, text);
                break;
            default:
                failure(result, "Unknown result!");
                break;
        }
        RequestThroughRule(std::move(next), defaultSchedule);
    } catch (const std::exception& e) {
        LOG_ERROR << "AcmModule::AcmCallback std::exception: " << e.what();
    } catch (...) {
        LOG_ERROR << "Unknown exception caught in AcmModule::AcmCallback "
                  << error::ErrorToString(error::ErrorFromException(std::current_exception(), kOrigin));
    }
}

void AcmModule::RescheduleCachedJob(const AcmJob& job) {
    // A negative interval would ask for the entry again at once, over and over.
    if (job.interval <= 0) {
        LOG_ERROR << "ACM Invalid job interval " << job.ival;
        return;
    }
    if (!EntryDue(job.name)) {
        // The job's next entry is already on its way: each trigger (the remote jobs task runs daily)
        // would otherwise start one more chain of shadow reads, downloads and runs.
        LOG_INFO << "ACM: the next entry of job " << job.name << " is already on its way";
        return;
    }
    const int64_t delay = static_cast<int64_t>(job.interval) * kMinuteTicks;
    if (RequestThroughRule(TextEvent(AcmJobReceived, Json(job).dump()), delay)) {
        entryDue[job.name] = {platform::NowTicks() + delay, delay};
    }
}

void AcmModule::InitAcmJob(const std::string& name) {
    std::string content;
    if (!connectivity || connectivity->GetShadow(name, content)) {
        LOG_DEBUG << "ACM: No job available in the shadow " << name;
        return;
    }
    LOG_INFO << "ACM: update job " << name;
    Json document = Json::parse(content);
    // A missing or null level gives null; any other non-object raises the JSON type error.
    auto level = [](const Json& parent, const char* key) { return parent.is_null() ? Json() : parent.value(key, Json()); };
    Json data = level(level(level(document, "state"), "delta"), "data");
    if (name == kAcmBkcJobName) UpdateCorvaneBkcAcm(data.dump());
}

void AcmModule::UpdateCorvaneBkcAcm(const std::string& text) {
    if (!controller->IsRunning()) {
        LOG_INFO << "Ignore update ACM BKC event as the ACM is not running!";
        return;
    }
    LOG_INFO << "ACM update corvane BKC event!";
    if (updateThread.joinable()) {
        LOG_INFO << "ACM update job already running!";
        return;
    }
    Json document = Json::parse(text);
    updateThread = std::thread([this, document = std::move(document)]() mutable { SaveAcmJobCfg(std::move(document)); });
}

void AcmModule::SaveAcmJobCfg(Json document) {
    try {
        const fs::path path = CachePath();
        RemoveFile(path);
        if (document.is_string()) {
            const std::string url = document.get<std::string>();
            LOG_INFO << "Found ACM job url " << url;
            // Downloaded beside the cache and renamed over it, so the run never reads half a document.
            const fs::path part = path.string() + ".download";
            RemoveFile(part);
            uint64_t size = 0;
            bool complete = false;
            Error failure = connectivity ? connectivity->DownloadFromS3(url, part.string(), size, complete)
                                         : Error(ErrorCategory::EC_Component, 1, "no connectivity module");
            if (!failure && !complete) {
                failure = Error(ErrorCategory::EC_Network, 1, "the transfer was cut before its end");
            }
            if (!failure) {
                std::error_code error;
                fs::rename(part, path, error);
                if (error) failure = Error(ErrorCategory::EC_System, error.value(), "rename: " + error.message());
            }
            if (failure) {
                LOG_ERROR << "ACM job S3 download failed with error, " << error::ErrorToString(failure);
                LOG_INFO << "Schedule ACM job download retry in 60s";
                RemoveFile(part);
                RemoveFile(path);
                if (onReschedule) onReschedule(6 * kTenSeconds, TextEvent(AcmJobDownloadRetry, document.dump()));
            }
        } else if (document.is_object()) {
            if (platform::ReplaceFileContent(path, document.dump()) != platform::FileReplace::Ok) {
                LOG_ERROR << "ACM: cannot write " << path.string();
            }
        } else {
            LOG_ERROR << "Invalid ACM job!" << document.dump();
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "AcmModule::SaveAcmJobCfg std::exception: " << e.what();
    } catch (...) {
        LOG_ERROR << "Unknown exception caught in AcmModule::SaveAcmJobCfg "
                  << error::ErrorToString(error::ErrorFromException(std::current_exception(), kOrigin));
    }
    // Asked for even after a failure: its handler joins this thread, without which every later
    // update would be dropped.
    if (onReschedule) onReschedule(kTenSeconds, Event(AcmJobStored, 0));
}

void AcmModule::RunCachedJob() {
    LOG_INFO << "ACM run corvane BKC event!";
    if (!controller->IsRunning()) {
        LOG_ERROR << "Cannot run BKC, as ACM is not running!";
        return;
    }
    const fs::path path = CachePath();
    if (!FileExists(path)) {
        LOG_INFO << "No ACM job file found!";
        return;
    }
    Json document;
    try {
        document = Json::parse(ReadWholeFile(path));
    } catch (const std::exception& e) {
        // A damaged cache is no job; the next update writes it anew.
        LOG_ERROR << "ACM: damaged job file " << path.string() << ": " << e.what();
        return;
    }
    if (document.is_object() && document.contains("id")) {
        std::string text = document.dump();
        LOG_INFO << "Push a manifest to ACM: " << text;
        if (!controller->AddManifest(text)) {
            LOG_ERROR << "Failed to push ACM job";
            RequestThroughRule(Event(AcmRunJob, 0), defaultSchedule);
        }
    } else {
        LOG_INFO << "Invalid ACM job found!";
    }
}

}  // namespace zelko::plenar::agent
