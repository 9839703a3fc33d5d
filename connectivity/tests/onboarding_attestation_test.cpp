#include "connectivity/device_attestation_module.h"
#include "connectivity/onboarding.h"
#include "connectivity/tests/connectivity_fixture.h"
#include "outside/http/http_errors.h"
#include "testing/fake_device_info.h"
#include "testing/fake_identity.h"
#include "testing/scripted_http_client.h"

namespace zelko::plenar::agent::test {
namespace {

using testing::ScriptedHttpClient;

class OnboardingTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        WriteConfig({{"stacks", {{"dev", {{"host", "https://onboard.local"}}}}}});
    }
    void WriteConfig(const json& document) { std::ofstream(configPath_) << document.dump(); }
    std::unique_ptr<Onboarding> Make(const std::string& stack = "dev") {
        return std::make_unique<Onboarding>(configPath_, stack, http_, device_, scratch());
    }
    json State() {
        std::ifstream in(scratch() / "zelko-plenar-onboarding-state.json");
        return json::parse(in, nullptr, false);
    }
    void Answer(int status, std::string body) {
        http_->SetHandler([status, body](const shared::http::HttpRequest&) {
            return ScriptedHttpClient::Answer{status, body, {}};
        });
    }

    std::filesystem::path configPath_ = scratch() / "onboarding-module-config.json";
    std::shared_ptr<ScriptedHttpClient> http_ = std::make_shared<ScriptedHttpClient>();
    std::shared_ptr<testing::FakeDeviceInfo> device_ = std::make_shared<testing::FakeDeviceInfo>();
    zelko::testing::LogCapture log_;
};

