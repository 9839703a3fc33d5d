#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelko::platform {

// Logged-on user sessions of the local machine.
enum class SessionState { Active, Connected, Disconnected, Idle, Other };

struct Session {
    uint32_t id = 0;
    SessionState state = SessionState::Other;
    std::string user;
};

// Windows file time: 100-ns ticks since 1601-01-01 UTC.
constexpr int64_t kFileTimeUnixEpoch = 116'444'736'000'000'000;

// The sessions in the system's order; nullopt when they cannot be listed (the reason is in errno and
// GetLastError).
std::optional<std::vector<Session>> EnumerateSessions();

// Logon time of one session as a Windows file time; nullopt when the session cannot be queried
// (gone, or the query failed; the reason is in errno and GetLastError).
std::optional<int64_t> QuerySessionLogonTime(uint32_t session_id);

// The user a session's token stands for. On Linux the token is the session user's id.
struct UserToken {
    uint32_t user_id = 0;
};

// The token of the user logged on in the session; nullopt when the session has no user that the
// system knows (GetLastError kErrorNoToken) or is gone (kErrorFileNotFound).
std::optional<UserToken> QuerySessionUserToken(uint32_t session_id);

// The string form of the token user's security id. A Linux user id maps to the Unix-user id space
// "S-1-22-1-<uid>".
std::string UserSidString(const UserToken& token);

// Test seam: replaces the session list while alive and counts the calls made.
struct FakeSession {
    uint32_t id = 0;
    SessionState state = SessionState::Active;
    std::optional<int64_t> logon_file_time;  // nullopt: querying this session fails
    std::string user = "user";
    std::optional<uint32_t> user_id = 1000;  // nullopt: the session has no user token
};

class ScopedFakeSessions {
  public:
    // enumerate_fails: EnumerateSessions answers nullopt.
    explicit ScopedFakeSessions(std::vector<FakeSession> sessions, bool enumerate_fails = false);
    ~ScopedFakeSessions();
    ScopedFakeSessions(const ScopedFakeSessions&) = delete;
    ScopedFakeSessions& operator=(const ScopedFakeSessions&) = delete;

    int enumerate_calls() const;
    int query_calls() const;
};

}  // namespace zelko::platform
