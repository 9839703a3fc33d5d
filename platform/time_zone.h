#pragma once

#include <cstdint>
#include <ctime>

namespace zelko::platform {

// Local calendar time of `seconds` since 1970 in the zone of the process (TZ, else the system
// zone), daylight saving applied. The zone data are read again on every call, so a changed TZ
// takes effect at once. False when the time cannot be broken down.
bool LocalTime(int64_t seconds, std::tm& out);

// Standard (non-daylight) offset of the local zone from UTC in seconds, east positive.
int32_t LocalStandardOffsetSeconds();

}  // namespace zelko::platform
