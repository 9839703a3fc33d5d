#include "consent/consent_bridge.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "consent/tests/consent_fakes.h"
#include "features/feature_finder.h"
#include "outside/device_enumeration/device_enumeration.h"
#include "platform/clock.h"
#include "platform/steady_clock.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using logging::debug;
using logging::error;
using logging::info;
using logging::warning;
using nlohmann::json;
using shared::http::HttpMethod;
using test::Answer;
using test::FakeDeviceInfo;
using test::FakeHttpClient;
using S = ConsentState;

constexpr char kHost[] = "https://consent.test/";
constexpr char kSupportId[] = "prodsupport.device.telemetry.unmanaged.-.ps";
constexpr char kMarketingId[] = "advertising.device.telemetry.unmanaged.-.ps";
constexpr char kImprovementId[] = "prodsupport.device.telemetry.unmanaged.product_improvement.ps";
constexpr char kTransferId[] = "bizops.device.telemetry.unmanaged.transfer";
constexpr char kQueryBody[] =
    "{\"language\": \"en\", \"purposeIdList\": [\"prodsupport.device.telemetry.unmanaged.-.ps\","
    "\"prodsupport.device.telemetry.unmanaged.product_improvement.ps\",\"advertising.device.telemetry."
    "unmanaged.-.ps\","
    "\"bizops.device.telemetry.unmanaged.transfer\"], \"deviceId\": \"4c4c4544-0042-3510\"}";

json PurposeJson(const std::string& id, const std::string& state, const std::string& dateTime = "") {
    json purpose = {{"resourceId", "res-" + id}, {"purposeId", id}, {"state", state}, {"tenantId", "t"}};
    if (!dateTime.empty()) purpose["dateTime"] = dateTime;
    return purpose;
}

class ConsentBridgeTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        http_->answer = [this](const FakeHttpClient::Sent& sent) {
            if (sent.method == HttpMethod::POST) return Answer{200, cloud_.dump()};
            return update_(sent);
        };
        update_ = [](const FakeHttpClient::Sent& sent) {
            const auto start = sent.url.find("resourceId=") + 11;
            const std::string resource = sent.url.substr(start, sent.url.find('&', start) - start);
            return Answer{200, json{{"consents", {{{"resourceId", resource}}}}}.dump()};
        };
    }

    void MakeSubscriptionDevice(const std::string& id = "ACPI\\VEN_ZLKC&DEV_0016") {
        std::filesystem::create_directories(root() / "Devices");
        std::ofstream(root() / shared::device_enumeration::kSimulatedDevicesFile)
            << json{{"{4D36E97D-E325-11CE-BFC1-08002BE10318}", {id}}}.dump();
    }
    void WriteConfig(const json& stack) {
        std::ofstream(scratch() / "consent-bridge-module-config.json")
            << json{{"stacks", {{"dev", stack}}}}.dump();
    }
    std::shared_ptr<ConsentBridgeModule> Make(const std::string& stack = "dev") {
        return std::make_shared<ConsentBridgeModule>(stack, scratch() / "consent-bridge-module-config.json",
                                                     device_, http_);
    }
    static std::string Hive(const std::string& name) {
        return ConsentManager::ReadRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name);
    }
    static void SetHive(const std::string& name, const std::string& value) {
        ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name, value);
    }
    static std::vector<std::string> Purposes() {
        return {Hive("AllowSupport"), Hive("AllowMarketing"), Hive("AllowProductEnhancement"),
                Hive("AllowTransferOutOfCountry")};
    }
    // A hive whose consent was persisted before, so the module starts valid.
    static void PersistedConsent(const std::string& support, const std::string& marketing) {
        SetHive("AllowSupport", support);
        SetHive("AllowMarketing", marketing);
        SetHive(kConsentProgressValue, "2026-01-01T00:00:00Z");
    }

    zelko::testing::LogCapture log_;
    std::shared_ptr<FakeDeviceInfo> device_ = std::make_shared<FakeDeviceInfo>("4C4C4544-0042-3510");
    std::shared_ptr<FakeHttpClient> http_ = std::make_shared<FakeHttpClient>();
    json cloud_ = json::array();
    std::function<Answer(const FakeHttpClient::Sent&)> update_;
};

