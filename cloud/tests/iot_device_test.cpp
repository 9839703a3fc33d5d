// The IoT device library against the local cloud (broker and HTTPS side).

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "cloud/broker.h"
#include "cloud/local_ca.h"
#include "outside/iot/iot_errors.h"
#include "state_machine/error_tests.h"
#include "testing/local_cloud.h"

namespace zelko::cloud::test {
namespace {

using shared::http::HttpMethod;
using shared::iot::IoTDevice;
namespace agent = plenar::agent;

class IoTDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Admin(HttpMethod::DEL, "/faults");
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
    }
    // The cloud is shared with other test programs: leave its broker running.
    void TearDown() override {
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::POST, "/broker/start");
    }
};

TEST_F(IoTDeviceTest, MutualTlsConnectCallsSuccessOnTheLibraryThreadAndDisconnectEndsCallbacks) {
    const auto info = NewThing(UniqueName("connect"));
    Events events;  // outlives the device, which calls into it
    IoTDevice device(&info, nullptr);
    const auto result = ConnectDevice(device, events);
    ASSERT_FALSE(result.error) << result.error.what();
    EXPECT_EQ(result.httpCode, 0);
    ASSERT_TRUE(events.WaitFor("success"));
    EXPECT_NE(events.threads[0], std::this_thread::get_id());

    EXPECT_FALSE(device.Disconnect().error);
    // The disconnect callback ran before Disconnect returned, and nothing runs afterwards.
    EXPECT_EQ(events.Snapshot(), (std::vector<std::string>{"success", "disconnect"}));
    EXPECT_TRUE(device.Pub("t", "m").error);
    EXPECT_EQ(events.Snapshot().size(), 2u);
}

TEST_F(IoTDeviceTest, PublishReachesNamedSubscribersOfAnotherDeviceIncludingAwsTopics) {
    const auto listenerInfo = NewThing(UniqueName("listener"));
    const auto senderInfo = NewThing(UniqueName("sender"));
    Events listenerEvents, senderEvents, one, two;
    IoTDevice listener(&listenerInfo, nullptr);
    IoTDevice sender(&senderInfo, nullptr);
    ASSERT_FALSE(ConnectDevice(listener, listenerEvents).error);
    ASSERT_FALSE(ConnectDevice(sender, senderEvents).error);

    // "$aws/..." topics are delivered like any other when the filter names "$aws" itself.
    for (const std::string& topic : {UniqueName("plain") + "/data", "$aws/rules/" + UniqueName("rule") + "/x"}) {
        SCOPED_TRACE(topic);
        ASSERT_FALSE(listener.Sub(topic, "one", Events::OnPayload, &one).error);
        ASSERT_FALSE(listener.Sub(topic, "two", Events::OnPayload, &two).error);
        ASSERT_FALSE(sender.Pub(topic, "first").error);
        EXPECT_TRUE(one.WaitFor(topic + "|first"));
        EXPECT_TRUE(two.WaitFor(topic + "|first"));

        ASSERT_FALSE(listener.Unsubscribe(topic, "one").error);
        ASSERT_FALSE(sender.Pub(topic, "second").error);
        EXPECT_TRUE(two.WaitFor(topic + "|second"));
        ASSERT_FALSE(listener.Unsubscribe(topic, "two").error);
        // The last subscriber gone, the device left the topic: a third message reaches nobody,
        // and a marker published after it shows the queue was drained.
        ASSERT_FALSE(sender.Pub(topic, "third").error);
    }
    const std::string marker = UniqueName("marker");
    ASSERT_FALSE(listener.Sub(marker, "one", Events::OnPayload, &one).error);
    ASSERT_FALSE(sender.Pub(marker, "end").error);
    ASSERT_TRUE(one.WaitFor(marker + "|end"));
    for (const auto& seen : one.Snapshot()) EXPECT_EQ(seen.find("second"), std::string::npos) << seen;
    for (const auto& seen : two.Snapshot()) EXPECT_EQ(seen.find("third"), std::string::npos) << seen;
    bool ended = false;
    WaitForRecorded(marker, [&](const nlohmann::json& m) {
        return ended = ended || (m["payload"] == "end" && m["via"] == "mqtt");
    });
    EXPECT_TRUE(ended);
    // The cloud records "$aws/..." messages too (its "$aws/#" subscription; "#" alone misses them).
    bool recorded = false;
    const auto aws = WaitForRecorded("$aws/rules/", [&](const nlohmann::json& m) {
        return recorded = recorded || (m["payload"] == "first" && m["via"] == "mqtt");
    });
    EXPECT_TRUE(recorded) << aws.dump();
}

