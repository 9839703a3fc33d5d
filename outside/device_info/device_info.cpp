#include "outside/device_info/device_info.h"

namespace zelko::shared::device {

struct DeviceInfo::Values {};

DeviceInfo::DeviceInfo() : values_(std::make_unique<Values>()) {}
DeviceInfo::DeviceInfo(const std::filesystem::path&, const std::filesystem::path&)
    : values_(std::make_unique<Values>()) {}
DeviceInfo::~DeviceInfo() = default;
const char* DeviceInfo::GetClientType() const { return ""; }
const char* DeviceInfo::GetManufacturer() const { return ""; }
const char* DeviceInfo::GetModel() const { return ""; }
const char* DeviceInfo::GetSerialNumber() const { return ""; }
const char* DeviceInfo::GetBiosVersion() const { return ""; }
const char* DeviceInfo::GetSystemUuid() const { return ""; }
const char* DeviceInfo::GetBaseBoardId() const { return ""; }
int32_t DeviceInfo::GetDeviceType() { return 0; }
const char* DeviceInfo::GetDeviceTypeName() const { return ""; }
const char* DeviceInfo::GetFamily() const { return ""; }
const char* DeviceInfo::GetProductId() const { return nullptr; }
const char* DeviceInfo::GetMachineName() const { return ""; }
const char* DeviceInfo::GetDeviceSNRId() const { return ""; }
int32_t DeviceInfo::GetSupportedSleepStates() const { return 0; }
const IZelkoSpecificInfo* DeviceInfo::GetZelkoSpecificInfo() const { return nullptr; }
const char* DeviceInfo::GetFamilyFullName() const { return ""; }

}  // namespace zelko::shared::device
