#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/logging.h"
#include "foundation/utils.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;

// Collects the message texts written through this process's logger.
class CapturedLog : public logging::IAppender {
  public:
    static CapturedLog& Instance() {
        static CapturedLog log;
        static std::once_flag once;
        std::call_once(once, [] {
            if (auto* logger = logging::get<0>()) {
                logger->addAppender(&log);
                logger->setMaxSeverity(logging::verbose);
            } else {
                logging::init<0>(logging::verbose, &log);
            }
        });
        return log;
    }

    void write(const logging::Record& record) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(record.getSeverity()) + " " + record.getMessage());
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    bool Has(logging::Severity severity, const std::string& text) {
        std::lock_guard lock(mutex_);
        const std::string wanted = std::to_string(severity) + " " + text;
        for (const auto& line : lines_) {
            if (line == wanted) return true;
        }
        return false;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class ConfigFilesTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        log_.Clear();
    }

    // Built-in documents of this test only; the retries file has its two variants.
    const DefaultConfigTable defaults_ = {
        {"zelko-retries-config.json", R"({"set": "standard"})"},
        {"zelko-retries-config.json#sub", R"({"set": "subscription"})"},
        {"zelko-retries-config.json#fetch5mins", R"({"set": "fetch5mins"})"},
        {"zelko-scheduler-config.json", R"({"type": "scheduler"})"},
        {"telemetry-module-config.json", R"({"type": "telemetry"})"},
        {"zelko-plenar-agent-config.json", R"({"type": "agent"})"},
        {"broken-config.json", R"({"type": )"},
    };
    CapturedLog& log_ = CapturedLog::Instance();
};

