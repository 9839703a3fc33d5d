#include "outside/device_enumeration/device_enumeration.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/paths.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::device_enumeration {
namespace {

class DeviceEnumerationTest : public zelko::testing::SystemRootTest {
  protected:
    std::filesystem::path sys() const { return scratch() / "sys"; }

    void Write(const std::filesystem::path& file, const std::string& text) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    void AddPci(const std::string& slot, const std::string& pciClass, const std::string& vendor,
                const std::string& device) {
        const auto folder = sys() / "bus/pci/devices" / slot;
        Write(folder / "class", pciClass + "\n");
        Write(folder / "vendor", vendor + "\n");
        Write(folder / "device", device + "\n");
        Write(folder / "subsystem_vendor", "0x17aa\n");
        Write(folder / "subsystem_device", "0x2280\n");
        Write(folder / "revision", "0x20\n");
    }
    std::vector<std::string> Ids(const platform::Guid& setupClass = kSystemDeviceClass) {
        DeviceEnumeration enumeration(sys());
        EXPECT_FALSE(enumeration.QueryDevices(setupClass));
        std::vector<std::string> ids;
        for (size_t i = 0; i < enumeration.size(); ++i) ids.push_back(enumeration.get(i).GetHardwareID());
        return ids;
    }

    zelko::testing::LogCapture log_;
};

TEST_F(DeviceEnumerationTest, SystemClassHoldsAcpiDevicesBridgesAndSimulatedIds) {
    Write(sys() / "bus/acpi/devices/ZLKC0016:00/hid", "ZLKC0016\n");
    Write(sys() / "bus/acpi/devices/PNP0A08:00/hid", "PNP0A08\n");
    Write(sys() / "bus/acpi/devices/LNXSYSTM:00/path", "\\\n");  // no hid: not a device of its own
    AddPci("0000:00:1f.0", "0x060100", "0x8086", "0xa0ef");
    AddPci("0000:00:02.0", "0x030000", "0x8086", "0x9a49");  // display: another class
    Write(
        root() / kSimulatedDevicesFile,
        R"({"{4d36e97d-e325-11ce-bfc1-08002be10318}": ["ROOT\\VEN_ZLKC&DEV_0016"], "{00000000-0000-0000-0000-000000000000}": ["X"]})");

    EXPECT_EQ(Ids(), (std::vector<std::string>{"ACPI\\PNP0A08", "ACPI\\VEN_ZLKC&DEV_0016",
                                               "PCI\\VEN_8086&DEV_A0EF&SUBSYS_228017AA&REV_20",
                                               "ROOT\\VEN_ZLKC&DEV_0016"}));
    EXPECT_EQ(Ids(*platform::ParseGuid("00000000-0000-0000-0000-000000000000")),
              (std::vector<std::string>{"X"}));
    DeviceEnumeration enumeration(sys());
    EXPECT_THROW(enumeration.get(0), std::out_of_range);
}

TEST_F(DeviceEnumerationTest, MissingFoldersGiveNoDevices) { EXPECT_TRUE(Ids().empty()); }

TEST_F(DeviceEnumerationTest, DamagedSimulationFileIsLeftOutAndLogged) {
    const std::string kClass = "\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"";
    const std::vector<std::string> damaged = {
        "",
        "{" + kClass + ": [\"A\"",
        "not json",
        "[\"A\"]",
        "{" + kClass + ": \"A\"}",
        "{" + kClass + ": [\"A\", 5]}",
        std::string(2 << 20, ' '),
    };
    Write(sys() / "bus/acpi/devices/PNP0A08:00/hid", "PNP0A08");
    for (const auto& text : damaged) {
        SCOPED_TRACE(text.substr(0, 40));
        Write(root() / kSimulatedDevicesFile, text);
        EXPECT_EQ(Ids(), (std::vector<std::string>{"ACPI\\PNP0A08"}));
        EXPECT_TRUE(log_.Contains(logging::warning, "DeviceEnumeration: ignoring the simulated devices of " +
                                                        (root() / kSimulatedDevicesFile).string()));
    }
}

}  // namespace
}  // namespace zelko::shared::device_enumeration
