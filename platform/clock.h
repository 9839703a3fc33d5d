#pragma once

#include <cstdint>
#include <functional>

namespace zelko::platform {

// System (wall) clock in 100-ns ticks since 1970-01-01 UTC.
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;

int64_t NowTicks();

// Replaces the process clock while alive, so tests run timed code in virtual time.
// Listeners registered with RegisterClockListener are called when it is installed, after every
// Set/Advance and when it goes.
class ScopedFakeClock {
  public:
    explicit ScopedFakeClock(int64_t start_ticks);
    ~ScopedFakeClock();
    ScopedFakeClock(const ScopedFakeClock&) = delete;
    ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;

    void Set(int64_t ticks);
    void Advance(int64_t ticks);
    int64_t Now() const;
};

bool IsClockFaked();

// Called (from the thread that moved the fake clock) whenever fake time changes; returns an id
// for RemoveClockListener. Waiters that sleep until a clock time use it to re-check.
int RegisterClockListener(std::function<void()> listener);
void RemoveClockListener(int id);

}  // namespace zelko::platform
