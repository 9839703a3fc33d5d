#include "platform/file_replace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_objects.h"
#include "platform/paths.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

class FileReplaceTest : public testing::SystemRootTest {};

TEST_F(FileReplaceTest, ReplacesWholeAndCreatesOnlyWhenAbsent) {
    const fs::path file = scratch() / "state.json";
    ASSERT_EQ(ReplaceFileContent(file, "first"), FileReplace::Ok);
    ASSERT_EQ(ReplaceFileContent(file, "second"), FileReplace::Ok);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "second");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

    EXPECT_EQ(CreateFileWithContent(scratch() / "event", "1"), FileReplace::Ok);
    EXPECT_EQ(CreateFileWithContent(scratch() / "event", "0"), FileReplace::WriteFailed);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReplaceFileContent(scratch() / "missing" / "x", "y"), FileReplace::OpenFailed);
    EXPECT_EQ(Names(scratch()).size(), 2u);
}

// Writers killed at random moments, as kill -9 would, leave the old or the new file and nothing else.
TEST_F(FileReplaceTest, KilledWritersLeaveNoTemporaryFiles) {
    const fs::path folder = scratch() / "killed";
    fs::create_directories(folder);
    const std::string big(1 << 20, 'x');
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                NamedEvent::Create("Global\\Killed" + std::to_string(i % 50), true);
                ReplaceFileContent(folder / "state.json", big);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round * 3));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    // A kill between naming the whole file and its rename can leave a name: the next writer of
    // the path removes it.
    ASSERT_EQ(ReplaceFileContent(folder / "state.json", "last"), FileReplace::Ok);
    for (const auto& name : Names(folder)) EXPECT_EQ(name, "state.json");
    if (!fs::exists(SystemRoot() / "Objects")) return;  // no child got as far (a slow sanitizer build)
    for (const auto& entry : fs::recursive_directory_iterator(SystemRoot() / "Objects")) {
        EXPECT_EQ(entry.path().extension(), entry.is_directory() ? "" : ".event") << entry.path();
    }
}

}  // namespace
}  // namespace zelko::platform
