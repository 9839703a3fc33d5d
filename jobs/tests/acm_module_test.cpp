#include "jobs/acm_module.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include "foundation/default_configs.h"
#include "foundation/utils.h"
#include "platform/clock.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/scoped_time_zone.h"
#include "testing/settings_table.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using shared::error::Error;
using zelko::logging::debug;
using zelko::logging::error;
using zelko::logging::info;

constexpr int64_t kSecond = kAcmTicksPerSecond;
constexpr int64_t kMinute = 60 * kSecond;
// 2026-03-02 10:00:00 UTC.
constexpr int64_t kMorning = 1772445600LL * kSecond;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string Text(const Event& event) {
    if (!event.lpEventData) return "";
    return std::string(reinterpret_cast<const char*>(event.lpEventData), event.dataSize);
}

Event TextEvent(uint32_t code, const std::string& text) { return Event(code, 0, text.c_str(), text.size() + 1); }

// A connectivity module whose shadow, IoT credential and S3 downloads the test sets.
class AcmConnectivity : public zelko::testing::FakeConnectivity {
  public:
    using Download = std::function<Error(const std::string& uri, const std::string& path)>;
    void SetDownload(Download download) {
        std::lock_guard lock(mutex_);
        download_ = std::move(download);
    }
    void SetCredential(std::shared_ptr<shared::iot::IoTCredential> credential,
                       std::shared_ptr<shared::iot::IotInfo> info) {
        std::lock_guard lock(mutex_);
        credential_ = std::move(credential);
        info_ = std::move(info);
    }
    Error DownloadFromS3(const std::string& uri, const std::string& path, uint64_t& size, bool& complete) override {
        Download download;
        {
            std::lock_guard lock(mutex_);
            download = download_;
        }
        if (!download) return Error(shared::error::ErrorCategory::EC_Network, 7, "no route");
        Error failure = download(uri, path);
        complete = !failure;
        return failure;
    }
    std::shared_ptr<shared::iot::IoTCredential> GetIotCredential() override {
        std::lock_guard lock(mutex_);
        return credential_;
    }
    std::shared_ptr<shared::iot::IotInfo> GetIotInfo() override {
        std::lock_guard lock(mutex_);
        return info_;
    }

  private:
    std::mutex mutex_;
    Download download_;
    std::shared_ptr<shared::iot::IoTCredential> credential_;
    std::shared_ptr<shared::iot::IotInfo> info_;
};

// The service's side in virtual time: requests are kept with their due time and delivered to the
// module, in due order, when the test moves the time on.
class VirtualBus {
  public:
    struct Request {
        int64_t due;
        int64_t delay;
        Event event;
    };

    void Ask(int64_t delay, Event event) {
        std::lock_guard lock(mutex_);
        asked_.push_back({now_ + delay, delay, event});
        pending_.push_back({now_ + delay, delay, std::move(event)});
        changed_.notify_all();
    }
    // Waits until `count` requests of that code were made in all.
    bool WaitFor(uint32_t code, size_t count = 1, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(code) >= count; });
    }
    size_t Count(uint32_t code) {
        std::lock_guard lock(mutex_);
        return CountLocked(code);
    }
    std::vector<Request> Asked(uint32_t code) {
        std::lock_guard lock(mutex_);
        std::vector<Request> found;
        for (const auto& request : asked_) {
            if (request.event.dwControl == code) found.push_back(request);
        }
        return found;
    }
    size_t Pending(uint32_t code) {
        std::lock_guard lock(mutex_);
        return std::count_if(pending_.begin(), pending_.end(),
                             [&](const Request& request) { return request.event.dwControl == code; });
    }
    // Delivers every request due by now + by, in due order (later requests included). The clock,
    // when given, moves with the bus.
    void Advance(AcmModule& module, int64_t by) {
        int64_t until;
        {
            std::lock_guard lock(mutex_);
            until = now_ + by;
        }
        while (true) {
            Event event;
            {
                std::lock_guard lock(mutex_);
                auto next = std::min_element(pending_.begin(), pending_.end(),
                                             [](const Request& a, const Request& b) { return a.due < b.due; });
                if (next == pending_.end() || next->due > until) {
                    if (clock) clock->Advance(until - now_);
                    now_ = until;
                    return;
                }
                if (clock) clock->Advance(next->due - now_);
                now_ = next->due;
                event = next->event;
                pending_.erase(next);
            }
            module.Process(event);
        }
    }

    platform::ScopedFakeClock* clock = nullptr;

  private:
    size_t CountLocked(uint32_t code) const {
        return std::count_if(asked_.begin(), asked_.end(),
                             [&](const Request& request) { return request.event.dwControl == code; });
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t now_ = 0;
    std::vector<Request> asked_;
    std::vector<Request> pending_;
};

struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Json> reports;
    std::vector<std::pair<Error, std::string>> errors;
    bool WaitForReport(size_t count = 1) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return reports.size() >= count; });
    }
};

class AcmModuleTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        connectivity = std::make_shared<AcmConnectivity>();
    }
    fs::path ConfigPath() const { return scratch() / "acm-module-config.json"; }
    fs::path Work() const { return root() / "ProgramData" / "Zelko" / "ACM-test"; }
    fs::path Cache() const { return Work() / "acm_job_cache.json"; }
    void Configure(Json extra = Json::object()) {
        Json config = {{"workFolder", "%programdata%/Zelko/ACM-test"}, {"defaultSchedule", 600}, {"sendReport", true}};
        config.update(extra);
        WriteFile(ConfigPath(), config.dump());
    }
    std::unique_ptr<AcmModule> Make() {
        return std::make_unique<AcmModule>(
            ConfigPath().string(), connectivity,
            [this](const Json& report) {
                std::lock_guard lock(reports.mutex);
                reports.reports.push_back(report);
                reports.changed.notify_all();
            },
            [this](Error e, const std::string& text) {
                std::lock_guard lock(reports.mutex);
                reports.errors.emplace_back(std::move(e), text);
                reports.changed.notify_all();
            },
            [this](int64_t delay, Event event) { bus.Ask(delay, std::move(event)); });
    }
    static void Send(AcmModule& module, Event event) { module.Process(event); }
    static std::string Job(const std::string& ival) {
        return Json{{"name", kAcmBkcJobName}, {"ival", ival}, {"ts", "t1"}}.dump();
    }
    static std::string Shadow(const Json& data) { return Json{{"state", {{"delta", {{"data", data}}}}}}.dump(); }

    zelko::testing::LogCapture log;
    std::shared_ptr<AcmConnectivity> connectivity;
    VirtualBus bus;
    Reports reports;
};

TEST_F(AcmModuleTest, ConfigurationValuesAndDefaults) {
    const fs::path exe = Utils::GetExecutableDirectory();
    struct Case {
        std::string content;
        int64_t schedule;
        fs::path work;
        fs::path schema;
    };
    const fs::path acm = root() / "ProgramData" / "Zelko" / "ACM";
    const std::vector<Case> cases = {
        {"", 60 * kSecond, acm, root() / "ProgramData" / "Zelko" / "Acm" / "Schema" / "corvane-config-schema-v1.json"},
        {"{}", 600 * kSecond, acm, exe / "schema"},
        {R"({"workFolder":"\\ACM","defaultSchedule":5})", 5 * kSecond, exe / "ACM", exe / "schema"},
        {R"({"workFolder":"/ACM"})", 600 * kSecond, exe / "ACM", exe / "schema"},
        {R"({"workFolder":"C:\\Data\\ACM"})", 600 * kSecond, root() / "Data\\ACM", exe / "schema"},
    };
    for (const auto& c : cases) {
        WriteFile(ConfigPath(), c.content);
        auto module = Make();
        EXPECT_EQ(module->DefaultSchedule(), c.schedule) << c.content;
        EXPECT_EQ(fs::path(module->WorkFolder()).lexically_normal() / "", c.work.lexically_normal() / "") << c.content;
        EXPECT_EQ(fs::path(module->SchemaPath()), c.schema) << c.content;
        EXPECT_TRUE(fs::is_directory(module->WorkFolder())) << c.content;
        EXPECT_FALSE(module->SendsReport());
        EXPECT_FALSE(module->IsRunning());
        module.reset();
        fs::remove_all(exe / "ACM");
    }
}

