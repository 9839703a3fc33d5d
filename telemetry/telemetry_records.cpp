#include "telemetry/telemetry_records.h"

#include <vector>

namespace zelko::plenar::agent {

void from_json(const nlohmann::json& document, EventKey& key) {
    key.dwControl = document.at("dwControl").get<uint32_t>();
    // -1 arrives as a negative integer; its 32-bit pattern is the any-type marker.
    key.dwEventType = static_cast<uint32_t>(document.value("dwEventType", int64_t{-1}));
    key.dwChannel = document.value("dwChannel", uint32_t{0});
    key.dwLevel = document.value("dwLevel", uint32_t{0});
}

nlohmann::json EventToJson(const Event& event) {
    nlohmann::json document;
    document["dwControl"] = event.dwControl;
    document["dwEventType"] = event.dwEventType;
    document["dwChannel"] = event.dwChannel;
    document["dwLevel"] = event.dwLevel;
    if (event.dataSize > 0 && event.lpEventData != nullptr) {
        document["lpEventData"] = nlohmann::json::binary(
            std::vector<uint8_t>(event.lpEventData, event.lpEventData + event.dataSize));
    }
    document["dataSize"] = event.dataSize;
    document["time"] = event.time;
    return document;
}

}  // namespace zelko::plenar::agent