// ---- the consent record ----

TEST(ConsentRecordTest, HashAndItsParseFollowTheFieldOrder) {
    EXPECT_EQ(ConsentHash({S::Accepted, S::Rejected, S::Unknown, S::Unknown}), "1200");
    EXPECT_EQ(ConsentHash({S::Rejected, S::Rejected, S::Rejected, S::Rejected}), "2222");
    const struct {
        std::string hash;
        Consent consent;
    } cases[] = {
        {"12", {S::Accepted, S::Rejected, S::Unknown, S::Unknown}},
        {"", {}},
        {"1x2", {S::Accepted, S::Unknown, S::Rejected, S::Unknown}},
        {"02121", {S::Unknown, S::Rejected, S::Accepted, S::Rejected}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseConsentHash(c.hash), c.consent) << c.hash;
    EXPECT_EQ(StateFromRegistryText("accepted"), S::Unknown);
    EXPECT_EQ(StateFromRegistryText("Rejected "), S::Unknown);
    EXPECT_EQ(StateFromPurposeState("optedin"), S::Unknown);
    EXPECT_EQ(ConsentDefaults().size(), 25u);
    EXPECT_EQ(ConsentDefaults().rbegin()->first, "iszelko");
}

TEST(ConsentRecordTest, ConsentFromPurposesTakesKnownIdsAndTheLaterDuplicate) {
    std::vector<Purpose> purposes(5);
    purposes[0].purposeId = kSupportId, purposes[0].state = "OptedOut";
    purposes[1].purposeId = "other", purposes[1].state = "OptedIn";
    purposes[2].purposeId = kTransferId, purposes[2].state = "OptedIn";
    purposes[3].purposeId = kSupportId, purposes[3].state = "OptedIn";
    purposes[4].purposeId = kImprovementId, purposes[4].state = "Pending";
    EXPECT_EQ(ConsentFromPurposes(purposes), (Consent{S::Accepted, S::Unknown, S::Unknown, S::Accepted}));
    EXPECT_EQ(FindPurpose(purposes, ConsentField::Support).state, "OptedOut");
    EXPECT_EQ(FindPurpose(purposes, ConsentField::Marketing), Purpose{});
}

// ---- the hive ----

TEST_F(ConsentBridgeTest, SubscriptionDeviceGetsItsDefaultsOnceAndKeepsPresentValues) {
    MakeSubscriptionDevice("PCI\\ACPI\\VEN_ZLKC&DEV_0016&REV_01");
    WriteConfig({{"host", kHost}});
    SetHive("AllowMarketing", "accepted");
    SetHive("AllowProductEnhancement", "Rejected");
    SetHive("CountryCode", "DE");
    SetHive("TenantID", "");
    auto module = Make();
    EXPECT_EQ(Purposes(), (std::vector<std::string>{"Accepted", "Unknown", "Rejected", "Unknown"}));
    EXPECT_EQ(Hive("CountryCode"), "DE");
    for (const auto& [name, value] : ConsentDefaults())
        if (name != "CountryCode") {
            EXPECT_EQ(Hive(name), value) << name;
        }
    EXPECT_TRUE(
        log_.Contains(info, "Consent Module: Added default value: Individual to the subkey : TenantID"));
    EXPECT_FALSE(log_.Contains(info, "to the subkey : CountryCode"));
    EXPECT_FALSE(module->IsConsentValid());  // no cloud consent persisted yet

    // A later start changes nothing but an unknown "AllowSupport".
    SetHive("AllowSupport", "Rejected");
    SetHive("PCaaS", "False");
    Make();
    EXPECT_EQ(Purposes(), (std::vector<std::string>{"Rejected", "Unknown", "Rejected", "Unknown"}));
    EXPECT_EQ(Hive("PCaaS"), "False");
}

TEST_F(ConsentBridgeTest, DefaultsGoIntoTheKeyInOneWrite) {
    MakeSubscriptionDevice();
    WriteConfig({{"host", kHost}});
    SetHive("CountryCode", "DE");
    platform::RegistryKey key;
    ASSERT_EQ(platform::RegistryKey::Open(platform::RegistryHive::LocalMachine, kConsentKey, key), 0u);
    // Every write of the key names a new file in its folder and renames it over the values file
    // (watching the names keeps the kernel from merging the renames into one event).
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, key.Folder().c_str(), IN_CREATE | IN_MOVED_TO), 0);
    Make();
    int writes = 0;
    alignas(inotify_event) char events[16 * 1024];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            writes += (event->mask & IN_MOVED_TO) && event->len > 0 && std::string(event->name) == "values.json";
            at += sizeof(inotify_event) + event->len;
        }
    }
    close(watch);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(Hive("CountryCode"), "DE");
    EXPECT_EQ(Hive("TenantID"), "Individual");
    EXPECT_EQ(Hive("AllowSupport"), "Accepted");
}

