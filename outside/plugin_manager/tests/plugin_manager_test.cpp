#include "outside/plugin_manager/plugin_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <thread>

#include "outside/plugin_manager/executor_protocol.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::plugin {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

std::vector<unsigned char> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A signing key of the test, its public half written as PEM.
class SigningKey {
  public:
    SigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")) {}
    ~SigningKey() { EVP_PKEY_free(key_); }

    void WritePublic(const fs::path& path) const {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        PEM_write_PUBKEY(file, key_);
        std::fclose(file);
    }

    void Sign(const fs::path& file) const {
        auto content = ReadBytes(file);
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        size_t size = 0;
        ASSERT_EQ(EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key_), 1);
        ASSERT_EQ(EVP_DigestSign(context, nullptr, &size, content.data(), content.size()), 1);
        std::vector<unsigned char> signature(size);
        ASSERT_EQ(EVP_DigestSign(context, signature.data(), &size, content.data(), content.size()), 1);
        EVP_MD_CTX_free(context);
        std::ofstream(file.string() + ".sig", std::ios::binary)
            .write(reinterpret_cast<const char*>(signature.data()), static_cast<std::streamsize>(size));
    }

  private:
    EVP_PKEY* key_;
};

class PluginManagerTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        key_.WritePublic(public_key());
    }

    fs::path collectors() const { return scratch() / "collectors"; }
    fs::path in_memory() const { return scratch() / "inmem"; }
    fs::path public_key() const { return scratch() / "signing.pem"; }

    // Installs the test plug-in as name/version in the folder, signed unless told otherwise.
    fs::path Install(const fs::path& folder, const std::string& name, const std::string& version,
                     bool sign = true) {
        const auto target = folder / name / version / (name + ".so");
        fs::create_directories(target.parent_path());
        fs::copy_file(ZELKO_TEST_PLUGIN, target, fs::copy_options::overwrite_existing);
        if (sign) key_.Sign(target);
        return target;
    }

    std::unique_ptr<PluginManager> Manager(bool accept_unsigned = false) {
        auto manager = std::make_unique<PluginManager>(collectors().c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
                                                       ValidatorSettings{public_key(), accept_unsigned});
        EXPECT_FALSE(manager->GetError());
        manager->InitializeInMemoryPlugins(in_memory().c_str());
        return manager;
    }

    static DynamicBufferResult Run(IPluginManager& manager, const std::string& name, const std::string& version,
                                   const std::string& input) {
        const char* text = input.c_str();
        return manager.ExecutePlugin(name.c_str(), version.c_str(), text, PluginExecutionPolicy{}, nullptr, nullptr);
    }

    SigningKey key_;
};

TEST_F(PluginManagerTest, PicksTheHighestVersionInTheRange) {
    Install(collectors(), "p", "1.0.0");
    Install(collectors(), "p", "1.2.0");
    Install(collectors(), "p", "1.10.0");
    Install(collectors(), "p", "2.0.0");
    Install(in_memory(), "p", "1.2.0");
    fs::create_directories(collectors() / "p" / "9.9.9");  // no library: ignored
    fs::create_directories(collectors() / "p" / "latest");
    auto manager = Manager();

    struct Case {
        const char* range;
        const char* version;  // empty: not found
        bool in_memory;
    } cases[] = {
        {">=1.2.0", "2.0.0", false}, {"1.2.0", "1.2.0", true},    {"=1.10.0", "1.10.0", false},
        {"<2", "1.10.0", false},     {"<=1.2", "1.2.0", true},    {">2.0.0", "", false},
        {"1.1.0", "", false},        {">=1.0.0", "2.0.0", false}, {"1", "1.0.0", false},
    };
    for (const auto& c : cases) {
        PluginDescriptionResult result;
        ASSERT_FALSE(manager->GetPluginDescription("p", c.range, result, nullptr)) << c.range;
        EXPECT_EQ(result.notFound, *c.version == '\0') << c.range;
        EXPECT_EQ(result.version, c.version) << c.range;
        if (*c.version == '\0') continue;
        EXPECT_EQ(result.inMemory, c.in_memory) << c.range;
        EXPECT_EQ(result.name, "p");
        EXPECT_TRUE(result.isSignatureValid && result.isLoaded) << c.range;
        EXPECT_EQ(result.state, kPluginIdle);
    }

    PluginDescriptionResult result;
    for (const char* bad : {"", ">=", "~1.2", ">=1.x", "=>1.0"}) {
        EXPECT_TRUE(manager->GetPluginDescription("p", bad, result, nullptr)) << bad;
    }
    for (const char* bad_name : {"", "../p", "a/b"}) {
        EXPECT_TRUE(manager->GetPluginDescription(bad_name, "1.0.0", result, nullptr)) << bad_name;
    }
    ASSERT_FALSE(manager->GetPluginDescription("missing", ">=1.0.0", result, nullptr));
    EXPECT_TRUE(result.notFound);
    EXPECT_THAT(Run(*manager, "missing", "1.0.0", "{}").GetError().what(), HasSubstr("no plug-in missing"));
}

