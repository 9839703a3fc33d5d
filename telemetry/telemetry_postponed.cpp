// The store of postponed collector runs: one plain JSON file per run, replayed by the module's own
// event 216. Under spreading, stale files are aged out by the age their names carry and one run
// is replayed per pass, alternating between schedule and system runs.

#include <algorithm>
#include <chrono>
#include <compare>
#include <exception>
#include <iomanip>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "telemetry/stored_bytes.h"
#include "telemetry/telemetry_module.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr char kStampFormat[] = "%Y-%m-%d-%H-%M-%S";
constexpr char kOldestStampFormat[] = "%Y-%m-%d_%H-%M-%S-%L";

std::string Quoted(const fs::path& path) {
    std::ostringstream out;
    out << std::quoted(path.string());
    return out.str();
}

// Multiplier of the forget interval for a schedule origin ("sched-<type>...").
int64_t ScheduleMultiplier(const std::string& origin) {
    const auto dash = origin.find('-');
    if (dash == std::string::npos) return 1;
    const auto next = origin.find('-', dash + 1);
    const std::string type = origin.substr(dash + 1, next == std::string::npos ? std::string::npos : next - dash - 1);
    if (type == "10") return 6;
    if (type == "20") return 48;
    if (type == "30") return 336;
    if (type == "40") return 10080;
    if (type == "50") return 48;
    return 1;
}

void RemoveCorrupted(const fs::path& path, const std::string& why) {
    std::error_code ec;
    fs::remove(path, ec);
    if (why.empty()) {
        LOG_WARNING << "Corrupted file removed " << path.string();
    } else {
        LOG_WARNING << "Corrupted file removed " << path.string() << " due to exception: " << why;
    }
    if (ec) {
        LOG_WARNING << "Failed to remove postponed file " << path.string() << ": " << ec.message();
    }
}

void RemoveUsed(const fs::path& path) {
    std::error_code ec;
    if (!fs::remove(path, ec) || ec) {
        LOG_WARNING << "Failed to remove postponed file " << path.string();
    }
}

// The clash number a name carries after its time stamp; 0 when none.
int ClashOf(const std::vector<std::string>& fields) {
    if (fields.size() < 4 || fields[3].empty() || fields[3].size() > 9) return 0;
    if (!std::all_of(fields[3].begin(), fields[3].end(), [](char c) { return c >= '0' && c <= '9'; })) return 0;
    return std::stoi(fields[3]);
}

// The order runs were saved in: oldest last-write time first; runs whose times the file system
// cannot tell apart go by the clock tick their names carry, then by their clash number, which
// counts the saves of one tick across origins.
struct SaveOrder {
    fs::file_time_type written;
    int64_t ticks = 0;
    int clash = 0;
    std::string name;
    auto operator<=>(const SaveOrder&) const = default;
};

SaveOrder SaveOrderOf(const fs::path& path, fs::file_time_type written) {
    SaveOrder order;
    order.written = written;
    order.name = path.filename().string();
    const auto fields = Utils::Split(path.stem().string(), "_");
    order.clash = ClashOf(fields);
    try {
        if (fields.size() >= 3) order.ticks = Utils::ToTimePoint(fields[2], kStampFormat, "-");
    } catch (const std::exception&) {
        order.ticks = 0;
    }
    return order;
}

}  // namespace

fs::path PostponedFolder() {
    return platform::ProgramDataFolder() / "Zelko" / "Zelko Plenar Agent" / "Postponed";
}

std::string PostponedFileName(const EventKey& key, int64_t ticks, int clash) {
    const std::string origin = key.dwControl == 230 ? "sched-" + std::to_string(key.dwEventType) : "system";
    std::string name = "postponed_" + origin + "_" + Utils::FormatTimePoint(ticks, kStampFormat, "-");
    if (clash > 0) name += "_" + std::to_string(clash);
    return name + ".ppnd";
}

