#include "connectivity/tests/connectivity_fixture.h"
#include "outside/iot/iot_errors.h"

namespace zelko::plenar::agent::test {
namespace {

class IdleCloseTest : public ConnectivityTest {
  protected:
    void SetUp() override {
        ConnectivityTest::SetUp();
        WriteConfig(DevConfig({{"close_connection_after_sec", 900}}));
    }
    void SetKeep(bool keep) {
        std::lock_guard lock(module_->iotLock);
        module_->keepConnection = keep;
    }
};

TEST_F(IdleCloseTest, ClosesAtTheDeadline) {
    auto& module = Module();
    const int64_t start = platform::SteadyNowNanos();
    ASSERT_FALSE(module.ConnectToIot());
    WaitForSecondsLeft(900);
    clock_.Advance(899s);
    // A moment to show that nothing closes early (there is no event to wait for).
    EXPECT_FALSE(Device()->WaitForDisconnects(1, 100ms));
    clock_.Advance(1s);
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_EQ(Device()->DisconnectTimes(), std::vector<int64_t>{start + 900 * kSecond});
    EXPECT_TRUE(log_.WaitFor(logging::info, "Closing connection"));
}

TEST_F(IdleCloseTest, PubMovesTheDeadline) {
    auto& module = Module();
    const int64_t start = platform::SteadyNowNanos();
    ASSERT_FALSE(module.ConnectToIot());
    WaitForSecondsLeft(900);
    clock_.Advance(500s);
    ASSERT_FALSE(module.Pub("t", "{}").error);
    WaitForSecondsLeft(900, 2);
    clock_.Advance(400s);
    EXPECT_FALSE(Device()->WaitForDisconnects(1, 100ms));
    clock_.Advance(500s);
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_EQ(Device()->DisconnectTimes(), std::vector<int64_t>{start + 1400 * kSecond});
}

// Set during the timed wait, keepConnection does not stop that close.
TEST_F(IdleCloseTest, KeepConnectionDuringTheTimedWaitStillCloses) {
    auto& module = Module();
    const int64_t start = platform::SteadyNowNanos();
    ASSERT_FALSE(module.ConnectToIot());
    WaitForSecondsLeft(900);
    SetKeep(true);
    clock_.Advance(900s);
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_EQ(Device()->DisconnectTimes()[0], start + 900 * kSecond);
}

// Set beforehand, keepConnection arms nothing; the first publish after it is cleared arms again.
TEST_F(IdleCloseTest, KeepConnectionArmsNothing) {
    auto& module = Module();
    SetKeep(true);
    ASSERT_FALSE(module.ConnectToIot());
    ASSERT_FALSE(module.Pub("t", "{}").error);
    clock_.Advance(100000s);
    SetKeep(false);
    const int64_t armed = platform::SteadyNowNanos();
    ASSERT_FALSE(module.Pub("t", "{}").error);
    clock_.Advance(900s);
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_EQ(Device()->DisconnectTimes(), std::vector<int64_t>{armed + 900 * kSecond});
    EXPECT_EQ(log_.Count(logging::debug, "Request to close connection in 900 seconds."), 1);
}

// A failed publish drops the connection at once; the next publish connects afresh.
TEST_F(IdleCloseTest, FailedPubClosesAtOnce) {
    auto& module = Module();
    const int64_t start = platform::SteadyNowNanos();
    ASSERT_FALSE(module.ConnectToIot());
    shared::iot::IoTResult broken;
    broken.error = shared::iot::MakeConnectionError(shared::iot::ConnectionFamily::MqttClientAwsErrors, 5,
                                                    shared::iot::kAwsSocketTimeout);
    Device()->Script(Call::Pub, broken);
    EXPECT_EQ(module.Pub("t", "{}").error, broken.error);
    EXPECT_FALSE(module.IsConnected());
    EXPECT_TRUE(log_.Contains(logging::error, "Publishing failed: HttpCode: 0 IoTCode: 0 Error: "));
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_EQ(Device()->DisconnectTimes()[0], start);
    EXPECT_EQ(module.sentMsgs, 0);

    ASSERT_TRUE(log_.WaitFor(logging::info, "Closing connection"));
    ASSERT_FALSE(module.Pub("t", "{}").error);
    EXPECT_EQ(Device()->Calls(Call::Connect), 2);
}

// The owner's Shutdown ends the connection and the closing thread while another holder keeps the
// module; from then on nothing connects again, and the last release does not pause again.
TEST_F(IdleCloseTest, ShutdownEndsTheConnectionAndTheThreadWhoeverHoldsTheModule) {
    auto& module = Module();
    std::shared_ptr<ConnectivityModule> other_holder = module_;
    ASSERT_FALSE(module.ConnectToIot());
    WaitForSecondsLeft(900);
    ASSERT_EQ(DeviceCount(), 1u);
    const std::weak_ptr<TimedIoTDevice> device = Device();

    std::thread owner([&] { module.Shutdown(); });
    EXPECT_TRUE(log_.WaitFor(logging::info, "Stopping the connection closing thread."));
    EXPECT_TRUE(clock_.WaitForSleepers(1));
    clock_.Advance(1s);
    owner.join();
    EXPECT_FALSE(module.IsConnected());
    EXPECT_EQ(device.lock().use_count(), 2) << "only the test's list and this copy hold the device";

    EXPECT_TRUE(module.ConnectToIot());
    EXPECT_TRUE(module.GetCredentials(false));
    EXPECT_TRUE(module.Pub("t", "{}").error);
    EXPECT_EQ(DeviceCount(), 1u);
    module.Shutdown();

    other_holder.reset();
    module_.reset();  // no second pause: the destructor finds the shutdown done
}

}  // namespace
}  // namespace zelko::plenar::agent::test
