#include "outside/vorlix/acm_controller.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace zelko::shared::vorlix {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr const char* kVersion = "vorlix-acm 1.0.0";
constexpr int64_t kTicksPerMinute = 60 * platform::kTicksPerSecond;

struct Window {
    int minute_of_day = 0;
    int duration_minutes = 0;
};

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool IsText(const Json& object, const char* key) { return object.contains(key) && object[key].is_string(); }

// Why the check cannot be run, or "" when it is well formed.
std::string CheckProblem(const Json& check) {
    if (!check.is_object()) return "a check is not an object";
    if (!IsText(check, "id") || check["id"].get_ref<const std::string&>().empty()) return "a check has no id";
    if (!IsText(check, "type")) return "check without type";
    const auto& type = check["type"].get_ref<const std::string&>();
    if (type == "file") {
        if (!IsText(check, "path")) return "file check without path";
        if (check.contains("exists") && !check["exists"].is_boolean()) return "file check: exists is not a bool";
        if (check.contains("contains") && !check["contains"].is_string()) return "file check: contains is not a text";
        return "";
    }
    if (type == "registry") {
        if (!IsText(check, "key") || !IsText(check, "name")) return "registry check without key or name";
        if (check.contains("equals") && !check["equals"].is_string()) return "registry check: equals is not a text";
        return "";
    }
    return "unknown check type " + type;
}

std::string ManifestProblem(const Json& manifest) {
    if (!manifest.is_object()) return "manifest is not an object";
    if (!IsText(manifest, "id") || manifest["id"].get_ref<const std::string&>().empty()) return "manifest has no id";
    if (!manifest.contains("checks") || !manifest["checks"].is_array()) return "manifest has no checks";
    for (const auto& check : manifest["checks"]) {
        if (auto problem = CheckProblem(check); !problem.empty()) return problem;
    }
    return "";
}

// Parses "HH:MM"; false when it is not a time of day.
bool ParseMinuteOfDay(const std::string& text, int& minutes) {
    if (text.size() != 5 || text[2] != ':') return false;
    for (int i : {0, 1, 3, 4}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    int hours = (text[0] - '0') * 10 + (text[1] - '0');
    int mins = (text[3] - '0') * 10 + (text[4] - '0');
    if (hours > 23 || mins > 59) return false;
    minutes = hours * 60 + mins;
    return true;
}

int64_t LocalMidnightTicks(int64_t now_ticks, int day_offset) {
    std::time_t now = static_cast<std::time_t>(now_ticks / platform::kTicksPerSecond);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_mday += day_offset;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local)) * platform::kTicksPerSecond;
}

