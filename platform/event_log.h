#pragma once

// Writing to the system event log under a named source (on Linux: syslog).

#include <cstdint>
#include <string>
#include <vector>

namespace zelko::platform {

constexpr uint16_t kEventLogErrorType = 0x0001;
constexpr uint16_t kEventLogWarningType = 0x0002;
constexpr uint16_t kEventLogInformationType = 0x0004;

struct EventSourceTag;
using EventSourceHandle = EventSourceTag*;

// Null (last error set) for a remote server, which is not supported.
EventSourceHandle RegisterEventSource(const char* server, const std::string& source);
// Writes one record: the source, the event id and the strings joined by ": ".
bool ReportEvent(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                 const std::vector<std::string>& strings);
bool DeregisterEventSource(EventSourceHandle source);

}  // namespace zelko::platform
