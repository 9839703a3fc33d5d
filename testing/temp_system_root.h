#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace zelko::testing {

// A fresh temporary folder used as the system root (ZELKO_SYSTEM_ROOT) while alive, with the
// agent folder (ZELKO_AGENT_FOLDER) inside it: tests run side by side, and state files kept beside
// the test program would leak from one test into another. The previous values are restored and
// the folder removed afterwards.
class TempSystemRoot {
public:
    TempSystemRoot();
    ~TempSystemRoot();
    TempSystemRoot(const TempSystemRoot&) = delete;
    TempSystemRoot& operator=(const TempSystemRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path agent_folder() const { return path_ / "agent"; }

private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
    std::optional<std::string> previous_agent_folder_;
};

// Test fixture with a temporary system root and a scratch folder for files of the test itself.
class SystemRootTest : public ::testing::Test {
protected:
    const std::filesystem::path& root() const { return root_.path(); }
    std::filesystem::path scratch() const { return root_.path() / "scratch"; }

    void SetUp() override { std::filesystem::create_directories(scratch()); }

private:
    TempSystemRoot root_;
};

}  // namespace zelko::testing
