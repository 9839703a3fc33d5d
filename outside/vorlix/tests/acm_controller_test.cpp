#include "outside/vorlix/acm_controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/registry.h"
#include "testing/log_capture.h"
#include "testing/scoped_time_zone.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::vorlix {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// 2026-03-02 10:00:00 UTC.
constexpr int64_t kMorning = 1772445600LL * platform::kTicksPerSecond;
constexpr int64_t kMinute = 60 * platform::kTicksPerSecond;

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Records the completion calls and the thread they came on.
struct Completions {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<ACM_CALLBACK_RESULT, std::string>> calls;
    std::thread::id thread;

    static void Callback(ACM_CALLBACK_RESULT result, const char* text, void* user) {
        auto* self = static_cast<Completions*>(user);
        std::lock_guard lock(self->mutex);
        self->calls.emplace_back(result, text);
        self->thread = std::this_thread::get_id();
        self->changed.notify_all();
    }
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return calls.size() >= count; });
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
};

class AcmControllerTest : public zelko::testing::SystemRootTest {
  protected:
    fs::path Work() const { return scratch() / "acm"; }
    std::unique_ptr<AcmController> Make(logging::IAppender* appender = nullptr) {
        fs::create_directories(Work());
        auto controller = std::make_unique<AcmController>(Work().string(), "ManifestQueue.json", "TaskList.json",
                                                          "schema", false, &Completions::Callback, &completions, true);
        controller->AddLogAppender(logging::verbose, appender ? appender : &log);
        return controller;
    }
    zelko::testing::LogCapture log;
    Completions completions;
};

TEST_F(AcmControllerTest, RunsManifestChecksOnItsThreadAndKeepsTheReport) {
    WriteFile(root() / "ProgramData" / "Zelko" / "marker.txt", "policy=strict\n");
    platform::RegistryKey key;
    ASSERT_EQ(platform::RegistryKey::Create(platform::RegistryHive::LocalMachine, "SOFTWARE\\Zelko", key), 0u);
    key.SetStringValue("Mode", "locked");

    auto controller = Make();
    EXPECT_FALSE(controller->IsRunning());
    EXPECT_FALSE(controller->AddManifest(R"({"id":"m","checks":[]})")) << "refused while stopped";
    ASSERT_TRUE(controller->Start());
    EXPECT_FALSE(controller->Start());
    EXPECT_TRUE(controller->IsRunning());

    Json manifest = {{"id", "bkc-7"},
                     {"checks",
                      {{{"id", "present"}, {"type", "file"}, {"path", "%programdata%/Zelko/marker.txt"},
                        {"contains", "strict"}},
                       {{"id", "absent"}, {"type", "file"}, {"path", "%programdata%/none"}, {"exists", false}},
                       {{"id", "wrong-text"}, {"type", "file"}, {"path", "%programdata%/Zelko/marker.txt"},
                        {"contains", "loose"}},
                       {{"id", "reg"}, {"type", "registry"}, {"key", "HKLM\\SOFTWARE\\Zelko"}, {"name", "Mode"},
                        {"equals", "locked"}},
                       {{"id", "reg-missing"}, {"type", "registry"}, {"key", "HKLM\\SOFTWARE\\Zelko"},
                        {"name", "Other"}},
                       {{"id", "bad-hive"}, {"type", "registry"}, {"key", "HKXX\\A"}, {"name", "B"}}}}};
    ASSERT_TRUE(controller->AddManifest(manifest.dump()));
    ASSERT_TRUE(completions.WaitFor(1));
    EXPECT_EQ(completions.calls[0].first, ACM_RESULT_REPORT_AVAILABLE);
    EXPECT_NE(completions.thread, std::this_thread::get_id());

    Json report = controller->GetReport();
    EXPECT_EQ(report["bkcConfigId"], "bkc-7");
    EXPECT_EQ(report["compliant"], false);
    EXPECT_TRUE(report["agentEvaluationTimeStamp"].is_string());
    std::vector<std::string> statuses;
    for (const auto& status : report["bkcStatus"]) statuses.push_back(status["quenloExitStatus"]);
    EXPECT_EQ(statuses, (std::vector<std::string>{"SUCCESS", "SUCCESS", "FAILURE", "SUCCESS", "FAILURE", "ERROR"}));

    // The report outlives the engine.
    controller->Cancel();
    EXPECT_FALSE(controller->IsRunning());
    controller.reset();
    EXPECT_EQ(Make()->GetReport(), report);
}

TEST_F(AcmControllerTest, RefusesInvalidManifests) {
    auto controller = Make();
    ASSERT_TRUE(controller->Start());
    for (const char* manifest : {
             "",
             "{\"id\":",
             "not json",
             "[]",
             R"({"checks":[]})",
             R"({"id":"","checks":[]})",
             R"({"id":7,"checks":[]})",
             R"({"id":"m"})",
             R"({"id":"m","checks":{}})",
             R"({"id":"m","checks":[5]})",
             R"({"id":"m","checks":[{"id":"c","type":"dance"}]})",
             R"({"id":"m","checks":[{"id":"c","type":"file"}]})",
             R"({"id":"m","checks":[{"id":"c","type":"file","path":"x","exists":"yes"}]})",
             R"({"id":"m","checks":[{"id":"c","type":"registry","key":"HKLM\\A"}]})",
             R"({"id":"m","checks":[{"type":"file","path":"x"}]})",
         }) {
        EXPECT_FALSE(controller->AddManifest(manifest)) << manifest;
    }
    EXPECT_EQ(completions.Count(), 0u);
}

