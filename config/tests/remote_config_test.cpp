#include "config/remote_config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "config/config_service.h"
#include "consent/consent_manager.h"
#include "foundation/error_conversion.h"
#include "foundation/utils_files.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::config {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;
using shared::error::Error;
using shared::error::ErrorCategory;

constexpr const char* kTopic = "$aws/things/device/shadow/name/grants/update/accepted";
constexpr const char* kWatchUp = "RegistryMonitor::Monitor  Listening for registry changes...";

std::string Shadow(int64_t version, const json& data) {
    return json{{"version", version}, {"state", {{"desired", {{"data", data}}}}}}.dump();
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The owner's side: every announced save, with the document as it was announced.
class Announcements {
  public:
    RemoteConfig::ChangeCallback Callback() {
        return [this](std::shared_ptr<BaseConfig> config) {
            json document = config->GetConfig();
            std::lock_guard lock(mutex_);
            documents_.push_back(std::move(document));
            cv_.notify_all();
        };
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return documents_.size();
    }
    json Last() {
        std::lock_guard lock(mutex_);
        return documents_.empty() ? json() : documents_.back();
    }
    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return documents_.size() >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<json> documents_;
};

// Consent that cannot be read once the test says so: the failure meets the registry watch's
// callback on the monitor's thread.
class FailingConsent : public zelko::testing::FakeConnectivity {
  public:
    bool IsValidConsent() override {
        if (fail) throw std::runtime_error("consent store unreadable");
        return FakeConnectivity::IsValidConsent();
    }
    std::atomic<bool> fail{false};
};

// Files written meanwhile may not grow past the limit, which holds for root as well.
class ScopedFileSizeLimit {
  public:
    explicit ScopedFileSizeLimit(rlim_t bytes) : old_handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit small = old_;
        small.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~ScopedFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }

  private:
    rlimit old_{};
    void (*old_handler_)(int);
};

class RemoteConfigTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        shadow_ = "rc-" + std::to_string(::getpid()) + "-" + info->name();
        connectivity_ = std::make_shared<zelko::testing::FakeConnectivity>();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove(StatePath(), ignored);
    }

    std::shared_ptr<RemoteConfig> Make(bool watch, const std::string& topic = "",
                                       const ordered_json& defaults = ordered_json::object()) {
        return RemoteConfig::Create("grants", shadow_, connectivity_, topic, watch, announcements_.Callback(),
                                    defaults, scratch(), "RemoteConfigs");
    }
    fs::path StatePath() const { return agent::Utils::GetExecutableDirectory() / (shadow_ + "-state.json"); }
    fs::path ConfigPath() const { return scratch() / "RemoteConfigs" / "grants-config.json"; }
    json StoredShadow() const { return json::parse(ReadText(StatePath())).value("shadow_data", json()); }
    // Releases the configuration and waits until its registry watch is closed: a registry callback
    // in flight holds the configuration (and may still call back) for a moment after the owner
    // lets go, and the configuration then ends on the monitor's thread.
    void Drop(std::shared_ptr<RemoteConfig>& config) {
        const char* closed = "~RegistryMonitor Closing registry event and registry.";
        int before = log_.Count(logging::info, closed);
        config.reset();
        EXPECT_TRUE(log_.WaitFor(logging::info, closed, before + 1));
    }
    void CreateConsentKey() {
        ASSERT_EQ(agent::ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine,
                                                             RemoteConfig::kConsentKey, "Seed", "0"),
                  0);
    }
    void TouchConsentKey(const std::string& value) {
        ASSERT_EQ(
            agent::ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine,
                                                       RemoteConfig::kConsentKey, "AllowAIExperience", value),
            0);
    }

    zelko::testing::LogCapture log_;
    std::string shadow_;
    std::shared_ptr<zelko::testing::FakeConnectivity> connectivity_;
    Announcements announcements_;
};

TEST_F(RemoteConfigTest, FreshConfigurationWritesOnlyAnEmptyStateFile) {
    auto config = Make(false, "", ordered_json{{"data", {{"x", 1}}}, {"other", 2}});
    // Without a stored shadow, "data" is replaced by null; other default keys stay.
    EXPECT_EQ(config->GetConfig(), (json{{"data", nullptr}, {"other", 2}}));
    EXPECT_EQ(ReadText(StatePath()), "{}");
    EXPECT_FALSE(fs::exists(ConfigPath()));
    EXPECT_EQ(announcements_.Count(), 0u);
}

