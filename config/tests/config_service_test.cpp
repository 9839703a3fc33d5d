#include "config/config_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::config {
namespace {

using nlohmann::ordered_json;

class ConfigServiceTest : public zelko::testing::SystemRootTest {
  protected:
    std::shared_ptr<BaseConfig> Register(const std::string& name, const char* document) {
        auto config =
            std::make_shared<BaseConfig>(name, ordered_json::parse(document), scratch(), "RemoteConfigs");
        service_.RegisterConfig(name, config);
        return config;
    }

    bool Validate(const char* condition) {
        return service_.ValidateCondition(ordered_json::parse(condition));
    }

    zelko::testing::LogCapture log_;
    ConfigService service_;
};

TEST_F(ConfigServiceTest, SelectorsExEqAndCont) {
    auto config = Register("grants", R"({"data": {"grants": ["g1", "g2"], "empty": [], "none": null,
                                          "num": 1.0, "obj": {"x": 1, "y": [1, 2]}, "a/b": true, "t~x": 2}})");
    const nlohmann::json before = config->GetConfig();
    struct Case {
        const char* selector;
        bool expected;
    } cases[] = {
        {R"({"ex": "/data/grants"})", true},
        {R"({"ex": "/data/none"})", false},
        {R"({"ex": "/data/missing"})", false},
        {R"({"ex": "/data/missing/deeper"})", false},
        {R"({"ex": "/data/none/deeper"})", false},
        {R"({"ex": "/data/grants/1"})", true},
        {R"({"ex": "/data/grants/2"})", false},
        {R"({"ex": "/data/grants/-"})", false},
        {R"({"ex": "/data/a~1b"})", true},
        {R"({"ex": "/data/t~0x"})", true},
        {R"({"eq": {"/data/num": 1}})", true},
        {R"({"eq": {"/data/obj": {"y": [1, 2], "x": 1}}})", true},
        {R"({"eq": {"/data/obj/y": [2, 1]}})", false},
        {R"({"eq": {"/data/none": null}})", false},
        {R"({"eq": {"/data/missing": 1}})", false},
        {R"({"eq": {}})", false},
        {R"({"cont": {"/data/grants": ["g2"]}})", true},
        {R"({"cont": {"/data/grants": ["g2", "g1"]}})", true},
        {R"({"cont": {"/data/grants": ["g3"]}})", false},
        {R"({"cont": {"/data/grants": "g1"}})", false},
        {R"({"cont": {"/data/empty": []}})", true},
        {R"({"cont": {"/data/missing": []}})", false},
        {R"({"cont": {"/data/num/x": []}})", false},
        {R"({"cont": {"/data/grants/x": []}})", false},
        {R"({"cont": {"/data/none/x": []}})", false},
        {R"({"ex": "/data/grants", "eq": {"/data/num": 2}})", true},
    };
    for (const auto& c : cases) {
        std::string condition =
            std::string(R"({"confgs": {"grants": {"v": )") + c.selector + R"(}}, "cond": "v"})";
        EXPECT_EQ(Validate(condition.c_str()), c.expected) << c.selector;
    }
    // Resolving never adds members or turns a null into a container.
    EXPECT_EQ(config->GetConfig(), before);
    EXPECT_EQ(log_.Count(logging::error, "Failed to validate condition"), 0);
}

TEST_F(ConfigServiceTest, PointerErrorsAndWrongTypesGiveFalseWithTheLibraryText) {
    Register("c", R"({"data": {"num": 1, "list": [1]}})");
    const char* cases[] = {
        R"({"confgs": {"c": {"v": {"ex": "/data/num/x"}}}, "cond": "v"})",
        R"({"confgs": {"c": {"v": {"ex": "/data/list/01"}}}, "cond": "v"})",
        R"({"confgs": {"c": {"v": {"ex": "data"}}}, "cond": "v"})",
        R"({"confgs": {"c": {"v": {"ex": 5}}}, "cond": "v"})",
        R"({"confgs": {"c": {"v": {"eq": ["/data/num", 1]}}}, "cond": "v"})",
        R"({"confgs": {"c": [1]}, "cond": "1"})",
        R"({"confgs": [1], "cond": "1"})",
        R"({"confgs": {"c": {}}, "cond": 1})",
    };
    for (const char* condition : cases) EXPECT_FALSE(Validate(condition)) << condition;
    EXPECT_EQ(log_.Count(logging::error, "Failed to validate condition: "), 8);
    EXPECT_TRUE(log_.Contains(logging::error, "cannot use key() for non-object iterators"));
    EXPECT_TRUE(log_.Contains(logging::error, "type must be string, but is number"));
}

TEST_F(ConfigServiceTest, FirstConfigurationDefiningAVariableWins) {
    Register("first", R"({"data": {"on": true}})");
    Register("second", R"({"data": {"on": false}})");
    EXPECT_TRUE(Validate(R"({"confgs": {"first": {"v": {"eq": {"/data/on": true}}},
                                        "second": {"v": {"eq": {"/data/on": true}}, "w": {"ex": "/data/on"}}},
                             "cond": "v & w"})"));
    EXPECT_FALSE(Validate(R"({"confgs": {"second": {"v": {"eq": {"/data/on": true}}},
                                         "first": {"v": {"eq": {"/data/on": true}}}},
                              "cond": "v"})"));
}

TEST_F(ConfigServiceTest, MissingKeysUnknownConfigurationsAndUnknownVariables) {
    Register("known", R"({"data": {}})");
    EXPECT_FALSE(Validate(R"({"cond": "1"})"));
    EXPECT_TRUE(log_.Contains(logging::warning, "Condition does not have 'confgs' key"));
    EXPECT_FALSE(Validate(R"([1])"));
    EXPECT_FALSE(Validate(R"({"confgs": {}})"));
    EXPECT_TRUE(log_.Contains(logging::warning, "Condition does not have 'cond' key"));
    EXPECT_FALSE(Validate(R"({"confgs": {"known": {}, "unknown": {}}, "cond": "1"})"));
    EXPECT_TRUE(log_.Contains(logging::warning, "Config with name unknown not found"));
    EXPECT_FALSE(Validate(R"({"confgs": {"known": {}}, "cond": "v"})"));
    EXPECT_TRUE(log_.Contains(logging::error, "Variable 'v' not found in the interpretation."));
    EXPECT_TRUE(Validate(R"({"confgs": {"known": null}, "cond": "1"})"));
}

TEST_F(ConfigServiceTest, RegisterReplacesAndLookupFindsByName) {
    auto first = Register("name", R"({"data": 1})");
    auto second = Register("name", R"({"data": 2})");
    EXPECT_TRUE(log_.Contains(logging::warning, "Config with name name already exists. Overwriting it."));
    EXPECT_EQ(service_.GetConfig("name"), second);
    EXPECT_EQ(service_.GetConfig("other"), nullptr);
}

TEST_F(ConfigServiceTest, RegistrationsAndEvaluationsFromSeveralThreads) {
    Register("base", R"({"data": {"grants": ["g"]}})");
    std::atomic<bool> stop{false};
    std::thread registrar([&] {
        for (int i = 0; !stop && i < 200; ++i) Register("extra" + std::to_string(i % 5), R"({"data": {}})");
    });
    int truths = 0;
    for (int i = 0; i < 200; ++i) {
        truths += Validate(R"({"confgs": {"base": {"a": {"cont": {"/data/grants": ["g"]}}}}, "cond": "a"})");
    }
    stop = true;
    registrar.join();
    EXPECT_EQ(truths, 200);
}

}  // namespace
}  // namespace zelko::plenar::config