TEST_F(ConsentBridgeTest, OtherDevicesLeaveTheHiveUntouched) {
    WriteConfig({{"host", kHost}});
    for (const std::string id : {"", "ACPI\\ven_zlkc&dev_0016"}) {
        if (!id.empty()) MakeSubscriptionDevice(id);
        Make();
        platform::RegistryKey key;
        EXPECT_NE(platform::RegistryKey::Open(platform::RegistryHive::LocalMachine, kConsentKey, key), 0u)
            << id;
    }
    EXPECT_TRUE(
        log_.Contains(error, "Failed to RegOpenKeyExA keyTop key SOFTWARE\\Policies\\Zelko\\Consent"));
}

TEST_F(ConsentBridgeTest, WritingAConsentSetsTheFlagAndTheProgressOnlyWhenGiven) {
    WriteConfig({{"host", kHost}});
    auto module = Make();
    SetHive(kConsentProgressValue, "earlier");
    module->WriteConsentToRegistry({S::Rejected, S::Accepted, S::Unknown, S::Rejected}, "");
    EXPECT_TRUE(module->IsConsentValid());
    EXPECT_EQ(Hive(kConsentProgressValue), "earlier");
    EXPECT_EQ(Purposes(), (std::vector<std::string>{"Rejected", "Accepted", "Unknown", "Rejected"}));
    EXPECT_EQ(ReadConsent(), (Consent{S::Rejected, S::Accepted, S::Unknown, S::Rejected}));
    module->WriteConsentToRegistry({S::Accepted}, "now");
    EXPECT_EQ(Hive(kConsentProgressValue), "now");
    EXPECT_TRUE(log_.Contains(info, "The downloaded Consent is valid and persisted."));
}

TEST_F(ConsentBridgeTest, StartsValidOnlyWithAPersistedConsentAndAKnownSupport) {
    WriteConfig({{"host", kHost}});
    SetHive(kConsentProgressValue, "2026-01-01T00:00:00Z");
    EXPECT_FALSE(Make()->IsConsentValid());
    SetHive("AllowSupport", "Rejected");
    EXPECT_TRUE(Make()->IsConsentValid());
}

