#include "platform/network.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/last_error.h"
#include "platform/notifications.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

TEST(NetworkTest, ConnectivityTexts) {
    struct Case {
        const char* text;
        std::optional<uint32_t> flags;
    } cases[] = {
        {"connected", kNlmConnectivityIpv4Internet},
        {" disconnected\n", kNlmConnectivityDisconnected},
        {"ipv6", kNlmConnectivityIpv6Internet},
        {"0x440", 0x440u},
        {"64", 0x40u},
        {"0", 0u},
        {"0xffffffff", 0xffffffffu},
        {"0x100000000", std::nullopt},
        {"Connected", std::nullopt},
        {"-1", std::nullopt},
        {"0x", std::nullopt},
        {"12abc", std::nullopt},
        {"connected now", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseConnectivityText(c.text), c.flags) << c.text;
}

TEST(NetworkTest, DefaultRoutesInKernelRouteTables) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        const char* what;
        std::string table;
        bool expected;
    } v4[] = {
        {"default up", header + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", true},
        {"subnet only", header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", false},
        {"default down", header + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", false},
        {"default rejected", header + "eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n", false},
        {"default on loopback", header + "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", false},
        {"empty", "", false},
        {"cut row", header + "eth0\t00000000\t010200C0\t0003\n", false},
        {"garbage", "\x01\x02 zz yy xx ww vv uu tt ss\n", false},
    };
    for (const auto& c : v4) EXPECT_EQ(RouteTableHasIpv4Default(c.table), c.expected) << c.what;

    const std::string zeros(32, '0');
    Case v6[] = {
        {"default via gateway",
         zeros + " 00 " + zeros +
             " 00 fd000000000000000000000000000001 00000400 00000002 00000000 00000003 eth0\n",
         true},
        {"unreachable default on loopback",
         zeros + " 00 " + zeros + " 00 " + zeros + " ffffffff 00000001 00000000 00200200 lo\n", false},
        {"rejected default",
         zeros + " 00 " + zeros + " 00 " + zeros + " ffffffff 00000001 00000000 00000201 eth0\n", false},
        {"a /64 prefix",
         "fd000000000000000000000000000000 40 " + zeros + " 00 " + zeros +
             " 00000100 00000001 00000000 00000001 eth0\n",
         false},
        {"cut row", zeros + " 00 " + zeros + "\n", false},
    };
    for (const auto& c : v6) EXPECT_EQ(RouteTableHasIpv6Default(c.table), c.expected) << c.what;
}

// A sink that records what it is told.
class RecordingSink : public INetworkListManagerEvents {
  public:
    HResult QueryInterface(const Guid& iid, void** out) override {
        if (!(iid == kIidINetworkListManagerEvents)) {
            *out = nullptr;
            return kENoInterface;
        }
        *out = static_cast<INetworkListManagerEvents*>(this);
        AddRef();
        return kSOk;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    HResult ConnectivityChanged(uint32_t flags) override {
        std::lock_guard lock(mutex);
        seen.push_back(flags);
        changed.notify_all();
        return kSOk;
    }
    bool WaitForCount(size_t count) {
        std::unique_lock lock(mutex);
        // Generous: only a failing run waits it out, and a loaded machine can hold the watcher back.
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() >= count; });
    }

    std::atomic<uint32_t> refs{1};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint32_t> seen;
};

class NetworkWatchTest : public testing::SystemRootTest {
  protected:
    void TearDown() override { SetSimulatedNetworkConnectivity(std::nullopt); }
    void WriteOverride(const std::string& text) {
        // Replaced whole, so the watcher never reads a half-written file and falls back to the routes.
        const auto path = NetworkConnectivityOverridePath();
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path.string() + ".new") << text;
        std::filesystem::rename(path.string() + ".new", path);
    }
};

TEST_F(NetworkWatchTest, WatcherAnnouncesChangesOnlyAndStopsWithTheLastSink) {
    WriteOverride("disconnected");
    RecordingSink sink;
    uint32_t cookie = 0;
    ASSERT_EQ(AdviseNetworkListManagerEvents(&sink, &cookie), kSOk);
    EXPECT_EQ(sink.refs.load(), 2u);

    RecheckNetworkConnectivity();  // nothing changed: nothing said
    WriteOverride("connected");
    RecheckNetworkConnectivity();
    ASSERT_TRUE(sink.WaitForCount(1));
    WriteOverride("0x440");
    RecheckNetworkConnectivity();
    ASSERT_TRUE(sink.WaitForCount(2));
    {
        std::lock_guard lock(sink.mutex);
        EXPECT_EQ(sink.seen, (std::vector<uint32_t>{0x40, 0x440}));
    }

    ASSERT_EQ(UnadviseNetworkListManagerEvents(cookie), kSOk);
    EXPECT_EQ(sink.refs.load(), 1u);
    WriteOverride("disconnected");
    RecheckNetworkConnectivity();
    InjectNetworkConnectivity(0);
    FlushNotifications();
    std::lock_guard lock(sink.mutex);
    EXPECT_EQ(sink.seen.size(), 2u);
}

TEST_F(NetworkWatchTest, AdviseRefusals) {
    uint32_t cookie = 0;
    EXPECT_EQ(AdviseNetworkListManagerEvents(nullptr, &cookie), kEPointer);
    RecordingSink sink;
    EXPECT_EQ(AdviseNetworkListManagerEvents(&sink, nullptr), kEPointer);
    EXPECT_EQ(UnadviseNetworkListManagerEvents(12345), kEFail);
    EXPECT_EQ(sink.refs.load(), 1u);
}

TEST_F(NetworkWatchTest, NetworkCommandsHoldTheProbesAnswerUntilAuto) {
    std::vector<uint32_t> seen;
    NotificationHandle handle =
        RegisterNetworkConnectivityNotification([&](uint32_t flags) { seen.push_back(flags); });
    ASSERT_NE(handle, 0u);
    WriteOverride("ipv6");
    uint32_t flags = 0;
    ASSERT_TRUE(InjectNotificationCommand("network disconnected"));
    EXPECT_FALSE(QueryInternetConnectedState(&flags));
    EXPECT_EQ(GetLastError(), kErrorNetworkUnreachable);
    ASSERT_TRUE(InjectNotificationCommand("network connected"));
    EXPECT_TRUE(QueryInternetConnectedState(&flags));
    EXPECT_EQ(flags, kNlmConnectivityIpv4Internet);
    ASSERT_TRUE(InjectNotificationCommand("network auto"));
    EXPECT_TRUE(QueryInternetConnectedState(&flags));
    EXPECT_EQ(flags, kNlmConnectivityIpv6Internet);
    for (const char* bad : {"network", "network up", "network connected now", "network 0x1ffffffff"}) {
        std::string error;
        EXPECT_FALSE(InjectNotificationCommand(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    FlushNotifications();
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x0, 0x40, 0x400}));
    UnregisterNotification(handle);
}

}  // namespace
}  // namespace zelko::platform
