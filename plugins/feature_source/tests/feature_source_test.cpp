#include "plugins/feature_source/feature_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/named_objects.h"
#include "platform/processes.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using shared::plugin::IDynamicPluginModule;
using shared::plugin::PluginBufferAllocator;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The library's defined dynamic symbols, demangled.
std::set<std::string> DynamicSymbols(const std::string& library) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> nm(
        ::popen(("nm -D --defined-only -C '" + library + "'").c_str(), "r"), ::pclose);
    std::set<std::string> symbols;
    if (!nm) return symbols;
    char line[4096];
    while (std::fgets(line, sizeof line, nm.get()) != nullptr) {
        // "<address> <type> <name>"; a demangled name holds blanks of its own.
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        const auto type = text.find(' ');
        if (type == std::string::npos || type + 3 > text.size()) continue;
        symbols.insert(text.substr(type + 3));
    }
    return symbols;
}

constexpr const char* kMutexName = "kvrt_RemoteConfigs_corvane-grants_mutex";

class FeatureSourceTest : public zelko::testing::SystemRootTest {
  protected:
    // The agent's folder is the scratch folder; the plug-in finds it as the service does.
    void SetUp() override {
        SystemRootTest::SetUp();
        ::setenv("ZELKO_AGENT_FOLDER", scratch().c_str(), 1);
        ASSERT_EQ(FeatureSource::ConfigFolder(), scratch() / "RemoteConfigs");
        fs::create_directories(FeatureSource::ConfigFolder());
    }
    void TearDown() override { ::unsetenv("ZELKO_AGENT_FOLDER"); }

    static void WriteConfig(const std::string& name, const std::string& content) {
        std::ofstream(FeatureSource::ConfigFolder() / (name + "-config.json"), std::ios::binary) << content;
    }

    // Whether nobody holds the configuration's mutex now.
    static bool MutexFree(const char* name = kMutexName) {
        auto mutex = platform::NamedMutex::Create(name);
        if (!mutex || mutex->Wait(0ms) != platform::MutexWait::Acquired) return false;
        return mutex->Release();
    }
};

