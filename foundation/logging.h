#pragma once

// Small logging core: one Logger per instance number and module, appenders behind IAppender,
// and macros that test the severity before the message is built. Header-only, so a plug-in
// library that includes it gets its own Logger<0>, which the host can feed through the
// logger hand-over (zelkoSharedInitializeLogger).
//
// Each module (program or shared library) must keep its own logger even though the dynamic
// linker merges default-visibility inline statics and interposes inline functions across
// modules. Everything that reaches per-module state is therefore ZELKO_LOGGING_MODULE_LOCAL
// (hidden): such a function and its statics exist once in every module that uses them.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/event_log.h"
#include "platform/paths.h"
#include "platform/processes.h"

#define ZELKO_LOGGING_MODULE_LOCAL __attribute__((visibility("hidden")))

namespace zelko::logging {

enum Severity : int32_t { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

inline const char* SeverityToString(int32_t severity) {
    switch (severity) {
        case fatal:
            return "FATAL";
        case error:
            return "ERROR";
        case warning:
            return "WARN";
        case info:
            return "INFO";
        case debug:
            return "DEBUG";
        case verbose:
            return "VERB";
        default:
            return "NONE";
    }
}

namespace detail {

inline void AppendUtf8(std::string& out, char32_t code) {
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 (system texts) to UTF-8; unpaired surrogates become U+FFFD.
inline std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, code);
    }
    return out;
}

// wchar_t is UTF-32 here.
inline std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(c));
    return out;
}

}  // namespace detail

struct RecordTime {
    int64_t time = 0;      // seconds since 1970
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
    // Messages are UTF-8; wide texts are converted.
    Record& operator<<(std::u16string_view text) { return *this << detail::ToUtf8(text); }
    Record& operator<<(const std::u16string& text) { return *this << detail::ToUtf8(text); }
    Record& operator<<(const std::wstring& text) { return *this << detail::ToUtf8(text); }
    Record& operator<<(const char16_t* text) {
        return *this << (text ? std::u16string_view(text) : u"(null)");
    }
    Record& operator<<(std::wstring_view text) { return *this << detail::ToUtf8(text); }
    Record& operator<<(const wchar_t* text) { return *this << (text ? std::wstring_view(text) : L"(null)"); }
    Record& operator<<(const char* text) {
        stream_ << (text ? text : "(null)");
        return *this;
    }
    Record& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
        stream_ << manipulator;
        return *this;
    }
    Record& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
        stream_ << manipulator;
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
        auto appenders = std::make_shared<std::vector<IAppender*>>(*appenders_);
        appenders->push_back(appender);
        appenders_ = std::move(appenders);
        return *this;
    }

    // Appenders that go before the logger (a test's, a module being unloaded) take themselves out.
    Logger& removeAppender(IAppender* appender) {
        std::lock_guard lock(mutex_);
        auto appenders = std::make_shared<std::vector<IAppender*>>(*appenders_);
        appenders->erase(std::remove(appenders->begin(), appenders->end(), appender), appenders->end());
        appenders_ = std::move(appenders);
        return *this;
    }

    void write(const Record& record) override {
        if (!checkSeverity(record.getSeverity())) return;
        // A snapshot: no lock of ours is held while appenders run, so an appender may take its own
        // locks or log again without any order between those locks and ours.
        std::shared_ptr<const std::vector<IAppender*>> appenders;
        {
            std::lock_guard lock(mutex_);
            appenders = appenders_;
        }
        for (IAppender* appender : *appenders) appender->write(record);
    }

    void operator+=(const Record& record) { write(record); }

  private:
    std::atomic<Severity> max_severity_;
    std::mutex mutex_;
    std::shared_ptr<const std::vector<IAppender*>> appenders_ =
        std::make_shared<const std::vector<IAppender*>>();
};

template <int instance>
ZELKO_LOGGING_MODULE_LOCAL inline std::atomic<Logger<instance>*>& LoggerSlot() {
    static std::atomic<Logger<instance>*> logger{nullptr};
    return logger;
}

// This module's Logger<instance>, or null before init.
template <int instance = 0>
ZELKO_LOGGING_MODULE_LOCAL inline Logger<instance>* get() {
    return LoggerSlot<instance>().load(std::memory_order_acquire);
}

// Creates this module's Logger<instance> on the first call (later calls keep its severity) and
// adds the appender, when given, on every call.
template <int instance = 0>
ZELKO_LOGGING_MODULE_LOCAL inline Logger<instance>& init(Severity max_severity,
                                                         IAppender* appender = nullptr) {
    // Never destroyed: objects with static storage may still log while the process exits.
    static auto* logger = new Logger<instance>(max_severity);
    if (appender != nullptr) logger->addAppender(appender);
    LoggerSlot<instance>().store(logger, std::memory_order_release);
    return *logger;
}

