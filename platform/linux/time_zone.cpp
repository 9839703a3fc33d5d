#include "platform/time_zone.h"

#include <mutex>

namespace zelko::platform {

namespace {
// tzset rewrites the libc zone globals; one caller at a time.
std::mutex g_zone_mutex;
}  // namespace

bool LocalTime(int64_t seconds, std::tm& out) {
    std::lock_guard lock(g_zone_mutex);
    ::tzset();  // localtime_r alone does not notice a changed TZ
    const time_t value = static_cast<time_t>(seconds);
    return ::localtime_r(&value, &out) != nullptr;
}

int32_t LocalStandardOffsetSeconds() {
    std::lock_guard lock(g_zone_mutex);
    ::tzset();
    // `timezone` holds the standard offset in seconds west of UTC.
    return static_cast<int32_t>(-::timezone);
}

}  // namespace zelko::platform