TEST_F(AcmModuleTest, DamagedConfigurationIsReplacedByTheBuiltInOneAndLogged) {
    for (const std::string& content :
         {std::string(), std::string("{\"workFolder\":\"x"), std::string("not json"),
          "{\"a\":\"" + std::string(3 << 20, 'x')}) {
        WriteFile(ConfigPath(), content);
        zelko::testing::LogCapture capture;
        auto module = Make();
        EXPECT_EQ(module->DefaultSchedule(), 60 * kSecond);
        EXPECT_TRUE(capture.Contains(error, ConfigPath().string()));
    }
}

TEST_F(AcmModuleTest, WrongShapesOfConfigurationRaise) {
    for (const char* content : {"[]", "5", R"({"workFolder":5})"}) {
        WriteFile(ConfigPath(), content);
        EXPECT_THROW(Make(), std::exception) << content;
    }
}

TEST_F(AcmModuleTest, DamagedSettingsAreTheirDefaultsWithAWarning) {
    struct Case {
        const char* content;
        const char* key;
    } cases[] = {
        {R"({"sendReport":"yes"})", "sendReport"},
        {R"({"runAtStart":1})", "runAtStart"},
        {R"({"defaultSchedule":"60"})", "defaultSchedule"},
        {R"({"defaultSchedule":-1})", "defaultSchedule"},
        {R"({"defaultSchedule":0})", "defaultSchedule"},
        {R"({"defaultSchedule":1e12})", "defaultSchedule"},
    };
    for (const auto& c : cases) {
        WriteFile(ConfigPath(), c.content);
        zelko::testing::LogCapture capture;
        auto module = Make();
        EXPECT_EQ(module->DefaultSchedule(), 600 * kSecond) << c.content;
        EXPECT_FALSE(module->SendsReport()) << c.content;
        EXPECT_FALSE(module->RunsAtStart()) << c.content;
        EXPECT_TRUE(capture.Contains(zelko::logging::warning,
                                     std::string("Setting \"") + c.key + "\" of " + ConfigPath().string()))
            << c.content;
    }
}

TEST_F(AcmModuleTest, StartStopAndCredentials) {
    Configure();
    auto module = Make();
    Send(*module, Event(AcmBkcDisable, 0));
    EXPECT_TRUE(log.Contains(info, "ACM is already stopped!"));
    Send(*module, Event(AcmBkcEnable, 0));
    Send(*module, Event(AcmBkcEnable, 0));
    EXPECT_TRUE(module->IsRunning());
    EXPECT_EQ(log.Count(info, "Starting ACM"), 1);
    EXPECT_TRUE(log.Contains(info, "ACM is already running!"));

    // Without a credential nothing reaches the engine and nothing is logged.
    Send(*module, Event(IotCredentialsReady, 0));
    EXPECT_FALSE(log.Contains(error, "Credentials"));
    auto info_record = std::make_shared<shared::iot::IotInfo>("eu-west-1", "", "", "", "", "", "", "", "", "", "", "");
    connectivity->SetCredential(
        std::make_shared<shared::iot::IoTCredential>(Error(), "", "secret", "token", "2026-12-10T15:00:00Z"),
        info_record);
    Send(*module, Event(IotCredentialsReady, 0));
    EXPECT_EQ(log.Count(error, "Failed to update ACM Credentials policy"), 1);
    connectivity->SetCredential(
        std::make_shared<shared::iot::IoTCredential>(Error(), "key", "secret", "token", "2026-12-10T15:00:00Z"),
        info_record);
    Send(*module, Event(IotCredentialsReady, 0));
    EXPECT_EQ(log.Count(error, "Failed to update ACM Credentials policy"), 1);

    Send(*module, TextEvent(AcmPolicies, "[1]"));
    EXPECT_TRUE(log.Contains(error, "Failed to update ACM policy"));

    Send(*module, Event(AcmBkcDisable, 0));
    EXPECT_FALSE(module->IsRunning());
    EXPECT_TRUE(log.Contains(info, "Stopping ACM"));
}

