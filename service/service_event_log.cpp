// The control-channel verb that raises an entry in the simulated event log.

#include "foundation/logging.h"
#include "platform/event_log.h"
#include "service/service.h"

namespace zelko::plenar::agent {

std::string HandleEventLogRequest(const std::vector<std::string>& words) {
    std::string error;
    const auto file = platform::RaiseEventLogCommand(words, &error);
    if (!file) return "error " + error;
    LOG_INFO << "Event log entry raised through the control channel: " << file->string();
    return "ok " + file->string();
}

}  // namespace zelko::plenar::agent
