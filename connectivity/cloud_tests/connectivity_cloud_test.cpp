// The connectivity module against the local cloud that the CTest fixture runs: a device whose
// "iot-info.dat" and certificate store were written as enrollment leaves them.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "connectivity/connectivity_module.h"
#include "testing/enrolled_device.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/log_capture.h"
#include "testing/named_features.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {
namespace {

using cloud::test::Admin;
using cloud::test::Cloud;
using cloud::test::Events;
using shared::http::HttpMethod;
using json = nlohmann::json;

// The messages the cloud recorded under the topic, once there are at least count of them: the cloud
// records what its own broker client receives, a moment after the publisher's acknowledgement.
json RecordedMessages(const std::string& topic, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (true) {
        auto [status, recorded] = Admin(HttpMethod::GET, "/messages?topic=" + topic);
        if ((status == 200 && recorded.size() >= count) || std::chrono::steady_clock::now() > deadline)
            return recorded;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class ConnectivityCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
        thing_ = cloud::test::UniqueName("connectivity");

        // The certificate store that enrollment fills, and the information file beside the program.
        zelko::testing::WriteEnrolledDevice(scratch(), thing_);
        std::filesystem::create_directories(scratch() / "Configuration Files");
    }

    std::shared_ptr<ConnectivityModule> Make(int closeAfterSeconds = 900) {
        json config;
        config["close_connection_after_sec"] = closeAfterSeconds;
        config["cloud"]["stacks"]["dev"] = {
            {"stackName", "dev"},
            {"iot",
             {{"telemetryTopic", "telemetry/"},
              {"credentialUri", "https://127.0.0.1:" + std::to_string(Cloud().https) +
                                    "/role-aliases/zelko-device/credentials"}}}};
        // Every stack object carries the enrollment and attestation addresses; these tests use none.
        const std::string api = "https://127.0.0.1:1";
        config["cloud"]["stacks"]["dev"]["enrollment_v2"] = {{"discoveryUri", api + "/v2/services"},
                                                             {"enrollmentUri", api + "/e"},
                                                             {"enrollmentStatusUri", api + "/s"},
                                                             {"preEnrollmentUri", api + "/c"}};
        config["cloud"]["stacks"]["dev"]["enrollment_1e"] = {{"preEnrollmentUri", api + "/p"}, {"enrollmentUri", api + "/e"}};
        config["cloud"]["stacks"]["dev"]["attestation"] = {
            {"attestUri", api + "/a"}, {"possesionUri", api + "/p"}, {"certificateUri", api + "/c"}};
        const auto path = scratch() / "Configuration Files" / "connectivity-module-config.json";
        WriteText(path, config.dump());
        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        auto device = std::make_shared<zelko::testing::BlankDeviceInfo>();
        device->snrId = thing_;
        auto module = std::make_shared<ConnectivityModule>(
            "dev", path.string(), nullptr, zelko::testing::FinderOf({"Corvane"}), device, nullptr, nullptr,
            nullptr, false, nullptr, environment);
        module->connectSuccessCallback = Events::OnSuccess;
        module->resumeCallback = Events::OnResume;
        module->disconnectCallback = Events::OnDisconnect;
        module->interruptCallback = Events::OnInterrupt;
        module->callbackContext = &events_;
        return module;
    }

    json Counters() {
        std::ifstream in(scratch() / "connectitivy-state.json");
        return json::parse(in);
    }

    std::string thing_;
    Events events_;
    zelko::testing::LogCapture log_;
};

TEST_F(ConnectivityCloudTest, ConnectPublishSubscribeAndCredentials) {
    auto module = Make();
    ASSERT_NE(module->GetIotInfo(), nullptr) << "the information file belongs to this device";
    EXPECT_EQ(module->GetTelemetryTopic(), "telemetry/" + thing_);

    const auto credentialsFailure = module->GetCredentials(false);
    ASSERT_FALSE(credentialsFailure) << credentialsFailure.what();
    EXPECT_TRUE(module->IsCredentialsReady());

    const auto failure = module->ConnectToIot();
    ASSERT_FALSE(failure) << failure.what();
    EXPECT_TRUE(module->IsConnected());
    EXPECT_TRUE(events_.WaitFor("success"));

    const std::string topic = "telemetry/" + thing_;
    const std::string message = R"({"event": "test"})";
    const auto published = module->Pub(topic, message);
    ASSERT_FALSE(published.error) << published.error.what();
    const json recorded = RecordedMessages(topic, 1);
    ASSERT_EQ(recorded.size(), 1u) << recorded.dump();
    EXPECT_EQ(recorded[0]["payload"], message);
    EXPECT_EQ(Counters(), json({{"data_transfered", message.size()}, {"sent_msgs", 1}}));

    // The admin side changes a shadow; its accepted update reaches the subscriber.
    const std::string accepted = "$aws/things/" + thing_ + "/shadow/name/grants/update/accepted";
    Events received;
    const auto subscribed = module->Sub(accepted, "grants", Events::OnPayload, &received);
    ASSERT_FALSE(subscribed.error) << subscribed.error.what();
    ASSERT_EQ(Admin(HttpMethod::PUT, "/shadows/" + thing_ + "/grants", {{"state", {{"desired", {{"g", 1}}}}}})
                  .first,
              200);
    {
        std::unique_lock lock(received.mutex);
        ASSERT_TRUE(
            received.cv.wait_for(lock, std::chrono::seconds(10), [&] { return !received.seen.empty(); }));
    }
    const std::string seen = received.Snapshot()[0];
    ASSERT_TRUE(seen.starts_with(accepted + "|")) << seen;
    EXPECT_EQ(json::parse(seen.substr(accepted.size() + 1))["state"]["desired"]["g"], 1);
    EXPECT_FALSE(module->Unsub(accepted, "grants").error);

    // Over HTTP as well; counted in the same file.
    const auto byHttp = module->PubByHttp(topic, message);
    ASSERT_FALSE(byHttp.error) << byHttp.error.what();
    EXPECT_EQ(Counters()["sent_msgs"], 2);
}

// The library calls subscribers on its own thread, never inside a call that holds the module's
// IoT lock, so a subscriber may publish through the module.
struct Acknowledger {
    ConnectivityModule* module = nullptr;
    std::string ackTopic;
    std::promise<shared::iot::IoTResult> acked;

