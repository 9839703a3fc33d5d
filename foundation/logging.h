#pragma once

// Small logging core: one Logger per instance number and module, appenders behind IAppender,
// and macros that test the severity before the message is built. Header-only, so a plug-in
// library that includes it gets its own Logger<0>, which the host can feed through the
// logger hand-over (zelkoSharedInitializeLogger).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/paths.h"

namespace zelko::logging {

enum Severity : int32_t { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

inline const char* SeverityToString(int32_t severity) {
    switch (severity) {
        case fatal: return "FATAL";
        case error: return "ERROR";
        case warning: return "WARN";
        case info: return "INFO";
        case debug: return "DEBUG";
        case verbose: return "VERB";
        default: return "NONE";
    }
}

struct RecordTime {
    int64_t time = 0;     // seconds since 1970
    uint16_t millitm = 0;  // milliseconds
};

class Record {
public:
    Record(Severity severity, const char* func, size_t line, const void* object)
        : severity_(severity), tid_(platform::CurrentThreadId()), object_(object), func_(func), line_(line) {
        auto now = std::chrono::system_clock::now().time_since_epoch();
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        time_.time = ms / 1000;
        time_.millitm = static_cast<uint16_t>(ms % 1000);
    }

    Record& ref() { return *this; }

    template <typename T>
    Record& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }

    const RecordTime& getTime() const { return time_; }
    Severity getSeverity() const { return severity_; }
    uint32_t getTid() const { return tid_; }
    // The component name (NUL-terminated UTF-8 text) of records forwarded from a plug-in, else null.
    const void* getObject() const { return object_; }
    const char* getFunc() const { return func_; }
    size_t getLine() const { return line_; }
    std::string getMessage() const { return stream_.str(); }

    void setObject(const void* object) { object_ = object; }

private:
    RecordTime time_;
    Severity severity_;
    uint32_t tid_;
    const void* object_;
    const char* func_;
    size_t line_;
    std::ostringstream stream_;
};

class IAppender {
public:
    virtual ~IAppender() = default;
    virtual void write(const Record& record) = 0;
};

template <int instance>
class Logger : public IAppender {
public:
    explicit Logger(Severity max_severity = none) : max_severity_(max_severity) {}

    Severity getMaxSeverity() const { return max_severity_.load(std::memory_order_relaxed); }
    void setMaxSeverity(Severity severity) { max_severity_.store(severity, std::memory_order_relaxed); }
    bool checkSeverity(Severity severity) const { return severity <= getMaxSeverity(); }

    Logger& addAppender(IAppender* appender) {
        std::lock_guard lock(mutex_);
        appenders_.push_back(appender);
        return *this;
    }

    void write(const Record& record) override {
        if (!checkSeverity(record.getSeverity())) return;
        std::vector<IAppender*> appenders;
        {
            std::lock_guard lock(mutex_);
            appenders = appenders_;
        }
        for (IAppender* appender : appenders) appender->write(record);
    }

    void operator+=(const Record& record) { write(record); }

private:
    std::atomic<Severity> max_severity_;
    std::mutex mutex_;
    std::vector<IAppender*> appenders_;
};

template <int instance>
inline Logger<instance>*& LoggerSlot() {
    static Logger<instance>* logger = nullptr;
    return logger;
}

template <int instance = 0>
inline Logger<instance>* get() {
    return LoggerSlot<instance>();
}

// Creates this module's Logger<instance> (once; later calls return it unchanged) and adds the appender.
template <int instance = 0>
inline Logger<instance>& init(Severity max_severity, IAppender* appender = nullptr) {
    static Logger<instance> logger(max_severity);
    static std::once_flag once;
    std::call_once(once, [&] {
        if (appender != nullptr) logger.addAppender(appender);
        LoggerSlot<instance>() = &logger;
    });
    return logger;
}

}  // namespace zelko::logging

#define ZELKO_LOG_FUNC __PRETTY_FUNCTION__

#define ZELKO_LOG_(instance, severity, object)                                                              \
    if (!::zelko::logging::get<instance>() || !::zelko::logging::get<instance>()->checkSeverity(severity)) { \
        ;                                                                                                    \
    } else                                                                                                   \
        (*::zelko::logging::get<instance>()) +=                                                              \
            ::zelko::logging::Record(severity, ZELKO_LOG_FUNC, __LINE__, object).ref()

#define LOG(severity) ZELKO_LOG_(0, severity, nullptr)
#define LOG_VERBOSE LOG(::zelko::logging::verbose)
#define LOG_DEBUG LOG(::zelko::logging::debug)
#define LOG_INFO LOG(::zelko::logging::info)
#define LOG_WARNING LOG(::zelko::logging::warning)
#define LOG_ERROR LOG(::zelko::logging::error)
#define LOG_FATAL LOG(::zelko::logging::fatal)
