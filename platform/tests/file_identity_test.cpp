#include "platform/file_identity.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// File times come from the kernel's coarse clock: past this, a write gets a later change time.
void WaitForCoarseClockPast(int64_t ns) {
    timespec now{};
    do {
        std::this_thread::yield();
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    } while (static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec <= ns);
}

class FileIdentityTest : public testing::SystemRootTest {};

TEST_F(FileIdentityTest, EveryReplacementGivesAnotherIdentity) {
    const fs::path file = scratch() / "library.so";
    // Each change keeps the size; the first two put the modification time back. Only the case
    // that needs it waits for a later change time, so the others are told by what they change.
    struct Case {
        const char* what;
        bool later_change_time;
        std::function<void()> change;
    } cases[] = {
        {"renamed over", false,
         [&] {
             Write(scratch() / "new.so", "build 2");
             fs::last_write_time(scratch() / "new.so", fs::last_write_time(file));
             fs::rename(scratch() / "new.so", file);
         }},
        {"rewritten in place, times put back", true,
         [&] {
             const auto modified = fs::last_write_time(file);
             Write(file, "build 3");
             fs::last_write_time(file, modified);
         }},
        {"time moved by a nanosecond", false,
         [&] { fs::last_write_time(file, fs::last_write_time(file) + std::chrono::nanoseconds(1)); }},
    };
    for (const auto& c : cases) {
        Write(file, "build 1");
        const auto before = ReadFileIdentity(file);
        ASSERT_TRUE(before) << c.what;
        EXPECT_EQ(ReadFileIdentity(file), before) << c.what;
        if (c.later_change_time) WaitForCoarseClockPast(before->changed_ns);
        c.change();
        const auto after = ReadFileIdentity(file);
        ASSERT_TRUE(after) << c.what;
        EXPECT_EQ(after->size, before->size) << c.what;
        EXPECT_NE(after, before) << c.what;
    }

    std::ofstream(file, std::ios::app) << "!";
    EXPECT_EQ(ReadFileIdentity(file)->size, 8u);
    EXPECT_FALSE(ReadFileIdentity(scratch() / "missing.so"));
    EXPECT_FALSE(ReadFileIdentity(""));
}

}  // namespace
}  // namespace zelko::platform