// Converters of a formatted line into the bytes of the file. Messages are UTF-8 already, so
// UTF-8 conversion only adds the byte-order mark to a new file's header.
struct UTF8Converter {
    static std::string header(const std::string& text) { return "\xEF\xBB\xBF" + text; }
    static const std::string& convert(const std::string& text) { return text; }
};

// Line ends of the system's files (CR LF), whatever the build host uses.
template <class NextConverter = UTF8Converter>
struct NativeEOLConverter {
    static std::string header(const std::string& text) { return NextConverter::header(ToCrLf(text)); }
    static std::string convert(const std::string& text) { return NextConverter::convert(ToCrLf(text)); }

    static std::string ToCrLf(const std::string& text) {
        std::string out;
        out.reserve(text.size() + 2);
        for (char c : text) {
            if (c == '\n') out += '\r';
            out += c;
        }
        return out;
    }
};

// A log file that rolls over to ".1" and ".2" (before the extension) once it has grown past
// max_file_size. The file opens at the first record, which is written without a size check;
// a file that is empty when opened first gets the converter's header. One lock per appender
// serialises formatting, writing and rolling. Records that cannot be written are dropped whole.
template <class Formatter, class Converter = NativeEOLConverter<UTF8Converter>>
class RollingFileAppender : public IAppender {
  public:
    static constexpr size_t kDefaultMaxFileSize = 10485760;
    static constexpr int kDefaultMaxFiles = 3;

    explicit RollingFileAppender(std::filesystem::path file, size_t max_file_size = kDefaultMaxFileSize,
                                 int max_files = kDefaultMaxFiles)
        : file_name_(std::move(file)), max_file_size_(max_file_size), max_files_(max_files) {}

    ~RollingFileAppender() override {
        if (file_ != nullptr) std::fclose(file_);
    }

    RollingFileAppender(const RollingFileAppender&) = delete;
    RollingFileAppender& operator=(const RollingFileAppender&) = delete;

    void write(const Record& record) override {
        std::lock_guard lock(mutex_);
        if (file_ == nullptr) {
            OpenLogFile();
        } else if (max_files_ > 0 && file_size_ > max_file_size_) {
            RollLogFiles();
        }
        Write(Converter::convert(Formatter::format(record)));
    }

    // File name of the current file (0) or of an older one (1, 2, ...).
    std::filesystem::path BuildFileName(int number = 0) const {
        if (number == 0) return file_name_;
        auto name =
            file_name_.stem().string() + "." + std::to_string(number) + file_name_.extension().string();
        return file_name_.parent_path() / name;
    }

  private:
    void OpenLogFile() {
        file_ = std::fopen(file_name_.c_str(), "abe");  // close-on-exec: started programs never write here
        if (file_ == nullptr) {
            ReportFailure("cannot be opened", errno);
            return;
        }
        // Unbuffered: each line reaches the file in one call, and what a failed call wrote is known.
        std::setvbuf(file_, nullptr, _IONBF, 0);
        std::error_code ec;
        auto size = std::filesystem::file_size(file_name_, ec);
        file_size_ = ec ? 0 : static_cast<size_t>(size);
        if (file_size_ == 0) Write(Converter::header(Formatter::header()));
    }

    void RollLogFiles() {
        std::fclose(file_);
        file_ = nullptr;
        std::error_code ec;
        std::filesystem::remove(BuildFileName(max_files_ - 1), ec);
        for (int number = max_files_ - 2; number >= 0; --number) {
            std::filesystem::rename(BuildFileName(number), BuildFileName(number + 1), ec);
        }
        OpenLogFile();
    }

    // Whole lines or nothing: the part of a line that a full disk cut short is taken off again,
    // else the next line written once there is room would be glued onto it.
    void Write(const std::string& bytes) {
        if (file_ == nullptr || bytes.empty()) return;
        errno = 0;
        size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file_);
        const bool flushed = std::fflush(file_) == 0;
        if (written != bytes.size() || !flushed) {
            const int error = errno;
            std::clearerr(file_);
            if (written != bytes.size() && written > 0 && CutTail(written)) written = 0;
            ReportFailure("cannot be written", error);
        }
        file_size_ += written;
    }

    bool CutTail(size_t bytes) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(file_name_, ec);
        if (ec || size < bytes) return false;
        std::filesystem::resize_file(file_name_, size - bytes, ec);
        return !ec;
    }

    // A log that cannot be written must not fail unnoticed: said once, on standard error and in
    // the system log, and the agent goes on (records are written again once the file takes them).
    void ReportFailure(const char* what, int error) {
        if (failure_reported_) return;
        failure_reported_ = true;
        const std::string text = "The log file " + file_name_.string() + " " + what + ": " +
                                 std::generic_category().message(error) + "; log records are being lost";
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        if (auto source = platform::RegisterEventSource(nullptr, file_name_.stem().string())) {
            platform::ReportEvent(source, platform::kEventLogErrorType, 0, 0, {text});
            platform::DeregisterEventSource(source);
        }
    }

    std::filesystem::path file_name_;
    size_t max_file_size_;
    int max_files_;
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    size_t file_size_ = 0;
    bool failure_reported_ = false;
};

}  // namespace zelko::logging