TEST_F(AcmModuleTest, NextRunWaitsForTheSoonerOfPolicyWindowAndSchedule) {
    zelko::testing::ScopedTimeZone zone("UTC");
    platform::ScopedFakeClock clock(kMorning);
    Configure();
    auto module = Make();
    struct Case {
        const char* policies;
        int64_t delay;
    };
    for (const Case& c : {Case{R"({"policyWindows":[{"start":"10:05","durationMinutes":30}]})", 300 * kSecond},
                          Case{R"({"policyWindows":[{"start":"09:00","durationMinutes":120}]})", 600 * kSecond},
                          Case{R"({"policyWindows":[{"start":"12:00","durationMinutes":30}]})", 600 * kSecond},
                          Case{"null", 600 * kSecond}}) {
        Send(*module, TextEvent(AcmPolicies, c.policies));
        int64_t delay = 0;
        ASSERT_TRUE(module->NeedsReschedule(delay, Event(AcmRunJob, 0))) << c.policies;
        EXPECT_EQ(delay, c.delay) << c.policies;
        // Pending until an event of the code arrives, whoever sent it.
        EXPECT_FALSE(module->NeedsReschedule(delay, Event(AcmRunJob, 0)));
        module->EventCalled(Event(AcmRunJob, 0));
    }
    int64_t delay = 5;
    EXPECT_TRUE(module->NeedsReschedule(delay, Event(AcmJobReceived, 0)));
    EXPECT_EQ(delay, 5);
    EXPECT_FALSE(module->NeedsReschedule(delay, Event(AcmJobStored, 0)));
    EXPECT_TRUE(log.Contains(info, "ACM NeedsReschedule invalid event 451"));
}

TEST_F(AcmModuleTest, CompletionsReportFailAndAskForOneNextRun) {
    Configure({{"sendReport", false}});
    auto module = Make();
    module->AcmCallback(shared::vorlix::ACM_RESULT_REPORT_AVAILABLE, "done");
    EXPECT_EQ(ReadFile(Work() / "acm_report.json"), "{}");
    EXPECT_TRUE(reports.reports.empty()) << "sendReport false";
    ASSERT_EQ(bus.Count(AcmRunJob), 1u);
    EXPECT_EQ(bus.Asked(AcmRunJob)[0].delay, 600 * kSecond);

    struct Case {
        shared::vorlix::ACM_CALLBACK_RESULT result;
        const char* message;
    };
    for (const Case& c : {Case{shared::vorlix::ACM_RESULT_MANIFEST_INVALID, "bad manifest"},
                          Case{shared::vorlix::ACM_RESULT_RESERVED, "Unknown result!"},
                          Case{shared::vorlix::ACM_RESULT_RUN_FAILED, "bad manifest"},
                          Case{shared::vorlix::ACM_RESULT_REPORT_NOT_STORED, "bad manifest"}}) {
        module->AcmCallback(c.result, "bad manifest");
        ASSERT_FALSE(reports.errors.empty());
        const auto& [e, text] = reports.errors.back();
        EXPECT_EQ(e.category(), shared::error::ErrorCategory::EC_Component);
        EXPECT_EQ(e.code(), c.result);
        EXPECT_EQ(e.what(), c.message);
        EXPECT_EQ(e.origin(), "AcmModule");
        EXPECT_EQ(text, "bad manifest");
    }
    EXPECT_EQ(bus.Count(AcmRunJob), 1u) << "a 452 is already on its way";
}

