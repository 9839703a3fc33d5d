#include "outside/os_info/os_info.h"

namespace zelko::shared::os {

error::Error OSInfo::RetrieveOSInfo(OSInfoParams* params) { return RetrieveOSInfo(params, "/etc/os-release"); }

error::Error OSInfo::RetrieveOSInfo(OSInfoParams* params, const std::filesystem::path& osRelease) {
    return error::Error(error::ErrorCategory::EC_System, 1, "not built yet", "int", "OSInfo::RetrieveOSInfo");
}

}  // namespace zelko::shared::os
