// The device libraries' identity road against the local cloud's device services, in process:
// requests go from the libraries through a scripted HTTP client straight into the services' logic.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "cloud/device_services.h"
#include "cloud/local_ca.h"
#include "outside/attestation/device_attestation.h"
#include "outside/attestation/key_tools.h"
#include "outside/data_valve/data_valve.h"
#include "outside/enrollment/enrollment.h"
#include "outside/enrollment/enrollment_errors.h"
#include "outside/iot/iot_credential.h"
#include "outside/iot/iot_info.h"
#include "outside/s3/s3_client.h"
#include "testing/fake_device_info.h"
#include "testing/scripted_http_client.h"
#include "testing/temp_system_root.h"

namespace zelko::cloud {
namespace {

using nlohmann::json;
using shared::attestation::AttestationMode;
using shared::attestation::CertificateType;
using shared::attestation::DeviceAttestation;
using shared::enrollment::Enrollment;
using testing::ScriptedHttpClient;

constexpr const char* kBase = "https://services.local";

ScriptedHttpClient::Answer Route(DeviceServices& services, const shared::http::HttpRequest& in) {
    static const std::regex kUrl(R"(https://[^/]+(/[^?]*)(\?(.*))?)");
    std::smatch match;
    const std::string url = in.GetUrl();
    if (!std::regex_match(url, match, kUrl)) return {0, "", shared::error::Error(shared::error::ErrorCategory::EC_Component, 3, "bad url", "enum CURLcode")};
    DeviceServices::Request request;
    static const char* kMethods[] = {"GET", "POST", "HEAD", "DELETE", "OPTIONS", "PATCH", "TRACE", "PUT"};
    request.method = kMethods[static_cast<int>(in.GetMethod())];
    request.path = match[1];
    const std::string query = match[3];
    for (size_t start = 0; start < query.size();) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t eq = pair.find('=');
        request.query[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        start = end + 1;
    }
    for (const auto& [name, value] : in.GetHeaders()) {
        std::string lower = name;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        request.headers[lower] = value;
    }
    if (in.GetResumeFrom() > 0) request.headers["range"] = "bytes=" + std::to_string(in.GetResumeFrom()) + "-";
    request.body = in.GetBody();
    const DeviceServices::Response answer = services.Handle(request);
    return {answer.status, answer.body, {}};
}

class DeviceServicesTest : public testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        ca_ = std::make_unique<LocalCa>(scratch() / "ca");
        services_ = std::make_unique<DeviceServices>(*ca_, [] { return std::string("127.0.0.1:8883"); });
        http_ = std::make_shared<ScriptedHttpClient>(
            [this](const shared::http::HttpRequest& request) { return Route(*services_, request); });
        attestation_ = std::make_unique<DeviceAttestation>(
            http_.get(), &device_, std::string(kBase) + "/pciot-attestation/v1/{deviceUniqueId}/attest",
            std::string(kBase) + "/pciot-attestation/v1/{deviceUniqueId}/pop",
            std::string(kBase) + "/pciot-attestation/v1/{deviceUniqueId}/iak/mock_device_1");
    }

    Enrollment::Settings MakerSettings() {
        return Enrollment::Settings(std::string(kBase) + "/v2/services", std::string(kBase) + "/pciot-enrollment/v1/tpm",
                                    std::string(kBase) + "/pciot-enrollment/v1/status", &device_, scratch().string(),
                                    attestation_.get(), std::string(kBase) + "/pciot-enrollment/v1/challenge");
    }

    void Attest() {
        uint64_t value = 0;
        ASSERT_FALSE(attestation_->Attestate(false, AttestationMode::SoftwareKey, &value));
        ASSERT_FALSE(attestation_->ProofOfPossesion(value));
    }

    // A request of this device for the maker road: key and request PEM.
    std::pair<std::string, std::string> Request(const std::string& unit = "Vitalix") {
        std::string key = shared::keys::NewEcKeyPem();
        return {key, shared::keys::MakeRequestPem(key, device_.snrId, unit)};
    }

