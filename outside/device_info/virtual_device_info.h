#pragma once

// Device impersonation for tests: a device described by "device-info-config.json", where every
// text the file does not give is copied from the real device when the virtual one is built. The
// file's content is checked at construction (a fault raises the JSON library's type error), except
// the three numbers, which are read, and may raise, at every call.

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "outside/device_info/device_info.h"

namespace zelko::shared::device {

class VirtualFeatureBytes : public IFeatureBytes {
  public:
    // The feature-byte text is rebuilt: the codes before the first "." sorted, then "." and the
    // text up to a second ".".
    VirtualFeatureBytes(const nlohmann::json& document, const IFeatureBytes* real);
    const error::Error& GetError() const override { return _error; }
    const char* GetRawBytes() const override { return _raw_bytes.c_str(); }
    const char* GetDeviceTypeName() const override { return _device_type_name.c_str(); }
    int32_t GetDeviceType() const override;

  private:
    nlohmann::json _document;
    error::Error _error;
    std::string _raw_bytes;
    std::string _device_type_name;
};

class VirtualZelkoSpecificBornOnDate : public IZelkoSpecificBornOnDate {
  public:
    VirtualZelkoSpecificBornOnDate(const nlohmann::json& document, const IZelkoSpecificBornOnDate* real);
    const char* GetDate() const override { return _date.c_str(); }
    const error::Error& GetError() const override { return _error; }

  private:
    nlohmann::json _document;
    error::Error _error;
    std::string _date;
};

class VirtualZelkoSpecificInfo : public IZelkoSpecificInfo {
  public:
    VirtualZelkoSpecificInfo(const nlohmann::json& document, const IZelkoSpecificInfo* real);
    const error::Error& GetError() const override { return _error; }
    const char* GetManufactureDate() const override { return _manufacture_date.c_str(); }
    const IZelkoSpecificBornOnDate* GetBornOnDate() const override { return &_born_on_date; }
    const char* GetBuildID() const override { return _build_id.c_str(); }
    const IFeatureBytes* GetFeatureBytes() const override { return &_feature_bytes; }
    const char* GetRegionShipped() const override { return _region_shipped.c_str(); }
    const char* GetMarketSegment() const override { return _market_segment.c_str(); }
    const char* GetProductLineCode() const override { return _product_line_code.c_str(); }
    const char* GetReleaseCycle() const override { return _release_cycle.c_str(); }

  private:
    nlohmann::json _document;
    VirtualFeatureBytes _feature_bytes;
    VirtualZelkoSpecificBornOnDate _born_on_date;
    error::Error _error;
    std::string _manufacture_date;
    std::string _build_id;
    std::string _region_shipped;
    std::string _market_segment;
    std::string _product_line_code;
    std::string _release_cycle;
};

class VirtualDeviceInfo : public IDeviceInfo {
  public:
    // Copies what it needs of the real device, which may be let go afterwards.
    VirtualDeviceInfo(const nlohmann::json& document, const std::shared_ptr<IDeviceInfo>& real);

    const char* GetClientType() const override { return _client_type.c_str(); }
    const char* GetManufacturer() const override { return _manufacturer.c_str(); }
    const char* GetModel() const override { return _model.c_str(); }
    const char* GetSerialNumber() const override { return _serial_number.c_str(); }
    const char* GetBiosVersion() const override { return _bios_version.c_str(); }
    const char* GetSystemUuid() const override { return _system_uuid.c_str(); }
    const char* GetBaseBoardId() const override { return _base_board_id.c_str(); }
    int32_t GetDeviceType() override;
    const char* GetDeviceTypeName() const override { return _device_type_name.c_str(); }
    const char* GetFamily() const override { return _family.c_str(); }
    const char* GetProductId() const override { return _product_id.c_str(); }
    const char* GetMachineName() const override { return _machine_name.c_str(); }
    const char* GetDeviceSNRId() const override { return _device_snr_id.c_str(); }
    int32_t GetSupportedSleepStates() const override;
    const IZelkoSpecificInfo* GetZelkoSpecificInfo() const override { return &_specific_info; }

  private:
    nlohmann::json _document;
    VirtualZelkoSpecificInfo _specific_info;
    error::Error _error;
    std::string _client_type;
    std::string _manufacturer;
    std::string _model;
    std::string _serial_number;
    std::string _bios_version;
    std::string _system_uuid;
    std::string _base_board_id;
    std::string _device_type_name;
    std::string _family;
    std::string _product_id;
    std::string _machine_name;
    std::string _device_snr_id;
};

}  // namespace zelko::shared::device

namespace zelko::plenar::agent {

inline constexpr char kDeviceInfoConfigFileName[] = "device-info-config.json";

// The main configuration's "cloud" object; an empty one when it is absent, and, with one warning
// naming the document and the key, when it is not an object. Read once, by everyone, this way.
nlohmann::json CloudSetting(const nlohmann::json& agent_config);

// True when the main configuration asks for impersonation ("cloud" → "impersonate" is true). A
// "cloud" that is not an object, or an "impersonate" that is not a boolean, is logged and asks
// for none.
bool ImpersonationRequested(const nlohmann::json& agent_config);

// The device identity the service works with: `real`, or, when the main configuration asks for
// impersonation, a VirtualDeviceInfo built from "device-info-config.json" in `config_folder` over
// `real`. A missing or unreadable file is logged with its name and makes the construction raise;
// so does any fault of the file's content. The service and the plug-ins derive the same identity
// through this one function.
std::shared_ptr<shared::device::IDeviceInfo> MakeDeviceInfo(
    const nlohmann::json& agent_config, const std::filesystem::path& config_folder,
    std::shared_ptr<shared::device::IDeviceInfo> real);
// The same over a new DeviceInfo of this machine.
std::shared_ptr<shared::device::IDeviceInfo> MakeDeviceInfo(const nlohmann::json& agent_config,
                                                            const std::filesystem::path& config_folder);

}  // namespace zelko::plenar::agent
