#include "platform/sessions.h"

#include <gtest/gtest.h>

#include "platform/last_error.h"

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