TEST_F(ConsentBridgeTest, ConfigurationFile) {
    // Not readable as JSON: the built-in document, with its "prod" stack.
    for (const std::string& text :
         std::vector<std::string>{"", "{\"stacks\": {", "not json", std::string(1 << 20, '[')}) {
        std::ofstream(scratch() / "consent-bridge-module-config.json") << text;
        EXPECT_NO_THROW(Make("prod"));
        EXPECT_TRUE(log_.Contains(
            error, "Failed to load config: " + (scratch() / "consent-bridge-module-config.json").string()));
    }
    // A stack that is missing or of the wrong shape keeps the module from being built.
    const struct {
        json document;
        std::string what;
    } bad[] = {
        {{{"stacks", {{"prod", {{"host", kHost}}}}}}, "cannot use value() with null"},
        {{{"stacks", {{"dev", "https://x/"}}}}, "cannot use value() with string"},
        {{{"stacks", json::array()}}, "cannot use value() with array"},
    };
    for (const auto& c : bad) {
        std::ofstream(scratch() / "consent-bridge-module-config.json") << c.document.dump();
        try {
            Make();
            ADD_FAILURE() << c.document;
        } catch (const json::type_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
    }
}

// The two waits are settings: a damaged one gives its default with one warning naming it.
TEST_F(ConsentBridgeTest, DamagedWaitSettingsGiveTheirDefaults) {
    const struct {
        json value;
        const char* key;
    } cases[] = {
        {"5", "first_time_wait_ms"},           {true, "first_time_wait_ms"},
        {1e12, "first_time_wait_ms"},          {3'600'000, "first_time_wait_ms"},
        {"10", "upload_local_wait_min"},       {0, "upload_local_wait_min"},
        {-5, "upload_local_wait_min"},         {json::array(), "upload_local_wait_min"},
        {int64_t{1} << 40, "upload_local_wait_min"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value.dump());
        WriteConfig({{"host", kHost}, {c.key, c.value}});
        zelko::testing::LogCapture log;
        std::shared_ptr<ConsentBridgeModule> module;
        ASSERT_NO_THROW(module = Make());
        EXPECT_EQ(log.Count(warning, c.key), 1);
        EXPECT_TRUE(log.Contains(warning, "consent-bridge-module-config.json"));
        EXPECT_EQ(module->UploadIntervalMinutes(), 720);
    }
}

TEST_F(ConsentBridgeTest, ConfigurationWithoutStacksTakesTheBuiltInDocument) {
    const auto path = scratch() / "consent-bridge-module-config.json";
    for (const json& document : {json::object(), json::array(), json(), json{{"stack", {{"prod", 1}}}}}) {
        std::ofstream(path) << document.dump();
        EXPECT_NO_THROW(Make("prod")) << document;
        EXPECT_TRUE(log_.Contains(warning, "No \"stacks\" in " + path.string() + ", loading defaults."))
            << document;
        // The built-in document knows only "prod".
        EXPECT_THROW(Make("dev"), json::type_error) << document;
    }
}

// ---- download ----

TEST_F(ConsentBridgeTest, FirstDownloadWaitsOnceThenWritesTheCloudConsent) {
    MakeSubscriptionDevice();
    WriteConfig({{"host", kHost}});
    auto module = Make();
    cloud_ = {PurposeJson(kMarketingId, "OptedOut"),
              PurposeJson(kSupportId, "OptedIn", "2026-02-01T10:00:00Z"),
              PurposeJson("other", "OptedIn", "2026-03-01T00:00:00Z")};
    cloud_[0]["dateTime"] = "";

    platform::ScopedFakeSteadyClock steady;
    std::thread step([&] { module->Process(); });
    ASSERT_TRUE(steady.WaitForSleepers(1));
    EXPECT_TRUE(log_.Contains(info, "Waiting for Pending Association to propagate user's consent..."));
    steady.Advance(std::chrono::milliseconds(4999));
    EXPECT_TRUE(http_->Requests().empty());
    steady.Advance(std::chrono::milliseconds(1));
    step.join();

    const auto requests = http_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, HttpMethod::POST);
    EXPECT_EQ(requests[0].url, "https://consent.test/api/2/consents");
    EXPECT_EQ(requests[0].body, kQueryBody);
    EXPECT_EQ(requests[0].timeout, ConsentManager::kRequestTimeoutSeconds);
    EXPECT_EQ(requests[0].headers,
              (std::vector<std::pair<std::string, std::string>>{{"Content-Type", "application/json"}}));
    EXPECT_EQ(http_->live, 0);

    EXPECT_TRUE(module->IsConsentValid());
    EXPECT_EQ(Purposes(), (std::vector<std::string>{"Accepted", "Rejected", "Unknown", "Unknown"}));
    EXPECT_EQ(Hive(kConsentProgressValue), "2026-02-01T10:00:00Z");
    EXPECT_TRUE(log_.Contains(debug,
                              "AllowSupport Accepted AllowMarketing Rejected AllowProductEnhancement Unknown "
                              "AllowTransferOutOfCountry Unknown currentConsentHash 1200"));
}

