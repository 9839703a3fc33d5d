#include "platform/waitable_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace zelko::platform {

namespace {
timespec FromNanos(int64_t nanos) {
    return {static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
}
}  // namespace

std::unique_ptr<WaitableTimer> WaitableTimer::Create() {
    // Monotonic, so that a wall-clock change does not move a relative due time.
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::unique_ptr<WaitableTimer>(new WaitableTimer(fd));
}

WaitableTimer::~WaitableTimer() { ::close(fd_); }

bool WaitableTimer::Set(int64_t due_time, uint32_t period_ms) {
    itimerspec spec{};
    spec.it_interval = FromNanos(static_cast<int64_t>(period_ms) * 1'000'000);
    int64_t relative_ticks = -due_time;
    if (due_time >= 0) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const int64_t now_ticks = static_cast<int64_t>(now.tv_sec) * 10'000'000 + now.tv_nsec / 100;
        relative_ticks = due_time > now_ticks ? due_time - now_ticks : 0;
    }
    spec.it_value = FromNanos(relative_ticks * 100);
    // A zero it_value would disarm: "now" is the earliest the system can signal.
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    return ::timerfd_settime(fd_, 0, &spec, nullptr) == 0;
}

bool WaitableTimer::Cancel() {
    itimerspec spec{};
    return ::timerfd_settime(fd_, 0, &spec, nullptr) == 0;
}

bool WaitableTimer::TryAcquire() {
    uint64_t expirations = 0;
    while (true) {
        if (::read(fd_, &expirations, sizeof(expirations)) == sizeof(expirations)) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace zelko::platform
