#include "platform/task_scheduler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "testing/agent_descriptors.h"
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
    // A script that writes what the processes hold open (their descriptors' targets, one a line) to
    // the file once it has them all.
    static std::string ListDescriptors(const std::string& processes, const std::filesystem::path& file) {
        return "readlink " + processes + " > '" + file.string() + ".tmp'; mv '" + file.string() + ".tmp' '" +
               file.string() + "'";
    }
    std::vector<std::string> Lines(const std::filesystem::path& path) {
        std::vector<std::string> lines;
        std::istringstream in(Read(path));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
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

TEST_F(LinuxTaskSchedulerTest, BareProgramNamesAreFoundOnThePathAndUnrunnableOnesFailTheRegistration) {
    auto tasks = SystemTaskScheduler();
    auto out = scratch() / "bare";
    TaskDefinition d = Shell("T_bare", "echo run >> '" + out.string() + "'");
    d.program = "sh";
    ASSERT_TRUE(tasks->Register(d).registered);
    ASSERT_TRUE(WaitForLines(out, 1));
    EXPECT_EQ(Result("T_bare"), "0\n");

    auto not_executable = scratch() / "installer.sh";
    std::ofstream(not_executable) << "#!/bin/sh\n";
    struct Case {
        std::filesystem::path program;
        int code;
    } cases[] = {
        {"zelko-no-such-program", ENOENT},
        {scratch() / "absent", ENOENT},
        {not_executable, EACCES},
        {scratch(), EACCES},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        d.program = c.program;
        const TaskRegistration result = tasks->Register(d);
        EXPECT_FALSE(result.registered) << c.program;
        EXPECT_EQ(result.failed_step, TaskStep::ActionPath) << c.program;
        EXPECT_EQ(result.code, c.code) << c.program;
    }

    // Once marked executable, the downloaded file runs as its own program.
    std::ofstream(not_executable) << "#!/bin/sh\necho run >> '" << out.string() << "'\n";
    ASSERT_TRUE(MakeExecutable(not_executable));
    d.program = not_executable;
    d.arguments.clear();
    ASSERT_TRUE(tasks->Register(d).registered);
    EXPECT_TRUE(WaitForLines(out, 2));
    int error = 0;
    EXPECT_FALSE(MakeExecutable(scratch() / "absent", &error));
    EXPECT_EQ(error, ENOENT);
}

// True once no supervisor of the task holds its lock any more.
bool SupervisorGone(const std::filesystem::path& lock) {
    for (int i = 0; i < 250; ++i) {
        int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
            close(fd);
            if (free) return true;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

TEST_F(LinuxTaskSchedulerTest, ADeletedTaskIsNotStartedAgain) {
    auto tasks = SystemTaskScheduler();
    auto out = scratch() / "runs";
    TaskDefinition d = Shell("T_deleted", "echo run >> '" + out.string() + "'; exit 1");
    d.restart_interval = milliseconds(300);
    d.restart_count = 3;
    ASSERT_TRUE(tasks->Register(d).registered);
    ASSERT_TRUE(WaitForLines(out, 1));
    EXPECT_TRUE(tasks->Delete("T_deleted"));
    ASSERT_TRUE(SupervisorGone(root() / "Tasks/T_deleted.lock"));
    // A slow machine may have restarted it once before the deletion; none comes after it, for
    // longer than the restarts would have taken.
    const std::string at_deletion = Read(out);
    EXPECT_TRUE(at_deletion == "run\n" || at_deletion == "run\nrun\n") << at_deletion;
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(Read(out), at_deletion);
    EXPECT_FALSE(std::filesystem::exists(root() / "Tasks/T_deleted.last-run"));
}

TEST_F(LinuxTaskSchedulerTest, RegisteringANameAgainEndsTheEarlierTaskBeforeTheNewOneRuns) {
    auto tasks = SystemTaskScheduler();
    auto out = scratch() / "runs";
    auto pid_file = scratch() / "first-pid";
    // The first run would outlast the test and then fail, asking for restarts.
    TaskDefinition first = Shell("T_again", "echo first >> '" + out.string() + "'; echo $$ > '" +
                                                pid_file.string() + "'; sleep 30; exit 1");
    first.restart_count = 3;
    ASSERT_TRUE(tasks->Register(first).registered);
    ASSERT_TRUE(WaitForLines(out, 1));
    ASSERT_TRUE(WaitForLines(pid_file, 1));
    const pid_t first_run = std::stoi(Read(pid_file));

    ASSERT_TRUE(tasks->Register(Shell("T_again", "echo second >> '" + out.string() + "'")).registered);
    EXPECT_EQ(Result("T_again"), "0\n");
    EXPECT_EQ(Read(out), "first\nsecond\n");
    // The earlier run was ended, not left beside the new one.
    bool ended = false;
    for (int i = 0; i < 250 && !ended; ++i) {
        ended = kill(first_run, 0) != 0;
        if (!ended) std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_TRUE(ended);
}

// Programs started after the agent made a kept HTTPS request and opened its log hold nothing of
// it: neither a task's run nor the supervisor that stays beside it, nor a detached program.
TEST_F(LinuxTaskSchedulerTest, StartedProgramsHoldNoneOfTheAgentsDescriptors) {
    zelko::testing::AgentDescriptors agent(scratch() / "agent");
    auto tasks = SystemTaskScheduler();
    const auto task_list = scratch() / "task-fds";
    auto d = Shell("T_fds", ListDescriptors("/proc/$$/fd/* /proc/$PPID/fd/*", task_list));
    d.restart_count = 0;
    ASSERT_TRUE(tasks->Register(d).registered);
    ASSERT_TRUE(WaitForLines(task_list, 3));
    EXPECT_EQ(agent.Among(Lines(task_list)), std::vector<std::string>{}) << Read(task_list);
    EXPECT_EQ(Result("T_fds"), "0\n");

    const auto detached_list = scratch() / "detached-fds";
    ASSERT_TRUE(StartDetachedProcess("/bin/sh", {"-c", ListDescriptors("/proc/$$/fd/*", detached_list)}));
    ASSERT_TRUE(WaitForLines(detached_list, 3));
    EXPECT_EQ(agent.Among(Lines(detached_list)), std::vector<std::string>{}) << Read(detached_list);
}

}  // namespace
}  // namespace zelko::platform
