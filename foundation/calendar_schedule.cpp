#include "foundation/calendar_schedule.h"

#include <cerrno>
#include <ctime>
#include <fstream>
#include <limits>

#include "foundation/default_configs.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/scheduler.h"
#include "foundation/utils_files.h"
#include "foundation/utils_time.h"
#include "platform/file_replace.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

namespace {

using nlohmann::json;

uint32_t LastError() { return platform::ErrorFromErrno(errno); }

int32_t HoursOf(int64_t hours, int32_t hourlyFakeMin) {
    // Kept within 32 bits whatever the configuration says.
    return static_cast<int32_t>(
        std::min<int64_t>(hours * hourlyFakeMin, std::numeric_limits<int32_t>::max()));
}

Duration MinutesOf(int32_t minutes) { return std::chrono::minutes(minutes); }

int64_t Ticks(TimePoint t) { return t.time_since_epoch().count(); }

// A saved text of the accepted shape, its fields taken as UTC.
TimePoint TimeFromText(const std::string& text) {
    std::tm fields = ParseTime(text);
    return TimePoint(std::chrono::seconds(::timegm(&fields)));
}

}  // namespace

std::optional<ScheduleTypeInfo> GetScheduleTypeInfo(ScheduleTypes type, int32_t hourlyFakeMin,
                                                    bool hourlyIsDateBased) {
    switch (type) {
        case ScheduleTypes::Minute:
            return ScheduleTypeInfo{1, false, false};
        case ScheduleTypes::Hourly:
            return ScheduleTypeInfo{HoursOf(1, hourlyFakeMin), hourlyIsDateBased, false};
        case ScheduleTypes::Daily:
            return ScheduleTypeInfo{HoursOf(24, hourlyFakeMin), true, false};
        case ScheduleTypes::Weekly:
            return ScheduleTypeInfo{HoursOf(168, hourlyFakeMin), true, false};
        case ScheduleTypes::Monthly:
            return ScheduleTypeInfo{HoursOf(720, hourlyFakeMin), true, false};
        case ScheduleTypes::OnStart:
        case ScheduleTypes::MockedOnStart:
            return ScheduleTypeInfo{0, false, true};
    }
    return std::nullopt;
}

std::string ScheduleTypeName(ScheduleTypes type) {
    switch (type) {
        case ScheduleTypes::Minute:
            return "Minute";
        case ScheduleTypes::Hourly:
            return "Hourly";
        case ScheduleTypes::Daily:
            return "Daily";
        case ScheduleTypes::Weekly:
            return "Weekly";
        case ScheduleTypes::Monthly:
            return "Monthly";
        case ScheduleTypes::OnStart:
            return "OnStart";
        case ScheduleTypes::MockedOnStart:
            return "MockedOnStart";
    }
    return "";
}

void Scheduler::SetSysEventCallback(std::function<void(ScheduleTypes)> cb) {
    if (destroyed.load()) return;
    sysEventCallback = std::move(cb);
}

void Scheduler::Reinit() {
    LOG_DEBUG << "Reinit Scheduler starting";
    config = Utils::LoadConfigFile(configPath);
    if (!config.is_object()) {
        // A document of the wrong shape is as damaged as one that does not parse.
        LOG_WARNING << "The scheduler config file " << configPath.string()
                    << " is not of the expected shape, using the built-in one";
        const std::string* text =
            FindDefaultConfig(DefaultConfigs(), "zelko-scheduler-config.json", ConfigVariant::Standard);
        config = text != nullptr ? json::parse(*text, nullptr, false) : json::object();
        if (!config.is_object()) config = json::object();
    }
    constexpr std::string_view doc = "zelko-scheduler-config.json";
    const bool dateBased = Settings::Bool(config, doc, "hourly_is_date_based", true);
    // Zero or negative intervals would make the worker spin.
    const auto fakeMin = static_cast<int32_t>(Settings::Int(config, doc, "hourly_fake_min", 60, 1, 366 * 24 * 60));
    hourlyIsDateBased = dateBased;
    hourlyFakeMin = fakeMin;
    started = false;
    LoadPersistedSate();
    LOG_DEBUG << "Reinit Scheduler finished";
}

