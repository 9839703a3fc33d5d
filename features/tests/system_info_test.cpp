#include "features/system_info.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/last_error.h"
#include "platform/network.h"
#include "platform/system_facts.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using zelko::testing::LogCapture;

TEST(SystemInfoTest, HasOOBECompletedAnswersWhatThePlatformReportsAndLogsIt) {
    struct Case {
        std::optional<int32_t> completed;  // nullopt: the query fails
        bool expected;
        const char* debug_line;
        const char* result_line;
    } cases[] = {
        {1, true, "OOBE completed = 1", "HasOOBECompleted result: 1"},
        {0, false, "OOBE completed = 0", "HasOOBECompleted result: 0"},
        {std::nullopt, false, nullptr, "HasOOBECompleted result: 0"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        platform::ScopedFakeOutOfBoxSetup oobe(c.completed);
        EXPECT_EQ(SystemInfo::HasOOBECompleted(), c.expected);
        EXPECT_TRUE(log.Contains(logging::info, c.result_line));
        if (c.debug_line) {
            EXPECT_TRUE(log.Contains(logging::debug, c.debug_line));
        } else {
            EXPECT_TRUE(log.Contains(logging::error, "OOBEComplete function failed. Error code: "));
        }
    }
}

TEST(SystemInfoTest, OutOfBoxSetupIsDoneOnLinux) { EXPECT_TRUE(SystemInfo::HasOOBECompleted()); }

TEST(SystemInfoTest, ClockSynchronisationTruthTable) {
    using platform::TimeAdjustment;
    struct Case {
        std::optional<TimeAdjustment> answer;  // nullopt: the query fails
        bool expected;
    } cases[] = {
        {TimeAdjustment{0, 156250, 1}, false},  // disabled and zero
        {TimeAdjustment{0, 156250, 0}, true},   // enabled, whatever the adjustment
        {TimeAdjustment{156250, 156250, 0}, true},
        {TimeAdjustment{156250, 156250, 1}, true},  // disabled but non-zero
        {TimeAdjustment{1, 0, 7}, true},
        {std::nullopt, false},  // failed call: the presets stand
    };
    for (const auto& c : cases) {
        LogCapture log;
        platform::ScopedFakeTimeAdjustment fake(c.answer);
        EXPECT_EQ(SystemInfo::HasClockSynchronized(), c.expected);
        EXPECT_TRUE(log.Contains(logging::info,
                                 std::string("HasClockSynchronized detected: ") + (c.expected ? "1" : "0")));
        if (c.answer) {
            EXPECT_TRUE(log.Contains(logging::debug,
                                     "HasClockSynchronized detected via win32 GetSystemTimeAdjustment"));
        } else {
            EXPECT_TRUE(log.Contains(
                logging::warning,
                "Failed checking system clock sync with GetSystemTimeAdjustment: Access is denied."));
        }
    }
}

TEST(SystemInfoTest, ClockProbeOnThisMachineAnswersWithoutFailing) {
    LogCapture log;
    SystemInfo::HasClockSynchronized();
    EXPECT_TRUE(
        log.Contains(logging::debug, "HasClockSynchronized detected via win32 GetSystemTimeAdjustment"));
}

class InternetProbeTest : public zelko::testing::SystemRootTest {
  protected:
    void TearDown() override { platform::SetSimulatedNetworkConnectivity(std::nullopt); }
    void WriteOverride(const std::string& text) {
        std::filesystem::create_directories(platform::NetworkConnectivityOverridePath().parent_path());
        std::ofstream(platform::NetworkConnectivityOverridePath(), std::ios::binary) << text;
    }
};

TEST_F(InternetProbeTest, AnswersFromTheSimulatedStateThenTheOverrideFile) {
    struct Case {
        std::optional<uint32_t> simulated;
        std::optional<std::string> file;
        bool expected;
    } cases[] = {
        {platform::kNlmConnectivityIpv4Internet, std::nullopt, true},
        {platform::kNlmConnectivityIpv6Internet, std::nullopt, true},
        {platform::kNlmConnectivityIpv4LocalNetwork | platform::kNlmConnectivityIpv4Subnet, std::nullopt,
         false},
        {0, "connected", false},  // the simulated state comes first
        {std::nullopt, "connected\n", true},
        {std::nullopt, " disconnected ", false},
        {std::nullopt, "0x400", true},
        {std::nullopt, "0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.value_or("-"));
        platform::SetSimulatedNetworkConnectivity(c.simulated);
        if (c.file) WriteOverride(*c.file);
        LogCapture log;
        EXPECT_EQ(SystemInfo::HasInternetConnectivity(), c.expected);
        EXPECT_TRUE(log.Contains(
            logging::info, std::string("HasInternetConnectivity detected: ") + (c.expected ? "1" : "0")));
        EXPECT_EQ(
            log.Contains(logging::warning,
                         "InternetGetConnectedState set error: The network location cannot be reached."),
            !c.expected);
        std::filesystem::remove(platform::NetworkConnectivityOverridePath());
    }
}

TEST_F(InternetProbeTest, DamagedOverrideFileIsIgnoredAndNamed) {
    platform::SetSimulatedNetworkConnectivity(std::nullopt);
    std::filesystem::remove(platform::NetworkConnectivityOverridePath());
    const bool machine = SystemInfo::HasInternetConnectivity();
    const std::string cases[] = {"",
                                 "conn",
                                 "{\"connected\": true}",
                                 "0x1ffffffff",
                                 "-1",
                                 std::string(1 << 20, '1'),
                                 std::string("\0\xff", 2)};
    for (const auto& text : cases) {
        WriteOverride(text);
        LogCapture log;
        EXPECT_EQ(SystemInfo::HasInternetConnectivity(), machine);
        EXPECT_TRUE(log.Contains(logging::warning, "Network connectivity override: ignoring " +
                                                       platform::NetworkConnectivityOverridePath().string()));
    }
}

TEST(SystemInfoTest, FormatSystemMessage) {
    EXPECT_EQ(FormatSystemMessage(platform::kErrorAccessDenied), "Access is denied.\r\n");
    EXPECT_EQ(FormatSystemMessage(0xDEADBEEF), "No message available for given error code\r\n");
}

}  // namespace
}  // namespace zelko::plenar::agent
