#pragma once

// Writing to the system event log under a named source (on Linux: syslog), and subscriptions to
// entries of its channels (on Linux: the simulated source below).

#include <cstdint>
#include <filesystem>
#include <optional>
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

// ---- Subscriptions ---------------------------------------------------------------------------------
//
// Linux has no system event log. The simulated source keeps one folder per channel,
// <system root>/EventLog/<channel>/ (a channel such as "A/Operational" is a nested folder), and one
// entry per file ending in ".json" there: {"event_id": 0..65535, "level": 0..255 (default 4),
// "xml": the entry's XML (default: made from the other values)}. A subscription sees the entries
// written after it opened. An entry file that cannot be read as such an entry reaches the
// subscriptions of its channel as an error notification; EvtGetExtendedStatus on the callback's
// thread then names the file and what is wrong with it. All the subscriptions of the process share
// one watcher (one thread, one inotify instance, one watch per channel folder), started with the
// first and ended with the last.

// Errors of the event-log calls, numbered as the system numbers them.
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorEvtInvalidQuery = 15001;
constexpr uint32_t kErrorEvtChannelNotFound = 15007;

struct EvtObject;
// A subscription, an entry handed to a subscription callback, or a render context.
using EvtHandle = EvtObject*;

enum EvtSubscribeNotifyAction : uint32_t {
    EvtSubscribeActionError = 0,    // the event argument is an error number, not a handle
    EvtSubscribeActionDeliver = 1,  // the event argument is an entry, valid during the callback
};
constexpr uint32_t kEvtSubscribeToFutureEvents = 1;
constexpr uint32_t kEvtRenderContextValues = 0;
constexpr uint32_t kEvtRenderEventValues = 0;
constexpr uint32_t kEvtRenderEventXml = 1;

enum EvtVariantType : uint32_t {
    EvtVarTypeNull = 0,
    EvtVarTypeString = 1,
    EvtVarTypeByte = 4,
    EvtVarTypeUInt16 = 6,
    EvtVarTypeUInt64 = 10,
};
// One rendered value. A values buffer holds one variant per path of the render context, followed
// by the texts the string values point at.
struct EvtVariant {
    union {
        const char16_t* StringVal;
        uint8_t ByteVal;
        uint16_t UInt16Val;
        uint64_t UInt64Val;
    };
    uint32_t Count;
    uint32_t Type;
};

// Runs on a thread of the event log; its return value is not looked at.
using EvtSubscribeCallback = uint32_t (*)(EvtSubscribeNotifyAction action, void* context, EvtHandle event);

// Only the local computer (null session), push subscriptions (callback, no signal event, no bookmark)
// and future events are supported. A structured XML query (<QueryList>...) names its channels in the
// Path attributes of its Select and Suppress elements and the channel path is not used; any other
// query needs the channel path. An entry matches a Select when its channel is the Select's Path and
// its id is one of the Select's "EventID=n" tests (any id when it has none), and no Suppress of its
// channel matches it. Null with the last error set (kErrorEvtInvalidQuery, kErrorEvtChannelNotFound,
// kErrorInvalidParameter, kErrorNotSupported) when the subscription cannot be made; when the
// channel cannot be watched (its folder, or a limit on watches, instances or descriptors) the last
// error is the file system's and EvtGetExtendedStatus names the cause.
EvtHandle EvtSubscribe(EvtHandle session, void* signal_event, const char16_t* channel_path,
                       const char16_t* query, EvtHandle bookmark, void* context,
                       EvtSubscribeCallback callback, uint32_t flags);

// Values paths supported: "Event/System/Channel" (string), "Event/System/EventID" (UInt16),
// "Event/System/Level" (Byte), "Event/System/EventRecordID" (UInt64); any other path renders as a
// null value. Only kEvtRenderContextValues is supported.
EvtHandle EvtCreateRenderContext(uint32_t value_paths_count, const char16_t* const* value_paths,
                                 uint32_t flags);

// Renders an entry: kEvtRenderEventXml writes its XML with a NUL (context null); kEvtRenderEventValues
// writes the values of the render context. Sizes are in bytes. When the buffer is too small: false,
// last error kErrorInsufficientBuffer and *buffer_used the size needed.
bool EvtRender(EvtHandle context, EvtHandle fragment, uint32_t flags, uint32_t buffer_size, void* buffer,
               uint32_t* buffer_used, uint32_t* property_count);

// Closes any handle. Once a subscription's close returns, its callback is not running and will
// not run again (unless the close is called from inside that callback). False (kErrorInvalidHandle)
// for a handle that is not open.
bool EvtClose(EvtHandle object);

// The text of the last failure that the event log reported on this thread; empty when none.
std::string EvtGetExtendedStatus();

// Writes one entry into the channel's folder (made when missing), as another process would.
// Returns the entry file's path, or nothing with the last error set (kErrorEvtChannelNotFound for a
// channel name that cannot be a folder, or the file system's error).
std::optional<std::filesystem::path> WriteEventLogEntry(const std::u16string& channel, uint16_t event_id,
                                                        uint8_t level = 4,
                                                        const std::optional<std::string>& xml = {});

// A one-line command for raising an entry from outside the process:
//   raise <channel> <event id> [<level>]
// Returns the entry file's path, or nothing with the reason in *error.
std::optional<std::filesystem::path> RaiseEventLogCommand(const std::vector<std::string>& words,
                                                          std::string* error = nullptr);

// Subscriptions of this process that are open now (tests).
size_t OpenEventLogSubscriptions();

}  // namespace zelko::platform