TEST_F(AcmControllerTest, RunsOnlyWithinThePolicyWindow) {
    zelko::testing::ScopedTimeZone zone("UTC");
    platform::ScopedFakeClock clock(kMorning);
    auto controller = Make();
    auto start = std::make_shared<std::tm>();
    auto end = std::make_shared<std::tm>();
    EXPECT_FALSE(controller->GetNextPolicyWindow(start, end)) << "no windows";

    ASSERT_TRUE(controller->SetPolicies(R"({"policyWindows":[{"start":"10:05","durationMinutes":30}]})"));
    ASSERT_TRUE(controller->GetNextPolicyWindow(start, end));
    EXPECT_EQ(start->tm_hour, 10);
    EXPECT_EQ(start->tm_min, 5);
    EXPECT_EQ(end->tm_min, 35);

    ASSERT_TRUE(controller->Start());
    ASSERT_TRUE(controller->AddManifest(R"({"id":"m","checks":[]})"));
    EXPECT_FALSE(completions.WaitFor(1, 200ms)) << "ran before the window";

    clock.Advance(5 * kMinute);
    ASSERT_TRUE(completions.WaitFor(1));
    // Inside the window the open one is the next; after it, tomorrow's.
    ASSERT_TRUE(controller->GetNextPolicyWindow(start, end));
    EXPECT_EQ(start->tm_mday, 2);
    clock.Advance(40 * kMinute);
    ASSERT_TRUE(controller->GetNextPolicyWindow(start, end));
    EXPECT_EQ(start->tm_mday, 3);
    EXPECT_EQ(start->tm_hour, 10);

    // The text null clears the windows.
    EXPECT_TRUE(controller->SetPolicies("null"));
    EXPECT_FALSE(controller->GetNextPolicyWindow(start, end));
}

TEST_F(AcmControllerTest, RefusesInvalidPoliciesAndKeepsTheOldOnes) {
    auto controller = Make();
    ASSERT_TRUE(controller->SetPolicies(R"({"policyWindows":[{"start":"01:00","durationMinutes":10}]})"));
    for (const char* policies : {
             "", "{", "[]", "7", R"({"policyWindows":{}})", R"({"policyWindows":[1]})",
             R"({"policyWindows":[{"start":"25:00","durationMinutes":10}]})",
             R"({"policyWindows":[{"start":"1:00","durationMinutes":10}]})",
             R"({"policyWindows":[{"start":"01:00"}]})",
             R"({"policyWindows":[{"start":"01:00","durationMinutes":0}]})",
             R"({"policyWindows":[{"start":"01:00","durationMinutes":"10"}]})",
         }) {
        EXPECT_FALSE(controller->SetPolicies(policies)) << policies;
    }
    EXPECT_TRUE(controller->GetNextPolicyWindow(std::make_shared<std::tm>(), std::make_shared<std::tm>()));
    EXPECT_TRUE(controller->SetPolicies("{}"));
    EXPECT_FALSE(controller->GetNextPolicyWindow(std::make_shared<std::tm>(), std::make_shared<std::tm>()));
    EXPECT_FALSE(controller->SetCredentials("", "token", "secret", "", "eu", ""));
    EXPECT_TRUE(controller->SetCredentials("key", "token", "secret", "", "eu", ""));
}

TEST_F(AcmControllerTest, QueuedManifestsSurviveARestart) {
    zelko::testing::ScopedTimeZone zone("UTC");
    platform::ScopedFakeClock clock(kMorning);
    {
        auto controller = Make();
        ASSERT_TRUE(controller->SetPolicies(R"({"policyWindows":[{"start":"12:00","durationMinutes":30}]})"));
        ASSERT_TRUE(controller->Start());
        ASSERT_TRUE(controller->AddManifest(R"({"id":"a","checks":[]})"));
        ASSERT_TRUE(controller->AddManifest(R"({"id":"a","checks":[]})")) << "replaces the queued one";
    }
    auto controller = Make();
    ASSERT_TRUE(controller->Start());
    ASSERT_TRUE(completions.WaitFor(1));
    EXPECT_EQ(controller->GetReport()["bkcConfigId"], "a");
    EXPECT_FALSE(completions.WaitFor(2, 100ms)) << "ran once";
}

TEST_F(AcmControllerTest, DamagedFilesAreTakenAsEmptyAndLogged) {
    const std::string huge = "[" + std::string(4 << 20, ' ') + "{\"id\":";
    for (const std::string& content :
         {std::string(), std::string("[{\"id\":\"a\",\"ch"), std::string("not json"), std::string("{\"a\":1}"),
          std::string("[{\"id\":5,\"checks\":[]}]"), huge}) {
        WriteFile(Work() / "ManifestQueue.json", content);
        WriteFile(Work() / "TaskList.json", content == "{\"a\":1}" ? "[1]" : content);
        zelko::testing::LogCapture capture;
        auto controller = Make(&capture);
        EXPECT_EQ(controller->GetReport(), Json::object()) << content.substr(0, 40);
        EXPECT_TRUE(capture.Contains(logging::error, (Work() / "TaskList.json").string())) << content.substr(0, 40);
        bool queue_logged = capture.Contains(logging::error, (Work() / "ManifestQueue.json").string()) ||
                            capture.Contains(logging::warning, (Work() / "ManifestQueue.json").string());
        EXPECT_TRUE(queue_logged) << content.substr(0, 40);
        ASSERT_TRUE(controller->Start());
        EXPECT_FALSE(completions.WaitFor(1, 50ms)) << "nothing queued";
    }
}

}  // namespace
}  // namespace zelko::shared::vorlix
