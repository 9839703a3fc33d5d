#include "foundation/grace_period.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "foundation/tests/scheduler_test_util.h"
#include "platform/sessions.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

constexpr int64_t kNowSeconds = testing::kStartTicks / platform::kTicksPerSecond;

int64_t FileTimeSecondsAgo(int64_t seconds) {
    return testing::kStartTicks - seconds * platform::kTicksPerSecond + platform::kFileTimeUnixEpoch;
}

class GracePeriodTest : public ::testing::Test {
  protected:
    // A grace period whose owner was made the given time before now.
    GracePeriod MadeAgo(std::chrono::seconds age) const {
        GracePeriod grace;
        grace.createdTicks = clock.Now() - age.count() * platform::kTicksPerSecond;
        grace.oobeCompleted = [] { return true; };
        return grace;
    }

    platform::ScopedFakeClock clock{testing::kStartTicks};
};

TEST_F(GracePeriodTest, WaitsByTheSetupTheLogonOrTheWakeUp) {
    using platform::FakeSession;
    using platform::SessionState;
    struct Case {
        const char* what;
        std::optional<int32_t> oobe;  // nullopt: the probe raises
        std::vector<FakeSession> sessions;
        bool enumerate_fails;
        std::chrono::seconds made_ago;
        int64_t reference;
        int64_t expected;
    } cases[] = {
        {"setup not done", 0, {{1, SessionState::Active, FileTimeSecondsAgo(3600)}}, false, 1h, 0, 60},
        {"setup unknown", std::nullopt, {}, false, 1h, 0, 60},
        {"no session, young", 1, {}, false, 5min, 0, 60},
        {"no session, old", 1, {}, false, 11min, 0, 0},
        {"sessions unlisted, young", 1, {}, true, 5min, 0, 60},
        {"logon 20 s ago", 1, {{7, SessionState::Active, FileTimeSecondsAgo(20)}}, false, 1h, 0, 40},
        {"logon 90 s ago", 1, {{7, SessionState::Active, FileTimeSecondsAgo(90)}}, false, 1h, 0, 0},
        {"wake-up 10 s ago wins over an old logon",
         1,
         {{7, SessionState::Active, FileTimeSecondsAgo(3600)}},
         false,
         1h,
         kNowSeconds - 10,
         50},
        {"only the second session is active",
         1,
         {{1, SessionState::Disconnected, FileTimeSecondsAgo(5)},
          {2, SessionState::Active, FileTimeSecondsAgo(30)}},
         false,
         1h,
         0,
         30},
        {"the active session cannot be queried",
         1,
         {{3, SessionState::Active, std::nullopt}},
         false,
         1min,
         0,
         60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::ScopedFakeSessions sessions(c.sessions, c.enumerate_fails);
        GracePeriod grace = MadeAgo(c.made_ago);
        grace.oobeCompleted = [oobe = c.oobe] {
            if (!oobe) throw std::runtime_error("setup state unknown");
            return *oobe == 1;
        };
        EXPECT_EQ(grace.GetTimeToWait(c.reference).count(), c.expected);
        if (c.oobe != 1) {
            EXPECT_EQ(sessions.enumerate_calls(), 0) << "no session lookup before the setup is done";
        }
    }
}

TEST_F(GracePeriodTest, AReferenceInTheFutureWaitsOnceThenNeverAgain) {
    platform::ScopedFakeSessions sessions({{1, platform::SessionState::Active, FileTimeSecondsAgo(3600)}});
    LogCapture log;
    GracePeriod grace = MadeAgo(1h);
    EXPECT_EQ(grace.GetTimeToWait(kNowSeconds + 30).count(), 60);
    EXPECT_TRUE(
        log.Contains(logging::info, "Grace Period: Invalid logon time detected...waiting for 60 seconds"));
    EXPECT_EQ(grace.GetTimeToWait(kNowSeconds + 30).count(), 0);
    clock.Advance(60 * platform::kTicksPerSecond);
    EXPECT_EQ(grace.GetTimeToWait(kNowSeconds + 55).count(), 0) << "even once the clock has caught up";
}

TEST_F(GracePeriodTest, TheLogonIsLookedUpUntilFoundAndNeverAgainAfterwards) {
    GracePeriod grace = MadeAgo(1min);
    {
        platform::ScopedFakeSessions none({});
        EXPECT_EQ(grace.GetTimeToWait(0).count(), 60);
        EXPECT_EQ(grace.GetTimeToWait(0).count(), 60);
        EXPECT_EQ(none.enumerate_calls(), 2);
    }
    platform::ScopedFakeSessions sessions({{4, platform::SessionState::Active, FileTimeSecondsAgo(15)}});
    LogCapture log;
    EXPECT_EQ(grace.GetTimeToWait(0).count(), 45);
    EXPECT_TRUE(log.Contains(logging::info, "Grace Period: now: " + std::to_string(kNowSeconds) +
                                                " logon/wake up time: " + std::to_string(kNowSeconds - 15) +
                                                " Time elapsed: 15"));
    clock.Advance(5 * platform::kTicksPerSecond);
    EXPECT_EQ(grace.GetTimeToWait(0).count(), 40);
    EXPECT_EQ(sessions.enumerate_calls(), 1);
    EXPECT_EQ(sessions.query_calls(), 1);
}

TEST_F(GracePeriodTest, FailuresAreLoggedAsWarnings) {
    LogCapture log;
    {
        platform::ScopedFakeSessions sessions({}, true);
        GracePeriod grace = MadeAgo(1min);
        grace.GetTimeToWait(0);
    }
    EXPECT_TRUE(log.Contains(logging::warning, "WTSEnumerateSessionsA failed with code: "));
    platform::ScopedFakeSessions sessions({{9, platform::SessionState::Active, std::nullopt}});
    GracePeriod grace = MadeAgo(1min);
    grace.GetTimeToWait(0);
    EXPECT_TRUE(
        log.Contains(logging::warning, "Query Session Information failed with code: 5 for session: 9"));
    EXPECT_TRUE(log.Contains(logging::info, "Grace Period: logon did not happen"));
}

}  // namespace
}  // namespace zelko::plenar::agent
