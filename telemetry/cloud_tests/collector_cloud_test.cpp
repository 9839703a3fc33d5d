// Collector runs against the local cloud that the CTest fixture started, through the real plug-in
// manager and the real connectivity module: the module filters by the rules the cloud's data valve
// serves, wraps the result in its own envelope and publishes it by HTTP (or stores it as an object
// when large); a publish the cloud refuses leaves a resend record.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "connectivity/connectivity_module.h"
#include "foundation/cryptography.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "outside/s3/s3_client.h"
#include "telemetry/collector.h"
#include "telemetry/resend_record.h"
#include "testing/enrolled_device.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/named_features.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;
using cloud::test::Admin;
using cloud::test::Cloud;
using nlohmann::json;
using shared::error::Error;
using shared::http::HttpMethod;

constexpr const char* kGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";
constexpr const char* kUnnamedGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.NotInTheRules.version.1";

int ServicesPort() {
    std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
    return json::parse(in).at("services_port").get<int>();
}

std::vector<fs::path> ResendFiles() {
    std::vector<fs::path> files;
    if (fs::exists(ResendFolder()))
        for (const auto& entry : fs::directory_iterator(ResendFolder())) files.push_back(entry.path());
    return files;
}

class CollectorCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::DEL, "/device-faults");
        ASSERT_EQ(Admin(HttpMethod::POST, "/broker/start").first, 200);
        // The valve lets through two paths of the collector's gun and names no other gun.
        ASSERT_EQ(Admin(HttpMethod::PUT, "/valve-rules",
                        {{"rules", {{{"gun", kGun}, {"allow", {"battery", "nested.keep"}}}}}})
                      .first,
                  200);
        zelko::testing::TrustLocalCloud(scratch());

        const auto library = scratch() / "inmem" / "uploader" / "1.0.0" / "uploader.so";
        fs::create_directories(library.parent_path());
        fs::copy_file(ZELKO_COLLECTOR_TEST_PLUGIN, library);
        manager_ = std::make_shared<shared::plugin::PluginManager>(
            (scratch() / "collectors").c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
            shared::plugin::ValidatorSettings{scratch() / "no-key.pem", true});
        manager_->InitializeInMemoryPlugins((scratch() / "inmem").c_str());

        // An enrolled device: its certificate store and "iot-info.dat" beside the program.
        thing_ = cloud::test::UniqueName("collector");
        device_->snrId = thing_;
        zelko::testing::WriteEnrolledDevice(scratch(), thing_);

        const std::string services = "https://127.0.0.1:" + std::to_string(ServicesPort());
        json stack = zelko::testing::LocalCloudStack("$aws/rules/telemetry/");
        stack["iot"]["publish_data_s3_uri"] = "arn:aws:s3:::telemetry/" + thing_;
        stack["dataValve"] = {{"endpointUrl", services + "/clientdatavalvecontroller"}};
        const auto config = zelko::testing::WriteConnectivityConfig(scratch() / "Configuration Files", stack);
        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        // A managed device without an MQTT connection: consent is valid, telemetry goes by HTTP.
        connectivity_ = std::make_shared<ConnectivityModule>(
            "dev", config.string(), nullptr, zelko::testing::FinderOf({"Managed"}), device_,
            nullptr, nullptr, std::make_shared<shared::s3::S3Client>(nullptr, services + "/objects"), false,
            nullptr, environment);
        const Error credentials = connectivity_->GetCredentials(false);
        ASSERT_FALSE(credentials) << credentials.what();
        topic_ = connectivity_->GetTelemetryTopic();
        ASSERT_EQ(topic_, "$aws/rules/telemetry/" + thing_);
    }

    void TearDown() override {
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::DEL, "/device-faults");
        Admin(HttpMethod::PUT, "/valve-rules", {{"rules", {{{"gun", "*"}, {"allow", {"*"}}}}}});
        ::unsetenv("ZELKO_CLOUD_CA_FILE");
    }

    Error Run(const json& upload) {
        const json entry = {{"name", "uploader"},
                            {"version", ">=1.0.0"},
                            {"configuration", {{"answer", {{"upload", upload}}}}},
                            {"events", {{{"dwControl", 230}}}}};
        Collector collector(entry, connectivity_, manager_, nullptr, nullptr, crypto_, true);
        TelemetryEvent event;
        event.Type = {230, 0, 0, 0};
        event.SysEvent = Event(230, 0);
        return collector.Process(event);
    }

    json Recorded() { return Admin(HttpMethod::GET, "/messages?topic=" + topic_).second; }

    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<shared::plugin::PluginManager> manager_;
    std::shared_ptr<ConnectivityModule> connectivity_;
    std::shared_ptr<crypto::Cryptography> crypto_ = std::make_shared<crypto::Cryptography>("SNR-CLOUD");
    std::string thing_;
    std::string topic_;
};

