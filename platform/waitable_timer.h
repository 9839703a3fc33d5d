#pragma once

#include <cstdint>
#include <memory>

#include "platform/kernel_objects.h"

namespace zelko::platform {

// Unnamed auto-reset waitable timer: signalled when it comes due, and again every period; a wait
// that takes the signal resets it.
class WaitableTimer : public Waitable {
  public:
    // Null when the system refuses a new timer (errno tells why).
    static std::unique_ptr<WaitableTimer> Create();
    ~WaitableTimer() override;
    WaitableTimer(const WaitableTimer&) = delete;
    WaitableTimer& operator=(const WaitableTimer&) = delete;

    // Arms the timer, as the system takes its due time: a negative value is relative, in 100-ns
    // units from now; a positive one an absolute system-clock time in 100-ns ticks since 1970 (taken
    // as the time left until then; a later change of the wall clock does not move it).
    // A period of 0 ms signals once. Re-arming discards a pending signal. False (errno set) on failure.
    bool Set(int64_t due_time, uint32_t period_ms);
    // Disarms the timer; a pending signal stays.
    bool Cancel();

    int PollDescriptor() const override { return fd_; }
    bool TryAcquire() override;

  private:
    explicit WaitableTimer(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace zelko::platform
