#include "features/system_info.h"

#include <cstdint>

#include "foundation/logging.h"
#include "platform/last_error.h"
#include "platform/system_facts.h"

namespace zelko::plenar::agent {

bool SystemInfo::HasOOBECompleted() {
    int32_t completed = 0;
    if (platform::QueryOutOfBoxSetupComplete(&completed)) {
        LOG_DEBUG << "HasOOBECompleted detected via win32 OOBEComplete method: OOBE completed = "
                  << completed;
    } else {
        completed = 0;
        LOG_ERROR << "OOBEComplete function failed. Error code: " << platform::GetLastError();
    }
    LOG_INFO << "HasOOBECompleted result: " << completed;
    return completed != 0;
}

}  // namespace zelko::plenar::agent
