#include "foundation/utils_modules.h"

#include <string>

#include "foundation/logging.h"

namespace zelko::plenar::agent::Utils {

void LogModuleInfo(const std::filesystem::path& path) {
    // Linux module files carry no product version resource.
    const std::string version = "unknown";
    LOG_INFO << "Log activated for module " << path.filename().string() << ", version " << version
             << ", loaded from " << path.parent_path().string();
}

}  // namespace zelko::plenar::agent::Utils
