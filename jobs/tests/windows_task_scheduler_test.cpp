#include <gtest/gtest.h>

#include "jobs/tests/fake_task_scheduler.h"
#include "jobs/windows_task_scheduler.h"
#include "testing/log_capture.h"

namespace zelko::plenar::agent {
namespace {

using std::chrono::milliseconds;

TEST(IsoDuration, Parses) {
    struct Case {
        const char* text;
        std::optional<int64_t> ms;
    } cases[] = {
        {"PT1H", 3600000},  {"PT5M", 300000},     {"PT30S", 30000},         {"P1D", 86400000},
        {"P1DT2H", 93600000}, {"PT0.5S", 500},    {"P1W", 604800000},       {"PT0S", 0},
        {"", std::nullopt}, {"P", std::nullopt},  {"1H", std::nullopt},     {"PT", std::nullopt},
        {"PTH", std::nullopt}, {"P1H", std::nullopt}, {"PT1D", std::nullopt}, {"PT1H5", std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = ParseIsoDuration(c.text);
        ASSERT_EQ(got.has_value(), c.ms.has_value()) << c.text;
        if (got) {
            EXPECT_EQ(got->count(), *c.ms) << c.text;
        }
    }
}

TEST(WindowsTaskScheduler, RegistersTheJobsDefinition) {
    auto fake = std::make_shared<zelko::testing::FakeTaskScheduler>();
    WindowsTaskScheduler scheduler(fake);
    zelko::testing::LogCapture log;
    ASSERT_TRUE(scheduler.CreateTask("/opt/run", "ZelkoPlenarAgent_j", "/i \"C:\\a b\\x.msi\" /quiet", "PT5M", "PT1H"));
    EXPECT_TRUE(log.Contains(logging::info, "Task Scheduler: Success! Task successfully registered. "));
    ASSERT_EQ(fake->registered.size(), 1u);
    const auto& d = fake->registered[0];
    EXPECT_EQ(d.name, "ZelkoPlenarAgent_j");
    EXPECT_EQ(d.author, "ZELKO INC");
    EXPECT_EQ(d.user, "SYSTEM");
    EXPECT_TRUE(d.highest_privileges);
    EXPECT_TRUE(d.start_when_available);
    EXPECT_EQ(d.program, "/opt/run");
    EXPECT_EQ(d.arguments, (std::vector<std::string>{"/i", "C:\\a b\\x.msi", "/quiet"}));
    EXPECT_EQ(d.restart_interval, std::chrono::minutes(5));
    EXPECT_EQ(d.restart_count, 3);
    EXPECT_EQ(d.execution_time_limit, std::chrono::hours(1));
    EXPECT_EQ(d.trigger_id, "ZelkoPlenarAgentRegistrationExecute");

    // A limit that is no duration leaves the task without one.
    EXPECT_EQ(WindowsTaskScheduler::Definition("p", "t", "", "1 hour").execution_time_limit, milliseconds(0));

    EXPECT_TRUE(scheduler.DeleteTask("ZelkoPlenarAgent_j"));
    EXPECT_FALSE(scheduler.DeleteTask("ZelkoPlenarAgent_j"));
}

TEST(WindowsTaskScheduler, EachFailingStepIsLoggedWithItsCode) {
    using platform::TaskStep;
    struct Case {
        TaskStep step;
        const char* message;
    } cases[] = {
        {TaskStep::Initialize, "Task Scheduler: CoInitializeEx failed:-5"},
        {TaskStep::Connect, "Task Scheduler: ITaskService::Connect failed: -5"},
        {TaskStep::Folder, "Task Scheduler: Cannot get Root folder pointer: -5"},
        {TaskStep::Actions, "Task Scheduler: Cannot get Task collection pointer: -5"},
        {TaskStep::ActionPath, "Task Scheduler: Cannot put action path: -5"},
        {TaskStep::Register, "Task Scheduler: Error saving the Task : -5"},
    };
    for (const auto& c : cases) {
        auto fake = std::make_shared<zelko::testing::FakeTaskScheduler>();
        fake->fail_at = c.step;
        fake->code = -5;
        zelko::testing::LogCapture log;
        EXPECT_FALSE(WindowsTaskScheduler(fake).CreateTask("p", "t", "", "PT5M", "PT1H")) << c.message;
        EXPECT_TRUE(log.Contains(logging::error, c.message)) << c.message;
    }
    // A trigger id that cannot be set is logged and the task still registered.
    auto fake = std::make_shared<zelko::testing::FakeTaskScheduler>();
    fake->fail_trigger_id = true;
    fake->code = 7;
    zelko::testing::LogCapture log;
    EXPECT_TRUE(WindowsTaskScheduler(fake).CreateTask("p", "t", "", "PT5M", "PT1H"));
    EXPECT_TRUE(log.Contains(logging::error, "Task Scheduler: Cannot put trigger ID: 7"));
}

}  // namespace
}  // namespace zelko::plenar::agent
