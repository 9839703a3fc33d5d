// The resend pass over the records of unsent telemetry: order, the data-valve freshness skip, the
// consent window, publish outcomes, damaged records and records that cannot be removed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "telemetry/resend_record.h"
#include "telemetry/telemetry_module.h"
#include "telemetry/tests/telemetry_module_fixture.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;
using logging::error;
using logging::info;
using logging::warning;
using shared::iot::IoTResult;

constexpr int64_t kDay = 864'000'000'000;
constexpr char kGun[] = "com.zelko.cdm.domain.telemetry.type.eventDetail.category.Battery.version.1";
constexpr char kConsentType[] = "enum zelko::shared::valve::ValveFilterError::ValveFilterErrorType";

Error ConsentRefused() { return Error(shared::error::ErrorCategory::EC_Component, 1, "No consent", kConsentType); }

class ResendWalkTest : public TelemetryModuleTest {
  protected:
    void SetUp() override {
        TelemetryModuleTest::SetUp();
        module = Make({{"collectors", json::array()}}, nullptr, false, true, crypto, conn);
    }
    void TearDown() override { module.reset(); }

    // A record saved `order` seconds ago (its last-write time), `age` ticks before now.
    fs::path Save(const std::string& name, const json& record, int order) {
        fs::create_directories(ResendFolder());
        const auto path = ResendFolder() / name;
        Utils::SaveEncryptedJsonFile(path, record, *crypto);
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(order));
        return path;
    }
    json Full(const std::string& reason, int value, int64_t age = 0, uint32_t channel = 0, int64_t valve = 0) {
        return MakeResendRecord(reason, "c", "1.0", kGun, {{"value", value}}, valve, platform::NowTicks() - age,
                                channel);
    }
    std::vector<int> PublishedValues() {
        std::vector<int> values;
        for (const auto& message : conn->PublishedMessages())
            values.push_back(json::parse(message.message)["eventDetail"]["value"]);
        return values;
    }
    size_t Files() {
        size_t n = 0;
        std::error_code ec;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(ResendFolder(), ec)) ++n;
        return n;
    }

    zelko::testing::LogCapture log;
    std::shared_ptr<crypto::Cryptography> crypto = std::make_shared<crypto::Cryptography>("SNR-RESEND");
    std::shared_ptr<zelko::testing::FakeConnectivity> conn = std::make_shared<zelko::testing::FakeConnectivity>();
    std::unique_ptr<TelemetryModule> module;
};

TEST_F(ResendWalkTest, NoFolderNoEnrollmentAndOldestFirst) {
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_TRUE(log.Contains(info, "TelemetryModule ResendCollectorsData nothing to resend, exitintg..."));

    Save("resend_b.rsnd", Full("pub", 2), 20);
    Save("resend_a.rsnd", Full("pub", 3), 10);
    Save("resend_c.rsnd", Full("pub", 1), 30);
    conn->SetCredentialsReady(false);
    const Error none = module->ResendCollectorsData();
    EXPECT_EQ(none.code(), 15);
    EXPECT_EQ(none.type(), kCollectorErrorType);
    EXPECT_EQ(none.what(), "TelemetryModule ResendCollectorsData No valid enrollment.");
    EXPECT_EQ(Files(), 3u);
    EXPECT_EQ(conn->FilterCalls(), 0);

    conn->SetCredentialsReady(true);
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_EQ(PublishedValues(), (std::vector<int>{1, 2, 3}));  // by last-write time, not by name
    EXPECT_EQ(conn->PublishedMessages()[0].topic, conn->GetTelemetryTopic());
    EXPECT_EQ(Files(), 0u);
}

