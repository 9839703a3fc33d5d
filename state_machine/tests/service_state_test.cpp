#include "state_machine/service_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/utils.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

const std::vector<std::string> kStates = {
    "NotInited",       "FailureState",          "Initializing",    "Onboarding",
    "Attestating",     "AttestatingPoP",        "Discovery",       "PreEnrollZelko",
    "EnrollZelko",     "PollEnrollZelkoStatus", "GettingIotCreds", "ConnectingToIot",
    "UpdatingConsent", "RequiredOnStarting",    "Processing",      "Stopping"};
const std::vector<std::string> kTasks = {"Enroll1E",          "WaitingForNetwork",  "RemoteJobsProcessing",
                                         "CorvaneEnrollment", "CollectPerformance", "ResetDataValveClient",
                                         "PerformanceMeasure"};

// The policy each name gets from the standard document; unlisted names get "attest".
const std::map<std::string, std::string> kStandardStates = {
    {"FailureState", "attest"},
    {"Attestating", "attest"},
    {"AttestatingPoP", "attest"},
    {"Discovery", "discovery"},
    {"PreEnrollZelko", "enroll"},
    {"EnrollZelko", "enroll"},
    {"RequiredOnStarting", "enroll"},
    {"Enroll1E", "enroll"},
    {"PollEnrollZelkoStatus", "poll"},
    {"GettingIotCreds", "iot"},
    {"ConnectingToIot", "iot_conn"},
    {"RemoteJobsProcessing", "jobs"},
    {"tavragent-config_fetch", "refetch"},
    {"tavragent-config_sub", "fetch"},
    {"job-corvane-grants_fetch", "fetch"},
    {"job-corvane-grants_sub", "fetch"},
    {"job-corvane-policies_fetch", "fetch"},
    {"job-corvane-policies_sub", "fetch"},
    {"CorvaneEnrollment", "corvane"},
    {"ResetDataValveClient", "reset_data_valve"},
    {"CollectPerformance", "perf"},
    {"PerformanceMeasure", "month"},
};

class ServiceStateTest : public testing::SystemRootTest {
  protected:
    // The built-in document that a missing retry file yields.
    nlohmann::json BuiltIn(bool use_variant, const std::string& variant) {
        return Utils::LoadConfigFile(scratch() / "zelko-retries-config.json", use_variant, variant);
    }
};

