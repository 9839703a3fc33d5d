#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelko::plenar::agent {

// Windows event-log channels the agent subscribes to; the number travels in Event::dwChannel.
enum class EventLogChannel : uint32_t {
    System = 0,
    Application = 1,
    Security = 2,
    Setup = 3,
    ForwardedEvents = 4,
    PushNotificationPlatform = 5,
};

// Exact, case-sensitive match of a channel name; any other text gives System.
uint32_t ParseEventChannel(std::u16string_view name);

// The channel's name; any number outside the table gives "System".
std::u16string EventChannelName(uint32_t channel);

}  // namespace zelko::plenar::agent