TEST_F(IoTDeviceTest, ShadowRoundTripAnnouncesAcceptedUpdatesOverMqtt) {
    const std::string thing = UniqueName("shadow");
    const auto info = NewThing(thing);
    Events events, accepted;
    IoTDevice device(&info, nullptr);
    ASSERT_FALSE(ConnectDevice(device, events).error);
    const std::string topic = "$aws/things/" + thing + "/shadow/name/config/update/accepted";
    ASSERT_FALSE(device.Sub(topic, "watcher", Events::OnPayload, &accepted).error);

    const auto missing = device.GetShadow("config");
    EXPECT_EQ(missing.httpCode, 404);
    EXPECT_TRUE(agent::IsIotHttpError(missing.error));
    EXPECT_EQ(missing.error.code(), 404);

    const auto update = device.UpdateShadow("config", R"({"state":{"desired":{"level":3}}})");
    ASSERT_FALSE(update.error) << update.error.what();
    EXPECT_EQ(update.httpCode, 200);
    const auto first = device.GetShadow("config");
    ASSERT_FALSE(first.error);
    ASSERT_TRUE(first.content);
    auto document = nlohmann::json::parse(*first.content);
    EXPECT_EQ(document["state"]["desired"]["level"], 3);
    const int version = document["version"];

    ASSERT_FALSE(device.UpdateShadow("config", R"({"state":{"desired":{"level":4}}})").error);
    document = nlohmann::json::parse(*device.GetShadow("config").content);
    EXPECT_EQ(document["version"], version + 1);
    EXPECT_EQ(document["state"]["desired"]["level"], 4);

    ASSERT_TRUE(accepted.WaitFor(topic + "|" +
                                 nlohmann::json{{"state", {{"desired", {{"level", 4}}}}},
                                                {"version", version + 1},
                                                {"timestamp", document["timestamp"]}}
                                     .dump()))
        << ::testing::PrintToString(accepted.Snapshot());

    // The admin side sees and changes the same shadow.
    EXPECT_EQ(Admin(HttpMethod::GET, "/shadows/" + thing + "/config").second["version"], version + 1);
    // A thing's shadows are its own: another thing's "config" is not this one.
    const auto other = NewThing(UniqueName("other"));
    IoTDevice stranger(&other, nullptr);
    EXPECT_EQ(stranger.GetShadow("config").httpCode, 404);

    EXPECT_FALSE(device.DeleteShadow("config").error);
    EXPECT_EQ(device.GetShadow("config").httpCode, 404);
    EXPECT_EQ(device.DeleteShadow("config").httpCode, 404);
}

TEST_F(IoTDeviceTest, BrokerStoppedInterruptsAndRestartedResumesWithSubscriptions) {
    const auto info = NewThing(UniqueName("resume"));
    Events events, messages;
    IoTDevice device(&info, nullptr);
    device.SetReconnectDelay(std::chrono::seconds(1), std::chrono::seconds(1));
    ASSERT_FALSE(ConnectDevice(device, events).error);
    const std::string topic = UniqueName("after-resume");
    ASSERT_FALSE(device.Sub(topic, "one", Events::OnPayload, &messages).error);

    ASSERT_EQ(Admin(HttpMethod::POST, "/broker/stop").first, 200);
    ASSERT_TRUE(events.WaitFor("interrupt"));
    EXPECT_TRUE(device.Pub(topic, "while down").error);
    ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
    ASSERT_TRUE(events.WaitFor("resume"));

    ASSERT_FALSE(device.Pub(topic, "back").error);
    EXPECT_TRUE(messages.WaitFor(topic + "|back"));
    device.Disconnect();
    EXPECT_EQ(events.Snapshot(), (std::vector<std::string>{"success", "interrupt", "resume", "disconnect"}));
}

