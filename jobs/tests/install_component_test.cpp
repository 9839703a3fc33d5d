#include "jobs/install_component.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "jobs/windows_paths.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(WindowsPaths, Extension) {
    struct Case {
        const char* location;
        const char* extension;
    } cases[] = {
        {"https://bucket/dir/1EClient.msi", ".msi"},
        {"s3://b/setup.exe?v=2", ".exe?v=2"},
        {"C:\\dir\\file.tar.gz", ".gz"},
        {"C:\\dir\\noext", ""},
        {"C:\\dir\\.hidden", ""},
        {"C:\\dir\\..", ""},
        {"C:\\dir\\file.txt:stream.exe", ".txt"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(winpath::Extension(c.location), c.extension) << c.location;
}

TEST(WindowsPaths, HashCollapsesSeparatorsAfterTheRoot) {
    EXPECT_EQ(winpath::PathHash(""), 14695981039346656037ULL);
    EXPECT_EQ(winpath::PathHash("C:\\Inst\\job\\job.msi"), 2036209292787025609ULL);
    EXPECT_EQ(winpath::PathHash("C:/Inst//job\\/job.msi"), 2036209292787025609ULL);
    EXPECT_EQ(winpath::PathHash("\xC3\xA9"), 750432112251609004ULL);  // one UTF-16 unit, not two bytes
    EXPECT_NE(winpath::PathHash("C:\\Inst\\Job.msi"), winpath::PathHash("C:\\Inst\\job.msi"));
    // The doubled separator of a server prefix is part of the root name.
    EXPECT_NE(winpath::PathHash("\\\\srv\\a"), winpath::PathHash("\\srv\\a"));
}

class InstallComponentTest : public zelko::testing::SystemRootTest {
  protected:
    std::filesystem::path ConfigFile(const std::string& text) {
        auto path = scratch() / "install-component.json";
        WriteFile(path, text);
        return path;
    }
    std::shared_ptr<InstallComponent> Make(const std::string& config_text, const std::string& job = "job-1e-install",
                                           const std::string& exe = "D:\\Program Files\\X\\agent.exe") {
        return std::make_shared<InstallComponent>(
            ConfigFile(config_text).string(), nullptr, job, nullptr, nullptr, nullptr, nullptr, nullptr,
            json{{"name", job}, {"ival", 60}}, exe);
    }
};

std::vector<std::string> Entries(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        out.push_back(entry.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(InstallComponentTest, JobNamesThatWouldLeaveTheUpdateFolderAreRefused) {
    const auto update = scratch() / "a" / "b" / "c" / "d" / "U";
    std::filesystem::create_directories(update);
    const std::string config = json{{"UpdateFolder", update.string()}}.dump();
    ConfigFile(config);
    const auto before = Entries(root());
    const std::vector<std::string> names = {"..\\..\\..\\..\\escaped",
                                            "../escaped",
                                            "..",
                                            ".",
                                            "a/b",
                                            "a\\b",
                                            "C:escaped",
                                            "/abs",
                                            "\\\\srv\\x",
                                            "",
                                            "job\n1",
                                            std::string("job\0x", 5),
                                            "job\x7f"};
    for (const std::string& name : names) {
        zelko::testing::LogCapture log;
        EXPECT_THROW(std::make_shared<InstallComponent>((scratch() / "install-component.json").string(),
                                                        nullptr, name, nullptr, nullptr, nullptr, nullptr,
                                                        nullptr, json(), "D:\\X\\a.exe"),
                     std::invalid_argument)
            << name;
        EXPECT_TRUE(log.Contains(logging::error, "cannot name a folder; the job is refused")) << name;
        EXPECT_EQ(Entries(root()), before) << name;
    }
    // Ordinary names, dots included, still name their folder.
    for (const std::string name : {"job-1e-install", "job.v2"}) {
        EXPECT_EQ(Make(config, name)->jobFolder, winpath::ToBackslashes(update.string()) + "\\" + name);
    }
}

TEST_F(InstallComponentTest, UpdateFolderFollowsWindowsRules) {
    struct Case {
        const char* folder;
        const char* job_folder;
    } cases[] = {
        {"Installer", "D:\\Program Files\\X\\Installer\\j"},
        {"\\Installer/sub", "D:\\Program Files\\X\\Installer\\sub\\j"},
        {"D:/Data/Inst", "D:\\Data\\Inst\\j"},
        {"\\\\srv\\share/in", "\\\\srv\\share\\in\\j"},
    };
    for (const auto& c : cases) {
        auto component = Make(json{{"UpdateFolder", c.folder}}.dump(), "j");
        EXPECT_EQ(component->jobFolder, c.job_folder) << c.folder;
        EXPECT_TRUE(std::filesystem::is_directory(winpath::ToNative(component->jobFolder))) << c.folder;
    }
    // The default lies under the emulated ProgramData.
    auto component = Make("{}", "j");
    EXPECT_TRUE(std::filesystem::is_directory(root() / "ProgramData/Zelko/Zelko Plenar Agent/Installer/j"));
    EXPECT_EQ(component->taskName, "ZelkoPlenarAgent_j");
}

TEST_F(InstallComponentTest, TaskSchedulerSettings) {
    auto none = Make("{}");
    EXPECT_EQ(none->executor, "");
    EXPECT_EQ(none->arguments, " /quiet");
    EXPECT_EQ(none->serviceName, "1EClient");

    auto defaults = Make(R"({"TaskScheduler": [{}], "Job": [{"ServiceName": "S"}]})");
    EXPECT_EQ(defaults->executor, "msiexec");
    EXPECT_EQ(defaults->arguments, " /quiet");
    EXPECT_EQ(defaults->idleWaitTime, "PT5M");
    EXPECT_EQ(defaults->executionTimeLimit, "PT1H");
    EXPECT_EQ(defaults->retryAttempts, 3);
    EXPECT_EQ(defaults->serviceName, "S");

    auto two = Make(R"({"TaskScheduler": [{"Executor": "a", "RetryAttempts": 1},
                                          {"Executor": "b", "Arguments": "-x", "RetryAttempts": 5}]})");
    EXPECT_EQ(two->executor, "b");
    EXPECT_EQ(two->arguments, "-x");
    EXPECT_EQ(two->retryAttempts, 5);

    // A damaged count is the default, with a warning naming the file and the key.
    for (const char* count : {"\"3\"", "null", "-1", "2.5", "1e12", "9223372036854775807"}) {
        zelko::testing::LogCapture log;
        auto damaged = Make(std::string(R"({"TaskScheduler": [{"RetryAttempts": )") + count + "}]}");
        EXPECT_EQ(damaged->retryAttempts, 3) << count;
        EXPECT_TRUE(log.Contains(logging::warning, "Setting \"RetryAttempts\" of ")) << count;
        EXPECT_TRUE(log.Contains(logging::warning, "install-component.json")) << count;
    }
}

TEST_F(InstallComponentTest, BadConfigurationFailsConstruction) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "cannot use value() with null"},
        {"{\"UpdateFolder\": ", "cannot use value() with null"},
        {"not json", "cannot use value() with null"},
        {"[1, 2]", "cannot use value() with array"},
        {R"({"Job": [1]})", "cannot use value() with number"},
        {R"({"TaskScheduler": ["x"]})", "cannot use value() with string"},
    };
    for (const auto& c : cases) {
        zelko::testing::LogCapture log;
        try {
            Make(c.text);
            ADD_FAILURE() << c.text;
        } catch (const json::type_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.text << ": " << e.what();
        }
    }
}

