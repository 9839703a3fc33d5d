#pragma once

#include <cstdint>
#include <optional>

namespace zelko::platform {

// Whether the out-of-box setup has completed: true and *completed set (non-zero once done), or
// false when the system cannot tell (the reason is in errno and GetLastError). Always done on Linux.
bool QueryOutOfBoxSetupComplete(int32_t* completed);

// Test seam: while alive the query answers completed, or fails (errno EIO) when it is nullopt.
class ScopedFakeOutOfBoxSetup {
  public:
    explicit ScopedFakeOutOfBoxSetup(std::optional<int32_t> completed);
    ~ScopedFakeOutOfBoxSetup();
    ScopedFakeOutOfBoxSetup(const ScopedFakeOutOfBoxSetup&) = delete;
    ScopedFakeOutOfBoxSetup& operator=(const ScopedFakeOutOfBoxSetup&) = delete;
};

// The clock's time adjustment, as the system reports it per clock tick in 100-ns units. On Linux the
// kernel's NTP state (adjtimex) gives it: `disabled` is non-zero while the kernel marks the clock as
// unsynchronised, and `adjustment` is non-zero while the kernel applies an offset or frequency
// correction (it is then the tick's length). True when read; false when the query fails (errno and
// GetLastError tell why), leaving the outputs as they were.
bool QuerySystemTimeAdjustment(uint32_t* adjustment, uint32_t* increment, int32_t* disabled);

struct TimeAdjustment {
    uint32_t adjustment = 0;
    uint32_t increment = 0;
    int32_t disabled = 1;
};

// Test seam: while alive the query answers these values, or fails (errno EPERM) when nullopt.
class ScopedFakeTimeAdjustment {
  public:
    explicit ScopedFakeTimeAdjustment(std::optional<TimeAdjustment> answer);
    ~ScopedFakeTimeAdjustment();
    ScopedFakeTimeAdjustment(const ScopedFakeTimeAdjustment&) = delete;
    ScopedFakeTimeAdjustment& operator=(const ScopedFakeTimeAdjustment&) = delete;
};

}  // namespace zelko::platform