TEST_F(RemoteConfigTest, FetchedVersionRules) {
    auto config = Make(false);
    connectivity_->SetShadow(Shadow(3, {{"grants", {"a"}}}));
    EXPECT_FALSE(config->Fetch());
    EXPECT_EQ(announcements_.Count(), 1u);
    EXPECT_EQ(json::parse(ReadText(ConfigPath())), (json{{"data", {{"grants", {"a"}}}}}));
    EXPECT_EQ(StoredShadow()["version"], 3);
    // The state file is compact and has no line end after its closing brace.
    std::string state_text = ReadText(StatePath());
    EXPECT_EQ(state_text, json::parse(state_text).dump());

    // Equal and older versions without a pending error write nothing.
    fs::remove(ConfigPath());
    for (int version : {3, 2}) {
        connectivity_->SetShadow(Shadow(version, {{"grants", {"old"}}}));
        EXPECT_FALSE(config->Fetch());
    }
    EXPECT_FALSE(fs::exists(ConfigPath()));
    EXPECT_EQ(announcements_.Count(), 1u);
    EXPECT_TRUE(log_.Contains(logging::warning, "Shadow event is outdated and will be discarded."));
    EXPECT_TRUE(
        log_.Contains(logging::debug, "Fetch - No change in shadow version detected. JSON file will not"));

    // A fetch error is recorded, saved, announced and returned unchanged.
    Error failure(ErrorCategory::EC_Component, 14, R"({"error":"x","http_code":500,"iot_code":0})", "int",
                  "");
    connectivity_->SetShadowError(failure);
    EXPECT_EQ(config->Fetch(), failure);
    EXPECT_EQ(announcements_.Last()["agent_error"], agent::error::ErrorToString(failure));
    EXPECT_EQ(announcements_.Last()["data"], (json{{"grants", {"a"}}}));

    // An equal version clears the pending error.
    connectivity_->SetShadow(Shadow(3, {{"grants", {"a"}}}));
    EXPECT_FALSE(config->Fetch());
    EXPECT_EQ(announcements_.Count(), 3u);
    EXPECT_FALSE(announcements_.Last().contains("agent_error"));
    EXPECT_TRUE(log_.Contains(logging::debug, "but agent_error should be reset"));

    // A document out of shadow format becomes the data; the stored version stays.
    connectivity_->SetShadow(R"({"version": 5})");
    EXPECT_FALSE(config->Fetch());
    EXPECT_EQ(announcements_.Last()["data"], (json{{"version", 5}}));
    EXPECT_NE(announcements_.Last()["agent_error"].get<std::string>().find("Invalid shadow format"),
              std::string::npos);
    EXPECT_EQ(StoredShadow()["version"], 3);
    connectivity_->SetShadow(Shadow(4, "four"));
    EXPECT_FALSE(config->Fetch());
    EXPECT_EQ(announcements_.Last(), (json{{"data", "four"}}));

    connectivity_->SetShadow("not json");
    EXPECT_THROW(config->Fetch(), json::parse_error);
}

// A document from the cloud nested past the limit is damaged: refused with the format error, and
// the stored shadow stays. One within the limit is stored at about its own size.
TEST_F(RemoteConfigTest, DeeplyNestedShadowIsRefusedAndStateFilesStayCompact) {
    auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += R"({"a":)";
        text += "1";
        text += std::string(levels, '}');
        return text;
    };
    auto config = Make(false);
    // The shadow's own "state", "desired" and "data" take three levels.
    const std::string fits = R"({"version": 3, "state": {"desired": {"data": )" + nested(60) + "}}}";
    connectivity_->SetShadow(fits);
    EXPECT_FALSE(config->Fetch());
    EXPECT_EQ(StoredShadow()["version"], 3);
    EXPECT_LT(ReadText(StatePath()).size(), 2 * fits.size());

    for (const int levels : {62, 3000}) {
        SCOPED_TRACE(levels);
        const std::string deep =
            R"({"version": 4, "state": {"desired": {"data": )" + nested(levels) + "}}}";
        connectivity_->SetShadow(deep);
        EXPECT_FALSE(config->Fetch());
        EXPECT_NE(announcements_.Last()["agent_error"].get<std::string>().find("Invalid shadow format"),
                  std::string::npos);
        EXPECT_EQ(announcements_.Last()["data"], json::parse(fits)["state"]["desired"]["data"]);
        EXPECT_EQ(StoredShadow()["version"], 3);
        EXPECT_LT(ReadText(StatePath()).size(), 2 * fits.size());
        EXPECT_LT(ReadText(ConfigPath()).size(), 2 * fits.size());
        EXPECT_TRUE(log_.Contains(logging::warning, "The shadow " + shadow_ + " is nested deeper than 64 levels"));
    }
}