TEST_F(ServiceStateTest, EveryStateAndTaskIsBoundToItsNamedPolicyInEachBuiltInDocument) {
    struct Case {
        const char* label;
        nlohmann::json document;
        std::set<std::string> unlisted;  // names this document leaves to "attest"
    };
    std::vector<Case> cases = {
        {"standard", BuiltIn(false, ""), {}},
        {"subscription", BuiltIn(true, "sub"), {"CollectPerformance", "PerformanceMeasure"}},
        {"five-minute fetch", BuiltIn(true, "other"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(c.document.contains("states"));
        ASSERT_TRUE(c.document["policies"].contains("local_delay"));
        auto folder = scratch() / c.label;
        std::filesystem::create_directories(folder);
        std::vector<std::string> names = kStates;
        names.insert(names.end(), kTasks.begin(), kTasks.end());
        for (const auto& name : names) {
            auto listed = kStandardStates.find(name);
            std::string expected =
                listed == kStandardStates.end() || c.unlisted.count(name) ? "attest" : listed->second;
            std::shared_ptr<IRandomValue> bound;
            if (std::find(kTasks.begin(), kTasks.end(), name) != kTasks.end()) {
                ServiceTask task;
                task.InitTask(name, c.document, folder);
                EXPECT_EQ(task.name, name);
                bound = task.policy;
            } else {
                ServiceState state;
                state.InitState(name, c.document, folder);
                EXPECT_EQ(state.name, name);
                bound = state.policy;
            }
            ASSERT_TRUE(bound) << name;
            auto reference = CreateRateLimiterPolicy(c.document["policies"][expected], "", "");
            EXPECT_EQ(bound->ToJson(), reference->ToJson()) << name << " should use " << expected;
        }
        // Every listed name points at a policy of the document.
        for (const auto& [name, policy] : c.document["states"].items()) {
            EXPECT_TRUE(c.document["policies"].contains(policy.get<std::string>())) << name;
        }
    }
}

TEST_F(ServiceStateTest, BuiltInDocumentsDifferWhereTheVariantsSaySo) {
    auto standard = BuiltIn(false, "")["policies"];
    auto subscription = BuiltIn(true, "sub")["policies"];
    auto fetch = BuiltIn(true, "fetch5mins")["policies"];
    EXPECT_TRUE(standard.contains("perf"));
    EXPECT_FALSE(subscription.contains("perf"));
    EXPECT_TRUE(fetch["perf"]["initial_delay"]["base_value"] ==
                (nlohmann::json{{"count", 1}, {"units", "hr"}}));
    EXPECT_TRUE(standard["poll"].contains("max_delay"));
    EXPECT_FALSE(fetch["poll"].contains("max_delay"));
    EXPECT_FALSE(standard["attest"].contains("max_delay"));
    EXPECT_TRUE(subscription["attest"].contains("max_delay"));
    EXPECT_EQ(subscription["refetch"]["initial_delay"]["base_value"]["units"], "hr");
    EXPECT_EQ(fetch["refetch"]["diff_or_base"]["base_value"],
              (nlohmann::json{{"count", 5}, {"units", "min"}}));
    EXPECT_EQ(standard["discovery"]["initial_delay"]["base_value"],
              (nlohmann::json{{"count", 10}, {"units", "milli"}}));
}

TEST_F(ServiceStateTest, StatesSharingAPolicyNameKeepSeparateCounters) {
    auto document = BuiltIn(false, "");
    ServiceState attestating;
    ServiceState pop;
    attestating.InitState("Attestating", document, scratch());
    pop.InitState("AttestatingPoP", document, scratch());
    ASSERT_NE(attestating.policy, pop.policy);

    int64_t ticks = -1;
    EXPECT_TRUE(attestating.GetNextDelay(ticks));
    // "attest" starts at 5 s plus up to 15 s, in 100-ns ticks.
    EXPECT_GE(ticks, 5 * 10'000'000LL);
    EXPECT_LE(ticks, 20 * 10'000'000LL);
    EXPECT_EQ(attestating.policy->GetCount(), 1u);
    EXPECT_EQ(pop.policy->GetCount(), 0u);
    EXPECT_TRUE(std::filesystem::exists(scratch() / "zelko-plenar-service-state-Attestating.json"));
    EXPECT_FALSE(std::filesystem::exists(scratch() / "zelko-plenar-service-state-AttestatingPoP.json"));

    // A copy shares the instance; equality is by name.
    ServiceState copy = attestating;
    EXPECT_EQ(copy.policy, attestating.policy);
    EXPECT_TRUE(copy == attestating);
    EXPECT_FALSE(copy == pop);
}

TEST_F(ServiceStateTest, DamagedRetryConfigurationFallsBackToTheBuiltInPolicyNamingTheKey) {
    const auto built_in = BuiltIn(false, "");
    const auto expected = nlohmann::json(BindRetryPolicy("Discovery", built_in, scratch())->ToJson());
    auto with = [&](const std::string& pointer, const nlohmann::json& value) {
        auto document = built_in;
        document[nlohmann::json::json_pointer(pointer)] = value;
        return document;
    };
    const nlohmann::json jittered = {{"base_value", {{"count", 1}, {"units", "sec"}}},
                                     {"interval", {{"count", 1}, {"units", "sec"}}}};
    struct Case {
        const char* what;
        nlohmann::json document;
        const char* key;
    };
    const std::vector<Case> cases = {
        {"array", nlohmann::json::array({1, 2}), "the document is not an object"},
        {"empty object", nlohmann::json::object(), "\"policies\".\"attest\""},
        {"null", nullptr, "the document is not an object"},
        {"text", "retries", "the document is not an object"},
        {"states an array", with("/states", nlohmann::json::array()), "\"states\""},
        {"state named by a number", with("/states/Discovery", 5), "\"states\".\"Discovery\""},
        {"state named by null", with("/states/Discovery", nullptr), "\"states\".\"Discovery\""},
        {"policy no state names", with("/states/Discovery", "no-such-policy"),
         "\"policies\".\"no-such-policy\""},
        {"policies null", with("/policies", nullptr), "\"policies\".\"discovery\""},
        {"policy an array", with("/policies/discovery", nlohmann::json::array()),
         "\"policies\".\"discovery\""},
        {"type a number", with("/policies/discovery/type", 1), "\"policies\".\"discovery\""},
        {"end type null", with("/policies/discovery/end_type", nullptr), "\"policies\".\"discovery\""},
        {"unknown units", with("/policies/discovery/diff_or_base/base_value/units", "fortnight"),
         "\"policies\".\"discovery\""},
        {"duration missing its interval",
         with("/policies/discovery/initial_delay", {{"base_value", jittered["base_value"]}}),
         "\"policies\".\"discovery\""},
        {"duration a number", with("/policies/discovery/initial_delay", 5), "\"policies\".\"discovery\""},
        {"count below zero", with("/policies/discovery/diff_or_base/base_value/count", -1),
         "\"policies\".\"discovery\": \"diff_or_base\" has a count below zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        zelko::testing::LogCapture log;
        ServiceState state;
        ASSERT_NO_THROW(state.InitState("Discovery", c.document, scratch()));
        ASSERT_TRUE(state.policy);
        EXPECT_EQ(nlohmann::json(state.policy->ToJson()), expected);
        EXPECT_TRUE(log.Contains(logging::warning, "zelko-retries-config.json cannot bind Discovery"));
        EXPECT_TRUE(log.Contains(logging::warning, c.key));
    }
    {
        // A mistyped count spoils only its own duration: the policy stays bound, that duration
        // taking its default, with a warning naming the policy and the key.
        zelko::testing::LogCapture log;
        ServiceState state;
        ASSERT_NO_THROW(state.InitState(
            "Discovery", with("/policies/discovery/diff_or_base/base_value/count", "5"), scratch()));
        ASSERT_TRUE(state.policy);
        EXPECT_TRUE(log.Contains(logging::warning, "Setting \"diff_or_base\" of retry policy"));
    }
}

TEST(ServiceStateRecordTest, DefaultHandlersDoNothingAndNoDelayWithoutPolicy) {
    ServiceState state;
    state.OnEnter();
    state.OnProcess(1, 0, 0, 0, nullptr, 0);
    state.OnExit();
    int64_t ticks = 42;
    EXPECT_FALSE(state.GetNextDelay(ticks));
    EXPECT_EQ(ticks, 42);
    ServiceTask task;
    task.Perform();
    EXPECT_FALSE(task.running);
    EXPECT_FALSE(task.GetNextDelay(ticks));
}

// A policy whose first wait is count units.
std::shared_ptr<IRandomValue> FixedPolicy(int64_t count, const char* units) {
    const nlohmann::json zero = {{"count", 0}, {"units", "milli"}};
    const nlohmann::json step = {{"base_value", {{"count", count}, {"units", units}}},
                                 {"interval", zero},
                                 {"interval_type", "StartingWithBase"}};
    const nlohmann::json hour = {{"base_value", {{"count", 1}, {"units", "hr"}}}, {"interval", zero}};
    return CreateRateLimiterPolicy(
        {{"type", "Linear"}, {"end_type", "Infinite"}, {"initial_delay", step}, {"diff_or_base", hour}}, "",
        "");
}

// The largest values a policy can give must neither overflow into a negative delay nor wrap round
// to "now" (a state then re-runs without pause): they are capped at the longest delay.
TEST(DelayConversionTest, LargestPolicyValuesAreCappedNeverNegative) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const struct {
        const char* what;
        int64_t count;
        const char* units;
        int64_t ticks;
    } cases[] = {
        {"3.6e15 ms", 3'600'000'000'000'000, "milli", kMaxDelayTicks},
        {"largest hours", std::numeric_limits<int32_t>::max(), "hr", kMaxDelayTicks},
        {"hours beyond 32 bits", int64_t{1} << 31, "hr", kMaxDelayTicks},
        {"minutes beyond 32 bits", 3'000'000'000, "min", kMaxDelayTicks},
        {"largest hours of 64 bits", kMax, "hr", kMaxDelayTicks},
        {"largest seconds", kMax, "sec", kMaxDelayTicks},
        {"largest milliseconds", kMax, "milli", kMaxDelayTicks},
        {"just over the cap", kMaxDelayTicks / 10'000 + 1, "milli", kMaxDelayTicks},
        {"at the cap", kMaxDelayTicks / 10'000, "milli", kMaxDelayTicks},
        {"an hour", 1, "hr", 36'000'000'000},
        {"zero", 0, "milli", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceState state;
        state.policy = FixedPolicy(c.count, c.units);
        int64_t ticks = -1;
        ASSERT_TRUE(state.GetNextDelay(ticks));
        EXPECT_EQ(ticks, c.ticks);
    }
    EXPECT_EQ(MillisecondsToTicks(-1), 0);
    EXPECT_EQ(MillisecondsToTicks(std::numeric_limits<int64_t>::min()), 0);
    EXPECT_EQ(MillisecondsToTicks(kMax), kMaxDelayTicks);
    EXPECT_EQ(MillisecondsToTicks(1), 10'000);
}

// A value that gives a negative delay gives none: the caller's fallback applies, not "now".
TEST(DelayConversionTest, NegativeDelayGivesNone) {
    zelko::testing::LogCapture log;
    ServiceTask task;
    task.policy = CreateRandomValue({{"base_value", {{"count", -5}, {"units", "sec"}}},
                                     {"interval", {{"count", 0}, {"units", "milli"}}}});
    int64_t ticks = 42;
    EXPECT_FALSE(task.GetNextDelay(ticks));
    EXPECT_EQ(ticks, 42);
    EXPECT_TRUE(log.Contains(logging::warning, "Retry policy gave a negative delay"));
}

}  // namespace
}  // namespace zelko::plenar::agent
