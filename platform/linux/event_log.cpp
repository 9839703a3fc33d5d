#include "platform/event_log.h"

#include <syslog.h>

#include <cstdio>

#include "platform/last_error.h"

namespace zelko::platform {

struct EventSourceTag {
    std::string name;
};

EventSourceHandle RegisterEventSource(const char* server, const std::string& source) {
    if ((server != nullptr && *server != '\0') || source.empty()) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    return new EventSourceTag{source};
}

bool ReportEvent(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                 const std::vector<std::string>& strings) {
    if (source == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    int priority = LOG_INFO;
    if (type == kEventLogErrorType) priority = LOG_ERR;
    if (type == kEventLogWarningType) priority = LOG_WARNING;
    std::string text;
    for (size_t i = 0; i < strings.size(); ++i) text += (i ? ": " : "") + strings[i];
    char id[16];
    std::snprintf(id, sizeof(id), "0x%08X", event_id);
    ::syslog(LOG_DAEMON | priority, "%s[%s, category %u]: %s", source->name.c_str(), id,
             static_cast<unsigned>(category), text.c_str());
    return true;
}

bool DeregisterEventSource(EventSourceHandle source) {
    if (source == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    delete source;
    return true;
}

}  // namespace zelko::platform
