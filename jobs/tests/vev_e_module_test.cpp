#include "jobs/vev_e_module.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "config/config_service.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using zelko::logging::error;
using zelko::logging::info;

constexpr const char* kGrantsMutex = "kvrt_RemoteConfigs_corvane-grants_mutex";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Another process that takes a named mutex and keeps it until it is killed (which abandons it).
class MutexHolder {
  public:
    explicit MutexHolder(const char* name) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            auto mutex = platform::NamedMutex::Create(name);
            if (!mutex || mutex->Wait(5000ms) != platform::MutexWait::Acquired) ::_exit(1);
            char byte = 'r';
            (void)!::write(ready[1], &byte, 1);
            while (true) ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
    }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~MutexHolder() { Kill(); }

  private:
    pid_t pid_ = -1;
};

class VevEModuleTest : public zelko::testing::SystemRootTest {
  protected:
    fs::path Folder() const { return scratch() / "exe"; }
    fs::path Shared(const std::string& name) const { return Folder() / "RemoteConfigs" / (name + "-config.json"); }
    fs::path ConfigPath() const { return scratch() / "config" / "vev-e-module-config.json"; }
    Json Grants() const { return Json::parse(ReadFile(Shared("corvane-grants"))); }

    void Register(const std::string& name, const char* document) {
        auto config = std::make_shared<config::BaseConfig>(name, nlohmann::ordered_json::parse(document),
                                                           scratch() / "store", "RemoteConfigs");
        configs_->RegisterConfig(name, config);
    }

    std::unique_ptr<VevEModule> Make(std::chrono::milliseconds timeout = VevEModule::kMutexTimeout) {
        return std::make_unique<VevEModule>(ConfigPath(), Folder(), "RemoteConfigs", "corvane-grants",
                                            "primary-corvane-grants", "corvane-policies", "primary-corvane-policies",
                                            configs_, timeout);
    }

    static void Send(VevEModule& module, uint32_t code, const std::string& data = "") {
        Event event(code, 0, data.empty() ? nullptr : data.c_str(), data.empty() ? 0 : data.size() + 1);
        module.Process(event);
    }

    zelko::testing::LogCapture log_;
    std::shared_ptr<config::ConfigService> configs_ = std::make_shared<config::ConfigService>();
};

TEST_F(VevEModuleTest, NamesOfTheSharedFilesAndTheirObjects) {
    auto module = Make();
    EXPECT_EQ(module->file(0).name, "Grants");
    EXPECT_EQ(module->file(0).path, Shared("corvane-grants"));
    EXPECT_EQ(module->file(0).mutex_name, kGrantsMutex);
    EXPECT_EQ(module->file(0).event_name, "corvane-grants_kvrt_event_");
    EXPECT_EQ(module->file(1).name, "Policy");
    EXPECT_EQ(module->file(1).path, Shared("corvane-policies"));
    EXPECT_EQ(module->file(1).mutex_name, "kvrt_RemoteConfigs_corvane-policies_mutex");
    EXPECT_EQ(module->file(1).event_name, "corvane-policies_kvrt_event_");
    EXPECT_FALSE(module->file(0).event->IsSet());
}

