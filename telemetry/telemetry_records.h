#pragma once

// The telemetry queue's records: the key that selects collectors for an event, and the work item
// a collector runs.

#include <cstddef>
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

// FNV-1a of each of control, type and channel, combined by XOR; the level is not hashed.
struct EventKeyHash {
    size_t operator()(const EventKey& key) const noexcept;
};

// "dwControl" required; "dwEventType" -1 (any), "dwChannel" and "dwLevel" 0 when absent. Raises the
// JSON library's errors for a document that is no object, a missing "dwControl" or a wrong kind.
void from_json(const nlohmann::json& document, EventKey& key);
void to_json(nlohmann::json& document, const EventKey& key);

// {"dwControl", "dwEventType", "dwChannel", "dwLevel", "dataSize", "time"} and, when there is data,
// "lpEventData" as a binary value (written {"bytes":[...],"subtype":null} in text).
nlohmann::json EventToJson(const Event& event);
// The reverse, also from that text form. Every number and "time" are required; data comes only
// from an object holding "bytes", at most dataSize of them (the rest zero). Raises the JSON
// library's errors; never gives a half-filled record.
Event EventFromJson(const nlohmann::json& document);

struct TelemetryEvent {
    EventKey Type;
    Event SysEvent;  // time now when default-made
    std::string Plugin;
    std::string Payload;
    bool IsStop = false;
};

// The queued item of an event. For 205 the data is "<plug-in>, <payload path>": at most dataSize
// bytes are read, up to the first NUL.
TelemetryEvent MakeQueuedEvent(const Event& event);

nlohmann::json TelemetryEventToJson(const TelemetryEvent& item);
// All five keys required; raises the JSON library's errors.
TelemetryEvent TelemetryEventFromJson(const nlohmann::json& document);

}  // namespace zelko::plenar::agent