std::tm LocalTm(int64_t ticks) {
    std::time_t seconds = static_cast<std::time_t>(ticks / platform::kTicksPerSecond);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string UtcTimestamp(int64_t ticks) {
    std::time_t seconds = static_cast<std::time_t>(ticks / platform::kTicksPerSecond);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

class AcmController::Impl {
  public:
    fs::path work_folder;
    fs::path queue_path;
    fs::path task_list_path;
    std::string schema_path;
    bool verbose = false;
    bool persist_queue = true;
    AcmCompletionCallback callback = nullptr;
    void* user = nullptr;

    mutable std::mutex appender_mutex;
    std::vector<std::pair<logging::Severity, logging::IAppender*>> appenders;
    mutable std::vector<std::pair<logging::Severity, std::string>> early;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Json> queue;
    std::vector<Window> windows;
    Json report = Json::object();
    Json credentials = Json::object();
    bool running = false;
    bool stop = false;
    uint64_t wake_ups = 0;
    std::thread worker;
    int clock_listener = -1;

    template <typename... Parts>
    void Log(logging::Severity severity, const Parts&... parts) const {
        std::ostringstream text;
        (text << ... << parts);
        std::lock_guard lock(appender_mutex);
        if (appenders.empty()) {
            // What the construction found is logged once the caller hands its appender.
            if (early.size() < 50) early.emplace_back(severity, text.str());
            return;
        }
        Write(severity, text.str());
    }

    // Caller holds appender_mutex.
    void Write(logging::Severity severity, const std::string& text) const {
        logging::Record record(severity, "vorlix::AcmController", 0, nullptr);
        record << "vorlix: " << text;
        for (const auto& [max, appender] : appenders) {
            if (severity <= max) appender->write(record);
        }
    }

    void LoadFiles() {
        if (persist_queue && fs::exists(queue_path)) {
            try {
                Json stored = Json::parse(ReadWholeFile(queue_path));
                if (!stored.is_array()) throw std::runtime_error("not an array");
                for (auto& manifest : stored) {
                    if (auto problem = ManifestProblem(manifest); problem.empty()) {
                        queue.push_back(std::move(manifest));
                    } else {
                        Log(logging::warning, "dropped a queued manifest of ", queue_path.string(), ": ", problem);
                    }
                }
            } catch (const std::exception& e) {
                Log(logging::error, "damaged manifest queue ", queue_path.string(), " taken as empty: ", e.what());
            }
        }
        if (fs::exists(task_list_path)) {
            try {
                Json stored = Json::parse(ReadWholeFile(task_list_path));
                if (!stored.is_object()) throw std::runtime_error("not an object");
                report = std::move(stored);
            } catch (const std::exception& e) {
                Log(logging::error, "damaged task list ", task_list_path.string(), " taken as empty: ", e.what());
            }
        }
    }

    // Caller holds mutex.
    void SaveQueue() {
        if (!persist_queue) return;
        Json stored = Json::array();
        for (const auto& manifest : queue) stored.push_back(manifest);
        if (platform::ReplaceFileContent(queue_path, stored.dump()) != platform::FileReplace::Ok)
            Log(logging::error, "cannot write ", queue_path.string());
    }

    // Whether a run may start at now; otherwise when the next window opens (0: never).
    // Caller holds mutex.
    bool WindowOpen(int64_t now, int64_t& next_open) const {
        next_open = 0;
        if (windows.empty()) return true;
        for (const auto& window : windows) {
            for (int day = -1; day <= 1; ++day) {
                int64_t start = LocalMidnightTicks(now, day) + window.minute_of_day * kTicksPerMinute;
                int64_t end = start + window.duration_minutes * kTicksPerMinute;
                if (start <= now && now < end) return true;
                if (start > now && (next_open == 0 || start < next_open)) next_open = start;
            }
        }
        return false;
    }

    // The open window's or else the next window's start and end; false without windows.
    // Caller holds mutex.
    bool NextWindow(int64_t now, int64_t& start_out, int64_t& end_out) const {
        bool found = false;
        bool found_open = false;
        for (const auto& window : windows) {
            for (int day = -1; day <= 1; ++day) {
                int64_t start = LocalMidnightTicks(now, day) + window.minute_of_day * kTicksPerMinute;
                int64_t end = start + window.duration_minutes * kTicksPerMinute;
                if (end <= now) continue;
                bool take = false;
                if (start <= now) {
                    // An open window wins over any later one.
                    take = !found_open || start > start_out;
                    found_open = true;
                } else {
                    take = !found_open && (!found || start < start_out);
                }
                if (take) {
                    start_out = start;
                    end_out = end;
                    found = true;
                }
            }
        }
        return found;
    }

    Json RunCheck(const Json& check) {
        Json status = {{"checkId", check["id"]}, {"type", check["type"]}};
        const auto& type = check["type"].get_ref<const std::string&>();
        bool ok = false;
        std::string detail;
        if (type == "file") {
            fs::path path = platform::ExpandEnvironmentStrings(check["path"].get<std::string>());
            bool want = check.value("exists", true);
            std::error_code error;
            bool exists = fs::is_regular_file(path, error);
            if (exists != want) {
                detail = want ? "missing" : "present";
            } else if (exists && check.contains("contains")) {
                std::string content = ReadWholeFile(path);
                ok = content.find(check["contains"].get<std::string>()) != std::string::npos;
                detail = ok ? "found" : "text not found";
            } else {
                ok = true;
                detail = exists ? "present" : "missing";
            }
        } else {
            std::string key = check["key"].get<std::string>();
            platform::RegistryHive hive = platform::RegistryHive::LocalMachine;
            auto slash = key.find('\\');
            std::string root = key.substr(0, slash);
            if (root == "HKCU" || root == "HKEY_CURRENT_USER") hive = platform::RegistryHive::CurrentUser;
            else if (root != "HKLM" && root != "HKEY_LOCAL_MACHINE") throw std::invalid_argument("unknown hive " + root);
            std::string sub_key = slash == std::string::npos ? "" : key.substr(slash + 1);
            platform::RegistryKey opened;
            platform::RegistryValue value;
            if (platform::RegistryKey::Open(hive, sub_key, opened) != 0 ||
                opened.QueryValue(check["name"].get<std::string>(), value) != 0) {
                detail = "value missing";
            } else if (check.contains("equals")) {
                auto text = platform::RegistryValueText(value);
                ok = text && *text == check["equals"].get<std::string>();
                detail = text ? "value " + *text : "value without text";
            } else {
                ok = true;
                detail = "value present";
            }
        }
        status["quenloExitStatus"] = ok ? "SUCCESS" : "FAILURE";
        status["detail"] = detail;
        return status;
    }

    void Announce(ACM_CALLBACK_RESULT result, const std::string& text) {
        if (callback) callback(result, text.c_str(), user);
    }

    void RunManifest(const Json& manifest) {
        Log(logging::info, "running manifest ", manifest["id"].get<std::string>());
        Json statuses = Json::array();
        bool compliant = true;
        for (const auto& check : manifest["checks"]) {
            {
                std::lock_guard lock(mutex);
                if (stop) return;  // cancelled: the manifest is not reported
            }
            Json status;
            try {
                status = RunCheck(check);
            } catch (const std::exception& e) {
                status = {{"checkId", check["id"]}, {"type", check["type"]}, {"quenloExitStatus", "ERROR"},
                          {"detail", e.what()}};
            }
            if (verbose) Log(logging::debug, "check ", status.dump());
            compliant = compliant && status["quenloExitStatus"] == "SUCCESS";
            statuses.push_back(std::move(status));
        }
        Json finished = {{"bkcConfigId", manifest["id"]},
                         {"agentEvaluationTimeStamp", UtcTimestamp(platform::NowTicks())},
                         {"compliant", compliant},
                         {"bkcStatus", std::move(statuses)}};
        bool stored = platform::ReplaceFileContent(task_list_path, finished.dump()) == platform::FileReplace::Ok;
        {
            std::lock_guard lock(mutex);
            report = finished;
        }
        if (!stored) {
            Log(logging::error, "cannot write ", task_list_path.string());
            Announce(ACM_RESULT_REPORT_NOT_STORED, "cannot write " + task_list_path.string());
            return;
        }
        Announce(ACM_RESULT_REPORT_AVAILABLE, "Report available for " + manifest["id"].get<std::string>());
    }

    void Loop() {
        std::unique_lock lock(mutex);
        while (!stop) {
            int64_t next_open = 0;
            if (queue.empty()) {
                uint64_t seen = wake_ups;
                wake.wait(lock, [&] { return stop || wake_ups != seen; });
                continue;
            }
            if (!WindowOpen(platform::NowTicks(), next_open)) {
                // Real time bounds the wait (the wall clock may jump); a moved fake clock wakes it.
                auto wait = std::chrono::seconds(60);
                if (!platform::IsClockFaked() && next_open != 0) {
                    int64_t ticks = next_open - platform::NowTicks();
                    wait = std::min(wait, std::chrono::seconds(std::max<int64_t>(ticks / platform::kTicksPerSecond, 0) + 1));
                }
                uint64_t seen = wake_ups;
                wake.wait_for(lock, wait, [&] { return stop || wake_ups != seen; });
                continue;
            }
            Json manifest = std::move(queue.front());
            queue.pop_front();
            SaveQueue();
            lock.unlock();
            try {
                if (auto problem = ManifestProblem(manifest); !problem.empty()) {
                    Announce(ACM_RESULT_MANIFEST_INVALID, problem);
                } else {
                    RunManifest(manifest);
                }
            } catch (const std::exception& e) {
                Log(logging::error, "run failed: ", e.what());
                Announce(ACM_RESULT_RUN_FAILED, e.what());
            }
            lock.lock();
        }
        running = false;
    }

    void Notify() {
        {
            std::lock_guard lock(mutex);
            ++wake_ups;
        }
        wake.notify_all();
    }
};

AcmController::AcmController(const std::string& work_folder, const std::string& manifest_queue_name,
                             const std::string& task_list_name, const std::string& schema_path, bool verbose,
                             AcmCompletionCallback callback, void* user, bool persist_queue)
    : impl_(std::make_shared<Impl>()) {
    impl_->work_folder = work_folder;
    impl_->queue_path = impl_->work_folder / manifest_queue_name;
    impl_->task_list_path = impl_->work_folder / task_list_name;
    impl_->schema_path = schema_path;
    impl_->verbose = verbose;
    impl_->callback = callback;
    impl_->user = user;
    impl_->persist_queue = persist_queue;
    impl_->LoadFiles();
}

AcmController::~AcmController() { Cancel(); }

void AcmController::AddLogAppender(logging::Severity severity, logging::IAppender* appender) const {
    if (!appender) return;
    std::lock_guard lock(impl_->appender_mutex);
    impl_->appenders.emplace_back(severity, appender);
    for (const auto& [level, text] : impl_->early) impl_->Write(level, text);
    impl_->early.clear();
}

std::string AcmController::GetVersion() const { return kVersion; }

bool AcmController::Start() {
    std::thread finished;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->running) return false;
        // A thread that ended after a Cancel from its own callback is still to be joined.
        finished = std::move(impl_->worker);
    }
    if (finished.joinable()) finished.join();
    std::lock_guard lock(impl_->mutex);
    impl_->stop = false;
    impl_->running = true;
    std::weak_ptr<Impl> weak = impl_;
    impl_->clock_listener = platform::RegisterClockListener([weak] {
        if (auto impl = weak.lock()) impl->Notify();
    });
    impl_->worker = std::thread([impl = impl_.get()] { impl->Loop(); });
    impl_->Log(logging::info, "started");
    return true;
}

