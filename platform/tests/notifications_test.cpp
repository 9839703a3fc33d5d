#include "platform/notifications.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace zelko::platform {
namespace {

constexpr Guid kUsbDevice{0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

TEST(GuidTest, ParsesAndFormatsRegistryForm) {
    auto g = ParseGuid("{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    ASSERT_TRUE(g);
    EXPECT_EQ(*g, kUsbDevice);
    EXPECT_EQ(GuidToString(*g), "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(ParseGuid("A5DCBF10-6530-11D2-901F-00C04FB951ED"), kUsbDevice);
    for (const char* bad :
         {"", "{A5DCBF10-6530-11D2-901F-00C04FB951E}", "A5DCBF10x6530-11D2-901F-00C04FB951ED",
          "{G5DCBF10-6530-11D2-901F-00C04FB951ED}"}) {
        EXPECT_FALSE(ParseGuid(bad)) << bad;
    }
}

TEST(DeviceBroadcastTest, RecordHasTheSystemLayoutAndReadsBack) {
    auto bytes = MakeDeviceInterfaceBroadcast(kUsbDevice, u"\\\\?\\USB#VID_1");
    const size_t expected = 28 + (13 + 1) * 2;
    ASSERT_EQ(bytes.size(), expected);
    uint32_t size = 0, type = 0;
    std::memcpy(&size, bytes.data(), 4);
    std::memcpy(&type, bytes.data() + 4, 4);
    EXPECT_EQ(size, expected);
    EXPECT_EQ(type, kDbtDevtypDeviceInterface);
    EXPECT_EQ(bytes[expected - 1], 0);
    EXPECT_EQ(bytes[expected - 2], 0);

    auto info = ReadDeviceInterfaceBroadcast(bytes.data());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size, expected);
    EXPECT_EQ(info->interface_class, kUsbDevice);
    EXPECT_EQ(info->name, u"\\\\?\\USB#VID_1");
}

TEST(DeviceBroadcastTest, UntrustedRecordsAreRefusedBeforeReading) {
    EXPECT_FALSE(ReadBroadcastDeviceType(nullptr));
    EXPECT_FALSE(ReadDeviceInterfaceBroadcast(nullptr));

    auto bytes = MakeDeviceInterfaceBroadcast(kUsbDevice, u"x");
    uint32_t tiny = 8;  // smaller than the header
    std::memcpy(bytes.data(), &tiny, 4);
    EXPECT_FALSE(ReadBroadcastDeviceType(bytes.data()));

    uint32_t header_only = sizeof(DeviceBroadcastHeader);  // header fits, the class GUID does not
    std::memcpy(bytes.data(), &header_only, 4);
    EXPECT_EQ(ReadBroadcastDeviceType(bytes.data()), kDbtDevtypDeviceInterface);
    EXPECT_FALSE(ReadDeviceInterfaceBroadcast(bytes.data()));

    // A name without NUL stops at the record's end.
    auto unterminated = MakeDeviceInterfaceBroadcast(kUsbDevice, u"abc");
    uint32_t cut = 28 + 2 * 2;
    std::memcpy(unterminated.data(), &cut, 4);
    EXPECT_EQ(ReadDeviceInterfaceBroadcast(unterminated.data())->name, u"ab");

    auto volume = MakeDeviceBroadcastHeader(kDbtDevtypVolume);
    EXPECT_EQ(ReadBroadcastDeviceType(volume.data()), kDbtDevtypVolume);
    EXPECT_FALSE(ReadDeviceInterfaceBroadcast(volume.data()));

    EXPECT_FALSE(ReadPowerSettingByte(nullptr));
    auto empty = MakePowerBroadcastSetting(kModernStandbySetting, {});
    EXPECT_FALSE(ReadPowerSettingByte(reinterpret_cast<const PowerBroadcastSetting*>(empty.data())));
}

struct Seen {
    std::string what;
    uint32_t a = 0;
    uint32_t b = 0;
    std::vector<uint8_t> data;
};

class Recorder {
  public:
    void Add(Seen seen) {
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(seen));
    }
    std::vector<Seen> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

TEST(NotificationsTest, InjectedCommandsReachMatchingRegistrationsInOrder) {
    Recorder recorder;
    auto sr = RegisterSuspendResumeNotification([&](uint32_t type, const void*) {
        recorder.Add({"power", type, 0, {}});
        return 0u;
    });
    auto standby = RegisterPowerSettingNotification(
        kModernStandbySetting, [&](uint32_t type, const PowerBroadcastSetting* s) {
            recorder.Add({"standby", type, *ReadPowerSettingByte(s), {}});
            return 0u;
        });
    auto acdc = RegisterServicePowerSettingNotification(
        kAcDcPowerSourceSetting, [&](uint32_t c, uint32_t t, const void* d) {
            auto* s = static_cast<const PowerBroadcastSetting*>(d);
            recorder.Add({"acdc", c, t, std::vector<uint8_t>(s->Data, s->Data + s->DataLength)});
        });
    auto device = RegisterDeviceInterfaceNotification([&](uint32_t c, uint32_t t, const void* d) {
        auto* record = static_cast<const uint8_t*>(d);
        uint32_t size = 0;
        std::memcpy(&size, record, 4);
        recorder.Add({"device", c, t, std::vector<uint8_t>(record, record + size)});
    });
    ASSERT_NE(sr, 0u);

    for (const char* command :
         {"power suspend", "power resume", "power resume-user", "standby enter", "standby exit", "acdc dc",
          "device arrival {A5DCBF10-6530-11D2-901F-00C04FB951ED} USB stick",
          "device query-remove A5DCBF10-6530-11D2-901F-00C04FB951ED", "volume arrival"}) {
        std::string error;
        EXPECT_TRUE(InjectNotificationCommand(command, &error)) << command << ": " << error;
    }
    FlushNotifications();
    auto seen = recorder.Take();
    ASSERT_EQ(seen.size(), 9u);
    EXPECT_EQ(seen[0].what, "power");
    EXPECT_EQ(seen[0].a, kPbtApmSuspend);
    EXPECT_EQ(seen[1].a, kPbtApmResumeAutomatic);
    EXPECT_EQ(seen[2].a, kPbtApmResumeSuspend);
    EXPECT_EQ(seen[3].what, "standby");
    EXPECT_EQ(seen[3].a, kPbtPowerSettingChange);
    EXPECT_EQ(seen[3].b, 1u);
    EXPECT_EQ(seen[4].b, 0u);
    EXPECT_EQ(seen[5].what, "acdc");
    EXPECT_EQ(seen[5].a, kNotifyPowerEventControl);
    EXPECT_EQ(seen[5].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(seen[6].what, "device");
    EXPECT_EQ(seen[6].a, kNotifyDeviceEventControl);
    EXPECT_EQ(seen[6].b, kDbtDeviceArrival);
    EXPECT_EQ(ReadDeviceInterfaceBroadcast(seen[6].data.data())->name, u"USB stick");
    EXPECT_EQ(seen[7].b, kDbtDeviceQueryRemove);
    EXPECT_EQ(ReadBroadcastDeviceType(seen[8].data.data()), kDbtDevtypVolume);

    for (const char* bad :
         {"", "power", "power sleep", "standby maybe", "device arrival not-a-guid", "reboot"}) {
        EXPECT_FALSE(InjectNotificationCommand(bad)) << bad;
    }

    // After unregistering nothing more arrives.
    for (auto h : {sr, standby, acdc, device}) EXPECT_TRUE(UnregisterNotification(h));
    EXPECT_FALSE(UnregisterNotification(sr));
    InjectSuspendResume(kPbtApmSuspend);
    FlushNotifications();
    EXPECT_TRUE(recorder.Take().empty());
}

}  // namespace
}  // namespace zelko::platform
