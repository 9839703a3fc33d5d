// The connectivity module's own operations walk the identity road against the running local cloud
// (CTest fixture): attest, proof of possession, discovery, pre-enroll, enroll, poll until ready,
// "iot-info.dat", credentials and the MQTT connection with the issued certificate.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "connectivity/connectivity_module.h"
#include "connectivity/device_attestation_module.h"
#include "outside/http/http_client.h"
#include "outside/iot/iot_device.h"
#include "state_machine/error_tests.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/named_features.h"
#include "testing/temp_system_root.h"

namespace zelko::cloud::test {
namespace {

using nlohmann::json;
using plenar::agent::ConnectivityModule;
using shared::attestation::AttestationMode;

int ServicesPort() {
    const char* file = std::getenv("ZELKO_TEST_CLOUD");
    if (file == nullptr) throw std::runtime_error("ZELKO_TEST_CLOUD is not set: run these tests through ctest");
    std::ifstream in(file);
    return json::parse(in).at("services_port").get<int>();
}

class IdentityRoadTest : public testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        caFile_ = (scratch() / "cloud-ca.pem").string();
        std::ofstream(caFile_) << Cloud().caPem;
        ::setenv("ZELKO_CLOUD_CA_FILE", caFile_.c_str(), 1);
        device_->snrId = UniqueName("SNR");
        device_->serialNumber = device_->snrId + "-serial";
        const std::string api = "https://127.0.0.1:" + std::to_string(ServicesPort());
        const json stack = {
            {"stackName", "dev"},
            {"iot",
             {{"telemetryTopic", "$aws/rules/telemetry/"},
              {"credentialUri", "https://127.0.0.1:" + std::to_string(Cloud().https) +
                                    "/role-aliases/zelko-device/credentials"}}},
            {"dataValve", {{"endpointUrl", api + "/clientdatavalvecontroller"}}},
            {"enrollment_v2",
             {{"discoveryUri", api + "/v2/services"},
              {"enrollmentUri", api + "/pciot-enrollment/v1/tpm"},
              {"enrollmentStatusUri", api + "/pciot-enrollment/v1/status"},
              {"preEnrollmentUri", api + "/pciot-enrollment/v1/challenge"}}},
            {"enrollment_1e",
             {{"preEnrollmentUri", api + "/pciot-attestation/v1/{deviceUniqueId}/pre"},
              {"enrollmentUri", api + "/pciot-attestation/v1/{deviceUniqueId}/attestnotpm"}}},
            {"attestation",
             {{"attestUri", api + "/pciot-attestation/v1/{deviceUniqueId}/attest"},
              {"possesionUri", api + "/pciot-attestation/v1/{deviceUniqueId}/pop"},
              {"certificateUri", api + "/pciot-attestation/v1/{deviceUniqueId}/iak/mock_device_1"}}}};
        configPath_ = scratch() / "connectivity-module-config.json";
        std::ofstream(configPath_) << json{{"cloud", {{"stacks", {{"dev", stack}}}}}}.dump();
        Admin(shared::http::HttpMethod::DEL, "/device-faults");
        Admin(shared::http::HttpMethod::PUT, "/enrollment", {{"not_ready_polls", 2}});
    }
    void TearDown() override {
        ::unsetenv("ZELKO_CLOUD_CA_FILE");
        Admin(shared::http::HttpMethod::DEL, "/device-faults");
    }

    std::shared_ptr<ConnectivityModule> Make() {
        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        return std::make_shared<ConnectivityModule>(
            "dev", configPath_.string(), http_,
            finder_, device_,
            nullptr, nullptr, nullptr, true, nullptr, environment);
    }

    // Attestation, proof of possession, discovery and the challenge.
    void UpToPreEnroll(ConnectivityModule& module) {
        auto& attestation = *module.attestationModule;
        EXPECT_FALSE(attestation.IsAttestated());
        attestation.attestationValue = 0;
        ASSERT_FALSE(attestation.attestation->Attestate(true, AttestationMode::SoftwareKey, &attestation.attestationValue));
        ASSERT_FALSE(attestation.attestation->ProofOfPossesion(attestation.attestationValue));
        EXPECT_TRUE(attestation.IsAttestated());
        const auto discovered = module.Discovery(false);
        ASSERT_FALSE(discovered) << discovered.what();
        // The finder now reads the service names of the token the enrollment library cached.
        EXPECT_FALSE(finder_->GetFeaturesByName("pciot-telemetry").empty());
        const auto pre = module.PreEnrollZelko();
        ASSERT_FALSE(pre) << pre.what();
    }