TEST_F(AcmModuleTest, StartRunsTheCachedJobAfterTenSecondsWithRunAtStart) {
    Configure({{"runAtStart", true}});
    WriteFile(Cache(), R"({"id":"cached","checks":[]})");
    auto module = Make();
    int64_t delay = 0;
    ASSERT_TRUE(module->NeedsReschedule(delay, Event(AcmRunJob, 0)));
    Send(*module, Event(AcmBkcEnable, 0));
    ASSERT_EQ(bus.Count(AcmRunJob), 1u) << "even while one is pending";
    EXPECT_EQ(bus.Asked(AcmRunJob)[0].delay, 10 * kSecond);

    bus.Advance(*module, 10 * kSecond);
    ASSERT_TRUE(reports.WaitForReport());
    EXPECT_EQ(reports.reports[0]["bkcConfigId"], "cached");
    EXPECT_EQ(Json::parse(ReadFile(Work() / "acm_report.json")), reports.reports[0]);
    module->Stop();
}

TEST_F(AcmModuleTest, JobCycleFromEntryToReportInVirtualTime) {
    platform::ScopedFakeClock clock(kMorning);
    bus.clock = &clock;
    Configure();
    connectivity->SetShadow(Shadow({{"id", "bkc-1"}, {"checks", Json::array()}}));
    auto module = Make();
    Send(*module, TextEvent(AcmJobReceived, Job("15")));
    EXPECT_EQ(connectivity->GetShadowCalls(), 0) << "the engine is stopped: the entry is only kept";
    ASSERT_EQ(module->Jobs().count(kAcmBkcJobName), 1u);

    Send(*module, Event(AcmBkcEnable, 0));
    ASSERT_EQ(bus.Count(AcmJobReceived), 1u);
    EXPECT_EQ(bus.Asked(AcmJobReceived)[0].delay, 15 * kMinute);
    EXPECT_EQ(Text(bus.Asked(AcmJobReceived)[0].event), Job("15") + std::string(1, '\0'));

    bus.Advance(*module, 15 * kMinute);  // the entry again: shadow read, update thread started
    EXPECT_EQ(connectivity->GetShadowCalls(), 1);
    ASSERT_TRUE(bus.WaitFor(AcmJobStored));
    EXPECT_EQ(bus.Asked(AcmJobStored)[0].delay, 10 * kSecond);
    EXPECT_EQ(bus.Count(AcmJobReceived), 2u) << "the next entry after the interval";
    EXPECT_EQ(Json::parse(ReadFile(Cache()))["id"], "bkc-1");

    bus.Advance(*module, 10 * kSecond);  // 451: joined, 452 asked in 10 s
    ASSERT_EQ(bus.Count(AcmRunJob), 1u);
    EXPECT_EQ(bus.Asked(AcmRunJob)[0].delay, 10 * kSecond);
    bus.Advance(*module, 10 * kSecond);  // 452: manifest pushed, engine runs and reports
    EXPECT_TRUE(log.Contains(info, "Push a manifest to ACM: {\"checks\":[],\"id\":\"bkc-1\"}"));
    ASSERT_TRUE(reports.WaitForReport());
    EXPECT_EQ(reports.reports[0]["bkcConfigId"], "bkc-1");
    ASSERT_TRUE(bus.WaitFor(AcmRunJob, 2));
    EXPECT_EQ(bus.Asked(AcmRunJob)[1].delay, 600 * kSecond);

    // The same cached document is pushed again at the next run.
    bus.Advance(*module, 600 * kSecond);
    ASSERT_TRUE(reports.WaitForReport(2));
    module->Stop();
}

TEST_F(AcmModuleTest, DailyJobEntriesOverDaysKeepOneChain) {
    platform::ScopedFakeClock clock(kMorning);
    bus.clock = &clock;
    Configure();
    connectivity->SetShadowError(Error(shared::error::ErrorCategory::EC_Component, 14, "no shadow"));
    auto module = Make();
    Send(*module, Event(AcmBkcEnable, 0));
    for (int day = 0; day < 5; ++day) {
        Send(*module, TextEvent(AcmJobReceived, Job("720")));  // the remote jobs task's daily run
        bus.Advance(*module, 24 * 60 * kMinute);
        EXPECT_EQ(bus.Pending(AcmJobReceived), 1u) << "day " << day;
    }
    // Each day: the task's entry and the chain's two, each reading the shadow once; the first day
    // also asks for the entry that starts the chain.
    EXPECT_EQ(connectivity->GetShadowCalls(), 15);
    EXPECT_EQ(bus.Count(AcmJobReceived), 11u);
    EXPECT_TRUE(log.Contains(info, "ACM: the next entry of job job-acm-bkc-cfg is already on its way"));
    module->Stop();
}

