#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <vector>

namespace zelko::platform {

namespace {
std::atomic<bool> g_faked{false};
std::atomic<int64_t> g_fake_ticks{0};

// Built on first use: objects with static storage (the service itself) register listeners
// before this file's own globals would be constructed. Never destroyed, for the same reason at exit.
struct Listeners {
    std::mutex mutex;
    std::map<int, std::function<void()>> items;
    int next = 1;
};

Listeners& GetListeners() {
    static auto* listeners = new Listeners;
    return *listeners;
}

void NotifyListeners() {
    std::vector<std::function<void()>> copy;
    {
        auto& listeners = GetListeners();
        std::lock_guard lock(listeners.mutex);
        for (auto& [id, listener] : listeners.items) copy.push_back(listener);
    }
    for (auto& listener : copy) listener();
}
}  // namespace

int64_t NowTicks() {
    if (g_faked.load(std::memory_order_acquire)) return g_fake_ticks.load(std::memory_order_acquire);
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
}

bool IsClockFaked() { return g_faked.load(std::memory_order_acquire); }

ScopedFakeClock::ScopedFakeClock(int64_t start_ticks) {
    g_fake_ticks.store(start_ticks, std::memory_order_release);
    g_faked.store(true, std::memory_order_release);
    // Waiters that sleep until a real-clock time must switch to virtual time now.
    NotifyListeners();
}

ScopedFakeClock::~ScopedFakeClock() {
    g_faked.store(false, std::memory_order_release);
    NotifyListeners();
}

void ScopedFakeClock::Set(int64_t ticks) {
    g_fake_ticks.store(ticks, std::memory_order_release);
    NotifyListeners();
}

void ScopedFakeClock::Advance(int64_t ticks) {
    g_fake_ticks.fetch_add(ticks, std::memory_order_acq_rel);
    NotifyListeners();
}

int64_t ScopedFakeClock::Now() const { return g_fake_ticks.load(std::memory_order_acquire); }

int RegisterClockListener(std::function<void()> listener) {
    auto& listeners = GetListeners();
    std::lock_guard lock(listeners.mutex);
    int id = listeners.next++;
    listeners.items.emplace(id, std::move(listener));
    return id;
}

void RemoveClockListener(int id) {
    auto& listeners = GetListeners();
    std::lock_guard lock(listeners.mutex);
    listeners.items.erase(id);
}

}  // namespace zelko::platform