// A missing file builds no job either, and says so in one clear reason naming the file: the task
// that asks again at every pass logs that reason, not a type error of reading no document.
TEST_F(InstallComponentTest, MissingConfigurationFileIsOneClearReasonNamingIt) {
    const std::string path = (scratch() / "install-component.json").string();
    std::filesystem::remove(path);
    zelko::testing::LogCapture log;
    try {
        std::make_shared<InstallComponent>(path, nullptr, "j", nullptr, nullptr, nullptr, nullptr, nullptr,
                                           json(), "D:\\X\\a.exe");
        ADD_FAILURE() << "a job was built";
    } catch (const json::exception& e) {
        ADD_FAILURE() << "raw JSON error: " << e.what();
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "the configuration file " + path + " is missing; no install job is built without it");
    }
    EXPECT_EQ(log.Count(logging::error, ""), 0) << "the caller says it, once";
}

TEST_F(InstallComponentTest, FreshCacheIsWrittenOnceAndByteExact) {
    zelko::testing::LogCapture log;
    auto component = Make("{}");
    component->InitCache(component->jobFolder);
    EXPECT_TRUE(log.Contains(logging::info, "job-1e-install Service is running for the first time"));
    auto cache = winpath::ToNative(component->jobFolder + "\\Cache.json");
    std::string text = ReadFile(cache);
    const std::string head = R"({"UpdateLog" : [{"downloadedbytes":0,"hash":"14695981039346656037","laststatusupdatetime":")";
    const std::string tail = R"(","retryattempted":0,"status":0,"uploadedtime":"","version":""}]})"
                             "\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    ASSERT_GT(text.size(), head.size() + tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    ASSERT_EQ(component->updateLog.size(), 1u);
    EXPECT_EQ(component->LastStatus(), Idle);

    // A later InitCache neither reads nor writes the file.
    WriteFile(cache, "garbage");
    component->InitCache(component->jobFolder);
    EXPECT_EQ(ReadFile(cache), "garbage");
    EXPECT_EQ(component->updateLog.size(), 1u);
}

