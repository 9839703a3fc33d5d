// The compliance and 1E wiring: the two modules of module set-up, and what becomes of a compliance
// report: the job's status shadow, an encrypted message file for the send-message plug-in and
// module event 217.

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>

#include "connectivity/connectivity_module.h"
#include "foundation/cryptography.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "jobs/acm_module.h"
#include "jobs/vev_e_module.h"
#include "platform/clock.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr uint32_t kAcmReportFileEvent = 217;
constexpr const char* kVevEModuleConfigFileName = "vev-e-module-config.json";
constexpr const char* kRemoteConfigsFolderName = "RemoteConfigs";
// Bounds the search for a free message file name within one millisecond.
constexpr int kMaxNameSuffix = 1000;

fs::path MessagesFolder() { return platform::ProgramDataFolder() / "Zelko" / "Zelko Plenar Agent" / "Messages"; }

std::string PrimaryName(const std::string& name) { return "primary-" + name; }

// The member as text; "" (logged) when it is missing or not a text.
std::string ReportText(const Json& report, const char* key) {
    auto found = report.find(key);
    if (found != report.end() && found->is_string()) return found->get<std::string>();
    LOG_WARNING << "ACM: the report has no text " << key;
    return "";
}

// "msg_" + local time + "-" + milliseconds, without the extension.
std::string MessageBaseName(int64_t ticks) {
    std::time_t seconds = static_cast<std::time_t>(ticks / platform::kTicksPerSecond);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03d",
                  static_cast<int>((ticks / platform::kTicksPerMillisecond) % 1000));
    return std::string("msg_") + stamp + "-" + millis;
}

void UpdateAcmStatus(ConnectivityModule* conn, const Json& status) {
    auto failure = conn ? conn->UpdateShadow(kAcmBkcStatusName, status.dump())
                        : shared::error::Error(shared::error::ErrorCategory::EC_Component, 1, "no connectivity module");
    if (failure) {
        LOG_ERROR << "ACM: " << kAcmBkcStatusName
                  << " failed to updated the status to shadow: " << error::ErrorToString(failure);
    } else {
        LOG_INFO << "ACM: " << kAcmBkcStatusName << " Successfully updated the status to shadow";
    }
}

}  // namespace

void Service::InitAcmModule() {
    LOG_INFO << "Loading AcmModule module...";
    try {
        _modules.acm_module = std::make_shared<AcmModule>(
            (_config_folder / kAcmModuleConfigFileName).string(), _modules.conn_module,
            [this](const Json& report) { AcmReportHandler(report); },
            [this](shared::error::Error e, const std::string& text) { AcmFailureHandler(e, text); },
            [this](int64_t delay, Event event) { AcmRescheduleHandler(delay, event); });
        LOG_INFO << "Loading AcmModule module completed.";
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to load AcmModule module." << e.what();
        _modules.acm_module.reset();
    }
}

void Service::InitVevEModule() {
    LOG_INFO << "Loading VevEModule module...";
    try {
        _modules.onee_module = std::make_shared<VevEModule>(
            _config_folder / kVevEModuleConfigFileName, ExecutableFolder(), kRemoteConfigsFolderName,
            _remote_configs.GrantsName(), PrimaryName(_remote_configs.GrantsName()), _remote_configs.PoliciesName(),
            PrimaryName(_remote_configs.PoliciesName()), std::weak_ptr<config::ConfigService>(_modules.config_service));
        LOG_INFO << "Loading VevEModule module completed.";
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to load VevEModule module. " << e.what();
        _modules.onee_module.reset();
    }
}