TEST_F(ConsentBridgeTest, CloudWithoutAKnownSupportStateLeavesTheConsentInvalid) {
    WriteConfig({{"host", kHost}, {"first_time_wait_ms", 0}});
    const struct {
        Answer answer;
        const char* line;
    } cases[] = {
        {{200, json::array({PurposeJson(kMarketingId, "OptedIn", "t")}).dump()}, "Consent was downloaded."},
        {{200, json::array({PurposeJson(kSupportId, "optedin", "t")}).dump()}, "Consent was downloaded."},
        {{500, "{}"}, "NimbrelDataAccess: http request failure with error code: 500"},
        {{0, ""}, "failed to parse response "},
        {{200, "[{\"purposeId\": 5}]"}, "failed to parse response [{\"purposeId\": 5}]"},
    };
    auto module = Make();
    for (const auto& c : cases) {
        http_->answer = [&](const FakeHttpClient::Sent&) { return c.answer; };
        module->Process();
        EXPECT_FALSE(module->IsConsentValid());
        EXPECT_TRUE(log_.Contains(c.line == std::string("Consent was downloaded.") ? info : error, c.line))
            << c.line;
    }
    EXPECT_EQ(http_->Requests().size(), std::size(cases));
    EXPECT_EQ(Hive("AllowMarketing"), "");
    EXPECT_EQ(http_->live, 0);
}