TEST_F(RemoteConfigTest, FetchErrorOnAFreshConfiguration) {
    auto config = Make(false);
    Error failure(ErrorCategory::EC_Component, 1, "IoT device is not initialized.", "type", "");
    connectivity_->SetShadowError(failure);
    EXPECT_EQ(config->Fetch(), failure);
    EXPECT_EQ(json::parse(ReadText(ConfigPath())),
              (json{{"data", nullptr}, {"agent_error", agent::error::ErrorToString(failure)}}));
    EXPECT_EQ(announcements_.Count(), 1u);
}

TEST_F(RemoteConfigTest, VersionsThatAreNotNumbers) {
    auto config = Make(false);
    EXPECT_TRUE(config->IsNewVersionOfShadow(json{{"version", 1.9}}));
    connectivity_->SetShadow(Shadow(2, 1));
    ASSERT_FALSE(config->Fetch());
    EXPECT_FALSE(config->IsNewVersionOfShadow(json{{"version", 2.9}}));
    EXPECT_TRUE(config->IsNewVersionOfShadow(json{{"version", 1e300}}));
    EXPECT_FALSE(config->IsNewVersionOfShadow(json{{"version", "9"}}));
    EXPECT_TRUE(log_.Contains(logging::warning, "Error while parsing version "));
    EXPECT_FALSE(config->IsNewVersionOfShadow(json{{"state", 1}}));
}

TEST_F(RemoteConfigTest, PushedVersionRulesAndNothingEscapesTheCallback) {
    auto config = Make(false, kTopic);
    ASSERT_FALSE(config->Subscribe());
    EXPECT_TRUE(connectivity_->IsSubscribed(kTopic, shadow_));

    connectivity_->Push(kTopic, Shadow(1, {{"grants", {"g"}}}));
    EXPECT_EQ(announcements_.Count(), 1u);
    connectivity_->Push(kTopic, Shadow(1, {{"grants", {"other"}}}));
    EXPECT_EQ(announcements_.Count(), 1u);
    EXPECT_TRUE(log_.Contains(logging::debug, "OnTopicChange - No change in shadow version detected."));

    Error failure(ErrorCategory::EC_Network, 7, "lost", "int", "");
    connectivity_->Push(kTopic, "", failure);
    EXPECT_EQ(announcements_.Count(), 2u);
    EXPECT_EQ(announcements_.Last()["agent_error"], agent::error::ErrorToString(failure));
    connectivity_->Push(kTopic, Shadow(1, {{"grants", {"g"}}}));
    EXPECT_EQ(announcements_.Count(), 3u);
    EXPECT_FALSE(announcements_.Last().contains("agent_error"));

    // Text that is not JSON is recorded as the configuration's error instead of escaping.
    connectivity_->Push(kTopic, "{broken");
    EXPECT_EQ(announcements_.Count(), 4u);
    EXPECT_NE(announcements_.Last()["agent_error"].get<std::string>().find("parse error"), std::string::npos);
    EXPECT_EQ(announcements_.Last()["data"], (json{{"grants", {"g"}}}));

    connectivity_->Push(kTopic, Shadow(2, {{"grants", {"h"}}}));
    EXPECT_EQ(announcements_.Last(), (json{{"data", {{"grants", {"h"}}}}}));

    config.reset();
    EXPECT_FALSE(connectivity_->IsSubscribed(kTopic, shadow_));
    EXPECT_EQ(connectivity_->UnsubCalls(), 1);
}