TEST_F(FeatureSourceTest, AnswersTheNamedDocumentOrAnAgentError) {
    WriteConfig("corvane-grants", R"({"grants": ["a"], "folder": "%programdata%\\Zelko"})");
    WriteConfig("null-doc", "null");
    WriteConfig("broken", "{not json");
    WriteConfig("empty", "");
    const auto missing_path = (FeatureSource::ConfigFolder() / "absent-config.json").string();

    struct Case {
        const char* label;
        const char* input;  // null: no input at all
        const char* data;   // the document expected under "data", or null for an error
        const char* error_part;
    } cases[] = {
        {"present", R"({"name": "corvane-grants", "other": 1})",
         R"({"grants": ["a"], "folder": "%programdata%\\Zelko"})", nullptr},
        {"file holding null", R"({"name": "null-doc"})", "null", nullptr},
        {"missing", R"({"name": "absent"})", nullptr, "file doesn't not exist "},
        {"file not JSON", R"({"name": "broken"})", nullptr, "parse error"},
        {"empty file", R"({"name": "empty"})", nullptr, "parse error"},
        {"null input", nullptr, nullptr, "Input sequence is null"},
        {"input not JSON", "name=x", nullptr, "parse error"},
        {"input not an object", R"(["name"])", nullptr, "cannot use operator[] with a string argument with array"},
        {"no name", R"({"nom": "x"})", nullptr, "type must be string, but is null"},
        {"number as name", R"({"name": 7})", nullptr, "type must be string, but is number"},
        {"parent folder", R"({"name": "../x"})", nullptr, "Invalid configuration name '../x'"},
        {"dots inside", R"({"name": "a..b"})", nullptr, "Invalid configuration name"},
        {"slash", R"({"name": "a/b"})", nullptr, "Invalid configuration name"},
        {"backslash", R"({"name": "a\\b"})", nullptr, "Invalid configuration name"},
        {"blank", R"({"name": "a b"})", nullptr, "Invalid configuration name"},
        {"empty name", R"({"name": ""})", nullptr, "Invalid configuration name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Json answer = Json::parse(FeatureSource::Answer(c.input, 100ms));
        if (c.data != nullptr) {
            EXPECT_EQ(answer, Json({{"data", Json::parse(c.data)}}));
        } else {
            ASSERT_TRUE(answer.contains("agent_error")) << answer;
            const auto text = answer["agent_error"].get<std::string>();
            EXPECT_THAT(text, HasSubstr(c.error_part));
            EXPECT_THAT(text, HasSubstr("FeatureSource"));
        }
    }
    EXPECT_THAT(FeatureSource::Answer(R"({"name": "absent"})"), HasSubstr(missing_path));
    EXPECT_TRUE(MutexFree());
    EXPECT_TRUE(MutexFree("kvrt_RemoteConfigs_absent_mutex"));
    EXPECT_FALSE(fs::exists(platform::NamedObjectPath("kvrt_RemoteConfigs_.._x_mutex")));
}

// A process that takes the mutex and keeps it until it is killed.
class MutexHolder {
  public:
    MutexHolder() {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            auto mutex = platform::NamedMutex::Create(kMutexName);
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
    // Ends the holder without its release: the mutex is abandoned.
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

TEST_F(FeatureSourceTest, HeldOrAbandonedMutexIsAnErrorNotNullData) {
    WriteConfig("corvane-grants", R"({"v": 1})");
    MutexHolder holder;
    const auto start = std::chrono::steady_clock::now();
    Json answer = Json::parse(FeatureSource::Answer(R"({"name": "corvane-grants"})", 200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_THAT(answer.value("agent_error", ""), HasSubstr("Timed out waiting for the config access mutex"));

    holder.Kill();
    answer = Json::parse(FeatureSource::Answer(R"({"name": "corvane-grants"})", 200ms));
    EXPECT_THAT(answer.value("agent_error", ""), HasSubstr("abandoned"));
    // The abandoned mutex was given up clean: the next call reads the file.
    EXPECT_EQ(Json::parse(FeatureSource::Answer(R"({"name": "corvane-grants"})", 200ms)),
              Json({{"data", {{"v", 1}}}}));
    EXPECT_TRUE(MutexFree());
}

// The built library, as a host loads it.
class FeatureSourceLibraryTest : public FeatureSourceTest {
  protected:
    void SetUp() override {
        FeatureSourceTest::SetUp();
        library_ = platform::LibraryHandle(ZELKO_FEATURE_SOURCE_PLUGIN);
        ASSERT_TRUE(library_.IsOpen()) << library_.Error();
        auto load = reinterpret_cast<shared::plugin::LoadPluginFunction>(library_.Symbol("LoadPlugin"));
        ASSERT_NE(load, nullptr);
        plugin_.reset(load());
    }

    platform::LibraryHandle library_;
    std::unique_ptr<IDynamicPluginModule> plugin_;
};

// A host may link against the class itself: the library exports it whole, and nothing else.
TEST_F(FeatureSourceLibraryTest, ExportsLoadPluginAndThePluginClass) {
    EXPECT_NE(library_.Symbol("_ZN5zelko6plenar5agent10LoadPluginEv"), nullptr);
    const std::string cls = "zelko::plenar::agent::FeatureSource::";
    EXPECT_EQ(DynamicSymbols(ZELKO_FEATURE_SOURCE_PLUGIN),
              (std::set<std::string>{
                  "LoadPlugin",
                  "zelko::plenar::agent::LoadPlugin()",
                  cls + "FeatureSource()",
                  cls + "FeatureSource(zelko::plenar::agent::FeatureSource const&)",
                  cls + "operator=(zelko::plenar::agent::FeatureSource const&)",
                  cls + "~FeatureSource()",
                  cls + "Execute(char const*, char*)",
                  cls + "Execute(char const*, char*&, zelko::shared::plugin::PluginBufferAllocator const&)",
              }));
}

TEST_F(FeatureSourceLibraryTest, TwoArgumentExecuteLeavesTheBufferUntouched) {
    WriteConfig("corvane-grants", R"({"v": 1})");
    std::vector<char> buffer(10240, '#');
    plugin_->Execute(R"({"name": "corvane-grants"})", buffer.data());
    EXPECT_EQ(buffer, std::vector<char>(10240, '#'));
}

TEST_F(FeatureSourceLibraryTest, LargeAnswerGoesIntoAReplacedBufferNeverPastTheFirst) {
    // 64 kB of document: far past the host's first buffer.
    WriteConfig("big", Json({{"text", std::string(65536, 'z')}}).dump());
    const std::string expected = Json({{"data", {{"text", std::string(65536, 'z')}}}}).dump();

    for (bool host_gives_buffer_up : {true, false}) {
        SCOPED_TRACE(host_gives_buffer_up ? "replaced" : "host keeps its buffer");
        // The host's first buffer with a guard zone behind it.
        std::vector<char> first(10240 + 4096, 'G');
        std::vector<char> replacement;
        std::vector<std::string> calls;
        PluginBufferAllocator allocator;
        allocator.allocate = [&](uint64_t size) {
            calls.push_back("allocate " + std::to_string(size));
            replacement.assign(size, '#');
            return replacement.data();
        };
        allocator.release = [&](char*& buffer, uint64_t size) {
            calls.push_back("release " + std::to_string(size));
            if (host_gives_buffer_up) buffer = nullptr;
        };
        char* output = first.data();
        plugin_->Execute(R"({"name": "big"})", output, allocator);

        EXPECT_EQ(std::string(first.begin() + 10240, first.end()), std::string(4096, 'G'));
        if (host_gives_buffer_up) {
            EXPECT_EQ(calls, (std::vector<std::string>{"release 10240", "allocate " + std::to_string(expected.size() + 1)}));
            ASSERT_EQ(output, replacement.data());
            EXPECT_EQ(std::string(output), expected);
        } else {
            EXPECT_EQ(calls, (std::vector<std::string>{"release 10240"}));
            ASSERT_EQ(output, first.data());
            ASSERT_LT(strnlen(output, 10240), 10240u);
            EXPECT_THAT(Json::parse(output).value("agent_error", ""),
                        HasSubstr("could not be given a bigger output buffer"));
        }
    }

    // No buffer at all: nothing written, nothing asked of the host.
    char* none = nullptr;
    PluginBufferAllocator unused;
    plugin_->Execute(R"({"name": "big"})", none, unused);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
}  // namespace zelko::plenar::agent
