#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "outside/error/error.h"
#include "platform/guid.h"

namespace zelko::shared::device_enumeration {

// The system device setup class: ACPI devices, bridges and chipset parts.
inline constexpr platform::Guid kSystemDeviceClass = {
    0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Devices from the system root's simulation file, per setup class: {"{class GUID}": [hardware id, ...]}.
inline constexpr const char* kSimulatedDevicesFile = "Devices/devices.json";

// One device found by a query. Texts are NUL-terminated and live as long as the enumeration.
class Device {
  public:
    explicit Device(std::string hardwareId) : hardwareId_(std::move(hardwareId)) {}
    const char* GetHardwareID() const { return hardwareId_.c_str(); }

  private:
    std::string hardwareId_;
};

// The devices of one setup class, with their hardware ids in the system's form: ACPI devices
// from /sys/bus/acpi ("ACPI\VEN_XXXX&DEV_YYYY" for eight-character ids, "ACPI\PNP0A08" for
// seven), PCI bridges from /sys/bus/pci ("PCI\VEN_8086&DEV_A0EF&SUBSYS_...&REV_20"), then those of
// the simulation file. Classes other than the system class have no /sys devices here.
class DeviceEnumeration {
  public:
    DeviceEnumeration();
    // Reads the device folders under sysFolder instead of /sys (tests).
    explicit DeviceEnumeration(std::filesystem::path sysFolder);

    // Replaces the list with the devices of the class. A damaged simulation file is logged and
    // left out; unreadable /sys folders give no devices. Never raises.
    error::Error QueryDevices(const platform::Guid& setupClass);
    size_t size() const { return devices_.size(); }
    // Raises std::out_of_range past the end.
    const Device& get(size_t index) const { return devices_.at(index); }

  private:
    std::filesystem::path sysFolder_;
    std::vector<Device> devices_;
};

}  // namespace zelko::shared::device_enumeration
