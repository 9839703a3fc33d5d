#include "foundation/event.h"

#include <gtest/gtest.h>

#include <cstring>

#include "foundation/utils_time.h"

namespace zelko::plenar::agent {
namespace {

TEST(EventTest, OwnsACopyOfItsDataAndCopiesDeeply) {
    char text[] = "my_plugin_ver_1.2.0, c:/x.json";
    Event event(205, 0, text, sizeof text);
    text[0] = 'X';  // the sender's bytes are no longer needed
    ASSERT_NE(event.lpEventData, nullptr);
    EXPECT_EQ(event.dataSize, sizeof text);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(event.lpEventData)), "my_plugin_ver_1.2.0, c:/x.json");
    EXPECT_TRUE(IsIso8601WithOffset(event.time)) << event.time;

    Event copy = event;
    ASSERT_NE(copy.lpEventData, event.lpEventData);
    EXPECT_EQ(std::memcmp(copy.lpEventData, event.lpEventData, event.dataSize), 0);
    EXPECT_EQ(copy.dwControl, 205u);
    EXPECT_EQ(copy.time, event.time);

    Event moved = std::move(copy);
    EXPECT_EQ(copy.lpEventData, nullptr);
    EXPECT_EQ(copy.dataSize, 0u);
    EXPECT_EQ(moved.dataSize, sizeof text);

    Event assigned(11, 0x8000);
    assigned = event;
    EXPECT_EQ(assigned.dwControl, 205u);
    EXPECT_NE(assigned.lpEventData, event.lpEventData);
}

TEST(EventTest, NoDataMeansNullAndZero) {
    const char byte = 1;
    for (const Event& event : {Event(), Event(13, 18), Event(13, 18, &byte, 0), Event(13, 18, nullptr, 4)}) {
        EXPECT_EQ(event.lpEventData, nullptr);
        EXPECT_EQ(event.dataSize, 0u);
        EXPECT_EQ(event.dwChannel, 0u);
        EXPECT_EQ(event.dwLevel, 0u);
    }
    Event windows(240, 4624, &byte, 1, 2, 4);
    EXPECT_EQ(windows.dwChannel, 2u);
    EXPECT_EQ(windows.dwLevel, 4u);
}

}  // namespace
}  // namespace zelko::plenar::agent
