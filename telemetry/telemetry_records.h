#pragma once

// The telemetry queue's records: the key that selects collectors for an event, and the work item
// a collector runs.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/event.h"

namespace zelko::plenar::agent {

// dwEventType 0xFFFFFFFF (-1 in configuration files) matches any type of the code.
inline constexpr uint32_t kAnyEventType = 0xFFFFFFFF;

struct EventKey {
    uint32_t dwControl = 0;
    uint32_t dwEventType = 0;
    uint32_t dwChannel = 0;
    uint32_t dwLevel = 0;

    // The level takes no part in selecting collectors.
    bool operator==(const EventKey& other) const {
        return dwControl == other.dwControl && dwEventType == other.dwEventType &&
               dwChannel == other.dwChannel;
    }
};

// "dwControl" required; "dwEventType" -1 (any), "dwChannel" and "dwLevel" 0 when absent. Raises the
// JSON library's errors for a document that is no object, a missing "dwControl" or a wrong kind.
void from_json(const nlohmann::json& document, EventKey& key);

// {"dwControl", "dwEventType", "dwChannel", "dwLevel", "dataSize", "time"} and, when there is data,
// "lpEventData" as a binary value (written {"bytes":[...],"subtype":null} in text).
nlohmann::json EventToJson(const Event& event);

struct TelemetryEvent {
    EventKey Type;
    Event SysEvent;  // time now when default-made
    std::string Plugin;
    std::string Payload;
    bool IsStop = false;
};

}  // namespace zelko::plenar::agent
