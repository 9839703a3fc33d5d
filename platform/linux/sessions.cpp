#include "platform/sessions.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include "platform/last_error.h"
#include "platform/paths.h"

namespace zelko::platform {

namespace {

struct FakeState {
    std::vector<FakeSession> sessions;
    bool enumerate_fails = false;
    int enumerate_calls = 0;
    int query_calls = 0;
};

std::mutex g_mutex;  // guards g_fake and the utmp reader, which keeps static state
FakeState* g_fake = nullptr;

struct UtmpEntry {
    Session session;
    int64_t logon_file_time = 0;
};

// Leaves the failure where callers look for it: errno and the platform's last error.
void Fail(int error) {
    errno = error;
    SetLastError(ErrorFromErrno(error));
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// One entry per user login (USER_PROCESS); the login process id serves as the session id.
// An emulated machine lists its logged-on users in <system root>/Sessions/logons, one active
// session a line: "<id> <user> <logon time in seconds since 1970>"; lines that do not read so are
// skipped. Without the file the machine's own login records count.
std::optional<std::vector<UtmpEntry>> ReadEmulatedLogons() {
    std::ifstream in(SystemRoot() / "Sessions" / "logons");
    if (!in) return std::nullopt;
    std::vector<UtmpEntry> entries;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        UtmpEntry entry;
        int64_t seconds = 0;
        if (!(fields >> entry.session.id >> entry.session.user >> seconds)) continue;
        entry.session.state = SessionState::Active;
        entry.logon_file_time = kFileTimeUnixEpoch + seconds * 10'000'000;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<UtmpEntry> ReadUtmp() {
    if (auto emulated = ReadEmulatedLogons()) return std::move(*emulated);
    std::vector<UtmpEntry> entries;
    ::setutxent();
    while (const utmpx* record = ::getutxent()) {
        if (record->ut_type != USER_PROCESS) continue;
        UtmpEntry entry;
        entry.session.id = static_cast<uint32_t>(record->ut_pid);
        entry.session.user.assign(record->ut_user, ::strnlen(record->ut_user, sizeof(record->ut_user)));
        entry.session.state =
            ProcessAlive(record->ut_pid) ? SessionState::Active : SessionState::Disconnected;
        entry.logon_file_time = kFileTimeUnixEpoch + static_cast<int64_t>(record->ut_tv.tv_sec) * 10'000'000 +
                                static_cast<int64_t>(record->ut_tv.tv_usec) * 10;
        entries.push_back(std::move(entry));
    }
    ::endutxent();
    return entries;
}

}  // namespace

std::optional<std::vector<Session>> EnumerateSessions() {
    std::lock_guard lock(g_mutex);
    std::vector<Session> sessions;
    if (g_fake != nullptr) {
        ++g_fake->enumerate_calls;
        if (g_fake->enumerate_fails) {
            Fail(EIO);
            return std::nullopt;
        }
        for (const auto& fake : g_fake->sessions) sessions.push_back({fake.id, fake.state, fake.user});
        return sessions;
    }
    // A machine without a utmp file simply has no sessions.
    for (auto& entry : ReadUtmp()) sessions.push_back(std::move(entry.session));
    return sessions;
}

std::optional<int64_t> QuerySessionLogonTime(uint32_t session_id) {
    std::lock_guard lock(g_mutex);
    if (g_fake != nullptr) {
        ++g_fake->query_calls;
        for (const auto& fake : g_fake->sessions) {
            if (fake.id != session_id) continue;
            if (!fake.logon_file_time) Fail(EACCES);
            return fake.logon_file_time;
        }
        Fail(ENOENT);
        return std::nullopt;
    }
    for (const auto& entry : ReadUtmp()) {
        if (entry.session.id == session_id) return entry.logon_file_time;
    }
    Fail(ENOENT);
    return std::nullopt;
}

std::optional<UserToken> QuerySessionUserToken(uint32_t session_id) {
    std::string user;
    {
        std::lock_guard lock(g_mutex);
        if (g_fake != nullptr) {
            for (const auto& fake : g_fake->sessions) {
                if (fake.id != session_id) continue;
                if (!fake.user_id) {
                    SetLastError(kErrorNoToken);
                    return std::nullopt;
                }
                return UserToken{*fake.user_id};
            }
            Fail(ENOENT);
            return std::nullopt;
        }
        bool found = false;
        for (const auto& entry : ReadUtmp()) {
            if (entry.session.id != session_id) continue;
            user = entry.session.user;
            found = true;
            break;
        }
        if (!found) {
            Fail(ENOENT);
            return std::nullopt;
        }
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (user.empty() || ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &result) != 0 ||
        result == nullptr) {
        SetLastError(kErrorNoToken);
        return std::nullopt;
    }
    return UserToken{static_cast<uint32_t>(entry.pw_uid)};
}

std::string UserSidString(const UserToken& token) { return "S-1-22-1-" + std::to_string(token.user_id); }

ScopedFakeSessions::ScopedFakeSessions(std::vector<FakeSession> sessions, bool enumerate_fails) {
    std::lock_guard lock(g_mutex);
    g_fake = new FakeState{std::move(sessions), enumerate_fails};
}

ScopedFakeSessions::~ScopedFakeSessions() {
    std::lock_guard lock(g_mutex);
    delete g_fake;
    g_fake = nullptr;
}

int ScopedFakeSessions::enumerate_calls() const {
    std::lock_guard lock(g_mutex);
    return g_fake ? g_fake->enumerate_calls : 0;
}

int ScopedFakeSessions::query_calls() const {
    std::lock_guard lock(g_mutex);
    return g_fake ? g_fake->query_calls : 0;
}

}  // namespace zelko::platform
