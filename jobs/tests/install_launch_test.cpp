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

bool WaitForFile(const std::filesystem::path& path) {
    for (int i = 0; i < 250 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::filesystem::exists(path);
}

// Through the machine's own task facility, as the agent runs it.
TEST_F(InstallLaunchTest, TheTaskRunsWhatTheJobNamesOrTheRegistrationFails) {
    struct Case {
        const char* executor;
        bool task_runs;
    } cases[] = {
        {"sh", true},     // a bare name, found on the path
        {"start", true},  // the downloaded installer itself, made runnable
        {"zelko-no-such-executor", false},
    };
    for (const auto& c : cases) {
        auto job = Make(c.executor, "");
        job->taskScheduler = WindowsTaskScheduler();
        const auto marker = scratch() / (std::string("ran-") + c.executor);
        std::ofstream(winpath::ToNative(job->installerPath))
            << "#!/bin/sh\necho ran > '" << marker.string() << "'\n";
        zelko::testing::LogCapture log;
        EXPECT_EQ(job->CreateTask(), c.task_runs) << c.executor;
        EXPECT_EQ(log.Contains(logging::info, "Install component: j Windows task created."), c.task_runs)
            << c.executor;
        if (c.task_runs) {
            EXPECT_TRUE(WaitForFile(marker)) << c.executor;
        } else {
            // The registration failed, so the process fallback was tried.
            EXPECT_TRUE(log.Contains(logging::error, "Task Scheduler: Cannot put action path: 2"));
            EXPECT_TRUE(log.Contains(logging::info, "Attempting to run the installer as a process."));
        }
        platform::SystemTaskScheduler()->Delete(job->taskName);
    }

    // Without a task, "start" runs the installer itself as a process.
    auto start = Make("start", "");
    fake->fail_at = platform::TaskStep::Register;
    const auto marker = scratch() / "ran-by-process";
    std::ofstream(winpath::ToNative(start->installerPath))
        << "#!/bin/sh\necho ran > '" << marker.string() << "'\n";
    EXPECT_TRUE(start->CreateTask());
    EXPECT_TRUE(WaitForFile(marker));
}

}  // namespace
}  // namespace zelko::plenar::agent
