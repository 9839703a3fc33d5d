#include "outside/device_enumeration/device_enumeration.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <system_error>

#include "foundation/logging.h"
#include "platform/paths.h"

namespace zelko::shared::device_enumeration {

namespace {

// The simulation file lists a handful of ids; anything larger is not it.
constexpr std::uintmax_t kMaxSimulatedFileSize = 1 << 20;

std::string ReadLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (in) std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::optional<unsigned long> ReadHex(const std::filesystem::path& file) {
    const std::string text = ReadLine(file);
    if (text.empty()) return std::nullopt;
    try {
        size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 16);
        if (used != text.size()) return std::nullopt;
        return value;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Sorted, so the order does not depend on the file system.
std::vector<std::filesystem::path> Children(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> children;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path());
    std::sort(children.begin(), children.end());
    return children;
}

void AddAcpiDevices(const std::filesystem::path& sys, std::vector<Device>& devices) {
    for (const auto& device : Children(sys / "bus" / "acpi" / "devices")) {
        const std::string hid = ReadLine(device / "hid");
        if (hid.size() == 8) {
            devices.emplace_back("ACPI\\VEN_" + hid.substr(0, 4) + "&DEV_" + hid.substr(4));
        } else if (!hid.empty()) {
            devices.emplace_back("ACPI\\" + hid);
        }
    }
}

void AddPciBridges(const std::filesystem::path& sys, std::vector<Device>& devices) {
    for (const auto& device : Children(sys / "bus" / "pci" / "devices")) {
        const auto pciClass = ReadHex(device / "class");
        const auto vendor = ReadHex(device / "vendor");
        const auto id = ReadHex(device / "device");
        if (!pciClass || !vendor || !id || (*pciClass >> 16) != 0x06) continue;
        const auto subVendor = ReadHex(device / "subsystem_vendor").value_or(0);
        const auto subDevice = ReadHex(device / "subsystem_device").value_or(0);
        const auto revision = ReadHex(device / "revision").value_or(0);
        char text[96];
        std::snprintf(text, sizeof text, "PCI\\VEN_%04lX&DEV_%04lX&SUBSYS_%04lX%04lX&REV_%02lX",
                      *vendor & 0xFFFF, *id & 0xFFFF, subDevice & 0xFFFF, subVendor & 0xFFFF,
                      revision & 0xFF);
        devices.emplace_back(text);
    }
}

void AddSimulatedDevices(const platform::Guid& setupClass, std::vector<Device>& devices) {
    const auto file = platform::SystemRoot() / kSimulatedDevicesFile;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return;
    try {
        if (std::filesystem::file_size(file) > kMaxSimulatedFileSize)
            throw std::runtime_error("the file is too large");
        std::ifstream in(file, std::ios::binary);
        const auto document = nlohmann::json::parse(in);
        if (!document.is_object()) throw std::runtime_error("the document is not an object");
        // All or nothing: a damaged entry keeps the ids before it out too.
        std::vector<Device> listed;
        for (const auto& [key, ids] : document.items()) {
            if (platform::ParseGuid(key) != setupClass) continue;
            if (!ids.is_array()) throw std::runtime_error("the entry of " + key + " is not an array");
            for (const auto& id : ids) listed.emplace_back(id.get<std::string>());
        }
        devices.insert(devices.end(), listed.begin(), listed.end());
    } catch (const std::exception& e) {
        LOG_WARNING << "DeviceEnumeration: ignoring the simulated devices of " << file.string() << ": "
                    << e.what();
    }
}

}  // namespace

DeviceEnumeration::DeviceEnumeration() : DeviceEnumeration("/sys") {}

DeviceEnumeration::DeviceEnumeration(std::filesystem::path sysFolder) : sysFolder_(std::move(sysFolder)) {}

error::Error DeviceEnumeration::QueryDevices(const platform::Guid& setupClass) {
    std::vector<Device> found;
    if (setupClass == kSystemDeviceClass) {
        AddAcpiDevices(sysFolder_, found);
        AddPciBridges(sysFolder_, found);
    }
    AddSimulatedDevices(setupClass, found);
    devices_ = std::move(found);
    return {};
}

}  // namespace zelko::shared::device_enumeration
