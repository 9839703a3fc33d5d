#include "service/persisted_state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class PersistedStateTest : public zelko::testing::SystemRootTest {
  protected:
    std::filesystem::path StateFile() const { return scratch() / "zelko-plenar-agent-state.json"; }

    zelko::testing::LogCapture log;
};

TEST_F(PersistedStateTest, FirstStartWritesTheDefaultDocument) {
    auto loaded = LoadServiceState(scratch());
    ASSERT_TRUE(loaded.folder_found);
    EXPECT_EQ(loaded.path, StateFile());
    EXPECT_EQ(loaded.document, DefaultServiceState());
    EXPECT_EQ(ReadFile(StateFile()), "{\n    \"required_on_start_done\": false\n}");
    auto flags = ReadPersistedFlags(loaded.document);
    EXPECT_FALSE(flags.required_on_start_done || flags.is_state_reset_done ||
                 flags.tried_to_hw_attest_with_pluton || flags.prev_grant || flags.req_grant_event);
    EXPECT_TRUE(log.Contains(logging::verbose, "Cannot open the state config file ("));
}

TEST_F(PersistedStateTest, RoundTripKeepsUnknownKeys) {
    WriteFile(StateFile(), R"({"prev_grant": true, "x": 1})");
    auto loaded = LoadServiceState(scratch());
    auto flags = ReadPersistedFlags(loaded.document);
    EXPECT_TRUE(flags.prev_grant);
    EXPECT_FALSE(flags.required_on_start_done);
    EXPECT_EQ(ReadFile(StateFile()), R"({"prev_grant": true, "x": 1})");  // a good file is not rewritten

    loaded.document["required_on_start_done"] = true;
    ASSERT_TRUE(SaveServiceState(loaded.path, loaded.document));
    auto again = LoadServiceState(scratch());
    EXPECT_EQ(again.document,
              (nlohmann::json{{"prev_grant", true}, {"x", 1}, {"required_on_start_done", true}}));
    EXPECT_TRUE(ReadPersistedFlags(again.document).required_on_start_done);
    EXPECT_EQ(ReadFile(StateFile()), again.document.dump(4));
    // Only the state file is left behind: the temporary file was renamed over it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch()), {}), 1);
}

TEST_F(PersistedStateTest, BrokenFilesAreReplacedByTheDefault) {
    for (const char* text : {R"({"required_on_start_done": tr)", "", "[true]", "\"text\"", "null"}) {
        WriteFile(StateFile(), text);
        auto loaded = LoadServiceState(scratch());
        EXPECT_EQ(loaded.document, DefaultServiceState()) << text;
        EXPECT_FALSE(ReadPersistedFlags(loaded.document).required_on_start_done) << text;
        EXPECT_EQ(ReadFile(StateFile()), DefaultServiceState().dump(4)) << text;
    }
    EXPECT_TRUE(log.Contains(logging::verbose, "Cannot load the state config file ("));
}

TEST_F(PersistedStateTest, KeysOfAnotherTypeReadAsFalse) {
    WriteFile(StateFile(), R"({"required_on_start_done": "yes", "prev_grant": true, "req_grant_event": 1})");
    auto loaded = LoadServiceState(scratch());
    auto flags = ReadPersistedFlags(loaded.document);
    EXPECT_FALSE(flags.required_on_start_done);
    EXPECT_FALSE(flags.req_grant_event);
    EXPECT_TRUE(flags.prev_grant);
    EXPECT_EQ(loaded.document["required_on_start_done"], "yes");  // kept as found
}

TEST_F(PersistedStateTest, MissingFolderOrUnwritableFileIsLoggedOnly) {
    auto loaded = LoadServiceState(scratch() / "absent");
    EXPECT_FALSE(loaded.folder_found);
    EXPECT_EQ(loaded.document, DefaultServiceState());
    EXPECT_FALSE(std::filesystem::exists(scratch() / "absent"));
    EXPECT_TRUE(log.Contains(logging::error, "Cannot get the folder path - GetLastError: "));

    EXPECT_FALSE(SaveServiceState(scratch() / "absent" / "state.json", DefaultServiceState()));
    EXPECT_TRUE(log.Contains(logging::error, "Cannot save the state config file - GetLastError: "));
}

