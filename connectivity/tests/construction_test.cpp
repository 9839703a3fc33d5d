#include <limits>

#include "connectivity/onboarding.h"
#include "connectivity/tests/connectivity_fixture.h"
#include "foundation/default_configs.h"

namespace zelko::plenar::agent::test {
namespace {

// About 4 MB of valid JSON that is not an object.
std::string HugeArray() {
    std::string text = "[";
    for (int i = 0; i < (2 << 20); ++i) text += "1,";
    return text + "1]";
}

TEST_F(ConnectivityTest, BuiltInDocumentServesProd) {
    std::filesystem::remove(ConfigPath());
    auto& module = Module({.stack = "prod"});
    EXPECT_TRUE(log_.Contains(logging::error, "Failed to load config: " + ConfigPath().string()));
    EXPECT_EQ(module.maxSentMsgs, 2400);
    EXPECT_EQ(module.maxDataTransfered, 12288000);
    EXPECT_EQ(module.switchS3UploadMaxMessageSize, 128.0);
    EXPECT_EQ(module.onboarding, nullptr);
    EXPECT_FALSE(module.softkey);
    EXPECT_EQ(module.deviceIdBy, "sn");
    EXPECT_TRUE(module.isCorvaneDevice);
    EXPECT_FALSE(module.isSubscriptionDevice);
    EXPECT_NE(module.attestationModule, nullptr);

    // The idle close of the built-in document is 900 seconds.
    const int64_t start = platform::SteadyNowNanos();
    ASSERT_FALSE(module.ConnectToIot());
    WaitForSecondsLeft(900);
    clock_.Advance(900s);
    ASSERT_TRUE(Device()->WaitForDisconnects(1));
    EXPECT_EQ(Device()->DisconnectTimes()[0], start + 900 * kSecond);
}

TEST(ConnectivityDefaults, BuiltInDocumentHoldsTheProdAddresses) {
    const std::string* text =
        FindDefaultConfig(DefaultConfigs(), "connectivity-module-config.json", ConfigVariant::Standard);
    ASSERT_NE(text, nullptr);
    const json document = json::parse(*text);
    EXPECT_EQ(document["cloud"]["stacks"].size(), 1u);
    const struct {
        const char* pointer;
        const char* ending;
    } rows[] = {
        {"/stackName", "prod"},
        {"/dataValve/version", "1.3.0"},
        {"/dataValve/originator/detailType", "personalComputer.version.1"},
        {"/dataValve/originator/details/version", "1.0.0"},
        {"/dataValve/endpointUrl", "/clientdatavalvecontroller"},
        {"/iot/telemetryTopic", "/"},
        {"/iot/corvaneEnrollmentTopic", "/"},
        {"/enrollment_v2/discoveryUri", "/v2/services"},
        {"/enrollment_v2/enrollmentUri", "/pciot-enrollment/v1/tpm"},
        {"/enrollment_v2/enrollmentStatusUri", "/pciot-enrollment/v1/status"},
        {"/enrollment_v2/preEnrollmentUri", "/pciot-enrollment/v1/challenge"},
        {"/enrollment_1e/preEnrollmentUri", "/pciot-attestation/v1/{deviceUniqueId}/pre"},
        {"/enrollment_1e/enrollmentUri", "/pciot-attestation/v1/{deviceUniqueId}/attestnotpm"},
        {"/attestation/attestUri", "/pciot-attestation/v1/{deviceUniqueId}/attest"},
        {"/attestation/possesionUri", "/pciot-attestation/v1/{deviceUniqueId}/pop"},
        {"/attestation/certificateUri", "/pciot-attestation/v1/{deviceUniqueId}/iak/mock_device_1"},
    };
    const json& prod = document["cloud"]["stacks"]["prod"];
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pointer);
        const std::string value = prod.at(json::json_pointer(row.pointer)).get<std::string>();
        EXPECT_TRUE(value.ends_with(row.ending)) << value;
        const std::string pointer = row.pointer;
        if (pointer.ends_with("Uri") || pointer.ends_with("Url")) {
            EXPECT_TRUE(value.starts_with("https://")) << value;
        }
        if (pointer.starts_with("/iot/")) {
            EXPECT_TRUE(value.starts_with("$aws/rules/")) << value;
        }
    }
    for (const char* absent : {"max_sent_msgs", "max_data_transfered", "close_connection_after_sec"})
        EXPECT_FALSE(document.contains(absent)) << absent;
}

