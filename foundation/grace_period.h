#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/clock.h"

namespace zelko::plenar::agent {

// How long the agent's initialisation still waits after the out-of-box setup, a user logon or a
// wake-up from Modern Standby. The service holds one for its whole life.
struct GracePeriod {
    bool logonFound = false;  // never cleared once set
    // Logon time of the first active session, 100-ns units since 1601-01-01 UTC.
    int64_t logonTime = 0;
    bool invalidLogonSeen = false;  // a reference time once lay in the future; never cleared
    // When the owner was made: system clock ticks since 1970.
    int64_t createdTicks = platform::NowTicks();
    // Whether the out-of-box setup has completed (false when that cannot be told). The owner hands
    // it in, since the answer comes from the device's features; without one the setup counts as done.
    std::function<bool()> oobeCompleted;

    // Seconds (0 to 60) still to wait. referenceTime: the last wake-up in seconds since 1970, or 0
    // or less for none (the logon time is used then).
    std::chrono::seconds GetTimeToWait(int64_t referenceTime);

  private:
    void FindLogon();
};

}  // namespace zelko::plenar::agent
