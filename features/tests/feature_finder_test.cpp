#include "features/feature_finder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <stdexcept>

#include "consent/consent_manager.h"
#include "outside/enrollment/discovery_token.h"
#include "platform/registry.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using zelko::testing::LogCapture;
using Names = std::vector<std::string>;
constexpr auto HKLM = platform::RegistryHive::LocalMachine;

// A source of a given class name reporting fixed names; raises when told to.
class FakeSource : public ISource {
  public:
    FakeSource(std::string class_name, Names names)
        : _class(std::move(class_name)), _names(std::move(names)) {}
    std::string GetName() const override { return _class; }
    FeatureList GetFeatures() override {
        if (fail) throw std::runtime_error("source failed");
        FeatureList features;
        for (const auto& name : _names) features.push_back(MakeFeature(name));
        return features;
    }
    bool fail = false;

  private:
    std::string _class;
    Names _names;
};

std::shared_ptr<FakeSource> Fake(std::string class_name, Names names) {
    return std::make_shared<FakeSource>(std::move(class_name), std::move(names));
}

TEST(FeatureFinderTest, ListOperationsAndQuestions) {
    struct Case {
        const char* what;
        std::function<FeatureFinder()> make;
        std::function<void(FeatureFinder&)> change;
        Names all;
    } cases[] = {
        {"no sources", [] { return FeatureFinder({}); }, [](FeatureFinder&) {}, {}},
        {"source after source, duplicates kept",
         [] {
             return FeatureFinder({Fake("A", {"x", "y"}), Fake("B", {"x"})});
         },
         [](FeatureFinder&) {},
         {"x", "y", "x"}},
        {"AddSource replaces its class and goes last, after later sources",
         [] {
             return FeatureFinder({Fake("A", {"a1"}), Fake("B", {"b"})});
         },
         [](FeatureFinder& f) { f.AddSource(Fake("A", {"a2"})); },
         {"b", "a2"}},
        {"AddSource of a new class appends",
         [] { return FeatureFinder({Fake("A", {"a"})}); },
         [](FeatureFinder& f) { f.AddSource(Fake("C", {"c"})); },
         {"a", "c"}},
        {"RemoveSource of an unknown name changes nothing",
         [] {
             return FeatureFinder({Fake("A", {"a"}), Fake("B", {"b"})});
         },
         [](FeatureFinder& f) { f.RemoveSource("a"); },
         {"a", "b"}},
        {"RemoveSource removes both instances of a class, others keep order",
         [] {
             return FeatureFinder({Fake("A", {"a1"}), Fake("B", {"b"}), Fake("A", {"a2"}), Fake("C", {"c"})});
         },
         [](FeatureFinder& f) { f.RemoveSource("A"); },
         {"b", "c"}},
        {"RemoveMatchingSources with a pattern that is not in the list",
         [] {
             return FeatureFinder({Fake("A", {"a"}), Fake("B", {"b"})});
         },
         [](FeatureFinder& f) { f.RemoveMatchingSources(Fake("B", {})); },
         {"a"}},
        {"the same class added twice in a row stays once, last",
         [] {
             return FeatureFinder({Fake("A", {"a"}), Fake("B", {"b"})});
         },
         [](FeatureFinder& f) {
             f.AddSource(Fake("D", {"d1"}));
             f.AddSource(Fake("D", {"d2"}));
         },
         {"a", "b", "d2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FeatureFinder finder = c.make();
        c.change(finder);
        EXPECT_EQ(FeatureNames(finder.GetFeatures()), c.all);
        for (const auto& name : c.all) {
            const auto expected = std::count(c.all.begin(), c.all.end(), name);
            EXPECT_EQ(static_cast<long>(finder.GetFeaturesByName(name).size()), expected) << name;
        }
    }
}

TEST(FeatureFinderTest, LookupIsExactAndVerboseLogListsEveryName) {
    LogCapture log;
    FeatureFinder finder({Fake("R", {"commercialManaged"}), Fake("S", {"ss", "ss"})});
    EXPECT_EQ(finder.GetFeaturesByName("commercialManaged").size(), 1u);
    for (const char* other :
         {"commercialmanaged", "COMMERCIALMANAGED", "commercial", "commercialManaged ", ""}) {
        EXPECT_TRUE(finder.GetFeaturesByName(other).empty()) << other;
    }
    EXPECT_EQ(finder.GetFeaturesByName("ss").size(), 2u);
    finder.GetFeatures();
    EXPECT_TRUE(log.Contains(logging::verbose, "FeatureFinder::GetFeatures: commercialManaged ss ss "));
}

TEST(FeatureFinderTest, SourceFailureReachesTheCallerAndLeavesTheListAlone) {
    auto failing = Fake("B", {"b"});
    FeatureFinder finder({Fake("A", {"a"}), failing});
    failing->fail = true;
    EXPECT_THROW(finder.GetFeatures(), std::runtime_error);
    EXPECT_THROW(finder.GetFeaturesByName("a"), std::runtime_error);
    failing->fail = false;
    EXPECT_EQ(FeatureNames(finder.GetFeatures()), (Names{"a", "b"}));
}

TEST(FeatureFinderTest, FeaturesOutliveTheirSourceButNotItsReference) {
    FeatureList kept;
    {
        auto source = Fake("A", {"a"});
        FeatureFinder finder({source});
        kept = finder.GetFeatures();
        EXPECT_EQ(kept[0]->GetSource().lock(), source);
        finder.RemoveSource("A");
    }
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]->GetName(), "a");
    EXPECT_TRUE(kept[0]->GetSource().expired());
}

