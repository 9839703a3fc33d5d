#include <gtest/gtest.h>

#include <fstream>
#include <latch>

#include "jobs/install_component.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;
using std::chrono::milliseconds;

// A retry policy that gives the listed delays, then none.
class ScriptedPolicy : public IRandomValue {
  public:
    std::vector<int64_t> delays;
    size_t next = 0;
    int resets = 0;
    std::optional<milliseconds> Next() override {
        if (next < delays.size()) return milliseconds(delays[next++]);
        return std::nullopt;
    }
    void Reset() override {
        ++resets;
        next = 0;
    }
    uint64_t GetCount() override { return next; }
    json ToJson() const override { return json::object(); }
};

class InstallRunTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        std::ofstream(scratch() / "install-component.json") << config_text;
    }
    std::shared_ptr<InstallComponent> Make(json entry = {{"ival", "30"}}, const std::string& name = "j") {
        std::ofstream(scratch() / "install-component.json") << config_text;
        auto job = std::make_shared<InstallComponent>(
            (scratch() / "install-component.json").string(), nullptr, name, nullptr,
            [this](bool schedule, milliseconds delay, std::string) {
                if (schedule) reruns.push_back(delay.count());
            },
            [this](Error error) { reported.push_back(error); },
            [this](milliseconds, std::string) { ++holds; }, nullptr, entry, "C:\\A\\a.exe");
        job->installPolicy = policy;
        job->shadows.get = [this](const std::string& name, std::string& content) {
            content = shadow;
            return shadow_error;
        };
        job->shadows.update = [this](const std::string& name, const std::string& document) {
            status_shadows.emplace_back(name, json::parse(document));
            return Error();
        };
        job->shadows.remove = [this](const std::string& name) {
            ++removed;
            return Error();
        };
        job->actions.download = [this](const std::string&, const std::string&, uint64_t& bytes, bool& complete) {
            bytes = 1000;
            complete = download_result == DownloadResult::Complete;
            return download_result;
        };
        job->actions.validateSignature = [this](const std::string&) { return signature_ok; };
        job->actions.createTask = [this] {
            ++launches;
            if (launch_creates) std::ofstream(scratch() / "installed") << "x";
            return launch_ok;
        };
        job->actions.hasInternet = [this] { return online; };
        job->actions.monitor = [this] { ++monitors; };
        job->actions.deleteTask = [this](const std::string&) { ++deleted_tasks; };
        return job;
    }
    void RunOnce(InstallComponent& job) {
        job.Process();
        std::lock_guard lock(job.taskMutex);
        if (job.processTask.valid()) job.processTask.wait();
    }
    std::vector<int32_t> Statuses(const InstallComponent& job) {
        std::vector<int32_t> out;
        for (const auto& e : job.updateLog) out.push_back(e.status);
        return out;
    }
    std::string Shadow(const std::string& timestamp, const json& validation) {
        return json{{"state",
                     {{"desired",
                       {{"data",
                         {{"timestamp", timestamp},
                          {"location_x64", "https://b/k/setup.sh"},
                          {"validationParams", validation}}}}}}}}
            .dump();
    }
    json FileCheck() { return {{"files", {{{"path", (scratch() / "installed").string()}}}}}; }

    std::string config_text = R"({"TaskScheduler": [{"RetryAttempts": 3}]})";
    std::shared_ptr<ScriptedPolicy> policy = std::make_shared<ScriptedPolicy>();
    std::string shadow;
    Error shadow_error;
    DownloadResult download_result = DownloadResult::Complete;
    bool signature_ok = true, launch_ok = true, launch_creates = true, online = true;
    std::vector<int64_t> reruns;
    std::vector<Error> reported;
    std::vector<std::pair<std::string, json>> status_shadows;
    int holds = 0, removed = 0, launches = 0, monitors = 0, deleted_tasks = 0;
};

TEST_F(InstallRunTest, AlreadyInstalledEndsTheCycleAtOnce) {
    std::ofstream(scratch() / "installed") << "x";
    shadow = Shadow("T1", FileCheck());
    auto job = Make();
    RunOnce(*job);
    EXPECT_EQ(Statuses(*job), (std::vector<int32_t>{Succeeded, Idle}));
    ASSERT_EQ(status_shadows.size(), 1u);
    EXPECT_EQ(status_shadows[0].first, "status-j");
    EXPECT_EQ(status_shadows[0].second["state"]["desired"]["data"]["code"], "0");
    EXPECT_EQ(status_shadows[0].second["state"]["desired"]["data"]["message"], "Success");
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(monitors, 1);
    EXPECT_EQ(deleted_tasks, 1);
    EXPECT_EQ(launches, 0);
    EXPECT_EQ(reruns, (std::vector<int64_t>{30 * 60000}));
    EXPECT_GE(policy->resets, 1);
    EXPECT_EQ(job->installerPath, job->jobFolder + "\\j.sh");

    // The same job again is in sync: no new cycle.
    RunOnce(*job);
    EXPECT_EQ(Statuses(*job).size(), 2u);
}

