#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "jobs/component_validator.h"
#include "jobs/install_component.h"
#include "platform/process_modules.h"
#include "platform/service_control.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;

TEST(IsHigherVersion, ComparesPartsAsNumbers) {
    struct Case {
        const char* installed;
        const char* expected;
        bool higher;
    } cases[] = {
        {"1.10", "1.9", true},    {"1.9", "1.10", false}, {"2.0.1", "2.0", true}, {"1.2.3.0", "1.2.3", true},
        {"1.2.a", "1.2.b", false}, {"1.2", "1.2.0", false}, {"1.2", "1.2", false}, {"", "1.0", false},
        {"3", "2.9.9", true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsHigherVersion(c.installed, c.expected), c.higher) << c.installed << " " << c.expected;
}

TEST(Utf8ToWide, EmptyAndInnerNulGiveEmpty) {
    EXPECT_EQ(Utf8ToWide(""), u"");
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), u"");
    EXPECT_EQ(Utf8ToWide("a\xC3\xA9"), u"a\u00e9");
    EXPECT_EQ(Utf8ToWide("a\xFF"), u"a\uFFFD");
}

class ValidatorTest : public zelko::testing::SystemRootTest {
  protected:
    void Touch(const std::string& name) { std::ofstream(scratch() / name) << "x"; }
    std::string At(const std::string& name) { return (scratch() / name).string(); }
};

TEST_F(ValidatorTest, FileChecks) {
    Touch("a.exe");
    std::filesystem::create_directories(scratch() / "dir");
    struct Case {
        json params;
        const char* failure;  // "" when the validation passes
    } cases[] = {
        {json::object(), ""},
        {{{"files", json::array()}}, ""},
        {{{"files", {{{"path", At("a.exe")}}, {{"path", At("dir")}}}}}, ""},
        {{{"files", {{{"path", At("a.exe")}, {"resultVersion", ""}}}}}, ""},  // no version resource, none expected
        {{{"files", {{{"path", At("a.exe")}, {"resultVersion", "1.0"}}}}}, "Version file mismatch and lower version found"},
        {{{"files", {{{"path", At("missing1")}}, {{"path", At("missing2")}, {"resultVersion", "1"}}}}}, "File not found"},
        {{{"files", {{{"nopath", 1}}}}}, "key 'path' not found"},
        {{{"files", {{{"path", 5}}}}}, "type must be string"},
    };
    ComponentValidator validator;
    for (const auto& c : cases) {
        zelko::testing::LogCapture log;
        Error error = validator.Validate(c.params, "j");
        if (std::string(c.failure).empty()) {
            EXPECT_FALSE(error) << c.params.dump() << ": " << error.what();
            continue;
        }
        ASSERT_TRUE(error) << c.params.dump();
        EXPECT_NE(error.what().find(c.failure), std::string::npos) << error.what();
        EXPECT_EQ(error.category(), ErrorCategory::EC_StdException);
        EXPECT_EQ(error.origin(), "ComponentValidator");
        EXPECT_EQ(log.Count(logging::error, "Validation failed: "), 1) << c.params.dump();
    }
}

TEST_F(ValidatorTest, ProcessChecks) {
    auto own = platform::ListProcessModules(getpid());
    ASSERT_TRUE(own);
    std::string library;
    for (const auto& m : *own) {
        if (m.find(".so") != std::string::npos) library = m;
    }
    ASSERT_FALSE(library.empty());
    std::string upper = library;
    for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

    ComponentValidator validator;
    for (const auto& path : {own->front(), library, upper}) {
        EXPECT_FALSE(validator.Validate({{"processes", {{{"path", path}}}}}, "j")) << path;
    }
    Error missing = validator.Validate({{"processes", {{{"path", "/no/such/program"}}}}}, "j");
    EXPECT_EQ(missing.what(), "Process was not found");
    EXPECT_EQ(missing.category(), ErrorCategory::EC_Component);
    EXPECT_EQ(missing.origin(), "zelko-plenar-agent-componentvalidator");

    // Processes whose modules cannot be listed are passed over, not the end of the search.
    struct Case {
        std::optional<std::vector<int>> ids;
        const char* failure;
    } cases[] = {
        {std::vector<int>{1, 2, 3}, ""},
        {std::vector<int>{1, 2}, "Process was not found"},
        {std::vector<int>{}, "Unable to retrieve proccess"},
        {std::nullopt, "Unable to create process snapshot"},
    };
    for (const auto& c : cases) {
        ComponentValidator fake({[&] { return c.ids; },
                                 [](int pid) -> std::optional<std::vector<std::string>> {
                                     if (pid < 3) return std::nullopt;
                                     return std::vector<std::string>{"/bin/x", "/lib/wanted.so"};
                                 }});
        Error error = fake.Validate({{"processes", {{{"path", "/lib/WANTED.so"}}}}}, "j");
        EXPECT_EQ(error.what(), c.failure);
    }
}

