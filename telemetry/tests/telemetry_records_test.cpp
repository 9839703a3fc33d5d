// Event and item JSON forms, event keys, and the queued item of a 205 event.

#include "telemetry/telemetry_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "telemetry/collector_errors.h"

namespace zelko::plenar::agent::test {
namespace {

using nlohmann::json;

std::vector<uint8_t> Bytes(const Event& event) {
    if (event.lpEventData == nullptr) return {};
    return {event.lpEventData, event.lpEventData + event.dataSize};
}

TEST(TelemetryRecordsTest, EventJsonRoundTripsThroughText) {
    const uint8_t data[] = {1, 2, 3};
    Event event(240, 19, data, 3, 1, 4);
    const std::string text = EventToJson(event).dump();
    EXPECT_NE(text.find(R"("lpEventData":{"bytes":[1,2,3],"subtype":null})"), std::string::npos) << text;
    const Event back = EventFromJson(json::parse(text));
    EXPECT_EQ(Bytes(back), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(back.dwControl, 240u);
    EXPECT_EQ(back.dwEventType, 19u);
    EXPECT_EQ(back.dwChannel, 1u);
    EXPECT_EQ(back.dwLevel, 4u);
    EXPECT_EQ(back.time, event.time);

    const Event empty(230, 20);
    const json plain = EventToJson(empty);
    EXPECT_FALSE(plain.contains("lpEventData"));
    EXPECT_EQ(EventFromJson(plain).lpEventData, nullptr);
}

TEST(TelemetryRecordsTest, EventReaderTable) {
    const json base = {{"dwControl", 1}, {"dwEventType", 2}, {"dwChannel", 0}, {"dwLevel", 0}, {"time", "t"}};
    struct Case {
        const char* what;
        json changes;
        std::vector<uint8_t> bytes;
        uint64_t size;
    } cases[] = {
        {"more bytes than size",
         {{"dataSize", 4}, {"lpEventData", {{"bytes", {1, 2, 3, 4, 5, 6}}}}},
         {1, 2, 3, 4},
         4},
        {"fewer bytes than size", {{"dataSize", 4}, {"lpEventData", {{"bytes", {7, 8}}}}}, {7, 8, 0, 0}, 4},
        {"no data element", {{"dataSize", 8}}, {}, 8},
        {"data of another kind", {{"dataSize", 8}, {"lpEventData", "text"}}, {}, 8},
        {"object without bytes", {{"dataSize", 8}, {"lpEventData", json::object()}}, {}, 8},
        {"size zero ignores bytes", {{"dataSize", 0}, {"lpEventData", {{"bytes", {1}}}}}, {}, 0},
    };
    for (const auto& c : cases) {
        json document = base;
        document.update(c.changes);
        const Event event = EventFromJson(document);
        EXPECT_EQ(Bytes(event), c.bytes) << c.what;
        EXPECT_EQ(event.dataSize, c.size) << c.what;
    }

    struct Bad {
        const char* what;
        json document;
    } bad[] = {
        {"no time",
         [&] {
             json d = base;
             d.erase("time");
             d["dataSize"] = 0;
             return d;
         }()},
        {"no dataSize", base},
        {"not an object", json::array({1})},
        {"bytes not an array",
         [&] {
             json d = base;
             d["dataSize"] = 2;
             d["lpEventData"] = {{"bytes", 5}};
             return d;
         }()},
        {"wrong kind",
         [&] {
             json d = base;
             d["dataSize"] = "x";
             return d;
         }()},
        // Converting these floats would be undefined: they are refused like any damaged number.
        {"control out of range",
         [&] {
             json d = base;
             d["dwControl"] = 1e20;
             return d;
         }()},
        {"negative size",
         [&] {
             json d = base;
             d["dataSize"] = -1.5;
             return d;
         }()},
        {"byte out of range",
         [&] {
             json d = base;
             d["dataSize"] = 1;
             d["lpEventData"] = {{"bytes", {1e3}}};
             return d;
         }()},
    };
    for (const auto& b : bad) EXPECT_THROW(EventFromJson(b.document), json::exception) << b.what;
    json huge = base;
    huge["dataSize"] = uint64_t{1} << 62;
    huge["lpEventData"] = {{"bytes", {1}}};
    EXPECT_THROW(EventFromJson(huge), std::length_error);
}

TEST(TelemetryRecordsTest, EventKeyDefaultsEqualityAndHash) {
    const EventKey any = json{{"dwControl", 220}, {"comment", "x"}}.get<EventKey>();
    EXPECT_EQ(any.dwEventType, kAnyEventType);
    EXPECT_EQ(any.dwChannel, 0u);
    const json written = any;
    EXPECT_EQ(written["dwEventType"], 4294967295u);
    EXPECT_EQ(written.get<EventKey>().dwEventType, kAnyEventType);
    EXPECT_THROW(json::array().get<EventKey>(), json::type_error);
    EXPECT_THROW(json::object().get<EventKey>(), json::out_of_range);
    EXPECT_THROW((json{{"dwControl", 1e20}}.get<EventKey>()), json::out_of_range);
    EXPECT_THROW((json{{"dwControl", 1}, {"dwEventType", -1e30}}.get<EventKey>()), json::out_of_range);
    EXPECT_THROW((json{{"dwControl", 1}, {"dwLevel", 0.5}}.get<EventKey>()), json::out_of_range);
    // A float that holds a whole number in range is that number.
    EXPECT_EQ((json{{"dwControl", 230.0}, {"dwEventType", -1.0}}.get<EventKey>()).dwEventType, kAnyEventType);

    const EventKey a{230, 20, 0, 0}, b{230, 20, 0, 5}, c{230, 20, 1, 0};
    EXPECT_EQ(a, b);
    EXPECT_EQ(EventKeyHash{}(a), EventKeyHash{}(b));
    EXPECT_FALSE(a == c);
    // The standard hash of one 32-bit value, by fields, combined by XOR.
    const auto fnv = [](uint32_t v) {
        uint64_t h = 0xcbf29ce484222325ULL;
        for (int i = 0; i < 4; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001b3ULL;
        return h;
    };
    EXPECT_EQ(EventKeyHash{}(c), static_cast<size_t>(fnv(230) ^ fnv(20) ^ fnv(1)));
}

TEST(TelemetryRecordsTest, QueuedItemOf205) {
    struct Case {
        std::string data;
        size_t size;
        std::string plugin, payload;
    } cases[] = {
        {std::string("my-plugin, C:\\p\\payload.json") + '\0' + "junk,x", 0, "my-plugin",
         "C:\\p\\payload.json"},
        {" 'quoted' , ' spaced '", 22, "quoted", "spaced"},
        {"a,b,c", 5, "a", "b"},
        {"only", 4, "only", ""},
        // No NUL within dataSize: the text ends at dataSize.
        {"name,path-and-more", 9, "name", "path"},
    };
    for (const auto& c : cases) {
        const size_t size = c.size == 0 ? c.data.size() : c.size;
        const TelemetryEvent item = MakeQueuedEvent(Event(205, 0, c.data.data(), size));
        EXPECT_EQ(item.Plugin, c.plugin) << c.data;
        EXPECT_EQ(item.Payload, c.payload) << c.data;
        EXPECT_EQ(Bytes(item.SysEvent).size(), size);
    }
    // A 205 with a size but no buffer is read as nothing.
    Event hollow(205, 0);
    hollow.dataSize = 16;
    const TelemetryEvent item = MakeQueuedEvent(hollow);
    EXPECT_TRUE(item.Plugin.empty());
    EXPECT_EQ(item.SysEvent.dataSize, 16u);
    EXPECT_EQ(item.SysEvent.lpEventData, nullptr);
}

TEST(TelemetryRecordsTest, ItemCopyMoveAndJson) {
    const uint8_t data[] = {9, 8};
    TelemetryEvent item = MakeQueuedEvent(Event(240, 19, data, 2, 3));
    TelemetryEvent copy = item;
    EXPECT_NE(copy.SysEvent.lpEventData, item.SysEvent.lpEventData);
    EXPECT_EQ(Bytes(copy.SysEvent), Bytes(item.SysEvent));

    TelemetryEvent moved = std::move(copy);
    EXPECT_EQ(copy.SysEvent.lpEventData, nullptr);
    EXPECT_EQ(copy.SysEvent.dataSize, 0u);

    Event sized(230, 1);
    sized.dataSize = 8;
    TelemetryEvent hollow;
    hollow.SysEvent = sized;
    EXPECT_EQ(TelemetryEvent(hollow).SysEvent.dataSize, 8u);

    const json document = TelemetryEventToJson(moved);
    const TelemetryEvent back = TelemetryEventFromJson(json::parse(document.dump()));
    EXPECT_EQ(back.Type, moved.Type);
    EXPECT_EQ(back.Type.dwChannel, 3u);
    EXPECT_EQ(Bytes(back.SysEvent), (std::vector<uint8_t>{9, 8}));
    EXPECT_FALSE(back.IsStop);
    json missing = document;
    missing.erase("IsStop");
    EXPECT_THROW(TelemetryEventFromJson(missing), json::out_of_range);

    const auto error = MakeCollectorError(CollectorErrorEnum::PublishFailed, "m");
    EXPECT_EQ(error.type(), "enum zelko::plenar::agent::Collector::CollectorErrorEnum");
    EXPECT_EQ(error.code(), 14);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