TEST_F(OnboardingTest, AnswersSetProgressAndHint) {
    const struct {
        const char* name;
        int status;
        std::string body;
        bool onboarded;
        int hint;
        bool failed;
    } rows[] = {
        {"accepted", 202, R"({"backoffHint": 30})", false, 30, false},
        {"server error", 500, R"({"error": "x"})", false, 1440, false},
        {"server error, not json", 500, "<html>", false, -1, true},
        {"server error, empty", 503, "", false, -1, true},
        {"accepted without a hint", 202, "{}", false, -1, true},
        {"accepted, hint not a number", 202, R"({"backoffHint": "soon"})", false, -1, true},
        {"ok", 200, "", true, -1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove(scratch() / "zelko-plenar-onboarding-state.json");
        auto onboarding = Make();
        Answer(row.status, row.body);
        const auto result = onboarding->Perform();
        EXPECT_EQ(static_cast<bool>(result), row.failed) << result.what();
        if (row.failed) EXPECT_EQ(result.origin(), "onboarding");
        EXPECT_TRUE(onboarding->inProgress);
        EXPECT_EQ(onboarding->onboarded, row.onboarded);
        EXPECT_EQ(onboarding->backoffHint, row.hint);
        EXPECT_EQ(State(), json({{"is_onboarded", row.onboarded}}));
        EXPECT_EQ(http_->Outstanding(), 0);
    }
    EXPECT_TRUE(log_.Contains(logging::error, "Onboarding failed with unknown exception"));
    const auto requests = http_->Requests();
    EXPECT_EQ(requests.back().GetUrl(), "https://onboard.local/pciot-autoprovisiong/v1/device");
    EXPECT_EQ(requests.back().GetMethod(), shared::http::HttpMethod::POST);
    EXPECT_EQ(requests.back().GetTimeout(), 600);
    EXPECT_EQ(json::parse(requests.back().GetBody())["serialNumber"], "SN12345");

    // Onboarded once: a restart sends nothing.
    const size_t sent = http_->Requests().size();
    auto restarted = Make();
    EXPECT_TRUE(restarted->onboarded);
    EXPECT_FALSE(restarted->Perform());
    EXPECT_FALSE(restarted->inProgress);
    EXPECT_EQ(http_->Requests().size(), sent);
    EXPECT_TRUE(log_.Contains(logging::info, "Device is already onboarded"));
}

TEST_F(OnboardingTest, SendFailureKeepsTheHintAndIsReturned) {
    auto onboarding = Make();
    http_->SetHandler([](const shared::http::HttpRequest&) {
        return ScriptedHttpClient::Answer{0, "", shared::http::MakeTransferError(6, "Could not resolve host")};
    });
    EXPECT_EQ(onboarding->Perform().code(), 6);
    EXPECT_TRUE(onboarding->inProgress);
    EXPECT_EQ(onboarding->backoffHint, -1);
}

TEST_F(OnboardingTest, ConfigurationAndStateFiles) {
    WriteConfig({{"onboarding_path", "/custom"}, {"stacks", {{"dev", json::object()}}}});
    Answer(200, "");
    (void)Make()->Perform();
    EXPECT_EQ(http_->Requests().back().GetUrl(), "https://api.dev.pciot.zelko.com/custom");
    // A stack the configuration lacks.
    try {
        Make("stage");
        ADD_FAILURE() << "constructed";
    } catch (const json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot use value() with"), std::string::npos);
    }
    // A missing configuration file gives the built-in prod stack.
    std::filesystem::remove(configPath_);
    EXPECT_EQ(Make("prod")->host, "https://api.us-east-1.pciot.zelko.com");
    // Damaged state files are a device not onboarded yet.
    for (const std::string& damaged : {std::string(), std::string("{\"is_onboarded\": tr"), std::string("nope"),
                                       std::string("[true]"), std::string(R"({"is_onboarded": "yes"})"),
                                       std::string(1 << 20, '[')}) {
        std::ofstream(scratch() / "zelko-plenar-onboarding-state.json", std::ios::trunc) << damaged;
        zelko::testing::LogCapture log;
        EXPECT_FALSE(Make("prod")->onboarded) << damaged.substr(0, 30);
        EXPECT_TRUE(log.Contains(logging::warning, "zelko-plenar-onboarding-state.json"));
    }
}

class OnboardTest : public ConnectivityTest {};

TEST_F(OnboardTest, TheModuleCopiesTheOutcome) {
    auto& plain = Module({.mocked = true});
    plain.onboardingInProgress = true;
    plain.Onboard();
    EXPECT_FALSE(plain.onboardingInProgress);
    EXPECT_TRUE(log_.Contains(logging::warning, "Onboarding module is not initialized"));
}

TEST(DeviceAttestationModuleTest, DestructionDeletesTheLibraryObjectBeforeTheClient) {
    auto http = std::make_shared<ScriptedHttpClient>();
    std::weak_ptr<ScriptedHttpClient> watched = http;
    auto fake = std::make_unique<testing::FakeDeviceAttestation>();
    bool clientAliveAtDeletion = false;
    fake->onDestroy = [&] { clientAliveAtDeletion = !watched.expired(); };
    auto module = std::make_unique<DeviceAttestationModule>(std::move(fake), std::move(http));
    module.reset();
    EXPECT_TRUE(clientAliveAtDeletion);
    EXPECT_TRUE(watched.expired());
}

TEST(DeviceAttestationModuleTest, IsAttestatedLogsOnlyAValidCertificate) {
    zelko::testing::LogCapture log;
    auto fake = std::make_unique<testing::FakeDeviceAttestation>();
    auto* attestation = fake.get();
    DeviceAttestationModule module(std::move(fake), nullptr);
    attestation->Set("CheckCertificate", shared::error::Error(shared::error::ErrorCategory::EC_Component, 5, "none"), 1);
    EXPECT_FALSE(module.IsAttestated());
    EXPECT_FALSE(log.Contains(logging::info, "Device has a valid attestation certificate"));
    EXPECT_TRUE(module.IsAttestated());
    EXPECT_TRUE(log.Contains(logging::info, "Device has a valid attestation certificate"));
}

TEST(DeviceAttestationModuleTest, TheStackMustHoldTheAttestationAddresses) {
    auto device = std::make_shared<testing::FakeDeviceInfo>();
    const json uris = {{"attestUri", "https://a"}, {"possesionUri", "https://p"}, {"certificateUri", "https://c"}};
    EXPECT_NO_THROW(DeviceAttestationModule(nullptr, device, {{"attestation", uris}}));
    const struct {
        const char* name;
        json stack;
    } rows[] = {{"stack null", nullptr},
                {"stack not an object", "dev"},
                {"no attestation", {{"iot", json::object()}}},
                {"attestation not an object", {{"attestation", 5}}},
                {"a missing URI", {{"attestation", {{"attestUri", "https://a"}}}}},
                {"a URI not a text", {{"attestation", {{"attestUri", 1}, {"possesionUri", "p"}, {"certificateUri", "c"}}}}}};
    for (const auto& row : rows) {
        EXPECT_THROW(DeviceAttestationModule(nullptr, device, row.stack), json::exception) << row.name;
    }
}

}  // namespace
}  // namespace zelko::plenar::agent::test
