// What becomes of a compliance report: the job's status shadow, an encrypted message file for the
// send-message plug-in and module event 217.

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
#include "platform/clock.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "service/compliance_reports.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr uint32_t kAcmReportFileEvent = 217;
// Bounds the search for a free message file name within one millisecond.
constexpr int kMaxNameSuffix = 1000;

fs::path MessagesFolder() { return platform::ProgramDataFolder() / "Zelko" / "Zelko Plenar Agent" / "Messages"; }

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

ComplianceReports::ComplianceReports(Scheduler& scheduler, ModuleSet& modules, SendEvent send_event)
    : _scheduler(scheduler), _modules(modules), _send_event(std::move(send_event)) {}

void ComplianceReports::ReportHandler(const Json& report) {
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
    SendReport(upload);
}

void ComplianceReports::FailureHandler(const shared::error::Error&, const std::string& text) {
    LOG_INFO << "AcmModule failed. " << text;
    Json status = Json::parse(
        R"({"state": {"desired": {"data": {"code": "1", "message": "Job completed successfully"}, "version": "0"}}})");
    status["state"]["desired"]["data"]["message"] = "ACM: " + text;
    UpdateAcmStatus(_modules.conn_module.get(), status);
}

void ComplianceReports::RescheduleHandler(int64_t delay, const Event& event) {
    LOG_INFO << "AcmModule reschedule " << " in " << Utils::FormatDuration(delay);
    if (_scheduler.destroyed.load()) return;
    _scheduler.In(Duration(delay), [this, event] {
        if (_scheduler.destroyed.load()) return;
        _send_event(event.dwControl, event.dwEventType, event.lpEventData, event.dataSize);
    });
}

void ComplianceReports::SendReport(const Json& upload) {
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
        _send_event(kAcmReportFileEvent, 0, data.data(), data.size());
    } catch (const std::exception& e) {
        LOG_ERROR << "Failed to save ACM report to file" << e.what();
    }
}

}  // namespace zelko::plenar::agent