TEST_F(InstallRunTest, ARestartOverAJobInstalledWithNothingToCheckLaunchesNothing) {
    launch_creates = false;
    shadow = Shadow("T1", json::object());
    {
        auto job = Make();
        RunOnce(*job);
        auto statuses = Statuses(*job);
        EXPECT_EQ(std::vector<int32_t>(statuses.end() - 2, statuses.end()),
                  (std::vector<int32_t>{Succeeded, Idle}));
        EXPECT_EQ(launches, 1);
    }
    ASSERT_EQ(status_shadows.size(), 1u);

    // The agent starts again over the same cache: the job is run and its keeping pass started, as
    // the service does for a job whose cache shows a success.
    auto job = Make();
    job->actions.monitor = nullptr;
    zelko::testing::LogCapture log;
    RunOnce(*job);
    job->Monitor();
    {
        std::lock_guard lock(job->taskMutex);
        if (job->monitorTask.valid()) job->monitorTask.wait();
    }
    EXPECT_FALSE(log.Contains(logging::error, "Installed verion requires a repair"));
    EXPECT_EQ(job->LastStatus(), Idle);
    RunOnce(*job);
    EXPECT_EQ(launches, 1);
    EXPECT_EQ(status_shadows.size(), 1u);

    // A new job document proves nothing until its own installer has run.
    shadow = Shadow("T2", json::object());
    launch_ok = false;
    RunOnce(*job);
    EXPECT_EQ(job->LastStatus(), ReadyToInstall);
    EXPECT_FALSE(job->VerifyInstallation());
}

TEST_F(InstallRunTest, NewJobWaitsThenTimesOutRetriesAndFails) {
    launch_creates = false;
    policy->delays = {5000};
    shadow = Shadow("T1", FileCheck());
    auto job = Make();
    RunOnce(*job);
    EXPECT_EQ(job->jobStatus, AwaitingInstall);
    EXPECT_EQ(reruns.back(), 5000);
    EXPECT_EQ(launches, 1);

    // The policy has ended: timed out, reported, and retried up to the limit of 3.
    RunOnce(*job);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].code(), -1);
    EXPECT_EQ(reported[0].what(), "no installation was done");
    EXPECT_EQ(job->jobStatus, RetryPending);
    EXPECT_EQ(reruns.back(), 120000);
    zelko::testing::LogCapture log;
    for (int i = 0; i < 20 && status_shadows.empty(); ++i) RunOnce(*job);
    ASSERT_EQ(status_shadows.size(), 1u);
    EXPECT_EQ(status_shadows[0].second["state"]["desired"]["data"]["message"], "Failure");
    EXPECT_TRUE(log.Contains(logging::info, " Retry attempts: 2Limit Reached"));
    EXPECT_EQ(launches, 4);
    EXPECT_EQ(job->LastStatus(), Idle);
    EXPECT_EQ(removed, 0);
    // Reset when the job was taken and when its cycle ended, so the next job waits afresh.
    EXPECT_EQ(policy->resets, 2);
}

TEST_F(InstallRunTest, DownloadFailures) {
    struct Case {
        bool online;
        DownloadResult result;
        int32_t status;
        uint64_t bytes;
        int64_t rerun;
    } cases[] = {
        {true, DownloadResult::Failed, DownloadPending, 0, 3600000},
        {false, DownloadResult::Failed, Downloading, 1000, 120000},
        {true, DownloadResult::Interrupted, Downloading, 1000, 120000},
    };
    shadow = Shadow("T1", FileCheck());
    int n = 0;
    for (const auto& c : cases) {
        online = c.online;
        download_result = c.result;
        reruns.clear();
        auto job = Make({{"ival", "30"}}, "job" + std::to_string(n++));
        RunOnce(*job);
        EXPECT_EQ(job->jobStatus, c.status);
        EXPECT_EQ(job->updateLog.back().downloadedbytes, c.bytes);
        EXPECT_EQ(reruns, (std::vector<int64_t>{c.rerun}));
    }
}