void TelemetryModule::SavePostponed(const CollectorPtr& collector, const TelemetryEvent& item,
                                    const std::string& reason) {
    const std::string name = collector ? collector->name : std::string();
    const std::string found = collector ? collector->FoundVersion() : std::string();
    const fs::path folder = PostponedFolder();
    const int64_t now = platform::NowTicks();
    fs::path path = folder / PostponedFileName(item.Type, now);
    try {
        if (!fs::exists(folder)) fs::create_directories(folder);
        if (PostponedStoredBytes().Above(folder, kPostponedFolderCap)) {
            LOG_WARNING << "Collector SaveJsonFile failed with storage overflow for plugin " << name << " version "
                        << found << " saving the file " << Quoted(path);
            return;
        }
        // Runs postponed in the same tick, of any origin, are numbered in the order they are saved,
        // so the replay can keep that order where the file times cannot tell.
        const std::string stamp = Utils::FormatTimePoint(now, kStampFormat, "-");
        int clash = -1;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const auto fields = Utils::Split(entry.path().stem().string(), "_");
            if (fields.size() >= 3 && fields[2] == stamp) clash = std::max(clash, ClashOf(fields));
        }
        for (++clash; fs::exists(path = folder / PostponedFileName(item.Type, now, clash));) ++clash;
        const json record = {{"version", "1"},
                             {"reason", reason},
                             {"collector", name},
                             {"ver", found},
                             {"event", TelemetryEventToJson(item)}};
        Utils::SaveJsonFile(path, record);
        std::error_code ec;
        const uintmax_t size = fs::file_size(path, ec);
        if (!ec) PostponedStoredBytes().Add(folder, size);
        LOG_INFO << "Postponed data saved for plugin " << name << " version " << found << " the file "
                 << path.string();
        LOG_VERBOSE << "Postponed For Event " << record["event"]["Type"].dump(4);
    } catch (...) {
        LOG_WARNING << "SavePostponed failed with exception for plugin " << name << " version " << found
                    << " saving the file " << Quoted(path) << " "
                    << error::ErrorToString(error::ErrorFromException(std::current_exception(), ""));
        return;
    }
    if (EnsureSendPostponedTask()) {
        LOG_DEBUG << "SendPostponed Task created.";
    }
}

bool TelemetryModule::IsAnyPostponedCollectors() const {
    try {
        const fs::path folder = PostponedFolder();
        if (!fs::exists(folder)) return false;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (fs::is_regular_file(entry.status())) return true;
        }
    } catch (const std::exception& e) {
        LOG_WARNING << "IsAnyPostponedCollectors failed with exception " << e.what();
    }
    return false;
}

void TelemetryModule::CancelSendPostponedTask() {
    std::lock_guard lock(sendPostponedLock);
    sendPostponedTask.reset();
}

bool TelemetryModule::HasSendPostponedTask() {
    std::lock_guard lock(sendPostponedLock);
    return static_cast<bool>(sendPostponedTask);
}

namespace {

// Whether a postponed file of the spread mode stays for sending: one too old, or whose name the
// ageing cannot read, is removed.
bool KeepSpreadFile(const fs::path& path, int64_t now, int64_t spreadIntervalSeconds) {
    try {
        const auto fields = Utils::Split(path.filename().string(), "_");
        // A name the ageing cannot read would stay for good and keep the task alive.
        if (fields.size() < 3) {
            RemoveCorrupted(path, "the name has no origin and time stamp");
            return false;
        }
        const std::string& origin = fields[1];
        int64_t stamp = 0;
        int64_t multiplier = 72;
        try {
            if (origin.find("sched") != std::string::npos) {
                stamp = Utils::ToTimePoint(fields[2], kStampFormat, "-");
                multiplier = ScheduleMultiplier(origin);
            } else if (origin.find("system") != std::string::npos) {
                stamp = Utils::ToTimePoint(fields[2], kStampFormat, "-");
                multiplier = 48;
            } else {
                stamp = Utils::ToTimePoint(origin, kOldestStampFormat, "-");
            }
        } catch (const std::exception& e) {
            RemoveCorrupted(path, e.what());
            return false;
        }
        if (origin.find("sched") != std::string::npos && origin.find('-') == std::string::npos) {
            LOG_INFO << "TelemetryModule DeserializedAllPostponedCollectors cleaning old stale file "
                     << path.string();
            try {
                fs::remove(path);
            } catch (const std::exception& e) {
                LOG_WARNING << "TelemetryModule DeserializedAllPostponedCollectors failed on cleaning "
                               "old stale file "
                            << e.what();
            }
            return false;
        }
        // 64-bit: count x interval x 12 overflows 32 bits for long intervals.
        const int64_t forgetSeconds = multiplier * spreadIntervalSeconds * 12;
        const int64_t age = now - stamp;
        LOG_VERBOSE << path.string() << " from last run diff " << Utils::FormatDuration(age)
                    << " forget interval "
                    << Utils::FormatDuration(forgetSeconds * platform::kTicksPerSecond);
        if (age >= forgetSeconds * platform::kTicksPerSecond) {
            LOG_INFO << "TelemetryModule DeserializedAllPostponedCollectors cleaning stale file "
                     << path.string();
            try {
                fs::remove(path);
            } catch (const std::exception& e) {
                LOG_WARNING
                    << "TelemetryModule DeserializedAllPostponedCollectors failed on cleaning stale file "
                    << e.what();
            }
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        LOG_WARNING << "TelemetryModule DeserializedAllPostponedCollectors failed on cleaning stale files "
                    << e.what();
    }
    return false;
}

// The collector of that name among those listed for an event.
template <class Map, class Key>
TelemetryModule::CollectorPtr NamedCollector(const Map& lists, const Key& key, const std::string& name) {
    if (const auto found = lists.find(key); found != lists.end()) {
        for (const auto& collector : found->second) {
            if (collector->name == name) return collector;
        }
    }
    return nullptr;
}

}  // namespace

void TelemetryModule::DeserializedAllPostponedCollectors(const TelemetryEvent&, RunList& runList) {
    const fs::path folder = PostponedFolder();
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        LOG_INFO << "TelemetryModule SendPostponed nothing to send, exiting...";
        return;
    }

