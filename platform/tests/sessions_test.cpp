#include "platform/sessions.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/last_error.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

TEST(SessionsTest, ListsTheLoggedOnSessionsWithTheirLogonTimes) {
    auto sessions = EnumerateSessions();
    ASSERT_TRUE(sessions.has_value()) << "a machine without logins has an empty list";
    for (const auto& session : *sessions) {
        auto logon = QuerySessionLogonTime(session.id);
        if (logon) {
            EXPECT_GT(*logon, kFileTimeUnixEpoch) << session.user;
        }
    }
    EXPECT_FALSE(QuerySessionLogonTime(0xFFFFFFFFu).has_value());
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST(SessionsTest, AnEmulatedMachineListsItsLogonsInTheSystemRoot) {
    zelko::testing::TempSystemRoot root;
    std::filesystem::create_directories(root.path() / "Sessions");
    std::ofstream(root.path() / "Sessions" / "logons") << "7 alice 1700000000\nnot a line\n9 bob 1700000060\n";
    auto sessions = EnumerateSessions();
    ASSERT_TRUE(sessions.has_value());
    ASSERT_EQ(sessions->size(), 2u);
    EXPECT_EQ((*sessions)[0].user, "alice");
    EXPECT_EQ((*sessions)[0].state, SessionState::Active);
    EXPECT_EQ(QuerySessionLogonTime(9), kFileTimeUnixEpoch + 1'700'000'060LL * 10'000'000);
}

TEST(SessionsTest, TheFakeReplacesTheListAndCountsCalls) {
    ScopedFakeSessions fake({{3, SessionState::Idle, 100}, {4, SessionState::Active, std::nullopt}});
    auto sessions = EnumerateSessions();
    ASSERT_TRUE(sessions.has_value());
    ASSERT_EQ(sessions->size(), 2u);
    EXPECT_EQ((*sessions)[1].state, SessionState::Active);
    EXPECT_EQ(QuerySessionLogonTime(3), 100);
    EXPECT_FALSE(QuerySessionLogonTime(4).has_value());
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(fake.enumerate_calls(), 1);
    EXPECT_EQ(fake.query_calls(), 2);
}

}  // namespace
}  // namespace zelko::platform