TEST_F(PersistedStateTest, PurgeDeletesPolicyStateFilesOnceOnSubscriptionDevices) {
    const std::vector<std::string> purged = {"zelko-plenar-service-state-Discovery.json",
                                             "old-zelko-plenar-service-state-x.json"};
    const std::vector<std::string> kept = {"zelko-plenar-service-state-a.txt",
                                           "zelko-plenar-agent-state.json",
                                           "sub/zelko-plenar-service-state-Discovery.json"};
    std::filesystem::create_directories(scratch() / "sub");
    for (const auto& name : purged) WriteFile(scratch() / name, "{}");
    for (const auto& name : kept) WriteFile(scratch() / name, "{}");

    auto only_te = [](const std::string& name) { return name == "te"; };
    auto none = [](const std::string&) { return false; };

    EXPECT_FALSE(PurgePolicyStateFilesOnce(true, only_te, scratch()));
    EXPECT_TRUE(log.Contains(logging::info, "No state reset needed."));
    EXPECT_FALSE(PurgePolicyStateFilesOnce(false, none, scratch()));
    EXPECT_TRUE(log.Contains(logging::info, "No state reset needed. No ss or te feature found."));
    for (const auto& name : purged) EXPECT_TRUE(std::filesystem::exists(scratch() / name));

    EXPECT_FALSE(PurgePolicyStateFilesOnce(false, only_te, scratch() / "absent"));
    EXPECT_TRUE(log.Contains(logging::warning, "No state folder found."));

    EXPECT_TRUE(PurgePolicyStateFilesOnce(false, only_te, scratch()));
    for (const auto& name : purged) EXPECT_FALSE(std::filesystem::exists(scratch() / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(std::filesystem::exists(scratch() / name)) << name;
}

TEST_F(PersistedStateTest, RestrictionIsTheValueOne) {
    EXPECT_FALSE(IsZelkoPlenarAgentRestrictionApplied());
    EXPECT_TRUE(
        log.Contains(logging::warning,
                     "IsZelkoPlenarAgentRestrictionApplied failed to open the regestry key with code: "));

    platform::RegistryKey key;
    ASSERT_EQ(platform::RegistryKey::Create(platform::RegistryHive::LocalMachine,
                                            "SOFTWARE\\Zelko\\Zelko Plenar Agent", key),
              0);
    EXPECT_FALSE(IsZelkoPlenarAgentRestrictionApplied());
    EXPECT_TRUE(
        log.Contains(logging::warning, "IsZelkoPlenarAgentRestrictionApplied is not present in regestry"));

    struct Case {
        platform::RegistryValue value;
        bool restricted;
    } cases[] = {
        {platform::RegistryValue::Dword(1), true},
        {platform::RegistryValue::Dword(0), false},
        {platform::RegistryValue::Dword(2), false},
        {platform::RegistryValue::Binary(std::string("\x01\x00\x00\x00", 4)),
         true},  // the type plays no part
        {platform::RegistryValue::Binary(std::string("\x01", 1)), true},
        {platform::RegistryValue::Binary(std::string("\x01\x00\x00\x00\x00", 5)),
         false},  // longer than 4 bytes
        {platform::RegistryValue::String("1"), false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(key.SetValue("ZelkoPlenarAgentRestriction", c.value), 0);
        EXPECT_EQ(IsZelkoPlenarAgentRestrictionApplied(), c.restricted) << c.value.data.size();
    }
}

TEST(FeatureBytesTest, OnlyTheCodeRyForbidsCallingHome) {
    struct Case {
        const char* text;
        bool forbidden;
    } cases[] = {{"3Xry", true}, {"ry.ab", true}, {"3Xr.y", false}, {"ab.ry", false},
                 {"3Xr", false}, {"xry", false},  {"ry", true},     {"", false}};
    for (const auto& c : cases) EXPECT_EQ(FeatureBytesForbidCallHome(c.text), c.forbidden) << c.text;
}

TEST(DoNotCallHomeTest, DecisionTable) {
    auto good_info = [] {
        return std::optional<ZelkoSpecificInfoFacts>(ZelkoSpecificInfoFacts{false, "B1", "3X"});
    };
    auto inputs = [&](std::string stack, bool restricted) {
        CallHomeInputs in;
        in.stack = std::move(stack);
        in.restriction_applied = [restricted] { return restricted; };
        in.product_id = [] { return std::string("P1"); };
        in.specific_info = good_info;
        return in;
    };
    EXPECT_FALSE(DoNotCallHome(inputs("pie", true)));
    EXPECT_FALSE(DoNotCallHome(inputs("dev", true)));
    EXPECT_TRUE(DoNotCallHome(inputs("stage", true)));
    EXPECT_FALSE(DoNotCallHome(inputs("prod", false)));

    struct Case {
        const char* name;
        std::function<void(CallHomeInputs&)> change;
        bool result;
        const char* log;
    } cases[] = {
        {"empty product", [](CallHomeInputs& in) { in.product_id = [] { return std::string(); }; }, true,
         nullptr},
        {"no info",
         [](CallHomeInputs& in) {
             in.specific_info = [] { return std::optional<ZelkoSpecificInfoFacts>(); };
         },
         true, "Could not read Zelko specific info"},
        {"info error",
         [](CallHomeInputs& in) {
             in.specific_info = [] {
                 return std::optional<ZelkoSpecificInfoFacts>(ZelkoSpecificInfoFacts{true, "B", "3X"});
             };
         },
         true, "Could not read Zelko specific info"},
        {"no build id",
         [](CallHomeInputs& in) {
             in.specific_info = [] {
                 return std::optional<ZelkoSpecificInfoFacts>(ZelkoSpecificInfoFacts{false, "", "3X"});
             };
         },
         true, "Could not read feature byte or build id"},
        {"no feature bytes",
         [](CallHomeInputs& in) {
             in.specific_info = [] {
                 return std::optional<ZelkoSpecificInfoFacts>(
                     ZelkoSpecificInfoFacts{false, "B", std::nullopt});
             };
         },
         true, "Could not read feature byte or build id"},
        {"empty feature bytes",
         [](CallHomeInputs& in) {
             in.specific_info = [] {
                 return std::optional<ZelkoSpecificInfoFacts>(ZelkoSpecificInfoFacts{false, "B", ""});
             };
         },
         true, "Feature byte is empty"},
        {"ry",
         [](CallHomeInputs& in) {
             in.specific_info = [] {
                 return std::optional<ZelkoSpecificInfoFacts>(ZelkoSpecificInfoFacts{false, "B", "3Xry"});
             };
         },
         true, nullptr},
        {"throws",
         [](CallHomeInputs& in) { in.product_id = []() -> std::string { throw std::runtime_error("x"); }; },
         true, "Exception checking DoNotCallHome, defaulting to DoNotCallHome"},
    };
    for (const auto& c : cases) {
        zelko::testing::LogCapture log;
        auto in = inputs("prod", false);
        c.change(in);
        EXPECT_EQ(DoNotCallHome(in), c.result) << c.name;
        if (c.log) {
            EXPECT_TRUE(log.Contains(logging::error, c.log)) << c.name;
        }
        EXPECT_TRUE(log.Contains(logging::debug, "DoNotCallHome check ended as true")) << c.name;
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
