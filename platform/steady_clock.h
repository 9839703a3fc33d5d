#pragma once

// A monotonic clock for waits that must not follow wall-clock jumps (the wake-up grace), with a
// process-wide override so tests can drive waits of a minute in virtual time.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace zelko::platform {

// Nanoseconds of the steady clock (or of the fake one while it is installed).
int64_t SteadyNowNanos();

class ScopedFakeSteadyClock {
  public:
    explicit ScopedFakeSteadyClock(int64_t start_nanos = 1'000'000'000);
    ~ScopedFakeSteadyClock();
    ScopedFakeSteadyClock(const ScopedFakeSteadyClock&) = delete;
    ScopedFakeSteadyClock& operator=(const ScopedFakeSteadyClock&) = delete;

    void Advance(std::chrono::nanoseconds by);
    int64_t Now() const;

    // Blocks until at least `count` threads wait in a SteadyWaiter, or the timeout passes; tests use it
    // to know that a wait has begun before they move time.
    bool WaitForSleepers(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
};

// Number of threads blocked in SteadyWaiter::WaitUntil right now.
size_t SteadySleepers();

// A wait that ends when the steady clock reaches a deadline or when a predicate holds. Whoever changes
// what the predicate reads calls NotifyAll afterwards.
class SteadyWaiter {
  public:
    SteadyWaiter() = default;
    SteadyWaiter(const SteadyWaiter&) = delete;
    SteadyWaiter& operator=(const SteadyWaiter&) = delete;

    // Returns the predicate's last value: true when it ended the wait, false at the deadline.
    bool WaitUntil(int64_t deadline_nanos, const std::function<bool()>& predicate);
    void NotifyAll();

  private:
    friend class ScopedFakeSteadyClock;
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace zelko::platform