TEST_F(AcmModuleTest, JobIntervals) {
    Configure();
    struct Case {
        Json entry;
        bool asked;
        int64_t delay;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {{{"name", kAcmBkcJobName}, {"ival", "15"}}, true, 15 * kMinute, nullptr},
        {{{"name", kAcmBkcJobName}, {"ival", " 30min"}}, true, 30 * kMinute, nullptr},
        {{{"name", kAcmBkcJobName}}, true, 720 * kMinute, nullptr},
        {{{"name", kAcmBkcJobName}, {"ival", "abc"}}, true, 720 * kMinute, "ACM: failed to parse ival! "},
        {{{"name", kAcmBkcJobName}, {"ival", "99999999999"}}, true, 720 * kMinute, "ACM: failed to parse ival! "},
        {{{"name", kAcmBkcJobName}, {"ival", "0"}}, false, 0, "ACM Invalid job interval 0"},
        {{{"name", kAcmBkcJobName}, {"ival", "-5"}}, false, 0, "ACM Invalid job interval -5"},
    };
    // No job in the shadow: the next entry is still asked for.
    connectivity->SetShadowError(Error(shared::error::ErrorCategory::EC_Component, 14, "no shadow"));
    for (const auto& c : cases) {
        VirtualBus fresh;
        zelko::testing::LogCapture capture;
        auto module = std::make_unique<AcmModule>(ConfigPath().string(), connectivity, nullptr, nullptr,
                                                  [&](int64_t delay, Event event) { fresh.Ask(delay, event); });
        Send(*module, Event(AcmBkcEnable, 0));
        Send(*module, TextEvent(AcmJobReceived, c.entry.dump()));
        ASSERT_EQ(fresh.Count(AcmJobReceived), c.asked ? 1u : 0u) << c.entry;
        EXPECT_TRUE(capture.Contains(debug, "ACM: No job available in the shadow job-acm-bkc-cfg"));
        if (c.asked) {
            EXPECT_EQ(fresh.Asked(AcmJobReceived)[0].delay, c.delay) << c.entry;
            // The entry goes out with "ival" as read: empty when it was absent.
            EXPECT_EQ(Json::parse(Text(fresh.Asked(AcmJobReceived)[0].event).c_str())["ival"],
                      c.entry.value("ival", "")) << c.entry;
        }
        if (c.logged) {
            EXPECT_TRUE(capture.Contains(error, c.logged)) << c.entry;
        }
        module->Stop();
    }
}

TEST_F(AcmModuleTest, FailedDownloadRetriesAfterAMinute) {
    Configure();
    connectivity->SetShadow(Shadow("https://bucket/job.json"));
    auto module = Make();
    Send(*module, Event(AcmBkcEnable, 0));
    Send(*module, TextEvent(AcmJobReceived, Job("720")));
    ASSERT_TRUE(bus.WaitFor(AcmJobStored));
    ASSERT_EQ(bus.Count(AcmJobDownloadRetry), 1u);
    EXPECT_EQ(bus.Asked(AcmJobDownloadRetry)[0].delay, 60 * kSecond);
    EXPECT_EQ(Text(bus.Asked(AcmJobDownloadRetry)[0].event), std::string("\"https://bucket/job.json\"") + '\0');
    EXPECT_TRUE(log.Contains(error, "ACM job S3 download failed with error, "));
    EXPECT_FALSE(fs::exists(Cache()));

    connectivity->SetDownload([](const std::string& uri, const std::string& path) {
        WriteFile(path, R"({"id":"from-s3","checks":[]})");
        return Error();
    });
    bus.Advance(*module, 20 * kSecond);  // 451 and its 452: no cache yet
    EXPECT_TRUE(log.Contains(info, "No ACM job file found!"));
    bus.Advance(*module, 40 * kSecond);  // 450: a fresh thread downloads
    ASSERT_TRUE(bus.WaitFor(AcmJobStored, 2));
    EXPECT_EQ(Json::parse(ReadFile(Cache()))["id"], "from-s3");
    EXPECT_FALSE(fs::exists(Cache().string() + ".download"));
    module->Stop();
}

