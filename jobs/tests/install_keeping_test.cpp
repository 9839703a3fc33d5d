// The installer's download and signature check, and the keeping of an installed job's services.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <map>

#include "config/config_service.h"
#include "jobs/install_component.h"
#include "jobs/windows_paths.h"
#include "outside/plugin_manager/validator.h"
#include "platform/clock.h"
#include "platform/service_control.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;
using std::chrono::milliseconds;

class ScriptedValidator : public shared::plugin::IValidator {
  public:
    explicit ScriptedValidator(std::vector<int32_t>* results) : results_(results) {}
    int32_t ValidateFile(const char*) override {
        if (results_->empty()) return 3;
        int32_t result = results_->front();
        results_->erase(results_->begin());
        return result;
    }

  private:
    std::vector<int32_t>* results_;
};

// Services by name: their state, what a query or a start of them does.
class FakeServiceHost : public ServiceHost {
  public:
    std::map<std::string, uint32_t> states;
    std::vector<std::string> started;
    Query failure;  // used when failure.failed is not Ok
    uint32_t startError = 0;
    Query QueryService(const std::string& name) override {
        std::lock_guard lock(mutex);
        if (failure.failed != Step::Ok) return failure;
        auto it = states.find(name);
        if (it == states.end()) return {Step::Service, 1060, 0};
        return {Step::Ok, 0, it->second};
    }
    uint32_t StartService(const std::string& name) override {
        std::lock_guard lock(mutex);
        started.push_back(name);
        return startError;
    }
    std::mutex mutex;
};

class InstallKeepingTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        std::ofstream(scratch() / "install-component.json") << "{}";
        std::ofstream(scratch() / "installed") << "x";
    }
    std::unique_ptr<InstallComponent> Make(const json& services = json()) {
        auto job = std::make_unique<InstallComponent>(
            (scratch() / "install-component.json").string(), configService, "k", nullptr,
            [this](bool, milliseconds delay, std::string) {
                std::lock_guard lock(mutex);
                processReruns.push_back(delay.count());
            },
            nullptr, nullptr,
            [this](bool, int32_t minutes, std::string) {
                std::lock_guard lock(mutex);
                monitorReruns.push_back(minutes);
                cv.notify_all();
            },
            json::object(), "C:\\A\\a.exe");
        job->serviceHost = host;
        job->actions.deleteTask = [](const std::string&) {};
        job->validationParams = {{"files", {{{"path", (scratch() / "installed").string()}}}}};
        if (!services.is_null()) job->validationParams["services"] = services;
        for (const auto& [name, state] : host->states) {
            // The verification looks the service up in the service database.
            platform::ServiceConfig config;
            config.service_name = name;
            config.binary_path_name = "/bin/true";
            auto manager = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
            if (auto service = platform::CreateService(manager, config)) platform::CloseServiceHandle(service);
            platform::CloseServiceHandle(manager);
        }
        job->SetupServiceMap();
        return job;
    }
    // The pass the job asked for comes due.
    void Arrive(InstallComponent& job) {
        if (job.keepingPassDue > clock.Now()) clock.Set(job.keepingPassDue);
    }
    // One keeping pass through Monitor, as the one asked for arrives, waited for.
    void Pass(InstallComponent& job) {
        Arrive(job);
        job.Monitor();
        std::lock_guard lock(job.taskMutex);
        if (job.monitorTask.valid()) job.monitorTask.wait();
    }

    // 2026-03-02 10:00:00 UTC.
    platform::ScopedFakeClock clock{1772445600LL * platform::kTicksPerSecond};
    std::shared_ptr<config::ConfigService> configService = std::make_shared<config::ConfigService>();
    std::shared_ptr<FakeServiceHost> host = std::make_shared<FakeServiceHost>();
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int64_t> processReruns;
    std::vector<int32_t> monitorReruns;
    zelko::testing::LogCapture log;
};

