#include "telemetry/resend_record.h"

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <system_error>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/time_zone.h"
#include "telemetry/collector.h"
#include "telemetry/stored_bytes.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) {
    std::ostringstream out;
    out << std::quoted(path.string());
    return out.str();
}

}  // namespace

fs::path ResendFolder() { return platform::ProgramDataFolder() / "Zelko" / "Zelko Plenar Agent" / "Resend"; }

std::string ResendFileName(int64_t ticks, int clash) {
    const int64_t seconds = ticks / platform::kTicksPerSecond;
    const int milliseconds = static_cast<int>((ticks / platform::kTicksPerMillisecond) % 1000);
    std::tm local{};
    platform::LocalTime(seconds, local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03d", milliseconds);
    std::string name = std::string("resend_") + stamp + "-" + millis;
    if (clash > 0) name += "_" + std::to_string(clash);
    return name + ".rsnd";
}

nlohmann::json MakeResendRecord(const std::string& reason, const std::string& collector,
                                const std::string& ver, const std::string& gun, const nlohmann::json& data,
                                int64_t lastDataValve, int64_t now, uint32_t eventType) {
    return {
        {"version", "1"},
        {"reason", reason},
        {"collector", collector},
        {"ver", ver},
        {"gun", gun},
        {"data", data},
        {"last_data_valve", Utils::FormatTimePoint(lastDataValve, kResendTimeFormat, kResendTimeSeparator)},
        {"time", Utils::FormatTimePoint(now, kResendTimeFormat, kResendTimeSeparator)},
        {"event_type", eventType},
    };
}

namespace {

// Why the record cannot serve the resend pass; empty when it can.
std::string Defect(const nlohmann::json& record) {
    if (!record.is_object()) return "not an object";
    for (const char* key : {"collector", "ver", "gun"}) {
        auto member = record.find(key);
        if (member == record.end() || !member->is_string()) return std::string("no text '") + key + "'";
    }
    if (!record.contains("data")) return "no 'data'";
    if (record.contains("time") && record.contains("last_data_valve") && record.contains("event_type")) {
        if (!record.contains("reason")) return "no 'reason'";
        if (!record["event_type"].is_number()) return "'event_type' is not a number";
        for (const char* key : {"time", "last_data_valve"}) {
            const auto& value = record[key];
            if (!value.is_string()) return std::string("'") + key + "' is not a text";
            try {
                Utils::ToTimePoint(value.get<std::string>(), kResendTimeFormat, kResendTimeSeparator);
            } catch (const std::exception&) {
                return std::string("'") + key + "' is not a time";
            }
        }
    }
    return "";
}

}  // namespace

std::optional<nlohmann::json> LoadResendRecord(const fs::path& path, const crypto::Cryptography& crypto) {
    std::string defect;
    nlohmann::json record;
    try {
        record = Utils::LoadEncryptedJsonFile(path, crypto);
        defect = Defect(record);
    } catch (const std::exception& e) {
        defect = e.what();
    }
    if (defect.empty()) return record;
    fs::remove(path);
    LOG_WARNING << "Corrupted file removed " << path.string() << " (" << defect << ")";
    return std::nullopt;
}

void Collector::SaveForResend(const nlohmann::json& record, const std::string& name,
                              const std::string& version,
                              const std::shared_ptr<crypto::Cryptography>& cryptography) {
    const int64_t ticks = platform::NowTicks();
    const fs::path folder = ResendFolder();
    fs::path path = folder / ResendFileName(ticks);
    try {
        if (!fs::exists(folder)) fs::create_directories(folder);
        if (ResendStoredBytes().Above(folder, kResendFolderCap)) {
            LOG_WARNING << "Collector SaveJsonFile failed with storage overflow for plugin " << name
                        << " version " << version << " saving the file " << Quoted(path);
            return;
        }
        if (!cryptography) throw std::invalid_argument("no cryptography for the resend record");
        // Written whole under a name no reader lists, then linked to a name that no other
        // record holds: a second save in the same millisecond takes the next suffix instead of
        // replacing the first.
        const fs::path staging = folder / (".staging_" + std::to_string(ticks) + "_" +
                                           std::to_string(platform::CurrentThreadId()));
        Utils::SaveEncryptedJsonFile(staging, record, *cryptography);
        for (int clash = 0;; ++clash) {
            path = folder / ResendFileName(ticks, clash);
            std::error_code ec;
            fs::create_hard_link(staging, path, ec);
            if (!ec) break;
            if (ec != std::errc::file_exists) {
                std::error_code ignored;
                fs::remove(staging, ignored);
                throw fs::filesystem_error("create_hard_link", staging, path, ec);
            }
        }
        std::error_code ignored;
        fs::remove(staging, ignored);
        const uintmax_t size = fs::file_size(path, ignored);
        if (!ignored) ResendStoredBytes().Add(folder, size);
        LOG_INFO << "Collector's data saved for resend for plugin " << name << " version " << version
                 << " the file " << path.string();
    } catch (...) {
        LOG_WARNING << "Collector SaveJsonFile failed with exception for plugin " << name << " version "
                    << version << " saving the file " << Quoted(path) << " "
                    << error::ErrorToString(error::ErrorFromException(std::current_exception(), ""));
    }
}

}  // namespace zelko::plenar::agent
