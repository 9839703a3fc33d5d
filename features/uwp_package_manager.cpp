#include "features/uwp_package_manager.h"

#include <stdexcept>

#include "foundation/logging.h"
#include "platform/last_error.h"
#include "platform/packages.h"
#include "platform/sessions.h"

namespace zelko::plenar::agent {

namespace {
constexpr char kSidOperation[] = "zelko::plenar::agent::UWPPackageManager::GetCurrentLoggedOnUserSID";
constexpr char kInstalledOperation[] =
    "zelko::plenar::agent::UWPPackageManager::IsPackageInstalledForCurrentUser";
}  // namespace

std::mutex UWPPackageManager::_mutex;

std::string UWPPackageManager::GetCurrentLoggedOnUserSID() {
    try {
        auto sessions = platform::EnumerateSessions();
        if (!sessions) {
            LOG_ERROR << kSidOperation << " - WTSEnumerateSessions Error: " << platform::GetLastError();
            return "";
        }
        for (const auto& session : *sessions) {
            if (session.state != platform::SessionState::Active) continue;
            auto token = platform::QuerySessionUserToken(session.id);
            if (!token) {
                LOG_ERROR << kSidOperation << " - WTSQueryUserToken Error: " << platform::GetLastError();
                continue;
            }
            std::string sid = platform::UserSidString(*token);
            if (!sid.empty()) return sid;
            LOG_ERROR << kSidOperation << " - ConvertSidToStringSidW Error: " << platform::GetLastError();
        }
    } catch (const std::exception& e) {
        // Only memory can fail here; the answer stays "no user".
        LOG_ERROR << kSidOperation << " - " << e.what();
    }
    return "";
}

bool UWPPackageManager::IsPackageInstalledForCurrentUser(const std::string& publisherId,
                                                         const std::string& packageName) {
    std::lock_guard lock(_mutex);
    const std::string sid = GetCurrentLoggedOnUserSID();
    if (sid.empty()) {
        LOG_ERROR << kInstalledOperation << " Unable to obtain SID for the logged on user.";
        throw std::runtime_error("Unable to obtain SID for the logged on user.");
    }
    LOG_DEBUG << "Determine if Zelko AI Experience app is installed for SID " << sid << " ...";
    std::string problem;
    const auto packages = platform::FindPackagesForUser(sid, &problem);
    if (!problem.empty()) {
        LOG_WARNING << "Installed packages catalogue: " << problem;
    }
    for (const auto& package : packages) {
        if (package.name == packageName && package.publisher_id == publisherId) {
            LOG_DEBUG << "Application: " << packageName << " Publisher : " << publisherId
                      << " is installed for SID: " << sid;
            return true;
        }
    }
    // What a damaged catalogue does not list may still be installed: no answer rather than "no",
    // which could start an uninstall or install of its own.
    if (!problem.empty()) throw std::runtime_error("Installed packages catalogue: " + problem);
    LOG_DEBUG << "Application: " << packageName << " Publisher : " << publisherId
              << " is NOT installed for SID: " << sid;
    return false;
}

}  // namespace zelko::plenar::agent