namespace zelko::shared::common::logger {

// File name of the module (program or shared library) that holds this code, worked out once
// per module; empty when it cannot be found. Kept in a plain array that is never destroyed:
// threads that outlive main still log while the statics go at exit, and an unloaded library
// leaves nothing behind on the heap.
ZELKO_LOGGING_MODULE_LOCAL inline std::string_view GetComponentName() {
    static char name[256];
    static const size_t length = [] {
        std::string path =
            platform::ModuleFileOfAddress(reinterpret_cast<const void*>(&GetComponentName)).string();
        auto slash = path.find_last_of("/\\");
        const std::string file = slash == std::string::npos ? std::string() : path.substr(slash + 1);
        const size_t n = std::min(file.size(), sizeof(name) - 1);
        file.copy(name, n);
        return n;
    }();
    return {name, length};
}

// The agent's line layout:
// "YYYY-MM-DD hh:mm:ss.mmm SEVER [tid] [component] message\n" in local time, where the component
// is the record's object (a plug-in's name) or else this module's file name.
class ComponentFormatter {
  public:
    static std::string header() { return {}; }

    ZELKO_LOGGING_MODULE_LOCAL static std::string format(const logging::Record& record) {
        std::tm local{};
        std::time_t seconds = static_cast<std::time_t>(record.getTime().time);
        ::localtime_r(&seconds, &local);
        char stamp[64];
        std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03u %-5s [%u] [",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                      local.tm_sec, static_cast<unsigned>(record.getTime().millitm),
                      logging::SeverityToString(record.getSeverity()), record.getTid());
        const char* component = static_cast<const char*>(record.getObject());
        std::string line(stamp);
        line += component != nullptr ? std::string_view(component) : GetComponentName();
        line += "] ";
        line += record.getMessage();
        line += '\n';
        return line;
    }
};

// Plug-in side of the logger hand-over: forwards each record to the host's appender as a new
// record of this thread and moment that carries this module's name as its object.
class ComponentAppender : public logging::IAppender {
  public:
    ComponentAppender(std::string component, logging::IAppender* target)
        : component_(std::move(component)), target_(target) {}

    void write(const logging::Record& record) override {
        logging::Record copy(record.getSeverity(), record.getFunc(), record.getLine(), component_.c_str());
        copy << record.getMessage();
        target_->write(copy);
    }

  private:
    std::string component_;
    logging::IAppender* target_;
};

// What a plug-in's zelkoSharedInitializeLogger does: the first call creates the forwarding
// appender (to the given host appender) and this module's Logger<0> with the given severity;
// every call adds the appender to that logger.
ZELKO_LOGGING_MODULE_LOCAL inline logging::Logger<0>& InitializeFromHost(int32_t severity,
                                                                         logging::IAppender* host) {
    // The module's logger and appender go when the module does (dlclose or exit): once it is
    // unloaded nothing could reach them any more. Whatever of the module logs after that finds
    // no logger and writes nothing.
    struct Release {
        ComponentAppender* appender = nullptr;
        ~Release() {
            auto* logger = logging::LoggerSlot<0>().exchange(nullptr, std::memory_order_acq_rel);
            if (logger != nullptr) logger->removeAppender(appender);
            delete appender;
            delete logger;
        }
    };
    static Release release{new ComponentAppender(std::string(GetComponentName()), host)};
    return logging::init<0>(static_cast<logging::Severity>(severity), release.appender);
}

}  // namespace zelko::shared::common::logger

#define ZELKO_LOG_FUNC __PRETTY_FUNCTION__

#define ZELKO_LOG_(instance, severity, object)                       \
    if (auto* zelko_logger_ = ::zelko::logging::get<instance>();     \
        !zelko_logger_ || !zelko_logger_->checkSeverity(severity)) { \
        ;                                                            \
    } else                                                           \
        (*zelko_logger_) += ::zelko::logging::Record(severity, ZELKO_LOG_FUNC, __LINE__, object).ref()

#define LOG(severity) ZELKO_LOG_(0, severity, nullptr)
#define LOG_VERBOSE LOG(::zelko::logging::verbose)
#define LOG_DEBUG LOG(::zelko::logging::debug)
#define LOG_INFO LOG(::zelko::logging::info)
#define LOG_WARNING LOG(::zelko::logging::warning)
#define LOG_ERROR LOG(::zelko::logging::error)
#define LOG_FATAL LOG(::zelko::logging::fatal)