// The broker's start is answered once the cloud records again: a message sent at once is kept.
TEST_F(IoTDeviceTest, TheCloudRecordsWhatIsPublishedRightAfterItsBrokerRestarts) {
    ASSERT_EQ(Admin(HttpMethod::POST, "/broker/stop").first, 200);
    ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
    const auto info = NewThing(UniqueName("restart"));
    Events events;
    IoTDevice device(&info, nullptr);
    ASSERT_FALSE(ConnectDevice(device, events).error);
    const std::string topic = UniqueName("restart") + "/data";
    ASSERT_FALSE(device.Pub(topic, "at once").error);
    bool recorded = false;
    const auto seen = WaitForRecorded(topic, [&](const nlohmann::json& m) {
        return recorded = recorded || (m["payload"] == "at once" && m["via"] == "mqtt");
    });
    EXPECT_TRUE(recorded) << seen.dump();
}

TEST_F(IoTDeviceTest, DisconnectWhileTheBrokerIsDownReturnsPromptly) {
    const auto info = NewThing(UniqueName("down"));
    Events events;
    IoTDevice device(&info, nullptr);
    device.SetReconnectDelay(std::chrono::seconds(30), std::chrono::seconds(30));
    ASSERT_FALSE(ConnectDevice(device, events).error);
    ASSERT_EQ(Admin(HttpMethod::POST, "/broker/stop").first, 200);
    ASSERT_TRUE(events.WaitFor("interrupt"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.Disconnect().error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(events.Snapshot(), (std::vector<std::string>{"success", "interrupt", "disconnect"}));
}

TEST_F(IoTDeviceTest, ABrokerThatNeverAnswersEndsConnectAfterTheTimeout) {
    // A port that takes connections into its backlog and never speaks.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const auto info = NewThing(UniqueName("silent"), Cloud().caPem, ntohs(address.sin_port));
    Events events;
    IoTDevice device(&info, nullptr);
    device.SetOperationTimeout(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    const auto result = ConnectDevice(device, events);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(agent::IsAwsInternetConnectionError(result.error)) << result.error.what();
    close(listener);
    EXPECT_TRUE(events.Snapshot().empty());
}

TEST_F(IoTDeviceTest, ConnectionFailuresAreSortedByTheErrorTests) {
    const std::filesystem::path otherCa =
        std::filesystem::temp_directory_path() / UniqueName("zelko-other-ca");
    std::string wrongCa;
    {
        LocalCa ca(otherCa);
        wrongCa = ca.CertificatePem();
    }
    std::filesystem::remove_all(otherCa);
    // A device certificate from another CA: the broker refuses it.
    std::string strangerCertificate, strangerKey;
    {
        LocalCa ca(otherCa);
        const auto issued = ca.IssueDevice("stranger");
        strangerCertificate = issued.certificate;
        strangerKey = issued.privateKey;
    }
    std::filesystem::remove_all(otherCa);
    const auto good = NewThing(UniqueName("failures"));
    const shared::iot::IotInfo foreign("local", "t", good.GetEndpoint(), "stranger", strangerCertificate, strangerKey,
                                       "", "", good.GetRootCA(), "credentials", good.GetCredentialEndpoint(),
                                       good.GetCredentialPath());

    struct Case {
        const char* name;
        shared::iot::IotInfo info;
        bool tls;
        bool network;
    };
    const std::vector<Case> cases = {
        {"wrong root CA", NewThing(UniqueName("wrong-ca"), wrongCa), true, false},
        {"certificate from another CA", foreign, true, false},
        {"closed port", NewThing(UniqueName("closed"), Cloud().caPem, FreeLoopbackPort()), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Events events;
        IoTDevice device(&c.info, nullptr);
        const auto result = ConnectDevice(device, events);
        ASSERT_TRUE(result.error);
        EXPECT_EQ(agent::IsTlsError(result.error), c.tls) << result.error.what();
        EXPECT_EQ(agent::IsAwsInternetConnectionError(result.error), c.network) << result.error.what();
        device.Disconnect();
        EXPECT_TRUE(events.Snapshot().empty());
    }
    // The HTTPS side sorts the same way.
    IoTDevice wrong(&cases[0].info, nullptr);
    EXPECT_TRUE(agent::IsTlsError(wrong.GetShadow("x").error));
}

TEST_F(IoTDeviceTest, ScriptedHttpFaultsBecomeIotHttpErrorsTimeoutsAndNetworkErrors) {
    const auto info = NewThing(UniqueName("faults"));
    IoTDevice device(&info, nullptr);
    device.SetOperationTimeout(std::chrono::milliseconds(400));
    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "shadow-get"}, {"status", 503}, {"count", 2}}).first,
              200);
    for (int i = 0; i < 2; ++i) {
        const auto result = device.GetShadow("any");
        EXPECT_EQ(result.httpCode, 503);
        EXPECT_EQ(result.error.type(), shared::iot::kIotHttpErrorType);
        EXPECT_EQ(result.error.code(), 503);
        EXPECT_TRUE(agent::IsIotHttpError(result.error));
    }
    EXPECT_EQ(device.GetShadow("any").httpCode, 404);

    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "shadow-update"}, {"delay_ms", 1500}}).first, 200);
    const auto stalled = device.UpdateShadow("any", R"({"state":{"reported":{"a":1}}})");
    EXPECT_TRUE(agent::IsAwsInternetConnectionError(stalled.error)) << stalled.error.what();
    EXPECT_NE(stalled.error.what().find("AWS_IO_SOCKET_TIMEOUT"), std::string::npos);

    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "shadow-delete"}, {"close", true}}).first, 200);
    const auto dropped = device.DeleteShadow("any");
    EXPECT_TRUE(agent::IsAwsInternetConnectionError(dropped.error)) << dropped.error.what();
}