TEST_F(VevEModuleTest, GrantEventsEditTheGrantsList) {
    struct Case {
        const char* label;
        const char* registered;  // null: no grants configuration
        uint32_t code;
        const char* expected;
    } cases[] = {
        {"510 without configuration", nullptr, 510, R"({"data":{"grants":["zelko.com/corvane","zelko.com/bkc"]}})"},
        {"511 without configuration", nullptr, 511, R"({"data":{"grants":[]}})"},
        {"510 moves bkc to the end", R"({"data":{"grants":["zelko.com/bkc","third","zelko.com/corvane"]}})", 510,
         R"({"data":{"grants":["third","zelko.com/corvane","zelko.com/bkc"]}})"},
        {"511 keeps all but bkc", R"({"data":{"grants":["zelko.com/bkc","third","zelko.com/corvane"]}})", 511,
         R"({"data":{"grants":["third","zelko.com/corvane"]}})"},
        {"511 removes only the first of two", R"({"data":{"grants":["zelko.com/bkc","zelko.com/bkc"]}})", 511,
         R"({"data":{"grants":["zelko.com/bkc"]}})"},
        {"510 over null grants", R"({"data":{"grants":null},"other":1})", 510,
         R"({"data":{"grants":["zelko.com/corvane","zelko.com/bkc"]},"other":1})"},
        {"510 over no data", R"({"x":true})", 510, R"({"data":{"grants":["zelko.com/corvane","zelko.com/bkc"]},"x":true})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        configs_ = std::make_shared<config::ConfigService>();
        if (c.registered) Register("corvane-grants", c.registered);
        auto module = Make();
        Send(*module, c.code);
        EXPECT_EQ(Grants(), Json::parse(c.expected));
        EXPECT_TRUE(module->file(0).event->IsSet());
        EXPECT_FALSE(module->file(1).event->IsSet());
        module->file(0).event->Reset();
    }
    EXPECT_EQ(log_.Count(info, "VevEModule: GrantEnableVevEBkcEvent"), 4);
    EXPECT_EQ(log_.Count(info, "VevEModule: GrantDisableVevEBkcEvent"), 3);
    EXPECT_TRUE(log_.Contains(info, "VevEModule: Grants: saving config to file: " + Shared("corvane-grants").string()));
}

TEST_F(VevEModuleTest, ConfigurationFileSetsTheListsOrDefaultsWithAnErrorLine) {
    struct Case {
        const char* label;
        const char* content;  // null: no file
        std::vector<std::string> enable, disable;
        int error_lines;
    } cases[] = {
        {"missing file", nullptr, {kCorvaneGrant, kBkcGrant}, {kBkcGrant}, 0},
        {"empty", "", {kCorvaneGrant, kBkcGrant}, {kBkcGrant}, 0},
        {"cut", R"({"feature_overrides": {"bkc": )", {kCorvaneGrant, kBkcGrant}, {kBkcGrant}, 0},
        {"given lists", R"({"feature_overrides":{"bkc":{"enable_grants":["a"],"disable_grants":["b","c"]}}})",
         {"a"}, {"b", "c"}, 0},
        {"empty enable list", R"({"feature_overrides":{"bkc":{"enable_grants":[],"disable_grants":["b"]}}})",
         {}, {"b"}, 0},
        {"no feature_overrides", R"({"type":"x"})", {kCorvaneGrant, kBkcGrant}, {kBkcGrant}, 2},
        {"not an object", R"({"feature_overrides":[1]})", {kCorvaneGrant, kBkcGrant}, {kBkcGrant}, 2},
        {"element not a text", R"({"feature_overrides":{"bkc":{"enable_grants":["a",1],"disable_grants":["b"]}}})",
         {kCorvaneGrant, kBkcGrant}, {"b"}, 1},
        {"list not an array", R"({"feature_overrides":{"bkc":{"enable_grants":["a"],"disable_grants":"b"}}})",
         {"a"}, {kBkcGrant}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(ConfigPath());
        if (c.content) WriteFile(ConfigPath(), c.content);
        zelko::testing::LogCapture log;
        auto module = Make();
        EXPECT_EQ(module->enable_grants(), c.enable);
        EXPECT_EQ(module->disable_grants(), c.disable);
        EXPECT_EQ(log.Count(error, "VevEModule: Invalid config file: "), c.error_lines);
        if (c.error_lines == 2) {
            // The lists written in the error lines are the defaults in use.
            EXPECT_TRUE(log.Contains(error, " Use default grants to enable BKC: [zelko.com/corvane, zelko.com/bkc]"));
            EXPECT_TRUE(log.Contains(error, " Use default grants to disable BKC: [zelko.com/bkc]"));
        }
    }
}

TEST_F(VevEModuleTest, EmptyEnableListOnlyTakesOutTheDisableGrants) {
    WriteFile(ConfigPath(), R"({"feature_overrides":{"bkc":{"enable_grants":[],"disable_grants":["zelko.com/bkc"]}}})");
    Register("corvane-grants", R"({"data":{"grants":["zelko.com/bkc","x"]}})");
    auto module = Make();
    Send(*module, VevEBkcEnable);
    EXPECT_EQ(Grants(), Json::parse(R"({"data":{"grants":["x"]}})"));
}

TEST_F(VevEModuleTest, PolicyEventWritesThePoliciesDocumentWhole) {
    auto module = Make();
    Send(*module, VevEPolicies, R"({"p":1})");
    EXPECT_EQ(ReadFile(Shared("corvane-policies")), R"({"data":{"preferenceInfo":{}}})");
    EXPECT_TRUE(log_.Contains(info, R"(VevEModule: Updating policy {"p":1})"));
    EXPECT_TRUE(module->file(1).event->IsSet());

    Register("corvane-policies", R"({"data":{"preferenceInfo":{"k":"v"}},"version":3})");
    Send(*module, VevEPolicies, "ignored");
    EXPECT_EQ(Json::parse(ReadFile(Shared("corvane-policies"))),
              Json::parse(R"({"data":{"preferenceInfo":{"k":"v"}},"version":3})"));
    EXPECT_FALSE(fs::exists(Shared("corvane-grants")));
}

TEST_F(VevEModuleTest, OtherCodesDoNothingAndLogNothing) {
    auto module = Make();
    const size_t before = log_.Lines().size();
    for (uint32_t code : {0u, 430u, 509u, 513u, 0xFFFFFFFFu}) Send(*module, code, "x");
    EXPECT_EQ(log_.Lines().size(), before);
    EXPECT_FALSE(fs::exists(Folder() / "RemoteConfigs" / "corvane-grants-config.json"));
    EXPECT_FALSE(module->file(0).event->IsSet());
}

TEST_F(VevEModuleTest, DocumentOfTheWrongShapeEndsOnlyThatEvent) {
    Register("corvane-grants", R"({"data":{"grants":"not a list"}})");
    auto module = Make();
    Send(*module, VevEBkcEnable);
    EXPECT_FALSE(fs::exists(Shared("corvane-grants")));
    EXPECT_FALSE(module->file(0).event->IsSet());

    Register("corvane-grants", R"({"data":["x"]})");
    Send(*module, VevEBkcEnable);
    EXPECT_FALSE(fs::exists(Shared("corvane-grants")));

    Register("corvane-grants", R"({"data":{"grants":[]}})");
    Send(*module, VevEBkcDisable);
    EXPECT_EQ(Grants(), Json::parse(R"({"data":{"grants":[]}})"));
}

TEST_F(VevEModuleTest, ConfigServiceGoneUsesTheFallback) {
    Register("corvane-grants", R"({"data":{"grants":["x"]}})");
    auto module = Make();
    configs_.reset();
    Send(*module, VevEBkcDisable);
    EXPECT_EQ(Grants(), Json::parse(R"({"data":{"grants":[]}})"));
}

TEST_F(VevEModuleTest, MutexHeldByAnotherProcessTimesOutAndAbandonedOneWritesNothingOnce) {
    WriteFile(Shared("corvane-grants"), "old");
    WriteFile(Folder() / "RemoteConfigs" / "primary-corvane-grants-config.json", "{}");
    auto module = Make(200ms);
    MutexHolder holder(kGrantsMutex);

    const auto start = std::chrono::steady_clock::now();
    Send(*module, VevEBkcEnable);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_TRUE(log_.Contains(error, std::string("VevEModule: Failed saving Grants: timed out mutex: ") + kGrantsMutex));
    EXPECT_EQ(ReadFile(Shared("corvane-grants")), "old");
    EXPECT_FALSE(module->file(0).event->IsSet());

    holder.Kill();
    Send(*module, VevEBkcEnable);
    EXPECT_TRUE(log_.Contains(error, std::string("VevEModule: Failed saving Grants: abandoned mutex: ") + kGrantsMutex));
    EXPECT_EQ(ReadFile(Shared("corvane-grants")), "old");
    EXPECT_FALSE(module->file(0).event->IsSet());

    Send(*module, VevEBkcEnable);
    EXPECT_EQ(Grants(), Json::parse(R"({"data":{"grants":["zelko.com/corvane","zelko.com/bkc"]}})"));
    EXPECT_TRUE(module->file(0).event->IsSet());
    // No handle is kept between saves: another claimant gets the mutex at once.
    auto mutex = platform::NamedMutex::Create(kGrantsMutex);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(mutex->Wait(0ms), platform::MutexWait::Acquired);
    EXPECT_TRUE(mutex->Release());
}

TEST_F(VevEModuleTest, EventCreatedEarlierByAnotherHandleIsTheOneSet) {
    auto earlier = platform::NamedEvent::Create("corvane-grants_kvrt_event_", false);
    ASSERT_NE(earlier, nullptr);
    auto module = Make();
    Send(*module, VevEBkcDisable);
    EXPECT_TRUE(earlier->Wait(1s));
}

TEST_F(VevEModuleTest, FirstTimeCopyToThePrimaryFiles) {
    const fs::path dir = Folder() / "RemoteConfigs";
    WriteFile(Shared("corvane-grants"), R"({"data":{"grants":["s"]}})");
    WriteFile(Shared("corvane-policies"), "policies");
    WriteFile(dir / "primary-corvane-policies-config.json", "primary");
    Make();
    EXPECT_EQ(ReadFile(dir / "primary-corvane-grants-config.json"), R"({"data":{"grants":["s"]}})");
    EXPECT_EQ(ReadFile(Shared("corvane-grants")), R"({"data":{"grants":["s"]}})");
    EXPECT_EQ(ReadFile(dir / "primary-corvane-policies-config.json"), "primary");

    fs::remove_all(dir);
    Make();
    EXPECT_FALSE(fs::exists(dir / "primary-corvane-grants-config.json"));
    EXPECT_FALSE(fs::exists(dir / "primary-corvane-policies-config.json"));
}

TEST_F(VevEModuleTest, EventThatCannotBeCreatedFailsTheConstruction) {
    // The named objects' folder is a file: no event can be made.
    fs::remove_all(platform::NamedObjectPath("x").parent_path());
    WriteFile(platform::NamedObjectPath("x").parent_path(), "blocked");
    try {
        Make();
        FAIL() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed CreateEvent for:corvane-grants_kvrt_event_", 0), 0u) << e.what();
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
