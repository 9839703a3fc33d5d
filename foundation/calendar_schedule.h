#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zelko::plenar::agent {

// Calendar schedule events; the numbers travel as the event type of module event 230.
enum class ScheduleTypes : uint32_t {
    Minute = 1,
    Hourly = 10,
    Daily = 20,
    Weekly = 30,
    Monthly = 40,
    OnStart = 50,
    MockedOnStart = 51,
};

struct ScheduleTypeInfo {
    int32_t intervalMinutes;  // 0 for the on-start types
    bool dateBased;           // its last end time is kept in the schedule state file
    bool onStart;             // delivered once when the events start
};

// What a type means when an hour lasts hourlyFakeMin minutes; nullopt for a value that is no type.
std::optional<ScheduleTypeInfo> GetScheduleTypeInfo(ScheduleTypes type, int32_t hourlyFakeMin,
                                                    bool hourlyIsDateBased);

// The type's name as the logs and the state file write it; "" for a value that is no type.
std::string ScheduleTypeName(ScheduleTypes type);

}  // namespace zelko::plenar::agent
