#pragma once

#include <cstdint>
#include <string>

namespace zelko::plenar::agent {

// Questions about the device's platform state; every answer is false on failure.
class SystemInfo {
  public:
    // True once the out-of-box setup has completed.
    static bool HasOOBECompleted();
    // True while the system clock is being adjusted (synchronised).
    static bool HasClockSynchronized();
    // True when the device has an internet connection.
    static bool HasInternetConnectivity();
};

// The system's message text for an error code, for log lines, usually ending in a line break;
// "No message available for given error code\r\n" when the system has none.
std::string FormatSystemMessage(uint32_t code);

}  // namespace zelko::plenar::agent
