// The consent step of a subscription device against the local cloud's consent service.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "consent/consent_bridge.h"
#include "outside/device_enumeration/device_enumeration.h"
#include "outside/http/http_errors.h"
#include "platform/clock.h"
#include "platform/steady_clock.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using cloud::test::Admin;
using nlohmann::json;
using shared::http::HttpMethod;

constexpr char kSupportId[] = "prodsupport.device.telemetry.unmanaged.-.ps";
constexpr char kMarketingId[] = "advertising.device.telemetry.unmanaged.-.ps";

int ConsentPort() {
    static const int port = [] {
        std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
        return nlohmann::json::parse(in).at("consent_port").get<int>();
    }();
    return port;
}

// Answers the device it was made with; enough for the consent module, which reads only the UUID.
class Device : public zelko::testing::BlankDeviceInfo {
  public:
    explicit Device(std::string uuid) { systemUuid = std::move(uuid); }
};

class ConsentCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        std::filesystem::create_directories(root() / "Devices");
        std::ofstream(root() / shared::device_enumeration::kSimulatedDevicesFile)
            << json{{"{4D36E97D-E325-11CE-BFC1-08002BE10318}", {"ACPI\\VEN_ZLKC&DEV_0016"}}}.dump();
        std::ofstream(scratch() / "consent-bridge-module-config.json") << json{
            {"stacks",
             {{"dev",
               {{"host", "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/"},
                {"upload_local_wait_min", 1}}}}}}.dump();
    }
    void TearDown() override {
        // Ends what a fault still holds on the service.
        Admin(HttpMethod::DEL, "/faults");
        SystemRootTest::TearDown();
    }
    void WriteConfig(int firstTimeWaitMs) {
        std::ofstream(scratch() / "consent-bridge-module-config.json") << json{
            {"stacks",
             {{"dev",
               {{"host", "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/"},
                {"first_time_wait_ms", firstTimeWaitMs},
                {"upload_local_wait_min", 1}}}}}}.dump();
    }
    static void SilenceTheService() {
        ASSERT_EQ(Admin(HttpMethod::POST, "/faults",
                        {{"endpoint", "consent-query"}, {"delay_ms", 600'000}, {"count", -1}})
                      .first,
                  200);
    }
    std::shared_ptr<ConsentBridgeModule> Make() {
        return std::make_shared<ConsentBridgeModule>(
            "dev", scratch() / "consent-bridge-module-config.json", std::make_shared<Device>(uuidUpper_),
            std::make_shared<shared::http::HttpClient>(nullptr, nullptr));
    }
    static std::string Hive(const std::string& name) {
        return ConsentManager::ReadRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name);
    }
    json CloudPurposes() { return Admin(HttpMethod::GET, "/consents/" + uuid_).second; }
    std::string CloudState(const std::string& purposeId) {
        for (const auto& purpose : CloudPurposes())
            if (purpose.value("purposeId", "") == purposeId) return purpose.value("state", "");
        return "";
    }

    // The "UpdatingConsent" state's rule: run the step; while the consent is invalid, wait a delay
    // that grows from 15 s by 15 s up to 60 s and run it again. Returns the delays waited.
    std::vector<int> UpdateConsent(ConsentBridgeModule& module, int attempts,
                                   const std::function<void(int)>& beforeAttempt) {
        std::vector<int> delays;
        int delay = 15000;
        for (int attempt = 1; attempt <= attempts; ++attempt) {
            beforeAttempt(attempt);
            module.Process();
            if (module.IsConsentValid()) break;
            delay = std::min(delay + 15000, 60000);
            delays.push_back(delay);
            clock_.Advance(delay * platform::kTicksPerMillisecond);
        }
        return delays;
    }

    zelko::testing::LogCapture log_;
    platform::ScopedFakeClock clock_{17'000'000'000'000'000};
    // Lower case: the device id is the lower-cased system UUID.
    const std::string uuid_ = [] {
        std::string id = "4c4c4544-" + std::to_string(::getpid()) + "-" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return id;
    }();
    const std::string uuidUpper_ = [this] {
        std::string upper = uuid_;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upper;
    }();
};

TEST_F(ConsentCloudTest, SubscriptionDeviceBecomesValidOnceTheCloudHoldsItsConsentAndUploadsLocalChanges) {
    auto module = Make();
    ASSERT_FALSE(module->IsConsentValid());
    EXPECT_EQ(Hive("AllowSupport"), "Accepted");  // the default hive, not a cloud consent

    platform::ScopedFakeSteadyClock steady;
    std::thread release;
    const std::vector<int> delays = UpdateConsent(*module, 6, [&](int attempt) {
        if (attempt == 1) {
            // The first step waits 5 s for the association to propagate.
            release = std::thread([&] {
                EXPECT_TRUE(steady.WaitForSleepers(1));
                steady.Advance(std::chrono::seconds(5));
            });
        }
        if (attempt == 5) {
            const auto [status, stored] = Admin(
                HttpMethod::PUT, "/consents/" + uuid_,
                json::array(
                    {{{"purposeId", kSupportId}, {"state", "OptedIn"}, {"dateTime", "2026-12-10T08:00:00Z"}},
                     {{"purposeId", kMarketingId}, {"state", "OptedIn"}}}));
            ASSERT_EQ(status, 200) << stored;
        }
    });
    release.join();
    EXPECT_EQ(delays, (std::vector<int>{30000, 45000, 60000, 60000}));
    ASSERT_TRUE(module->IsConsentValid());
    EXPECT_EQ(log_.Count(logging::info, "Waiting for Pending Association to propagate user's consent..."), 1);
    EXPECT_EQ(Hive("AllowSupport"), "Accepted");
    EXPECT_EQ(Hive("AllowMarketing"), "Accepted");
    EXPECT_EQ(Hive(kConsentProgressValue), "2026-12-10T08:00:00Z");

    // The waits took more than the upload interval: the next step checks at once and records the
    // cloud's consent, which matches the hive, as uploaded.
    module->Process();
    EXPECT_EQ(Hive(kUploadedHashValue), "1100");

    // The user withdraws marketing on the device: sent at the next check, a minute on.
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, "AllowMarketing",
                                        "Rejected");
    module->Process();
    EXPECT_EQ(CloudState(kMarketingId), "OptedIn");
    clock_.Advance(61 * platform::kTicksPerSecond);
    module->Process();
    EXPECT_EQ(CloudState(kMarketingId), "OptedOut");
    EXPECT_EQ(CloudState(kSupportId), "OptedIn");
    EXPECT_EQ(Hive(kUploadedHashValue), "1200");

    // A restarted agent starts valid from the persisted consent.
    EXPECT_TRUE(Make()->IsConsentValid());
}

TEST_F(ConsentCloudTest, RefusedRequestsLeaveTheStepToTryAgain) {
    Admin(HttpMethod::PUT, "/consents/" + uuid_,
          json::array({{{"purposeId", kSupportId}, {"state", "OptedOut"}},
                       {{"purposeId", kMarketingId}, {"state", "OptedIn"}}}));
    std::ofstream(scratch() / "consent-bridge-module-config.json") << json{
        {"stacks",
         {{"dev",
           {{"host", "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/"},
            {"first_time_wait_ms", 0},
            {"upload_local_wait_min", 1}}}}}}.dump();
    auto module = Make();
    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "consent-query"}, {"status", 503}}).first,
              200);
    module->Process();
    EXPECT_FALSE(module->IsConsentValid());
    EXPECT_TRUE(
        log_.Contains(logging::error, "NimbrelDataAccess: http request failure with error code: 503"));
    module->Process();
    ASSERT_TRUE(module->IsConsentValid());
    EXPECT_EQ(Hive("AllowSupport"), "Rejected");

    // A refused update keeps the change pending until the service takes it.
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, "AllowMarketing",
                                        "Rejected");
    Admin(HttpMethod::POST, "/faults", {{"endpoint", "consent-update"}, {"status", 500}});
    clock_.Advance(61 * platform::kTicksPerSecond);
    module->Process();
    EXPECT_EQ(Hive(kUploadedHashValue), "");
    EXPECT_EQ(CloudState(kMarketingId), "OptedIn");
    clock_.Advance(61 * platform::kTicksPerSecond);
    module->Process();
    EXPECT_EQ(Hive(kUploadedHashValue), "2200");
    EXPECT_EQ(CloudState(kMarketingId), "OptedOut");
}