TEST_F(ResendWalkTest, CdmRecordsWaitForANewDataValveClientPubRecordsDoNot) {
    platform::ScopedFakeClock clock(1'700'000'000 * platform::kTicksPerSecond);
    const int64_t valve = platform::NowTicks() - kDay;
    conn->SetDataValveClientInitTime(valve);
    Save("resend_1.rsnd", Full("cdm", 1, 0, 0, valve), 20);
    Save("resend_2.rsnd", Full("pub", 2, 0, 0, valve), 10);
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_EQ(PublishedValues(), (std::vector<int>{2}));
    EXPECT_EQ(conn->FilterCalls(), 1);
    EXPECT_TRUE(log.Contains(info, "ResendCollectorsData Skipping CDM Tree for collector c ver 1.0 as the DataValve "
                                   "was not updated."));
    EXPECT_EQ(Files(), 1u);

    conn->SetDataValveClientInitTime(valve + 1);
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_EQ(PublishedValues(), (std::vector<int>{2, 1}));
    EXPECT_EQ(Files(), 0u);
}

TEST_F(ResendWalkTest, ConsentRefusalKeepsRecordsForTwentyFourHoursToTheTick) {
    platform::ScopedFakeClock clock(1'700'000'000 * platform::kTicksPerSecond);
    json short_form = {{"collector", "c"}, {"ver", "1.0"}, {"gun", kGun}, {"data", {{"value", 1}}}};
    struct Case {
        const char* what;
        json record;
        Error refusal;
        bool kept;
    } cases[] = {
        {"full, exactly 24 h", Full("pub", 1, kDay), ConsentRefused(), true},
        {"full, 24 h and a tick", Full("pub", 1, kDay + 1), ConsentRefused(), false},
        {"post-grant, a year old", Full("pub", 1, 365 * kDay, 210), ConsentRefused(), true},
        {"full, other refusal, old", Full("pub", 1, 3 * kDay), Error(shared::error::ErrorCategory::EC_Component, 9, "x"),
         true},
        {"short, consent", short_form, ConsentRefused(), false},
        {"short, other refusal", short_form, Error(shared::error::ErrorCategory::EC_Component, 9, "x"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(ResendFolder());
        const auto path = Save("resend_x.rsnd", c.record, 1);
        conn->SetFilter([refusal = c.refusal](const std::string&, const std::string&, std::string&) { return refusal; });
        EXPECT_FALSE(module->ResendCollectorsData());  // the filter's decisions stay inside the walk
        EXPECT_EQ(fs::exists(path), c.kept);
    }
    EXPECT_TRUE(conn->PublishedMessages().empty());
}

TEST_F(ResendWalkTest, PublishOutcomes) {
    auto refused = Error(shared::error::ErrorCategory::EC_Component, 3, "refused");
    struct Case {
        const char* what;
        IoTResult result;
        bool sent;
    } cases[] = {
        {"200", {200, 0, {}, {}}, true},
        {"0", {0, 0, {}, {}}, true},
        {"404", {404, 0, {}, {}}, false},
        {"IoT code", {200, 7, {}, {}}, false},
        {"error", {200, 0, {}, refused}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(ResendFolder());
        Save("resend_x.rsnd", Full("pub", 1), 1);
        conn->SetPubByHttpResult(c.result);
        const Error result = module->ResendCollectorsData();
        EXPECT_EQ(!result, c.sent);
        EXPECT_EQ(Files(), c.sent ? 0u : 1u);
        if (!c.sent) {
            EXPECT_EQ(result.code(), 14);
            EXPECT_EQ(json::parse(result.what())["http_code"], c.result.httpCode);
        }
    }
    // Two failures in one walk: the second one's result.
    fs::remove_all(ResendFolder());
    Save("resend_1.rsnd", Full("pub", 1), 20);
    Save("resend_2.rsnd", Full("pub", 2), 10);
    int calls = 0;
    conn->SetPubByHttp([&calls](const std::string&, const std::string&) {
        return IoTResult{++calls == 1 ? 500 : 503, 0, {}, {}};
    });
    const Error result = module->ResendCollectorsData();
    EXPECT_EQ(json::parse(result.what())["http_code"], 503);
    EXPECT_EQ(Files(), 2u);
    EXPECT_TRUE(log.Contains(error, "Publishing failed: HttpCode: 500 IoTCode: 0 Error: "));
}

TEST_F(ResendWalkTest, DamagedRecordsAreRemovedAndNewerOnesStillGo) {
    std::mt19937 random(7);
    std::string noise(3'000'000, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    const std::string valid = [&] {
        Save("tmp", Full("pub", 0), 0);
        std::ifstream in(ResendFolder() / "tmp", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        fs::remove(ResendFolder() / "tmp");
        return text;
    }();
    json no_collector = Full("pub", 0);
    no_collector.erase("collector");
    json wrong_types = Full("pub", 0);
    wrong_types["gun"] = 5;
    json bad_time = Full("pub", 0);
    bad_time["time"] = "yesterday";
    struct Case {
        const char* what;
        std::string raw;  // written as is when set
        json record;
    } cases[] = {
        {"empty", "", nullptr},
        {"cut", valid.substr(0, valid.size() - 7), nullptr},
        {"not decryptable", noise.substr(0, 4096), nullptr},
        {"wrong shape", "", json::array({1, 2})},
        {"no collector", "", no_collector},
        {"wrong types", "", wrong_types},
        {"time not a time", "", bad_time},
        {"huge", noise, nullptr},
    };
    int order = 100;
    std::vector<fs::path> damaged;
    for (const auto& c : cases) {
        const auto path = ResendFolder() / ("resend_" + std::to_string(order) + ".rsnd");
        if (c.record.is_null()) {
            fs::create_directories(ResendFolder());
            std::ofstream(path, std::ios::binary) << c.raw;
        } else {
            Utils::SaveEncryptedJsonFile(path, c.record, *crypto);
        }
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(order--));
        damaged.push_back(path);
    }
    Save("resend_good.rsnd", Full("pub", 42), 1);
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_EQ(PublishedValues(), (std::vector<int>{42}));
    EXPECT_EQ(Files(), 0u);
    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(log.Contains(warning, "Corrupted file removed " + damaged[i].string()));
    }
}

TEST_F(ResendWalkTest, ARecordThatCannotBeRemovedAfterItsPublishDoesNotEndTheWalk) {
    const auto first = Save("resend_1.rsnd", Full("pub", 1), 20);
    Save("resend_2.rsnd", Full("pub", 2), 10);
    // While the first is published, its name turns into a folder that cannot be removed.
    conn->SetPubByHttp([&](const std::string&, const std::string& message) {
        if (json::parse(message)["eventDetail"]["value"] == 1) {
            fs::remove(first);
            fs::create_directories(first / "held");
        }
        return IoTResult{200, 0, {}, {}};
    });
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_EQ(conn->PublishCalls(), 2);
    EXPECT_TRUE(log.Contains(warning, "Failed to remove the sent resend file " + first.string()));
    EXPECT_FALSE(fs::exists(ResendFolder() / "resend_2.rsnd"));
}

// A connectivity module whose envelope needs a gun of nine pieces, as the real one does.
class EnvelopeConnectivity : public zelko::testing::FakeConnectivity {
  public:
    void FormatForPublishing(const std::string& gun, const std::string& filtered, std::vector<char>& envelope) override {
        if (Utils::Split(gun, ".").size() < 9) throw std::invalid_argument("gun has fewer than nine pieces");
        FakeConnectivity::FormatForPublishing(gun, filtered, envelope);
    }
};

TEST_F(ResendWalkTest, ARecordThatCannotBeEnvelopedIsRemovedAsCorrupted) {
    module.reset();
    conn = std::make_shared<EnvelopeConnectivity>();
    module = Make({{"collectors", json::array()}}, nullptr, false, true, crypto, conn);
    const auto bad = Save("resend_1.rsnd", MakeResendRecord("pub", "c", "1.0", "a.b.c", {{"value", 1}}, 0,
                                                            platform::NowTicks(), 0),
                          20);
    Save("resend_2.rsnd", Full("pub", 2), 10);
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_EQ(PublishedValues(), (std::vector<int>{2}));
    EXPECT_EQ(Files(), 0u);
    EXPECT_TRUE(log.Contains(warning, "Corrupted file removed " + bad.string()));
}

TEST_F(ResendWalkTest, AWalkThatFailedIsNoSuccess) {
    Save("resend_1.rsnd", Full("pub", 1), 20);
    Save("resend_2.rsnd", Full("pub", 2), 10);
    conn->SetPubByHttp([](const std::string&, const std::string& message) -> IoTResult {
        if (json::parse(message)["eventDetail"]["value"] == 1) throw std::runtime_error("peer gone");
        return IoTResult{200, 0, {}, {}};
    });
    const Error result = module->ResendCollectorsData();
    EXPECT_TRUE(result);
    EXPECT_NE(result.what().find("peer gone"), std::string::npos) << result.what();
    EXPECT_TRUE(log.Contains(error, "ResendCollectorsData failed with exception "));
    // The record after it still went; the one that failed waits for the next walk.
    EXPECT_EQ(Files(), 1u);
    EXPECT_TRUE(fs::exists(ResendFolder() / "resend_1.rsnd"));
}

// A staging file is a record being written; one left by a crash goes, or it would hold its share of
// the folder's cap for good.
TEST_F(ResendWalkTest, StagingFilesLeftBehindAreRemoved) {
    platform::ScopedFakeClock clock(1'700'000'000 * platform::kTicksPerSecond);
    fs::create_directories(ResendFolder());
    const int64_t now = platform::NowTicks();
    const auto staging = [](const std::string& rest) {
        const auto path = ResendFolder() / (".staging_" + rest);
        std::ofstream(path) << "partial";
        return path;
    };
    const auto fresh = staging(std::to_string(now - 60 * platform::kTicksPerSecond) + "_7");
    const auto left = staging(std::to_string(now - 601 * platform::kTicksPerSecond) + "_7");
    const auto future = staging(std::to_string(now + 3600 * platform::kTicksPerSecond) + "_7");
    const auto garbage = staging("garbage");
    EXPECT_FALSE(module->ResendCollectorsData());
    EXPECT_TRUE(fs::exists(fresh));
    for (const auto& path : {left, future, garbage}) {
        EXPECT_FALSE(fs::exists(path)) << path;
        EXPECT_TRUE(log.Contains(warning, "Unfinished resend file removed " + path.string()));
    }
    EXPECT_EQ(conn->PublishCalls(), 0);
}

// A record too large for a publish goes to S3, as the collector run sends it.
TEST_F(ResendWalkTest, LargeRecordsAreResentBySize) {
    conn->switchS3UploadMaxMessageSize = 1.0;  // KB
    const auto large = [](int value) {
        return MakeResendRecord("pub", "c", "1.0", kGun, {{"value", value}, {"pad", std::string(2000, 'x')}}, 0,
                                platform::NowTicks(), 0);
    };
    Save("resend_small.rsnd", Full("pub", 1), 20);
    Save("resend_large.rsnd", large(2), 10);
    EXPECT_FALSE(module->ResendCollectorsData());
    const auto sent = conn->Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].via, "http");
    EXPECT_EQ(sent[1].via, "s3");
    EXPECT_TRUE(sent[1].target.starts_with("arn:aws:s3:::telemetry/SNR0001_")) << sent[1].target;
    EXPECT_TRUE(sent[1].target.ends_with("_battery.json")) << sent[1].target;
    EXPECT_EQ(Files(), 0u);

    // A failed upload keeps the record and is a publish failure of the walk.
    Save("resend_large.rsnd", large(3), 10);
    conn->SetUploadToS3([](const std::string&, const std::string&, const std::string&) {
        return Error(shared::error::ErrorCategory::EC_Network, 5, "s3 down");
    });
    const Error failed = module->ResendCollectorsData();
    EXPECT_EQ(failed.code(), 14);
    EXPECT_EQ(Files(), 1u);
}

}  // namespace
}  // namespace zelko::plenar::agent::test
