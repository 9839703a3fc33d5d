#include "foundation/random_value.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;

json Jittered(int64_t base, const char* base_units, int64_t interval, const char* interval_units) {
    return {{"base_value", {{"count", base}, {"units", base_units}}},
            {"interval", {{"count", interval}, {"units", interval_units}}}};
}

std::pair<int64_t, int64_t> Range(IRandomValue& value, int draws = 2000) {
    int64_t low = INT64_MAX, high = INT64_MIN;
    for (int i = 0; i < draws; ++i) {
        auto next = value.Next();
        EXPECT_TRUE(next.has_value());
        low = std::min<int64_t>(low, next->count());
        high = std::max<int64_t>(high, next->count());
    }
    return {low, high};
}

TEST(RandomValueTest, DrawsWithinTheIntervalOfItsType) {
    struct Case {
        json doc;
        int64_t low, high;  // inclusive bounds of every draw
    } cases[] = {
        {Jittered(3, "sec", 100, "milli"), 3000, 3100},
        {[] {
             auto j = Jittered(3, "sec", 100, "milli");
             j["interval_type"] = "SymetricAroundBase";
             return j;
         }(),
         2950, 3050},
        {[] {
             auto j = Jittered(1, "hr", 10, "min");
             j["interval_type"] = "Symmetric";  // any other text: symmetric
             return j;
         }(),
         3'300'000, 3'900'000},
        {Jittered(2, "min", 0, "sec"), 120'000, 120'000},
        {Jittered(5, "milli", 0, "milli"), 5, 5},
    };
    for (const auto& c : cases) {
        auto value = CreateRandomValue(c.doc);
        auto [low, high] = Range(*value);
        EXPECT_GE(low, c.low) << c.doc;
        EXPECT_LE(high, c.high) << c.doc;
        if (c.low != c.high) {
            EXPECT_LT(low, high) << "values should spread: " << c.doc;
        }
        EXPECT_EQ(value->GetCount(), 0u);
    }
}

TEST(RandomValueTest, SymmetricOffsetsTruncateTowardZero) {
    // An interval of 1 ms: x - 0.5 lies in [-0.5, 0.5), so every draw truncates to the base.
    auto j = Jittered(10, "milli", 1, "milli");
    j["interval_type"] = "SymetricAroundBase";
    auto [low, high] = Range(*CreateRandomValue(j));
    EXPECT_EQ(low, 10);
    EXPECT_EQ(high, 10);
}

TEST(RandomValueTest, ToJsonReadsBackAsTheSameValue) {
    auto j = Jittered(4, "hr", 10, "min");
    auto first = CreateRandomValue(j)->ToJson();
    EXPECT_EQ(first, json::parse(R"({"base_value": {"count": 4, "units": "hr"},
                                     "interval": {"count": 10, "units": "min"},
                                     "interval_type": "StartingWithBase"})"));
    j["interval_type"] = "whatever";
    auto symmetric = CreateRandomValue(j)->ToJson();
    EXPECT_EQ(symmetric["interval_type"], "SymetricAroundBase");
    EXPECT_EQ(CreateRandomValue(symmetric)->ToJson(), symmetric);
}

TEST(RandomValueTest, AllTenPairsOfUnitsAreAcceptedAndCoarserIntervalsRefused) {
    const char* units[] = {"hr", "min", "sec", "milli"};  // coarse to fine
    for (int b = 0; b < 4; ++b) {
        for (int i = 0; i < 4; ++i) {
            auto doc = Jittered(1, units[b], 1, units[i]);
            if (i >= b) {
                EXPECT_NO_THROW(CreateRandomValue(doc)) << doc;
            } else {
                EXPECT_THROW(CreateRandomValue(doc), std::invalid_argument) << doc;
            }
        }
    }
}

TEST(RandomValueTest, MalformedDocumentsAreRejected) {
    struct Case {
        const char* doc;
        int json_error;  // 0: std::invalid_argument
    } cases[] = {
        {R"({"base_value": {"count": 1, "units": "Hr"}, "interval": {"count": 1, "units": "min"}})", 0},
        {R"({"base_value": {"count": 1, "units": "seconds"}, "interval": {"count": 1, "units": "sec"}})", 0},
        {R"({"base_value": {"count": 1, "units": "min"}, "interval": {"count": 1, "units": "hr"}})", 0},
        {R"({"base_value": {"count": 1}, "interval": {"count": 1, "units": "sec"}})", 0},
        {R"({"base_value": {"units": "sec"}, "interval": {"count": 1, "units": "sec"}})", 0},
        {R"({"interval": {"count": 1, "units": "sec"}})", 0},
        {R"([1, 2])", 305},
        {R"({"base_value": 5, "interval": {"count": 1, "units": "sec"}})", 305},
        {R"({"base_value": {"count": 1, "units": 7}, "interval": {"count": 1, "units": "sec"}})", 302},
        {R"({"base_value": {"count": "1", "units": "sec"}, "interval": {"count": 1, "units": "sec"}})", 302},
        {R"({"base_value": {"count": 1, "units": "sec"}, "interval": {"count": 1, "units": "sec"},
             "interval_type": 1})",
         302},
    };
    for (const auto& c : cases) {
        const json doc = json::parse(c.doc);
        if (c.json_error == 0) {
            EXPECT_THROW(CreateRandomValue(doc), std::invalid_argument) << c.doc;
            continue;
        }
        try {
            CreateRandomValue(doc);
            ADD_FAILURE() << "no error for " << c.doc;
        } catch (const json::exception& e) {
            EXPECT_EQ(e.id, c.json_error) << c.doc << ": " << e.what();
        }
    }
}

TEST(RandomValueTest, ResetReseedsAndKeepsDrawingInRange) {
    auto value = CreateRandomValue(Jittered(1, "sec", 1, "sec"));
    value->Reset();
    auto [low, high] = Range(*value, 200);
    EXPECT_GE(low, 1000);
    EXPECT_LE(high, 2000);
}

}  // namespace
}  // namespace zelko::plenar::agent
