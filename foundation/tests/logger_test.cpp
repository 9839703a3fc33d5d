#include "foundation/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(LogFilePathTest, NamedAfterTheExecutableUpToItsFirstDot) {
    struct Case {
        const char* executable;
        const char* log;
    } cases[] = {
        {"/opt/zelko/zelko-plenar-agent-service.exe", "/opt/zelko/zelko-plenar-agent-service.log"},
        {"/opt/zelko/zelko-plenar-agent-service", "/opt/zelko/zelko-plenar-agent-service.log"},
        {"/opt/zelko/a.b.exe", "/opt/zelko/a.log"},
    };
    for (const auto& c : cases) EXPECT_EQ(LogFilePath(c.executable), c.log) << c.executable;
}

// Each case runs the probe host in a fresh process: the logger of a process starts only once.
class LoggerHandOverTest : public zelko::testing::SystemRootTest {
  protected:
    std::string RunHost(int severity, const char* mode) {
        const auto executable = scratch() / "fake-host.x.exe";
        std::string command = std::string("'") + ZELKO_LOGGING_PROBE + "' " + std::to_string(severity) +
                              " '" + executable.string() + "' '" + ZELKO_HANDOVER_TEST_LIB + "' " + mode;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        const auto log = scratch() / "fake-host.log";
        if (!std::filesystem::exists(log)) return {};
        std::ifstream in(log, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::string library_name() const {
        return std::filesystem::path(ZELKO_HANDOVER_TEST_LIB).filename().string();
    }
    std::string library_folder() const {
        return std::filesystem::path(ZELKO_HANDOVER_TEST_LIB).parent_path().string();
    }
};

TEST_F(LoggerHandOverTest, LoadedLibraryWritesIntoTheHostFileUnderItsOwnName) {
    std::string log = RunHost(4, "before");
    const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )";
    std::smatch host, plugin, other_thread;
    ASSERT_TRUE(std::regex_search(
        log, host, std::regex(stamp + R"(INFO  \[(\d+)\] \[zelko_logging_probe\] )" + "host info line\r\n")))
        << log;
    ASSERT_TRUE(std::regex_search(
        log, plugin,
        std::regex(stamp + R"(INFO  \[(\d+)\] \[)" + library_name() + "\\] plug-in info line\r\n")))
        << log;
    ASSERT_TRUE(std::regex_search(log, other_thread,
                                  std::regex(stamp + R"(ERROR \[(\d+)\] \[)" + library_name() +
                                             "\\] plug-in line from another thread\r\n")))
        << log;
    EXPECT_EQ(plugin[1], host[1]);  // the writer's thread
    EXPECT_NE(other_thread[1], host[1]);
    EXPECT_THAT(log,
                HasSubstr("WARN  [" + host[1].str() + "] [" + library_name() + "] plug-in warning line\r\n"));

    // Version lines: the executable first, then each module that took the logger.
    const auto executable_line =
        "[zelko_logging_probe] Log activated for module fake-host.x.exe, version unknown, "
        "loaded from " +
        scratch().string() + "\r\n";
    const auto library_line = "[zelko_logging_probe] Log activated for module " + library_name() +
                              ", version unknown, loaded from " + library_folder() + "\r\n";
    ASSERT_THAT(log, HasSubstr(executable_line));
    ASSERT_THAT(log, HasSubstr(library_line));
    EXPECT_LT(log.find(executable_line), log.find(library_line));
    EXPECT_LT(log.find(library_line), log.find("plug-in info line"));
    EXPECT_EQ(log.rfind("\xEF\xBB\xBF", 0), 0u);
    EXPECT_THAT(log, Not(HasSubstr("verbose")));
}

TEST_F(LoggerHandOverTest, LibraryLoadedLaterKeepsItsOwnEmptyLogger) {
    // The probe exports its symbols, so a logger shared through the dynamic linker would show here.
    std::string log = RunHost(4, "after");
    EXPECT_THAT(log, HasSubstr("] host info line\r\n"));
    EXPECT_THAT(log, Not(HasSubstr("plug-in")));
    EXPECT_THAT(log, Not(HasSubstr("Log activated for module " + library_name())));
}

TEST_F(LoggerHandOverTest, WarningSeverityLeavesOutTheVersionLines) {
    std::string log = RunHost(3, "before");
    EXPECT_THAT(log, Not(HasSubstr("Log activated")));
    EXPECT_THAT(log, Not(HasSubstr("info line")));
    EXPECT_THAT(log, HasSubstr("[" + library_name() + "] plug-in warning line\r\n"));
    EXPECT_THAT(log, HasSubstr("[zelko_logging_probe] host warning line\r\n"));
}

TEST_F(LoggerHandOverTest, SeverityNoneWritesNoFileAtAll) {
    EXPECT_EQ(RunHost(0, "before"), "");
    EXPECT_FALSE(std::filesystem::exists(scratch() / "fake-host.log"));
}

}  // namespace
}  // namespace zelko::plenar::agent