    testing::FakeDeviceInfo device_;
    std::unique_ptr<LocalCa> ca_;
    std::unique_ptr<DeviceServices> services_;
    std::shared_ptr<ScriptedHttpClient> http_;
    std::unique_ptr<DeviceAttestation> attestation_;
};

TEST_F(DeviceServicesTest, AttestDiscoverEnrollAndPollUntilTheCertificateIsStored) {
    EXPECT_EQ(attestation_->CheckCertificate(CertificateType::Attestation).code(), 5);
    Attest();
    EXPECT_FALSE(attestation_->CheckCertificate(CertificateType::Attestation));

    Enrollment enrollment(MakerSettings(), http_);
    auto token = enrollment.QueryDiscoveryService(false);
    ASSERT_TRUE(token);
    ASSERT_FALSE(token->GetError()) << token->GetError().what();
    EXPECT_FALSE(enrollment.IsDiscoveryTokenExpired());
    EXPECT_EQ(json::parse(token->GetJson())["services"][0]["serviceName"], "pciot-enrollment");
    // A valid token is reused unless forced.
    const size_t before = http_->Requests().size();
    EXPECT_EQ(enrollment.QueryDiscoveryService(false), token);
    EXPECT_EQ(http_->Requests().size(), before);

    auto [key, request] = Request();
    ASSERT_FALSE(enrollment.PreEnroll(request.c_str(), key.c_str()));
    ASSERT_FALSE(enrollment.Enroll());
    for (int i = 0; i < 2; ++i) {
        const auto not_ready = enrollment.PollEnrollStatus();
        EXPECT_EQ(not_ready.code(), 404);
        EXPECT_NE(not_ready.type().find("HttpStatusCode"), std::string::npos);
        EXPECT_FALSE(enrollment.GetEnrollmentStatus());
    }
    ASSERT_FALSE(enrollment.PollEnrollStatus());
    auto status = enrollment.GetEnrollmentStatus();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->isValid && status->isReady);
    EXPECT_EQ(status->tenant, "zelko-local");
    const json document = json::parse(status->status);
    EXPECT_EQ(document["deviceId"], device_.snrId);
    EXPECT_EQ(document["IotInfo"]["iot_endpoint"], "127.0.0.1:8883");
    EXPECT_FALSE(document.contains("certificate"));
    shared::enrollment::OpenSSLEncode encoder;
    EXPECT_EQ(std::string(encoder.DecodeBase64(document["IotInfo"]["amazonCa"])), ca_->CertificatePem());

    const std::filesystem::path store = document["cert_store_path"].get<std::string>();
    EXPECT_EQ(store, shared::keys::StoreFolder("ZelkoPlenarCertStore"));
    for (const char* file : {shared::iot::kStoreCertificateFile, shared::iot::kStorePrivateKeyFile}) {
        struct stat info {};
        ASSERT_EQ(::stat((store / file).c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    EXPECT_FALSE(enrollment.CheckCertificateValidity("ZelkoPlenarCertStore"));
    const json devices = services_->Devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["enrollment"], "issued");
    EXPECT_EQ(devices[0]["thing"], device_.snrId);
    EXPECT_TRUE(devices[0]["attested"]);

    EXPECT_FALSE(enrollment.DeleteCertificate("ZelkoPlenarCertStore"));
    EXPECT_EQ(enrollment.CheckCertificateValidity("ZelkoPlenarCertStore").code(), 7);
    EXPECT_EQ(http_->Outstanding(), 0);
}

TEST_F(DeviceServicesTest, TheServicesRefuseWhatTheyCannotCheck) {
    // Proof with another key than the attested one.
    uint64_t value = 0;
    ASSERT_FALSE(attestation_->Attestate(false, AttestationMode::SoftwareKey, &value));
    const std::string other = shared::keys::NewEcKeyPem();
    ASSERT_TRUE(shared::keys::WritePrivateFile(
        shared::keys::StoreFolder(shared::attestation::kAttestationStore) / shared::iot::kStorePrivateKeyFile, other));
    auto refused = attestation_->ProofOfPossesion(value);
    EXPECT_EQ(refused.code(), 403);
    EXPECT_EQ(json::parse(refused.what())["type"], "ATT0003");
    EXPECT_EQ(attestation_->Attestate(false, AttestationMode::Hardware, &value).code(), 2);

    Attest();
    Enrollment enrollment(MakerSettings(), http_);
    ASSERT_FALSE(enrollment.QueryDiscoveryService(true)->GetError());
    struct Case {
        const char* name;
        std::string unit;
        std::string commonName;
    };
    for (const Case& c : {Case{"wrong unit", "ZelkoPlenar", device_.snrId}, Case{"no unit", "", device_.snrId},
                          Case{"another device", "Vitalix", "SNR9999"}}) {
        std::string key = shared::keys::NewEcKeyPem();
        std::string request = shared::keys::MakeRequestPem(key, c.commonName, c.unit);
        EXPECT_EQ(enrollment.PreEnroll(request.c_str(), key.c_str()).code(), 400) << c.name;
    }
    // A scripted server error at enroll comes back as that status, then the next call goes through.
    auto [key, request] = Request();
    ASSERT_FALSE(enrollment.PreEnroll(request.c_str(), key.c_str()));
    services_->SetFault("enroll", {500, 1, 0});
    const auto failed = enrollment.Enroll();
    EXPECT_EQ(failed.code(), 500);
    EXPECT_NE(failed.type().find("HttpStatusCode"), std::string::npos);
    EXPECT_FALSE(enrollment.Enroll());
    EXPECT_THROW(services_->SetFault("nowhere", {}), std::invalid_argument);

    // A discovery answer signed by another device's key does not give a token.
    device_.snrId = "SNR0002";
    auto token = enrollment.QueryDiscoveryService(true);
    EXPECT_EQ(token->GetError().code(), 6);  // this device has no attestation certificate
}

TEST_F(DeviceServicesTest, TheCachedDiscoveryTokenIsReadBackAndDamagedCachesAreRefused) {
    Attest();
    {
        Enrollment first(MakerSettings(), http_);
        ASSERT_FALSE(first.QueryDiscoveryService(false)->GetError());
    }
    const auto cache = scratch() / shared::enrollment::kDiscoveryTokenFile;
    struct stat info {};
    ASSERT_EQ(::stat(cache.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    Enrollment second(MakerSettings(), http_);
    ASSERT_FALSE(second.LoadCachedDiscoveryToken());
    ASSERT_TRUE(second.GetDiscoveryToken());
    EXPECT_FALSE(second.IsDiscoveryTokenExpired());

    const std::string good = json{{"answer", {{"token", "t"}}}, {"expires", 1}}.dump();
    for (const std::string& damaged :
         {std::string(), good.substr(0, good.size() / 2), std::string("not json"), std::string("[1,2]"),
          json{{"answer", {{"token", 5}}}, {"expires", 1}}.dump(), json{{"answer", {{"token", "t"}}}}.dump(),
          json{{"answer", {{"token", "t"}}}, {"expires", "soon"}}.dump(), std::string(1 << 20, '{')}) {
        std::ofstream(cache, std::ios::trunc) << damaged;
        Enrollment reader(MakerSettings(), http_);
        const auto error = reader.LoadCachedDiscoveryToken();
        EXPECT_TRUE(error) << damaged.substr(0, 40);
        EXPECT_NE(error.what().find(cache.string()), std::string::npos);
        EXPECT_TRUE(reader.IsDiscoveryTokenExpired());
    }
    std::ofstream(cache, std::ios::trunc) << good;  // expired long ago
    Enrollment expired(MakerSettings(), http_);
    EXPECT_FALSE(expired.LoadCachedDiscoveryToken());
    EXPECT_TRUE(expired.IsDiscoveryTokenExpired());
    std::filesystem::remove(cache);
    EXPECT_TRUE(expired.LoadCachedDiscoveryToken());
}

TEST_F(DeviceServicesTest, SettingsWithoutUsableValuesReportAnError) {
    EXPECT_FALSE(MakerSettings().error);
    EXPECT_EQ(Enrollment::Settings("", "https://e", "https://s", &device_, "f", attestation_.get(), "https://p").error.code(), 1);
    EXPECT_TRUE(Enrollment::Settings("https://d", "https://e", "https://s", nullptr, "f", attestation_.get(), "https://p").error);
    EXPECT_TRUE(Enrollment::Settings("https://e", &device_, "f", nullptr, "https://p").error);
    EXPECT_FALSE(Enrollment::Settings("https://e", &device_, "f", attestation_.get(), "https://p").error);
}

TEST_F(DeviceServicesTest, The1ERoadStoresItsCertificateInItsOwnStore) {
    Attest();
    Enrollment enrollment(Enrollment::Settings(std::string(kBase) + "/pciot-attestation/v1/{deviceUniqueId}/attestnotpm",
                                               &device_, scratch().string(), attestation_.get(),
                                               std::string(kBase) + "/pciot-attestation/v1/{deviceUniqueId}/pre"),
                          http_);
    auto [key, request] = Request("ZelkoPlenar");
    ASSERT_FALSE(enrollment.EnrollDevice_1E(request.c_str(), key.c_str()));
    ASSERT_FALSE(enrollment.SaveCertificate("ZelkoPlenar1ECertStore"));
    EXPECT_FALSE(enrollment.CheckCertificateValidity("ZelkoPlenar1ECertStore"));
    EXPECT_EQ(enrollment.SaveCertificate("ZelkoPlenar1ECertStore").code(), 7);  // nothing left to save
    EXPECT_TRUE(services_->Devices()[0]["enrolled_1e"]);
}

TEST_F(DeviceServicesTest, TheValveFiltersByTheFetchedRules) {
    shared::valve::Configuration configuration(shared::valve::Stack::Dev, "Qm7RtY2wKp9LxN4vB8cZ1hF6jD3sG5aE", http_.get());
    configuration.SetEndpoint(std::string(kBase) + "/clientdatavalvecontroller");
    shared::valve::ValveControllerMetadata metadata("US", "desktop", "", "", "sn", "", "", "", device_.snrId);
    services_->SetValveRules({{"rules",
                               {{{"gun", "a.b.c"}, {"allow", {"keep", "nested.inner"}}},
                                {{"gun", "all.*"}, {"allow", {"*"}}}}}});
    shared::valve::DataValveClient<shared::valve::Configuration> client(configuration, &device_);
    ASSERT_FALSE(client.GetError()) << client.GetError().what();
    char buffer[256];
    const std::string data = R"({"keep":1,"drop":2,"nested":{"inner":3,"other":4}})";
    ASSERT_FALSE(client.FilterCDMTrees(data.c_str(), "a.b.c", buffer, sizeof buffer, metadata));
    EXPECT_EQ(json::parse(buffer), json::parse(R"({"keep":1,"nested":{"inner":3}})"));
    ASSERT_FALSE(client.FilterCDMTrees(data.c_str(), "all.x.y", buffer, sizeof buffer, metadata));
    EXPECT_EQ(json::parse(buffer), json::parse(data));
    const auto refused = client.FilterCDMTrees(data.c_str(), "other.gun", buffer, sizeof buffer, metadata);
    EXPECT_EQ(refused.type(), shared::valve::kValveFilterErrorType);
    EXPECT_EQ(client.FilterCDMTrees(data.c_str(), "a.b.c", buffer, 5, metadata).code(), 5);
    EXPECT_EQ(client.FilterCDMTrees("[1]", "a.b.c", buffer, sizeof buffer, metadata).code(), 4);

    shared::valve::Configuration wrong_key(shared::valve::Stack::Dev, "nope", http_.get());
    wrong_key.SetEndpoint(configuration.GetEndpoint());
    EXPECT_EQ(shared::valve::DataValveClient<shared::valve::Configuration>(wrong_key, &device_).GetError().code(), 2);
}

TEST_F(DeviceServicesTest, DamagedRulesLeaveTheClientUnusable) {
    shared::valve::Configuration configuration(shared::valve::Stack::Prod, "Hx4Tn8Wq2Lr6Vb9Mz3Kc7Pd1Fs5Jg0Ye", http_.get());
    std::string body;
    http_->SetHandler([&](const shared::http::HttpRequest&) { return ScriptedHttpClient::Answer{200, body, {}}; });
    for (const std::string& damaged : {std::string(), std::string("{\"rules\":[{\"gun\""), std::string("not json"),
                                       std::string("[]"), std::string(R"({"rules":{}})"),
                                       std::string(R"({"rules":[{"gun":1,"allow":["*"]}]})"),
                                       std::string(R"({"rules":[{"gun":"g","allow":[""]}]})"),
                                       std::string(1 << 20, '[')}) {
        body = damaged;
        shared::valve::DataValveClient<shared::valve::Configuration> client(configuration, &device_);
        EXPECT_EQ(client.GetError().code(), 3) << damaged.substr(0, 40);
        char buffer[16];
        EXPECT_TRUE(client.FilterCDMTrees("{}", "g", buffer, sizeof buffer,
                                          shared::valve::ValveControllerMetadata("", "", "", "", "", "", "", "", "")));
    }
}

TEST_F(DeviceServicesTest, ObjectsGoUpAndComeBackWithTheTemporaryCredential) {
    shared::s3::S3Client s3(http_, std::string(kBase) + "/objects");
    shared::iot::IoTCredential credential({}, "ASIA1", "secret", "session", "2099-01-01T00:00:00Z");
    ASSERT_FALSE(s3.UploadJsonContent(&credential, "arn:aws:s3:::telemetry/big", "SNR0001_x.json", R"({"a":1})", ""));
    EXPECT_EQ(services_->Objects()[0]["object"], "telemetry/big/SNR0001_x.json");

    const auto path = (scratch() / "download.json").string();
    uint64_t size = 0;
    bool complete = false;
    ASSERT_FALSE(s3.DownloadFile(nullptr, &credential, "s3://telemetry/big/SNR0001_x.json", path, size, complete));
    EXPECT_EQ(size, 7u);
    EXPECT_TRUE(complete);
    // A partial file is continued from the byte count given, never past what the part file holds.
    for (uint64_t asked : {4u, 3u, 100u}) {
        std::ofstream(path + ".part") << R"({"a":)";
        size = asked;
        ASSERT_FALSE(s3.DownloadFile(nullptr, &credential, "s3://telemetry/big/SNR0001_x.json", path, size, complete));
        EXPECT_TRUE(complete) << asked;
        EXPECT_EQ(size, 7u) << asked;
        std::ifstream in(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), R"({"a":1})") << asked;
    }
    EXPECT_EQ(services_->ObjectReads().back()["range"], "bytes=5-");
    // A count with no part file behind it starts afresh.
    size = 5;
    ASSERT_FALSE(s3.DownloadFile(nullptr, &credential, "s3://telemetry/big/SNR0001_x.json", path, size, complete));
    EXPECT_EQ(services_->ObjectReads().back()["range"], "");
    EXPECT_EQ(size, 7u);

    shared::iot::IoTCredential expired(shared::error::Error(shared::error::ErrorCategory::EC_Component, 9, "expired"), "",
                                       "", "", "");
    struct Case {
        const char* name;
        const shared::iot::IoTCredential* credential;
        std::string uri;
        std::string key;
        int64_t code;
    };
    for (const Case& c : {Case{"no uri", &credential, "", "k", 1}, Case{"no key", &credential, "s3://b", "", 1},
                          Case{"no credential", nullptr, "s3://b", "k", 3}, Case{"bad credential", &expired, "s3://b", "k", 9},
                          Case{"not s3", &credential, "ftp://b", "k", 2}, Case{"no bucket", &credential, "s3://", "k", 2}}) {
        EXPECT_EQ(s3.UploadJsonContent(c.credential, c.uri, c.key, "{}", "").code(), c.code) << c.name;
    }
    size = 0;
    EXPECT_EQ(s3.DownloadFile(nullptr, &credential, "s3://telemetry/none", path, size, complete).code(), 404);
    EXPECT_FALSE(complete);
    EXPECT_EQ(http_->Outstanding(), 0);
}

}  // namespace
}  // namespace zelko::cloud
