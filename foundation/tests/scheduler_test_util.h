#pragma once

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/timed_scheduler.h"
#include "platform/clock.h"
#include "testing/log_capture.h"

namespace zelko::plenar::agent::testing {

using zelko::testing::LogCapture;

// 2024-03-05T12:00:00Z: a fixed start for virtual time.
constexpr int64_t kStartTicks = 1'709'640'000LL * platform::kTicksPerSecond;

constexpr auto kWaitLimit = std::chrono::seconds(5);

// Thread-safe list of what ran, in order.
class Recorder {
  public:
    void Add(std::string item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        cv_.notify_all();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        items_.clear();
    }
    std::vector<std::string> Items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    size_t Size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    bool WaitForSize(size_t n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWaitLimit, [&] { return items_.size() >= n; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> items_;
};

// Returns once everything due at the current time has run on a one-worker scheduler: a marker
// posted now runs after all of it.
inline bool Drain(TimedTaskScheduler& scheduler) {
    auto done = std::make_shared<std::promise<void>>();
    auto ready = done->get_future();
    scheduler.run_after(Duration(0), [done] { done->set_value(); });
    return ready.wait_for(kWaitLimit) == std::future_status::ready;
}

// A gate a task can wait on until the test opens it.
class Gate {
  public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWaitLimit, [&] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

}  // namespace zelko::plenar::agent::testing