TEST_F(IoTDeviceTest, HttpPublishIsRecordedAndForwardedToTheBroker) {
    const auto info = NewThing(UniqueName("http-pub"));
    Events events, messages;
    IoTDevice device(&info, nullptr);
    ASSERT_FALSE(ConnectDevice(device, events).error);
    const std::string topic = "$aws/rules/" + UniqueName("telemetry") + "/device";
    ASSERT_FALSE(device.Sub(topic, "self", Events::OnPayload, &messages).error);
    const auto result = device.PublishByHttp(topic, R"({"n":1})");
    ASSERT_FALSE(result.error) << result.error.what();
    EXPECT_EQ(result.httpCode, 200);
    EXPECT_TRUE(messages.WaitFor(topic + R"(|{"n":1})"));
    const auto recorded = Admin(HttpMethod::GET, "/messages?topic=" + topic).second;
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["via"], "http");
    EXPECT_EQ(recorded[0]["thing"], info.GetThingName());
    EXPECT_EQ(recorded[0]["payload"], R"({"n":1})");
}

// Message bodies are bytes, taken up to the cloud's limit of 128 KB whatever their type, and
// refused with 413 past it; shadows are held to the same limit. A binary message is listed with
// its bytes.
TEST_F(IoTDeviceTest, HttpBodiesAreBytesUpToTheCloudsLimit) {
    const std::string thing = UniqueName("bytes");
    const auto issued = Admin(HttpMethod::POST, "/certificates", {{"thing", thing}}).second;
    auto send = [&](HttpMethod method, const std::string& path, const std::string& body, const char* type) {
        shared::http::HttpClient client(nullptr, nullptr);
        shared::http::HttpRequest request(method, "https://127.0.0.1:" + std::to_string(Cloud().https) + path, body,
                                          10);
        request.SetClientCertificate(issued.at("certificate"), issued.at("privateKey"));
        request.SetCaCertificate(Cloud().caPem);
        if (type != nullptr) request.AddHeader("Content-Type", type);
        shared::http::IHttpResponse* response = nullptr;
        if (client.Perform(request, response)) return 0;
        const int status = response->GetStatusCode();
        shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
        return status;
    };
    const std::string topic = UniqueName("bytes-topic");
    const std::string binary("\xff\xfe\x00\x01 not text", 13);
    const struct {
        const char* what;
        std::string body;
        const char* type;
        int status;
    } publishes[] = {
        {"json", R"({"n": 1})", "application/json", 200},
        {"binary", binary, "application/octet-stream", 200},
        {"binary without a type", binary, nullptr, 200},
        {"form of 30 KB", std::string(30000, 'a') + "=b", "application/x-www-form-urlencoded", 200},
        {"exactly the limit", std::string(131072, 'x'), nullptr, 200},
        {"one byte past", std::string(131073, 'x'), "application/json", 413},
        {"far past", std::string(1 << 20, 'x'), "application/json", 413},
    };
    for (const auto& c : publishes) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(send(HttpMethod::POST, "/topics/" + topic, c.body, c.type), c.status);
    }
    const auto [listed, messages] = Admin(HttpMethod::GET, "/messages?topic=" + topic);
    ASSERT_EQ(listed, 200);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[1]["payload_base64"], "//4AASBub3QgdGV4dA==");
    EXPECT_EQ(messages[2]["payload_base64"], "//4AASBub3QgdGV4dA==");
    EXPECT_FALSE(messages[0].contains("payload_base64"));
    EXPECT_EQ(messages[3]["payload"].get<std::string>().size(), 30002u);

    auto shadow = [](size_t bytes) {
        return nlohmann::json{{"state", {{"desired", {{"a", std::string(bytes, 'x')}}}}}}.dump();
    };
    const std::string path = "/things/" + thing + "/shadow?name=big";
    EXPECT_EQ(send(HttpMethod::POST, path, shadow(100000), "application/json"), 200);
    EXPECT_EQ(send(HttpMethod::POST, path, shadow(140000), "application/json"), 413);
    EXPECT_EQ(send(HttpMethod::POST, path, binary, "application/json"), 400);
}