// A source replaced on one thread while another asks for features (run under the thread
// sanitizer to see the race this guards against): every answer is one whole list.
TEST(FeatureFinderTest, SourcesReplacedWhileAnotherThreadAsks) {
    FeatureFinder finder({Fake("A", {"a"}), Fake("B", {"b"})});
    std::atomic<bool> done{false};
    std::thread replacer([&] {
        for (int i = 0; i < 2000; ++i) {
            finder.AddSource(Fake("B", {"b"}));
            finder.AddSource(Fake("C", {"c"}));
            finder.RemoveSource("C");
        }
        done = true;
    });
    int asked = 0;
    while (!done || asked == 0) {
        const Names names = FeatureNames(finder.GetFeatures());
        ASSERT_TRUE(names == (Names{"a", "b"}) || names == (Names{"a", "b", "c"}))
            << ::testing::PrintToString(names);
        EXPECT_EQ(finder.GetFeaturesByName("a").size(), 1u);
        ++asked;
    }
    replacer.join();
    EXPECT_EQ(FeatureNames(finder.GetFeatures()), (Names{"a", "b"}));
}

TEST(FeatureFinderTest, SourceNotOwnedBySharedPointerFailsClearly) {
    nlohmann::json config = {{"sfs", nlohmann::json::array()}};
    SimulateFeaturesSource on_stack(config);
    EXPECT_TRUE(on_stack.GetFeatures().empty());  // nothing to report, nothing to fail
    config["sfs"].push_back("A");
    EXPECT_THROW(on_stack.GetFeatures(), std::bad_weak_ptr);

    FakeSource fake("A", {"a"});
    EXPECT_THROW(fake.GetFeatures(), std::bad_weak_ptr);
}

TEST(FeatureFinderTest, SourceNamesAreFixedAndDistinct) {
    nlohmann::json config;
    const Names names = {std::make_shared<RegistrySource>()->GetName(), PSConsentSource().GetName(),
                         SimulateFeaturesSource(config).GetName(), DiscoveryServiceSource(nullptr).GetName()};
    EXPECT_EQ(names, (Names{"RegistrySource", "PSConsentSource", "SimulateFeaturesSource",
                            "DiscoveryServiceSource"}));
}

// ---- registry sources ----

class RegistrySourcesTest : public zelko::testing::SystemRootTest {
  protected:
    static void Set(const char* key, const char* name, platform::RegistryValue value) {
        platform::RegistryKey handle;
        ASSERT_EQ(platform::RegistryKey::Create(HKLM, key, handle), platform::kErrorSuccess);
        ASSERT_EQ(handle.SetValue(name, value), platform::kErrorSuccess);
    }
    static void CreateKey(const char* key) {
        platform::RegistryKey handle;
        ASSERT_EQ(platform::RegistryKey::Create(HKLM, key, handle), platform::kErrorSuccess);
    }
    static Names Ask(ISource& source) { return FeatureNames(source.GetFeatures()); }
};

