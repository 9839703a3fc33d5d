#pragma once

// Power, AC/DC, device-interface and network connectivity notifications. On Linux the sources are fed by
// injection (tests, the agent's control channel) and delivered in order on one notification thread of the
// process, the way the system delivers them on threads of its own.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/guid.h"

namespace zelko::platform {

// Power broadcast types.
constexpr uint32_t kPbtApmSuspend = 4;
constexpr uint32_t kPbtApmResumeSuspend = 7;     // resume after user input
constexpr uint32_t kPbtApmResumeAutomatic = 18;  // automatic resume
constexpr uint32_t kPbtPowerSettingChange = 0x8013;

// Device broadcast event types and device types.
constexpr uint32_t kDbtDeviceArrival = 0x8000;
constexpr uint32_t kDbtDeviceQueryRemove = 0x8001;
constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDbtDevtypVolume = 2;
constexpr uint32_t kDbtDevtypDeviceInterface = 5;

// Service controls that service-handle registrations deliver (the same numbers as the service
// control layer's device and power event controls).
constexpr uint32_t kNotifyDeviceEventControl = 11;
constexpr uint32_t kNotifyPowerEventControl = 13;

// Power settings: Modern Standby entered (data byte 1) or left (0); the AC/DC power source.
inline constexpr Guid kModernStandbySetting{
    0xE1233993, 0xEAA4, 0x470F, {0x9D, 0xE7, 0xA3, 0x51, 0xC1, 0xB6, 0xFB, 0x71}};
inline constexpr Guid kAcDcPowerSourceSetting{
    0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}};
// AC/DC setting values.
constexpr uint32_t kPowerSourceAc = 0;
constexpr uint32_t kPowerSourceDc = 1;
constexpr uint32_t kPowerSourceShortTerm = 2;

// Portable device-broadcast records with the system's layout (UTF-16 device name).
struct DeviceBroadcastHeader {
    uint32_t dbch_size;
    uint32_t dbch_devicetype;
    uint32_t dbch_reserved;
};

struct DeviceBroadcastInterface {
    uint32_t dbcc_size;
    uint32_t dbcc_devicetype;
    uint32_t dbcc_reserved;
    Guid dbcc_classguid;
    char16_t dbcc_name[1];
};
static_assert(sizeof(DeviceBroadcastInterface) == 32);

struct PowerBroadcastSetting {
    Guid PowerSetting;
    uint32_t DataLength;
    uint8_t Data[1];
};

// Owned record bytes, suitably aligned for the structures above.
using RecordBytes = std::vector<uint8_t>;

// A device-interface record of the given class and name; its size counts the name and its NUL.
RecordBytes MakeDeviceInterfaceBroadcast(const Guid& interface_class, std::u16string_view name);
// A record of another device type: just the header.
RecordBytes MakeDeviceBroadcastHeader(uint32_t device_type);
RecordBytes MakePowerBroadcastSetting(const Guid& setting, const std::vector<uint8_t>& data);

// Reads a record that came from outside without trusting it: null, or a size smaller than the part
// about to be read, gives nothing. The name stops at its NUL or at the record's end.
std::optional<uint32_t> ReadBroadcastDeviceType(const void* record);
struct DeviceInterfaceInfo {
    uint32_t size = 0;
    Guid interface_class;
    std::u16string name;
};
std::optional<DeviceInterfaceInfo> ReadDeviceInterfaceBroadcast(const void* record);
// The first data byte of a power setting, when the record holds one.
std::optional<uint8_t> ReadPowerSettingByte(const PowerBroadcastSetting* setting);

// Registrations. Handles are non-zero; 0 means the registration failed.
using NotificationHandle = uint64_t;

// Callback registrations: called on the notification thread; the result is ignored, as the system does.
using SuspendResumeCallback = std::function<uint32_t(uint32_t type, const void* setting)>;
using PowerSettingCallback = std::function<uint32_t(uint32_t type, const PowerBroadcastSetting* setting)>;
NotificationHandle RegisterSuspendResumeNotification(SuspendResumeCallback callback);
NotificationHandle RegisterPowerSettingNotification(const Guid& setting, PowerSettingCallback callback);

// Service-handle registrations: delivered as service controls, device events as (11, event type,
// record), power settings as (13, 0x8013, PowerBroadcastSetting*).
using ServiceControlSink = std::function<void(uint32_t control, uint32_t event_type, const void* data)>;
NotificationHandle RegisterDeviceInterfaceNotification(ServiceControlSink sink);
NotificationHandle RegisterServicePowerSettingNotification(const Guid& setting, ServiceControlSink sink);

// Network connectivity changes with the new NLM_CONNECTIVITY flags (platform/network.h).
using NetworkConnectivityCallback = std::function<void(uint32_t flags)>;
NotificationHandle RegisterNetworkConnectivityNotification(NetworkConnectivityCallback callback);

// Ends any registration. Once it returns, the registration's callback is not running and will not
// run again (unless called from inside that callback).
bool UnregisterNotification(NotificationHandle handle);

// Injection: queued and delivered on the notification thread, in order, to every matching registration.
void InjectSuspendResume(uint32_t type);
void InjectPowerSetting(const Guid& setting, std::vector<uint8_t> data);
void InjectDeviceEvent(uint32_t event_type, RecordBytes record);
void InjectNetworkConnectivity(uint32_t flags);

// One-line commands for injecting from outside the process:
//   power suspend | power resume | power resume-user | power <type>
//   standby enter | standby exit
//   acdc ac | acdc dc | acdc ups
//   device arrival|removal|query-remove|<event type> <interface class GUID> [device name]
//   volume arrival|removal
//   network connected|disconnected|ipv6|<flags>   also holds the probe's answer at that state
//   network auto                                    back to the machine's own state, announced
// Returns false with a reason for anything else.
bool InjectNotificationCommand(std::string_view command, std::string* error = nullptr);

// Blocks until everything injected before the call has been delivered (tests).
void FlushNotifications();

}  // namespace zelko::platform
