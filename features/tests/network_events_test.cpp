#include "features/network_events.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/notifications.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using zelko::testing::LogCapture;

TEST(NetworkEventsTest, ConnectivityChangeFlags) {
    struct Case {
        uint32_t flags;
        const char* hex;
        bool available;
    } cases[] = {
        {0x40, "0x40", true}, {0x440, "0x440", true}, {0x400, "0x400", false},  // only the IPv4 flag counts
        {0x0, "0x0", false},  {0x21, "0x21", false},  {0xffffffff, "0xffffffff", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        NetworkEvents events;
        int calls = 0;
        events.SetInternetAvailableCallback([&] { ++calls; });
        LogCapture log;
        EXPECT_EQ(events.ConnectivityChanged(c.flags), platform::kSOk);
        EXPECT_TRUE(log.Contains(logging::info, std::string("Internet ConnectivityChanged ") + c.hex));
        EXPECT_EQ(calls, c.available ? 1 : 0);
        EXPECT_TRUE(log.Contains(logging::info, c.available ? "Internet connection is available"
                                                            : "Internet connection is not available"));
    }
}

TEST(NetworkEventsTest, CallbacksRunEachTimeOutsideTheLockAndMayBeAbsent) {
    NetworkEvents events;
    LogCapture log;
    EXPECT_EQ(events.ConnectivityChanged(0x40), platform::kSOk);  // no callback set
    EXPECT_TRUE(log.Contains(logging::info, "Internet connection is available"));
    int calls = 0;
    // The callback may set the callbacks again: it runs outside the sink's mutex.
    events.SetInternetAvailableCallback([&] {
        ++calls;
        events.SetNetworkWaitCallback([] {});
    });
    events.ConnectivityChanged(0x40);
    events.ConnectivityChanged(0x40);
    events.ConnectivityChangedByOldApi();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(log.Count(logging::info, "Internet ConnectivityChanged"), 3);
}

TEST(NetworkEventsTest, InterfaceQueriesAndReferenceCount) {
    NetworkEvents events;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(events.QueryInterface(platform::kIidINetworkListManagerEvents, &out), platform::kSOk);
    EXPECT_EQ(out, static_cast<platform::INetworkListManagerEvents*>(&events));
    EXPECT_EQ(events.QueryInterface(platform::kIidIUnknown, &out), platform::kSOk);
    EXPECT_EQ(events.QueryInterface(platform::Guid{1, 2, 3, {}}, &out), platform::kENoInterface);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(events.AddRef(), 4u);  // 1 at birth, 2 from the successful queries
    EXPECT_EQ(events.Release(), 3u);
    EXPECT_EQ(events.Release(), 2u);
    EXPECT_EQ(events.Release(), 1u);
    EXPECT_EQ(events.Release(), 0u);  // the object lives on: its owner is the service
    events.ConnectivityChanged(0);
}

class NetworkEventsAdviseTest : public zelko::testing::SystemRootTest {
  protected:
    void TearDown() override { platform::SetSimulatedNetworkConnectivity(std::nullopt); }
};

TEST_F(NetworkEventsAdviseTest, InjectedNetworkChangesReachTheAdvisedSinkUntilUnadvised) {
    auto events = std::make_shared<NetworkEvents>();
    std::atomic<int> available{0};
    events->SetInternetAvailableCallback([&] { ++available; });
    uint32_t cookie = 0;
    ASSERT_EQ(platform::AdviseNetworkListManagerEvents(events.get(), &cookie), platform::kSOk);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(events->AddRef(), 3u);  // the platform holds one
    events->Release();

    LogCapture log;
    std::string error;
    ASSERT_TRUE(platform::InjectNotificationCommand("network disconnected", &error)) << error;
    ASSERT_TRUE(platform::InjectNotificationCommand("network connected", &error)) << error;
    ASSERT_TRUE(platform::InjectNotificationCommand("network 0x400", &error)) << error;
    platform::FlushNotifications();
    EXPECT_EQ(available.load(), 1);
    EXPECT_TRUE(log.Contains(logging::info, "Internet ConnectivityChanged 0x0"));
    EXPECT_TRUE(log.Contains(logging::info, "Internet ConnectivityChanged 0x40"));
    EXPECT_TRUE(log.Contains(logging::info, "Internet ConnectivityChanged 0x400"));

    ASSERT_EQ(platform::UnadviseNetworkListManagerEvents(cookie), platform::kSOk);
    EXPECT_EQ(events->AddRef(), 2u);
    events->Release();
    ASSERT_TRUE(platform::InjectNotificationCommand("network connected", &error));
    platform::FlushNotifications();
    EXPECT_EQ(available.load(), 1);
    EXPECT_NE(platform::UnadviseNetworkListManagerEvents(cookie), platform::kSOk);
}

}  // namespace
}  // namespace zelko::plenar::agent
