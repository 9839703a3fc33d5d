#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/clock.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

class PathsTest : public testing::SystemRootTest {};

TEST_F(PathsTest, ExpandsKnownFoldersAndEnvironmentWithoutRegardToCase) {
    ::setenv("ZELKO_TEST_VAR", "value", 1);
    const auto data = ProgramDataFolder().string();
    struct Case {
        const char* in;
        std::string out;
    } cases[] = {
        {"%programdata%/x.json", data + "/x.json"},
        {"%ProgramData%\\Zelko", data + "\\Zelko"},
        {"a%zelko_test_var%b", "avalueb"},
        {"%no_such_var%/%programdata%", "%no_such_var%/" + data},
        {"50% off", "50% off"},
        {"%%", "%%"},
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandEnvironmentStrings(c.in), c.out) << c.in;
}

TEST_F(PathsTest, SystemRootFollowsEnvironment) {
    EXPECT_EQ(SystemRoot(), root());
    EXPECT_EQ(ProgramFilesFolder(), root() / "Program Files");
    EXPECT_TRUE(ExecutablePath().is_absolute());
}

TEST(ClockTest, FakeClockOverridesAndNotifies) {
    int calls = 0;
    int id = RegisterClockListener([&] { ++calls; });
    {
        ScopedFakeClock clock(1000);
        EXPECT_EQ(NowTicks(), 1000);
        clock.Advance(kTicksPerSecond);
        EXPECT_EQ(NowTicks(), 1000 + kTicksPerSecond);
    }
    RemoveClockListener(id);
    EXPECT_GE(calls, 1);
    EXPECT_GT(NowTicks(), 16'000'000'000'000'000);  // after 2020
}

}  // namespace
}  // namespace zelko::platform