TEST_F(RegistrySourcesTest, RegistrySourceProbesExactTexts) {
    using platform::RegistryValue;
    struct Value {
        const char* key;
        const char* name;
        RegistryValue value;
    };
    struct Case {
        const char* what;
        std::vector<Value> values;
        std::vector<const char*> keys;
        Names expected;
    } cases[] = {
        {"nothing set", {}, {}, {}},
        {"VXM", {{kDeployersUninstallKey, "Deployers", RegistryValue::String("VXM")}}, {}, {"Deployers"}},
        {"vxm", {{kDeployersUninstallKey, "Deployers", RegistryValue::String("vxm")}}, {}, {}},
        {"VXM and a blank", {{kDeployersUninstallKey, "Deployers", RegistryValue::String("VXM ")}}, {}, {}},
        {"True",
         {{kAgentRegistryKey, "EnableTestEnv", RegistryValue::String("True")}},
         {},
         {"EnableTestEnv"}},
        {"TRUE", {{kAgentRegistryKey, "EnableTestEnv", RegistryValue::String("TRUE")}}, {}, {}},
        {"Managed True",
         {{kConsentPolicyKey, "Managed", RegistryValue::String("True")}},
         {},
         {"commercialManaged"}},
        {"Managed as a DWORD", {{kConsentPolicyKey, "Managed", RegistryValue::Dword(1)}}, {}, {}},
        {"key names ignore case",
         {{"software\\zelko\\zelko plenar agent", "enabletestenv", RegistryValue::String("True")}},
         {},
         {"EnableTestEnv"}},
        {"simulation keys",
         {},
         {kSimulateWriteCertErrorKey, kSimulateWUKey},
         {"simulatewu", "simulatewritecerterr"}},
        {"all in probe order",
         {{kConsentPolicyKey, "Managed", RegistryValue::String("True")},
          {kDeployersUninstallKey, "Deployers", RegistryValue::String("VXM")},
          {kAgentRegistryKey, "EnableTestEnv", RegistryValue::String("True")}},
         {kSimulateWUKey},
         {"Deployers", "EnableTestEnv", "commercialManaged", "simulatewu"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RegistryKey::DeleteTree(HKLM, "SOFTWARE");
        for (const auto& v : c.values) Set(v.key, v.name, v.value);
        for (const char* key : c.keys) CreateKey(key);
        auto source = std::make_shared<RegistrySource>();
        EXPECT_EQ(Ask(*source), c.expected);
    }
}

TEST_F(RegistrySourcesTest, RegistrySourceProbesOnlyWhenBuilt) {
    Set(kConsentPolicyKey, "Managed", platform::RegistryValue::String("True"));
    auto source = std::make_shared<RegistrySource>();
    Set(kConsentPolicyKey, "Managed", platform::RegistryValue::String("False"));
    CreateKey(kSimulateWUKey);
    EXPECT_EQ(Ask(*source), (Names{"commercialManaged"}));
    EXPECT_EQ(Ask(*source), (Names{"commercialManaged"}));
}

TEST_F(RegistrySourcesTest, PSConsentSourceReadsAtEveryQuestion) {
    auto source = std::make_shared<PSConsentSource>();
    {
        LogCapture log;
        EXPECT_EQ(Ask(*source), (Names{"PrivacySettingsAppInstalled"}));
        EXPECT_EQ(log.Count(logging::error, "Failed to RegOpenKeyExA keyTop key "), 7);
    }
    using platform::RegistryValue;
    Set(kConsentPolicyKey, "AllowSupport", RegistryValue::String("Accepted"));
    Set(kConsentPolicyKey, "AllowMarketing", RegistryValue::String("accepted"));
    Set(kConsentPolicyKey, "AllowTransferOutOfCountry", RegistryValue::String("Accepted"));
    Set(kConsentPolicyKey, "Managed", RegistryValue::String("True"));
    Set(kConsentPolicyKey, "TransferOutAllowed", RegistryValue::Dword(1));
    Set(kConsentPolicyKey, "TransferOutConsentRequired", RegistryValue::String("True"));
    EXPECT_EQ(Ask(*source), (Names{"AllowSupport", "AllowTransferOutOfCountry", "Managed",
                                   "TransferOutConsentRequired", "PrivacySettingsAppInstalled"}));
    Set(kConsentPolicyKey, "AllowProductEnhancement", RegistryValue::String("Accepted"));
    Set(kConsentPolicyKey, "Managed", RegistryValue::String("False"));
    EXPECT_EQ(Ask(*source), (Names{"AllowProductEnhancement", "AllowSupport", "AllowTransferOutOfCountry",
                                   "TransferOutConsentRequired", "PrivacySettingsAppInstalled"}));
}

// ---- simulated features ----

TEST(SimulateFeaturesSourceTest, FilterShapes) {
    struct Case {
        const char* config;
        Names expected;
    } cases[] = {
        {R"({"sfs": ["A", "B"]})", {"A", "B"}},
        {R"({"sfs": ["A", "B"], "fhi": {"filt": ["B"]}})", {"A"}},
        {R"({"sfs": ["A", "B"], "fhi": {"filt": "B"}})", {"A", "B"}},
        {R"({"sfs": ["A", "B"], "fhi": {"filt": {"x": "B"}}})", {"A", "B"}},
        {R"({"sfs": ["A", "B"], "fbf": {"filt": ["A"]}})", {"B"}},
        {R"({"sfs": ["A", "B"], "fbf": {"filt": ["A"]}, "fhi": {"filt": ["B"]}})", {}},
        {R"({"sfs": ["A", "B"], "fhi": ["B"], "fbf": "A"})", {"A", "B"}},
        {R"({"sfs": ["A", "A"], "fhi": {"filt": [1, null]}})", {"A", "A"}},
        {R"({"sfs": "A"})", {}},
        {R"({"sfs": {"x": "A"}})", {}},
        {R"({})", {}},
        {R"(["sfs"])", {}},
        {R"(null)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        nlohmann::json config = nlohmann::json::parse(c.config);
        auto source = std::make_shared<SimulateFeaturesSource>(config);
        LogCapture log;
        EXPECT_EQ(FeatureNames(source->GetFeatures()), c.expected);
        std::string list = "[";
        for (size_t i = 0; i < c.expected.size(); ++i) list += (i ? ", " : "") + c.expected[i];
        EXPECT_TRUE(log.Contains(logging::verbose, "SimulateFeaturesSource::GetFeatures: " + list + "]"));
    }
}

TEST(SimulateFeaturesSourceTest, ReadsTheHeldDocumentAtEveryQuestionAndRaisesOnNonText) {
    nlohmann::json config = {{"sfs", {"A"}}};
    auto source = std::make_shared<SimulateFeaturesSource>(config);
    EXPECT_EQ(FeatureNames(source->GetFeatures()), (Names{"A"}));
    config["sfs"].push_back("B");
    EXPECT_EQ(FeatureNames(source->GetFeatures()), (Names{"A", "B"}));
    config["sfs"].push_back(5);
    FeatureFinder finder({source});
    try {
        finder.GetFeaturesByName("A");
        ADD_FAILURE() << "no type error";
    } catch (const nlohmann::json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("type must be string, but is number"), std::string::npos);
    }
}

// ---- discovery token ----

class FakeToken : public shared::enrollment::IDiscoveryToken {
  public:
    shared::error::Error GetError() const override { return error; }
    std::string GetText() const override { return text; }
    shared::error::Error error;
    std::string text;
};

class FakeTokenCache : public shared::enrollment::IDiscoveryTokenCache {
  public:
    shared::error::Error LoadCachedDiscoveryToken() override {
        ++loads;
        return load_error;
    }
    const shared::enrollment::IDiscoveryToken* GetDiscoveryToken() const override {
        return has_token ? &token : nullptr;
    }
    shared::error::Error load_error;
    bool has_token = true;
    FakeToken token;
    int loads = 0;
};

TEST(DiscoveryServiceSourceTest, TokenCases) {
    const shared::error::Error failure(shared::error::ErrorCategory::EC_Component, 1, "no token");
    const std::string nested = std::string(10000, '[') + std::string(10000, ']');
    struct Case {
        const char* what;
        bool load_fails;
        bool has_token;
        bool token_invalid;
        std::string text;
        Names expected;
        const char* error_line;  // nullptr: no error line
    } cases[] = {
        {"two names",
         false,
         true,
         false,
         R"({"serviceName": ["corvane", "vev"]})",
         {"corvane", "vev"},
         nullptr},
        {"empty list", false, true, false, R"({"serviceName": []})", {}, nullptr},
        {"nothing cached",
         true,
         true,
         false,
         R"({"serviceName": ["a"]})",
         {},
         "LoadDiscoveryToken: Error loading cached discovery token."},
        {"no token", false, false, false, "", {}, "LoadDiscoveryToken: Token is invalid."},
        {"invalid token",
         false,
         true,
         true,
         R"({"serviceName": ["a"]})",
         {},
         "LoadDiscoveryToken: Token is invalid."},
        {"empty text",
         false,
         true,
         false,
         "",
         {},
         "LoadDiscoveryToken: Token is bad formatted.[json.exception.parse_error"},
        {"cut",
         false,
         true,
         false,
         R"({"serviceName": ["a")",
         {},
         "LoadDiscoveryToken: Token is bad formatted.[json.exception.parse_error"},
        {"not JSON",
         false,
         true,
         false,
         "eyJhbGciOi.x.y",
         {},
         "LoadDiscoveryToken: Token is bad formatted.[json.exception.parse_error"},
        {"huge garbage",
         false,
         true,
         false,
         std::string(1 << 20, 'x'),
         {},
         "LoadDiscoveryToken: Token is bad formatted.[json.exception.parse_error"},
        {"deeply nested", false, true, false, nested, {}, "LoadDiscoveryToken: Token is bad formatted."},
        {"not an object", false, true, false, R"(["a"])", {}, "LoadDiscoveryToken: Token is bad formatted."},
        {"no serviceName",
         false,
         true,
         false,
         R"({"service": ["a"]})",
         {},
         "LoadDiscoveryToken: Token is bad formatted."},
        {"serviceName a text",
         false,
         true,
         false,
         R"({"serviceName": "a"})",
         {},
         "LoadDiscoveryToken: Token is bad formatted."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto cache = std::make_shared<FakeTokenCache>();
        if (c.load_fails) cache->load_error = failure;
        cache->has_token = c.has_token;
        if (c.token_invalid) cache->token.error = failure;
        cache->token.text = c.text;
        auto source = std::make_shared<DiscoveryServiceSource>(cache);
        LogCapture log;
        EXPECT_EQ(FeatureNames(source->GetFeatures()), c.expected);
        if (c.error_line) {
            EXPECT_TRUE(log.Contains(logging::error, c.error_line));
        } else {
            EXPECT_EQ(log.Count(logging::error, ""), 0);
        }
        EXPECT_TRUE(log.Contains(logging::verbose, "DiscoveryServiceSource::LoadDiscoveryToken: ["));
    }
}

TEST(DiscoveryServiceSourceTest, ReadsAtEveryQuestionAndRaisesOnNonTextEntry) {
    auto cache = std::make_shared<FakeTokenCache>();
    cache->load_error = shared::error::Error(shared::error::ErrorCategory::EC_Component, 1);
    auto source = std::make_shared<DiscoveryServiceSource>(cache);
    FeatureFinder finder({source});
    EXPECT_TRUE(finder.GetFeaturesByName("a").empty());
    cache->load_error = {};
    cache->token.text = R"({"serviceName": ["a"]})";
    EXPECT_EQ(finder.GetFeaturesByName("a").size(), 1u);
    EXPECT_EQ(cache->loads, 2);
    cache->token.text = R"({"serviceName": ["b", 7]})";
    EXPECT_THROW(finder.GetFeatures(), nlohmann::json::type_error);
}

TEST(DiscoveryServiceSourceTest, EachDiscoveryLeavesOneSourceAtTheEnd) {
    auto cache = std::make_shared<FakeTokenCache>();
    cache->token.text = R"({"serviceName": ["d"]})";
    FeatureFinder finder({Fake("A", {"a"})});
    for (int discovery = 0; discovery < 2; ++discovery) {
        finder.RemoveMatchingSources(std::make_shared<DiscoveryServiceSource>(cache));
        finder.AddSource(std::make_shared<DiscoveryServiceSource>(cache));
        finder.AddSource(Fake("B", {"b"}));
    }
    finder.AddSource(std::make_shared<DiscoveryServiceSource>(cache));
    EXPECT_EQ(FeatureNames(finder.GetFeatures()), (Names{"a", "b", "d"}));
    finder.RemoveSource(DiscoveryServiceSource::kName);
    EXPECT_EQ(FeatureNames(finder.GetFeatures()), (Names{"a", "b"}));
}

}  // namespace
}  // namespace zelko::plenar::agent
