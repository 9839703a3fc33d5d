#include "platform/steady_clock.h"

#include <algorithm>
#include <atomic>
#include <set>

namespace zelko::platform {

namespace {
std::atomic<bool> g_faked{false};
std::atomic<int64_t> g_fake_nanos{0};

// Waiters currently blocked, so that moving fake time can wake them. Built on first use and never
// destroyed: objects with static storage may wait before this file's globals would be made, or
// after they would be gone at exit.
struct Sleepers {
    std::mutex mutex;
    std::condition_variable cv;
    std::multiset<SteadyWaiter*> waiters;
};

Sleepers& GetSleepers() {
    static auto* sleepers = new Sleepers;
    return *sleepers;
}

void WakeAll() {
    auto& sleepers = GetSleepers();
    std::lock_guard lock(sleepers.mutex);
    for (SteadyWaiter* waiter : sleepers.waiters) waiter->NotifyAll();
}
}  // namespace

int64_t SteadyNowNanos() {
    if (g_faked.load(std::memory_order_acquire)) return g_fake_nanos.load(std::memory_order_acquire);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ScopedFakeSteadyClock::ScopedFakeSteadyClock(int64_t start_nanos) {
    g_fake_nanos.store(start_nanos, std::memory_order_release);
    g_faked.store(true, std::memory_order_release);
    WakeAll();
}

ScopedFakeSteadyClock::~ScopedFakeSteadyClock() {
    g_faked.store(false, std::memory_order_release);
    WakeAll();
}

void ScopedFakeSteadyClock::Advance(std::chrono::nanoseconds by) {
    g_fake_nanos.fetch_add(by.count(), std::memory_order_acq_rel);
    WakeAll();
}

int64_t ScopedFakeSteadyClock::Now() const { return g_fake_nanos.load(std::memory_order_acquire); }

bool ScopedFakeSteadyClock::WaitForSleepers(size_t count, std::chrono::milliseconds timeout) const {
    auto& sleepers = GetSleepers();
    std::unique_lock lock(sleepers.mutex);
    return sleepers.cv.wait_for(lock, timeout, [&] { return sleepers.waiters.size() >= count; });
}

size_t SteadySleepers() {
    auto& sleepers = GetSleepers();
    std::lock_guard lock(sleepers.mutex);
    return sleepers.waiters.size();
}

bool SteadyWaiter::WaitUntil(int64_t deadline_nanos, const std::function<bool()>& predicate) {
    auto& sleepers = GetSleepers();
    std::multiset<SteadyWaiter*>::iterator entry;
    {
        std::lock_guard lock(sleepers.mutex);
        entry = sleepers.waiters.insert(this);
    }
    sleepers.cv.notify_all();
    bool result = false;
    {
        std::unique_lock lock(mutex_);
        while (true) {
            if (predicate()) {
                result = true;
                break;
            }
            const int64_t now = SteadyNowNanos();
            if (now >= deadline_nanos) break;
            if (g_faked.load(std::memory_order_acquire)) {
                // Fake time only moves through Advance, which wakes every registered waiter.
                cv_.wait(lock);
            } else {
                // Sleeps to the deadline (a far one in day-long pieces, so the sum cannot overflow):
                // installing a fake clock wakes every registered waiter.
                constexpr int64_t kDay = 86'400'000'000'000;
                cv_.wait_for(lock, std::chrono::nanoseconds(std::min(deadline_nanos - now, kDay)));
            }
        }
    }
    {
        std::lock_guard lock(sleepers.mutex);
        sleepers.waiters.erase(entry);
    }
    sleepers.cv.notify_all();
    return result;
}

void SteadyWaiter::NotifyAll() {
    { std::lock_guard lock(mutex_); }
    cv_.notify_all();
}

}  // namespace zelko::platform