TEST_F(ConsentBridgeTest, NoWaitWhenTheWaitIsZeroOrNegativeAndNoneAfterTheFirstDownload) {
    cloud_ = json::array();
    for (int wait : {0, -5}) {
        WriteConfig({{"host", kHost}, {"first_time_wait_ms", wait}});
        Make()->Process();  // a wait would block: no fake steady clock moves here
    }
    WriteConfig({{"host", kHost}, {"first_time_wait_ms", 60'000}});
    auto module = Make();
    platform::ScopedFakeSteadyClock steady;
    std::thread step([&] { module->Process(); });
    ASSERT_TRUE(steady.WaitForSleepers(1));
    // The wait takes at most half the pass's budget: the request keeps the rest.
    steady.Advance(ConsentBridgeModule::kPassBudget / 2);
    step.join();
    module->Process();
    EXPECT_EQ(http_->Requests().size(), 4u);
}

TEST_F(ConsentBridgeTest, StackWithoutHostLogsAndStaysInvalid) {
    WriteConfig({{"first_time_wait_ms", 0}});
    auto module = Make();
    module->Process();
    EXPECT_FALSE(module->IsConsentValid());
    EXPECT_TRUE(log_.Contains(error, "ConsentBridgeModule::Process() exception: "));
    EXPECT_TRUE(http_->Requests().empty());
}

// ---- upload ----

class ConsentUploadTest : public ConsentBridgeTest {
  protected:
    void SetUp() override {
        ConsentBridgeTest::SetUp();
        WriteConfig({{"host", kHost}, {"upload_local_wait_min", 10}});
    }
    platform::ScopedFakeClock clock_{17'000'000'000'000'000};
    static constexpr int64_t kMinute = 60 * platform::kTicksPerSecond;
};

TEST_F(ConsentUploadTest, ChangedLocalConsentIsUploadedOncePerInterval) {
    PersistedConsent("Accepted", "Rejected");
    cloud_ = {PurposeJson(kSupportId, "OptedIn"), PurposeJson(kMarketingId, "OptedIn")};
    auto module = Make();
    ASSERT_TRUE(module->IsConsentValid());

    clock_.Advance(10 * kMinute);  // not yet past the interval
    module->Process();
    EXPECT_TRUE(http_->Requests().empty());

    clock_.Advance(1);
    module->Process();
    const auto updates = http_->Updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].url,
              "https://consent.test/api/2/consents?language=en&country=us&deviceId=4c4c4544-0042-3510"
              "&resourceId=res-advertising.device.telemetry.unmanaged.-.ps&state=OptedOut"
              "&purposeId=advertising.device.telemetry.unmanaged.-.ps");
    EXPECT_EQ(updates[0].body, "");
    EXPECT_EQ(updates[0].timeout, ConsentManager::kRequestTimeoutSeconds);
    EXPECT_TRUE(updates[0].headers.empty());
    EXPECT_EQ(Hive(kUploadedHashValue), "1200");
    EXPECT_TRUE(
        log_.Contains(info, "succeeded to set res-advertising.device.telemetry.unmanaged.-.pstoOptedOut"));
    EXPECT_TRUE(log_.Contains(info, "Consent was changed and was uploaded to the cloud "));

    // Unchanged since the upload: only the hive is read.
    clock_.Advance(11 * kMinute);
    module->Process();
    EXPECT_EQ(http_->Requests().size(), 2u);
    EXPECT_EQ(http_->live, 0);
}

TEST_F(ConsentUploadTest, UnknownLocalSupportWarnsAndRestartsTheInterval) {
    PersistedConsent("Accepted", "Rejected");
    auto module = Make();
    SetHive("AllowSupport", "accepted");
    clock_.Advance(11 * kMinute);
    module->Process();
    EXPECT_TRUE(log_.Contains(warning, "Trying to upload consent for the registry, but it's not valid."));
    SetHive("AllowSupport", "Accepted");
    clock_.Advance(5 * kMinute);
    module->Process();
    EXPECT_TRUE(http_->Requests().empty());
    EXPECT_TRUE(module->IsConsentValid());
}

TEST_F(ConsentUploadTest, EachFieldSendsTheLocalStateWhereTheCloudDiffers) {
    PersistedConsent("Accepted", "Rejected");
    auto module = Make();
    const struct {
        const char* local;
        const char* cloud;  // the marketing purpose's state at the cloud; null: absent
        const char* sent;   // null: nothing
        bool uploaded = true;
    } cases[] = {
        {"1200", "OptedIn", "OptedOut"}, {"1100", "OptedOut", "OptedIn"}, {"1000", "OptedIn", "OptedOut"},
        {"1000", "OptedOut", nullptr},   {"1000", "Pending", nullptr},    {"1100", "OptedIn", nullptr},
        // A change the service has no purpose for cannot be sent: it is not uploaded.
        {"1100", nullptr, nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.local) + " " + (c.cloud ? c.cloud : "absent"));
        cloud_ = {PurposeJson(kSupportId, "OptedIn")};
        if (c.cloud) cloud_.push_back(PurposeJson(kMarketingId, c.cloud));
        const size_t before = http_->Updates().size();
        EXPECT_EQ(module->UploadConsent(c.local), c.uploaded);
        const auto updates = http_->Updates();
        ASSERT_EQ(updates.size() - before, c.sent ? 1u : 0u);
        if (c.sent) {
            EXPECT_NE(updates.back().url.find(std::string("&state=") + c.sent + "&purposeId=" + kMarketingId),
                      std::string::npos);
        }
    }
    // A local support without a state withdraws the cloud's acceptance; every field is attempted.
    cloud_ = {PurposeJson(kSupportId, "OptedIn"), PurposeJson(kTransferId, "OptedOut")};
    update_ = [](const FakeHttpClient::Sent&) { return Answer{500, ""}; };
    EXPECT_FALSE(module->UploadConsent("0001"));
    EXPECT_EQ(http_->Updates().size(), 5u);
    EXPECT_TRUE(log_.Contains(error, "Failed to UploadConsent 0"));
}

TEST_F(ConsentUploadTest, FailedDownloadOrUpdateKeepsTheChangePending) {
    PersistedConsent("Accepted", "Rejected");
    auto module = Make();
    const struct {
        Answer query;
        Answer update;
        const char* line;
    } failures[] = {
        {{503, ""}, {}, "Failed to UploadConsent: the consent service gave no purposes"},
        {{200, "[]"}, {}, "Failed to UploadConsent: the consent service gave no purposes"},
        {{200, ""},
         {200, R"({"consents": [{"resourceId": "another"}]})"},
         "failed to set res-advertising.device.telemetry.unmanaged.-.ps"},
        {{200, ""},
         {200, R"({"other": []})"},
         "failed to set res-advertising.device.telemetry.unmanaged.-.ps"},
        {{200, ""}, {200, "not json"}, "failed to parse response "},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.line);
        const json purposes = {PurposeJson(kSupportId, "OptedIn"), PurposeJson(kMarketingId, "OptedIn")};
        http_->answer = [&](const FakeHttpClient::Sent& sent) {
            if (sent.method == HttpMethod::POST)
                return f.query.body.empty() && f.query.status == 200 ? Answer{200, purposes.dump()} : f.query;
            return f.update;
        };
        clock_.Advance(11 * kMinute);
        module->Process();
        EXPECT_TRUE(log_.Contains(error, f.line));
        EXPECT_EQ(Hive(kUploadedHashValue), "");
    }
    // Once the service answers, the next interval sends it.
    http_->answer = [this](const FakeHttpClient::Sent& sent) {
        if (sent.method == HttpMethod::POST)
            return Answer{
                200, json{PurposeJson(kSupportId, "OptedIn"), PurposeJson(kMarketingId, "OptedIn")}.dump()};
        return update_(sent);
    };
    clock_.Advance(11 * kMinute);
    module->Process();
    EXPECT_EQ(Hive(kUploadedHashValue), "1200");
    EXPECT_EQ(http_->live, 0);
}