TEST_F(CollectorCloudTest, UploadArrivesFilteredInTheModulesEnvelope) {
    const json data = {{"battery", 97}, {"owner", "someone"}, {"nested", {{"keep", 1}, {"drop", 2}}}};
    const Error error = Run({{{"gun", kGun}, {"data", data}}});
    ASSERT_FALSE(error) << error.what();
    const json recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u) << recorded.dump();
    EXPECT_EQ(recorded[0]["via"], "http");
    const json envelope = json::parse(recorded[0]["payload"].get<std::string>());
    const json& detail = envelope["originator"]["originatorDetail"];
    EXPECT_EQ(detail["serialNumber"], device_->serialNumber);
    EXPECT_EQ(detail["deviceUuid"], "4c4c4544-0031-3910-8050-b4c04f4e3732");
    ASSERT_EQ(envelope["events"].size(), 1u);
    EXPECT_EQ(envelope["events"][0]["eventCategory"], "DeviceBkcStatus");
    EXPECT_EQ(envelope["events"][0]["eventDetailType"], kGun);
    EXPECT_EQ(envelope["events"][0]["eventDetail"], json({{"battery", 97}, {"nested", {{"keep", 1}}}}));
    EXPECT_TRUE(ResendFiles().empty());

    // A gun the cloud's rules do not name has no remote consent: nothing goes and nothing is kept.
    const Error refused = Run({{{"gun", kUnnamedGun}, {"data", data}}});
    EXPECT_EQ(refused.code(), 13) << refused.what();
    EXPECT_EQ(Recorded().size(), 1u);
    EXPECT_TRUE(ResendFiles().empty());
}

TEST_F(CollectorCloudTest, RefusedPublishLandsInAResendRecord) {
    ASSERT_EQ(
        Admin(HttpMethod::POST, "/faults", {{"endpoint", "publish"}, {"status", 503}, {"count", 1}}).first,
        200);
    const Error error = Run({{{"gun", kGun}, {"data", {{"battery", 12}, {"owner", "someone"}}}}});
    EXPECT_EQ(error.code(), 14);
    EXPECT_THAT(error.what(), ::testing::HasSubstr(R"("http_code":503)"));
    EXPECT_TRUE(Recorded().empty());

    const auto files = ResendFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto record = LoadResendRecord(files[0], *crypto_);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)["reason"], "pub");
    EXPECT_EQ((*record)["collector"], "uploader");
    EXPECT_EQ((*record)["gun"], kGun);
    // The plug-in's data as it was: the resend pass filters again under the rules of its day.
    EXPECT_EQ((*record)["data"], json({{"battery", 12}, {"owner", "someone"}}));

    // The fault was for one call: the next run goes through.
    EXPECT_FALSE(Run({{{"gun", kGun}, {"data", {{"battery", 13}}}}}));
    EXPECT_EQ(Recorded().size(), 1u);
}

TEST_F(CollectorCloudTest, LargeEnvelopeIsStoredAsAnObjectOrKeptWhenRefused) {
    const json large = {{"battery", std::string(140 * 1024, 'x')}};
    const Error error = Run({{{"gun", kGun}, {"data", large}}});
    ASSERT_FALSE(error) << error.what();
    EXPECT_TRUE(Recorded().empty());
    const json objects = Admin(HttpMethod::GET, "/objects").second;
    const std::string prefix = "telemetry/" + thing_ + "/" + thing_ + "_";
    const json* stored = nullptr;
    for (const auto& object : objects)
        if (object["object"].get<std::string>().starts_with(prefix)) stored = &object;
    ASSERT_NE(stored, nullptr) << objects.dump().substr(0, 400);
    EXPECT_THAT((*stored)["object"].get<std::string>(), ::testing::EndsWith("_devicebkcstatus.json"));
    EXPECT_GT((*stored)["size"].get<size_t>(), 140u * 1024);

    ASSERT_EQ(Admin(HttpMethod::POST, "/device-faults", {{"endpoint", "objects-put"}, {"status", 500}, {"count", 1}})
                  .first,
              200);
    EXPECT_EQ(Run({{{"gun", kGun}, {"data", large}}}).code(), 14);
    const auto files = ResendFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto record = LoadResendRecord(files[0], *crypto_);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)["reason"], "pub");
    EXPECT_EQ((*record)["data"], large);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