TEST_F(ConfigFilesTest, MissingFileFallsBackToItsDefaultWithTheMatchingLog) {
    struct Case {
        std::string name;
        json expected;
        bool misc;  // the retries and scheduler files log a warning, not an error
    } cases[] = {
        {"zelko-scheduler-config.json", {{"type", "scheduler"}}, true},
        {"zelko-retries-config.json", {{"set", "standard"}}, true},
        {"telemetry-module-config.json", {{"type", "telemetry"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.Clear();
        const std::string path = (scratch() / c.name).string();
        EXPECT_EQ(Utils::LoadConfigFile(path, false, "sub", defaults_), c.expected);
        EXPECT_EQ(log_.Has(logging::warning, "Failed on misc config"), c.misc);
        EXPECT_EQ(log_.Has(logging::debug, path + " loading defaults."), c.misc);
        EXPECT_EQ(log_.Has(logging::error, "Failed to load config: " + path + " loading defaults."), !c.misc);
    }
}

TEST_F(ConfigFilesTest, UnknownNameGivesAnEmptyObject) {
    const std::string path = (scratch() / "device-info-config.json").string();
    EXPECT_EQ(Utils::LoadConfigFile(path, false, "sub", defaults_), json::object());
    EXPECT_TRUE(log_.Has(logging::error, "Failed to load default config: device-info-config.json"));
}

TEST_F(ConfigFilesTest, BrokenDefaultGivesAnEmptyObjectAndACriticalLine) {
    EXPECT_EQ(Utils::LoadConfigFile((scratch() / "broken-config.json").string(), false, "sub", defaults_),
              json::object());
    bool found = false;
    for (const auto& line : log_.Lines()) {
        if (line.rfind("2 Failed to load default config, critical: broken-config.jsonexception: ", 0) == 0)
            found = true;
    }
    EXPECT_TRUE(found);
}

TEST_F(ConfigFilesTest, AReadableFileIsTakenWholeAndNeverMerged) {
    const auto path = scratch() / "telemetry-module-config.json";
    WriteText(path, "{}");
    EXPECT_EQ(Utils::LoadConfigFile(path.string(), false, "sub", defaults_), json::object());
    WriteText(path, R"({"own": 1})");
    EXPECT_EQ(Utils::LoadConfigFile(path.string(), false, "sub", defaults_), (json{{"own", 1}}));
    EXPECT_FALSE(log_.Has(logging::error, "Failed to load config: " + path.string() + " loading defaults."));
}

TEST_F(ConfigFilesTest, TrailingTextOrACommentCountsAsUnreadable) {
    const auto path = scratch() / "telemetry-module-config.json";
    for (const char* text : {R"({"own": 1} x)", "{\"own\": 1} // note", "/* c */ {\"own\": 1}", ""}) {
        SCOPED_TRACE(text);
        WriteText(path, text);
        EXPECT_EQ(Utils::LoadConfigFile(path.string(), false, "sub", defaults_),
                  (json{{"type", "telemetry"}}));
    }
}

TEST_F(ConfigFilesTest, VariantPicksOnlyTheRetriesDocument) {
    struct Case {
        bool use_variant;
        std::string variant;
        std::string retries_set;
        const char* info;
    } cases[] = {
        {false, "sub", "standard", nullptr},
        {false, "other", "standard", nullptr},
        {true, "sub", "subscription", "Config file Subscription"},
        {true, "fetch", "fetch5mins", "Config file Fetch5mins"},
        {true, "", "fetch5mins", "Config file Fetch5mins"},
        {true, "Sub", "fetch5mins", "Config file Fetch5mins"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.use_variant) + " '" + c.variant + "'");
        log_.Clear();
        auto retries = Utils::LoadConfigFile((scratch() / "zelko-retries-config.json").string(),
                                             c.use_variant, c.variant, defaults_);
        EXPECT_EQ(retries, (json{{"set", c.retries_set}}));
        auto agent = Utils::LoadConfigFile((scratch() / "zelko-plenar-agent-config.json").string(),
                                           c.use_variant, c.variant, defaults_);
        EXPECT_EQ(agent, (json{{"type", "agent"}}));
        if (c.info != nullptr) {
            EXPECT_TRUE(log_.Has(logging::info, c.info));
        }
    }
}

TEST_F(ConfigFilesTest, FileNameIsTakenAfterEitherSeparator) {
    EXPECT_EQ(Utils::LoadConfigFile("C:\\no\\such\\Configuration Files\\telemetry-module-config.json", false,
                                    "sub", defaults_),
              (json{{"type", "telemetry"}}));
    EXPECT_EQ(Utils::LoadConfigFile("telemetry-module-config.json", false, "sub", defaults_),
              (json{{"type", "telemetry"}}));
}

TEST_F(ConfigFilesTest, BuiltInTableHoldsTheMainConfiguration) {
    auto agent = Utils::LoadConfigFile((scratch() / "zelko-plenar-agent-config.json").string());
    EXPECT_EQ(agent, (json{{"type", "zelko-plenar-agent json config"}, {"cloud", {{"stack", "prod"}}}}));
    // Every built-in document parses.
    for (const auto& [name, text] : DefaultConfigs()) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(json::accept(text));
    }
}

TEST_F(ConfigFilesTest, JsonFilesLoadStrictlyAndSaveCompactly) {
    const auto path = scratch() / "state.json";
    EXPECT_EQ(
        [&] {
            try {
                Utils::LoadJsonFile(path.string());
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
            return std::string();
        }(),
        "file doesn't not exist " + path.string());

    json document = {{"b", 2}, {"a", "\xc3\xa9"}};
    Utils::SaveJsonFile(path.string(), document);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{\"a\":\"\xc3\xa9\",\"b\":2}");
    EXPECT_EQ(Utils::LoadJsonFile(path.string()), document);
    EXPECT_TRUE(log_.Has(logging::verbose, "Json loaded: " + text));

    WriteText(path, "{\"a\":1} trailing");
    EXPECT_THROW(Utils::LoadJsonFile(path.string()), json::parse_error);
}

TEST_F(ConfigFilesTest, SaveJsonFileLogsFailuresInsteadOfRaising) {
    const auto path = scratch() / "missing-folder" / "state.json";
    EXPECT_NO_THROW(Utils::SaveJsonFile(path.string(), json{{"a", 1}}));
    EXPECT_TRUE(log_.Has(logging::error, path.string() + " File could not be open."));
    EXPECT_THROW(Utils::SaveJsonFile((scratch() / "x.json").string(), json{{"a", std::string("\xff")}}),
                 json::type_error);
    EXPECT_FALSE(std::filesystem::exists(scratch() / "x.json"));
}

TEST_F(ConfigFilesTest, ExecutablePathAndEnvironmentExpansion) {
    auto exe = Utils::GetExecutableFilePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(std::filesystem::exists(exe));
    // The agent's folder is the program's, unless the host names another.
    EXPECT_EQ(Utils::GetExecutableDirectory(), root() / "agent");
    const std::string named = std::getenv("ZELKO_AGENT_FOLDER");
    ::unsetenv("ZELKO_AGENT_FOLDER");
    EXPECT_EQ(Utils::GetExecutableDirectory(), exe.parent_path());
    ::setenv("ZELKO_AGENT_FOLDER", named.c_str(), 1);
    EXPECT_EQ(Utils::ExpandEnvironment("%programdata%/zelko/x.txt"),
              (root() / "ProgramData").string() + "/zelko/x.txt");
}

}  // namespace
}  // namespace zelko::plenar::agent
