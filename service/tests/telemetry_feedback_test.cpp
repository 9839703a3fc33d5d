// The state machine's reactions to collector outcomes and the side tasks, in virtual time: each
// state's policy gives its own delay, so the step that comes due shows whose delay it waited.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "foundation/utils.h"
#include "jobs/corvane_enrollment.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/collector_errors.h"
#include "telemetry/performance.h"
#include "telemetry/telemetry_records.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {

// The publishing failure counters, which the tests seed and read.
struct TelemetryFeedbackPeer {
    explicit TelemetryFeedbackPeer(TelemetryFeedback& feedback) : feedback(feedback) {}
    int32_t& aws_connection_errors() { return feedback._aws_connection_error_count; }
    int32_t& aws_errors() { return feedback._aws_error_count; }
    TelemetryFeedback& feedback;
};

namespace {

using logging::error;
using logging::info;
using logging::warning;
using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;

constexpr int64_t kMinute = 60 * platform::kTicksPerSecond;

class FixedPolicy : public IRandomValue {
  public:
    explicit FixedPolicy(std::optional<int64_t> minutes) : minutes(minutes) {}
    std::optional<std::chrono::milliseconds> Next() override {
        if (!minutes) return std::nullopt;
        return std::chrono::milliseconds(*minutes * 60'000);
    }
    void Reset() override { ++resets; }
    uint64_t GetCount() override { return 0; }
    json ToJson() const override { return json::object(); }
    std::optional<int64_t> minutes;
    int resets = 0;
};

// The AI-experience enrollment whose one call answers what the test scripts.
class FakeCorvane : public corvane::Enrollment {
  public:
    bool HasFeatureByte() override {
        ++calls;
        return true;
    }
    bool CheckPIPL() override { return true; }
    bool IsAIExperienceAllowed() override { return true; }
    bool IsAIExperienceAppInstalled() override { return true; }
    void LoadPersistedSate() override {}
    void SavePersistedSate() override {}
    // Once an enrollment went through, later passes only look at the installed app.
    Error PubByHttp(const std::string&, const json&, const std::string&) override { return answer; }
    Error answer;
    int calls = 0;
};

class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }
    using Service::SendEventToModules;
    void SendEventToModules(uint32_t control, uint32_t) override { sent.push_back(control); }
    std::vector<uint32_t> sent;

  private:
    std::filesystem::path exe_;
};

Error CollectorError(CollectorErrorEnum code, const std::string& message = "failed") {
    return MakeCollectorError(code, message);
}

Error Published(const std::string& cause) {
    return CollectorError(CollectorErrorEnum::PublishFailed,
                          json{{"http_code", 0}, {"iot_code", 0}, {"error", cause}}.dump());
}

class TelemetryFeedbackTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
        service = std::make_unique<TestService>(scratch() / "zelko-plenar-agent-service");
        service->InitBaseStates();
        service->InitializePolicies();
        service->_modules.conn_module = conn;
        service->_state_file_path = scratch() / "state.json";
        const std::pair<ServiceState*, int64_t> states[] = {
            {&service->RequiredOnStarting, 11}, {&service->Processing, 12}, {&service->ConnectingToIot, 13},
            {&service->GettingIotCreds, 14},    {&service->Discovery, 15},  {&service->Attestating, 17}};
        for (auto [state, minutes] : states) state->policy = std::make_shared<FixedPolicy>(minutes);
        service->Feedback().ResetDataValveClient().policy = valve_policy;
        service->Feedback().CorvaneEnrollment().policy = std::make_shared<FixedPolicy>(std::nullopt);
        service->Feedback().CollectPerformance().policy = std::make_shared<FixedPolicy>(std::nullopt);
        service->Feedback().PerformanceMeasure().policy = std::make_shared<FixedPolicy>(std::nullopt);
        service->Feedback().Enroll1E().policy = std::make_shared<FixedPolicy>(std::nullopt);
        service->_local_delay_policy = std::make_shared<FixedPolicy>(std::nullopt);
        for (ServiceState* state :
             {&service->FailureState, &service->Attestating, &service->Discovery, &service->GettingIotCreds,
              &service->ConnectingToIot, &service->RequiredOnStarting, &service->Processing, &service->Stopping}) {
            state->OnEnter = [this, name = state->name] {
                std::lock_guard lock(mutex);
                entered.push_back(name);
            };
        }
    }
    void TearDown() override {
        service.reset();
        platform::SetSimulatedNetworkConnectivity(std::nullopt);
    }

    // Runs f on the agent scheduler's worker and waits for it.
    void OnWorker(std::function<void()> f) {
        std::promise<void> done;
        service->_scheduler.In(Duration::zero(), [&] {
            f();
            done.set_value();
        });
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    }
    // Lets what is due run, including what it posts at once.
    void Settle() {
        for (int i = 0; i < 4; ++i) OnWorker([] {});
    }
    // In steps, so that what a due step schedules counts from the time it came due.
    void Advance(int64_t ticks, int64_t longest_step = 5 * kMinute) {
        while (ticks > 0) {
            const int64_t step = std::min<int64_t>(ticks, longest_step);
            clock.Advance(step);
            Settle();
            ticks -= step;
        }
    }
    void Enter(ServiceState& state) {
        OnWorker([&] { service->SetState(state); });
        std::lock_guard lock(mutex);
        entered.clear();
    }
    void Fail(const Error& e, bool required) {
        OnWorker([&] { service->Feedback().ItemFailed(e, required); });
    }
    std::vector<std::string> Entered() {
        std::lock_guard lock(mutex);
        return entered;
    }

    platform::ScopedFakeClock clock{1'700'000'000 * platform::kTicksPerSecond};
    zelko::testing::LogCapture log;
    std::shared_ptr<zelko::testing::FakeConnectivity> conn = std::make_shared<zelko::testing::FakeConnectivity>();
    std::shared_ptr<FixedPolicy> valve_policy = std::make_shared<FixedPolicy>(16);
    std::unique_ptr<TestService> service;
    std::mutex mutex;
    std::vector<std::string> entered;
};