// ---- the wire ----

TEST_F(ConsentBridgeTest, RequestTextsEncodeWhatWouldBreakThem) {
    EXPECT_EQ(ConsentManager::CreateQueryPayload("en", "a\"b & c", {"x", "y\\z"}),
              R"({"language": "en", "purposeIdList": ["x","y\\z"], "deviceId": "a\"b & c"})");
    EXPECT_EQ(ConsentManager::CreateQueryPayload("en", "d", {}),
              R"({"language": "en", "purposeIdList": [], "deviceId": "d"})");
    EXPECT_EQ(
        ConsentManager::CreateQueryPayload("en", "us", "a b&c", "r=1&state=OptedIn", "OptedOut", "p.-_~"),
        "language=en&country=us&deviceId=a%20b%26c&resourceId=r%3D1%26state%3DOptedIn&state=OptedOut"
        "&purposeId=p.-_~");

    // The device id travels encoded in both requests.
    device_ = std::make_shared<FakeDeviceInfo>("A B&\"C");
    PersistedConsent("Accepted", "Rejected");
    WriteConfig({{"host", kHost}});
    auto module = Make();
    cloud_ = {PurposeJson(kSupportId, "OptedIn"), PurposeJson(kMarketingId, "OptedIn")};
    EXPECT_TRUE(module->UploadConsent("1200"));
    const auto requests = http_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].body.find(R"("deviceId": "a b&\"c")"), std::string::npos);
    EXPECT_NE(requests[1].url.find("&deviceId=a%20b%26%22c&"), std::string::npos);
}

