#pragma once

// Store packages installed per user. On Linux the installed packages are listed in a catalogue
// file, <system root>/Packages/installed.json:
//   {"<user SID>": [{"Name": "<package name>", "PublisherId": "<publisher id>"}, ...], ...}
// (a user's SID as sessions.h forms it, such as "S-1-22-1-1000").

#include <filesystem>
#include <string>
#include <vector>

namespace zelko::platform {

struct PackageId {
    std::string name;
    std::string publisher_id;
};

// The packages installed for the user, in catalogue order. A missing catalogue lists nothing. A
// catalogue that cannot be read, is not JSON, is larger than 4 MiB or has another shape lists
// nothing, and an entry of another shape is skipped; `problem`, when given, then says why, naming
// the file (empty otherwise).
std::vector<PackageId> FindPackagesForUser(const std::string& user_sid, std::string* problem = nullptr);

std::filesystem::path PackageCatalogPath();

}  // namespace zelko::platform