TEST_F(ValidatorTest, ServiceChecksAndOrder) {
    auto manager = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
    ASSERT_TRUE(manager);
    platform::ServiceConfig config;
    config.service_name = "Kept";
    config.binary_path_name = "\"/bin/true\"";
    auto service = platform::CreateService(manager, config);
    ASSERT_TRUE(service);
    platform::CloseServiceHandle(service);
    platform::CloseServiceHandle(manager);

    ComponentValidator validator;
    EXPECT_FALSE(validator.Validate({{"services", {{{"name", "Kept"}}}}}, "j"));  // installed, not running
    EXPECT_EQ(validator.Validate({{"services", {{{"name", "Other"}}}}}, "j").what(), "Unable to open service");
    // Files are checked first; the first failure ends the validation.
    EXPECT_EQ(validator.Validate({{"services", {{{"name", "Other"}}}}, {"files", {{{"path", At("none")}}}}}, "j").what(),
              "File not found");
}

TEST_F(ValidatorTest, JobVerificationAndShadowDeletion) {
    std::ofstream(scratch() / "install-component.json") << "{}";
    InstallComponent job((scratch() / "install-component.json").string(), nullptr, "j", nullptr, nullptr, nullptr,
                         nullptr, nullptr, json(), "C:\\A\\a.exe");
    // Nothing named proves nothing before the installer ran.
    EXPECT_FALSE(job.VerifyInstallation());
    job.installerLaunched = true;
    EXPECT_TRUE(job.VerifyInstallation());
    job.validationParams = {{"files", {{{"path", At("none")}}}}};
    EXPECT_FALSE(job.VerifyInstallation());

    struct Case {
        Error get_error;
        const char* shadow_timestamp;
        Error remove_error;
        bool removed;
        const char* log;
    } cases[] = {
        {Error(ErrorCategory::EC_Network, 1, "down"), "T", {}, false, "Error retrieving the shadow. Deletion skipped: down"},
        {{}, "T2", {}, false, "Skipping shadow deletion - a new update was posted"},
        {{}, "", {}, true, "Successfully deleted the shadow."},
        {{}, "T", {}, true, "Successfully deleted the shadow."},
        {{}, "T", Error(ErrorCategory::EC_Network, 1, "refused"), true, "Failed to delete the shadow: refused"},
    };
    for (const auto& c : cases) {
        bool removed = false;
        job.jobTimestamp = "T";
        job.shadows.get = [&](const std::string& name, std::string& content) {
            EXPECT_EQ(name, "j");
            content = json{{"state", {{"desired", {{"data", {{"timestamp", c.shadow_timestamp}}}}}}}}.dump();
            return c.get_error;
        };
        job.shadows.remove = [&](const std::string&) {
            removed = true;
            return c.remove_error;
        };
        zelko::testing::LogCapture log;
        job.DeleteCloudShadow();
        EXPECT_EQ(removed, c.removed) << c.log;
        EXPECT_EQ(log.Count(logging::info, c.log) + log.Count(logging::error, c.log), 1) << c.log;
    }
}

}  // namespace
}  // namespace zelko::plenar::agent