TEST_F(InstallComponentTest, CacheRoundTripKeepsFullWidthAndOrder) {
    auto first = Make("{}");
    first->InitCache(first->jobFolder);
    first->jobTimestamp = "t1";
    first->installerPath = first->jobFolder + "\\job-1e-install.msi";
    first->downloadedBytes = 5000000000ULL;
    first->retryAttempted = 2;
    first->SetJobStatus(Downloading, false);
    first->SetJobStatus(Downloaded, true);

    auto second = Make("{}");
    second->InitCache(second->jobFolder);
    ASSERT_EQ(second->updateLog.size(), 2u);
    const auto& last = second->updateLog.back();
    EXPECT_EQ(last.status, Downloaded);
    EXPECT_EQ(last.downloadedbytes, 5000000000ULL);
    EXPECT_EQ(last.retryattempted, 2u);
    EXPECT_EQ(last.uploadedtime, "t1");
    EXPECT_EQ(last.hash, std::to_string(winpath::PathHash(first->installerPath)));
    EXPECT_EQ(second->updateLog.front().status, Idle);
    // Written through a temporary file: nothing else is left in the folder.
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(winpath::ToNative(first->jobFolder))) ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(InstallComponentTest, DamagedCacheRaisesToTheCaller) {
    const char* cases[] = {
        "",
        R"({"UpdateLog" : [{"status":1)",
        "not json",
        R"({"Other": []})",
        R"({"UpdateLog": {}})",
        R"({"UpdateLog": [1]})",
        R"({"UpdateLog": [{"status": "1"}]})",
        R"({"UpdateLog": [{"downloadedbytes": -1}]})",
        // Floats no number of the entry can hold.
        R"({"UpdateLog": [{"status": 1e20}]})",
        R"({"UpdateLog": [{"status": 2.5}]})",
        R"({"UpdateLog": [{"retryattempted": -1.0}]})",
        R"({"UpdateLog": [{"downloadedbytes": 1.8446744073709552e19}]})",
    };
    for (const char* text : cases) {
        auto component = Make("{}");
        WriteFile(winpath::ToNative(component->jobFolder + "\\Cache.json"), text);
        EXPECT_ANY_THROW(component->InitCache(component->jobFolder)) << text;
        EXPECT_TRUE(component->updateLog.empty()) << text;
    }
    // Missing keys read as "" and 0.
    auto component = Make("{}");
    WriteFile(winpath::ToNative(component->jobFolder + "\\Cache.json"), R"({"UpdateLog": [{}]})");
    component->InitCache(component->jobFolder);
    ASSERT_EQ(component->updateLog.size(), 1u);
    EXPECT_EQ(component->updateLog[0].hash, "");
    EXPECT_EQ(component->updateLog[0].status, 0);
}