    static void OnPayload(shared::iot::Payload payload, void* self) {
        auto* ack = static_cast<Acknowledger*>(self);
        ack->acked.set_value(ack->module->Pub(ack->ackTopic, payload.GetContent()));
    }
};

TEST_F(ConnectivityCloudTest, SubscriberPublishesFromItsCallback) {
    auto module = Make();
    ASSERT_FALSE(module->ConnectToIot());
    const std::string accepted = "$aws/things/" + thing_ + "/shadow/name/policies/update/accepted";
    Acknowledger ack{module.get(), "acks/" + thing_, {}};
    auto acked = ack.acked.get_future();
    ASSERT_FALSE(module->Sub(accepted, "policies", Acknowledger::OnPayload, &ack).error);
    ASSERT_EQ(
        Admin(HttpMethod::PUT, "/shadows/" + thing_ + "/policies", {{"state", {{"desired", {{"p", 2}}}}}})
            .first,
        200);
    ASSERT_EQ(acked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(acked.get().error);
    EXPECT_FALSE(module->Unsub(accepted, "policies").error);
    EXPECT_EQ(RecordedMessages("acks/" + thing_, 1).size(), 1u);
}

TEST_F(ConnectivityCloudTest, ShadowIsMissingThenWrittenThenRead) {
    auto module = Make();
    ASSERT_FALSE(module->ConnectToIot());
    std::string content;
    const auto missing = module->GetShadow("status", content);
    EXPECT_EQ(missing.code(), 14);
    EXPECT_NE(missing.what().find("\"http_code\":404"), std::string::npos) << missing.what();

    ASSERT_FALSE(module->UpdateShadow("status", R"({"state": {"reported": {"job": "done"}}})"));
    const auto read = module->GetShadow("status", content);
    ASSERT_FALSE(read) << read.what();
    EXPECT_EQ(json::parse(content)["state"]["reported"]["job"], "done");
    EXPECT_EQ(Admin(HttpMethod::GET, "/shadows/" + thing_ + "/status").second["state"]["reported"]["job"],
              "done");
}

TEST_F(ConnectivityCloudTest, IdleConnectionClosesAndThePublishAfterReconnects) {
    auto module = Make(1);
    ASSERT_FALSE(module->ConnectToIot());
    ASSERT_TRUE(events_.WaitFor("success"));
    ASSERT_TRUE(log_.WaitFor(logging::info, "Closing connection"));
    ASSERT_TRUE(events_.WaitFor("disconnect"));
    EXPECT_TRUE(module->IsConnected()) << "the idle close does not change the reported state";

    const std::string topic = "telemetry/" + thing_ + "/after";
    ASSERT_FALSE(module->Pub(topic, "{}").error);
    EXPECT_EQ(RecordedMessages(topic, 1).size(), 1u);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
