// The resend pass: the records of unsent telemetry, oldest first, filtered again, published and
// removed once sent. One damaged record never holds back the others.

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "telemetry/resend_record.h"
#include "telemetry/telemetry_module.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::string_view kConsentErrorType = "enum zelko::shared::valve::ValveFilterError::ValveFilterErrorType";
constexpr int64_t kConsentWindowTicks = 864'000'000'000;  // 24 hours

// A staging file older than this was left by a save that never finished (a crash): no save takes so long.
constexpr int64_t kStagingLifeTicks = 600 * platform::kTicksPerSecond;

constexpr char kStagingPrefix[] = ".staging_";

// A staging file still being written by a collector running in parallel stays; one left behind goes,
// or it would count against the folder's cap for good.
void RemoveStaleStaging(const fs::path& path) {
    const std::string name = path.filename().string();
    int64_t saved = 0;
    const auto end = name.find('_', sizeof kStagingPrefix - 1);
    const std::string digits = name.substr(sizeof kStagingPrefix - 1, end == std::string::npos ? end : end - (sizeof kStagingPrefix - 1));
    const auto [at, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), saved);
    const bool readable = ec == std::errc{} && at == digits.data() + digits.size();
    const int64_t now = platform::NowTicks();
    if (readable && saved <= now + kStagingLifeTicks && now - saved < kStagingLifeTicks) return;
    std::error_code removeError;
    fs::remove(path, removeError);
    if (removeError) {
        LOG_WARNING << "Failed to remove the unfinished resend file " << path.string() << " " << removeError.message();
    } else {
        LOG_WARNING << "Unfinished resend file removed " << path.string();
    }
}

bool IsFullForm(const json& record) {
    return record.contains("time") && record.contains("last_data_valve") && record.contains("event_type");
}

}  // namespace

TelemetryModule::ResendDecision TelemetryModule::ResendLogic(const std::string& path, const json& record,
                                                             std::vector<char>& filtered) {
    ResendDecision decision;
    const std::string collector = record.at("collector").get<std::string>();
    const std::string version = record.at("ver").get<std::string>();
    const std::string gun = record.at("gun").get<std::string>();
    const std::string cdm = record.at("data").dump();
    filtered.assign(cdm.size() + 1, '\0');
    const bool full = IsFullForm(record);

    if (full) {
        const int64_t lastDataValve = Utils::ToTimePoint(record.at("last_data_valve").get<std::string>(),
                                                         kResendTimeFormat, kResendTimeSeparator);
        if (connectivity->GetDataValveClientInitTime() <= lastDataValve && record.value("reason", "") == "cdm") {
            LOG_INFO << "ResendCollectorsData Skipping CDM Tree for collector " << collector << " ver " << version
                     << " as the DataValve was not updated.";
            decision.skip = true;
            return decision;
        }
    }
    LOG_INFO << "ResendCollectorsData Filtering CDM Trees for collector " << collector << " ver " << version;
    LOG_DEBUG << gun << " " << cdm;

    const Error failure = connectivity->FilterCDMTrees(cdm, gun, filtered.data(), filtered.size());
    if (!failure) return decision;

    const bool consent = failure.type() == kConsentErrorType;
    const std::string text = error::ErrorToString(failure);
    const std::string m1 = "ResendCollectorsData FilterCDMTrees failed on collector " + collector + " ver " +
                           version + " resend json " + path + " with error : " + text;
    const std::string j = json{{"error", text}}.dump();
    decision.skip = true;
    if (!full) {
        if (consent) {
            decision.remove = true;
        } else {
            LOG_WARNING << m1;
        }
        return decision;
    }
    if (!consent) {
        LOG_WARNING << m1;
        decision.error = MakeCollectorError(CollectorErrorEnum::NoRemoteConsentRefetch, m1);
        return decision;
    }
    if (record.at("event_type").get<int64_t>() == 210) {
        LOG_INFO << "ResendCollectorsData keeping data for PostCorvaneGrantEvent, for collector" << collector
                 << " ver " << version;
        decision.error = MakeCollectorError(CollectorErrorEnum::NoRemoteConsentRefetch, j);
        return decision;
    }
    const int64_t saved =
        Utils::ToTimePoint(record.at("time").get<std::string>(), kResendTimeFormat, kResendTimeSeparator);
    if (platform::NowTicks() - saved <= kConsentWindowTicks) {
        LOG_WARNING << "ResendCollectorsData FilterCDMTrees failed with no consent on collector " << collector
                    << " ver " << version << " resend json " << path << " with error : " << text;
        decision.error = MakeCollectorError(CollectorErrorEnum::NoRemoteConsentRefetch, j);
        return decision;
    }
    LOG_INFO << "ResendCollectorsData removing resend file after 24 hours of no consent, for collector" << collector
             << " ver " << version;
    decision.remove = true;
    return decision;
}