void AcmController::Cancel() {
    std::thread worker;
    int listener = -1;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stop = true;
        ++impl_->wake_ups;
        listener = impl_->clock_listener;
        impl_->clock_listener = -1;
        if (impl_->worker.joinable() && impl_->worker.get_id() != std::this_thread::get_id())
            worker = std::move(impl_->worker);
    }
    impl_->wake.notify_all();
    if (listener >= 0) platform::RemoveClockListener(listener);
    if (worker.joinable()) {
        worker.join();
        impl_->Log(logging::info, "cancelled");
    }
    std::lock_guard lock(impl_->mutex);
    impl_->running = false;
}

bool AcmController::IsRunning() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

bool AcmController::SetPolicies(const std::string& policies) {
    std::vector<Window> windows;
    try {
        Json document = Json::parse(policies);
        if (!document.is_null()) {
            if (!document.is_object()) throw std::invalid_argument("policies are not an object");
            if (document.contains("policyWindows")) {
                const Json& list = document["policyWindows"];
                if (!list.is_array()) throw std::invalid_argument("policyWindows is not an array");
                for (const auto& entry : list) {
                    Window window;
                    if (!entry.is_object() || !IsText(entry, "start") ||
                        !ParseMinuteOfDay(entry["start"].get<std::string>(), window.minute_of_day))
                        throw std::invalid_argument("a window has no valid start");
                    if (!entry.contains("durationMinutes") || !entry["durationMinutes"].is_number_integer())
                        throw std::invalid_argument("a window has no duration");
                    int64_t minutes = entry["durationMinutes"].get<int64_t>();
                    if (minutes < 1 || minutes > 1440) throw std::invalid_argument("a window's duration is out of range");
                    window.duration_minutes = static_cast<int>(minutes);
                    windows.push_back(window);
                }
            }
        }
    } catch (const std::exception& e) {
        impl_->Log(logging::error, "policies refused: ", e.what());
        return false;
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->windows = std::move(windows);
    }
    impl_->Notify();
    return true;
}

