#pragma once

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/logging.h"
#include "foundation/timed_scheduler.h"
#include "platform/clock.h"

namespace zelko::plenar::agent::testing {

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

// Collects log lines (severity and message) while alive.
class LogCapture : public logging::IAppender {
  public:
    LogCapture() {
        auto& logger = logging::init<0>(logging::verbose);
        logger.setMaxSeverity(logging::verbose);
        std::lock_guard lock(Registry().mutex);
        Registry().active = this;
        if (!Registry().attached) {
            logger.addAppender(&Forwarder());
            Registry().attached = true;
        }
    }
    ~LogCapture() override {
        std::lock_guard lock(Registry().mutex);
        Registry().active = nullptr;
    }

    void write(const logging::Record& record) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(record.getSeverity(), record.getMessage());
    }

    bool Contains(logging::Severity severity, const std::string& text) const {
        std::lock_guard lock(mutex_);
        for (const auto& [s, m] : lines_)
            if (s == severity && m.find(text) != std::string::npos) return true;
        return false;
    }
    int Count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& line : lines_)
            if (line.second.find(text) != std::string::npos) ++n;
        return n;
    }

  private:
    // The logger keeps appender pointers forever: one process-wide forwarder feeds the active capture.
    struct Shared {
        std::mutex mutex;
        LogCapture* active = nullptr;
        bool attached = false;
    };
    static Shared& Registry() {
        static Shared shared;
        return shared;
    }
    struct Forward : logging::IAppender {
        void write(const logging::Record& record) override {
            std::lock_guard lock(Registry().mutex);
            if (Registry().active) Registry().active->write(record);
        }
    };
    static Forward& Forwarder() {
        static Forward forward;
        return forward;
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<logging::Severity, std::string>> lines_;
};

}  // namespace zelko::plenar::agent::testing
