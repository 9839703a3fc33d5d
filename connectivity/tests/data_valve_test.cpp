#include <future>

#include "connectivity/tests/connectivity_fixture.h"
#include "consent/consent_bridge.h"
#include "outside/data_valve/data_valve.h"
#include "outside/iot/iot_credential.h"
#include "platform/clock.h"
#include "testing/fake_device_info.h"
#include "testing/fake_identity.h"

namespace zelko::plenar::agent::test {
namespace {

using Error = shared::error::Error;
using shared::valve::Stack;
constexpr char kGun[] = "com.zelko.cdm.domain.telemetry.type.eventDetail.device.deviceBkcStatus.version.1";

std::string ReadGolden(const char* name) {
    std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "golden" / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(TelemetryEnvelope, MatchesTheGoldenFile) {
    testing::FakeDeviceInfo device;
    const json stack = {{"dataValve", {{"version", "1.3.0"}, {"originator", {{"version", "1.1.0"}}}}}};
    const json envelope = BuildTelemetryEnvelope(kGun, R"({"version":"7.0","bkc":{"state":"ok"}})", stack, device,
                                                 "2026-12-10T15:00:00.123000Z", "1.2.3.4");
    std::string golden = ReadGolden("telemetry_envelope.json");
    while (!golden.empty() && (golden.back() == '\n' || golden.back() == '\r')) golden.pop_back();
    EXPECT_EQ(envelope.dump(), golden);
}

TEST(TelemetryEnvelope, ConfiguredValuesShortGunsAndBadShapes) {
    testing::FakeDeviceInfo device;
    const json stack = {{"dataValve",
                         {{"version", "9.9.9"}, {"originator", {{"detailType", "custom"}, {"version", "2.0.0"}}}}}};
    const std::string gun = "a.b.c.d.e.f.g.h.appUsage.i";
    const json envelope = BuildTelemetryEnvelope(gun, R"({"version":"7.0"})", stack, device, "t", "v");
    EXPECT_EQ(envelope["version"], "9.9.9");
    EXPECT_EQ(envelope["originator"]["originatorDetailType"], "custom");
    EXPECT_EQ(envelope["originator"]["originatorDetail"]["version"], "2.0.0");
    EXPECT_EQ(envelope["events"][0]["eventCategory"], "appUsage");
    EXPECT_EQ(envelope["events"][0]["eventDetail"]["version"], "7.0");  // only deviceBkcStatus is rewritten
    // Defaults without a "dataValve".
    EXPECT_EQ(BuildTelemetryEnvelope(gun, "{}", json::object(), device, "t", "v")["version"], "1.3.0");

    for (const std::string& short_gun : {std::string(), std::string("a"), std::string("a.b.c.d.e.f.g.h")}) {
        EXPECT_THROW(BuildTelemetryEnvelope(short_gun, "{}", stack, device, "t", "v"), std::invalid_argument) << short_gun;
    }
    EXPECT_THROW(BuildTelemetryEnvelope(gun, "not json", stack, device, "t", "v"), json::parse_error);
    EXPECT_THROW(BuildTelemetryEnvelope(gun, "{}", {{"dataValve", 5}}, device, "t", "v"), json::type_error);
    EXPECT_THROW(BuildTelemetryEnvelope(gun, "{}", {{"dataValve", {{"originator", "x"}}}}, device, "t", "v"),
                 json::type_error);
}

TEST(ValveStack, NameToStackAndKey) {
    const std::string prod = "Hx4Tn8Wq2Lr6Vb9Mz3Kc7Pd1Fs5Jg0Ye";
    const std::string other = "Qm7RtY2wKp9LxN4vB8cZ1hF6jD3sG5aE";
    const struct {
        const char* name;
        Stack stack;
        const std::string& key;
    } rows[] = {{"prod", Stack::Prod, prod}, {"stage", Stack::Stage, other}, {"pie", Stack::Pie, other},
                {"dev", Stack::Dev, other},  {"qa", Stack::Pie, other},      {"", Stack::Pie, other},
                {"Prod", Stack::Pie, other}};
    for (const auto& row : rows) {
        const ValveStackChoice choice = ChooseValveStack(row.name);
        EXPECT_EQ(choice.stack, row.stack) << row.name;
        EXPECT_EQ(choice.apiKey, row.key) << row.name;
    }
}

TEST(Consent, TransactionalTruthTable) {
    const struct {
        std::set<std::string> features;
        bool valid;
    } rows[] = {
        {{}, false},
        {{"Managed"}, true},
        {{"Managed", "TransferOutConsentRequired"}, true},
        {{"AllowSupport"}, false},
        {{"PrivacySettingsAppInstalled"}, false},
        {{"AllowSupport", "PrivacySettingsAppInstalled"}, true},
        {{"AllowSupport", "PrivacySettingsAppInstalled", "TransferOutConsentRequired"}, false},
        {{"AllowSupport", "PrivacySettingsAppInstalled", "TransferOutConsentRequired", "AllowTransferOutOfCountry"}, true},
        {{"AllowSupport", "PrivacySettingsAppInstalled", "AllowTransferOutOfCountry"}, true},
        {{"AllowSupport", "TransferOutConsentRequired", "AllowTransferOutOfCountry"}, false},
        {{"managed"}, false},
    };
    for (const auto& row : rows) {
        const auto features = row.features;
        EXPECT_EQ(IsValidTransactionalConsent([&](const std::string& name) { return features.count(name) > 0; }),
                  row.valid)
            << ::testing::PrintToString(row.features);
    }
    EXPECT_FALSE(IsValidTransactionalConsent({}));
}

// The module's consent test: the bridge's flag on subscription devices, the finder's features on
// the others (the same finder answers the subscription question at construction).
TEST_F(ConnectivityTest, ConsentComesFromTheBridgeOnSubscriptionDevicesAndFromTheFeaturesElsewhere) {
    const std::filesystem::path bridgeConfig = scratch() / "consent-bridge-module-config.json";
    WriteFile(bridgeConfig, R"({"stacks": {"dev": {}}})");
    auto bridge = [&] {
        return std::make_shared<ConsentBridgeModule>("dev", bridgeConfig, std::make_shared<FakeDeviceInfo>(kThing),
                                                     nullptr);
    };
    auto withConsent = [&] {
        auto module = bridge();
        module->WriteConsentToRegistry({ConsentState::Accepted}, "");
        return module;
    };
    const std::set<std::string> subscription = {"ZelkoPlenarSubscription", "Managed"};
    const struct {
        const char* name;
        std::set<std::string> features;
        std::function<std::shared_ptr<ConsentBridgeModule>()> makeBridge;
        bool valid;
    } rows[] = {
        {"subscription, no bridge", subscription, nullptr, false},
        {"subscription, bridge without consent", subscription, bridge, false},
        {"subscription, bridge with consent", subscription, withConsent, true},
        {"subscription, consent but no consent features", {"ZelkoPlenarSubscription"}, withConsent, true},
        {"transactional, bridge with consent, no features", {}, withConsent, false},
        {"transactional, managed", {"Managed"}, nullptr, true},
        {"transactional, support and privacy app", {"AllowSupport", "PrivacySettingsAppInstalled"}, nullptr, true},
        {"transactional, transfer needs consent",
         {"AllowSupport", "PrivacySettingsAppInstalled", "TransferOutConsentRequired"}, nullptr, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Options options;
        options.mocked = true;
        options.features = row.features;
        options.consentBridge = row.makeBridge ? row.makeBridge() : nullptr;
        auto& module = Module(options);
        EXPECT_EQ(module.IsValidConsent(), row.valid);
        Destroy();
    }
    EXPECT_EQ(log_.Count(logging::debug, "Checking if consent is valid for subscription"), 4);
}

// The remote configuration asks from the IoT library's thread, which may hold iotLock meanwhile.
TEST_F(ConnectivityTest, TheConsentTestNeverWaitsForTheIoTLock) {
    Options options;
    options.mocked = true;
    options.features = {"ZelkoPlenarSubscription"};
    auto& module = Module(options);
    std::lock_guard held(module.iotLock);
    auto answer = std::async(std::launch::async, [&] { return module.IsValidConsent(); });
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(answer.get());
}

class DataValveTest : public ConnectivityTest {
  protected:
    ConnectivityModule& WithValve(std::function<std::shared_ptr<shared::valve::DataValveClientBase>()> make,
                                  std::set<std::string> features = {"Corvane"}) {
        Options options;
        options.mocked = true;
        options.features = std::move(features);
        options.makeValveClient = [this, make](const auto&, auto*) {
            ++made_;
            return make();
        };
        options.s3 = s3_;
        return Module(options);
    }
    int made_ = 0;
    std::shared_ptr<testing::FakeS3Client> s3_ = std::make_shared<testing::FakeS3Client>();
};

TEST_F(DataValveTest, TheClientIsMadeOnFirstUseAndTheTimeStaysZeroOnError) {
    const Error broken = shared::valve::MakeError(shared::valve::ValveClientErrorCodes::RulesUnavailable, "down");
    auto& module = WithValve([&] { return std::make_shared<testing::FakeDataValveClient>(broken); });
    EXPECT_EQ(made_, 0);
    char buffer[64] = {};
    EXPECT_EQ(module.FilterCDMTrees("{}", kGun, buffer, sizeof buffer), broken);
    EXPECT_EQ(made_, 1);
    EXPECT_EQ(module.GetDataValveClientInitTime(), 0);
    // The failed client is kept until it is replaced.
    (void)module.FilterCDMTrees("{}", kGun, buffer, sizeof buffer);
    EXPECT_EQ(made_, 1);
}

TEST_F(DataValveTest, AGoodClientRecordsItsCreationTimeAndFilters) {
    platform::ScopedFakeClock clock(133'000'000'000'000'000);
    auto& module = WithValve([] { return std::make_shared<testing::FakeDataValveClient>(); });
    char buffer[64] = {};
    ASSERT_FALSE(module.FilterCDMTrees(R"({"a":1})", kGun, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, R"({"a":1})");
    EXPECT_EQ(module.GetDataValveClientInitTime(), 133'000'000'000'000'000);
}

TEST_F(DataValveTest, AClientThatCannotBeMadeIsAnErrorNotACrash) {
    auto& module = WithValve([]() -> std::shared_ptr<shared::valve::DataValveClientBase> { return nullptr; });
    char buffer[8];
    const Error failure = module.FilterCDMTrees("{}", kGun, buffer, sizeof buffer);
    EXPECT_EQ(failure.category(), shared::error::ErrorCategory::EC_StdException);
    EXPECT_EQ(failure.origin(), "FilterCDMTrees");
    Destroy();
    auto& throwing = WithValve([]() -> std::shared_ptr<shared::valve::DataValveClientBase> {
        throw std::runtime_error("no memory");
    });
    EXPECT_TRUE(throwing.FilterCDMTrees("{}", kGun, buffer, sizeof buffer));
    EXPECT_TRUE(log_.WaitFor(logging::error, "InitializeDataValveClient failed with exception: ", 1));
}

TEST_F(DataValveTest, FormatForPublishingGrowsOrZeroFillsTheBuffer) {
    auto& module = WithValve([] { return std::make_shared<testing::FakeDataValveClient>(); });
    std::vector<char> small(4, 'x');
    module.FormatForPublishing(kGun, R"({"a":1})", small);
    const std::string text(small.data());
    EXPECT_EQ(small.size(), text.size() + 1);
    EXPECT_EQ(json::parse(text)["events"][0]["eventDetail"]["version"], "1.0.0");

    std::vector<char> large(text.size() + 100, 'x');
    module.FormatForPublishing(kGun, R"({"a":1})", large);
    EXPECT_EQ(large.size(), text.size() + 100);
    const std::string again(large.data());
    EXPECT_TRUE(std::all_of(large.begin() + again.size(), large.end(), [](char c) { return c == '\0'; }));
    EXPECT_THROW(module.FormatForPublishing("a.b", "{}", large), std::invalid_argument);
}

TEST_F(DataValveTest, ConsentOfSubscriptionAndOtherDevices) {
    EXPECT_TRUE(WithValve(nullptr, {"Managed"}).IsValidConsent());
    Destroy();
    EXPECT_FALSE(WithValve(nullptr, {"AllowSupport"}).IsValidConsent());
    Destroy();
    // A subscription device without a consent bridge has no consent, whatever its features.
    EXPECT_FALSE(WithValve(nullptr, {"ZelkoPlenarSubscription", "Managed"}).IsValidConsent());
}

TEST_F(DataValveTest, S3ArgumentsAndDevicesAreCheckedBeforeTheTransfer) {
    auto& module = WithValve(nullptr);
    uint64_t size = 0;
    bool resumed = false;
    const struct {
        const char* name;
        std::string uri, key;
        json content;
        const char* message;
    } uploads[] = {
        {"no uri", "", "k", "doc", "upload uri oath or content are empty"},
        {"no key", "s3://b", "", "doc", "upload uri oath or content are empty"},
        {"null content", "s3://b", "k", nullptr, "upload uri oath or content are empty"},
        {"empty object", "s3://b", "k", json::object(), "upload uri oath or content are empty"},
        {"empty array", "s3://b", "k", json::array(), "upload uri oath or content are empty"},
        {"not a text", "s3://b", "k", json{{"a", 1}}, "The upload content is not a document text"},
    };
    for (const auto& row : uploads) {
        const Error failure = module.UploadToS3(row.uri, row.key, row.content);
        EXPECT_EQ(failure.category(), shared::error::ErrorCategory::EC_StdException) << row.name;
        EXPECT_EQ(failure.what(), row.message) << row.name;
        EXPECT_EQ(failure.origin(), "UploadToS3") << row.name;
    }
    for (const auto& [uri, path] : {std::pair<std::string, std::string>{"", "p"}, {"s3://b/k", ""}}) {
        const Error failure = module.DownloadFromS3(uri, path, size, resumed);
        EXPECT_EQ(failure.what(), "uri or download path are empty");
        EXPECT_EQ(failure.origin(), "DownloadFromS3");
    }
    // No IoT device yet.
    for (const Error& failure : {module.UploadToS3("s3://b", "k", "doc"), module.DownloadFromS3("s3://b/k", "p", size, resumed)}) {
        EXPECT_EQ(failure.code(), 1);
        EXPECT_EQ(failure.what(), "IoT device is not initialized.");
        EXPECT_NE(failure.type().find("IotDeviceErrors"), std::string::npos);
    }
    EXPECT_EQ(s3_->Calls("UploadJsonContent") + s3_->Calls("DownloadFile"), 0);
}

TEST_F(DataValveTest, S3TransfersUseTheDeviceCredential) {
    Options options;
    options.s3 = s3_;
    auto& module = Module(options);
    ASSERT_FALSE(module.GetCredentials(false));
    ASSERT_FALSE(module.UploadToS3("s3://bucket", "key.json", json("{\"a\":1}")));
    ASSERT_EQ(s3_->Uploads().size(), 1u);
    EXPECT_EQ(s3_->Uploads()[0].content, "{\"a\":1}");
    uint64_t size = 0;
    bool resumed = true;
    ASSERT_FALSE(module.DownloadFromS3("s3://bucket/key.json", (ExeFolder() / "got.json").string(), size, resumed));
    EXPECT_EQ(size, 2u);
    s3_->Set("UploadJsonContent", Error(shared::error::ErrorCategory::EC_Component, 403, "denied", "x"), 1);
    EXPECT_EQ(module.UploadToS3("s3://bucket", "key.json", json("{}")).code(), 403);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