    std::string caFile_;
    std::filesystem::path configPath_;
    std::shared_ptr<shared::http::HttpClient> http_ = std::make_shared<shared::http::HttpClient>(nullptr, nullptr);
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<plenar::agent::FeatureFinder> finder_ =
        zelko::testing::FinderOf({"ZelkoPlenarSubscription", "Corvane"});
};

TEST_F(IdentityRoadTest, FromAttestationToTheBrokerWithTheIssuedCertificate) {
    auto module = Make();
    ::testing::internal::CaptureStdout();
    UpToPreEnroll(*module);
    ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(module->EnrollZelko());
    for (int i = 0; i < 2; ++i) {
        const auto not_ready = module->PollEnrollZelkoStatus();
        EXPECT_TRUE(plenar::agent::IsEnrollmentNotFoundError(not_ready)) << not_ready.what();
        EXPECT_FALSE(std::filesystem::exists(scratch() / "iot-info.dat"));
    }
    const auto polled = module->PollEnrollZelkoStatus();
    ASSERT_FALSE(polled) << polled.what();
    ASSERT_TRUE(std::filesystem::exists(scratch() / "iot-info.dat"));
    auto info = module->GetIotInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(std::string(info->GetThingName()), device_->snrId);
    EXPECT_EQ(std::string(info->GetEndpoint()), "127.0.0.1:" + std::to_string(Cloud().mqtt));
    EXPECT_EQ(std::string(info->GetRootCA()), Cloud().caPem);
    EXPECT_TRUE(module->IsCredentialsReady());

    const auto credentials = module->GetCredentials(false);
    ASSERT_FALSE(credentials) << credentials.what();
    Events events;
    module->connectSuccessCallback = Events::OnSuccess;
    module->resumeCallback = Events::OnResume;
    module->disconnectCallback = Events::OnDisconnect;
    module->interruptCallback = Events::OnInterrupt;
    module->callbackContext = &events;
    const auto connected = module->ConnectToIot();
    ASSERT_FALSE(connected) << connected.what();
    EXPECT_TRUE(events.WaitFor("success"));
    EXPECT_TRUE(module->IsConnected());

    const auto [status, devices] = Admin(shared::http::HttpMethod::GET, "/devices");
    ASSERT_EQ(status, 200);
    bool listed = false;
    for (const auto& device : devices) {
        if (device["deviceUniqueId"] != device_->snrId) continue;
        listed = true;
        EXPECT_EQ(device["enrollment"], "issued");
        EXPECT_TRUE(device["attested"]);
    }
    EXPECT_TRUE(listed);

    // A restarted module finds the enrolled device in "iot-info.dat"; a reset forgets it.
    module.reset();
    auto restarted = Make();
    ASSERT_TRUE(restarted->GetIotInfo());
    restarted->ResetEnrollment();
    EXPECT_FALSE(std::filesystem::exists(scratch() / "iot-info.dat"));
}

TEST_F(IdentityRoadTest, AScriptedServerErrorAtEnrollIsAServerError) {
    auto module = Make();
    ::testing::internal::CaptureStdout();
    UpToPreEnroll(*module);
    ::testing::internal::GetCapturedStdout();
    const auto [status, body] =
        Admin(shared::http::HttpMethod::POST, "/device-faults", {{"endpoint", "enroll"}, {"status", 500}, {"count", 1}});
    ASSERT_EQ(status, 200) << body.dump();
    const auto failed = module->EnrollZelko();
    EXPECT_EQ(failed.category(), shared::error::ErrorCategory::EC_Component);
    EXPECT_EQ(failed.code(), 500);
    std::string type = failed.type();
    for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(type.find("http"), std::string::npos);
    EXPECT_TRUE(plenar::agent::IsRateLimitedError(failed));
    EXPECT_FALSE(plenar::agent::IsNetworkError(failed));
    // The fault was for one call.
    EXPECT_FALSE(module->EnrollZelko());
}

}  // namespace
}  // namespace zelko::cloud::test
