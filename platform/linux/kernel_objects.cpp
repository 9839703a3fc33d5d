#include "platform/kernel_objects.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/linux/wait_deadline.h"

namespace zelko::platform {

// The event's state is an eventfd counter: signalled while it is above zero.
std::unique_ptr<Event> Event::Create(bool manual_reset, bool initially_signalled) {
    int fd = ::eventfd(initially_signalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::unique_ptr<Event>(new Event(fd, manual_reset));
}

Event::~Event() { ::close(fd_); }

bool Event::Set() {
    uint64_t one = 1;
    while (true) {
        if (::write(fd_, &one, sizeof(one)) == sizeof(one)) return true;
        if (errno == EINTR) continue;
        // A counter at its limit is signalled already.
        return errno == EAGAIN;
    }
}

bool Event::Reset() {
    uint64_t value = 0;
    while (true) {
        if (::read(fd_, &value, sizeof(value)) == sizeof(value)) return true;
        if (errno == EINTR) continue;
        return errno == EAGAIN;
    }
}

bool Event::TryAcquire() {
    if (!manual_reset_) {
        uint64_t value = 0;
        while (true) {
            if (::read(fd_, &value, sizeof(value)) == sizeof(value)) return true;
            if (errno != EINTR) return false;
        }
    }
    pollfd entry{fd_, POLLIN, 0};
    while (true) {
        int ready = ::poll(&entry, 1, 0);
        if (ready >= 0) return ready == 1 && (entry.revents & POLLIN) != 0;
        if (errno != EINTR) return false;
    }
}

uint32_t WaitForMultipleObjects(std::span<Waitable* const> objects, uint32_t timeout_ms) {
    if (objects.empty()) {
        errno = EINVAL;
        return kWaitFailed;
    }
    for (Waitable* object : objects) {
        if (object == nullptr) {
            errno = EINVAL;
            return kWaitFailed;
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<pollfd> entries(objects.size());
    while (true) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->TryAcquire()) return kWaitObject0 + static_cast<uint32_t>(i);
        }
        int wait_ms = -1;
        if (timeout_ms != kInfinite) {
            if (Clock::now() >= deadline) return kWaitTimeout;
            wait_ms = PollMillisecondsUntil(deadline, 1'000'000);
        }
        for (size_t i = 0; i < objects.size(); ++i)
            entries[i] = pollfd{objects[i]->PollDescriptor(), POLLIN, 0};
        int ready = ::poll(entries.data(), entries.size(), wait_ms);
        if (ready < 0 && errno != EINTR) return kWaitFailed;
        for (const pollfd& entry : entries) {
            if ((entry.revents & (POLLERR | POLLNVAL)) != 0) {
                errno = EBADF;
                return kWaitFailed;
            }
        }
        // Readable objects are tried again at the top; another waiter may have taken the signal.
    }
}

uint32_t WaitForMultipleObjects(std::initializer_list<Waitable*> objects, uint32_t timeout_ms) {
    return WaitForMultipleObjects(std::span<Waitable* const>(objects.begin(), objects.size()), timeout_ms);
}

uint32_t WaitForSingleObject(Waitable& object, uint32_t timeout_ms) {
    Waitable* objects[] = {&object};
    return WaitForMultipleObjects(std::span<Waitable* const>(objects), timeout_ms);
}

}  // namespace zelko::platform
