#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "outside/error/error.h"

namespace zelko::shared::device {

// Texts are NUL-terminated and owned by the object that returns them, valid while it lives;
// objects likewise. None is a null pointer.

class IZelkoSpecificBornOnDate {
  public:
    virtual ~IZelkoSpecificBornOnDate() = default;
    virtual const char* GetDate() const = 0;
    virtual const error::Error& GetError() const = 0;
};

class IFeatureBytes {
  public:
    virtual ~IFeatureBytes() = default;
    virtual const error::Error& GetError() const = 0;
    virtual const char* GetRawBytes() const = 0;
    virtual const char* GetDeviceTypeName() const = 0;
    virtual int32_t GetDeviceType() const = 0;
};

class IZelkoSpecificInfo {
  public:
    virtual ~IZelkoSpecificInfo() = default;
    virtual const error::Error& GetError() const = 0;
    virtual const char* GetManufactureDate() const = 0;
    virtual const IZelkoSpecificBornOnDate* GetBornOnDate() const = 0;
    virtual const char* GetBuildID() const = 0;
    virtual const IFeatureBytes* GetFeatureBytes() const = 0;
    virtual const char* GetRegionShipped() const = 0;
    virtual const char* GetMarketSegment() const = 0;
    virtual const char* GetProductLineCode() const = 0;
    virtual const char* GetReleaseCycle() const = 0;
};

class IDeviceInfo {
  public:
    virtual ~IDeviceInfo() = default;
    virtual const char* GetClientType() const = 0;
    virtual const char* GetManufacturer() const = 0;
    virtual const char* GetModel() const = 0;
    virtual const char* GetSerialNumber() const = 0;
    virtual const char* GetBiosVersion() const = 0;
    virtual const char* GetSystemUuid() const = 0;
    virtual const char* GetBaseBoardId() const = 0;
    virtual int32_t GetDeviceType() = 0;
    virtual const char* GetDeviceTypeName() const = 0;
    virtual const char* GetFamily() const = 0;
    virtual const char* GetProductId() const = 0;
    virtual const char* GetMachineName() const = 0;
    virtual const char* GetDeviceSNRId() const = 0;
    virtual int32_t GetSupportedSleepStates() const = 0;
    virtual const IZelkoSpecificInfo* GetZelkoSpecificInfo() const = 0;
};

// The device this runs on: firmware (DMI) values from /sys/class/dmi/id ("" where a value cannot
// be read); the maker-specific values from kIdentityFile under the system root's ProgramData,
// when that file exists. The SNR id is the identity file's when it gives one, else derived from
// the machine's stable identifiers, so every instance in every process on one machine agrees.
class DeviceInfo : public IDeviceInfo {
  public:
    DeviceInfo();
    // Reads the firmware values from dmiFolder and the identity from identityFile (tests).
    DeviceInfo(const std::filesystem::path& dmiFolder, const std::filesystem::path& identityFile);
    DeviceInfo(const DeviceInfo&) = delete;
    DeviceInfo& operator=(const DeviceInfo&) = delete;
    ~DeviceInfo() override;

    const char* GetClientType() const override;
    const char* GetManufacturer() const override;
    const char* GetModel() const override;
    const char* GetSerialNumber() const override;
    const char* GetBiosVersion() const override;
    const char* GetSystemUuid() const override;
    const char* GetBaseBoardId() const override;
    int32_t GetDeviceType() override;
    const char* GetDeviceTypeName() const override;
    const char* GetFamily() const override;
    const char* GetProductId() const override;
    const char* GetMachineName() const override;
    const char* GetDeviceSNRId() const override;
    int32_t GetSupportedSleepStates() const override;
    const IZelkoSpecificInfo* GetZelkoSpecificInfo() const override;
    const char* GetFamilyFullName() const;

  private:
    struct Values;
    std::unique_ptr<Values> values_;
};

// Relative to the ProgramData folder of the system root.
inline constexpr const char* kIdentityFile = "Zelko/DeviceIdentity/device-identity.json";

}  // namespace zelko::shared::device