TEST_F(PluginManagerTest, RunsInProcessAndThroughTheExecutor) {
    Install(in_memory(), "local", "1.0.0");
    Install(collectors(), "remote", "1.0.0");
    auto manager = Manager();
    const std::string own_pid = std::to_string(::getpid());

    for (const char* name : {"local", "remote"}) {
        SCOPED_TRACE(name);
        const bool local = std::string(name) == "local";
        auto echo = Run(*manager, name, "1.0.0", R"({"op":"echo","text":"hello %s %n"})");
        ASSERT_FALSE(echo.GetError()) << echo.GetError().what();
        EXPECT_STREQ(echo.GetOutput(), "hello %s %n");
        EXPECT_EQ(echo.GetOutputSize(), 12u);

        auto pid = Run(*manager, name, "1.0.0", R"({"op":"pid"})");
        EXPECT_EQ(pid.GetOutput() == own_pid, local);

        // An answer past the first buffer comes back whole through the host's allocator.
        auto big = Run(*manager, name, "1.0.0", R"({"op":"big","size":65536})");
        ASSERT_FALSE(big.GetError()) << big.GetError().what();
        EXPECT_EQ(big.GetOutputSize(), 65537u);
        EXPECT_EQ(std::string(big.GetOutput()), std::string(65536, 'x'));

        auto empty = Run(*manager, name, "1.0.0", R"({"op":"echo"})");
        EXPECT_FALSE(empty.GetError());
        EXPECT_EQ(empty.GetOutputSize(), 1u);

        auto thrown = Run(*manager, name, "1.0.0", R"({"op":"throw"})");
        EXPECT_THAT(thrown.GetError().what(), HasSubstr("test plug-in raised"));

        const char* no_input = nullptr;
        EXPECT_TRUE(manager->ExecutePlugin(name, "1.0.0", no_input, {}, nullptr, nullptr).GetError());
    }

    auto crash = Run(*manager, "remote", "1.0.0", R"({"op":"crash"})");
    EXPECT_THAT(crash.GetError().what(), HasSubstr("was ended by signal 6"));

    // A missing executor program is an error of the run, not of the manager.
    PluginManager broken(collectors().c_str(), "info", scratch() / "no-executor",
                         ValidatorSettings{public_key(), false});
    EXPECT_THAT(Run(broken, "remote", "1.0.0", R"({"op":"pid"})").GetError().what(), HasSubstr("cannot start"));
}

bool ProcessExists(const std::string& pid) { return ::kill(std::stoi(pid), 0) == 0; }

// Whether the child has ended and waits to be reaped by its owner.
bool IsZombie(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    return end != std::string::npos && text.size() > end + 2 && text[end + 2] == 'Z';
}