TEST_F(InstallKeepingTest, DownloadResultFollowsTheTransfer) {
    const Error cut(ErrorCategory::EC_Component, 4, "Cannot write x.part");
    struct Case {
        const char* name;
        Error error;
        bool complete;
        Error signatureError;
        DownloadResult result;
        const char* line;
    } cases[] = {
        {"failed", cut, false, Error(), DownloadResult::Failed, "Install component: k failed to download the updates: Cannot write x.part"},
        {"complete", Error(), true, Error(), DownloadResult::Complete, "Install component: k Successfully downloaded the updates... Bytes: 700"},
        {"interrupted", Error(), false, Error(), DownloadResult::Interrupted, "Install component: k Download interruptedBytes: 700"},
        {"no signature", Error(), true, Error(ErrorCategory::EC_Component, 404, "no such object"), DownloadResult::Failed,
         "Install component: k failed to download the installer's signature: no such object"},
    };
    auto job = Make();
    const std::string native = winpath::ToNative("C:\\U\\k\\k.sh").string();
    for (const auto& c : cases) {
        std::vector<std::pair<std::string, std::string>> calls;
        uint64_t seen_start = 0;
        job->actions.fetch = [&](const std::string& url, const std::string& path, uint64_t& bytes, bool& complete) {
            calls.emplace_back(url, path);
            if (calls.size() == 2) {
                complete = !c.signatureError;
                return c.signatureError;
            }
            seen_start = bytes;
            bytes = 700;
            complete = c.complete;
            return c.error;
        };
        uint64_t bytes = 300;
        bool complete = false;
        zelko::testing::LogCapture lines;
        EXPECT_EQ(job->DownloadInstaller("s3://installers/k.sh", "C:\\U\\k\\k.sh", bytes, complete), c.result) << c.name;
        EXPECT_EQ(seen_start, 300u) << c.name;
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0], std::make_pair(std::string("s3://installers/k.sh"), native)) << c.name;
        if (c.complete) {
            ASSERT_EQ(calls.size(), 2u) << c.name;
            EXPECT_EQ(calls[1], std::make_pair(std::string("s3://installers/k.sh.sig"), native + ".sig")) << c.name;
        } else {
            EXPECT_EQ(calls.size(), 1u) << c.name;
        }
        EXPECT_EQ(complete, c.result == DownloadResult::Complete) << c.name;
        EXPECT_TRUE(lines.Contains(c.result == DownloadResult::Failed ? logging::error : logging::info, c.line)) << c.name;
    }
    // Without a connectivity module there is nothing to download with.
    job->actions.fetch = nullptr;
    uint64_t bytes = 0;
    bool complete = false;
    EXPECT_EQ(job->DownloadInstaller("s3://installers/k.sh", "C:\\U\\k\\k.sh", bytes, complete), DownloadResult::Failed);
}

TEST_F(InstallKeepingTest, SignatureCheckWaitsBeforeEachTry) {
    struct Case {
        std::vector<int32_t> results;
        bool valid;
        std::vector<int64_t> waits;
        int retries;
    } cases[] = {
        {{0}, true, {15}, 0},
        {{3, 0}, true, {15, 30}, 1},
        {{3, 2, 1}, false, {15, 30, 45}, 3},
    };
    for (auto& c : cases) {
        auto job = Make();
        std::vector<int64_t> waits;
        int validators = 0;
        job->actions.sleep = [&](std::chrono::seconds wait) { waits.push_back(wait.count()); };
        job->actions.makeValidator = [&] {
            ++validators;
            return std::make_unique<ScriptedValidator>(&c.results);
        };
        zelko::testing::LogCapture lines;
        EXPECT_EQ(job->ValidateInstallerSignature("C:\\U\\k\\k.sh"), c.valid);
        EXPECT_EQ(waits, c.waits);
        EXPECT_EQ(validators, 1) << "one validator for the whole check";
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(lines.Contains(logging::info, "Install component: retry " + std::to_string(i)), i < c.retries);
        }
        EXPECT_EQ(lines.Contains(logging::info, "Install component: k Installer signature validated..."), c.valid);
        EXPECT_EQ(lines.Contains(logging::error, "Installer signature validation failed... "), !c.valid);
    }
}

TEST_F(InstallKeepingTest, RealValidatorChecksTheDetachedSignature) {
    // An unsigned file fails with the built-in settings: no key, no signature file.
    auto job = Make();
    job->actions.sleep = [](std::chrono::seconds) {};
    std::ofstream(scratch() / "setup.sh") << "echo hi";
    EXPECT_FALSE(job->ValidateInstallerSignature((scratch() / "setup.sh").string()));
    job->actions.makeValidator = [] {
        return std::make_unique<shared::plugin::Validator>(shared::plugin::ValidatorSettings{{}, true});
    };
    EXPECT_TRUE(job->ValidateInstallerSignature((scratch() / "setup.sh").string()));
}