TelemetryModule::Error TelemetryModule::ResendCollectorsData() {
    LOG_INFO << "TelemetryModule ResendCollectorsData starting...";
    Error result;
    if (!connectivity || !connectivity->IsCredentialsReady()) {
        LOG_INFO << "TelemetryModule ResendCollectorsData No valid enrollment.";
        return MakeCollectorError(CollectorErrorEnum::NoValidEnrollment,
                                  "TelemetryModule ResendCollectorsData No valid enrollment.");
    }
    try {
        const fs::path folder = ResendFolder();
        if (!fs::exists(folder)) {
            LOG_INFO << "TelemetryModule ResendCollectorsData nothing to resend, exitintg...";
            return result;
        }
        if (!cryptography) {
            LOG_ERROR << "TelemetryModule ResendCollectorsData has no cryptography to read the records";
            return result;
        }
        std::vector<std::pair<fs::file_time_type, fs::path>> files;
        for (const auto& entry : fs::directory_iterator(folder)) {
            std::error_code ec;
            if (!fs::is_regular_file(entry.status(ec))) continue;
            // A record still being written has a staging name of its own.
            if (entry.path().filename().string().starts_with(kStagingPrefix)) {
                RemoveStaleStaging(entry.path());
                continue;
            }
            files.emplace_back(entry.last_write_time(ec), entry.path());
        }
        // Oldest first; records of one moment in name order (names sort in the order of writing).
        std::sort(files.begin(), files.end());

        for (const auto& [time, path] : files) {
            // Each record on its own: a damaged one, or one that cannot be removed, never ends the
            // walk for the records after it.
            try {
                const std::optional<json> record = LoadResendRecord(path, *cryptography);
                if (!record) continue;
                std::vector<char> filtered;
                ResendDecision decision;
                try {
                    decision = ResendLogic(path.string(), *record, filtered);
                } catch (const std::exception& e) {
                    // Keys and times were checked on loading; what is left here is unusable.
                    std::error_code ec;
                    fs::remove(path, ec);
                    LOG_WARNING << "Corrupted file removed " << path.string() << " (" << e.what() << ")";
                    continue;
                }
                if (decision.remove) fs::remove(path);
                if (decision.skip) continue;

                LOG_INFO << "ResendCollectorsData cdm Formating Data for Publishing...";
                const std::string gun = record->at("gun").get<std::string>();
                std::vector<char> envelope;
                try {
                    connectivity->FormatForPublishing(gun, std::string(filtered.data()), envelope);
                    if (envelope.empty() || envelope.front() == '\0') throw std::runtime_error("empty envelope");
                } catch (const std::exception& e) {
                    // Nothing about this record changes between walks: it could never be sent.
                    std::error_code ec;
                    fs::remove(path, ec);
                    LOG_WARNING << "Corrupted file removed " << path.string() << " (no envelope: " << e.what()
                                << ")";
                    continue;
                }
                const std::string topic = connectivity->GetTelemetryTopic();
                const std::string payload(envelope.data());
                shared::iot::IoTResult published;
                // Too large for a publish: it goes the way the collector run sends it, by S3.
                if (static_cast<double>(payload.size() + 1) / 1024 > connectivity->switchS3UploadMaxMessageSize) {
                    const std::string key = connectivity->GetDeviceUniqueId() + "_" +
                                            Utils::FormatTimePoint(platform::NowTicks(), "%Y-%m-%d-%H-%M-%S", "-") +
                                            "_" + Utils::ToLower(Utils::GetGun(gun)) + ".json";
                    published.error = connectivity->UploadToS3(connectivity->GetPublishDataS3Uri(), key, json(payload));
                } else {
                    published = publishByHttp ? connectivity->PubByHttp(topic, payload) : connectivity->Pub(topic, payload);
                }
                const bool failed = publishByHttp ? ((published.httpCode != 0 && published.httpCode != 200) ||
                                                     published.iotCode != 0 || published.error)
                                                  : (published.iotCode != 0 || published.error);
                if (failed) {
                    const std::string text = published.error ? error::ErrorToString(published.error) : std::string();
                    LOG_ERROR << "Publishing failed: HttpCode: " << published.httpCode
                              << " IoTCode: " << published.iotCode << " Error: " << text;
                    if (!(result && result.code() == static_cast<int32_t>(CollectorErrorEnum::NoRemoteConsentRefetch) &&
                          result.type() == kCollectorErrorType)) {
                        result = MakeCollectorError(
                            CollectorErrorEnum::PublishFailed,
                            json{{"http_code", published.httpCode}, {"iot_code", published.iotCode}, {"error", text}}
                                .dump());
                    }
                    continue;
                }
                std::error_code ec;
                if (!fs::remove(path, ec) || ec) {
                    LOG_WARNING << "Failed to remove the sent resend file " << path.string() << " "
                                << ec.message();
                }
            } catch (...) {
                const Error failure = error::ErrorFromException(std::current_exception(), "");
                LOG_ERROR << "ResendCollectorsData failed with exception " << error::ErrorToString(failure)
                          << " on " << path.string();
                if (!result) result = failure;
            }
        }
    } catch (...) {
        const Error failure = error::ErrorFromException(std::current_exception(), "");
        LOG_ERROR << "ResendCollectorsData failed with exception " << error::ErrorToString(failure);
        if (!result) result = failure;
    }
    LOG_INFO << "TelemetryModule ResendCollectorsData exiting";
    return result;
}

}  // namespace zelko::plenar::agent