TEST_F(IoTDeviceTest, CredentialsAreReturnedAndDamagedAnswersGiveNone) {
    const auto info = NewThing(UniqueName("creds"));
    {
        IoTDevice device(&info, nullptr);
        const auto credential = device.GetCredentials();
        ASSERT_NE(credential, nullptr);
        EXPECT_FALSE(credential->GetError());
        EXPECT_EQ(std::string(credential->GetAccessKeyId()).rfind("ASIA", 0), 0u);
        EXPECT_GT(std::strlen(credential->GetSecretAccessKey()), 0u);
        EXPECT_GT(std::strlen(credential->GetSessionToken()), 0u);
        // The same credential until it nears its expiry.
        EXPECT_EQ(device.GetCredentials(), credential);
    }
    struct Case {
        const char* name;
        nlohmann::json fault;
    };
    const std::vector<Case> cases = {
        {"error status", {{"status", 500}}},
        {"empty", {{"status", 200}, {"body", " "}}},
        {"not JSON", {{"status", 200}, {"body", "{\"credentials\": {"}}},
        {"wrong shape", {{"status", 200}, {"body", R"(["credentials"])"}}},
        {"wrong types", {{"status", 200}, {"body", R"({"credentials":{"accessKeyId":1,"secretAccessKey":"s","sessionToken":"t","expiration":"x"}})"}}},
        {"missing key", {{"status", 200}, {"body", R"({"credentials":{"accessKeyId":"a"}})"}}},
        {"huge", {{"status", 200}, {"body", std::string(1 << 20, '[')}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto fault = c.fault;
        fault["endpoint"] = "credentials";
        ASSERT_EQ(Admin(HttpMethod::POST, "/faults", fault).first, 200);
        IoTDevice device(&info, nullptr);
        EXPECT_EQ(device.GetCredentials(), nullptr);
    }
}

}  // namespace
}  // namespace zelko::cloud::test