// Only what the service took counts as uploaded: a change it lists no purpose for, or an answer
// without purposes, leaves the change pending; a service that does not answer holds the step no
// longer than the request bound.
TEST_F(ConsentCloudTest, ChangesTheServiceCannotTakeStayPendingAndASilentServiceDoesNotHoldTheStep) {
    constexpr char kTransferId[] = "bizops.device.telemetry.unmanaged.transfer";
    Admin(HttpMethod::PUT, "/consents/" + uuid_,
          json::array({{{"purposeId", kSupportId}, {"state", "OptedIn"}},
                       {{"purposeId", kMarketingId}, {"state", "OptedIn"}}}));
    std::ofstream(scratch() / "consent-bridge-module-config.json") << json{
        {"stacks",
         {{"dev",
           {{"host", "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/"},
            {"first_time_wait_ms", 0},
            {"upload_local_wait_min", 1}}}}}}.dump();
    auto module = Make();
    module->SetPassBudget(std::chrono::seconds(1));
    module->Process();
    ASSERT_TRUE(module->IsConsentValid());
    auto check = [&] {
        clock_.Advance(61 * platform::kTicksPerSecond);
        module->Process();
    };
    check();
    ASSERT_EQ(Hive(kUploadedHashValue), "1100");

    // The transfer is accepted on the device, but the service lists no transfer purpose: the
    // marketing change beside it goes, the transfer stays pending.
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, "AllowMarketing",
                                        "Rejected");
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey,
                                        "AllowTransferOutOfCountry", "Accepted");
    check();
    EXPECT_EQ(CloudState(kMarketingId), "OptedOut");
    EXPECT_EQ(Hive(kUploadedHashValue), "1100");
    EXPECT_TRUE(log_.Contains(logging::error, "Failed to UploadConsent 0"));

    // A service that answers 200 without purposes takes nothing.
    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "consent-query"}, {"status", 200}, {"body", "[]"}})
                  .first,
              200);
    check();
    EXPECT_EQ(Hive(kUploadedHashValue), "1100");

    // A service that does not answer: the step gives up at the bound, and the state machine goes on.
    ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", "consent-query"}, {"delay_ms", 4000}}).first, 200);
    const auto start = std::chrono::steady_clock::now();
    check();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(Hive(kUploadedHashValue), "1100");

    // Once the service lists the transfer, the next check sends it and records the upload.
    auto purposes = CloudPurposes();
    purposes.push_back({{"purposeId", kTransferId}, {"state", "OptedOut"}});
    ASSERT_EQ(Admin(HttpMethod::PUT, "/consents/" + uuid_, purposes).first, 200);
    check();
    EXPECT_EQ(CloudState(kTransferId), "OptedIn");
    EXPECT_EQ(Hive(kUploadedHashValue), "1201");
}

