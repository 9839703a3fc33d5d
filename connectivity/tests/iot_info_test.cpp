#include "connectivity/tests/connectivity_fixture.h"
#include "outside/iot/iot_errors.h"

namespace zelko::plenar::agent::test {
namespace {

using shared::error::Error;
using shared::error::ErrorCategory;
using shared::iot::IotInfo;

constexpr char kCa[] = "-----BEGIN CERTIFICATE-----\nMIIBszCCAVmgAwIBAgIU\nAAAA\n-----END CERTIFICATE-----\n";

std::shared_ptr<IotInfo> Sample(const std::string& thing = kThing) {
    return std::make_shared<IotInfo>("us-east-1", "tenant-7", "broker.local:8883", thing,
                                     "/store/ZelkoPlenarCertStore", "a private key", "creds/topic", "a proxy",
                                     kCa, "credentials", "creds.local:8443", "/role-aliases/a/credentials");
}

std::vector<std::string> Fields(const IotInfo& info) {
    return {info.GetRegion(),
            info.GetTenant(),
            info.GetEndpoint(),
            info.GetThingName(),
            info.GetCertificate(),
            info.GetPrivateKey(),
            info.GetCredsTopic(),
            info.GetProxy(),
            info.GetRootCA(),
            info.GetsCredentialsShadowName(),
            info.GetCredentialEndpoint(),
            info.GetCredentialPath()};
}

TEST_F(ConnectivityTest, IoTInformationRoundTrip) {
    WriteConfig(DevConfig({}, {{"telemetryTopic", "tele/"}}));
    WriteFile(IoTInfoPath(), std::string(100000, 'x'));
    auto& module = Module();
    module.SaveIoTInfo(IoTInfoPath(), Sample());
    EXPECT_EQ(ReadFile(IoTInfoPath()),
              std::string(
                  "us-east-1\r\ntenant-7\r\nbroker.local:8883\r\nSNR-0042\r\n/store/ZelkoPlenarCertStore\r\n"
                  "creds/topic\r\ncredentials\r\ncreds.local:8443\r\n/role-aliases/a/credentials\r\n") +
                  kCa + "\r\n");

    const auto loaded = module.LoadIoTInfo(IoTInfoPath());
    ASSERT_NE(loaded, nullptr);
    auto expected = Fields(*Sample());
    expected[5] = "";  // the private key and proxy are not stored
    expected[7] = "";
    EXPECT_EQ(Fields(*loaded), expected);

    EXPECT_EQ(module.GetIotInfo(), nullptr);
    module.ResetIoTInfo(false);
    ASSERT_NE(module.GetIotInfo(), nullptr);
    EXPECT_EQ(Fields(*module.GetIotInfo()), expected);
    EXPECT_EQ(module.GetTelemetryTopic(), "tele/SNR-0042");
}

// The older layout has no credential lines: the root CA follows the shadow name, and the
// credential address comes from the configuration.
TEST_F(ConnectivityTest, OlderLayoutTakesTheConfiguredCredentialAddress) {
    const struct {
        const char* name;
        json iot;
        const char* endpoint;
        const char* pathStart;
    } rows[] = {
        {"configured",
         {{"credentialUri", "https://creds.example.net:8443/role-aliases/r/credentials"}},
         "creds.example.net:8443",
         "/role-aliases/r/credentials"},
        {"default", json::object(), ".credentials.iot.us-east-1.amazonaws.com", "/role-aliases/"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteConfig(DevConfig({}, row.iot));
        WriteFile(IoTInfoPath(),
                  std::string("us-east-1\r\ntenant\r\nbroker:8883\r\nSNR-0042\r\ncert\r\ntopic\r\n"
                              "credentials\r\n") +
                      kCa + "\r\n");
        auto module = Make();
        const auto info = module->GetIotInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(std::string(info->GetRootCA()), kCa);
        EXPECT_TRUE(std::string(info->GetCredentialEndpoint()).ends_with(row.endpoint))
            << info->GetCredentialEndpoint();
        EXPECT_TRUE(std::string(info->GetCredentialPath()).starts_with(row.pathStart))
            << info->GetCredentialPath();
        EXPECT_EQ(std::string(info->GetsCredentialsShadowName()), "credentials");
        Destroy(module);
    }
}

TEST_F(ConnectivityTest, IoTInformationOfAnotherThingIsIgnoredAndKept) {
    WriteConfig(DevConfig());
    auto& module = Module();
    module.SaveIoTInfo(IoTInfoPath(), Sample("SNR-other"));
    module.ResetIoTInfo(false);
    EXPECT_EQ(module.GetIotInfo(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(IoTInfoPath()));

    module.SaveIoTInfo(IoTInfoPath(), Sample());
    module.ResetIoTInfo(false);
    EXPECT_NE(module.GetIotInfo(), nullptr);
    module.ResetIoTInfo(true);
    EXPECT_EQ(module.GetIotInfo(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(IoTInfoPath()));
}

TEST_F(ConnectivityTest, FirstStartHasNoIoTInformation) {
    WriteConfig(DevConfig());
    auto& module = Module();
    EXPECT_EQ(module.GetIotInfo(), nullptr);
    EXPECT_EQ(log_.Count(logging::warning, "Failed to read iot-info.dat with i/o-excetpion: code:"), 1);
}

TEST_F(ConnectivityTest, DamagedIoTInformationIsTreatedAsMissing) {
    WriteConfig(DevConfig());
    std::string garbage;
    for (int i = 0; i < 20000; ++i) garbage += "\x01\xff garbage line " + std::to_string(i) + "\r\n";
    const struct {
        const char* name;
        std::string text;
    } rows[] = {
        {"empty", ""},
        {"cut after two lines", "us-east-1\r\ntenant\r\n"},
        {"cut inside line nine", "a\r\nb\r\nc\r\nSNR-0042\r\ne\r\nf\r\ng\r\nh\r\n/role"},
        {"one huge line", std::string(3 << 20, 'z')},
        {"huge garbage", garbage},
        {"not text", std::string("\0\0\0\0", 4)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(IoTInfoPath(), row.text);
        zelko::testing::LogCapture log;
        auto module = Make();
        EXPECT_EQ(module->GetIotInfo(), nullptr);
        bool named = false;
        for (const auto& [severity, message] : log.Lines())
            named = named || message.find("iot-info.dat") != std::string::npos;
        EXPECT_TRUE(named);
        Destroy(module, log);
    }
}

TEST_F(ConnectivityTest, SaveFailureIsLogged) {
    WriteConfig(DevConfig());
    auto& module = Module();
    module.SaveIoTInfo(scratch() / "missing" / "iot-info.dat", Sample());
    EXPECT_TRUE(log_.Contains(logging::warning, "Failed to save iot-info.dat with i/o-excetpion: code:"));
    module.SaveIoTInfo(IoTInfoPath(), nullptr);
    EXPECT_TRUE(log_.Contains(logging::warning, "Failed to save iot-info.dat with excetpion: "));
    EXPECT_FALSE(std::filesystem::exists(IoTInfoPath()));
}

// The host ends at the first "/" after "https://", whatever its name.
TEST(CredentialUri, SplitAtTheEndOfTheHost) {
    const struct {
        std::string uri;
        std::string endpoint;
        std::string path;
        bool warned;
    } rows[] = {
        {"https://abc.credentials.iot.us-east-1.amazonaws.com/role-aliases/r/credentials",
         "abc.credentials.iot.us-east-1.amazonaws.com", "/role-aliases/r/credentials", false},
        {"https://abc.credentials.iot.cn-north-1.amazonaws.com.cn/role-aliases/r/credentials",
         "abc.credentials.iot.cn-north-1.amazonaws.com.cn", "/role-aliases/r/credentials", false},
        {"https://127.0.0.1:8443/role-aliases/r/credentials", "127.0.0.1:8443", "/role-aliases/r/credentials",
         false},
        {"https://localhost/creds", "localhost", "/creds", false},
        {"https://host.com/a.com/b", "host.com", "/a.com/b", false},
        {"https://hostonly", "", "", false},
        {"http://host.com/role-aliases/r/credentials", "", "", true},
        {"https://", "", "", true},
        {"", "", "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.uri);
        zelko::testing::LogCapture log;
        const auto [endpoint, path] = SplitCredentialUri(row.uri);
        EXPECT_EQ(endpoint, row.endpoint);
        EXPECT_EQ(path, row.path);
        EXPECT_EQ(log.Contains(logging::warning, "Failed to parse credential endpoint from " + row.uri),
                  row.warned);
    }
}

TEST(CredentialUri, ConfiguredOrBuiltIn) {
    EXPECT_EQ(GetCredentialUri({{"credentialUri", "https://x/y"}}), "https://x/y");
    const std::string builtIn = GetCredentialUri(json::object());
    EXPECT_TRUE(builtIn.starts_with("https://")) << builtIn;
    EXPECT_NE(builtIn.find(".credentials.iot.us-east-1.amazonaws.com/role-aliases/"), std::string::npos);
    EXPECT_TRUE(builtIn.ends_with("/credentials"));
    EXPECT_THROW(GetCredentialUri(json::array()), json::type_error);
}

// --- Credentials ---

TEST_F(ConnectivityTest, GetCredentialsDisconnectsEveryTime) {
    WriteConfig(DevConfig());
    auto& module = Module();
    EXPECT_FALSE(module.IsCredentialsReady());
    ASSERT_FALSE(module.GetCredentials(false));
    EXPECT_TRUE(module.IsCredentialsReady());
    ASSERT_EQ(DeviceCount(), 1u);
    EXPECT_EQ(Device()->DisconnectTimes().size(), 0u);

    ASSERT_FALSE(module.ConnectToIot());
    ASSERT_FALSE(module.GetCredentials(false));
    EXPECT_EQ(Device()->DisconnectTimes().size(), 1u);
    EXPECT_TRUE(log_.Contains(logging::debug, "Iot disconnected"));
    EXPECT_EQ(DeviceCount(), 1u);
    // The publish after it connects again.
    ASSERT_FALSE(module.Pub("t", "{}").error);
    EXPECT_EQ(Device()->Calls(Call::Connect), 2);

    ASSERT_FALSE(module.GetCredentials(true));
    EXPECT_EQ(Device(0)->DisconnectTimes().size(), 2u);
    EXPECT_TRUE(log_.Contains(logging::debug, "Iot device reset"));
    ASSERT_EQ(DeviceCount(), 2u);
    EXPECT_EQ(Device(1)->Calls(Call::GetCredentials), 1);
}

TEST_F(ConnectivityTest, FailedCredentialsLeaveNoDevice) {
    WriteConfig(DevConfig());
    auto& module = Module();
    ASSERT_FALSE(module.GetCredentials(false));

    const Error refused = shared::iot::MakeIotHttpError(403, "forbidden");
    Device(0)->SetCredentials(std::make_shared<shared::iot::IoTCredential>(refused, "", "", "", ""));
    EXPECT_EQ(module.GetCredentials(false), refused);
    EXPECT_EQ(module.Pub("t", "{}").error.code(), 1) << "no device";

    ASSERT_FALSE(module.GetCredentials(false));
    ASSERT_EQ(DeviceCount(), 2u);
    Device(1)->SetCredentials(nullptr);
    const Error none = module.GetCredentials(false);
    EXPECT_EQ(none,
              Error(ErrorCategory::EC_Component, 1,
                    R"x({"msg":"IoT could not return a valid AWS Credential (suppose AWS_ERROR_HTTP)"})x",
                    std::string(kIotDeviceErrorsType), "GetCredentials"));
    std::string content;
    EXPECT_EQ(module.GetShadow("s", content).code(), 1) << "no device";
}

}  // namespace
}  // namespace zelko::plenar::agent::test