TEST_F(RemoteConfigTest, RefusedSubscription) {
    auto config = Make(false, kTopic);
    connectivity_->SetSubResult({200, 0, std::nullopt, {}});
    Error error = config->Subscribe();
    EXPECT_EQ(error.category(), ErrorCategory::EC_Component);
    EXPECT_EQ(error.code(), -1);
    EXPECT_EQ(error.type(), "int");
    json message = json::parse(error.what());
    EXPECT_EQ(message["http_code"], 200);
    EXPECT_EQ(message["iot_code"], 0);
    EXPECT_EQ(error.what().find(R"({"error":)"), 0u);
    EXPECT_LT(error.what().find("http_code"), error.what().find("iot_code"));

    // The client's error text may hold bytes that are not UTF-8: still a refusal, never a throw.
    connectivity_->SetSubResult({0, 3, std::nullopt, Error(ErrorCategory::EC_Network, 1, "bad \xff byte")});
    Error refused;
    ASSERT_NO_THROW(refused = config->Subscribe());
    EXPECT_EQ(refused.code(), -1);
    EXPECT_EQ(json::parse(refused.what())["iot_code"], 3);
}

TEST_F(RemoteConfigTest, NoTopicMeansNoUnsubscribe) {
    auto config = Make(false);
    EXPECT_FALSE(config->Subscribe());
    config.reset();
    EXPECT_EQ(connectivity_->SubCalls(), 0);
    EXPECT_EQ(connectivity_->UnsubCalls(), 0);
}

TEST_F(RemoteConfigTest, StateFilesThatCannotBeUsedAreRewritten) {
    for (const char* content : {"[1, 2]", "{\"shadow_data\": ", "7"}) {
        std::ofstream(StatePath(), std::ios::trunc) << content;
        std::shared_ptr<RemoteConfig> config;
        ASSERT_NO_THROW(config = Make(false)) << content;
        EXPECT_EQ(config->GetConfig(), (json{{"data", nullptr}})) << content;
        EXPECT_EQ(ReadText(StatePath()), "{}") << content;
    }
    // Other keys of a good state file are kept when it is written back.
    std::ofstream(StatePath(), std::ios::trunc) << R"({"extra": 1, "shadow_data": )" << Shadow(4, "x") << "}";
    auto config = Make(false);
    EXPECT_EQ(config->GetConfig(), (json{{"data", "x"}}));
    connectivity_->SetShadow(Shadow(5, "y"));
    ASSERT_FALSE(config->Fetch());
    EXPECT_EQ(json::parse(ReadText(StatePath()))["extra"], 1);
}

TEST_F(RemoteConfigTest, StoredShadowsOfAnotherShapeAreDroppedInsteadOfFailingEveryStart) {
    for (const char* shadow : {R"("x")", R"({"state": 3})", R"({"state": {"desired": []}})"}) {
        std::ofstream(StatePath(), std::ios::trunc) << R"({"extra": 1, "shadow_data": )" << shadow << "}";
        std::shared_ptr<RemoteConfig> config;
        ASSERT_NO_THROW(config = Make(false)) << shadow;
        EXPECT_EQ(config->GetConfig(), (json{{"data", nullptr}})) << shadow;
        EXPECT_EQ(json::parse(ReadText(StatePath())), (json{{"extra", 1}})) << shadow;
    }
    // A null "state" or "desired" is usable: the lookup makes objects of them.
    for (const char* shadow : {R"({"state": null})", R"({"state": {"desired": null}})"}) {
        std::ofstream(StatePath(), std::ios::trunc) << R"({"shadow_data": )" << shadow << "}";
        std::shared_ptr<RemoteConfig> config;
        ASSERT_NO_THROW(config = Make(false)) << shadow;
        EXPECT_EQ(config->GetConfig(), (json{{"data", nullptr}})) << shadow;
        EXPECT_EQ(StoredShadow(), json::parse(shadow)) << shadow;
    }
}