TEST_F(AcmModuleTest, UpdatesWhileAThreadIsUnjoinedAreDroppedAndAFailedUpdateStillFreesTheThread) {
    Configure();
    connectivity->SetShadow(Shadow({{"id", "a"}}));
    // The cache path is a folder that cannot be removed: the update raises.
    fs::create_directories(Cache() / "inside");
    auto module = Make();
    Send(*module, Event(AcmBkcEnable, 0));
    Send(*module, TextEvent(AcmJobReceived, Job("720")));
    ASSERT_TRUE(bus.WaitFor(AcmJobStored));
    EXPECT_TRUE(log.Contains(error, "AcmModule::SaveAcmJobCfg std::exception: "));
    Send(*module, TextEvent(AcmJobReceived, Job("720")));
    EXPECT_TRUE(log.Contains(info, "ACM update job already running!"));

    fs::remove_all(Cache());
    bus.Advance(*module, 10 * kSecond);  // 451 joins the failed thread
    Send(*module, TextEvent(AcmJobReceived, Job("720")));
    ASSERT_TRUE(bus.WaitFor(AcmJobStored, 2));
    EXPECT_EQ(Json::parse(ReadFile(Cache()))["id"], "a");
    module->Stop();
}

TEST_F(AcmModuleTest, DamagedEntriesShadowsAndCacheFilesAreLoggedAndNothingStops) {
    Configure();
    auto module = Make();
    Send(*module, Event(AcmBkcEnable, 0));
    const std::string huge = "{\"name\":\"" + std::string(3 << 20, 'x');
    for (const std::string& entry : {std::string(), std::string("{\"name\":"), std::string("not json"),
                                     std::string("[]"), std::string(R"({"name":5})"), huge}) {
        Send(*module, TextEvent(AcmJobReceived, entry));
        EXPECT_TRUE(module->Jobs().empty()) << entry.substr(0, 30);
    }
    EXPECT_EQ(log.Count(error, "AcmModule::Process json::exception: "), 6);
    EXPECT_EQ(bus.Count(AcmJobReceived), 0u);

    // Shadows: not JSON, cut, a level of the wrong type; and one without "data".
    int failures = log.Count(error, "AcmModule::Process json::exception: ");
    for (const std::string& shadow : {std::string("garbage"), std::string("{\"state\":{"),
                                      std::string(R"({"state":"x"})"), std::string(R"({"state":{"delta":[1]}})")}) {
        connectivity->SetShadow(shadow);
        Send(*module, TextEvent(AcmJobReceived, Job("720")));
        EXPECT_EQ(log.Count(error, "AcmModule::Process json::exception: "), ++failures) << shadow;
    }
    connectivity->SetShadow(R"({"state":null})");
    Send(*module, TextEvent(AcmJobReceived, Job("720")));
    ASSERT_TRUE(bus.WaitFor(AcmJobStored));
    EXPECT_TRUE(log.Contains(error, "Invalid ACM job!null"));
    bus.Advance(*module, 10 * kSecond);

    // Cache files: a damaged one is logged with its name; one that is no job is not pushed.
    for (const std::string& cache : {std::string(), std::string("{\"id\":"), std::string("not json"),
                                     "[" + std::string(3 << 20, ' ')}) {
        WriteFile(Cache(), cache);
        zelko::testing::LogCapture capture;
        Send(*module, Event(AcmRunJob, 0));
        EXPECT_TRUE(capture.Contains(error, Cache().string())) << cache.substr(0, 20);
        EXPECT_FALSE(capture.Contains(info, "Push a manifest")) << cache.substr(0, 20);
    }
    for (const std::string& cache : {std::string("[1]"), std::string(R"({"name":"x"})")}) {
        WriteFile(Cache(), cache);
        zelko::testing::LogCapture capture;
        Send(*module, Event(AcmRunJob, 0));
        EXPECT_TRUE(capture.Contains(info, "Invalid ACM job found!")) << cache;
    }
    // A document with an id that the engine refuses asks for another run through the rule.
    WriteFile(Cache(), R"({"id":"x","checks":"none"})");
    Send(*module, Event(AcmRunJob, 0));
    EXPECT_TRUE(log.Contains(error, "Failed to push ACM job"));
    EXPECT_EQ(bus.Count(AcmRunJob), 2u);
    EXPECT_TRUE(module->IsRunning());

    Send(*module, Event(AcmBkcDisable, 0));
    Send(*module, Event(AcmRunJob, 0));
    EXPECT_TRUE(log.Contains(error, "Cannot run BKC, as ACM is not running!"));
}

