#include <atomic>
#include <future>

#include "connectivity/tests/connectivity_fixture.h"
#include "outside/http/http_errors.h"
#include "outside/iot/iot_errors.h"

namespace zelko::plenar::agent::test {
namespace {

using shared::error::Error;
using shared::error::ErrorCategory;
using shared::iot::IoTResult;

Error Broken() {
    return shared::iot::MakeConnectionError(shared::iot::ConnectionFamily::MqttClientAwsErrors, 5,
                                            shared::iot::kAwsSocketClosed, "broken");
}

IoTResult Result(int32_t http, int32_t iot, Error error = {},
                 std::optional<std::string> content = std::nullopt) {
    IoTResult result;
    result.httpCode = http;
    result.iotCode = iot;
    result.error = std::move(error);
    result.content = std::move(content);
    return result;
}

void ExpectModuleError(const Error& error, int64_t code, const std::string& message) {
    EXPECT_EQ(error.category(), ErrorCategory::EC_Component);
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(error.what(), message);
    EXPECT_EQ(error.type(), kIotDeviceErrorsType);
    EXPECT_EQ(error.origin(), "");
}

// --- ConnectToIot ---

TEST_F(ConnectivityTest, ConnectToIotOutcomes) {
    WriteConfig(DevConfig());
    {
        auto& module = Module({.features = {}});
        EXPECT_FALSE(module.ConnectToIot());
        EXPECT_FALSE(module.IsConnected());
        EXPECT_EQ(DeviceCount(), 0u);
        EXPECT_TRUE(log_.Contains(logging::info, "Not an Corvane device. Skipping IoT connection"));
        Destroy();
    }

    auto& module = Module();
    module.ConnectToIot();
    ASSERT_TRUE(module.IsConnected());
    EXPECT_TRUE(log_.Contains(logging::info, "Iot suceeded http code: 0 and iot code: 0"));

    // An error with both codes 0 is passed on and leaves the flags alone.
    Device()->Script(Call::Connect, Result(0, 0, Broken()));
    EXPECT_EQ(module.ConnectToIot(), Broken());
    EXPECT_TRUE(module.IsConnected());

    Device()->Script(Call::Connect, Result(403, 0, Broken()));
    Error http = module.ConnectToIot();
    EXPECT_EQ(http, Error(ErrorCategory::EC_Component, 403, "ConnectToIot Http error ",
                          std::string(shared::http::kHttpStatusCodeType), "zelko-plenar-agent-service.exe"));
    EXPECT_FALSE(module.IsConnected());

    Device()->Script(Call::Connect, Result(0, 7, Broken()));
    EXPECT_EQ(module.ConnectToIot(), Error(ErrorCategory::EC_Component, 7, "ConnectToIot IoT error", "int",
                                           "zelko-plenar-agent-service.exe"));
    EXPECT_FALSE(module.IsConnected());
    EXPECT_EQ(DeviceCount(), 1u) << "the device is made once";
}

TEST_F(ConnectivityTest, ConnectToIotWithoutADeviceIsAnError) {
    WriteConfig(DevConfig());
    auto& module = Module({.makeDevices = false});
    Error error = module.ConnectToIot();
    EXPECT_EQ(error.category(), ErrorCategory::EC_StdException);
    EXPECT_EQ(error.origin(), "ConnectToIot");
    EXPECT_FALSE(module.IsConnected());
    EXPECT_TRUE(log_.Contains(logging::error, "Iot Connect failed with unknown exception."));
}

// --- Pub ---

// The refusals come in a fixed order: caps, device, topic, JSON.
TEST_F(ConnectivityTest, PubRefusalOrder) {
    WriteConfig(DevConfig());
    const struct {
        const char* name;
        bool overCaps;
        bool device;
        std::string topic;
        std::string message;
        int64_t code;
        const char* text;
    } rows[] = {
        {"caps first", true, false, "", "not json", 4, "Data limit reached."},
        {"then the device", false, false, "", "not json", 1, "IoT device is not initialized."},
        {"then the topic", false, true, "", "not json", 3, "topic is empty."},
        {"then the content", false, true, "t", "not json", 2,
         "Payload contents are not in valid format (json)."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        zelko::testing::LogCapture log;
        auto module = Make();
        if (row.device) {
            ASSERT_FALSE(module->ConnectToIot());
        }
        if (row.overCaps) {
            std::lock_guard lock(module->iotLock);
            module->dataTransfered = module->maxDataTransfered + 1;
        }
        const IoTResult result = module->Pub(row.topic, row.message);
        EXPECT_EQ(result.httpCode, 0);
        EXPECT_EQ(result.iotCode, 0);
        ExpectModuleError(result.error, row.code, row.text);
        EXPECT_TRUE(log.Contains(logging::error, row.text));
        if (row.code == 2) {
            const auto lines = log.Lines();
            auto parser = std::find_if(lines.begin(), lines.end(), [](const auto& l) {
                return l.second.starts_with("Ivalid Payload Contents ");
            });
            ASSERT_NE(parser, lines.end());
            EXPECT_NE(
                std::find_if(parser, lines.end(),
                             [&](const auto& l) { return l.second.find(row.text) != std::string::npos; }),
                lines.end());
        }
        if (row.device) {
            EXPECT_TRUE(Device(DeviceCount() - 1)->Published().empty());
        }
        EXPECT_EQ(module->sentMsgs, 0);
        Destroy(module, log);
    }
}

// A counter equal to its cap still lets one message through; the next is refused.
TEST_F(ConnectivityTest, PubCapsAreStrictlyGreater) {
    const struct {
        const char* name;
        json top;
        std::string message;
        int sent;
    } rows[] = {
        {"messages", {{"max_sent_msgs", 2}}, "{}", 3},
        {"bytes", {{"max_data_transfered", 10}}, R"({"a":12345})", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteConfig(DevConfig(row.top));
        std::filesystem::remove(StatePath());
        auto module = Make();
        ASSERT_FALSE(module->ConnectToIot());
        int sent = 0;
        IoTResult result;
        for (int i = 0; i < 10 && !(result = module->Pub("t", row.message)).error; ++i) ++sent;
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(result.error.code(), 4);
        // Publishing over HTTP is counted but never refused.
        EXPECT_FALSE(module->PubByHttp("t", row.message).error);
        EXPECT_EQ(module->sentMsgs, row.sent + 1);
        Destroy(module);
    }
}

TEST_F(ConnectivityTest, PubCountsIntoTheCountersFile) {
    WriteConfig(DevConfig());
    auto& module = Module();
    ASSERT_FALSE(module.ConnectToIot());
    const IoTResult result = module.Pub("topic/a", R"({"k": "v"})");
    EXPECT_FALSE(result.error);
    ASSERT_EQ(Device()->Published().size(), 1u);
    EXPECT_EQ(Device()->Published()[0].topic, "topic/a");
    EXPECT_EQ(json::parse(ReadFile(StatePath())), json::parse(R"({"data_transfered": 10, "sent_msgs": 1})"));
}

TEST_F(ConnectivityTest, PubReconnectsAfterTheIdleClose) {
    WriteConfig(DevConfig({{"close_connection_after_sec", 5}}));
    auto& module = Module();
    ASSERT_FALSE(module.ConnectToIot());
    clock_.Advance(5s);
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_TRUE(module.IsConnected()) << "the idle close leaves the reported flag";

    // A failed reconnection is returned as it is and nothing is counted.
    Device()->Script(Call::Connect, Result(0, 0, Broken()));
    const IoTResult failed = module.Pub("t", "{}");
    EXPECT_EQ(failed.error, Broken());
    EXPECT_FALSE(module.IsConnected());
    EXPECT_EQ(module.sentMsgs, 0);
    EXPECT_TRUE(log_.Contains(logging::error, "Connection failed: HttpCode: 0 IoTCode: 0 Error: "));

    EXPECT_FALSE(module.Pub("t", "{}").error);
    EXPECT_EQ(Device()->Calls(Call::Connect), 3);
    EXPECT_EQ(module.sentMsgs, 1);
}

// --- PubByHttp ---

TEST_F(ConnectivityTest, PubByHttpOutcomes) {
    WriteConfig(DevConfig());
    auto& module = Module();
    ExpectModuleError(module.PubByHttp("t", "{}").error, 1, "IoT device is not initialized.");
    EXPECT_TRUE(log_.Contains(logging::error, "PubByHttp failed: IoT device is not initialized."));

    ASSERT_FALSE(module.GetCredentials(false));
    ExpectModuleError(module.PubByHttp("", "{}").error, 3, "topic is empty.");
    // Status 200 is a success and is counted; the text is not checked and no connection is opened.
    EXPECT_FALSE(module.PubByHttp("t", "not json").error);
    EXPECT_EQ(module.sentMsgs, 1);
    EXPECT_EQ(module.dataTransfered, 8u);
    EXPECT_EQ(Device()->Calls(Call::Connect), 0);
    EXPECT_TRUE(log_.Contains(logging::info, "PubByHttp succeeded: HttpCode: 200 IoTCode: 0"));

    Device()->Script(Call::PublishByHttp, Result(503, 0, shared::iot::MakeIotHttpError(503, "busy")));
    EXPECT_EQ(module.PubByHttp("t", "{}").httpCode, 503);
    EXPECT_EQ(module.sentMsgs, 1);
    EXPECT_TRUE(log_.Contains(logging::error, "PubByHttp failed: HttpCode: 503 IoTCode: 0"));
}

// --- Sub and Unsub ---

struct Ack {
    ConnectivityModule* module;
    std::promise<IoTResult> published;
};

void PublishAck(shared::iot::Payload payload, void* context) {
    auto* ack = static_cast<Ack*>(context);
    ack->published.set_value(ack->module->Pub("ack", payload.GetContent()));
}

TEST_F(ConnectivityTest, SubscriberMayCallBackIntoTheModule) {
    WriteConfig(DevConfig());
    auto& module = Module();
    ExpectModuleError(module.Sub("t", "s", PublishAck, nullptr).error, 1, "IoT device is not initialized.");
    ExpectModuleError(module.Unsub("t", "s").error, 1, "IoT device is not initialized.");
    ASSERT_FALSE(module.ConnectToIot());
    ExpectModuleError(module.Sub("", "s", PublishAck, nullptr).error, 3, "topic is empty.");
    ExpectModuleError(module.Unsub("", "s").error, 3, "topic is empty.");
    EXPECT_TRUE(log_.Contains(logging::error, "Subscribing failed: topic is empty."));
    EXPECT_TRUE(log_.Contains(logging::error, "UnSubscribing failed: topic is empty."));

    Ack ack{&module, {}};
    auto published = ack.published.get_future();
    ASSERT_FALSE(module.Sub("in/#", "shadow-a", PublishAck, &ack).error);
    Device()->Deliver("in/x", R"({"n": 1})");
    ASSERT_EQ(published.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(published.get().error);
    EXPECT_EQ(Device()->Published().back().topic, "ack");

    EXPECT_FALSE(module.Unsub("in/#", "shadow-a").error);
    EXPECT_FALSE(Device()->IsSubscribed("in/#", "shadow-a"));

    Device()->Script(Call::Sub, Result(0, 3, Broken()));
    EXPECT_EQ(module.Sub("in/#", "shadow-a", PublishAck, &ack).iotCode, 3);
    EXPECT_TRUE(log_.Contains(logging::error, "Subscribing failed: HttpCode: 0 IoTCode: 3"));
}

// --- Shadows ---

TEST_F(ConnectivityTest, ShadowFailuresCarryTheCompactIotText) {
    WriteConfig(DevConfig());
    auto& module = Module();
    std::string content;
    ExpectModuleError(module.GetShadow("grants", content), 1, "IoT device is not initialized.");
    ExpectModuleError(module.UpdateShadow("grants", "{}"), 1, "IoT device is not initialized.");
    ExpectModuleError(module.DeleteShadow("grants"), 1, "IoT device is not initialized.");
    ASSERT_FALSE(module.ConnectToIot());

    const Error missing = module.GetShadow("grants", content);
    EXPECT_EQ(missing.category(), ErrorCategory::EC_Component);
    EXPECT_EQ(missing.code(), 14);
    EXPECT_EQ(missing.type(), "int");
    EXPECT_EQ(missing.origin(), "");
    EXPECT_NE(missing.what().find("\"http_code\":404"), std::string::npos) << missing.what();
    EXPECT_NE(missing.what().find("\"iot_code\":0"), std::string::npos) << missing.what();
    const json text = json::parse(missing.what());
    EXPECT_EQ(text.size(), 3u);
    EXPECT_EQ(text.dump(), missing.what()) << "compact, keys in order";
    EXPECT_NE(text["error"].get<std::string>().find("No shadow exists"), std::string::npos);

    EXPECT_FALSE(module.UpdateShadow("grants", R"({"state": {"desired": {"g": 1}}})"));
    ASSERT_FALSE(module.GetShadow("grants", content));
    EXPECT_EQ(json::parse(content)["state"]["desired"]["g"], 1);

    // Shadow calls need status 200: 0 is a failure.
    Device()->Script(Call::UpdateShadow, Result(0, 0));
    const Error zero = module.UpdateShadow("grants", "{}");
    EXPECT_EQ(zero.code(), 14);
    EXPECT_NE(zero.what().find("\"http_code\":0"), std::string::npos);
    EXPECT_TRUE(log_.Contains(logging::error, "UpdateShadow failed: HttpCode: 0 IoTCode: 0"));

    Device()->Script(Call::GetShadow, Result(200, 0));
    ExpectModuleError(module.GetShadow("grants", content), 2, "The shadow is null.");

    EXPECT_FALSE(module.DeleteShadow("grants"));
    EXPECT_EQ(module.DeleteShadow("grants").code(), 14);
    EXPECT_TRUE(log_.Contains(logging::error, "DeleteShadow failed: HttpCode: 404 IoTCode: 0"));
}

TEST_F(ConnectivityTest, TelemetryTopicNeedsIoTInformation) {
    WriteConfig(DevConfig());
    EXPECT_EQ(Module().GetTelemetryTopic(), "");
}

}  // namespace
}  // namespace zelko::plenar::agent::test
