#pragma once

#include <mutex>
#include <string>

namespace zelko::plenar::agent {

// Store packages of the logged-on user: the user of the first active session that yields one.
class UWPPackageManager {
  public:
    // True when a package with exactly this name and publisher id is installed for the logged-on
    // user. Raises std::runtime_error "Unable to obtain SID for the logged on user." when no user is
    // logged on, and std::runtime_error naming the catalogue when the package is not found in a
    // catalogue that cannot be read whole. One call at a time in the process.
    static bool IsPackageInstalledForCurrentUser(const std::string& publisherId,
                                                 const std::string& packageName);

    // The logged-on user's SID in its string form; empty when there is none. Never raises.
    static std::string GetCurrentLoggedOnUserSID();

  private:
    static std::mutex _mutex;
};

}  // namespace zelko::plenar::agent
