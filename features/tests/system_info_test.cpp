#include "features/system_info.h"

#include <gtest/gtest.h>

#include "platform/system_facts.h"
#include "testing/log_capture.h"

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

}  // namespace
}  // namespace zelko::plenar::agent
