#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <fstream>

#include "config/remote_config.h"
#include "jobs/install_component.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;

class JobsService : public TestableService {
  public:
    ~JobsService() override { EndPostedWork(); }
    explicit JobsService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }
    void SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) override {
        std::lock_guard lock(mutex);
        events.push_back({control, event_type, std::string(static_cast<const char*>(data), size)});
    }
    struct Sent {
        uint32_t control, type;
        std::string data;
    };
    std::mutex mutex;
    std::vector<Sent> events;

  private:
    std::filesystem::path exe_;
};

ServiceState Named(const std::string& name) {
    ServiceState state;
    state.name = name;
    state.OnEnter = [] {};
    state.OnExit = [] {};
    return state;
}

json Document(const std::vector<json>& entries) { return {{"data", {{"config", {{"rjs", entries}}}}}}; }

class RemoteJobsTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        std::ofstream(scratch() / "install-component.json") << "{}";
        service = std::make_unique<JobsService>(scratch() / "agent");
        service->Processing.name = "Processing";
        service->RequiredOnStarting.name = "RequiredOnStarting";
        service->Jobs().SetStatePoll(std::chrono::milliseconds(5));
        service->Jobs().SetFactory([this](const std::string& name, const json& entry) {
            ++created[name];
            auto job = std::make_shared<InstallComponent>(
                (scratch() / "install-component.json").string(), nullptr, name, nullptr,
                [this, name](bool run, std::chrono::milliseconds delay, std::string) {
                    // Only the rerun the test asks for reaches the service.
                    if (forward_reruns) service->Jobs().Rerun(run, delay, name);
                },
                nullptr, [](std::chrono::milliseconds, std::string) {}, nullptr, entry, "C:\\A\\a.exe");
            // Jobs here do not run: their Process is counted through the shadow poll.
            job->shadows.get = [this, name](const std::string&, std::string&) {
                std::lock_guard lock(mutex);
                ++polls[name];
                cv.notify_all();
                return shared::error::Error(shared::error::ErrorCategory::EC_Component, 1, "offline");
            };
            job->actions.monitor = [this, name] {
                std::lock_guard lock(mutex);
                ++monitors[name];
            };
            return job;
        });
    }
    void TearDown() override {
        service.reset();
        SystemRootTest::TearDown();
    }
    std::shared_ptr<InstallComponent> Job(const std::string& name) { return service->Jobs().Find(name); }
    void SetStatuses(const std::string& name, std::vector<int32_t> statuses) {
        auto job = Job(name);
        std::lock_guard lock(job->taskMutex);
        if (job->processTask.valid()) job->processTask.wait();
        job->updateLog.clear();
        for (int32_t status : statuses) {
            UpdateLogEntry entry;
            entry.status = status;
            job->updateLog.push_back(entry);
        }
    }
    bool WaitForPolls(const std::string& name, int count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(5), [&] { return polls[name] >= count; });
    }

    std::unique_ptr<JobsService> service;
    std::map<std::string, int> created;
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::string, int> polls;
    std::map<std::string, int> monitors;
    bool forward_reruns = false;
    zelko::testing::LogCapture log;
};

TEST_F(RemoteJobsTest, ComplianceJobBecomesAnEventAndNoJob) {
    const json entry = {{"name", "job-acm-bkc-cfg"}, {"ival", "60"}, {"ts", "t"}};
    service->Jobs().Run(Document({entry}));
    service->Jobs().Run(Document({entry}));
    ASSERT_EQ(service->events.size(), 2u);
    EXPECT_EQ(service->events[0].control, 440u);
    EXPECT_EQ(service->events[0].type, 0u);
    EXPECT_EQ(service->events[0].data, entry.dump() + std::string(1, '\0'));
    EXPECT_TRUE(created.empty());
    EXPECT_TRUE(log.Contains(logging::info, "RemoteJobsProcessing will run in 24h0m0s0ms"));
}