TEST_F(PluginManagerTest, KeptExecutorServesRunAfterRunAndIsReplacedAfterACrash) {
    Install(collectors(), "remote", "1.0.0");
    Install(collectors(), "other", "2.0.0");
    auto manager = Manager();
    const std::string own_pid = std::to_string(::getpid());

    const std::string executor = Run(*manager, "remote", "1.0.0", R"({"op":"pid"})").GetOutput();
    ASSERT_NE(executor, own_pid);
    EXPECT_EQ(Run(*manager, "remote", "1.0.0", R"({"op":"pid"})").GetOutput(), executor);
    // Another plug-in gets an executor of its own; a failed run and an answer past the first buffer
    // keep the same process.
    const std::string other = Run(*manager, "other", "2.0.0", R"({"op":"pid"})").GetOutput();
    EXPECT_NE(other, executor);
    EXPECT_NE(other, own_pid);
    EXPECT_THAT(Run(*manager, "remote", "1.0.0", R"({"op":"throw"})").GetError().what(),
                HasSubstr("failed with exit code 6: plug-in failed: test plug-in raised"));
    EXPECT_EQ(Run(*manager, "remote", "1.0.0", R"({"op":"big","size":100000})").GetOutputSize(), 100001u);
    EXPECT_EQ(Run(*manager, "remote", "1.0.0", R"({"op":"pid"})").GetOutput(), executor);

    // A crash ends that executor only: the manager answers the run and the next one gets a new one.
    EXPECT_THAT(Run(*manager, "remote", "1.0.0", R"({"op":"crash"})").GetError().what(),
                HasSubstr("was ended by signal 6"));
    EXPECT_FALSE(ProcessExists(executor));
    auto after = Run(*manager, "remote", "1.0.0", R"({"op":"pid"})");
    ASSERT_FALSE(after.GetError()) << after.GetError().what();
    const std::string replacement = after.GetOutput();
    EXPECT_NE(replacement, executor);
    EXPECT_NE(replacement, own_pid);

    // An executor that died while idle is not handed a run.
    ASSERT_EQ(::kill(std::stoi(replacement), SIGKILL), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!IsZombie(replacement) && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(IsZombie(replacement));
    auto fresh = Run(*manager, "remote", "1.0.0", R"({"op":"pid"})");
    ASSERT_FALSE(fresh.GetError()) << fresh.GetError().what();
    const std::string last = fresh.GetOutput();
    EXPECT_NE(last, replacement);

    // The manager's end ends its idle executors.
    manager.reset();
    EXPECT_FALSE(ProcessExists(last));
}

TEST_F(PluginManagerTest, IdleExecutorsStayForTheirOwnFileTheLongestIdleLeavingFirst) {
    const std::string names[] = {"p0", "p1", "p2", "p3", "p4"};
    for (const auto& name : names) Install(collectors(), name, "1.0.0");
    auto manager = Manager();
    std::map<std::string, std::string> executors;
    for (const auto& name : names) {
        executors[name] = Run(*manager, name, "1.0.0", R"({"op":"pid"})").GetOutput();
    }
    // Four stay idle: p4's return ended p0's, the one idle longest.
    EXPECT_FALSE(ProcessExists(executors["p0"]));
    for (const auto& name : {"p4", "p1", "p3", "p2"}) {
        EXPECT_EQ(Run(*manager, name, "1.0.0", R"({"op":"pid"})").GetOutput(), executors[name]) << name;
    }
    const std::string p0 = Run(*manager, "p0", "1.0.0", R"({"op":"pid"})").GetOutput();
    EXPECT_NE(p0, executors["p0"]);
    EXPECT_FALSE(ProcessExists(executors["p4"]));
    EXPECT_EQ(Run(*manager, "p1", "1.0.0", R"({"op":"pid"})").GetOutput(), executors["p1"]);
}

// "build <n> pid <executor>" of the build plug-in, split.
struct BuildAnswer {
    std::string build;
    std::string pid;
};

BuildAnswer Split(const DynamicBufferResult& result) {
    const std::string text = result.GetOutput();
    const size_t at = text.find(" pid ");
    if (at == std::string::npos) return {text + result.GetError().what(), ""};
    return {text.substr(0, at), text.substr(at + 5)};
}

TEST_F(PluginManagerTest, KeptExecutorNeverRunsAReplacedPluginFile) {
    const fs::path build_1 = ZELKO_TEST_BUILD_PLUGIN_1, build_2 = ZELKO_TEST_BUILD_PLUGIN_2;
    const auto library = collectors() / "p" / "1.0.0" / "p.so";
    // As an update job writes it: another inode with the same time, or the same inode with another.
    struct Case {
        const char* how;
        std::function<void()> replace;
    } cases[] = {
        {"renamed over",
         [&] {
             const fs::path next = library.string() + ".new";
             fs::copy_file(build_2, next);
             fs::last_write_time(next, fs::last_write_time(library));
             fs::rename(next, library);
         }},
        {"rewritten in place",
         [&] {
             const auto modified = fs::last_write_time(library);
             std::ofstream(library, std::ios::binary | std::ios::trunc)
                 << std::ifstream(build_2, std::ios::binary).rdbuf();
             fs::last_write_time(library, modified + std::chrono::seconds(1));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        fs::remove_all(collectors());
        fs::create_directories(library.parent_path());
        fs::copy_file(build_1, library);
        auto manager = Manager(true);  // the builds are not signed
        const auto first = Split(Run(*manager, "p", "1.0.0", "{}"));
        ASSERT_EQ(first.build, "build 1");
        EXPECT_EQ(Split(Run(*manager, "p", "1.0.0", "{}")).pid, first.pid);

        c.replace();
        const auto second = Split(Run(*manager, "p", "1.0.0", "{}"));
        EXPECT_EQ(second.build, "build 2");
        EXPECT_NE(second.pid, first.pid);
        EXPECT_FALSE(ProcessExists(first.pid));  // ended, not kept idle
        const auto third = Split(Run(*manager, "p", "1.0.0", "{}"));
        EXPECT_EQ(third.build, "build 2");
        EXPECT_EQ(third.pid, second.pid);
    }
}

// The executor's own guard, for a file replaced between the manager's look and the run.
TEST_F(PluginManagerTest, ServingExecutorRefusesAnotherFileAndItsOwnOnceReplaced) {
    const auto library = scratch() / "p.so";
    fs::copy_file(ZELKO_TEST_BUILD_PLUGIN_1, library);
    auto executor = platform::ChildProcess::Start(ZELKO_PLUGIN_EXECUTOR, {executor_protocol::kServeOption});
    ASSERT_TRUE(executor);
    auto run = [&](const fs::path& path) {
        std::string output, errors;
        EXPECT_TRUE(executor->Exchange(
            executor_protocol::Request(path.string(), "{}"), output, errors,
            [](const std::string& r) { return executor_protocol::ParseReply(r).has_value(); }));
        const auto reply = executor_protocol::ParseReply(output);
        return reply ? std::pair<int, std::string>(reply->status, reply->payload) : std::pair(-1, errors);
    };
    const auto first = run(library);
    EXPECT_EQ(first.first, 0);
    EXPECT_THAT(first.second, ::testing::StartsWith("build 1 pid "));
    EXPECT_EQ(run(ZELKO_TEST_BUILD_PLUGIN_2).first, executor_protocol::kFileChangedStatus);
    EXPECT_EQ(run(library), first);

    const fs::path next = scratch() / "p.so.new";
    fs::copy_file(ZELKO_TEST_BUILD_PLUGIN_2, next);
    fs::last_write_time(next, fs::last_write_time(library));
    fs::rename(next, library);
    const auto refused = run(library);
    EXPECT_EQ(refused.first, executor_protocol::kFileChangedStatus);
    EXPECT_THAT(refused.second, HasSubstr("as it was when loaded"));
}

// An executor that keeps refusing (its file replaced again and again) is tried twice, never kept.
TEST_F(PluginManagerTest, RefusingExecutorIsRetriedOnceAndNeverKept) {
    Install(collectors(), "p", "1.0.0");
    const auto starts = scratch() / "starts";
    const auto program = scratch() / "refusing-executor";
    // Refuses the first request, then ends.
    std::ofstream(program) << "#!/bin/sh\necho started >> '" << starts.string()
                           << "'\nhead -c 1 > /dev/null\nprintf '\\010\\0\\0\\0\\0\\0\\0\\0\\0'\n";
    fs::permissions(program, fs::perms::owner_all);
    PluginManager manager(collectors().c_str(), "info", program, ValidatorSettings{public_key(), false});
    auto count_starts = [&] {
        std::ifstream in(starts);
        return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
    };
    for (long expected : {2, 4}) {
        EXPECT_THAT(Run(manager, "p", "1.0.0", "{}").GetError().what(), HasSubstr("exit code 8"));
        EXPECT_EQ(count_starts(), expected);
    }
}

TEST_F(PluginManagerTest, StopEndsAHangingExecutorWithinItsTimeout) {
    Install(collectors(), "hang", "3.1.0");
    auto manager = Manager();
    // The kept executor that the hanging run will get.
    const std::string hung = Run(*manager, "hang", "3.1.0", R"({"op":"pid"})").GetOutput();
    const int64_t before = platform::NowTicks() / platform::kTicksPerSecond;
    const auto ready = scratch() / "ready";
    ASSERT_EQ(::mkfifo(ready.c_str(), 0600), 0);
    const std::string input = R"({"op":"hang","ready":")" + ready.string() + R"("})";
    auto run = std::async(std::launch::async, [&] { return Run(*manager, "hang", ">=3.0.0", input); });
    {
        std::ifstream wait_until_ready(ready);  // opens once the plug-in has begun to hang
        ASSERT_EQ(wait_until_ready.get(), 'r');
    }

    PluginDescriptionResult result;
    ASSERT_FALSE(manager->GetPluginDescription("hang", "3.1.0", result, nullptr));
    ASSERT_EQ(result.state, kPluginRunning);
    // A run beside the hanging one gets an executor of its own.
    const std::string beside = Run(*manager, "hang", "3.1.0", R"({"op":"pid"})").GetOutput();
    EXPECT_NE(beside, hung);
    EXPECT_NE(beside, "");
    struct tm start {};
    ASSERT_NE(strptime(result.startTime.c_str(), "%Y-%m-%dT%H:%M:%S+00:00", &start), nullptr) << result.startTime;
    EXPECT_NEAR(static_cast<double>(timegm(&start)), static_cast<double>(before), 2.0);

    PluginTerminationState state;
    const auto stop_start = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager->StopPlugin("hang", "3.1.0", 300, state));
    const auto took = std::chrono::steady_clock::now() - stop_start;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_TRUE(state.wasRunning && state.killed && state.terminated);
    EXPECT_THAT(run.get().GetError().what(), HasSubstr("was ended by signal 9"));

    ASSERT_FALSE(manager->GetPluginDescription("hang", "3.1.0", result, nullptr));
    EXPECT_EQ(result.state, kPluginIdle);
    EXPECT_EQ(result.startTime, "");
    EXPECT_FALSE(manager->StopPlugin("hang", "3.1.0", 0, state));
    EXPECT_FALSE(state.wasRunning);

    // The stopped executor is gone; runs go on in the other one.
    EXPECT_FALSE(ProcessExists(hung));
    EXPECT_EQ(Run(*manager, "hang", "3.1.0", R"({"op":"pid"})").GetOutput(), beside);
}

TEST_F(PluginManagerTest, SignedPluginAcceptedModifiedOrUnsignedRefused) {
    Install(collectors(), "signed", "1.0.0");
    Install(in_memory(), "signed-local", "1.0.0");
    const auto modified = Install(collectors(), "modified", "1.0.0");
    std::ofstream(modified, std::ios::app) << "tampered";
    const auto modified_local = Install(in_memory(), "modified-local", "1.0.0");
    std::ofstream(modified_local, std::ios::app) << "tampered";
    Install(collectors(), "unsigned", "1.0.0", false);
    const auto other_key = Install(collectors(), "other-key", "1.0.0", false);
    SigningKey().Sign(other_key);

    struct Case {
        const char* name;
        bool valid;
        bool valid_in_development;
    } cases[] = {
        {"signed", true, true},          {"signed-local", true, true}, {"modified", false, false},
        {"modified-local", false, false}, {"unsigned", false, true},    {"other-key", false, false},
    };
    for (bool development : {false, true}) {
        auto manager = Manager(development);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (development ? " (development)" : ""));
            const bool valid = development ? c.valid_in_development : c.valid;
            PluginDescriptionResult result;
            ASSERT_FALSE(manager->GetPluginDescription(c.name, "1.0.0", result, nullptr));
            EXPECT_EQ(result.isSignatureValid, valid);
            EXPECT_EQ(result.isLoaded, valid);
            auto run = Run(*manager, c.name, "1.0.0", R"({"op":"echo","text":"ran"})");
            if (valid) {
                EXPECT_STREQ(run.GetOutput(), "ran") << run.GetError().what();
            } else {
                EXPECT_THAT(run.GetError().what(), HasSubstr("is not validly signed"));
            }
        }
    }

    // A file changed after its check is checked again.
    auto manager = Manager();
    PluginDescriptionResult result;
    ASSERT_FALSE(manager->GetPluginDescription("signed", "1.0.0", result, nullptr));
    EXPECT_TRUE(result.isSignatureValid);
    std::ofstream(result.path, std::ios::app) << "later change";
    ASSERT_FALSE(manager->GetPluginDescription("signed", "1.0.0", result, nullptr));
    EXPECT_FALSE(result.isSignatureValid);

    // So is one renamed over it with the same size and time.
    const auto swapped = Install(collectors(), "swapped", "1.0.0");
    ASSERT_FALSE(manager->GetPluginDescription("swapped", "1.0.0", result, nullptr));
    EXPECT_TRUE(result.isSignatureValid);
    auto bytes = ReadBytes(swapped);
    bytes.back() ^= 1;
    const fs::path tampered = swapped.string() + ".new";
    std::ofstream(tampered, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    fs::last_write_time(tampered, fs::last_write_time(swapped));
    fs::rename(tampered, swapped);
    ASSERT_FALSE(manager->GetPluginDescription("swapped", "1.0.0", result, nullptr));
    EXPECT_FALSE(result.isSignatureValid);
}

TEST_F(PluginManagerTest, ValidatorSettingsFileDamageKeepsTheSafeDefaults) {
    const auto folder = scratch() / "Configuration Files";
    fs::create_directories(folder);
    struct Case {
        const char* content;
        const char* key;
        bool accept_unsigned;
    } cases[] = {
        {"", kDefaultPublicKeyFileName, false},
        {"{\"public_key\": \"k.pem\", \"accept_", kDefaultPublicKeyFileName, false},
        {"not json", kDefaultPublicKeyFileName, false},
        {"[true]", kDefaultPublicKeyFileName, false},
        {R"({"public_key": 7, "accept_unsigned": "yes"})", kDefaultPublicKeyFileName, false},
        {R"({"public_key": "k.pem", "accept_unsigned": true})", "k.pem", true},
    };
    for (const auto& c : cases) {
        std::ofstream(folder / kValidatorConfigFileName) << c.content;
        auto settings = LoadValidatorSettings(folder);
        EXPECT_EQ(settings.public_key_file, folder / c.key) << c.content;
        EXPECT_EQ(settings.accept_unsigned, c.accept_unsigned) << c.content;
    }
    fs::remove(folder / kValidatorConfigFileName);
    EXPECT_FALSE(LoadValidatorSettings(folder).accept_unsigned);

    // No usable key refuses even a signed file.
    const auto file = Install(collectors(), "p", "1.0.0");
    EXPECT_EQ(Validator(ValidatorSettings{scratch() / "none.pem", false}).ValidateFile(file.c_str()),
              kValidationNoKey);
    EXPECT_EQ(Validator(ValidatorSettings{public_key(), false}).ValidateFile(file.c_str()), kValidationOk);
    EXPECT_EQ(Validator(ValidatorSettings{public_key(), false}).ValidateFile((scratch() / "none.so").c_str()),
              kValidationNoFile);
}

}  // namespace
}  // namespace zelko::shared::plugin
