#include "foundation/grace_period.h"

#include <algorithm>

#include "foundation/logging.h"
#include "platform/last_error.h"
#include "platform/sessions.h"

namespace zelko::plenar::agent {

namespace {

constexpr std::chrono::seconds kFullWait{60};
constexpr int64_t kNoLogonWindowTicks = 600 * platform::kTicksPerSecond;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

int64_t FileTimeToUnixSeconds(int64_t file_time) {
    return static_cast<int64_t>(static_cast<double>(file_time) / 10'000'000.0 -
                                static_cast<double>(kSecondsFrom1601To1970));
}

// Runs a warning about a failed session lookup; false when logging it failed, which ends the
// lookup.
template <typename F>
bool WarnLookupFailure(F&& warn) {
    try {
        warn();
        return true;
    } catch (...) {
        LOG_WARNING << "Failure to get Logon info ";
        return false;
    }
}

}  // namespace

// Takes the logon time of the first active session. An exception of the lookup itself goes to
// the caller.
void GracePeriod::FindLogon() {
    auto sessions = platform::EnumerateSessions();
    if (!sessions) {
        WarnLookupFailure(
            [] { LOG_WARNING << "WTSEnumerateSessionsA failed with code: " << platform::GetLastError(); });
        return;
    }
    for (const auto& session : *sessions) {
        if (session.state != platform::SessionState::Active) continue;
        auto logon = platform::QuerySessionLogonTime(session.id);
        if (!logon) {
            const bool logged = WarnLookupFailure([&] {
                LOG_WARNING << "Query Session Information failed with code: " << platform::GetLastError()
                            << " for session: " << session.id;
            });
            if (!logged) return;
            continue;
        }
        logonTime = *logon;
        logonFound = true;
        return;
    }
}

std::chrono::seconds GracePeriod::GetTimeToWait(int64_t referenceTime) {
    try {
        if (oobeCompleted && !oobeCompleted()) {
            LOG_INFO << "OOBE is not completed yet, wait for 60 sec.";
            return kFullWait;
        }
        LOG_INFO << "OOBE is completed";
        if (!logonFound) FindLogon();
    } catch (...) {
        LOG_WARNING << "Failure to get OOBE info ";
        return kFullWait;
    }

    if (!logonFound) {
        const int64_t now = platform::NowTicks();
        LOG_INFO << "Grace Period: logon did not happen";
        return now - createdTicks < kNoLogonWindowTicks ? kFullWait : std::chrono::seconds(0);
    }
    if (invalidLogonSeen) return std::chrono::seconds(0);

    const int64_t now = FileTimeToUnixSeconds(platform::NowTicks() + platform::kFileTimeUnixEpoch);
    const int64_t reference = referenceTime > 0 ? referenceTime : FileTimeToUnixSeconds(logonTime);
    invalidLogonSeen = reference > now;
    if (invalidLogonSeen) {
        // A clock set back, or a bogus time: wait once, then never again.
        LOG_INFO << "Grace Period: Invalid logon time detected...waiting for 60 seconds";
        return kFullWait;
    }
    const int64_t elapsed = now - reference;
    LOG_INFO << "Grace Period: now: " << now << " logon/wake up time: " << reference
             << " Time elapsed: " << elapsed;
    return std::chrono::seconds(std::clamp<int64_t>(60 - elapsed, 0, 60));
}

}  // namespace zelko::plenar::agent
