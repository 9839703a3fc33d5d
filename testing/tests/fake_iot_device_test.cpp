#include "testing/fake_iot_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "outside/iot/iot_errors.h"

namespace zelko::testing {
namespace {

using Call = FakeIoTDevice::Call;

struct Inbox {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;

    void Add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
    }
    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= count; });
    }
};

void OnPayload(shared::iot::Payload payload, void* context) {
    static_cast<Inbox*>(context)->Add(std::string(payload.GetTopic()) + "=" + payload.GetContent());
}
void OnSuccess(bool, void* context) { static_cast<Inbox*>(context)->Add("success"); }
void OnResume(bool, void* context) { static_cast<Inbox*>(context)->Add("resume"); }
void OnDisconnect(void* context) { static_cast<Inbox*>(context)->Add("disconnect"); }
void OnInterrupt(void* context) { static_cast<Inbox*>(context)->Add("interrupt"); }

TEST(FakeIoTDeviceTest, ScriptedResultsAnswerInOrderThenSuccess) {
    Inbox inbox;
    FakeIoTDevice device;
    device.ScriptError(Call::Pub, shared::iot::MakeIotHttpError(503, "busy"), 503);
    ASSERT_FALSE(device.Connect(OnSuccess, OnResume, OnDisconnect, OnInterrupt, &inbox).error);
    const auto first = device.Pub("t", "m");
    EXPECT_EQ(first.httpCode, 503);
    EXPECT_TRUE(first.error);
    EXPECT_FALSE(device.Pub("t", "m").error);
    EXPECT_EQ(device.Calls(Call::Pub), 2);
    ASSERT_EQ(device.Published().size(), 1u);
    device.Disconnect();
}

TEST(FakeIoTDeviceTest, ShadowStoreIsVersionedAndAnnouncesAcceptedUpdates) {
    Inbox inbox;
    FakeIoTDevice device("thing-1");
    const std::string accepted = "$aws/things/thing-1/shadow/name/cfg/update/accepted";
    device.Sub(accepted, "watcher", OnPayload, &inbox);

    const auto missing = device.GetShadow("cfg");
    EXPECT_EQ(missing.httpCode, 404);
    EXPECT_EQ(missing.error.code(), 404);

    ASSERT_FALSE(device.UpdateShadow("cfg", R"({"state":{"desired":{"a":1,"b":2}}})").error);
    ASSERT_FALSE(device.UpdateShadow("cfg", R"({"state":{"desired":{"b":null,"c":3}}})").error);
    const auto got = device.GetShadow("cfg");
    ASSERT_TRUE(got.content.has_value());
    const auto doc = nlohmann::json::parse(*got.content);
    EXPECT_EQ(doc["version"], 2);
    EXPECT_EQ(doc["state"]["desired"], nlohmann::json::parse(R"({"a":1,"c":3})"));

    EXPECT_EQ(device.UpdateShadow("cfg", R"({"state":{"desired":{}},"version":1})").httpCode, 409);
    EXPECT_EQ(device.UpdateShadow("cfg", "not json").httpCode, 400);
    EXPECT_EQ(device.ShadowVersion("cfg"), 2);

    ASSERT_TRUE(inbox.WaitFor(2));
    EXPECT_EQ(inbox.events[0].rfind(accepted, 0), 0u);
    EXPECT_NE(inbox.threads[0], std::this_thread::get_id());

    EXPECT_FALSE(device.DeleteShadow("cfg").error);
    EXPECT_EQ(device.DeleteShadow("cfg").httpCode, 404);
}

TEST(FakeIoTDeviceTest, CallbacksRunOnItsThreadAndNeverAfterDisconnect) {
    Inbox inbox;
    FakeIoTDevice device;
    ASSERT_FALSE(device.Connect(OnSuccess, OnResume, OnDisconnect, OnInterrupt, &inbox).error);
    device.Sub("a/#", "one", OnPayload, &inbox);
    device.Sub("a/#", "two", OnPayload, &inbox);
    device.Interrupt();
    device.Resume();
    device.Deliver("a/b", "x");
    ASSERT_TRUE(inbox.WaitFor(5));
    EXPECT_EQ(inbox.events[0], "success");
    EXPECT_EQ(inbox.events[1], "interrupt");
    EXPECT_EQ(inbox.events[2], "resume");
    EXPECT_EQ(inbox.events[3], "a/b=x");
    EXPECT_EQ(inbox.events[4], "a/b=x");
    for (auto id : inbox.threads) EXPECT_NE(id, std::this_thread::get_id());

    device.Unsubscribe("a/#", "one");
    device.Deliver("a/c", "y");
    device.Disconnect();
    const size_t after = inbox.events.size();
    // Only the subscriber left gets the second message.
    ASSERT_EQ(after, 7u);
    EXPECT_EQ(inbox.events[5], "a/c=y");
    EXPECT_EQ(inbox.events[6], "disconnect");
    device.Interrupt();
    device.WaitIdle();
    EXPECT_EQ(inbox.events.size(), after);
    EXPECT_TRUE(device.Pub("t", "m").error);
}

}  // namespace
}  // namespace zelko::testing
