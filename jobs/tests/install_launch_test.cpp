#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "jobs/install_component.h"
#include "jobs/tests/fake_task_scheduler.h"
#include "jobs/windows_paths.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

class InstallLaunchTest : public zelko::testing::SystemRootTest {
  protected:
    std::shared_ptr<InstallComponent> Make(const std::string& executor, const std::string& arguments) {
        std::ofstream(scratch() / "install-component.json")
            << nlohmann::json{{"TaskScheduler", {{{"Executor", executor}, {"Arguments", arguments}}}}}.dump();
        auto job = std::make_shared<InstallComponent>((scratch() / "install-component.json").string(), nullptr, "j",
                                                      nullptr, nullptr, nullptr, nullptr, nullptr, nlohmann::json(),
                                                      "C:\\A\\a.exe");
        job->taskScheduler = WindowsTaskScheduler(fake);
        job->installerPath = job->jobFolder + "\\j.sh";
        return job;
    }
    std::shared_ptr<zelko::testing::FakeTaskScheduler> fake = std::make_shared<zelko::testing::FakeTaskScheduler>();
};

TEST_F(InstallLaunchTest, CommandLines) {
    struct Case {
        const char* executor;
        const char* arguments;
        const char* command_line;
    } cases[] = {
        {"msiexec", " /quiet", "/i \"P\"  /quiet"},
        {"MSIEXEC", " /quiet", "\"P\"  /quiet"},
        {"msiexec.exe", "-q", "\"P\" -q"},
        {"sh", "", "\"P\" "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Make(c.executor, c.arguments)->BuildInstallerCommandLine("P", c.arguments), c.command_line);
    }
}

TEST_F(InstallLaunchTest, TaskThenProcessFallbackWithoutRewrapping) {
    auto job = Make("sh", "-c 'x'");
    ASSERT_TRUE(job->CreateTask());
    ASSERT_TRUE(job->CreateTask());
    ASSERT_EQ(fake->registered.size(), 2u);
    EXPECT_EQ(fake->registered[0].arguments, fake->registered[1].arguments);
    EXPECT_EQ(fake->registered[0].program, "sh");
    EXPECT_EQ(job->arguments, "-c 'x'");

    // "start": the installer itself is the program, arguments unchanged.
    auto start = Make("start", "/s");
    ASSERT_TRUE(start->CreateTask());
    EXPECT_EQ(fake->registered.back().program, winpath::ToNative(start->installerPath));
    EXPECT_EQ(fake->registered.back().arguments, std::vector<std::string>{"/s"});

    // The task cannot be registered: the executor is found on the path and run with the command line.
    fake->fail_at = platform::TaskStep::Register;
    auto out = scratch() / "ran";
    std::ofstream(winpath::ToNative(job->installerPath)) << "echo ran > '" << out.string() << "'\n";
    zelko::testing::LogCapture log;
    ASSERT_TRUE(job->CreateTask());
    EXPECT_TRUE(log.Contains(logging::info, "Attempting to run the installer as a process."));
    for (int i = 0; i < 250 && !std::filesystem::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(std::filesystem::exists(out));

    auto missing = Make("no-such-executor-zelko", "");
    EXPECT_FALSE(missing->CreateTask());
    EXPECT_TRUE(log.Contains(logging::error, "Installer execution failed2"));
    EXPECT_TRUE(log.Contains(logging::error, "Failed to run the installer as a process."));
}

}  // namespace
}  // namespace zelko::plenar::agent
