#include "foundation/utils_modules.h"

#include <string>

#include "foundation/logging.h"
#include "foundation/utils_system.h"

namespace zelko::plenar::agent::Utils {

void LogModuleInfo(const std::filesystem::path& path) {
    // Our binaries stamp one version as both file and product version.
    std::string version = GetBinaryFileVersion(path);
    if (version.empty()) version = "unknown";
    LOG_INFO << "Log activated for module " << path.filename().string() << ", version " << version
             << ", loaded from " << path.parent_path().string();
}

}  // namespace zelko::plenar::agent::Utils
