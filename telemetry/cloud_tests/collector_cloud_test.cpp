// A collector run against the local cloud that the CTest fixture started: the upload of a test
// plug-in run through the plug-in manager reaches the cloud by HTTP publish, and a refused publish
// leaves a resend record. The connectivity here is a thin stand-in over the real IoT client: the
// data valve passes the data through and the envelope is the fake connectivity module's.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "cloud/tests/test_cloud.h"
#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "outside/iot/iot_device.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "telemetry/collector.h"
#include "telemetry/resend_record.h"
#include "testing/fake_connectivity.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;
using cloud::test::Admin;
using nlohmann::json;
using shared::error::Error;
using shared::http::HttpMethod;
using shared::iot::IoTResult;

constexpr const char* kGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";

class CloudConnectivity : public ConnectivityModule {
  public:
    CloudConnectivity(shared::iot::IotInfo info, std::string topic)
        : info_(std::move(info)), device_(&info_, nullptr), topic_(std::move(topic)) {}

    IoTResult Pub(const std::string& topic, const std::string& message) override {
        return device_.Pub(topic, message);
    }
    IoTResult PubByHttp(const std::string& topic, const std::string& message) override {
        return device_.PublishByHttp(topic, message);
    }
    Error GetShadow(const std::string&, std::string&) override { return {}; }
    IoTResult Sub(const std::string&, const std::string&, shared::iot::PayloadCallback, void*) override {
        return {};
    }
    IoTResult Unsub(const std::string&, const std::string&) override { return {}; }
    bool IsValidConsent() override { return true; }
    Error FilterCDMTrees(const std::string& data, const std::string&, char* buffer, size_t size) override {
        if (data.size() + 1 > size)
            return Error(shared::error::ErrorCategory::EC_Component, 1, "buffer too small");
        std::memcpy(buffer, data.c_str(), data.size() + 1);
        return {};
    }
    int64_t GetDataValveClientInitTime() override { return 0; }
    void FormatForPublishing(const std::string& gun, const std::string& filtered,
                             std::vector<char>& envelope) override {
        const std::string text = testing::FakeConnectivity::Envelope(gun, filtered);
        envelope.assign(text.begin(), text.end());
        envelope.push_back('\0');
    }
    std::string GetTelemetryTopic() override { return topic_; }
    bool IsConnected() override { return false; }
    bool IsCredentialsReady() override { return true; }
    Error UploadToS3(const std::string&, const std::string&, const json&) override {
        return Error(shared::error::ErrorCategory::EC_Component, 1, "no S3 here");
    }
    std::string GetPublishDataS3Uri() override { return ""; }
    std::string GetDeviceUniqueId() override { return "SNR-CLOUD"; }

  private:
    shared::iot::IotInfo info_;
    shared::iot::IoTDevice device_;
    std::string topic_;
};

class CollectorCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        const auto library = scratch() / "inmem" / "uploader" / "1.0.0" / "uploader.so";
        fs::create_directories(library.parent_path());
        fs::copy_file(ZELKO_COLLECTOR_TEST_PLUGIN, library);
        manager_ = std::make_shared<shared::plugin::PluginManager>(
            (scratch() / "collectors").c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
            shared::plugin::ValidatorSettings{scratch() / "no-key.pem", true});
        manager_->InitializeInMemoryPlugins((scratch() / "inmem").c_str());
        const std::string thing = cloud::test::UniqueName("collector");
        topic_ = "$aws/rules/" + cloud::test::UniqueName("telemetry") + "/" + thing;
        connectivity_ = std::make_shared<CloudConnectivity>(cloud::test::NewThing(thing), topic_);
    }
    void TearDown() override { Admin(HttpMethod::DEL, "/faults"); }

    Error Run(const json& data) {
        const json entry = {{"name", "uploader"},
                            {"version", ">=1.0.0"},
                            {"configuration", {{"answer", {{"upload", {{{"gun", kGun}, {"data", data}}}}}}}},
                            {"events", {{{"dwControl", 230}}}}};
        Collector collector(entry, connectivity_, manager_, nullptr, nullptr, crypto_, true);
        TelemetryEvent event;
        event.Type = {230, 0, 0, 0};
        event.SysEvent = Event(230, 0);
        return collector.Process(event);
    }

    std::shared_ptr<shared::plugin::PluginManager> manager_;
    std::shared_ptr<CloudConnectivity> connectivity_;
    std::shared_ptr<crypto::Cryptography> crypto_ = std::make_shared<crypto::Cryptography>("SNR-CLOUD");
    std::string topic_;
};

TEST_F(CollectorCloudTest, UploadArrivesAtTheCloudAsAnEnvelope) {
    const Error error = Run({{"battery", 97}});
    ASSERT_FALSE(error) << error.what();
    const auto recorded = Admin(HttpMethod::GET, "/messages?topic=" + topic_).second;
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["via"], "http");
    const json envelope = json::parse(recorded[0]["payload"].get<std::string>());
    EXPECT_EQ(envelope["eventDetailType"], kGun);
    EXPECT_EQ(envelope["eventDetail"], json({{"battery", 97}}));
    EXPECT_FALSE(fs::exists(ResendFolder()));
}

TEST_F(CollectorCloudTest, RefusedPublishLandsInAResendRecord) {
    ASSERT_EQ(
        Admin(HttpMethod::POST, "/faults", {{"endpoint", "publish"}, {"status", 503}, {"count", 1}}).first,
        200);
    const Error error = Run({{"battery", 12}});
    EXPECT_EQ(error.code(), 14);
    EXPECT_THAT(error.what(), ::testing::HasSubstr(R"("http_code":503)"));
    EXPECT_TRUE(Admin(HttpMethod::GET, "/messages?topic=" + topic_).second.empty());

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(ResendFolder())) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    const auto record = LoadResendRecord(files[0], *crypto_);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)["reason"], "pub");
    EXPECT_EQ((*record)["collector"], "uploader");
    EXPECT_EQ((*record)["data"], json({{"battery", 12}}));

    // The fault was for one call: the next run goes through.
    EXPECT_FALSE(Run({{"battery", 13}}));
    EXPECT_EQ(Admin(HttpMethod::GET, "/messages?topic=" + topic_).second.size(), 1u);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
