#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace zelko::platform {

// Milliseconds for a poll() that must not wake before the deadline: the time left rounded up (a
// wait truncated to whole milliseconds ends up to 1 ms early), at most cap_ms, 0 once it has passed.
// A waiter tests the deadline itself (now >= deadline), never this value, to decide it has passed.
inline int PollMillisecondsUntil(std::chrono::steady_clock::time_point deadline, int cap_ms) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, cap_ms));
}

}  // namespace zelko::platform
