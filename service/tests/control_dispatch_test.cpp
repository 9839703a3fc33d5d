#include "service/control_dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/notifications.h"
#include "platform/paths.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using platform::Guid;

constexpr Guid kUsbInterface{0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr Guid kVolumeInterface{0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

TEST(DeviceEventFilterTest, AllowListHoldsSeventeenDistinctClasses) {
    const auto& list = DeviceEventAllowList();
    for (size_t i = 0; i < list.size(); ++i) {
        for (size_t j = i + 1; j < list.size(); ++j) EXPECT_FALSE(list[i] == list[j]) << i << " " << j;
    }
    EXPECT_TRUE(IsDeviceEventClassAllowed(*platform::ParseGuid("{E6327CAD-DCEC-4949-AE8A-991E976A79D2}")));
    Guid almost = kUsbInterface;
    almost.Data4[7] ^= 1;  // the whole 16 bytes count
    EXPECT_FALSE(IsDeviceEventClassAllowed(almost));
}

TEST(DeviceEventFilterTest, OnlyAllowedArrivalsAndRemovalsAreForwardedWhole) {
    zelko::testing::LogCapture log;
    auto usb = platform::MakeDeviceInterfaceBroadcast(kUsbInterface, u"\\\\?\\USB#VID_0781");
    EXPECT_EQ(DeviceEventToForward(platform::kDbtDeviceArrival, usb.data()), usb.size());
    EXPECT_EQ(DeviceEventToForward(platform::kDbtDeviceRemoveComplete, usb.data()), usb.size());
    EXPECT_TRUE(log.Contains(logging::info,
                             "Device Event from \\\\?\\USB#VID_0781 will be propagated to modules with GUID: "
                             "{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));

    auto volume_class = platform::MakeDeviceInterfaceBroadcast(kVolumeInterface, u"v");
    auto volume_record = platform::MakeDeviceBroadcastHeader(platform::kDbtDevtypVolume);
    struct Case {
        const char* name;
        uint32_t event_type;
        const void* record;
        const char* log;
    } cases[] = {
        {"unlisted class", platform::kDbtDeviceArrival, volume_class.data(),
         "Device Event will NOT be propagated to modules as it contains GUID: "
         "{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}"},
        {"query remove", platform::kDbtDeviceQueryRemove, usb.data(),
         "Device Event NOT be propagated to modules: neither DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE"},
        {"volume", platform::kDbtDeviceArrival, volume_record.data(),
         "Device Event NOT be propagated to modules: not DBT_DEVTYP_DEVICEINTERFACE"},
        {"null", platform::kDbtDeviceArrival, nullptr, "no valid device broadcast record"},
    };
    for (const auto& c : cases) {
        zelko::testing::LogCapture case_log;
        EXPECT_FALSE(DeviceEventToForward(c.event_type, c.record)) << c.name;
        EXPECT_TRUE(case_log.Contains(logging::debug, c.log)) << c.name;
    }

    // Sizes smaller than what is read next: the header itself, then the class GUID.
    for (uint32_t size : {0u, 11u, 12u, 27u}) {
        auto cut = usb;
        std::memcpy(cut.data(), &size, sizeof size);
        EXPECT_FALSE(DeviceEventToForward(platform::kDbtDeviceArrival, cut.data())) << size;
    }
}

class PluginRunTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        AddPluginRunOptions(app, name, payload);
    }
    std::string Params(const std::string& first_line) {
        auto path = scratch() / "zelko_plenar_cli.txt";
        std::ofstream(path) << first_line << "\n-p second_line_is_ignored\n";
        return path.string();
    }

    zelko::testing::LogCapture log;
    CLI::App app{"Zelko Plenar Agent service", "ZelkoPlenarAgent"};
    std::string name;
    std::string payload;
};

TEST_F(PluginRunTest, ReadsTheFirstLineAndExpandsThePayloadPath) {
    ASSERT_TRUE(
        ParsePluginRunParameters(app, Params("-p my_plugin_ver_1.2.0 -l %programdata%/x.json"), payload));
    EXPECT_EQ(name, "my_plugin_ver_1.2.0");
    EXPECT_EQ(payload, platform::ProgramDataFolder().string() + "/x.json");
    EXPECT_EQ(PluginRunEventText(name, payload), "my_plugin_ver_1.2.0, " + payload);
    EXPECT_TRUE(log.Contains(logging::info, "ZelkoPlenarAgent starting with configuration: "));
    EXPECT_TRUE(log.Contains(logging::info, "plugin=\"my_plugin_ver_1.2.0\""));

    // Options the next line does not give keep their values; a CR LF line end is no part of a value.
    ASSERT_TRUE(ParsePluginRunParameters(app, Params("--plugin other_ver_2\r"), payload));
    EXPECT_EQ(name, "other_ver_2");
    EXPECT_EQ(payload, platform::ProgramDataFolder().string() + "/x.json");

    // A missing file is an empty line.
    EXPECT_TRUE(ParsePluginRunParameters(app, (scratch() / "absent.txt").string(), payload));
    EXPECT_EQ(name, "other_ver_2");
}

TEST_F(PluginRunTest, ParseErrorsAndHelpAreRefused) {
    EXPECT_FALSE(ParsePluginRunParameters(app, Params("-p a -x b"), payload));
    // This CLI11 names an unexpected-argument error after the parser itself.
    EXPECT_TRUE(log.Contains(logging::error, "Exception CLI::ZelkoPlenarAgent: "));
    EXPECT_TRUE(log.Contains(logging::error, "not expected: "));

    ::testing::internal::CaptureStdout();  // the help text goes to standard output
    EXPECT_FALSE(ParsePluginRunParameters(app, Params("-h"), payload));
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(log.Contains(logging::info, "Returning argument information via exception CLI::CallForHelp"));
}

}  // namespace
}  // namespace zelko::plenar::agent
