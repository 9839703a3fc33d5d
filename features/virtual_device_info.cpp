#include "features/virtual_device_info.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"

namespace zelko::shared::device {

namespace {

using nlohmann::json;

// The parent's object under `key`, or an empty object when absent. A parent that is not an object
// raises "cannot use value() with <type>".
json ObjectOf(const json& parent, const char* key) { return parent.value(key, json::object()); }

// The text under `key`, or the fallback (the real device's answer, "" for none). A value that is
// not a text raises "type must be string, but is <type>".
std::string TextOf(const json& object, const char* key, const char* fallback) {
    return object.value(key, std::string(fallback ? fallback : ""));
}

// An integer unchanged, a floating-point number cut toward zero, a boolean as 1 or 0; anything else,
// a missing key included, raises "type must be number, but is <type>".
int32_t NumberOf(const json& object, const char* key) {
    const json& value = object.is_object() && object.contains(key) ? object[key] : json();
    if (value.is_number()) {
        const double number = value.get<double>();
        const bool fits =
            value.is_number_integer()
                ? (value.is_number_unsigned()
                       ? value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                       : value.get<int64_t>() >= std::numeric_limits<int32_t>::min() &&
                             value.get<int64_t>() <= std::numeric_limits<int32_t>::max())
                : std::isfinite(number) && std::trunc(number) >= std::numeric_limits<int32_t>::min() &&
                      std::trunc(number) <= std::numeric_limits<int32_t>::max();
        if (!fits)
            throw std::out_of_range(std::string(key) + " does not fit a 32-bit integer: " + value.dump());
    }
    return value.get<int32_t>();
}

// The codes before the first "." taken two characters at a time and sorted by their bytes, then "."
// and the text between the first and a second ".".
std::string RebuildFeatureBytes(const std::string& raw) {
    const std::vector<std::string> pieces = zelko::plenar::agent::Utils::Split(raw, ".");
    std::vector<std::string> codes;
    for (size_t at = 0; at < pieces[0].size(); at += 2) codes.push_back(pieces[0].substr(at, 2));
    std::sort(codes.begin(), codes.end());
    std::string text;
    for (const auto& code : codes) text += code;
    return text + "." + (pieces.size() > 1 ? pieces[1] : "");
}

json SpecificInfoOf(const json& document) {
    return ObjectOf(ObjectOf(document, "DeviceInfo"), "ZelkoSpecificInfo");
}

}  // namespace

VirtualFeatureBytes::VirtualFeatureBytes(const json& document, const IFeatureBytes* real)
    : _document(ObjectOf(SpecificInfoOf(document), "FeatureByte")) {
    _raw_bytes = RebuildFeatureBytes(TextOf(_document, "RawBytes", real ? real->GetRawBytes() : nullptr));
    _device_type_name = TextOf(_document, "DeviceTypeName", real ? real->GetDeviceTypeName() : nullptr);
}

int32_t VirtualFeatureBytes::GetDeviceType() const { return NumberOf(_document, "DeviceType"); }

VirtualZelkoSpecificBornOnDate::VirtualZelkoSpecificBornOnDate(const json& document,
                                                               const IZelkoSpecificBornOnDate* real)
    : _document(ObjectOf(SpecificInfoOf(document), "BornOnDate")) {
    _date = TextOf(_document, "BornOnDate", real ? real->GetDate() : nullptr);
}

VirtualZelkoSpecificInfo::VirtualZelkoSpecificInfo(const json& document, const IZelkoSpecificInfo* real)
    : _feature_bytes(document, real ? real->GetFeatureBytes() : nullptr),
      _born_on_date(document, real ? real->GetBornOnDate() : nullptr) {
    _document = SpecificInfoOf(document);
    auto text = [&](const char* key, const char* (IZelkoSpecificInfo::*get)() const) {
        return TextOf(_document, key, real ? (real->*get)() : nullptr);
    };
    _manufacture_date = text("ManufactureDate", &IZelkoSpecificInfo::GetManufactureDate);
    _build_id = text("BuildID", &IZelkoSpecificInfo::GetBuildID);
    _region_shipped = text("RegionShipped", &IZelkoSpecificInfo::GetRegionShipped);
    _market_segment = text("MarketSegment", &IZelkoSpecificInfo::GetMarketSegment);
    _product_line_code = text("ProductLineCode", &IZelkoSpecificInfo::GetProductLineCode);
    _release_cycle = text("ReleaseCycle", &IZelkoSpecificInfo::GetReleaseCycle);
}

VirtualDeviceInfo::VirtualDeviceInfo(const json& document, const std::shared_ptr<IDeviceInfo>& real)
    : _specific_info(document, real ? real->GetZelkoSpecificInfo() : nullptr) {
    _document = ObjectOf(document, "DeviceInfo");
    auto text = [&](const char* key, const char* (IDeviceInfo::*get)() const) {
        return TextOf(_document, key, real ? (real.get()->*get)() : nullptr);
    };
    _client_type = text("ClientType", &IDeviceInfo::GetClientType);
    _manufacturer = text("Manufacturer", &IDeviceInfo::GetManufacturer);
    _model = text("Model", &IDeviceInfo::GetModel);
    _serial_number = text("SerialNumber", &IDeviceInfo::GetSerialNumber);
    _bios_version = text("BiosVersion", &IDeviceInfo::GetBiosVersion);
    _system_uuid = text("SystemUuid", &IDeviceInfo::GetSystemUuid);
    _base_board_id = text("BaseBoardId", &IDeviceInfo::GetBaseBoardId);
    _device_type_name = text("DeviceTypeName", &IDeviceInfo::GetDeviceTypeName);
    _family = text("Family", &IDeviceInfo::GetFamily);
    _product_id = text("ProductId", &IDeviceInfo::GetProductId);
    _machine_name = text("MachineName", &IDeviceInfo::GetMachineName);
    _device_snr_id = text("DeviceSNRId", &IDeviceInfo::GetDeviceSNRId);
}

int32_t VirtualDeviceInfo::GetDeviceType() { return NumberOf(_document, "DeviceType"); }

int32_t VirtualDeviceInfo::GetSupportedSleepStates() const {
    return NumberOf(_document, "SupportedSleepStates");
}

}  // namespace zelko::shared::device