TEST_F(ConsentBridgeTest, EmptyPayloadOrHostSendsNothing) {
    ConsentManager manager("");
    EXPECT_EQ(manager.GetPurposeMetadata("{}", http_), "");
    manager.host = kHost;
    EXPECT_EQ(manager.GetPurposeMetadata("", http_), "");
    EXPECT_EQ(manager.SetSpecificPurposeMetada("", http_), "");
    EXPECT_TRUE(http_->Requests().empty());
    device_->uuidThrows = true;
    WriteConfig({{"host", kHost}});
    EXPECT_EQ(Make()->biosUUID(), "");
    EXPECT_TRUE(log_.Contains(error, "Consent bridge module failed to read Biod UUID: no SMBIOS table"));
}

TEST(PurposeListTest, AnswersOfEveryShape) {
    zelko::testing::LogCapture log;
    const struct {
        std::string text;
        std::vector<std::string> resourceIds;
    } cases[] = {
        {R"([{"resourceId": "a", "state": "OptedIn"}, {"resourceId": "b"}])", {"a", "b"}},
        {"[]", {}},
        {"null", {}},
        {R"({"z": {"resourceId": "z"}, "a": 5})", {"", "z"}},
        {R"("text")", {""}},
        {R"([{"resourceId": "a"}, {"resourceId": "b", "organization": null}, {"resourceId": "c"}])", {"a"}},
        {"", {}},
        {"[{\"resourceId\": \"a\"", {}},
        {std::string(100000, '['), {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> ids;
        for (const auto& purpose : ConsentManager::DeserializePurposeList(c.text))
            ids.push_back(purpose.resourceId);
        EXPECT_EQ(ids, c.resourceIds) << c.text.substr(0, 60);
    }
    EXPECT_TRUE(log.Contains(error,
                             "failed to parse response [{\"resourceId\": \"a\"}, {\"resourceId\": \"b\", "
                             "\"organization\": null}"));
    const auto all = ConsentManager::DeserializePurposeList(
        R"([{"resourceId":"1","tenantId":"2","state":"3","organization":"4","purposeId":"5","purposeResourceId":"6",
        "purposeVersion":"7","originType":"8","originId":"9","programId":"10","verbiageType":"11","verbiageValue":"12",
        "verbiageLocale":"13","deviceId":"14","processingBasis":"15","dateTime":"16","extra":{}}])");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], (Purpose{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
                               "15", "16"}));
}

// ---- module set-up ----

class SubscriptionSource : public ISource {
  public:
    std::string GetName() const override { return "SubscriptionSource"; }
    FeatureList GetFeatures() override { return {MakeFeature("ZelkoPlenarSubscription")}; }
};

TEST_F(ConsentBridgeTest, SetUpGivesTheModuleOnlyToSubscriptionDevices) {
    std::ofstream(scratch() / "consent-bridge-module-config.json")
        << json{{"stacks", {{"dev", {{"host", kHost}}}}}};
    FeatureFinder plain({});
    EXPECT_EQ(SetUpConsent(plain, "dev", scratch(), device_, http_), nullptr);
    EXPECT_TRUE(log_.Contains(info, "Initial PSConsentSource"));
    EXPECT_EQ(plain.GetFeaturesByName("PrivacySettingsAppInstalled").size(), 1u);

    FeatureFinder subscription({std::make_shared<SubscriptionSource>()});
    auto module = SetUpConsent(subscription, "dev", scratch(), device_, http_);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(log_.Contains(info, "Loading consent bridge module completed."));
    EXPECT_TRUE(subscription.GetFeaturesByName("PrivacySettingsAppInstalled").empty());
    // What the module raises leaves set-up.
    EXPECT_THROW(SetUpConsent(subscription, "missing", scratch(), device_, http_), json::type_error);
}

}  // namespace
}  // namespace zelko::plenar::agent
