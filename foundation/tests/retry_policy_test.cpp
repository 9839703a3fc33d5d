#include "foundation/retry_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>

#include "foundation/default_configs.h"
#include "foundation/tests/scheduler_test_util.h"
#include "foundation/utils_time.h"
#include "platform/clock.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;
using testing::LogCapture;

json Fixed(int64_t count, const char* units) {
    return {{"base_value", {{"count", count}, {"units", units}}},
            {"interval", {{"count", 0}, {"units", units}}}};
}

class RetryPolicyTest : public zelko::testing::SystemRootTest {
  protected:
    std::string Folder() const { return scratch().string(); }
    std::filesystem::path StateFile(const std::string& name) const {
        return scratch() / ("zelko-plenar-service-state-" + name + ".json");
    }
    json ReadState(const std::string& name) const {
        std::ifstream in(StateFile(name));
        return json::parse(in);
    }
    void WriteState(const std::string& name, const std::string& text) const {
        std::ofstream(StateFile(name)) << text;
    }
    void AdvanceMs(int64_t ms) { clock.Advance(ms * platform::kTicksPerMillisecond); }
    static int64_t Ms(const std::optional<std::chrono::milliseconds>& value) {
        EXPECT_TRUE(value.has_value());
        return value ? value->count() : -1;
    }

    json ExpInfinite() const {
        return {{"type", "Exp"},
                {"end_type", "Infinite"},
                {"diff_or_base", Fixed(3, "sec")},
                {"max_delay", Fixed(20, "sec")}};
    }
    json WithEnd(const char* end_type) const {
        return {{"type", "Exp"},
                {"end_type", end_type},
                {"diff_or_base", Fixed(3, "sec")},
                {"max_delay", Fixed(20, "sec")},
                {"end_time", Fixed(10, "sec")}};
    }

    platform::ScopedFakeClock clock{testing::kStartTicks};
};

TEST_F(RetryPolicyTest, ExpDoublesFromTheBaseUpToTheCapWhenCalledAtEachDueMoment) {
    auto policy = CreateRateLimiterPolicy(ExpInfinite(), "Discovery", Folder());
    std::vector<int64_t> waits;
    for (int i = 0; i < 7; ++i) {
        waits.push_back(Ms(policy->Next()));
        AdvanceMs(waits.back());
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{0, 3000, 6000, 12000, 20000, 20000, 20000}));
    EXPECT_EQ(policy->GetCount(), 7u);

    const json state = ReadState("Discovery");
    EXPECT_EQ(state["count"], 7);
    EXPECT_EQ(state["is_maxed_out"], true);
    EXPECT_EQ(state["ended"], false);
    EXPECT_EQ(state["last_delay_count"], 20000);
    EXPECT_EQ(state["first_call_time"], "2024-03-05T12:00:00+00:00");
    EXPECT_EQ(state["last_call_time"],
              FormatUtcIso8601(clock.Now() - 20000 * platform::kTicksPerMillisecond));
}