TEST_F(InstallKeepingTest, InstallationThatNoLongerVerifiesIsRepaired) {
    auto job = Make(json::array({{{"name", "svc"}}}));
    host->states["svc"] = platform::kServiceRunning;
    job->SetJobStatus(Succeeded, false);
    std::filesystem::remove(scratch() / "installed");
    Pass(*job);
    EXPECT_TRUE(log.Contains(logging::error, "Install Component: k - Installed verion requires a repair"));
    EXPECT_EQ(job->LastStatus(), Downloaded);
    EXPECT_EQ(job->updateLog.size(), 1u) << "the last entry is replaced";
    EXPECT_EQ(processReruns, (std::vector<int64_t>{0}));
    EXPECT_TRUE(monitorReruns.empty());
}

TEST_F(InstallKeepingTest, StoppedServiceIsStartedAndJudgedInTheNextPass) {
    host->states = {{"up", platform::kServiceRunning}, {"down", platform::kServiceStopped}};
    auto job = Make(json::array({{{"name", "up"}}, {{"name", "down"}}}));
    job->validationIntervalMin = 60;
    EXPECT_EQ(job->ManageInstalledJobs(), KeepingResult::LookAgainSoon);
    EXPECT_EQ(host->started, (std::vector<std::string>{"down"}));
    EXPECT_EQ(job->serviceMap["up"], ServiceWatch::Settled);
    EXPECT_EQ(job->serviceMap["down"], ServiceWatch::Starting);
    EXPECT_TRUE(log.Contains(logging::info, "Install Component: k Service up - Service is already running"));
    EXPECT_TRUE(log.Contains(logging::info,
                             "Install Component: k Service down - Service start is pending. Waiting to be in running"));

    host->states["down"] = platform::kServiceRunning;
    EXPECT_EQ(job->ManageInstalledJobs(), KeepingResult::AllSettled);
    EXPECT_TRUE(log.Contains(logging::info, "Install Component: k Service down - Service successfully started"));
    EXPECT_TRUE(log.Contains(logging::info, "Install Component: k Service down Service successfully running"));
    EXPECT_EQ(host->started.size(), 1u);

    // Through Monitor: the result picks the next pass.
    host->states["down"] = platform::kServiceStopped;
    Pass(*job);
    Pass(*job);
    EXPECT_EQ(monitorReruns, (std::vector<int32_t>{5, 60}));
    EXPECT_TRUE(log.Contains(logging::warning, "Install Component: k Service down - Service did not start after "
                                               "attempting to start...continue monitoring"));
}

TEST_F(InstallKeepingTest, RunConditions) {
    struct Case {
        const char* name;
        json entry;
        bool started;
        const char* warning;
    } cases[] = {
        {"no condition", {{"name", "s"}}, true, nullptr},
        {"not json", {{"name", "s"}, {"run_cond", "{not json"}}, true, "Invalid run condition for service, starting by default: s "},
        {"not text", {{"name", "s"}, {"run_cond", {{"cond", "1"}}}}, true, "Invalid run condition for service, starting by default: s "},
        {"not a condition document", {{"name", "s"}, {"run_cond", "true"}}, false, nullptr},
    };
    for (const auto& c : cases) {
        host->states = {{"s", platform::kServiceStopped}};
        host->started.clear();
        auto job = Make(json::array({c.entry}));
        zelko::testing::LogCapture lines;
        EXPECT_EQ(job->ManageInstalledJobs(), c.started ? KeepingResult::LookAgainSoon : KeepingResult::AllSettled) << c.name;
        EXPECT_EQ(host->started.size(), c.started ? 1u : 0u) << c.name;
        if (c.warning) {
            EXPECT_TRUE(lines.Contains(logging::warning, c.warning)) << c.name;
        }
    }
}

