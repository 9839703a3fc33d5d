#pragma once

#include <stdexcept>
#include <string>

#include "outside/device_info/device_info.h"

namespace zelko::testing {

// Device information with fixed values the test may change before handing the object out.
class FakeDeviceInfo : public shared::device::IDeviceInfo {
  public:
    std::string clientType = "desktop";
    std::string manufacturer = "Zelko";
    std::string model = "Plenar 14";
    std::string serialNumber = "SN12345";
    std::string biosVersion = "1.0";
    std::string systemUuid = "4C4C4544-0031-3910-8050-B4C04F4E3732";
    std::string baseBoardId = "BB77";
    std::string family = "Plenar";
    std::string productId = "PID-900";
    std::string machineName = "test-pc";
    std::string snrId = "SNR0001";

    const char* GetClientType() const override { return clientType.c_str(); }
    const char* GetManufacturer() const override { return manufacturer.c_str(); }
    const char* GetModel() const override { return model.c_str(); }
    const char* GetSerialNumber() const override { return serialNumber.c_str(); }
    const char* GetBiosVersion() const override { return biosVersion.c_str(); }
    const char* GetSystemUuid() const override { return systemUuid.c_str(); }
    const char* GetBaseBoardId() const override { return baseBoardId.c_str(); }
    int32_t GetDeviceType() override { return 1; }
    const char* GetDeviceTypeName() const override { return "Notebook"; }
    const char* GetFamily() const override { return family.c_str(); }
    const char* GetProductId() const override { return productId.c_str(); }
    const char* GetMachineName() const override { return machineName.c_str(); }
    const char* GetDeviceSNRId() const override { return snrId.c_str(); }
    int32_t GetSupportedSleepStates() const override { return 0; }
    const shared::device::IZelkoSpecificInfo* GetZelkoSpecificInfo() const override { return nullptr; }
};

// Device information that answers "" and 0 but for the values the test gives it; GetSystemUuid raises
// while uuidThrows is set, as on a machine without an SMBIOS table.
class BlankDeviceInfo : public shared::device::IDeviceInfo {
  public:
    std::string manufacturer;
    std::string serialNumber;
    std::string systemUuid;
    std::string snrId;
    bool uuidThrows = false;

    const char* GetClientType() const override { return ""; }
    const char* GetManufacturer() const override { return manufacturer.c_str(); }
    const char* GetModel() const override { return ""; }
    const char* GetSerialNumber() const override { return serialNumber.c_str(); }
    const char* GetBiosVersion() const override { return ""; }
    const char* GetSystemUuid() const override {
        if (uuidThrows) throw std::runtime_error("no SMBIOS table");
        return systemUuid.c_str();
    }
    const char* GetBaseBoardId() const override { return ""; }
    int32_t GetDeviceType() override { return 0; }
    const char* GetDeviceTypeName() const override { return ""; }
    const char* GetFamily() const override { return ""; }
    const char* GetProductId() const override { return ""; }
    const char* GetMachineName() const override { return ""; }
    const char* GetDeviceSNRId() const override { return snrId.c_str(); }
    int32_t GetSupportedSleepStates() const override { return 0; }
    const shared::device::IZelkoSpecificInfo* GetZelkoSpecificInfo() const override { return nullptr; }
};

}  // namespace zelko::testing