    using Candidate = std::pair<fs::path, fs::file_time_type>;
    std::vector<Candidate> candidates;
    bool anything = false;
    if (!spreadCollectors) {
        try {
            for (const auto& entry : fs::directory_iterator(folder)) {
                std::error_code entryError;
                if (!entry.is_regular_file(entryError)) continue;
                candidates.emplace_back(entry.path(), entry.last_write_time(entryError));
                anything = true;
            }
        } catch (const std::exception& e) {
            LOG_WARNING << "TelemetryModule DeserializedAllPostponedCollectors failed on cleaning stale files "
                        << e.what();
        }
    } else {
        const char* first = postponedPreferSystem == 0 ? "sched" : "system";
        const char* second = postponedPreferSystem == 0 ? "system" : "sched";
        const int64_t now = platform::NowTicks();
        std::vector<Candidate> kept;
        try {
            for (const auto& entry : fs::directory_iterator(folder)) {
                std::error_code entryError;
                if (!entry.is_regular_file(entryError)) continue;
                const fs::path path = entry.path();
                if (!KeepSpreadFile(path, now, spreadIntervalSeconds)) continue;
                kept.emplace_back(path, entry.last_write_time(entryError));
                anything = true;
            }
        } catch (const std::exception& e) {
            LOG_WARNING << "TelemetryModule DeserializedAllPostponedCollectors failed on cleaning stale files "
                        << e.what();
        }
        for (const char* word : {first, second}) {
            for (const auto& candidate : kept) {
                if (candidate.first.filename().string().find(word) != std::string::npos) candidates.push_back(candidate);
            }
            if (!candidates.empty()) break;
        }
        if (candidates.empty()) candidates = kept;
        postponedPreferSystem = postponedPreferSystem == 0 ? 1 : 0;
    }

    if (!anything) {
        LOG_INFO << "TelemetryModule SendPostponed nothing to send, exiting...";
        CancelSendPostponedTask();
        LOG_DEBUG << "SendPostponed Task canceled.";
        return;
    }

    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return SaveOrderOf(a.first, a.second) < SaveOrderOf(b.first, b.second);
    });
    if (spreadCollectors && candidates.size() > 1) candidates.resize(1);

    for (const auto& [path, time] : candidates) {
        try {
            json record;
            try {
                record = Utils::LoadJsonFile(path);
                LOG_INFO << "TelemetryModule DeserializedAllPostponedCollectors loaded " << path.string();
            } catch (const std::exception&) {
                if (!cryptography) throw;
                record = Utils::LoadEncryptedJsonFile(path, *cryptography);
                LOG_INFO << "TelemetryModule DeserializedAllPostponedCollectors loaded old " << path.string();
            }
            (void)record.at("version").get<std::string>();
            (void)record.at("reason").get<std::string>();
            const std::string name = record.at("collector").get<std::string>();
            auto item = std::make_shared<TelemetryEvent>(TelemetryEventFromJson(record.at("event")));

            CollectorPtr taken = NamedCollector(byKey, item->Type, name);
            if (!taken) taken = NamedCollector(byCode, item->Type.dwControl, name);
            if (taken) {
                LOG_INFO << "TelemetryModule DeserializedAllPostponedCollectors adding to run " << taken->name;
                LOG_VERBOSE << "Postponed For Event " << json(item->Type).dump(4);
                runList.emplace_back(taken, item);
            } else {
                LOG_INFO << "Removing postponed file generated by old collector." << path.string();
            }
            RemoveUsed(path);
        } catch (const std::exception& e) {
            RemoveCorrupted(path, e.what());
        } catch (...) {
            RemoveCorrupted(path, "");
        }
    }
}

std::vector<std::pair<std::string, std::string>> TelemetryModule::PostponedRuns() const {
    std::vector<std::pair<fs::file_time_type, fs::path>> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PostponedFolder(), ec)) {
        std::error_code entryError;
        if (entry.is_regular_file(entryError)) files.emplace_back(entry.last_write_time(entryError), entry.path());
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return SaveOrderOf(a.second, a.first) < SaveOrderOf(b.second, b.first);
    });
    std::vector<std::pair<std::string, std::string>> runs;
    for (const auto& [time, path] : files) {
        try {
            const json record = Utils::LoadJsonFile(path);
            runs.emplace_back(record.value("collector", ""), record.value("reason", ""));
        } catch (const std::exception&) {
            runs.emplace_back("", "");
        }
    }
    return runs;
}

}  // namespace zelko::plenar::agent
