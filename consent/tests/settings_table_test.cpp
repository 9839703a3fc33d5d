// Every numeric setting of the consent bridge's stack, damaged five ways: the module is built, its
// first download waits at most its bounded wait, uploads keep their interval, and it is released at
// once with no thread left behind.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include "consent/consent_bridge.h"
#include "consent/tests/consent_fakes.h"
#include "platform/clock.h"
#include "platform/steady_clock.h"
#include "testing/log_capture.h"
#include "testing/settings_table.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;
using test::Answer;
using test::FakeDeviceInfo;
using test::FakeHttpClient;
using zelko::testing::DamagedSettingValues;
using zelko::testing::LeafKey;
using zelko::testing::NumericLeaves;
using zelko::testing::ThreadCount;

class ConsentSettingsTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        // The cloud knows the support consent, so the download makes the consent valid.
        http_->answer = [](const FakeHttpClient::Sent& sent) {
            if (sent.method == shared::http::HttpMethod::POST) {
                return Answer{200, json::array({{{"resourceId", "r"},
                                                 {"purposeId", "prodsupport.device.telemetry.unmanaged.-.ps"},
                                                 {"state", "OptedIn"},
                                                 {"tenantId", "t"}}})
                                       .dump()};
            }
            return Answer{200, R"({"consents": [{"resourceId": "r"}]})"};
        };
    }
    std::filesystem::path ConfigPath() const { return scratch() / "consent-bridge-module-config.json"; }

    std::shared_ptr<FakeHttpClient> http_ = std::make_shared<FakeHttpClient>();
};

TEST_F(ConsentSettingsTest, EveryNumericSettingDamagedFiveWays) {
    const json base = {
        {"stacks",
         {{"dev", {{"host", "https://consent.test/"}, {"first_time_wait_ms", 5000}, {"upload_local_wait_min", 720}}}}}};
    const auto leaves = NumericLeaves(base);
    ASSERT_EQ(leaves.size(), 2u);
    constexpr int64_t kMinute = 60 * platform::kTicksPerSecond;
    const size_t threads = ThreadCount();
    for (const auto& leaf : leaves) {
        const std::string key = LeafKey(leaf);
        for (const json& value : DamagedSettingValues()) {
            SCOPED_TRACE(leaf.to_string() + " = " + value.dump());
            const auto started = std::chrono::steady_clock::now();
            json document = base;
            document[leaf] = value;
            std::ofstream(ConfigPath()) << document.dump();
            // The previous case's download and upload are forgotten.
            for (const char* name : {kConsentProgressValue, kUploadedHashValue}) {
                ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name, "");
            }
            platform::ScopedFakeSteadyClock steady;
            platform::ScopedFakeClock clock{17'000'000'000'000'000};
            zelko::testing::LogCapture log;
            std::shared_ptr<ConsentBridgeModule> module;
            ASSERT_NO_THROW(module = std::make_shared<ConsentBridgeModule>(
                                "dev", ConfigPath(), std::make_shared<FakeDeviceInfo>("4C4C4544-0042-3510"), http_));
            ASSERT_FALSE(module->IsConsentValid());
            const size_t before = http_->Requests().size();

            // The first download waits at most half its pass's budget on the steady clock, once (or
            // not at all where zero or less is taken).
            auto step = std::async(std::launch::async, [&] { module->Process(); });
            if (steady.WaitForSleepers(1, std::chrono::milliseconds(200)))
                steady.Advance(ConsentBridgeModule::kPassBudget / 2);
            ASSERT_EQ(step.wait_for(std::chrono::seconds(5)), std::future_status::ready);
            EXPECT_EQ(http_->Requests().size(), before + 1);
            ASSERT_TRUE(module->IsConsentValid());

            // Uploads keep their interval: nothing before it, then one check once it has passed.
            module->Process();
            clock.Advance(719 * kMinute);
            module->Process();
            EXPECT_EQ(http_->Requests().size(), before + 1);
            clock.Advance(kMinute + 1);
            module->Process();
            EXPECT_GT(http_->Requests().size(), before + 1);

            // A value the reader cannot take is named with the file; 0 and -1 may be in range.
            const std::string named = "Setting \"" + key + "\" of consent-bridge-module-config.json";
            if (value.is_string() || value.is_null()) {
                EXPECT_EQ(log.Count(logging::warning, named), 1);
            }
            EXPECT_EQ(log.Count(logging::warning, "\"" + key + "\""), log.Count(logging::warning, named));

            module.reset();
            EXPECT_EQ(http_->live, 0);
            EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads), threads);
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        }
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
