#include "foundation/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/log_capture.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;
using testing::LogCapture;

struct IntCase {
    const char* name;
    json value;
    int64_t expected;
    bool warned;
};

TEST(SettingsTest, IntGivesTheDefaultWithOneWarningForEveryDamagedValue) {
    const IntCase cases[] = {
        {"in range", 42, 42, false},
        {"whole float", 42.0, 42, false},
        {"low edge", 1, 1, false},
        {"high edge", 100, 100, false},
        {"string", "42", 7, true},
        {"null", nullptr, 7, true},
        {"bool", true, 7, true},
        {"object", json::object(), 7, true},
        {"array", json::array({1}), 7, true},
        {"fraction", 1.5, 7, true},
        {"zero", 0, 7, true},
        {"negative", -1, 7, true},
        {"huge", int64_t{9223372036854775807}, 7, true},
        {"beyond int64", uint64_t{18446744073709551615ull}, 7, true},
        {"huge float", 1e300, 7, true},
        {"2^63 as float", 9223372036854775808.0, 7, true},
    };
    for (const auto& c : cases) {
        LogCapture log;
        const json doc = {{"interval", c.value}};
        EXPECT_EQ(Settings::Int(doc, "test.json", "interval", 7, 1, 100), c.expected) << c.name;
        EXPECT_EQ(log.Count(logging::warning, "\"interval\" of test.json"), c.warned ? 1 : 0) << c.name;
    }
}

TEST(SettingsTest, MissingKeyOrADocumentThatIsNoObjectGivesTheDefault) {
    // An absent key or document is an optional setting left out: quiet. A document of another shape
    // is damaged: one warning per read.
    struct Case {
        json doc;
        bool warned;
    };
    const Case cases[] = {{json(), false},
                          {json::object(), false},
                          {json{{"other", 1}}, false},
                          {json::array({1, 2}), true},
                          {json("text"), true},
                          {json(7), true}};
    for (const auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(Settings::Int(c.doc, "d", "k", 5), 5) << c.doc.dump();
        EXPECT_EQ(Settings::Double(c.doc, "d", "k", 0.5), 0.5) << c.doc.dump();
        EXPECT_TRUE(Settings::Bool(c.doc, "d", "k", true)) << c.doc.dump();
        EXPECT_EQ(Settings::String(c.doc, "d", "k", "x"), "x") << c.doc.dump();
        EXPECT_TRUE(Settings::Object(c.doc, "d", "k").is_object()) << c.doc.dump();
        EXPECT_TRUE(Settings::Array(c.doc, "d", "k").is_array()) << c.doc.dump();
        EXPECT_EQ(log.Count(logging::warning, "\"k\" of d"), c.warned ? 6 : 0) << c.doc.dump();
    }
}

TEST(SettingsTest, APresentValueOfTheWrongShapeStillWarnsWhereAnAbsentOneDoesNot) {
    LogCapture log;
    const json doc = {{"k", nullptr}, {"o", 1}, {"a", "x"}};
    EXPECT_EQ(Settings::Int(doc, "d", "k", 5), 5);
    EXPECT_TRUE(Settings::Object(doc, "d", "o").empty());
    EXPECT_TRUE(Settings::Array(doc, "d", "a").empty());
    EXPECT_EQ(Settings::Int(doc, "d", "absent", 5), 5);
    EXPECT_EQ(log.Count(logging::warning, "of d"), 3);
    EXPECT_FALSE(log.Contains(logging::warning, "\"absent\""));
}

TEST(SettingsTest, BoolDoubleAndStringTakeOnlyTheirOwnType) {
    LogCapture log;
    const json doc = {{"b", 1}, {"d", "1.5"}, {"s", 3}, {"ok_b", false}, {"ok_d", 2.5}, {"ok_s", "v"}, {"nan", 1e308}};
    EXPECT_TRUE(Settings::Bool(doc, "doc", "b", true));
    EXPECT_EQ(Settings::Double(doc, "doc", "d", 0.5), 0.5);
    EXPECT_EQ(Settings::String(doc, "doc", "s", "def"), "def");
    EXPECT_FALSE(Settings::Bool(doc, "doc", "ok_b", true));
    EXPECT_EQ(Settings::Double(doc, "doc", "ok_d", 0.5, 0.0, 10.0), 2.5);
    EXPECT_EQ(Settings::Double(doc, "doc", "nan", 0.5, 0.0, 10.0), 0.5);
    EXPECT_EQ(Settings::String(doc, "doc", "ok_s", "def"), "v");
    EXPECT_EQ(log.Count(logging::warning, "of doc"), 4);
}

TEST(SettingsTest, IntervalsAreAtLeastOneSecondByDefault) {
    LogCapture log;
    const json doc = {{"ms", 999}, {"sec", 0}, {"min", -5}};
    EXPECT_EQ(Settings::Milliseconds(doc, "doc", "ms", 60000).count(), 60000);
    EXPECT_EQ(Settings::Seconds(doc, "doc", "sec", 300).count(), 300);
    EXPECT_EQ(Settings::Minutes(doc, "doc", "min", 720).count(), 720);
    EXPECT_EQ(log.Count(logging::warning, "out of range"), 3);
}

TEST(SettingsTest, ParseRefusesWhatIsNotJsonOrIsNestedTooDeep) {
    struct Case {
        const char* name;
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        {"object", R"({"a": [1, {"b": "]]]]"}]})", true},
        {"empty", "", false},
        {"cut", R"({"a": [1, 2)", false},
        {"not json", "hello", false},
        {"at the limit", std::string(64, '[') + std::string(64, ']'), true},
        {"too deep", std::string(65, '[') + std::string(65, ']'), false},
        {"very deep, cut", std::string(100000, '{'), false},
        {"brackets in strings do not count", "[\"" + std::string(200, '[') + "\"]", true},
    };
    for (const auto& c : cases) {
        LogCapture log;
        const json parsed = Settings::Parse(c.text, "shadow x");
        EXPECT_EQ(!parsed.is_null(), c.accepted) << c.name;
        EXPECT_EQ(log.Contains(logging::warning, "shadow x"), !c.accepted) << c.name;
    }
    EXPECT_EQ(Settings::Depth(json::parse("[[1],{\"a\":{}}]")), 3);
    EXPECT_EQ(Settings::Depth(json(5)), 0);
}

}  // namespace
}  // namespace zelko::plenar::agent