TEST_F(RetryPolicyTest, HugeOrNegativeDrawsNeverGiveANegativeWaitNorOneAboveTheCap) {
    const json huge = {{"base_value", {{"count", std::numeric_limits<int64_t>::max()}, {"units", "hr"}}},
                       {"interval", {{"count", 0}, {"units", "hr"}}}};
    // A valid document whose symmetric interval is wider than twice its base draws below zero.
    const json below_zero = {{"base_value", {{"count", 1}, {"units", "sec"}}},
                             {"interval", {{"count", 10}, {"units", "sec"}}},
                             {"interval_type", "SymetricAroundBase"}};
    struct Case {
        const char* what;
        json policy;
        int64_t cap_ms;
    } cases[] = {
        {"huge base",
         {{"type", "Exp"}, {"end_type", "Infinite"}, {"diff_or_base", huge}, {"max_delay", Fixed(60, "sec")}},
         60000},
        {"huge cap",
         {{"type", "Exp"}, {"end_type", "Infinite"}, {"diff_or_base", Fixed(1, "hr")}, {"max_delay", huge}},
         int64_t{1} << 53},
        {"draws below zero",
         {{"type", "Linear"}, {"end_type", "Infinite"}, {"diff_or_base", below_zero}},
         6000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto policy = CreateRateLimiterPolicy(c.policy, "", "");
        for (int i = 0; i < 80; ++i) {
            const int64_t wait = Ms(policy->Next());
            ASSERT_GE(wait, 0) << "call " << i;
            ASSERT_LE(wait, c.cap_ms) << "call " << i;
            AdvanceMs(std::min<int64_t>(wait, 1'000'000'000));
        }
    }
}

// Counts beyond 32 bits, in every unit, are read whole and saturate at the longest wait; a wrapped
// count would turn negative and wait nothing.
TEST_F(RetryPolicyTest, CountsBeyond32BitsSaturateInEveryUnit) {
    constexpr int64_t kCap = int64_t{1} << 53;
    const struct {
        json count;
        const char* units;
        int64_t ms;
    } cases[] = {
        {2147483648, "hr", 7'730'941'132'800'000},
        {1e12, "hr", kCap},
        {std::numeric_limits<int64_t>::max(), "hr", kCap},
        {std::numeric_limits<uint64_t>::max(), "hr", kCap},
        {3e9, "min", 180'000'000'000'000},
        {4294967296, "min", 257'698'037'760'000},
        {std::numeric_limits<int64_t>::max(), "min", kCap},
        {1e300, "sec", kCap},
        {std::numeric_limits<int64_t>::max(), "sec", kCap},
        {std::numeric_limits<uint64_t>::max(), "milli", kCap},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count.dump() + " " + c.units);
        const json duration = {{"base_value", {{"count", c.count}, {"units", c.units}}},
                               {"interval", {{"count", 0}, {"units", "milli"}}}};
        // As the first wait, whole; as the base of a doubling policy, held at its cap.
        auto linear = CreateRateLimiterPolicy({{"type", "Linear"},
                                               {"end_type", "Infinite"},
                                               {"initial_delay", duration},
                                               {"diff_or_base", duration}},
                                              "", "");
        EXPECT_EQ(Ms(linear->Next()), c.ms);
        auto exp = CreateRateLimiterPolicy({{"type", "Exp"},
                                            {"end_type", "Infinite"},
                                            {"diff_or_base", duration},
                                            {"max_delay", Fixed(20, "sec")}},
                                           "", "");
        EXPECT_EQ(Ms(exp->Next()), 0);
        EXPECT_EQ(Ms(exp->Next()), 20000);
        // As the cap, never below the doubling base.
        auto capped = CreateRateLimiterPolicy({{"type", "Exp"},
                                               {"end_type", "Infinite"},
                                               {"diff_or_base", Fixed(3, "sec")},
                                               {"max_delay", duration}},
                                              "", "");
        EXPECT_EQ(Ms(capped->Next()), 0);
        EXPECT_EQ(Ms(capped->Next()), 3000);
    }
}

// A count below zero, or a later delay or cap that can only be 0, damages the document: creation
// raises naming the key, and the owner takes its built-in policy.
TEST_F(RetryPolicyTest, ACountBelowZeroOrANeverWaitingDelayIsADamagedDocument) {
    const json zero = {{"base_value", {{"count", 0}, {"units", "sec"}}},
                       {"interval", {{"count", 0}, {"units", "milli"}}}};
    const struct {
        const char* key;
        json duration;
    } cases[] = {
        {"diff_or_base", Fixed(-1, "hr")},
        {"diff_or_base",
         {{"base_value", {{"count", 5}, {"units", "sec"}}},
          {"interval", {{"count", -1.0}, {"units", "sec"}}}}},
        {"max_delay", Fixed(std::numeric_limits<int64_t>::min(), "min")},
        {"end_time", Fixed(-60, "sec")},
        {"initial_delay", Fixed(-1, "milli")},
        {"diff_or_base", zero},
        {"max_delay", zero},
        // Counts above 0 whose every draw still truncates to 0.
        {"diff_or_base",
         {{"base_value", {{"count", 0}, {"units", "sec"}}}, {"interval", {{"count", 1}, {"units", "milli"}}}}},
        {"max_delay",
         {{"base_value", {{"count", 0}, {"units", "milli"}}},
          {"interval", {{"count", 2}, {"units", "milli"}}},
          {"interval_type", "SymetricAroundBase"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.duration.dump());
        json policy = WithEnd("Stop");
        policy[c.key] = c.duration;
        try {
            CreateRateLimiterPolicy(policy, "Damaged", Folder());
            ADD_FAILURE() << "created";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("\"") + c.key + "\""), std::string::npos)
                << e.what();
        }
    }
    // Zero where it only shortens a wait is valid: no initial delay, an end at once; so is a later
    // delay that draws 0 only sometimes.
    json policy = WithEnd("Stop");
    policy["initial_delay"] = zero;
    policy["end_time"] = zero;
    policy["diff_or_base"] = {{"base_value", {{"count", 0}, {"units", "milli"}}},
                              {"interval", {{"count", 2}, {"units", "milli"}}}};
    EXPECT_NO_THROW(CreateRateLimiterPolicy(policy, "Valid", Folder()));
}

// A doubling that drew 0, or a cap held at 0, would hand out 0 for ever; a state file left so (by a
// draw of 0 before a restart) must not hold the policy there either.
TEST_F(RetryPolicyTest, ADoublingOrACapLeftAtZeroIsDrawnAfresh) {
    for (const bool maxed : {false, true}) {
        SCOPED_TRACE(maxed ? "maxed out at 0" : "doubling from 0");
        const std::string now = FormatUtcIso8601(clock.Now());
        const std::string name = maxed ? "ZeroCap" : "ZeroBase";
        WriteState(name, json{{"count", 4},
                              {"last_delay_count", 0},
                              {"is_maxed_out", maxed},
                              {"first_call_time", now},
                              {"last_call_time", now}}
                             .dump());
        auto policy = CreateRateLimiterPolicy(ExpInfinite(), name, Folder());
        EXPECT_EQ(Ms(policy->Next()), 3000);
        AdvanceMs(3000);
        EXPECT_EQ(Ms(policy->Next()), 6000);
    }
}

TEST_F(RetryPolicyTest, EarlyCallsReturnTheRestOfTheWaitAndLateCallsAShorterOne) {
    auto policy = CreateRateLimiterPolicy(ExpInfinite(), "Early", Folder());
    EXPECT_EQ(Ms(policy->Next()), 0);
    EXPECT_EQ(Ms(policy->Next()), 3000);
    const auto saved = ReadState("Early");
    AdvanceMs(1000);
    EXPECT_EQ(Ms(policy->Next()), 2000);  // what is left, nothing advances
    EXPECT_EQ(policy->GetCount(), 2u);
    EXPECT_EQ(ReadState("Early"), saved);

    AdvanceMs(2000 + 4000);  // 4 s late for the 6 s wait
    EXPECT_EQ(Ms(policy->Next()), 2000);
    AdvanceMs(2000 + 30000);  // the 12 s wait lies wholly in the past
    EXPECT_EQ(Ms(policy->Next()), 0);
}

TEST_F(RetryPolicyTest, InitialDelayLinearDrawsAndIgnoredKeys) {
    json linear = {
        {"type", "Linear"},
        {"end_type", "Infinite"},
        {"initial_delay", Fixed(5, "sec")},
        {"diff_or_base",
         {{"base_value", {{"count", 1}, {"units", "sec"}}}, {"interval", {{"count", 1}, {"units", "sec"}}}}},
        {"max_delay", "not read for Linear"},
        {"end_time", "not read for Infinite"}};
    auto policy = CreateRateLimiterPolicy(linear, "Linear", Folder());
    EXPECT_EQ(Ms(policy->Next()), 5000);
    AdvanceMs(5000);
    for (int i = 0; i < 20; ++i) {
        const int64_t wait = Ms(policy->Next());
        EXPECT_GE(wait, 1000);
        EXPECT_LT(wait, 2000);
        AdvanceMs(wait);
    }
    EXPECT_EQ(policy->ToJson()["type"], "Linear");
    EXPECT_FALSE(policy->ToJson().contains("maximal_delay"));
}

TEST_F(RetryPolicyTest, StopEndsAtTheEndTimeAndStaysEndedAcrossARestartUntilReset) {
    auto policy = CreateRateLimiterPolicy(WithEnd("Stop"), "Stopper", Folder());
    EXPECT_EQ(Ms(policy->Next()), 0);
    EXPECT_EQ(Ms(policy->Next()), 3000);
    AdvanceMs(3000);
    EXPECT_EQ(Ms(policy->Next()), 6000);
    AdvanceMs(6000);
    EXPECT_EQ(Ms(policy->Next()), 1000) << "the time left until first call + end time";
    EXPECT_FALSE(policy->Next().has_value());
    EXPECT_EQ(ReadState("Stopper")["ended"], true);

    policy = CreateRateLimiterPolicy(WithEnd("Stop"), "Stopper", Folder());
    AdvanceMs(60000);
    EXPECT_FALSE(policy->Next().has_value());
    policy->Reset();
    EXPECT_EQ(policy->GetCount(), 0u);
    EXPECT_EQ(Ms(policy->Next()), 0);
    EXPECT_EQ(Ms(policy->Next()), 3000);
}

TEST_F(RetryPolicyTest, ResetStartsOverAfterTheEndTimeAlsoAfterARestart) {
    auto policy = CreateRateLimiterPolicy(WithEnd("Reset"), "Resetter", Folder());
    EXPECT_EQ(Ms(policy->Next()), 0);
    EXPECT_EQ(Ms(policy->Next()), 3000);
    AdvanceMs(3000);
    EXPECT_EQ(Ms(policy->Next()), 6000);
    AdvanceMs(6000);
    EXPECT_EQ(Ms(policy->Next()), 12000) << "the call that passes the end returns its wait";
    EXPECT_EQ(policy->GetCount(), 0u);
    EXPECT_EQ(ReadState("Resetter")["count"], 0);

    policy = CreateRateLimiterPolicy(WithEnd("Reset"), "Resetter", Folder());
    EXPECT_EQ(Ms(policy->Next()), 0) << "a first call again";
    EXPECT_EQ(Ms(policy->Next()), 3000);
}

// The end time counts from the first call stored in the file, not from the re-creation.
TEST_F(RetryPolicyTest, AnEndRuleAppliesToAPolicyReCreatedFromItsFileBeforeTheEnd) {
    struct Case {
        const char* end_type;
        int64_t last_wait;
        uint64_t count_after;
        bool ended;
    } cases[] = {
        {"Stop", 1000, 4, true},
        {"Reset", 12000, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end_type);
        const std::string name = std::string("Restarted") + c.end_type;
        auto policy = CreateRateLimiterPolicy(WithEnd(c.end_type), name, Folder());
        EXPECT_EQ(Ms(policy->Next()), 0);
        EXPECT_EQ(Ms(policy->Next()), 3000);
        AdvanceMs(3000);
        policy = CreateRateLimiterPolicy(WithEnd(c.end_type), name, Folder());
        EXPECT_EQ(Ms(policy->Next()), 6000);
        AdvanceMs(6000);
        policy = CreateRateLimiterPolicy(WithEnd(c.end_type), name, Folder());
        EXPECT_EQ(Ms(policy->Next()), c.last_wait);
        EXPECT_EQ(policy->GetCount(), c.count_after);
        EXPECT_EQ(ReadState(name)["ended"], c.ended);
        EXPECT_EQ(policy->Next().has_value(), !c.ended);
    }
}

TEST_F(RetryPolicyTest, ARestartedPolicyResumesItsBackOff) {
    auto policy = CreateRateLimiterPolicy(ExpInfinite(), "Resume", Folder());
    EXPECT_EQ(Ms(policy->Next()), 0);
    EXPECT_EQ(Ms(policy->Next()), 3000);
    AdvanceMs(3000);
    EXPECT_EQ(Ms(policy->Next()), 6000);
    policy.reset();

    policy = CreateRateLimiterPolicy(ExpInfinite(), "Resume", Folder());
    EXPECT_EQ(policy->GetCount(), 3u);
    AdvanceMs(1000);
    EXPECT_EQ(Ms(policy->Next()), 5000);
    AdvanceMs(5000);
    EXPECT_EQ(Ms(policy->Next()), 12000);
}

TEST_F(RetryPolicyTest, TextsOfTypeAndEndTypeAndDocumentErrors) {
    struct Case {
        json doc;
        const char* type;
        const char* end_type;
    } cases[] = {
        {json::object(), "Exp", "Reset"},
        {{{"type", "exp"}, {"end_type", "reset"}}, "Exp", "Stop"},
        {{{"type", "Linear"}, {"end_type", "Infinite"}}, "Linear", "Infinite"},
        {{{"end_type", "whatever"}}, "Exp", "Stop"},
    };
    for (const auto& c : cases) {
        const json out = CreateRateLimiterPolicy(c.doc, "", "")->ToJson();
        EXPECT_EQ(out["type"], c.type) << c.doc;
        EXPECT_EQ(out["end_type"], c.end_type) << c.doc;
    }
    const json defaults = CreateRateLimiterPolicy(json::object(), "", "")->ToJson();
    EXPECT_EQ(defaults["maximal_delay"]["base_value"], json::parse(R"({"count": 4, "units": "hr"})"));
    EXPECT_EQ(defaults["diff_or_base"]["interval"], json::parse(R"({"count": 100, "units": "milli"})"));
    EXPECT_EQ(defaults["end_time"]["base_value"], json::parse(R"({"count": 10, "units": "min"})"));
    EXPECT_FALSE(defaults.contains("initial_delay"));

    {
        // A count that is no whole number is a damaged setting: that duration's default, named in a warning.
        LogCapture log;
        json damaged = {{"type", "Exp"}, {"end_type", "Stop"}};
        for (const char* key : {"diff_or_base", "max_delay", "end_time", "initial_delay"}) {
            damaged[key] = Fixed(1, "sec");
            damaged[key]["base_value"]["count"] = "5";
        }
        damaged["max_delay"]["interval"]["count"] = nullptr;
        damaged["end_time"]["base_value"]["count"] = 2.5;
        const json out = CreateRateLimiterPolicy(damaged, "typo", "")->ToJson();
        EXPECT_EQ(out["diff_or_base"], defaults["diff_or_base"]);
        EXPECT_EQ(out["maximal_delay"], defaults["maximal_delay"]);
        EXPECT_EQ(out["end_time"], defaults["end_time"]);
        EXPECT_FALSE(out.contains("initial_delay"));
        for (const char* key : {"diff_or_base", "max_delay", "end_time", "initial_delay"}) {
            EXPECT_TRUE(log.Contains(logging::warning,
                                     std::string("Setting \"") + key + "\" of retry policy \"typo\""))
                << key;
        }
    }
    EXPECT_THROW(CreateRateLimiterPolicy(json::array(), "x", Folder()), json::type_error);
    EXPECT_THROW(CreateRateLimiterPolicy({{"type", 1}}, "x", Folder()), json::type_error);
    EXPECT_THROW(CreateRateLimiterPolicy({{"diff_or_base", Fixed(1, "days")}}, "x", Folder()),
                 std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(StateFile("x")));
}

TEST_F(RetryPolicyTest, WithoutNameOrFolderNothingIsPersisted) {
    LogCapture log;
    auto policy = CreateRateLimiterPolicy(ExpInfinite(), "", Folder());
    policy->Next();
    policy->Reset();
    EXPECT_EQ(log.Count(logging::verbose, "Policy state without name or state folder is not persisted"), 1);
    EXPECT_TRUE(std::filesystem::is_empty(scratch()));

    auto missing = CreateRateLimiterPolicy(ExpInfinite(), "Lost", (scratch() / "no-such").string());
    EXPECT_TRUE(log.Contains(logging::error, "Cannot get the folder path - GetLastError: "));
    EXPECT_EQ(Ms(missing->Next()), 0);
    EXPECT_TRUE(log.Contains(logging::error, "Cannot save the state config file - GetLastError: "));
}

TEST_F(RetryPolicyTest, UnknownKeysOfTheStateFileAreKept) {
    WriteState("Keep", R"({"count": 2, "extra": {"a": 1}, "last_delay_count": 3000,
                           "first_call_time": "2024-03-05T11:59:57+00:00",
                           "last_call_time": "2024-03-05T11:59:57+00:00"})");
    auto policy = CreateRateLimiterPolicy(ExpInfinite(), "Keep", Folder());
    EXPECT_EQ(Ms(policy->Next()), 6000);  // the 3 s wait ended just now
    const json state = ReadState("Keep");
    EXPECT_EQ(state["extra"], json::parse(R"({"a": 1})"));
    EXPECT_EQ(state["count"], 3);
}

TEST_F(RetryPolicyTest, AStateFileThatIsNoObjectOrHasWrongTypesMeansAFreshStart) {
    const char* texts[] = {"[1, 2]",          "\"text\"", "42",      R"({"count": "three"})",
                           R"({"ended": 1})", "[1, 2,",   "not json"};
    int n = 0;
    for (const char* text : texts) {
        LogCapture log;
        const std::string name = "Bad" + std::to_string(n++);
        WriteState(name, text);
        std::shared_ptr<IRandomValue> policy;
        ASSERT_NO_THROW(policy = CreateRateLimiterPolicy(ExpInfinite(), name, Folder())) << text;
        EXPECT_TRUE(log.Contains(logging::verbose, "Cannot load the state config file")) << text;
        EXPECT_EQ(policy->GetCount(), 0u) << text;
        EXPECT_EQ(Ms(policy->Next()), 0) << text;
        const json state = ReadState(name);
        EXPECT_TRUE(state.is_object()) << text;
        EXPECT_EQ(state["count"], 1) << text;
    }
}

// Counters out of range (negative, not whole, beyond what the counter holds) make the file
// unreadable as a wrong type does, with a warning naming the file and the key.
TEST_F(RetryPolicyTest, AStateFileWithCountersOutOfRangeMeansAFreshStart) {
    const struct {
        const char* text;
        const char* key;
    } cases[] = {
        {R"({"count": -1})", "count"},
        {R"({"count": 2.5})", "count"},
        {R"({"count": 1e300})", "count"},
        {R"({"count": 18446744073709551615})", "count"},
        {R"({"count": 2, "last_delay_count": -5})", "last_delay_count"},
        {R"({"count": 2, "last_delay_count": 1e300})", "last_delay_count"},
        {R"({"count": 2, "last_delay_count": 9223372036854775807})", "last_delay_count"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        const std::string name = "Range" + std::to_string(n++);
        WriteState(name, c.text);
        std::shared_ptr<IRandomValue> policy;
        ASSERT_NO_THROW(policy = CreateRateLimiterPolicy(ExpInfinite(), name, Folder()));
        EXPECT_TRUE(log.Contains(logging::warning, std::string("Setting \"") + c.key + "\" of " +
                                                       StateFile(name).string()));
        EXPECT_TRUE(log.Contains(logging::verbose, "Cannot load the state config file (" + StateFile(name).string()));
        EXPECT_EQ(policy->GetCount(), 0u);
        EXPECT_EQ(Ms(policy->Next()), 0);
        EXPECT_EQ(Ms(policy->Next()), 3000);
        EXPECT_EQ(ReadState(name)["count"], 2);
    }
}

TEST_F(RetryPolicyTest, AStateFileCutShortKeepsTheValuesReadBeforeTheCut) {
    LogCapture log;
    WriteState("Cut", R"({"count": 2, "last_delay_count": 3000, "extra": 1,)");
    auto policy = CreateRateLimiterPolicy(ExpInfinite(), "Cut", Folder());
    EXPECT_EQ(log.Count(logging::verbose, "Cannot load the state config file"), 1);
    EXPECT_EQ(policy->GetCount(), 2u);
    EXPECT_EQ(Ms(policy->Next()), 3000) << "the saved wait counts from now, the time the file lacks";
    AdvanceMs(3000);
    EXPECT_EQ(Ms(policy->Next()), 6000);
    const json state = ReadState("Cut");
    EXPECT_EQ(state["count"], 3);
    EXPECT_EQ(state["extra"], 1);
}

}  // namespace
// Every count of every policy of the built-in retries documents (standard and variants), damaged
// five ways: the policy is built and hands out waits that are never negative nor beyond the cap,
// and never spins (a run of waits of nothing, with no time passing: a base of 0 may draw 0 now and
// then, never four times in a row); a count below zero, or one that leaves a later delay that can
// only draw 0, refuses the document instead.
TEST_F(RetryPolicyTest, EveryBuiltInCountDamagedFiveWays) {
    const json damaged[] = {"text", nullptr, 0, -1, std::numeric_limits<int64_t>::max()};
    int cases = 0;
    for (const char* file : {"zelko-retries-config.json", "zelko-retries-config.json#sub",
                             "zelko-retries-config.json#fetch5mins"}) {
        const json document = json::parse(DefaultConfigs().at(file));
        for (const auto& [policy_name, policy] : document.at("policies").items()) {
            for (const auto& [duration, value] : policy.items()) {
                if (!value.is_object()) continue;
                for (const char* part : {"base_value", "interval"}) {
                    for (const json& bad : damaged) {
                        SCOPED_TRACE(std::string(file) + " " + policy_name + "/" + duration + "/" + part + " = " +
                                     bad.dump());
                        json changed = policy;
                        changed[duration][part]["count"] = bad;
                        // Keys the policy does not read stay out of it, damaged or not.
                        const bool read =
                            !(duration == "max_delay" && policy.value("type", "") == "Linear") &&
                            !(duration == "end_time" && policy.value("end_type", "") == "Infinite");
                        const bool never_waits = (duration == "diff_or_base" || duration == "max_delay") &&
                                                 bad == 0 && LargestDrawMs(changed[duration]) <= 0;
                        if (read && (bad == -1 || never_waits)) {
                            EXPECT_THROW(CreateRateLimiterPolicy(changed, policy_name, ""),
                                         std::invalid_argument);
                            ++cases;
                            continue;
                        }
                        std::shared_ptr<IRandomValue> built;
                        ASSERT_NO_THROW(built = CreateRateLimiterPolicy(changed, policy_name, ""));
                        int zeros_in_a_row = 0;
                        for (int i = 0; i < 6; ++i) {
                            const auto next = built->Next();
                            if (!next) break;  // a Stop policy whose end has come: no more attempts
                            const int64_t wait = next->count();
                            ASSERT_GE(wait, 0);
                            ASSERT_LE(wait, int64_t{1} << 53);
                            zeros_in_a_row = wait == 0 ? zeros_in_a_row + 1 : 0;
                            ASSERT_LT(zeros_in_a_row, 4) << "spins at call " << i;
                            AdvanceMs(std::min<int64_t>(wait, 1'000'000'000));
                        }
                        ++cases;
                    }
                }
            }
        }
    }
    EXPECT_GT(cases, 100);
}

}  // namespace zelko::plenar::agent