TEST_F(InstallComponentTest, KeptJobDocumentIsLoadedAtConstruction) {
    auto probe = Make(R"({"TaskScheduler": [{"Arguments": "/conf"}]})");
    json shadow = json::parse(R"({"state": {"desired": {"data": {
        "location_x64": "https://b/x/1EClient.msi", "timestamp": "2024-01-01", "checksum": "abc",
        "executor": "run.sh",
        "validationParams": {"validationIntervalMin": 30, "services": [{"name": "svc"}, 5]}}}}})");
    probe->WriteContentToFile(probe->jobFolder, shadow.dump());
    EXPECT_EQ(ReadFile(winpath::ToNative(probe->jobFolder + "\\job-1e-install")), shadow.dump() + "\n");

    zelko::testing::LogCapture log;
    auto component = Make(R"({"TaskScheduler": [{"Arguments": "/conf"}]})");
    EXPECT_EQ(component->installerPath, component->jobFolder + "\\job-1e-install.msi");
    EXPECT_EQ(component->jobTimestamp, "2024-01-01");
    EXPECT_EQ(component->downloadUrl, "https://b/x/1EClient.msi");
    EXPECT_EQ(component->checksum, "abc");
    EXPECT_EQ(component->arguments, "/conf");
    EXPECT_EQ(component->executor, "run.sh");
    EXPECT_EQ(component->validationIntervalMin, 30);
    EXPECT_EQ(component->serviceMap, (std::unordered_map<std::string, ServiceWatch>{{"svc", ServiceWatch::Unchecked}}));
    EXPECT_TRUE(log.Contains(logging::error, "'name' field is missing for service."));

    // A fractional interval keeps the earlier value; a location without "." has no extension.
    shadow["state"]["desired"]["data"]["validationParams"] = {{"validationIntervalMin", 30.5}};
    shadow["state"]["desired"]["data"]["location_x64"] = "https://b/x/setup";
    component->validationIntervalMin = 45;
    component->WriteContentToFile(component->jobFolder, shadow.dump());
    component->ReadShadowContentFromFile(component->jobFolder + "\\job-1e-install");
    EXPECT_EQ(component->validationIntervalMin, 45);
    EXPECT_EQ(component->installerPath, component->jobFolder + "\\job-1e-install");
    EXPECT_TRUE(log.Contains(logging::warning, "validationIntervalMin is not an integer, using default value: 45"));
    EXPECT_TRUE(log.Contains(logging::error, "Invalid or empty 'services' field in validationParams."));
    EXPECT_EQ(component->serviceMap.size(), 1u);  // left as it was

    // Zero or less would ask for keeping passes at once: the earlier value, with a warning naming
    // the job and the key.
    for (int64_t minutes : {0, -5, -43200000}) {
        zelko::testing::LogCapture warnings;
        shadow["state"]["desired"]["data"]["validationParams"] = {{"validationIntervalMin", minutes}};
        component->WriteContentToFile(component->jobFolder, shadow.dump());
        component->ReadShadowContentFromFile(component->jobFolder + "\\job-1e-install");
        EXPECT_EQ(component->validationIntervalMin, 45) << minutes;
        EXPECT_TRUE(warnings.Contains(
            logging::warning,
            "Setting \"validationIntervalMin\" of job document of job-1e-install is out of range"))
            << minutes;
    }
}

TEST_F(InstallComponentTest, DamagedJobDocumentIsLoggedAndNotTaken) {
    const char* cases[] = {"", "{\"state\":", "not json", "[1]", R"({"state": {"desired": 5}})",
                           R"({"state": {"desired": {"data": {"timestamp": 7}}}})"};
    auto component = Make("{}");
    for (const char* text : cases) {
        WriteFile(winpath::ToNative(component->jobFolder + "\\job-1e-install"), text);
        zelko::testing::LogCapture log;
        component->jobTimestamp = "old";
        component->ReadShadowContentFromFile(component->jobFolder + "\\job-1e-install");
        EXPECT_EQ(component->jobTimestamp, "") << text;
        EXPECT_TRUE(log.Contains(logging::error, "Error parsing Job Content")) << text;
    }
    zelko::testing::LogCapture log;
    component->ReadShadowContentFromFile(component->jobFolder + "\\absent");
    EXPECT_TRUE(log.Contains(logging::info, "Local shadow content file does not exist"));
}

TEST_F(InstallComponentTest, TimestampsOfShadows) {
    auto component = Make("{}");
    struct Case {
        const char* content;
        const char* timestamp;
    } contents[] = {
        {R"({"state":{"desired":{"data":{"timestamp":"T1"}}}})", "T1"},
        {R"({"state":{"desired":{"data":{"timestamp":1}}}})", ""},
        {R"({"state":{"desired":{}}})", ""},
        {"garbage", ""},
        {"", ""},
    };
    for (const auto& c : contents) EXPECT_EQ(component->GetTimestampFromContent(c.content), c.timestamp) << c.content;

    struct Compare {
        const char* shadow;
        const char* kept;
        bool different;
    } compares[] = {{"", "", false}, {"", "a", false}, {"a", "", true}, {"a", "a", false}, {"a", "A", true}};
    for (const auto& c : compares) EXPECT_EQ(component->IsTimeStampDifferent(c.shadow, c.kept), c.different);
}

TEST_F(InstallComponentTest, EachJobKeepsItsOwnPolicyState) {
    std::filesystem::create_directories(root() / "Agent");
    auto one = Make("{}", "job-a", "C:\\Agent\\agent.exe");
    auto two = Make("{}", "job-b", "C:\\Agent\\agent.exe");
    ASSERT_TRUE(one->installPolicy->Next());
    ASSERT_TRUE(one->installPolicy->Next());
    ASSERT_TRUE(two->installPolicy->Next());
    auto folder = root() / "Agent";
    auto a = folder / "zelko-plenar-service-state-InstallComponent-job-a.json";
    auto b = folder / "zelko-plenar-service-state-InstallComponent-job-b.json";
    ASSERT_TRUE(std::filesystem::exists(a));
    ASSERT_TRUE(std::filesystem::exists(b));
    EXPECT_NE(ReadFile(a), ReadFile(b));
}

}  // namespace
}  // namespace zelko::plenar::agent
