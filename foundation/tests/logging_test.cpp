#include "foundation/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/logger.h"
#include "testing/log_capture.h"
#include "testing/scoped_time_zone.h"
#include "testing/temp_system_root.h"

namespace zelko::logging {
namespace {

using zelko::testing::ScopedTimeZone;

using shared::common::logger::ComponentFormatter;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kBom = "\xEF\xBB\xBF";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

Record MakeRecord(Severity severity, const std::string& message, const void* object = nullptr) {
    Record record(severity, "zelko::test::Function", 1, object);
    record << message;
    return record;
}

TEST(ComponentFormatterTest, LineLayoutPadsSeverityToFiveCharacters) {
    ScopedTimeZone utc("UTC0");
    const std::string tid = std::to_string(platform::CurrentThreadId());
    struct Case {
        int32_t severity;
        const char* field;
    } cases[] = {
        {fatal, "FATAL "}, {error, "ERROR "},   {warning, "WARN  "}, {info, "INFO  "},
        {debug, "DEBUG "}, {verbose, "VERB  "}, {none, "NONE  "},    {9, "NONE  "},
    };
    for (const auto& c : cases) {
        Record record = MakeRecord(static_cast<Severity>(c.severity), "hello");
        std::string line = ComponentFormatter::format(record);
        // Everything after the time stamp is fixed; the stamp is checked on its own below.
        EXPECT_EQ(line.substr(24), std::string(c.field) + "[" + tid + "] [zelko_foundation_tests] hello\n")
            << c.severity;
        EXPECT_TRUE(std::regex_match(line.substr(0, 24),
                                     std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )")))
            << line;
    }
}

TEST(ComponentFormatterTest, TimeIsLocalWithZeroPaddedFields) {
    ScopedTimeZone zone("XST-3");  // three hours east of UTC, no daylight saving
    Record record = MakeRecord(info, "x");
    // Reading the stamp back proves the fields: 1970-01-01 00:00:00 UTC plus the record's time.
    std::string line = ComponentFormatter::format(record);
    std::tm expected{};
    std::time_t seconds = static_cast<std::time_t>(record.getTime().time) + 3 * 3600;
    ::gmtime_r(&seconds, &expected);
    char stamp[96];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03u ", expected.tm_year + 1900,
                  expected.tm_mon + 1, expected.tm_mday, expected.tm_hour, expected.tm_min, expected.tm_sec,
                  static_cast<unsigned>(record.getTime().millitm));
    EXPECT_EQ(line.substr(0, 24), stamp);
}

TEST(ComponentFormatterTest, RecordObjectNamesTheComponent) {
    Record forwarded = MakeRecord(info, "from plug-in", "zelko-send-message.so");
    EXPECT_THAT(ComponentFormatter::format(forwarded), HasSubstr("] [zelko-send-message.so] from plug-in\n"));
    Record empty_name = MakeRecord(info, "m", "");
    EXPECT_THAT(ComponentFormatter::format(empty_name), HasSubstr("] [] m\n"));
}

TEST(ComponentFormatterTest, WideTextsBecomeUtf8) {
    Record record(info, "f", 1, nullptr);
    record << u"Gr\u00fc\u00dfe " << std::u16string(u"\U0001F600") << L" \u20ac"
           << static_cast<const char*>(nullptr);
    EXPECT_EQ(record.getMessage(),
              "Gr\xC3\xBC\xC3\x9F"
              "e \xF0\x9F\x98\x80 \xE2\x82\xAC(null)");
}

// One fixed line per record, so sizes are exact.
struct FixedFormatter {
    static std::string header() { return {}; }
    static std::string format(const Record& record) { return record.getMessage() + "\n"; }
};
using FixedAppender = RollingFileAppender<FixedFormatter>;

class RollingFileAppenderTest : public zelko::testing::SystemRootTest {
  protected:
    std::filesystem::path Log(const char* name = "agent.log") const { return scratch() / name; }
};

TEST_F(RollingFileAppenderTest, NewFileGetsByteOrderMarkAndCrLfLineEnds) {
    FixedAppender appender(Log());
    appender.write(MakeRecord(info, "one"));
    appender.write(MakeRecord(info, "two\nlines"));
    EXPECT_EQ(ReadFile(Log()), kBom + "one\r\ntwo\r\nlines\r\n");
}

TEST_F(RollingFileAppenderTest, ByteOrderMarkOnlyOnAFileEmptyWhenOpened) {
    WriteFile(Log("old.log"), "old\r\n");
    WriteFile(Log("empty.log"), "");
    FixedAppender old_file(Log("old.log"));
    FixedAppender empty_file(Log("empty.log"));
    old_file.write(MakeRecord(info, "new"));
    empty_file.write(MakeRecord(info, "new"));
    EXPECT_EQ(ReadFile(Log("old.log")), "old\r\nnew\r\n");
    EXPECT_EQ(ReadFile(Log("empty.log")), kBom + "new\r\n");
}

TEST_F(RollingFileAppenderTest, RollsOnlyWhenTheFileHoldsMoreThanTenMebibytes) {
    // "x\r\n" is 3 bytes. The first record is written without a size check, so start 3 bytes short.
    const size_t max = 10485760;
    WriteFile(Log(), "start");
    std::filesystem::resize_file(Log(), max - 3);
    FixedAppender appender(Log());  // default limits: 10485760 bytes, 3 files
    appender.write(MakeRecord(info, "x"));
    ASSERT_EQ(std::filesystem::file_size(Log()), max);

    appender.write(MakeRecord(info, "y"));  // exactly the limit: no roll
    EXPECT_FALSE(std::filesystem::exists(Log("agent.1.log")));
    ASSERT_EQ(std::filesystem::file_size(Log()), max + 3);

    appender.write(MakeRecord(info, "z"));  // larger: rolls first
    ASSERT_TRUE(std::filesystem::exists(Log("agent.1.log")));
    EXPECT_EQ(std::filesystem::file_size(Log("agent.1.log")), max + 3);
    EXPECT_EQ(ReadFile(Log()), kBom + "z\r\n");
}

TEST_F(RollingFileAppenderTest, AFileAlreadyTooLargeTakesOneMoreRecordBeforeRolling) {
    WriteFile(Log(), "start");
    std::filesystem::resize_file(Log(), 10485761);
    FixedAppender appender(Log());
    appender.write(MakeRecord(info, "a"));
    EXPECT_FALSE(std::filesystem::exists(Log("agent.1.log")));
    appender.write(MakeRecord(info, "b"));
    EXPECT_EQ(std::filesystem::file_size(Log("agent.1.log")), 10485761u + 3);
    EXPECT_EQ(ReadFile(Log()), kBom + "b\r\n");
}

TEST_F(RollingFileAppenderTest, RollingShiftsOlderFilesAndDropsTheOldest) {
    WriteFile(Log("agent.1.log"), "first older");
    WriteFile(Log("agent.2.log"), "second older");
    FixedAppender appender(Log(), 10, 3);
    appender.write(MakeRecord(info, "0123456789"));  // 3 + 12 bytes: over the limit
    appender.write(MakeRecord(info, "next"));
    EXPECT_EQ(ReadFile(Log("agent.2.log")), "first older");
    EXPECT_EQ(ReadFile(Log("agent.1.log")), kBom + "0123456789\r\n");
    EXPECT_EQ(ReadFile(Log()), kBom + "next\r\n");
    EXPECT_FALSE(std::filesystem::exists(Log("agent.3.log")));
}

TEST_F(RollingFileAppenderTest, NameOfOlderFilesKeepsTheExtensionLast) {
    FixedAppender appender("/x/zelko-plenar-agent-service.log");
    EXPECT_EQ(appender.BuildFileName(0), "/x/zelko-plenar-agent-service.log");
    EXPECT_EQ(appender.BuildFileName(1), "/x/zelko-plenar-agent-service.1.log");
    EXPECT_EQ(appender.BuildFileName(2), "/x/zelko-plenar-agent-service.2.log");
}

TEST_F(RollingFileAppenderTest, RecordsThatCannotBeWrittenAreDroppedAndSaidOnceOnStandardError) {
    // Root may write into read-only folders, so the folder is made impossible instead: its place is
    // taken by a file. A full disk is a file size limit (which holds for root too).
    struct Case {
        const char* what;
        std::filesystem::path log;
        const char* said;
        rlim_t limit;
    };
    WriteFile(scratch() / "not-a-folder", "");
    const Case cases[] = {
        {"folder cannot be made", scratch() / "not-a-folder" / "agent.log", " cannot be opened: ", RLIM_INFINITY},
        {"disk full", Log("full.log"), " cannot be written: ", 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rlimit old_limit{};
        ::getrlimit(RLIMIT_FSIZE, &old_limit);
        auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_limit;
        limit.rlim_cur = c.limit;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        // Standard error into a pipe: a captured file would meet the size limit too.
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        std::fflush(stderr);
        const int saved_stderr = ::dup(2);
        ::dup2(pipe_fds[1], 2);
        {
            FixedAppender appender(c.log);
            for (int i = 0; i < 5; ++i) appender.write(MakeRecord(info, "a record of some twenty bytes"));
        }
        std::fflush(stderr);
        ::dup2(saved_stderr, 2);
        ::close(saved_stderr);
        ::close(pipe_fds[1]);
        std::string said;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
        ::close(pipe_fds[0]);
        ::setrlimit(RLIMIT_FSIZE, &old_limit);
        std::signal(SIGXFSZ, old_handler);
        EXPECT_THAT(said, HasSubstr("The log file " + c.log.string() + c.said));
        EXPECT_EQ(said.find("The log file"), said.rfind("The log file")) << "said once: " << said;
    }
}

// A full disk (here a file size limit, which cuts a write short as a full disk does) drops lines
// whole: no torn part of one stays to be glued onto the first line written once there is room.
TEST_F(RollingFileAppenderTest, AFullDiskDropsLinesWholeAndTheNextLineStartsClean) {
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    FixedAppender appender(Log());
    appender.write(MakeRecord(info, "first"));  // 3 + 7 bytes
    rlimit limit = old_limit;
    limit.rlim_cur = 40;  // room for 30 bytes more: part of the next line
    ::setrlimit(RLIMIT_FSIZE, &limit);
    appender.write(MakeRecord(info, "2024-03-05 12:00:00.000 a line that does not fit"));
    appender.write(MakeRecord(info, "short"));  // fits after the cut
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    appender.write(MakeRecord(info, "after"));
    EXPECT_EQ(ReadFile(Log()), kBom + "first\r\nshort\r\nafter\r\n");
}

TEST_F(RollingFileAppenderTest, ConcurrentWritersNeverInterleaveLines) {
    plenar::agent::LogFileAppender appender(Log());
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                appender.write(
                    MakeRecord(info, "thread " + std::to_string(t) + " line " + std::to_string(i)));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    std::string text = ReadFile(Log());
    ASSERT_EQ(text.rfind(kBom, 0), 0u);
    std::istringstream lines(text.substr(kBom.size()));
    const std::regex layout(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} INFO  \[\d+\] \[zelko_foundation_tests\] thread \d line \d+\r)");
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, layout)) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// Counts how often a message part was turned into text.
struct Costly {
    int* built;
};
std::ostream& operator<<(std::ostream& out, const Costly& costly) {
    ++*costly.built;
    return out << "costly";
}

class MemoryAppender : public IAppender {
  public:
    void write(const Record& record) override { messages.push_back(record.getMessage()); }
    std::vector<std::string> messages;
};

// A logger instance of a test's own: its appenders live on the test's stack, so when the test ends
// they leave the logger and the instance reads as not started again (the logger itself is never
// destroyed, and keeps its first severity).
template <int instance>
struct ScopedTestLogger {
    std::vector<IAppender*> added;
    Logger<instance>& Init(Severity severity, IAppender* appender) {
        added.push_back(appender);
        return init<instance>(severity, appender);
    }
    ~ScopedTestLogger() {
        if (auto* logger = get<instance>()) {
            for (IAppender* appender : added) logger->removeAppender(appender);
        }
        LoggerSlot<instance>().store(nullptr);
    }
};

TEST(LoggerTest, SeverityGateSkipsBuildingDroppedMessages) {
    // Instances of their own: the process's Logger<0> belongs to the program.
    int built = 0;
    ZELKO_LOG_(7, info, nullptr) << Costly{&built};  // no logger yet: nothing happens
    EXPECT_EQ(built, 0);

    MemoryAppender memory;
    ScopedTestLogger<7> scoped;
    scoped.Init(info, &memory);
    ZELKO_LOG_(7, debug, nullptr) << Costly{&built};
    ZELKO_LOG_(7, verbose, nullptr) << Costly{&built};
    EXPECT_EQ(built, 0);
    EXPECT_TRUE(memory.messages.empty());

    ZELKO_LOG_(7, info, nullptr) << "kept " << Costly{&built};
    ZELKO_LOG_(7, fatal, nullptr) << "fatal";
    EXPECT_EQ(built, 1);
    EXPECT_THAT(memory.messages, ::testing::ElementsAre("kept costly", "fatal"));
}

TEST(LoggerTest, SeverityNoneDropsEverything) {
    MemoryAppender memory;
    ScopedTestLogger<8> scoped;
    scoped.Init(none, &memory);
    ZELKO_LOG_(8, fatal, nullptr) << "x";
    EXPECT_TRUE(memory.messages.empty());
}

TEST(LoggerTest, LaterInitKeepsTheFirstSeverityAndAddsTheAppender) {
    MemoryAppender first, second;
    ScopedTestLogger<9> scoped;
    auto& logger = scoped.Init(warning, &first);
    EXPECT_EQ(&scoped.Init(verbose, &second), &logger);
    EXPECT_EQ(logger.getMaxSeverity(), warning);
    ZELKO_LOG_(9, info, nullptr) << "dropped";
    ZELKO_LOG_(9, error, nullptr) << "both";
    EXPECT_THAT(first.messages, ::testing::ElementsAre("both"));
    EXPECT_THAT(second.messages, ::testing::ElementsAre("both"));
}

TEST(LogCaptureTest, ACaptureMadeInsideAnotherHandsTheRecordsBackWhenItGoes) {
    zelko::testing::LogCapture outer;
    LOG_WARNING << "before";
    {
        auto inner = std::make_unique<zelko::testing::LogCapture>();
        auto last = std::make_unique<zelko::testing::LogCapture>();
        inner.reset();  // not the newest: the newest keeps the records
        LOG_WARNING << "inside";
        EXPECT_TRUE(last->Contains(warning, "inside"));
    }
    LOG_WARNING << "after";
    EXPECT_TRUE(outer.Contains(warning, "before"));
    EXPECT_FALSE(outer.Contains(warning, "inside"));
    EXPECT_TRUE(outer.Contains(warning, "after"));
}

TEST(ComponentAppenderTest, ForwardsACopyStampedWithItsComponent) {
    MemoryAppender host;
    struct Capture : IAppender {
        void write(const Record& record) override {
            component = static_cast<const char*>(record.getObject());
            severity = record.getSeverity();
            func = record.getFunc();
            message = record.getMessage();
        }
        std::string component, func, message;
        Severity severity = none;
    } capture;
    shared::common::logger::ComponentAppender appender("plugin.so", &capture);
    appender.write(MakeRecord(warning, "text"));
    EXPECT_EQ(capture.component, "plugin.so");
    EXPECT_EQ(capture.severity, warning);
    EXPECT_EQ(capture.func, "zelko::test::Function");
    EXPECT_EQ(capture.message, "text");
}

}  // namespace
}  // namespace zelko::logging
