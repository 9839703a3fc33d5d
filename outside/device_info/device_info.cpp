#include "outside/device_info/device_info.h"

#include <unistd.h>

#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "foundation/logging.h"
#include "platform/paths.h"

namespace zelko::shared::device {

namespace {

// Larger identity files are not read: the file holds a handful of short texts.
constexpr std::uintmax_t kMaxIdentityFileSize = 64 * 1024;

std::string Trim(std::string text) {
    const auto end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    const auto start = text.find_first_not_of(" \t\r\n");
    return start == std::string::npos ? std::string() : text.substr(start);
}

// One DMI value, "" when it cannot be read (many are readable by root only).
std::string ReadValue(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) return {};
    std::string line;
    std::getline(in, line);
    return Trim(line);
}

std::string Sha256Hex(const std::string& text) {
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < 16 && i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

// SMBIOS chassis types to the names the device type is known by.
std::string ChassisName(int type) {
    switch (type) {
        case 3: case 4: case 5: case 6: case 7: case 15: case 16: case 35: return "Desktop";
        case 8: case 9: case 10: case 14: return "Notebook";
        case 11: return "Handheld";
        case 13: return "All in One";
        case 17: case 23: case 28: case 29: return "Server";
        case 30: return "Tablet";
        case 31: return "Convertible";
        case 32: return "Detachable";
        case 36: return "Stick PC";
        default: return "Unknown";
    }
}

class BornOnDate : public IZelkoSpecificBornOnDate {
  public:
    explicit BornOnDate(std::string date) : date_(std::move(date)) {}
    const char* GetDate() const override { return date_.c_str(); }
    const error::Error& GetError() const override { return error_; }

  private:
    std::string date_;
    error::Error error_;
};

class FeatureBytes : public IFeatureBytes {
  public:
    FeatureBytes(std::string raw, std::string typeName, int32_t type)
        : raw_(std::move(raw)), typeName_(std::move(typeName)), type_(type) {}
    const error::Error& GetError() const override { return error_; }
    const char* GetRawBytes() const override { return raw_.c_str(); }
    const char* GetDeviceTypeName() const override { return typeName_.c_str(); }
    int32_t GetDeviceType() const override { return type_; }

  private:
    std::string raw_;
    std::string typeName_;
    int32_t type_;
    error::Error error_;
};

class SpecificInfo : public IZelkoSpecificInfo {
  public:
    std::string manufactureDate, buildId, regionShipped, marketSegment, productLineCode, releaseCycle;
    std::optional<BornOnDate> bornOn;
    std::optional<FeatureBytes> featureBytes;
    error::Error error;

    const error::Error& GetError() const override { return error; }
    const char* GetManufactureDate() const override { return manufactureDate.c_str(); }
    const IZelkoSpecificBornOnDate* GetBornOnDate() const override { return bornOn ? &*bornOn : nullptr; }
    const char* GetBuildID() const override { return buildId.c_str(); }
    const IFeatureBytes* GetFeatureBytes() const override { return featureBytes ? &*featureBytes : nullptr; }
    const char* GetRegionShipped() const override { return regionShipped.c_str(); }
    const char* GetMarketSegment() const override { return marketSegment.c_str(); }
    const char* GetProductLineCode() const override { return productLineCode.c_str(); }
    const char* GetReleaseCycle() const override { return releaseCycle.c_str(); }
};

// The identity file as an object, or null when it is missing or damaged (logged).
nlohmann::json ReadIdentity(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return nullptr;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxIdentityFileSize) {
        LOG_WARNING << "Device identity file " << file.string() << " is unreadable or too large; ignored";
        return nullptr;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    auto document = nlohmann::json::parse(text.str(), nullptr, false);
    if (!document.is_object()) {
        LOG_WARNING << "Device identity file " << file.string() << " is not a JSON object; ignored";
        return nullptr;
    }
    return document;
}

}  // namespace

struct DeviceInfo::Values {
    std::string clientType = "PC";
    std::string manufacturer, model, serialNumber, biosVersion, systemUuid, baseBoardId, family, machineName;
    std::string deviceTypeName, snrId, familyFullName;
    std::optional<std::string> productId;
    int32_t deviceType = 0;
    int32_t sleepStates = 0;
    std::optional<SpecificInfo> specific;
};

DeviceInfo::DeviceInfo()
    : DeviceInfo("/sys/class/dmi/id", platform::ProgramDataFolder() / kIdentityFile) {}

DeviceInfo::DeviceInfo(const std::filesystem::path& dmiFolder, const std::filesystem::path& identityFile)
    : values_(std::make_unique<Values>()) {
    Values& v = *values_;
    v.manufacturer = ReadValue(dmiFolder / "sys_vendor");
    v.model = ReadValue(dmiFolder / "product_name");
    v.serialNumber = ReadValue(dmiFolder / "product_serial");
    v.biosVersion = ReadValue(dmiFolder / "bios_version");
    v.systemUuid = ReadValue(dmiFolder / "product_uuid");
    v.baseBoardId = ReadValue(dmiFolder / "board_name");
    v.family = ReadValue(dmiFolder / "product_family");
    v.familyFullName = Trim(v.manufacturer + " " + v.family);
    try {
        v.deviceType = std::stoi(ReadValue(dmiFolder / "chassis_type"));
    } catch (...) {
        v.deviceType = 0;
    }
    v.deviceTypeName = ChassisName(v.deviceType);
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) == 0) v.machineName = host;
    // Bit n: sleep state Sn (bit 0: modern standby) as the kernel offers them.
    const std::string states = ReadValue("/sys/power/state");
    if (states.find("freeze") != std::string::npos) v.sleepStates |= 1;
    if (states.find("mem") != std::string::npos) v.sleepStates |= 1 << 3;
    if (states.find("disk") != std::string::npos) v.sleepStates |= 1 << 4;

    const nlohmann::json identity = ReadIdentity(identityFile);
    auto text = [&](const char* key) -> std::optional<std::string> {
        if (!identity.is_object()) return std::nullopt;
        auto it = identity.find(key);
        if (it == identity.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    auto number = [&](const char* key) -> int32_t {
        if (!identity.is_object()) return 0;
        auto it = identity.find(key);
        return it != identity.end() && it->is_number_integer() ? it->get<int32_t>() : 0;
    };
    if (identity.is_object()) {
        for (const auto& [key, value] : identity.items()) {
            if (!value.is_string() && !(key == "DeviceType" && value.is_number_integer()))
                LOG_WARNING << "Device identity file " << identityFile.string() << ": \"" << key
                            << "\" has the wrong type; ignored";
        }
        SpecificInfo& s = v.specific.emplace();
        s.manufactureDate = text("ManufactureDate").value_or("");
        s.buildId = text("BuildID").value_or("");
        s.regionShipped = text("RegionShipped").value_or("");
        s.marketSegment = text("MarketSegment").value_or("");
        s.productLineCode = text("ProductLineCode").value_or("");
        s.releaseCycle = text("ReleaseCycle").value_or("");
        if (auto date = text("BornOnDate")) s.bornOn.emplace(*date);
        if (auto raw = text("FeatureBytes"))
            s.featureBytes.emplace(*raw, text("FeatureDeviceTypeName").value_or(v.deviceTypeName), number("DeviceType"));
        v.productId = text("ProductId");
    }
    // The identity that keys the encrypted files: the same in every process on this machine.
    if (auto snr = text("SNRId"); snr && !snr->empty()) {
        v.snrId = *snr;
    } else {
        // The machine id first: every user may read it, the firmware UUID only root.
        std::string seed = ReadValue("/etc/machine-id");
        if (seed.empty()) seed = ReadValue("/var/lib/dbus/machine-id");
        if (seed.empty()) seed = v.systemUuid;
        if (seed.empty()) seed = v.machineName;
        v.snrId = Sha256Hex("zelko-snr:" + seed);
    }
}

DeviceInfo::~DeviceInfo() = default;

const char* DeviceInfo::GetClientType() const { return values_->clientType.c_str(); }
const char* DeviceInfo::GetManufacturer() const { return values_->manufacturer.c_str(); }
const char* DeviceInfo::GetModel() const { return values_->model.c_str(); }
const char* DeviceInfo::GetSerialNumber() const { return values_->serialNumber.c_str(); }
const char* DeviceInfo::GetBiosVersion() const { return values_->biosVersion.c_str(); }
const char* DeviceInfo::GetSystemUuid() const { return values_->systemUuid.c_str(); }
const char* DeviceInfo::GetBaseBoardId() const { return values_->baseBoardId.c_str(); }
int32_t DeviceInfo::GetDeviceType() { return values_->deviceType; }
const char* DeviceInfo::GetDeviceTypeName() const { return values_->deviceTypeName.c_str(); }
const char* DeviceInfo::GetFamily() const { return values_->family.c_str(); }
const char* DeviceInfo::GetProductId() const { return values_->productId ? values_->productId->c_str() : nullptr; }
const char* DeviceInfo::GetMachineName() const { return values_->machineName.c_str(); }
const char* DeviceInfo::GetDeviceSNRId() const { return values_->snrId.c_str(); }
int32_t DeviceInfo::GetSupportedSleepStates() const { return values_->sleepStates; }
const IZelkoSpecificInfo* DeviceInfo::GetZelkoSpecificInfo() const {
    return values_->specific ? &*values_->specific : nullptr;
}
const char* DeviceInfo::GetFamilyFullName() const { return values_->familyFullName.c_str(); }

}  // namespace zelko::shared::device