TEST_F(InstallKeepingTest, UnusableServicesAndManagerFailures) {
    struct Case {
        const char* name;
        json services;
        ServiceHost::Query failure;
        KeepingResult result;
        const char* line;
    } cases[] = {
        {"empty", json::array(), {}, KeepingResult::StopKeeping, "Install Component: k - Invalid or empty 'services' field in validationParams."},
        {"not an array", json::object(), {}, KeepingResult::StopKeeping, "Install Component: k - Invalid or empty 'services' field in validationParams."},
        // An entry without a usable name or an unknown service fails the verification first (a repair).
        {"service", json::array({{{"name", "s"}}}), {ServiceHost::Step::Service, 1060, 0}, KeepingResult::LookAgainSoon,
         "Install Component: k - OpenService failed with error: 1060"},
        {"manager", json::array({{{"name", "s"}}}), {ServiceHost::Step::Manager, 5, 0}, KeepingResult::LookAgainSoon,
         "Install Component: k - OpenSCManager failed with error: 5"},
        {"status", json::array({{{"name", "s"}}}), {ServiceHost::Step::Status, 6, 0}, KeepingResult::LookAgainSoon,
         "Install Component: k - QueryServiceStatusEx failed with error: 6"},
    };
    for (const auto& c : cases) {
        host->states = {{"s", platform::kServiceRunning}};
        host->failure = c.failure;
        auto job = Make();
        job->validationParams["services"] = c.services;
        zelko::testing::LogCapture lines;
        EXPECT_EQ(job->ManageInstalledJobs(), c.result) << c.name;
        EXPECT_TRUE(lines.Contains(logging::error, c.line)) << c.name;
    }
    // Stopping the keeping ends the chain: no next pass.
    host->failure = {};
    auto job = Make(json::array());
    Pass(*job);
    EXPECT_TRUE(monitorReruns.empty());
    EXPECT_TRUE(log.Contains(logging::info, "Install Component: k Monitoring is stopped..."));
}

TEST_F(InstallKeepingTest, DailyTriggersOverDaysKeepOneChainOfPasses) {
    host->states = {{"s", platform::kServiceRunning}};
    auto job = Make(json::array({{{"name", "s"}}}));
    job->validationIntervalMin = 720;
    // The service's side in virtual time: each asked pass is delivered when due.
    std::vector<int64_t> asked;
    job->rerunMonitor = [&](bool, int32_t minutes, std::string) {
        std::lock_guard lock(mutex);
        asked.push_back(clock.Now() + int64_t(minutes) * 60 * platform::kTicksPerSecond);
    };
    const auto wait = [&] {
        std::lock_guard lock(job->taskMutex);
        if (job->monitorTask.valid()) job->monitorTask.wait();
    };
    const int64_t day = 24LL * 3600 * platform::kTicksPerSecond;
    const int64_t start = clock.Now();
    for (int d = 0; d < 5; ++d) {
        clock.Set(start + d * day);
        job->Monitor();  // the remote jobs task's daily run
        wait();
        for (;;) {
            std::vector<int64_t>::iterator next;
            {
                std::lock_guard lock(mutex);
                next = std::min_element(asked.begin(), asked.end());
                if (next == asked.end() || *next >= start + (d + 1) * day) break;
                clock.Set(*next);
                asked.erase(next);
            }
            job->Monitor();
            wait();
        }
        std::lock_guard lock(mutex);
        EXPECT_LE(asked.size(), 1u) << "day " << d;
    }
    // One pass every 12 hours, whatever the number of triggers.
    EXPECT_EQ(log.Count(logging::info, "Install Component: k Service s - Service is already running"), 10);
    EXPECT_TRUE(log.Contains(logging::info, "Install component: k a keeping pass is already on its way"));
}

