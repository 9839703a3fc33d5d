// Every numeric and boolean setting of the connectivity document, damaged five ways: the module is
// built, connects and publishes, its closing thread waits rather than spins, and it is released in
// bounded time with no thread left behind.

#include "connectivity/tests/connectivity_fixture.h"
#include "testing/settings_table.h"

namespace zelko::plenar::agent::test {
namespace {

using zelko::testing::DamagedSettingValues;
using zelko::testing::LeafKey;
using zelko::testing::NumericLeaves;
using zelko::testing::ThreadCount;

class ConnectivitySettingsTest : public ConnectivityTest {
  protected:
    // The development stack with every numeric and boolean key the module reads, at its default.
    static json FullDocument() {
        json document = DevConfig(
            {{"max_sent_msgs", 2400}, {"max_data_transfered", 12288000}, {"close_connection_after_sec", 900}},
            {{"switch_s3_upload_max_message_size", 128.0}});
        document["cloud"]["onboard"] = false;
        document["cloud"]["softkey"] = false;
        return document;
    }
};

TEST_F(ConnectivitySettingsTest, EveryNumericAndBooleanSettingDamagedFiveWays) {
    const json base = FullDocument();
    const auto leaves = NumericLeaves(base);
    ASSERT_EQ(leaves.size(), 6u);
    const size_t threads = ThreadCount();
    for (const auto& leaf : leaves) {
        const std::string key = LeafKey(leaf);
        for (const json& value : DamagedSettingValues()) {
            SCOPED_TRACE(leaf.to_string() + " = " + value.dump());
            const auto started = std::chrono::steady_clock::now();
            json document = base;
            document[leaf] = value;
            WriteConfig(document);
            zelko::testing::LogCapture log;
            std::shared_ptr<ConnectivityModule> module;
            ASSERT_NO_THROW(module = Make());
            EXPECT_EQ(module->onboarding, nullptr);  // no damaged value turns a switch on

            // Connected: the closing thread counts down from the default and then waits on the
            // clock. (A limit of 0 is a choice, not damage: the publish may be refused.)
            EXPECT_FALSE(module->ConnectToIot());
            EXPECT_TRUE(log.WaitFor(logging::debug, "Idle connection closes in 900 seconds."));
            EXPECT_TRUE(clock_.WaitForSleepers(1));
            const int countdowns = log.Count(logging::debug, "Idle connection closes in");
            EXPECT_FALSE(log.WaitFor(logging::debug, "Idle connection closes in", countdowns + 1,
                                     std::chrono::milliseconds(20)));
            EXPECT_NO_THROW(module->Pub("t", "{}"));

            // A value the reader cannot take is named with the file; 0 and -1 may be in range.
            const std::string named = "Setting \"" + key + "\" of " + ConfigPath().string();
            if (value.is_string() || value.is_null()) {
                EXPECT_EQ(log.Count(logging::warning, named), 1);
            }
            EXPECT_EQ(log.Count(logging::warning, "\"" + key + "\""), log.Count(logging::warning, named));

            Destroy(module, log);
            // The fixture keeps each fake device it made, and each has its own worker.
            EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads + DeviceCount()), threads + DeviceCount());
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        }
    }
}

}  // namespace
}  // namespace zelko::plenar::agent::test
