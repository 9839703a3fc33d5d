#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/logging.h"

namespace zelko::testing {

// Collects the log records (severity and message) written while alive, from any thread. A capture
// made while another is alive takes the records until it goes; then the earlier one resumes.
class LogCapture : public logging::IAppender {
  public:
    LogCapture() {
        auto& logger = logging::init<0>(logging::verbose);
        logger.setMaxSeverity(logging::verbose);
        // Attached outside the captures' lock: a record being written holds the logger's lock
        // and then takes the captures' lock, so the other order could deadlock.
        static std::once_flag attached;
        std::call_once(attached, [&logger] { logger.addAppender(&Forwarder()); });
        std::lock_guard lock(Shared().mutex);
        Shared().alive.push_back(this);
    }
    ~LogCapture() override {
        std::lock_guard lock(Shared().mutex);
        auto& alive = Shared().alive;
        alive.erase(std::find(alive.begin(), alive.end(), this));
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void write(const logging::Record& record) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(record.getSeverity(), record.getMessage());
        written_.notify_all();
    }

    // Waits until count records of that severity containing text have been written.
    bool WaitFor(logging::Severity severity, const std::string& text, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex_);
        return written_.wait_for(lock, timeout, [&] { return CountLocked(severity, text) >= count; });
    }

    // Records of that severity whose message contains text.
    int Count(logging::Severity severity, const std::string& text) const {
        std::lock_guard lock(mutex_);
        return CountLocked(severity, text);
    }
    bool Contains(logging::Severity severity, const std::string& text) const {
        return Count(severity, text) > 0;
    }

    // Forgets the records written so far.
    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

    std::vector<std::pair<logging::Severity, std::string>> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    // The logger keeps appender pointers for good: one forwarder feeds whichever capture is alive.
    struct State {
        std::mutex mutex;
        std::vector<LogCapture*> alive;  // the last one made takes the records
    };
    static State& Shared() {
        static State state;
        return state;
    }
    struct Forward : logging::IAppender {
        void write(const logging::Record& record) override {
            std::lock_guard lock(Shared().mutex);
            if (!Shared().alive.empty()) Shared().alive.back()->write(record);
        }
    };
    static Forward& Forwarder() {
        static Forward forward;
        return forward;
    }

    int CountLocked(logging::Severity severity, const std::string& text) const {
        int count = 0;
        for (const auto& [s, message] : lines_)
            count += (s == severity && message.find(text) != std::string::npos);
        return count;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable written_;
    std::vector<std::pair<logging::Severity, std::string>> lines_;
};

}  // namespace zelko::testing