TEST_F(InstallKeepingTest, NoPassWhileAPassOrARunIsUnderWayOrTheJobIsBusy) {
    auto job = Make(json::array({{{"name", "s"}}}));
    host->states = {{"s", platform::kServiceRunning}};
    std::promise<void> release;
    {
        std::lock_guard lock(job->taskMutex);
        job->monitorTask = std::async(std::launch::async, [f = release.get_future()]() mutable { f.wait(); });
    }
    job->Monitor();
    EXPECT_EQ(monitorReruns, (std::vector<int32_t>{1}));
    EXPECT_TRUE(log.Contains(logging::info, "Install component: k monitoring is already in progress..."));
    release.set_value();
    {
        std::lock_guard lock(job->taskMutex);
        job->monitorTask.wait();
    }

    std::promise<void> release_run;
    {
        std::lock_guard lock(job->taskMutex);
        job->processTask = std::async(std::launch::async, [f = release_run.get_future()]() mutable { f.wait(); });
    }
    Arrive(*job);
    job->Monitor();
    EXPECT_EQ(monitorReruns, (std::vector<int32_t>{1, 1}));
    EXPECT_TRUE(log.Contains(logging::info, "Install component: k processing of job is in progress..."));
    release_run.set_value();
    {
        std::lock_guard lock(job->taskMutex);
        job->processTask.wait();
    }

    // A job that is being processed again is not kept.
    job->SetJobStatus(Downloading, false);
    Pass(*job);
    EXPECT_EQ(monitorReruns.size(), 2u);
    EXPECT_TRUE(host->started.empty());
}

}  // namespace
}  // namespace zelko::plenar::agent

namespace zelko::plenar::agent {
namespace {

TEST_F(InstallKeepingTest, DamagedJobShadowIsTreatedAsMissing) {
    const json good = {{"state",
                        {{"desired",
                          {{"data", {{"timestamp", "T1"}, {"location_x64", "s3://b/k.sh"}, {"validationParams", json::object()}}}}}}}};
    const std::string text = good.dump();
    auto with = [&](const char* pointer, json value) {
        json copy = good;
        copy[json::json_pointer(pointer)] = std::move(value);
        return copy.dump();
    };
    struct Case {
        const char* name;
        std::string content;
        const char* why;
    } cases[] = {
        {"empty", "", "it is empty"},
        {"cut", text.substr(0, text.size() / 2), "it is not JSON"},
        {"not json", "timestamp=T1", "it is not JSON"},
        {"wrong shape", R"({"state": {"reported": {}}})", "it has no \"desired\" object"},
        {"array", "[1, 2]", "it has no \"state\" object"},
        {"data not object", with("/state/desired/data", "x"), "\"data\" is not an object"},
        {"timestamp number", with("/state/desired/data/timestamp", 5), "\"timestamp\" is not a text"},
        {"location null", with("/state/desired/data/location_x64", nullptr), "\"location_x64\" is not a text"},
        {"arguments array", with("/state/desired/data/arguments", json::array()), "\"arguments\" is not a text"},
        {"validation text", with("/state/desired/data/validationParams", "x"), "\"validationParams\" is not an object"},
        {"huge", with("/state/desired/data/checksum", std::string(2 << 20, 'a')), "it is larger than 1048576 bytes"},
        {"deep", std::string(1 << 20, '['), "it is not JSON"},
    };
    auto job = Make();
    std::string content;
    job->shadows.get = [&](const std::string&, std::string& out) {
        out = content;
        return Error();
    };
    for (const auto& c : cases) {
        content = c.content;
        zelko::testing::LogCapture lines;
        EXPECT_EQ(job->GetJobContent("k"), JobContent::NothingNew) << c.name;
        EXPECT_TRUE(lines.Contains(logging::error, std::string("Install component: k the job shadow k is damaged and "
                                                               "treated as missing: ") + c.why))
            << c.name;
        EXPECT_EQ(job->jobTimestamp, "") << c.name;
        EXPECT_FALSE(std::filesystem::exists(winpath::ToNative(job->jobFolder + "\\k"))) << c.name;
    }
    // A run over a damaged shadow leaves the job idle and asks for its usual next run.
    content = "{";
    std::vector<int64_t> reruns;
    job->rerunProcess = [&](bool, milliseconds delay, std::string) { reruns.push_back(delay.count()); };
    job->Process();
    {
        std::lock_guard lock(job->taskMutex);
        job->processTask.wait();
    }
    EXPECT_EQ(job->LastStatus(), Idle);
    EXPECT_EQ(reruns, (std::vector<int64_t>{720 * 60000}));
    // The sound document is taken.
    content = text;
    EXPECT_EQ(job->GetJobContent("k"), JobContent::Taken);
    EXPECT_EQ(job->jobTimestamp, "T1");
}

}  // namespace
}  // namespace zelko::plenar::agent