TEST_F(InstallRunTest, FourFailedSignatureChecksAreReported) {
    signature_ok = false;
    shadow = Shadow("T1", FileCheck());
    auto job = Make();
    zelko::testing::LogCapture log;
    for (int i = 0; i < 4; ++i) RunOnce(*job);
    for (const char* n : {"re-downloading - 1", "re-downloading - 2", "re-downloading - 3"}) {
        EXPECT_TRUE(log.Contains(logging::error, n)) << n;
    }
    EXPECT_TRUE(log.Contains(logging::error, "Max download attempts exceeded"));
    auto statuses = Statuses(*job);
    EXPECT_EQ(std::vector<int32_t>(statuses.end() - 2, statuses.end()), (std::vector<int32_t>{Failed, Idle}));
    ASSERT_EQ(status_shadows.size(), 1u);
    EXPECT_EQ(status_shadows[0].second["state"]["desired"]["data"]["code"], "1");
    EXPECT_EQ(launches, 0);
}

TEST_F(InstallRunTest, MissingShadowAndIval) {
    shadow_error = Error(ErrorCategory::EC_Network, 1, R"({"http_code": 404})");
    struct Case {
        json ival;
        int64_t minutes;
    } cases[] = {{"30", 30},   {"abc", 720}, {"12a", 12},       {30, 720},
                 {" -5", 720}, {"0", 720},   {"-43200000", 720}};
    for (const auto& c : cases) {
        reruns.clear();
        auto job = Make({{"ival", c.ival}});
        RunOnce(*job);
        RunOnce(*job);
        RunOnce(*job);
        EXPECT_EQ(reruns, (std::vector<int64_t>{120000, c.minutes * 60000, 120000})) << c.ival.dump();
    }
    // Zero or less is damaged: the default, with a warning naming the job and the key.
    zelko::testing::LogCapture warnings;
    reruns.clear();
    auto negative = Make({{"ival", "-60000"}}, "job-negative");
    RunOnce(*negative);
    RunOnce(*negative);
    EXPECT_EQ(reruns, (std::vector<int64_t>{120000, 720 * 60000}));
    EXPECT_TRUE(
        warnings.Contains(logging::warning, "Setting \"ival\" of remote job job-negative is out of range"));
    // Other poll failures are nothing new.
    shadow_error = Error(ErrorCategory::EC_Network, 1, "not json");
    reruns.clear();
    zelko::testing::LogCapture log;
    auto job = Make();
    RunOnce(*job);
    EXPECT_EQ(reruns, (std::vector<int64_t>{30 * 60000}));
    EXPECT_TRUE(log.Contains(logging::error, "Polling the job shadow failed: not json"));
}

TEST_F(InstallRunTest, BusyRunFaultsAndSelfUpdateHold) {
    shadow = Shadow("T1", FileCheck());
    auto job = Make();
    job->taskWaitLimit = milliseconds(20);
    std::latch release(1);
    job->actions.download = [&](const std::string&, const std::string&, uint64_t&, bool&) {
        release.wait();
        return DownloadResult::Interrupted;
    };
    job->Process();
    zelko::testing::LogCapture log;
    job->Process();
    EXPECT_TRUE(log.Contains(logging::info, "Existing job processing is already in progress..."));
    EXPECT_EQ(reruns, (std::vector<int64_t>{120000}));
    release.count_down();
    {
        std::lock_guard lock(job->taskMutex);
        job->processTask.wait();
    }

    // An exception inside a run asks for a short retry instead of stopping the job.
    reruns.clear();
    job->actions.download = [](const std::string&, const std::string&, uint64_t&, bool&) -> DownloadResult {
        throw std::runtime_error("boom");
    };
    RunOnce(*job);
    EXPECT_EQ(reruns, (std::vector<int64_t>{120000}));

    // The agent's own update is held at 7; a release whose launch fails stays at 7 and retries.
    job->actions.download = [](const std::string&, const std::string&, uint64_t&, bool& complete) {
        complete = true;
        return DownloadResult::Complete;
    };
    job->isSelfUpdate = true;
    launch_creates = false;
    RunOnce(*job);
    EXPECT_EQ(job->jobStatus, SelfUpdateHeld);
    EXPECT_EQ(holds, 1);
    job->selfUpdateReleased = true;
    launch_ok = false;
    reruns.clear();
    RunOnce(*job);
    EXPECT_EQ(job->LastStatus(), SelfUpdateHeld);
    EXPECT_EQ(reruns, (std::vector<int64_t>{120000}));
    job->selfUpdateReleased = true;
    launch_ok = true;
    RunOnce(*job);
    EXPECT_EQ(job->LastStatus(), Installing);
}

}  // namespace
}  // namespace zelko::plenar::agent