TEST_F(TelemetryFeedbackTest, ReactionTable) {
    const std::string limit = json{{"code", 4}, {"message", "limit"}}.dump();
    struct Case {
        const char* what;
        const char* state;
        Error error;
        bool required;
        bool corvane;
        int64_t minutes;  // when the reaction comes due
        std::vector<std::string> entered;
    } cases[] = {
        {"fatal", "Processing", CollectorError(CollectorErrorEnum::NoConnectivity), false, false, 0, {"FailureState"}},
        {"fatal required", "RequiredOnStarting", CollectorError(CollectorErrorEnum::NoConnectivity), true, false, 0,
         {"FailureState"}},
        {"internal required", "RequiredOnStarting", CollectorError(CollectorErrorEnum::ExecutionFailed), true, false,
         0, {"FailureState"}},
        {"no enrollment required", "RequiredOnStarting", CollectorError(CollectorErrorEnum::NoValidEnrollment), true,
         false, 0, {"FailureState"}},
        {"internal", "Processing", CollectorError(CollectorErrorEnum::ExecutionFailed), false, false, 0, {}},
        {"consent required", "RequiredOnStarting", CollectorError(CollectorErrorEnum::NoConsent), true, false, 11,
         {"RequiredOnStarting"}},
        {"remote consent required", "RequiredOnStarting", CollectorError(CollectorErrorEnum::NoRemoteConsent), true,
         false, 11, {"RequiredOnStarting"}},
        {"consent", "Processing", CollectorError(CollectorErrorEnum::NoConsent), false, false, 0, {}},
        // The data valve is made again; in Processing its success re-enters Processing's work.
        {"valve", "Processing", CollectorError(CollectorErrorEnum::NoRemoteConsentRefetch), false, false, 16,
         {"Processing"}},
        {"data limit", "Processing", Published(limit), false, false, 0, {"Stopping"}},
        {"data limit required", "RequiredOnStarting", Published(limit), true, false, 0, {"Stopping"}},
        {"proxy", "Processing", Published("proxy refused"), false, false, 12, {"Processing"}},
        {"proxy required", "RequiredOnStarting", Published("proxy refused"), true, false, 11, {"RequiredOnStarting"}},
        {"5138 without Corvane", "Processing", Published("code 5138"), false, false, 14, {"GettingIotCreds"}},
        {"5138 with Corvane", "Processing", Published("code 5138"), false, true, 13, {"ConnectingToIot"}},
        {"other without Corvane", "Processing", Published("AWS_IO_SOCKET_CLOSED"), false, false, 14,
         {"GettingIotCreds"}},
        {"other with Corvane", "RequiredOnStarting", Published("refused"), true, true, 13, {"ConnectingToIot"}},
        {"not a collector error", "Processing", Error(ErrorCategory::EC_Component, 1, "x", "int"), false, false, 0,
         {}},
        {"code 17", "Processing", Error(ErrorCategory::EC_Component, 17, "x", std::string(kCollectorErrorType)),
         false, false, 0, {}},
        {"outside the running states", "ConnectingToIot", CollectorError(CollectorErrorEnum::NoConnectivity), false,
         false, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TelemetryFeedbackPeer counters(service->Feedback());
        counters.aws_connection_errors() = counters.aws_errors() = 0;
        conn->isCorvaneDevice = c.corvane;
        ServiceState* state = c.state == std::string("Processing")           ? &service->Processing
                              : c.state == std::string("RequiredOnStarting") ? &service->RequiredOnStarting
                                                                             : &service->ConnectingToIot;
        // Out of Stopping and FailureState, which a state change cannot leave, by a fresh current state.
        service->_current_state = std::make_shared<const ServiceState>(service->Processing);
        Enter(*state);
        if (c.state == std::string("Processing")) {
            service->_current_state = std::make_shared<const ServiceState>(service->Processing);
        }
        Fail(c.error, c.required);
        Settle();
        if (c.minutes > 0) {
            Advance(c.minutes * kMinute - 1);
            EXPECT_TRUE(Entered().empty());
            Advance(1);
        } else {
            Advance(20 * kMinute);  // nothing else comes due later
        }
        EXPECT_EQ(Entered(), c.entered);
        Advance(20 * kMinute);
    }
    EXPECT_TRUE(log.Contains(info, "Aws connection error on publishing, waiting for next reconnect to iot, will be "
                                   "resend on reconnect  error: "));
}

TEST_F(TelemetryFeedbackTest, CounterCyclesWithTheCorvaneFeature) {
    conn->isCorvaneDevice = true;
    Enter(service->Processing);
    for (int i = 0; i < 4; ++i) Fail(Published("code 5138"), false);
    EXPECT_EQ(log.Count(info, "Aws connection error on publishing, going to reconnect iot for: 0h13m0s0ms"), 3);
    EXPECT_EQ(log.Count(info, "Aws connection error on publishing, too much retries going to get creds for: "
                              "0h14m0s0ms"),
              1);
    TelemetryFeedbackPeer counters(service->Feedback());
    EXPECT_EQ(counters.aws_connection_errors(), 1);

    for (int i = 0; i < 3; ++i) Fail(Published("refused"), false);
    EXPECT_EQ(log.Count(info, "ConnectingToIot failed with AWS error, backing off for: 0h13m0s0ms"), 2);
    EXPECT_TRUE(log.Contains(info, "Aws error on publishing, going to get get creds in: 0h14m0s0ms"));
    EXPECT_TRUE(service->Enrollment().ReenrollRequired());
    EXPECT_TRUE(service->Enrollment().ForceDiscoveryQuery());
    EXPECT_EQ(counters.aws_errors(), 0);

    // The first reconnection moves the machine; the rest come due in ConnectingToIot and do nothing.
    Advance(13 * kMinute);
    EXPECT_EQ(Entered(), (std::vector<std::string>{"ConnectingToIot"}));
    EXPECT_EQ(log.Count(info, "Reconnect not queued since we are not in Processing state"), 2);
    Advance(kMinute);
    EXPECT_EQ(Entered().size(), 1u);  // new credentials only from Processing or RequiredOnStarting
}

TEST_F(TelemetryFeedbackTest, WithoutTheCorvaneFeatureEveryAwsErrorAsksForCredentials) {
    Enter(service->Processing);
    for (int i = 0; i < 3; ++i) Fail(Published("code 5138"), false);
    EXPECT_EQ(log.Count(info, "too much retries going to get creds for: 0h14m0s0ms"), 3);
    Advance(14 * kMinute);
    EXPECT_EQ(Entered(), (std::vector<std::string>{"GettingIotCreds"}));
}

TEST_F(TelemetryFeedbackTest, RequiredCollectorsDoneSavesTheFlagBeforeProcessing) {
    bool saved_first = false;
    service->Processing.OnEnter = [&] {
        const json state = Utils::LoadJsonFile(scratch() / "state.json");
        saved_first = state.value("required_on_start_done", false) && service->_required_on_start_done;
    };
    TelemetryEvent item;
    item.Type = {230, 0, 0, 0};
    Enter(service->RequiredOnStarting);
    service->Feedback().ItemDone(item);  // not the required collectors' event
    Settle();
    EXPECT_EQ(service->CurrentStateName(), "RequiredOnStarting");

    item.Type = {220, 0, 0, 0};
    service->Feedback().ItemDone(item);
    Settle();
    EXPECT_EQ(service->CurrentStateName(), "Processing");
    EXPECT_TRUE(saved_first);
    EXPECT_EQ(valve_policy->resets, 1);
    EXPECT_TRUE(log.Contains(info, "RequiredOnStarting.OnEnter Starting scheduled events"));

    // Reported when RequiredOnStarting has gone: nothing changes.
    service->_required_on_start_done = false;
    service->Feedback().ItemDone(item);
    Settle();
    EXPECT_FALSE(service->_required_on_start_done);
}

TEST_F(TelemetryFeedbackTest, CorvaneEnrollmentOutcomes) {
    auto corvane = std::make_shared<FakeCorvane>();
    service->_modules.corvane_enrollment = corvane;
    const Error tls(ErrorCategory::EC_Component, 35, "TLS handshake failed", "int");
    struct Case {
        const char* what;
        Error answer;
        const char* state;
        bool credentials;
        int64_t rerun_minutes;  // 0: not run again
        std::vector<std::string> entered;
        const char* log;
    } cases[] = {
        {"rate limited", Error(ErrorCategory::EC_Component, 429, "slow down", "HttpStatusCode"), "Processing", true,
         240, {}, "CorvaneEnrollment is rate-limited, backing off for: 4h0m0s0ms  error : "},
        {"other", Error(ErrorCategory::EC_Component, 9, "odd", "int"), "Processing", true, 1440, {},
         "CorvaneEnrollment error, will rerun in 24h0m0s0ms  error: "},
        // After the local delay: new credentials in Processing, and the chain goes on after its own.
        {"proxy in Processing", Error(ErrorCategory::EC_Component, 7, "proxy refused", "int"), "Processing", true,
         480, {"GettingIotCreds"}, "CorvaneEnrollment  failed with Aws Internet Connection Error, reconnect to iot in: "
                                   "4h0m0s0ms"},
        {"proxy elsewhere", Error(ErrorCategory::EC_Component, 7, "proxy refused", "int"), "Discovery", true, 240, {},
         "CorvaneEnrollment  failed with Aws Internet Connection Error"},
        {"TLS with credentials", tls, "Processing", true, 0, {"Discovery"},
         "CorvaneEnrollment  failed on certificate, Discovery in: 0h15m0s0ms"},
        {"TLS without credentials", tls, "Processing", false, 240, {},
         "CorvaneEnrollment failed on certificate without credentials, will rerun in 4h0m0s0ms"},
        {"success", {}, "Processing", true, 5, {}, "CorvaneEnrollment process will run again in 0h5m0s0ms"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Enter(c.state == std::string("Processing") ? service->Processing : service->Discovery);
        conn->SetCredentialsReady(c.credentials);
        corvane->answer = c.answer;
        corvane->calls = 0;
        const int resets = conn->ResetEnrollmentCalls();
        OnWorker([&] { service->Feedback().CorvaneEnrollment().Perform(); });
        EXPECT_EQ(corvane->calls, 1);
        EXPECT_EQ(conn->ResetEnrollmentCalls() - resets, c.what == std::string("TLS with credentials") ? 1 : 0);
        EXPECT_TRUE(log.Contains(info, c.log));
        if (c.rerun_minutes > 0) {
            Advance(c.rerun_minutes * kMinute - 1);
            EXPECT_EQ(corvane->calls, 1);
            Advance(1);
            EXPECT_EQ(corvane->calls, 2);
        } else {
            Advance(48 * 60 * kMinute);
            EXPECT_EQ(corvane->calls, 1);
        }
        EXPECT_EQ(Entered(), c.entered);
        if (!c.answer) break;  // the last case: a successful chain runs on
        // End the chain before the next case.
        corvane->answer = tls;
        conn->SetCredentialsReady(true);
        service->_current_state = std::make_shared<const ServiceState>(service->Discovery);
        Advance(48 * 60 * kMinute);
    }
    EXPECT_TRUE(service->Enrollment().ReenrollRequired() && service->Enrollment().ForceDiscoveryQuery());
}

TEST_F(TelemetryFeedbackTest, TasksOfflineWaitForTheNetwork) {
    platform::SetSimulatedNetworkConnectivity(0);
    auto corvane = std::make_shared<FakeCorvane>();
    service->_modules.corvane_enrollment = corvane;
    OnWorker([&] {
        service->Feedback().CorvaneEnrollment().Perform();
        service->Feedback().ResetDataValveClient().Perform();
        service->Feedback().Enroll1E().Perform();
        service->Feedback().CollectPerformance().Perform();
    });
    EXPECT_TRUE(log.Contains(info, "CorvaneEnrollment will run once the internet connection is back"));
    EXPECT_TRUE(log.Contains(info, "ResetDataValveClient will run once the internet connection is back"));
    EXPECT_TRUE(log.Contains(info, "Enroll1E failed due to no internet connection"));
    EXPECT_TRUE(log.Contains(info, "CollectPerformance will run once the internet connection is back"));
    EXPECT_EQ(corvane->calls, 0);
    EXPECT_EQ(service->_network_wait_queue.size(), 4u);
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
    service->OnNetworkConnected();
    Settle();
    EXPECT_EQ(corvane->calls, 1);
    EXPECT_EQ(conn->ResetDataValveClientCalls(), 1);
    EXPECT_EQ(conn->Enroll1ECalls(), 1);
}

TEST_F(TelemetryFeedbackTest, ResetDataValveClientOutcomes) {
    Enter(service->Discovery);
    OnWorker([&] { service->Feedback().ResetDataValveClient().Perform(); });
    Advance(60 * kMinute);
    EXPECT_TRUE(Entered().empty());
    EXPECT_FALSE(log.Contains(info, "ResetDataValveClient Processing.OnEnter."));

    Enter(service->RequiredOnStarting);
    OnWorker([&] { service->Feedback().ResetDataValveClient().Perform(); });
    Settle();
    EXPECT_EQ(Entered(), (std::vector<std::string>{"RequiredOnStarting"}));
    EXPECT_TRUE(log.Contains(info, "ResetDataValveClient RequiredOnStarting.OnEnter."));

    conn->SetResetDataValveClientResult(Error(ErrorCategory::EC_Component, 3, "valve down", "int"));
    OnWorker([&] { service->Feedback().ResetDataValveClient().Perform(); });
    EXPECT_TRUE(log.Contains(info, "ResetDataValveClient backing off for 0h16m0s0ms due to error: "));
    conn->SetResetDataValveClientResult({});
    Enter(service->Processing);
    Advance(16 * kMinute);
    EXPECT_EQ(conn->ResetDataValveClientCalls(), 4);  // Discovery, RequiredOnStarting, refused, again
    EXPECT_EQ(Entered(), (std::vector<std::string>{"Processing"}));
}

TEST_F(TelemetryFeedbackTest, CollectPerformanceAndPerformanceMeasure) {
    service->_modules.performance_collector = std::make_shared<PerformanceCollector>(conn, "$aws/rules/perf");
    conn->SetPubByHttpResult({500, 0, {}, Error(ErrorCategory::EC_Component, 500, "down", "IotHttpError")});
    OnWorker([&] { service->Feedback().CollectPerformance().Perform(); });
    EXPECT_TRUE(log.Contains(info, "CollectPerformance error, will rerun in 24h0m0s0ms  error: "));
    conn->SetPubByHttpResult({200, 0, {}, {}});
    Advance(24 * 60 * kMinute);
    EXPECT_TRUE(log.Contains(info, "CollectPerformance process will run again in 0h5m0s0ms"));
    EXPECT_EQ(conn->HttpPublished().size(), 2u);
    Advance(5 * kMinute);
    EXPECT_EQ(conn->HttpPublished().size(), 3u);

    // Every policy delay, whatever the state.
    Enter(service->Discovery);
    OnWorker([&] { service->Feedback().PerformanceMeasure().Perform(); });
    Advance(30 * 24 * 60 * kMinute, 24 * 60 * kMinute);
    EXPECT_EQ(service->sent, (std::vector<uint32_t>{222, 222}));
    EXPECT_EQ(log.Count(info, "PerformanceMeasure will run in 720h0m0s0ms"), 2);
}

TEST_F(TelemetryFeedbackTest, Enroll1EOutcomes) {
    auto local = std::make_shared<FixedPolicy>(std::nullopt);
    service->_local_delay_policy = local;
    OnWorker([&] { service->Feedback().Enroll1E().Perform(); });
    EXPECT_TRUE(log.Contains(info, "Enroll1E successful"));
    EXPECT_EQ(local->resets, 1);

    conn->SetEnroll1EResult(Error(ErrorCategory::EC_Component, 401, "unauthorized", "int"));
    Enter(service->Processing);
    OnWorker([&] { service->Feedback().Enroll1E().Perform(); });
    Advance(17 * kMinute);
    EXPECT_EQ(Entered(), (std::vector<std::string>{"Attestating"}));
    EXPECT_TRUE(service->Enrollment().ReattestRequired());

    conn->SetEnroll1EResult(Error(ErrorCategory::EC_Component, 429, "later", "HttpStatusCode"));
    OnWorker([&] { service->Feedback().Enroll1E().Perform(); });
    EXPECT_TRUE(log.Contains(info, "Enroll1E backing off for 24h0m0s0ms"));
    conn->SetEnroll1EResult(Error(ErrorCategory::EC_Component, 9, "odd", "int"));
    Advance(24 * 60 * kMinute);
    EXPECT_EQ(conn->Enroll1ECalls(), 4);
    EXPECT_TRUE(log.Contains(warning, "Invalid 1E enrollment, will not retry due to "));
    Advance(48 * 60 * kMinute);
    EXPECT_EQ(conn->Enroll1ECalls(), 4);
}

}  // namespace
}  // namespace zelko::plenar::agent
