#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace zelko::testing {

// A fresh temporary folder used as the system root (ZELKO_SYSTEM_ROOT) while alive;
// the previous value is restored and the folder removed afterwards.
class TempSystemRoot {
public:
    TempSystemRoot();
    ~TempSystemRoot();
    TempSystemRoot(const TempSystemRoot&) = delete;
    TempSystemRoot& operator=(const TempSystemRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
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