namespace zelko::plenar::agent {

bool ImpersonationRequested(const nlohmann::json& agent_config) {
    constexpr char kDocument[] = "zelko-plenar-agent-config.json";
    // Both are optional: absent means no impersonation, without a warning.
    if (!Settings::Has(agent_config, "cloud")) return false;
    const nlohmann::json cloud = Settings::Object(agent_config, kDocument, "cloud");
    return Settings::Has(cloud, "impersonate") && Settings::Bool(cloud, kDocument, "impersonate", false);
}

std::shared_ptr<shared::device::IDeviceInfo> MakeDeviceInfo(
    const nlohmann::json& agent_config, const std::filesystem::path& config_folder,
    std::shared_ptr<shared::device::IDeviceInfo> real) {
    if (!ImpersonationRequested(agent_config)) return real;
    LOG_INFO << "Instantiating VirtualDeviceInfo to impersonate device";
    const auto path = config_folder / kDeviceInfoConfigFileName;
    nlohmann::json document;  // null unless the file reads: the construction then raises
    try {
        document = Utils::LoadJsonFile(path);
    } catch (const std::exception& e) {
        LOG_ERROR << "Failed to load " << path.string() << " for the impersonated device: " << e.what();
    }
    return std::make_shared<shared::device::VirtualDeviceInfo>(document, real);
}

std::shared_ptr<shared::device::IDeviceInfo> MakeDeviceInfo(const nlohmann::json& agent_config,
                                                            const std::filesystem::path& config_folder) {
    return MakeDeviceInfo(agent_config, config_folder, std::make_shared<shared::device::DeviceInfo>());
}

}  // namespace zelko::plenar::agent