TEST_F(RemoteConfigTest, TelemetryGrantIsAddedOnlyWhereTheDataCanHoldIt) {
    CreateConsentKey();
    connectivity_->SetConsent(true);
    for (const json& data : {json("text"), json{1, 2}, json{{"grants", "all"}}}) {
        std::ofstream(StatePath(), std::ios::trunc) << R"({"shadow_data": )" << Shadow(1, data) << "}";
        std::shared_ptr<RemoteConfig> config;
        ASSERT_NO_THROW(config = Make(true)) << data;
        EXPECT_EQ(config->GetConfig()["data"], data);
    }
    // A null list becomes a list holding the grant.
    std::ofstream(StatePath(), std::ios::trunc) << R"({"shadow_data": )" << Shadow(1, {{"grants", nullptr}}) << "}";
    EXPECT_EQ(Make(true)->GetConfig()["data"], (json{{"grants", {RemoteConfig::kTelemetryGrant}}}));
}

TEST_F(RemoteConfigTest, ErrorTextsThatAreNotUtf8AreStoredEscaped) {
    auto config = Make(false, kTopic);
    ASSERT_FALSE(config->Subscribe());
    connectivity_->SetShadowError(Error(ErrorCategory::EC_Component, 1, "bad \xff byte", "type", ""));
    config->Fetch();
    EXPECT_EQ(announcements_.Count(), 1u);
    const json stored = json::parse(ReadText(ConfigPath()));
    EXPECT_NE(stored["agent_error"].get<std::string>().find("bad \\xFF byte"), std::string::npos);
    connectivity_->Push(kTopic, "", Error(ErrorCategory::EC_Component, 2, "\xc3(", "t", ""));
    ASSERT_TRUE(announcements_.WaitFor(2));
    EXPECT_NE(json::parse(ReadText(ConfigPath()))["agent_error"].get<std::string>().find("\\xC3("),
              std::string::npos);
    // Later saves go on working.
    connectivity_->SetShadow(Shadow(1, "fine"));
    ASSERT_FALSE(config->Fetch());
    EXPECT_EQ(json::parse(ReadText(ConfigPath())), (json{{"data", "fine"}}));
    EXPECT_EQ(announcements_.Count(), 3u);
}

TEST_F(RemoteConfigTest, ConfigurationFileThatIsNoObjectFallsBackToTheDefault) {
    fs::create_directories(ConfigPath().parent_path());
    std::ofstream(ConfigPath()) << "[1]";
    std::shared_ptr<RemoteConfig> config;
    ASSERT_NO_THROW(config = Make(false, "", ordered_json{{"other", true}}));
    EXPECT_EQ(config->GetConfig(), (json{{"data", nullptr}, {"other", true}}));
}

TEST_F(RemoteConfigTest, TelemetryGrantFollowsTheWatchAndConsent) {
    CreateConsentKey();
    connectivity_->SetConsent(true);
    EXPECT_EQ(Make(false)->GetConfig(), (json{{"data", nullptr}}));
    EXPECT_EQ(Make(true)->GetConfig(), (json{{"data", {{"grants", {RemoteConfig::kTelemetryGrant}}}}}));
    EXPECT_FALSE(fs::exists(ConfigPath()));

    connectivity_->isCorvaneDevice = true;
    connectivity_->SetConsent(false);
    EXPECT_EQ(Make(true)->GetConfig(), (json{{"data", {{"grants", {RemoteConfig::kTelemetryGrant}}}}}));
    connectivity_->isCorvaneDevice = false;

    auto config = Make(true);
    connectivity_->SetConsent(true);
    connectivity_->SetShadow(Shadow(1, {{"grants", {"a", RemoteConfig::kTelemetryGrant}}}));
    ASSERT_FALSE(config->Fetch());
    EXPECT_EQ(announcements_.Last()["data"]["grants"], (json{"a", RemoteConfig::kTelemetryGrant}));
    connectivity_->SetShadow(Shadow(2, {{"grants", {"b"}}}));
    ASSERT_FALSE(config->Fetch());
    EXPECT_EQ(announcements_.Last()["data"]["grants"], (json{"b", RemoteConfig::kTelemetryGrant}));
    // The grant lives in the configuration only, never in the stored shadow.
    EXPECT_EQ(StoredShadow()["state"]["desired"]["data"]["grants"], (json{"b"}));
}