bool AcmController::SetCredentials(const std::string& access_key_id, const std::string& session_token,
                                   const std::string& secret_access_key, const std::string& expiration,
                                   const std::string& region, const std::string& profile) {
    if (access_key_id.empty() || secret_access_key.empty()) return false;
    std::lock_guard lock(impl_->mutex);
    impl_->credentials = {{"accessKeyId", access_key_id}, {"sessionToken", session_token},
                          {"secretAccessKey", secret_access_key}, {"expiration", expiration},
                          {"region", region}, {"profile", profile}};
    return true;
}

bool AcmController::AddManifest(const std::string& manifest) {
    Json document;
    try {
        document = Json::parse(manifest);
    } catch (const std::exception& e) {
        impl_->Log(logging::error, "manifest is not JSON: ", e.what());
        return false;
    }
    if (auto problem = ManifestProblem(document); !problem.empty()) {
        impl_->Log(logging::error, "manifest refused: ", problem);
        return false;
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->running) return false;
        auto& queue = impl_->queue;
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [&](const Json& queued) { return queued["id"] == document["id"]; }),
                    queue.end());
        queue.push_back(std::move(document));
        impl_->SaveQueue();
    }
    impl_->Notify();
    return true;
}

nlohmann::json AcmController::GetReport() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->report;
}

bool AcmController::GetNextPolicyWindow(std::shared_ptr<std::tm> start, std::shared_ptr<std::tm> end) const {
    int64_t start_ticks = 0;
    int64_t end_ticks = 0;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->NextWindow(platform::NowTicks(), start_ticks, end_ticks)) return false;
    }
    if (start) *start = LocalTm(start_ticks);
    if (end) *end = LocalTm(end_ticks);
    return true;
}

}  // namespace zelko::shared::vorlix
