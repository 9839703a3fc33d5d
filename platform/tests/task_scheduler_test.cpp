#include "platform/task_scheduler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

using std::chrono::milliseconds;

TEST(SplitCommandLine, FollowsWindowsQuoting) {
    struct Case {
        const char* text;
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {"  /quiet ", {"/quiet"}},
        {"/i \"C:\\a b\\x.msi\" /q", {"/i", "C:\\a b\\x.msi", "/q"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\"b", {"a\"b"}},
        {"C:\\dir\\ x", {"C:\\dir\\", "x"}},
        {"\"\"", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.text), c.args) << c.text;
}

class LinuxTaskSchedulerTest : public zelko::testing::SystemRootTest {
  protected:
    std::string Read(const std::filesystem::path& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Waits for the file to hold count lines, for at most five seconds.
    bool WaitForLines(const std::filesystem::path& path, size_t count) {
        for (int i = 0; i < 250; ++i) {
            std::string text = Read(path);
            if (size_t(std::count(text.begin(), text.end(), '\n')) >= count) return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return false;
    }
    TaskDefinition Shell(const std::string& name, const std::string& script) {
        TaskDefinition d;
        d.name = name;
        d.program = "/bin/sh";
        d.arguments = {"-c", script};
        d.restart_interval = milliseconds(50);
        d.restart_count = 2;
        return d;
    }
    // The last run's result once the task has ended.
    std::string Result(const std::string& name) {
        auto path = root() / "Tasks" / (name + ".last-run");
        for (int i = 0; i < 250 && !std::filesystem::exists(path); ++i) std::this_thread::sleep_for(milliseconds(20));
        std::this_thread::sleep_for(milliseconds(20));
        return Read(path);
    }
};

TEST_F(LinuxTaskSchedulerTest, RunsDetachedAndRestartsFailedRuns) {
    auto tasks = SystemTaskScheduler();
    auto out = scratch() / "runs";
    auto result = tasks->Register(Shell("T_fail", "echo run >> '" + out.string() + "'; exit 1"));
    ASSERT_TRUE(result.registered);
    ASSERT_TRUE(WaitForLines(out, 3));  // the first run and two restarts
    auto record = nlohmann::json::parse(Read(root() / "Tasks/T_fail.json"));
    EXPECT_EQ(record["program"], "/bin/sh");
    EXPECT_EQ(record["restart_count"], 2);
    EXPECT_EQ(Result("T_fail"), "1\n");
    EXPECT_EQ(Read(out), "run\nrun\nrun\n");

    // A run that succeeds is not repeated.
    auto once = scratch() / "once";
    ASSERT_TRUE(tasks->Register(Shell("T_ok", "echo run >> '" + once.string() + "'")).registered);
    ASSERT_TRUE(WaitForLines(once, 1));
    EXPECT_EQ(Result("T_ok"), "0\n");
    EXPECT_EQ(Read(once), "run\n");
}

TEST_F(LinuxTaskSchedulerTest, TimeLimitEndsARunAndDeleteRemovesTheRecord) {
    auto tasks = SystemTaskScheduler();
    auto out = scratch() / "limit";
    auto d = Shell("T_limit", "echo start >> '" + out.string() + "'; sleep 30; echo late >> '" + out.string() + "'");
    d.restart_count = 0;
    d.execution_time_limit = milliseconds(200);
    ASSERT_TRUE(tasks->Register(d).registered);
    EXPECT_EQ(Result("T_limit"), "-1\n");
    EXPECT_EQ(Read(out), "start\n");

    EXPECT_TRUE(tasks->Delete("T_limit"));
    EXPECT_FALSE(std::filesystem::exists(root() / "Tasks/T_limit.json"));
    EXPECT_FALSE(tasks->Delete("T_limit"));
}

}  // namespace
}  // namespace zelko::platform
