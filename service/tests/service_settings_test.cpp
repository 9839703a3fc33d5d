// Every numeric and boolean key the service reads from its main configuration, damaged five ways:
// the configuration loads and the stop returns within bounded time, reporting Stopped, with no
// crash, throw or delay turned on by a damaged value.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "service/service.h"
#include "testing/testable_service.h"
#include "testing/log_capture.h"
#include "testing/settings_table.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;

class SettingsService : public TestableService {
  public:
    ~SettingsService() override { EndPostedWork(); }
    explicit SettingsService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }

  private:
    std::filesystem::path exe_;
};

// The main configuration with every numeric and boolean key the service reads, at its default;
// the process-wide priority switches are off so the test process keeps its own.
json FullConfiguration() {
    return {{"run_in_background", false},  {"run_with_ecoqos", false},      {"crash_on_stop", false},
            {"throw_on_stop", false},      {"force_delay_on_stop_milli", 0}, {"delay_on_stop_sec", 0},
            {"delete_data_on_start", true}, {"skip_modern_sleep_wait", false}, {"challenge_ttl_sec", 86400},
            {"collect_perf", false},       {"mock_enroll", false},          {"cloud", {{"impersonate", false}}}};
}

std::vector<std::string> Keys() {
    std::vector<std::string> keys;
    for (const auto& leaf : zelko::testing::NumericLeaves(FullConfiguration())) keys.push_back(leaf.to_string());
    return keys;
}

class ServiceSetting : public zelko::testing::SystemRootTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ServiceSetting, DamagedFiveWays) {
    const json::json_pointer leaf(GetParam());
    const std::string key = zelko::testing::LeafKey(leaf);
    std::filesystem::create_directories(scratch() / kConfigFolderName);
    const size_t threads = zelko::testing::ThreadCount();
    for (const json& value : zelko::testing::DamagedSettingValues()) {
        SCOPED_TRACE(value.dump());
        const auto started = std::chrono::steady_clock::now();
        json document = FullConfiguration();
        document[leaf] = value;
        std::ofstream(scratch() / kConfigFolderName / kAgentConfigFileName) << document.dump();
        zelko::testing::LogCapture log;
        {
            SettingsService service(scratch() / "zelko-plenar-agent-service");
            ASSERT_TRUE(service.InitConfig(kConfigFolderName, kAgentConfigFileName, ""));
            EXPECT_EQ(service.ConfigWarning(), "");
            auto stop = std::async(std::launch::async, [&] { service.StopService(); });
            ASSERT_EQ(stop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
            EXPECT_NO_THROW(stop.get());
            EXPECT_EQ(service.LastReportedStatus().dwCurrentState, platform::kServiceStopped);
            EXPECT_FALSE(log.Contains(logging::info, "Throw on stop"));
            EXPECT_FALSE(log.Contains(logging::info, "elay on stop"));
        }
        // Where the reader warns about the key, it names the file.
        EXPECT_EQ(log.Count(logging::warning, "\"" + key + "\""),
                  log.Count(logging::warning, "\"" + key + "\" of " + std::string(kAgentConfigFileName)));
        EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads), threads);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
}

INSTANTIATE_TEST_SUITE_P(MainConfiguration, ServiceSetting, ::testing::ValuesIn(Keys()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return zelko::testing::TestNameOf(info.param);
                         });

}  // namespace
}  // namespace zelko::plenar::agent
