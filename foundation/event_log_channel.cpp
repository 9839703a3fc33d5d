#include "foundation/event_log_channel.h"

#include <array>

namespace zelko::plenar::agent {

namespace {
constexpr std::array<std::u16string_view, 6> kChannelNames = {
    u"System", u"Application",     u"Security",
    u"Setup",  u"ForwardedEvents", u"Microsoft-Windows-PushNotification-Platform/Operational",
};
}  // namespace

uint32_t ParseEventChannel(std::u16string_view name) {
    for (uint32_t i = 0; i < kChannelNames.size(); ++i) {
        if (kChannelNames[i] == name) return i;
    }
    return static_cast<uint32_t>(EventLogChannel::System);
}

std::u16string EventChannelName(uint32_t channel) {
    if (channel >= kChannelNames.size()) channel = static_cast<uint32_t>(EventLogChannel::System);
    return std::u16string(kChannelNames[channel]);
}

}  // namespace zelko::plenar::agent