// Without "install-component.json" no job is built; each job says why once, not at every pass
// of the task, and is built at the first pass after the file appears.
TEST_F(RemoteJobsTest, MissingConfigurationFileIsSaidOncePerJob) {
    std::filesystem::remove(scratch() / "install-component.json");
    const json one = {{"name", "job-one"}, {"ts", "t"}};
    const json two = {{"name", "job-two"}, {"ts", "t"}};
    for (int pass = 0; pass < 3; ++pass) service->Jobs().Run(Document({one, two}));
    EXPECT_EQ(created["job-one"], 3);
    EXPECT_EQ(Job("job-one"), nullptr);
    const std::string said = " cannot be created: the configuration file " +
                             (scratch() / "install-component.json").string() + " is missing";
    EXPECT_EQ(log.Count(logging::error, "job-one" + said), 1);
    EXPECT_EQ(log.Count(logging::error, "job-two" + said), 1);
    EXPECT_EQ(log.Count(logging::error, "cannot use value()"), 0);

    std::ofstream(scratch() / "install-component.json") << "{}";
    service->Jobs().Run(Document({one, two}));
    EXPECT_NE(Job("job-one"), nullptr);
    EXPECT_NE(Job("job-two"), nullptr);
}

TEST_F(RemoteJobsTest, JobsAreCreatedOnceProcessedOnceAndDroppedOnlyWhenNotBusy) {
    service->Jobs().Run(Document({{{"name", "a"}}, {{"name", "b"}}}));
    ASSERT_TRUE(WaitForPolls("a", 1));
    ASSERT_TRUE(WaitForPolls("b", 1));
    service->Jobs().Run(Document({{{"name", "a"}}, {{"name", "b"}}}));
    EXPECT_EQ(created, (std::map<std::string, int>{{"a", 1}, {"b", 1}}));
    EXPECT_TRUE(Job("a")->processStarted);

    // Gone from the list: a busy job stays, an idle or finished one is dropped.
    SetStatuses("a", {5});
    SetStatuses("b", {14});
    service->Jobs().Run(Document({}));
    EXPECT_NE(Job("a"), nullptr);
    EXPECT_EQ(Job("b"), nullptr);
    SetStatuses("a", {5, 0});
    service->Jobs().Run(Document({}));
    EXPECT_EQ(Job("a"), nullptr);

    // A list that cannot be read changes nothing and drops nothing.
    service->Jobs().Run(Document({{{"name", "c"}}}));
    for (const json& damaged : {json(), json::array(), json{{"data", {{"config", {{"rjs", "x"}}}}}}}) {
        service->Jobs().Run(damaged);
        EXPECT_NE(Job("c"), nullptr);
    }
    service->Jobs().Run(Document({{{"name", 7}}, {{"x", "y"}}, "text"}));
    EXPECT_NE(Job("c"), nullptr) << "entries without a name are skipped, the rest of the run goes on";
    EXPECT_TRUE(log.Contains(logging::warning, "RemoteJobsProcessing: skipping an \"rjs\" entry without a text \"name\""));
}

TEST_F(RemoteJobsTest, InstalledJobIsKeptOnEveryRun) {
    service->Jobs().Run(Document({{{"name", "a"}}}));
    ASSERT_TRUE(WaitForPolls("a", 1));
    SetStatuses("a", {Succeeded, Idle});
    service->Jobs().Run(Document({{{"name", "a"}}}));
    service->Jobs().Run(Document({{{"name", "a"}}}));
    SetStatuses("a", {Failed, Idle});
    service->Jobs().Run(Document({{{"name", "a"}}}));
    EXPECT_EQ(monitors["a"], 2);
}

TEST_F(RemoteJobsTest, SelfUpdateIsHeldWhileAnotherJobIsBusy) {
    service->Jobs().Run(Document({{{"name", "job-zelkoplenaragent-update"}}, {{"name", "other"}}}));
    ASSERT_TRUE(WaitForPolls("job-zelkoplenaragent-update", 1));
    auto self = Job("job-zelkoplenaragent-update");
    EXPECT_TRUE(self->isSelfUpdate);
    SetStatuses("job-zelkoplenaragent-update", {SelfUpdateHeld});
    SetStatuses("other", {3});
    service->Jobs().HoldSelfUpdate(std::chrono::hours(1), "job-zelkoplenaragent-update");
    EXPECT_TRUE(log.Contains(logging::info, "Install component: job: otherin state: 3holding self update"));
    EXPECT_TRUE(log.Contains(logging::info, "Job: job-zelkoplenaragent-update will run in 1h0m0s0ms"));
    EXPECT_FALSE(self->selfUpdateReleased);

    SetStatuses("other", {13, 0});
    // The worker waits until the flag is seen: the run the release posts consumes it.
    std::promise<void> gate;
    service->_scheduler.In(Duration::zero(), [opened = gate.get_future().share()] { opened.wait(); });
    service->Jobs().HoldSelfUpdate(std::chrono::hours(1), "job-zelkoplenaragent-update");
    EXPECT_TRUE(self->selfUpdateReleased);
    gate.set_value();
}