// Every numeric and boolean key of the built-in document and the two switches it leaves out, damaged
// five ways: the module is built, runs its cached job and asks for the next run no sooner than a
// second later, once, and stops with no thread left behind.
TEST_F(AcmModuleTest, EveryNumericAndBooleanSettingDamagedFiveWays) {
    Json base = Json::parse(*FindDefaultConfig(DefaultConfigs(), "acm-module-config.json", ConfigVariant::Standard));
    base.update({{"workFolder", "%programdata%/Zelko/ACM-test"}, {"sendReport", false}, {"runAtStart", false}});
    const auto leaves = zelko::testing::NumericLeaves(base);
    ASSERT_EQ(leaves.size(), 3u);
    const size_t threads = zelko::testing::ThreadCount();
    for (const auto& leaf : leaves) {
        const std::string key = zelko::testing::LeafKey(leaf);
        for (const Json& value : zelko::testing::DamagedSettingValues()) {
            SCOPED_TRACE(leaf.to_string() + " = " + value.dump());
            const auto started = std::chrono::steady_clock::now();
            Json document = base;
            document[leaf] = value;
            WriteFile(ConfigPath(), document.dump());
            WriteFile(Cache(), R"({"id":"cached","checks":[]})");
            VirtualBus cycle;
            zelko::testing::LogCapture capture;
            std::unique_ptr<AcmModule> module;
            ASSERT_NO_THROW(module = std::make_unique<AcmModule>(
                                ConfigPath().string(), connectivity, [](const Json&) {},
                                [](Error, const std::string&) {},
                                [&](int64_t delay, Event event) { cycle.Ask(delay, std::move(event)); }));
            EXPECT_FALSE(module->RunsAtStart());
            EXPECT_FALSE(module->SendsReport());

            Send(*module, Event(AcmBkcEnable, 0));
            ASSERT_EQ(cycle.Count(AcmRunJob), 1u);
            cycle.Advance(*module, cycle.Asked(AcmRunJob)[0].delay);
            EXPECT_TRUE(capture.Contains(info, "Push a manifest to ACM"));
            ASSERT_TRUE(capture.WaitFor(info, "ACM Finished"));
            ASSERT_TRUE(cycle.WaitFor(AcmRunJob, 2));
            EXPECT_GE(cycle.Asked(AcmRunJob)[1].delay, kSecond);
            EXPECT_FALSE(cycle.WaitFor(AcmRunJob, 3, 20ms));

            const std::string named = "Setting \"" + key + "\" of " + ConfigPath().string();
            if (value.is_string() || value.is_null()) {
                EXPECT_EQ(capture.Count(zelko::logging::warning, named), 1);
            }
            EXPECT_EQ(capture.Count(zelko::logging::warning, "\"" + key + "\""),
                      capture.Count(zelko::logging::warning, named));

            module->Stop();
            EXPECT_FALSE(module->IsRunning());
            module.reset();
            EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads), threads);
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        }
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