TEST_F(RemoteConfigTest, RegistryChangeThatFlipsConsentSavesAndAnnouncesOnce) {
    CreateConsentKey();
    auto config = Make(true);
    ASSERT_TRUE(log_.WaitFor(logging::info, kWatchUp));
    EXPECT_EQ(config->GetConfig(), (json{{"data", nullptr}}));

    connectivity_->SetConsent(true);
    TouchConsentKey("1");
    ASSERT_TRUE(announcements_.WaitFor(1));
    EXPECT_EQ(announcements_.Last(), (json{{"data", {{"grants", {RemoteConfig::kTelemetryGrant}}}}}));
    EXPECT_EQ(json::parse(ReadText(ConfigPath())), announcements_.Last());

    // A change that leaves consent as it was writes nothing.
    int notices = log_.Count(logging::debug, "OnRegistyChange: sub key: Value: ");
    TouchConsentKey("2");
    ASSERT_TRUE(log_.WaitFor(logging::debug, "OnRegistyChange: sub key: Value: ", notices + 1));
    EXPECT_EQ(announcements_.Count(), 1u);

    connectivity_->SetConsent(false);
    TouchConsentKey("3");
    ASSERT_TRUE(announcements_.WaitFor(2));
    EXPECT_EQ(announcements_.Last(), (json{{"data", nullptr}}));
    Drop(config);
}

TEST_F(RemoteConfigTest, FailedWatchIsRestartedFiveSecondsLaterFromAnotherThread) {
    platform::ScopedFakeClock clock(platform::NowTicks());
    connectivity_->SetConsent(true);
    auto config = Make(true);
    // No consent key yet: the watch fails at once.
    ASSERT_TRUE(log_.WaitFor(logging::debug, "Registry watch restarts in 5 seconds"));
    EXPECT_TRUE(log_.Contains(logging::error, "OnRegistyFailure: "));
    EXPECT_TRUE(log_.Contains(logging::error, "Unable to open registry key"));
    CreateConsentKey();
    clock.Advance(4 * platform::kTicksPerSecond);
    EXPECT_EQ(
        log_.Count(logging::info, "zelko::plenar::agent::RegistryMonitor::RegistryMonitor  Subscribing"), 1);
    clock.Advance(1 * platform::kTicksPerSecond);
    ASSERT_TRUE(log_.WaitFor(logging::info, kWatchUp));
    // The failed monitor was released by the restarting thread, not its own.
    EXPECT_TRUE(log_.Contains(logging::info, "~RegistryMonitor Closing registry event and registry."));

    connectivity_->SetConsent(false);
    TouchConsentKey("1");
    ASSERT_TRUE(announcements_.WaitFor(1));
    EXPECT_EQ(announcements_.Last(), (json{{"data", nullptr}}));
    Drop(config);
}

TEST_F(RemoteConfigTest, OwnerLettingGoInsideTheChangeCallback) {
    CreateConsentKey();
    std::mutex mutex;
    std::shared_ptr<RemoteConfig> holder;
    holder = RemoteConfig::Create(
        "grants", shadow_, connectivity_, kTopic, true,
        [&](std::shared_ptr<BaseConfig>) {
            std::lock_guard lock(mutex);
            holder.reset();
        },
        ordered_json::object(), scratch(), "RemoteConfigs");
    ASSERT_TRUE(log_.WaitFor(logging::info, kWatchUp));
    connectivity_->SetConsent(true);
    TouchConsentKey("1");
    // The configuration ends on the monitor's thread, which must neither wait for itself nor crash.
    ASSERT_TRUE(log_.WaitFor(logging::info, "~RegistryMonitor Closing registry event and registry."));
    EXPECT_EQ(connectivity_->UnsubCalls(), 1);
}

TEST_F(RemoteConfigTest, ConditionsSeeTheGrantedConfiguration) {
    CreateConsentKey();
    connectivity_->SetConsent(true);
    auto config = Make(true);
    ConfigService service;
    service.RegisterConfig("corvane-grants", config);
    std::string condition =
        std::string(R"({"confgs": {"corvane-grants": {"a": {"cont": {"/data/grants": [")") +
        RemoteConfig::kTelemetryGrant + R"("]}}}}, "cond": "a"})";
    EXPECT_TRUE(service.ValidateCondition(ordered_json::parse(condition)));
}