TEST_F(RemoteJobsTest, RerunThatFallsDueInAStateThatDoesNotAllowItWaitsForOne) {
    service->SetState(Named("Discovery"));
    service->Jobs().Run(Document({{{"name", "a"}}}));
    ASSERT_TRUE(WaitForPolls("a", 1));
    service->Jobs().Rerun(true, std::chrono::milliseconds(0), "a");
    service->Jobs().Rerun(true, std::chrono::milliseconds(0), "gone");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // several looks at the state
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(polls["a"], 1) << "nothing runs outside the allowed states";
    }
    service->SetState(Named("Processing"));
    EXPECT_TRUE(WaitForPolls("a", 2));
    EXPECT_TRUE(log.WaitFor(logging::error, "Object not found for job_name: gone", 1));

    // RequiredOnStarting allows it only on a Corvane device (no connectivity module here).
    service->SetState(Named("RequiredOnStarting"));
    EXPECT_FALSE(service->Jobs().StateAllowed());
}

// Before the first fetch the agent configuration holds no data: the built-in document lists the
// jobs, so a device whose cloud has no agent configuration still gets its built-in job.
TEST_F(RemoteJobsTest, BuiltInJobIsMadeBeforeTheFirstFetch) {
    service->_modules.tavragent_config = config::RemoteConfig::Create(
        "tavragent-config", "tavragent-config", std::make_shared<zelko::testing::FakeConnectivity>(), "", false,
        nullptr, nlohmann::ordered_json(RemoteConfigs::TavragentConfigDefault(false)), scratch(), "RemoteConfigs");
    ASSERT_TRUE(service->_modules.tavragent_config->GetConfig()["data"].is_null());
    service->Jobs().Perform();
    ASSERT_TRUE(WaitForPolls("job-1e-install", 1));
    EXPECT_EQ(created, (std::map<std::string, int>{{"job-1e-install", 1}}));
    EXPECT_TRUE(log.Contains(logging::info, "No agent configuration received yet, using the built-in one"));
}

TEST_F(RemoteJobsTest, AgentConfigurationIsTheBuiltInOneUntilReceivedAndWhileDamaged) {
    const json built_in = RemoteConfigs::TavragentConfigDefault(false)["data"]["config"];
    const json received = {{"conn", "pers_mq"}, {"rjs", json::array()}};
    const struct {
        const char* what;
        json document;
        bool damaged;  // else nothing received yet
    } built_in_cases[] = {
        {"null", nullptr, false},
        {"no data", {{"version", 1}}, false},
        {"data null", {{"data", nullptr}}, false},
        {"not an object", json::array({1}), false},
        {"data a text", {{"data", "config"}}, true},
        {"data an array", {{"data", json::array()}}, true},
        {"data without config", {{"data", {{"grants", json::array()}}}}, true},
        {"config null", {{"data", {{"config", nullptr}}}}, true},
        {"config a number", {{"data", {{"config", 5}}}}, true},
        {"config an array", {{"data", {{"config", json::array({received})}}}}, true},
    };
    for (const auto& c : built_in_cases) {
        SCOPED_TRACE(c.what);
        zelko::testing::LogCapture log;
        EXPECT_EQ(service->RemoteConfigurations().AgentConfigOf(c.document), built_in);
        EXPECT_EQ(log.Count(logging::warning, "Agent configuration tavragent-config is damaged"), c.damaged ? 1 : 0);
    }
    EXPECT_EQ(service->RemoteConfigurations().AgentConfigOf({{"data", {{"config", received}}}}), received);
}

}  // namespace
}  // namespace zelko::plenar::agent