// The download holds the scheduler's worker: its first wait and its request share one budget.
TEST_F(ConsentCloudTest, TheFirstWaitAndTheRequestOfAPassShareOneBudget) {
    using namespace std::chrono_literals;
    WriteConfig(700);
    auto module = Make();
    module->SetPassBudget(1s);
    SilenceTheService();
    for (const char* pass : {"first, with the wait", "second"}) {
        SCOPED_TRACE(pass);
        const auto start = std::chrono::steady_clock::now();
        module->Process();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 950ms);
        EXPECT_LT(took, 1500ms);
        EXPECT_FALSE(module->IsConsentValid());
    }
}

// Against a consent service that never answers: the upload check holds no caller, and a stop ends
// the first wait or a request in progress at once.
TEST_F(ConsentCloudTest, AStopEndsAWaitOrRequestAtOnceAndTheUploadCheckHoldsNoCaller) {
    using namespace std::chrono_literals;
    Admin(HttpMethod::PUT, "/consents/" + uuid_,
          json::array({{{"purposeId", kSupportId}, {"state", "OptedIn"}}}));
    const struct {
        const char* what;
        int firstTimeWaitMs;
        bool upload;
    } cases[] = {
        {"the first wait", 60'000, false},
        {"the download's request", 0, false},
        {"the upload check's request", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Admin(HttpMethod::DEL, "/faults");
        WriteConfig(c.firstTimeWaitMs);
        auto module = Make();
        if (c.upload) {
            module->Process();
            ASSERT_TRUE(module->IsConsentValid());
            ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey,
                                                "AllowMarketing", "Rejected");
            clock_.Advance(61 * platform::kTicksPerSecond);
        }
        SilenceTheService();
        log_.Clear();
        std::thread step;
        if (c.upload) {
            const auto start = std::chrono::steady_clock::now();
            module->StartUploadCheck();
            EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
        } else {
            step = std::thread([&] { module->Process(); });
        }
        ASSERT_TRUE(c.firstTimeWaitMs > 0
                        ? log_.WaitFor(logging::info, "Waiting for Pending Association to propagate")
                        : log_.WaitFor(logging::debug, "Payload for GetPurposeMetadata"));
        // The request reaches the service, another process, meanwhile.
        std::this_thread::sleep_for(100ms);
        const auto start = std::chrono::steady_clock::now();
        module->Stop();
        if (step.joinable()) step.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(module->IsConsentValid(), c.upload);
        EXPECT_EQ(Hive(kUploadedHashValue), "");
    }
}

// The close fault drops the connection of either consent endpoint without an answer.
TEST_F(ConsentCloudTest, ACloseFaultDropsTheConnectionWithoutAnAnswer) {
    const std::string base = "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/api/2/consents";
    const struct {
        const char* endpoint;
        HttpMethod method;
        std::string url;
        std::string body;
        int answered;
    } cases[] = {
        {"consent-query", HttpMethod::POST, base, R"({"deviceId": "x", "purposeIdList": []})", 200},
        {"consent-update", HttpMethod::PUT, base + "?deviceId=x&resourceId=r&state=OptedIn&purposeId=p", "",
         404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint);
        // A new connection: libcurl sends a request again, unseen, when a kept one ends without an answer.
        shared::http::HttpClient client(nullptr, nullptr);
        ASSERT_EQ(Admin(HttpMethod::POST, "/faults", {{"endpoint", c.endpoint}, {"close", true}}).first, 200);
        shared::http::IHttpResponse* response = nullptr;
        const auto error = client.Perform(shared::http::HttpRequest(c.method, c.url, c.body, 10), response);
        EXPECT_TRUE(error);
        EXPECT_EQ(error.type(), shared::http::kTransferErrorType) << error.what();
        ASSERT_EQ(response, nullptr) << response->GetStatusCode();
        // One call only: the next is answered.
        ASSERT_FALSE(client.Perform(shared::http::HttpRequest(c.method, c.url, c.body, 10), response));
        EXPECT_EQ(response->GetStatusCode(), c.answered);
        shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    }
}

TEST_F(ConsentCloudTest, ServiceRefusesDamagedRequests) {
    shared::http::HttpClient client(nullptr, nullptr);
    const std::string base = "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/api/2/consents";
    Admin(HttpMethod::PUT, "/consents/" + uuid_,
          json::array({{{"purposeId", kSupportId}, {"state", "OptedIn"}, {"resourceId", "r1"}}}));
    const struct {
        HttpMethod method;
        std::string url;
        std::string body;
        int status;
    } device[] = {
        {HttpMethod::POST, base, "", 400},
        {HttpMethod::POST, base, "{\"deviceId\": \"x\"", 400},
        {HttpMethod::POST, base, "[]", 400},
        {HttpMethod::POST, base, R"({"deviceId": 5, "purposeIdList": []})", 400},
        {HttpMethod::POST, base, R"({"deviceId": "x", "purposeIdList": [5]})", 400},
        {HttpMethod::POST, base, std::string(100 * 1024, ' '), 413},
        {HttpMethod::POST, base, R"({"deviceId": "nobody", "purposeIdList": ["a"]})", 200},
        {HttpMethod::PUT,
         base + "?deviceId=" + uuid_ + "&resourceId=r1&state=optedout&purposeId=" + kSupportId, "", 400},
        {HttpMethod::PUT,
         base + "?deviceId=" + uuid_ + "&resourceId=r2&state=OptedOut&purposeId=" + kSupportId, "", 404},
        {HttpMethod::PUT, base + "?deviceId=" + uuid_ + "&resourceId=r1&state=OptedOut&purposeId=other", "",
         400},
    };
    for (const auto& c : device) {
        shared::http::HttpRequest request(c.method, c.url, c.body, 10);
        shared::http::IHttpResponse* response = nullptr;
        ASSERT_FALSE(client.Perform(request, response)) << c.url;
        EXPECT_EQ(response->GetStatusCode(), c.status) << c.url << " " << c.body.substr(0, 40);
        shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    }
    EXPECT_EQ(CloudState(kSupportId), "OptedIn");

    const json admin[] = {json(), json::object(), json::array({5}),
                          json::array({{{"purposeId", kSupportId}}}),
                          json::array({{{"purposeId", kSupportId}, {"state", 1}}})};
    for (const auto& body : admin)
        EXPECT_EQ(Admin(HttpMethod::PUT, "/consents/" + uuid_, body).first, 400) << body;
    EXPECT_EQ(Admin(HttpMethod::GET, "/consents/nobody").first, 404);
    EXPECT_EQ(Admin(HttpMethod::DEL, "/consents/" + uuid_).first, 200);
    EXPECT_EQ(Admin(HttpMethod::GET, "/consents/" + uuid_).first, 404);
}

}  // namespace
}  // namespace zelko::plenar::agent