TEST_F(RemoteConfigTest, FailureInsideTheRegistryCallbackIsRecordedAsTheAgentError) {
    CreateConsentKey();
    auto consent = std::make_shared<FailingConsent>();
    connectivity_ = consent;
    auto config = Make(true);
    ASSERT_TRUE(log_.WaitFor(logging::info, kWatchUp));

    consent->fail = true;
    TouchConsentKey("1");
    ASSERT_TRUE(announcements_.WaitFor(1));
    EXPECT_NE(announcements_.Last().value("agent_error", "").find("consent store unreadable"),
              std::string::npos);
    EXPECT_TRUE(log_.Contains(logging::error, "RemoteConfig::OnRegistyChange failed: "));
    EXPECT_EQ(json::parse(ReadText(ConfigPath())), announcements_.Last());

    // The watch goes on: the next change with readable consent grants as usual.
    consent->fail = false;
    consent->SetConsent(true);
    const size_t before = announcements_.Count();
    TouchConsentKey("2");
    ASSERT_TRUE(announcements_.WaitFor(before + 1));
    EXPECT_EQ(announcements_.Last()["data"]["grants"], (json{RemoteConfig::kTelemetryGrant}));
    Drop(config);
}

TEST_F(RemoteConfigTest, AFailedWriteLeavesTheStateAndConfigurationFilesWhole) {
    auto config = Make(false);
    connectivity_->SetShadow(Shadow(1, "small"));
    ASSERT_FALSE(config->Fetch());
    const std::string state_before = ReadText(StatePath());
    const std::string config_before = ReadText(ConfigPath());

    connectivity_->SetShadow(Shadow(2, std::string(8192, 'x')));
    {
        ScopedFileSizeLimit limit(4096);
        const size_t announced = announcements_.Count();
        config->Fetch();
        EXPECT_EQ(announcements_.Count(), announced) << "a failed save is not announced";
    }
    EXPECT_TRUE(log_.Contains(logging::error, "Cannot save the state config file - GetLastError: "));
    EXPECT_TRUE(log_.Contains(logging::error, "Error while saving the file: "));
    EXPECT_EQ(ReadText(StatePath()), state_before);
    EXPECT_EQ(ReadText(ConfigPath()), config_before);
    // No temporary file is left beside either.
    for (const fs::path& file : {StatePath(), ConfigPath()}) {
        for (const auto& entry : fs::directory_iterator(file.parent_path())) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name != file.filename().string() && name.rfind(file.filename().string(), 0) == 0)
                << name;
        }
    }
}

// Pushed documents, fetches and registry changes arrive at once; the highest version wins.
TEST_F(RemoteConfigTest, ConcurrentPushesFetchesAndRegistryChanges) {
    CreateConsentKey();
    auto config = Make(true, kTopic);
    ASSERT_FALSE(config->Subscribe());
    constexpr int kTop = 40;
    std::thread odd([&] {
        for (int v = 1; v <= kTop; v += 2) connectivity_->Push(kTopic, Shadow(v, {{"v", v}}));
    });
    std::thread even([&] {
        for (int v = kTop; v >= 2; v -= 2) connectivity_->Push(kTopic, Shadow(v, {{"v", v}}));
    });
    std::thread fetcher([&] {
        for (int v = 0; v <= kTop; v += 4) {
            connectivity_->SetShadow(Shadow(v, {{"v", v}}));
            config->Fetch();
        }
    });
    std::thread registry([&] {
        for (int i = 0; i < 20; ++i) {
            connectivity_->SetConsent(i % 2 == 0);
            TouchConsentKey(std::to_string(i));
        }
    });
    odd.join();
    even.join();
    fetcher.join();
    registry.join();

    EXPECT_EQ(config->GetConfig()["data"]["v"], kTop);
    EXPECT_EQ(StoredShadow()["version"], kTop);
    EXPECT_EQ(json::parse(ReadText(ConfigPath()))["data"]["v"], kTop);
    EXPECT_EQ(announcements_.Last()["data"]["v"], kTop);
    Drop(config);
}

}  // namespace
}  // namespace zelko::plenar::config
