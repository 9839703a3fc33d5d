#include "config/base_config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::config {
namespace {

using nlohmann::ordered_json;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class BaseConfigTest : public zelko::testing::SystemRootTest {
  protected:
    fs::path Folder() const { return scratch() / "missing-parent" / "RemoteConfigs"; }
    zelko::testing::LogCapture log_;
};

TEST_F(BaseConfigTest, SavesSortedCompactAndLoadsBack) {
    auto config =
        std::make_shared<BaseConfig>("demo", ordered_json::parse(R"({"b": 1, "a": {"d": 2, "c": 3}})"),
                                     scratch() / "missing-parent", "RemoteConfigs");
    ASSERT_TRUE(fs::is_directory(Folder()));
    EXPECT_EQ(config->GetConfig().dump(), R"({"a":{"c":3,"d":2},"b":1})");
    EXPECT_FALSE(config->SaveFile());
    EXPECT_EQ(ReadFile(Folder() / "demo-config.json"), R"({"a":{"c":3,"d":2},"b":1})");
    EXPECT_TRUE(log_.Contains(logging::info, "Saving Remote Config..."));

    auto reloaded = std::make_shared<BaseConfig>("demo", ordered_json::object(), scratch() / "missing-parent",
                                                 "RemoteConfigs");
    EXPECT_FALSE(reloaded->LoadFile());
    EXPECT_EQ(reloaded->GetConfig(), config->GetConfig());
}

TEST_F(BaseConfigTest, LoadFailuresKeepTheDocument) {
    auto config =
        std::make_shared<BaseConfig>("demo", ordered_json{{"default", true}}, scratch(), "RemoteConfigs");
    auto error = config->LoadFile();
    EXPECT_EQ(error.category(), shared::error::ErrorCategory::EC_StdException);
    EXPECT_EQ(error.code(), 1);
    EXPECT_NE(error.what().find("file doesn't not exist"), std::string::npos);
    EXPECT_TRUE(log_.Contains(logging::error, "Error while loading the file: "));

    std::ofstream(scratch() / "RemoteConfigs" / "demo-config.json") << "{\"cut\": ";
    EXPECT_TRUE(config->LoadFile());
    EXPECT_EQ(config->GetConfig(), (nlohmann::json{{"default", true}}));
}

TEST_F(BaseConfigTest, AFailedWriteIsReportedAndLeavesTheOldFileWhole) {
    auto config = std::make_shared<BaseConfig>("demo", ordered_json{{"v", 1}}, scratch(), "RemoteConfigs");
    ASSERT_FALSE(config->SaveFile());
    // A bigger document no longer fits under a file size limit, which holds for root as well.
    auto bigger = std::make_shared<BaseConfig>("demo", ordered_json{{"v", std::string(4096, 'x')}}, scratch(),
                                               "RemoteConfigs");
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    auto error = bigger->SaveFile();
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(error.category(), shared::error::ErrorCategory::EC_StdException);
    EXPECT_EQ(error.code(), 1);
    EXPECT_TRUE(log_.Contains(logging::error, "Error while saving the file: "));
    EXPECT_EQ(ReadFile(scratch() / "RemoteConfigs" / "demo-config.json"), R"({"v":1})");
    // No temporary file is left behind.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(scratch() / "RemoteConfigs"))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1);

    fs::remove_all(scratch() / "RemoteConfigs");
    EXPECT_TRUE(config->SaveFile());
}

}  // namespace
}  // namespace zelko::plenar::config