void Scheduler::LoadPersistedSate() {
    state = json::object();
    stateLoaded = false;
    errno = 0;
    std::ifstream in(statePath);
    if (!in.is_open()) {
        LOG_WARNING << "Cannot open the state config file - GetLastError: " << LastError();
        return;
    }
    try {
        json parsed;
        in >> parsed;  // the first complete value; what follows is not looked at
        if (!parsed.is_object()) {
            // No saved times; the next save writes an object again.
            LOG_WARNING << "The state config file holds no JSON object, ignoring it: " << statePath.string();
            return;
        }
        state = std::move(parsed);
        stateLoaded = true;
    } catch (const std::exception& e) {
        LOG_WARNING << "Cannot load the state config file - GetLastError: " << LastError();
        LOG_WARNING << e.what();
    }
}

void Scheduler::SavePersistedSate() {
    try {
        const std::string text = state.dump(4);
        errno = 0;
        if (platform::ReplaceFileContent(statePath, text) != platform::FileReplace::Ok) {
            LOG_ERROR << "Cannot save the state config file - GetLastError: " << LastError();
        }
    } catch (const std::exception& e) {
        LOG_WARNING << "Cannot save the state config file - GetLastError: " << LastError();
        LOG_WARNING << "exception: " << e.what();
    }
}

bool Scheduler::RegisterSysEventSchedule(ScheduleTypes type) {
    if (destroyed.load() || !sysEventCallback) return false;
    const auto info = GetScheduleTypeInfo(type, hourlyFakeMin, hourlyIsDateBased);
    if (!info) return false;
    const int32_t minutes = info->intervalMinutes;
    const TimePoint now = Now();
    TimePoint start = now;
    if (info->dateBased) {
        const std::string typeName = ScheduleTypeName(type);
        std::string saved;
        if (state.is_object() && state.contains(typeName)) {
            if (state[typeName].is_string()) {
                saved = state[typeName].get<std::string>();
            } else {
                LOG_WARNING << "The saved time of " << typeName << " is not a text, it starts at once";
            }
        }
        if (stateLoaded && IsIso8601WithOffset(saved)) start = TimeFromText(saved) + MinutesOf(minutes);
    }
    auto callback = sysEventCallback;
    auto registration = [this, type, minutes, info = *info, start, callback] {
        auto bound = [callback, type] { callback(type); };
        const std::string typeName = ScheduleTypeName(type);
        if (info.onStart) {
            LOG_DEBUG << "Queueing On Start event: " << typeName << " in " << minutes << " minutes.";
            In(MinutesOf(minutes), bound);
        } else if (info.dateBased) {
            LOG_DEBUG << "Queueing Date Based event: " << typeName << " on "
                      << FormatUtcIso8601(Ticks(start));
            static_cast<IScheduler*>(this)->RunIntervalStartingWithDate(start, minutes, bound, type);
        } else {
            LOG_DEBUG << "Queueing event: " << typeName << " in " << minutes << " minutes.";
            Interval(MinutesOf(minutes), bound);
        }
    };
    (info->onStart ? onStartEvents : regularEvents).push_back(std::move(registration));
    return true;
}

void Scheduler::StartScheduledEvents() {
    if (destroyed.load() || started) return;
    for (const auto& registration : onStartEvents) registration();
    for (const auto& registration : regularEvents) registration();
    started = true;
}

void Scheduler::RunIntervalStartingWithDate(TimePoint start, int32_t intervalMinutes,
                                            std::function<void()> cb, ScheduleTypes type) {
    if (destroyed.load()) return;
    In(start, [this, intervalMinutes, cb, type] {
        const std::string typeName = ScheduleTypeName(type);
        LOG_DEBUG << "Running scheduled event: " << typeName;
        cb();
        // The end of this delivery is on disk before the next one is posted.
        const TimePoint end = WallClock::now();
        state[typeName] = FormatUtcIso8601(Ticks(end));
        SavePersistedSate();
        const TimePoint next = end + MinutesOf(intervalMinutes);
        LOG_DEBUG << "Will rerun scheduled event: " << typeName << " on " << FormatUtcIso8601(Ticks(next));
        static_cast<IScheduler*>(this)->RunIntervalStartingWithDate(next, intervalMinutes, cb, type);
    });
}

}  // namespace zelko::plenar::agent