void Service::AcmReportHandler(const Json& report) {
    LOG_INFO << "AcmModule success. " << report.dump();
    if (!report.is_object()) return;

    Json data = report;
    if (!data.contains("bkcStatus")) data["bkcStatus"] = nullptr;
    if (data["bkcStatus"].is_array()) {
        for (auto& status : data["bkcStatus"]) {
            if (!status.is_object()) continue;
            auto exit_status = status.find("quenloExitStatus");
            if (exit_status == status.end() || !exit_status->is_string()) continue;
            std::string text = exit_status->get<std::string>();
            for (char& c : text) {
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            *exit_status = text;
        }
    }
    Json entry = Json::parse(R"({ "data": {}, "gun" : "com.zelko.cdm.domain.telemetry.type.eventDetail.category.deviceBkcStatus.version.1" })");
    entry["data"] = std::move(data);
    Json upload = Json::parse(R"({"upload": []})");
    upload["upload"].push_back(std::move(entry));
    LOG_INFO << "Send ACM report";

    auto conn = _modules.conn_module;
    if (conn) {
        std::string content;
        if (!conn->GetShadow(kAcmBkcJobName, content)) conn->DeleteShadow(kAcmBkcJobName);
    }
    Json status = Json::parse(
        R"({"state": {"desired": {"data": {"code": "0", "message": "Job completed successfully", "timestamp": ""}, "version": "0"}}})");
    status["state"]["desired"]["data"]["message"] = "Bkc " + ReportText(report, "bkcConfigId") + " succeeded!";
    status["state"]["desired"]["data"]["timestamp"] = ReportText(report, "agentEvaluationTimeStamp");
    UpdateAcmStatus(conn.get(), status);
    SendACMReport(upload);
}

void Service::AcmFailureHandler(const shared::error::Error&, const std::string& text) {
    LOG_INFO << "AcmModule failed. " << text;
    Json status = Json::parse(
        R"({"state": {"desired": {"data": {"code": "1", "message": "Job completed successfully"}, "version": "0"}}})");
    status["state"]["desired"]["data"]["message"] = "ACM: " + text;
    UpdateAcmStatus(_modules.conn_module.get(), status);
}

void Service::AcmRescheduleHandler(int64_t delay, const Event& event) {
    LOG_INFO << "AcmModule reschedule " << " in " << Utils::FormatDuration(delay);
    if (_scheduler.destroyed.load()) return;
    _scheduler.In(Duration(delay), [this, event] {
        if (_scheduler.destroyed.load()) return;
        SendEventToModules(event.dwControl, event.dwEventType, event.lpEventData, event.dataSize);
    });
}

void Service::SendACMReport(const Json& upload) {
    try {
        const fs::path folder = MessagesFolder();
        if (!fs::exists(folder)) fs::create_directories(folder);
        if (!_modules.cryptography) throw std::runtime_error("no cryptography");
        // Two reports within one millisecond would get one name: the name is taken exclusively and
        // a clash gets a suffix, so no report replaces another.
        const std::string base = MessageBaseName(platform::NowTicks());
        fs::path path;
        for (int suffix = 0; suffix < kMaxNameSuffix && path.empty(); ++suffix) {
            fs::path candidate = folder / (base + (suffix ? "_" + std::to_string(suffix) : "") + ".rsnd");
            auto created = platform::CreateFileWithContent(candidate, "");
            if (created == platform::FileReplace::Ok) {
                path = candidate;
            } else if (!(created == platform::FileReplace::WriteFailed && errno == EEXIST)) {
                throw std::runtime_error("Can not create " + candidate.string() + ": " + std::strerror(errno));
            }
        }
        if (path.empty()) throw std::runtime_error("no free message file name for " + base);
        try {
            Utils::SaveEncryptedJsonFile(path, upload, *_modules.cryptography);
        } catch (...) {
            std::error_code ignored;
            fs::remove(path, ignored);
            throw;
        }
        const std::string data = Json{{"params", {{"file", path.string()}, {"op", "acm_report"}}}}.dump();
        SendEventToModules(kAcmReportFileEvent, 0, data.data(), data.size());
    } catch (const std::exception& e) {
        LOG_ERROR << "Failed to save ACM report to file" << e.what();
    }
}

}  // namespace zelko::plenar::agent