// A stack the configuration lacks, or one without an "iot" object, fails the construction.
TEST_F(ConnectivityTest, UnusableStackFailsWithTheJsonTypeError) {
    const struct {
        const char* name;
        std::optional<json> file;
    } rows[] = {
        {"no file, stack dev", std::nullopt},
        {"dev without iot", json::parse(R"({"cloud": {"stacks": {"dev": {"stackName": "dev"}}}})")},
        {"dev with iot 5", json::parse(R"({"cloud": {"stacks": {"dev": {"iot": 5}}}})")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove(ConfigPath());
        if (row.file) WriteConfig(*row.file);
        try {
            Make();
            ADD_FAILURE() << "constructed";
        } catch (const json::type_error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot use value() with"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(DeviceCount(), 0u);
}

TEST_F(ConnectivityTest, SettingsComeFromTheFile) {
    WriteConfig(DevConfig({{"max_sent_msgs", 7}, {"max_data_transfered", 5000000000LL}},
                          {{"switch_s3_upload_max_message_size", 64.5}, {"telemetryTopic", "t/"}}));
    json document = json::parse(ReadFile(ConfigPath()));
    document["cloud"]["onboard"] = true;
    document["cloud"]["softkey"] = true;
    WriteConfig(document);
    WriteFile(ConfigPath().parent_path() / "onboarding-module-config.json",
              R"({"stacks": {"dev": {"host": "https://onboarding.local"}}})");

    auto& module = Module();
    EXPECT_EQ(module.maxSentMsgs, 7);
    EXPECT_EQ(module.maxDataTransfered, 5000000000LL);
    EXPECT_EQ(module.switchS3UploadMaxMessageSize, 64.5);
    EXPECT_TRUE(module.softkey);
    ASSERT_NE(module.onboarding, nullptr);
    EXPECT_EQ(module.onboarding->ConfigPath(), ConfigPath().parent_path() / "onboarding-module-config.json");
}

TEST_F(ConnectivityTest, DeviceIdentityForConsent) {
    const struct {
        const char* name;
        bool subscription;
        json value;  // null: absent
        const char* expected;
        const char* logged;
    } rows[] = {
        {"plain device", false, nullptr, "sn", "By default User Consent goes by sn"},
        {"subscription device", true, nullptr, "uuid", "By default User Consent goes by uuid"},
        {"override", false, "uuid", "uuid", "User Consent goes by is overriden by config to uuid"},
        {"unknown text", true, "serial", "uuid", "Wrong device id by, using default uuid"},
        {"not a text", false, 3, "sn", "Setting \"device_id_by\" of "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        json document = DevConfig();
        if (!row.value.is_null()) document["cloud"]["device_id_by"] = row.value;
        WriteConfig(document);
        std::set<std::string> features = {"Corvane"};
        if (row.subscription) features.insert("ZelkoPlenarSubscription");
        auto module = Make({.features = features});
        EXPECT_EQ(module->isSubscriptionDevice, row.subscription);
        EXPECT_EQ(module->deviceIdBy, row.expected);
        EXPECT_TRUE(log_.Contains(logging::info, row.logged) || log_.Contains(logging::warning, row.logged));
        Destroy(module);
    }
}

// A damaged configuration file is read as if it were missing (the built-in document) or, for a
// value of the wrong type, as if that value were missing; the file is named in the log.
TEST_F(ConnectivityTest, DamagedConfigurationFallsBackToDefaults) {
    const struct {
        const char* name;
        std::string text;
        const char* logged;
    } rows[] = {
        {"empty", "", "Failed to load config: "},
        {"cut", R"({"cloud": {"stacks": {"prod": {"iot": {)", "Failed to load config: "},
        {"not json", "max_sent_msgs = 5", "Failed to load config: "},
        {"array", "[1, 2]", "is not a connectivity configuration document"},
        {"cloud not an object", R"({"cloud": 5, "max_sent_msgs": 1})",
         "is not a connectivity configuration document"},
        {"stacks not an object", R"({"cloud": {"stacks": []}})",
         "is not a connectivity configuration document"},
        {"huge", HugeArray(), "is not a connectivity configuration document"},
        {"wrong types",
         [] {
             json document = json::parse(R"({"max_sent_msgs": "many", "max_data_transfered": 1.5,
                 "close_connection_after_sec": true, "cloud": {"softkey": "yes", "onboard": 1,
                 "stacks": {"prod": {"stackName": "prod", "iot": {"switch_s3_upload_max_message_size": "big"}}}}})");
             document["cloud"]["stacks"]["prod"].update(EnrollmentSections());
             return document.dump();
         }(),
         "is not "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(ConfigPath(), row.text);
        zelko::testing::LogCapture log;
        auto module = Make({.stack = "prod"});
        EXPECT_EQ(module->maxSentMsgs, 2400);
        EXPECT_EQ(module->maxDataTransfered, 12288000);
        EXPECT_EQ(module->switchS3UploadMaxMessageSize, 128.0);
        EXPECT_FALSE(module->softkey);
        EXPECT_EQ(module->onboarding, nullptr);
        bool named = false;
        for (const auto& [severity, message] : log.Lines()) {
            named = named || (severity <= logging::warning &&
                              message.find(ConfigPath().string()) != std::string::npos &&
                              message.find(row.logged) != std::string::npos);
        }
        EXPECT_TRUE(named);
        Destroy(module, log);
    }
}

TEST_F(ConnectivityTest, MockedModuleHasNoClosingThread) {
    WriteConfig(DevConfig({{"close_connection_after_sec", 1}}));
    auto& module = Module({.mocked = true});
    EXPECT_TRUE(
        log_.Contains(logging::info, "Connectivity module is mocked and not performing enrollement."));
    ASSERT_FALSE(module.ConnectToIot());
    clock_.Advance(10s);
    Destroy();  // does not wait for a closing thread
    EXPECT_EQ(Device()->DisconnectTimes().size(), 0u);
    EXPECT_FALSE(log_.Contains(logging::info, "Stopping the connection closing thread."));
}

// --- The counters file ---

TEST_F(ConnectivityTest, CountersFileIsCreatedAtStart) {
    Module();
    EXPECT_EQ(json::parse(ReadFile(StatePath())), json::parse(R"({"data_transfered": 0, "sent_msgs": 0})"));
    EXPECT_NE(ReadFile(StatePath()).find("\n    \"sent_msgs\": 0"), std::string::npos) << "indented by 4";
}

TEST_F(ConnectivityTest, CountersAreReadBack) {
    WriteFile(StatePath(), R"({"sent_msgs": 5})");
    auto& module = Module();
    EXPECT_EQ(module.sentMsgs, 5);
    EXPECT_EQ(module.dataTransfered, 0u);
}

// Both counters are 64-bit: a count beyond 2^31 - 1 survives a restart.
TEST_F(ConnectivityTest, LargeCountersSurviveARestart) {
    WriteFile(StatePath(), R"({"data_transfered": 5000000000, "sent_msgs": 3000000000})");
    {
        auto& module = Module();
        EXPECT_EQ(module.dataTransfered, 5000000000u);
        EXPECT_EQ(module.sentMsgs, 3000000000);
        ASSERT_FALSE(module.GetCredentials(false));
        ASSERT_FALSE(module.PubByHttp("t", "12345").error);
        Destroy();
    }
    auto& module = Module();
    EXPECT_EQ(module.dataTransfered, 5000000005u);
    EXPECT_EQ(module.sentMsgs, 3000000001);
}

TEST_F(ConnectivityTest, DamagedCountersFileCountsFromZero) {
    const struct {
        const char* name;
        std::string text;
        uint64_t data;
        int64_t sent;
        bool rewritten;
    } rows[] = {
        {"empty", "", 0, 0, true},
        {"cut", R"({"data_transfered": 12, "sent_)", 0, 0, true},
        {"not json", "sent_msgs=5", 0, 0, true},
        {"array", "[5, 6]", 0, 0, true},
        {"text count", R"({"data_transfered": 12, "sent_msgs": "5"})", 12, 0, false},
        {"negative", R"({"data_transfered": -12, "sent_msgs": 4})", 0, 4, false},
        {"beyond 64 bits", R"({"data_transfered": 1e30, "sent_msgs": 2})", 0, 2, false},
        {"huge and cut", "{\"sent_msgs\": 3, \"x\": \"" + std::string(4 << 20, 'a'), 0, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(StatePath(), row.text);
        zelko::testing::LogCapture log;
        auto module = Make();
        EXPECT_EQ(module->dataTransfered, row.data);
        EXPECT_EQ(module->sentMsgs, row.sent);
        bool named = false;
        for (const auto& [severity, message] : log.Lines())
            named = named || message.find(StatePath().string()) != std::string::npos;
        EXPECT_TRUE(named);
        if (row.rewritten) {
            EXPECT_EQ(json::parse(ReadFile(StatePath())),
                      json::parse(R"({"data_transfered": 0, "sent_msgs": 0})"));
        }
        Destroy(module, log);
    }
}

TEST_F(ConnectivityTest, DestructionPausesASecondAndSavesTheCounters) {
    auto module = Make();
    std::filesystem::remove(StatePath());
    std::atomic<bool> done = false;
    std::thread destroyer([&] {
        module.reset();
        done = true;
    });
    ASSERT_TRUE(log_.WaitFor(logging::info, "Stopping the connection closing thread."));
    ASSERT_TRUE(clock_.WaitForSleepers(1));
    clock_.Advance(999ms);
    EXPECT_FALSE(done);
    EXPECT_EQ(platform::SteadySleepers(), 1u);
    clock_.Advance(1ms);
    destroyer.join();
    EXPECT_TRUE(std::filesystem::exists(StatePath()));
}

TEST_F(ConnectivityTest, MissingExecutableFolderLeavesCountersInMemory) {
    std::filesystem::remove_all(scratch());
    auto& module = Module({.stack = "prod"});
    EXPECT_TRUE(log_.Contains(logging::error, "Cannot get the folder path - GetLastError: "));
    EXPECT_EQ(module.sentMsgs, 0);
    EXPECT_FALSE(std::filesystem::exists(StatePath()));
}

}  // namespace
}  // namespace zelko::plenar::agent::test
