#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "foundation/logging.h"

namespace zelko::plenar::agent::testing {

// Collects the messages of every log record of the test binary (the logger keeps its appenders for
// the whole process, so there is one instance). Clear it at the start of a test.
class LogCapture : public logging::IAppender {
  public:
    static LogCapture& Instance() {
        static LogCapture* capture = [] {
            auto* c = new LogCapture();
            logging::init<0>(logging::verbose);
            logging::get<0>()->addAppender(c);
            logging::get<0>()->setMaxSeverity(logging::verbose);
            return c;
        }();
        return *capture;
    }

    void write(const logging::Record& record) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(record.getMessage());
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    bool Contains(const std::string& text) { return Count(text) > 0; }

    size_t Count(const std::string& text) {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace zelko::plenar::agent::testing
