#include "telemetry/telemetry_records.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace zelko::plenar::agent {

namespace {

constexpr uint64_t kMaxEventDataSize = 64ULL << 20;

uint64_t Fnv1a(uint32_t value) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (int i = 0; i < 4; ++i) {
        hash ^= (value >> (8 * i)) & 0xFF;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// Blanks and single quotes at both ends.
std::string TrimField(const std::string& text) {
    const char* strip = " \t\r\n\v\f'";
    const size_t first = text.find_first_not_of(strip);
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(strip);
    return text.substr(first, last - first + 1);
}

// The value as a whole number of T. The JSON library converts a float by a cast that is
// undefined when the float is out of range: a float is taken only when whole and in range, and
// otherwise raises the library's out_of_range. Other kinds convert (or raise) as get<T> does.
template <typename T>
T Whole(const nlohmann::json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        const double limit = std::ldexp(1.0, std::numeric_limits<T>::digits);
        const double low = std::numeric_limits<T>::is_signed ? -limit : 0.0;
        if (!(number >= low && number < limit) || number != std::trunc(number)) {
            throw nlohmann::json::out_of_range::create(406, "number out of range: " + value.dump(), &value);
        }
        return static_cast<T>(number);
    }
    return value.get<T>();
}

template <typename T>
T WholeOr(const nlohmann::json& document, const char* key, T absent) {
    const auto found = document.find(key);
    return found == document.end() ? absent : Whole<T>(*found);
}

}  // namespace

size_t EventKeyHash::operator()(const EventKey& key) const noexcept {
    return static_cast<size_t>(Fnv1a(key.dwControl) ^ Fnv1a(key.dwEventType) ^ Fnv1a(key.dwChannel));
}

void from_json(const nlohmann::json& document, EventKey& key) {
    key.dwControl = Whole<uint32_t>(document.at("dwControl"));
    // -1 arrives as a negative integer; its 32-bit pattern is the any-type marker.
    key.dwEventType = static_cast<uint32_t>(WholeOr<int64_t>(document, "dwEventType", -1));
    key.dwChannel = WholeOr<uint32_t>(document, "dwChannel", 0);
    key.dwLevel = WholeOr<uint32_t>(document, "dwLevel", 0);
}

void to_json(nlohmann::json& document, const EventKey& key) {
    document = {{"dwControl", key.dwControl},
                {"dwEventType", key.dwEventType},
                {"dwChannel", key.dwChannel},
                {"dwLevel", key.dwLevel}};
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

Event EventFromJson(const nlohmann::json& document) {
    const auto control = Whole<uint32_t>(document.at("dwControl"));
    const auto type = Whole<uint32_t>(document.at("dwEventType"));
    const auto channel = Whole<uint32_t>(document.at("dwChannel"));
    const auto level = Whole<uint32_t>(document.at("dwLevel"));
    const auto size = Whole<uint64_t>(document.at("dataSize"));
    std::vector<uint8_t> data;
    bool has_data = false;
    if (size > 0) {
        const auto found = document.find("lpEventData");
        if (found != document.end()) {
            const nlohmann::json* bytes = nullptr;
            if (found->is_object() && found->contains("bytes")) bytes = &found->at("bytes");
            if (bytes != nullptr) {
                std::vector<uint8_t> values;
                if (bytes->is_array()) {
                    for (const auto& byte : *bytes) values.push_back(Whole<uint8_t>(byte));
                } else {
                    values = bytes->get<std::vector<uint8_t>>();  // raises for what is no list
                }
                // The size comes from the file: never allocate more than the bytes given.
                data.assign(values.begin(),
                            values.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(values.size(), size)));
                has_data = true;
            } else if (found->is_binary()) {
                const auto& values = found->get_binary();
                data.assign(values.begin(),
                            values.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(values.size(), size)));
                has_data = true;
            }
        }
    }
    auto time = document.at("time").get<std::string>();

    Event event;
    if (has_data) {
        // A damaged size must not make the reader allocate without bound.
        if (size > kMaxEventDataSize) throw std::length_error("Event dataSize too large");
        data.resize(static_cast<size_t>(size), 0);
        event = Event(control, type, data.data(), size, channel, level);
    } else {
        event = Event(control, type, nullptr, 0, channel, level);
        event.dataSize = size;
    }
    event.time = std::move(time);
    return event;
}

TelemetryEvent MakeQueuedEvent(const Event& event) {
    TelemetryEvent item;
    item.Type = {event.dwControl, event.dwEventType, event.dwChannel, event.dwLevel};
    item.SysEvent = event;
    if (event.dwControl == 205 && event.lpEventData != nullptr && event.dataSize > 0) {
        const auto* bytes = reinterpret_cast<const char*>(event.lpEventData);
        const size_t length = static_cast<size_t>(event.dataSize);
        const std::string text(bytes, ::strnlen(bytes, length));
        const size_t comma = text.find(',');
        item.Plugin = TrimField(text.substr(0, comma));
        if (comma != std::string::npos) {
            const size_t second = text.find(',', comma + 1);
            item.Payload = TrimField(
                text.substr(comma + 1, second == std::string::npos ? std::string::npos : second - comma - 1));
        }
    }
    return item;
}

nlohmann::json TelemetryEventToJson(const TelemetryEvent& item) {
    return {{"Type", item.Type},
            {"SysEvent", EventToJson(item.SysEvent)},
            {"Plugin", item.Plugin},
            {"Payload", item.Payload},
            {"IsStop", item.IsStop}};
}

TelemetryEvent TelemetryEventFromJson(const nlohmann::json& document) {
    TelemetryEvent item;
    item.Type = document.at("Type").get<EventKey>();
    item.SysEvent = EventFromJson(document.at("SysEvent"));
    item.Plugin = document.at("Plugin").get<std::string>();
    item.Payload = document.at("Payload").get<std::string>();
    item.IsStop = document.at("IsStop").get<bool>();
    return item;
}

}  // namespace zelko::plenar::agent
