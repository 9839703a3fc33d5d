#include "jobs/corvane_enrollment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>

#include "features/feature_finder.h"
#include "outside/device_info/device_info.h"
#include "platform/registry.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::corvane {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using shared::error::ErrorCategory;
using shared::iot::IoTResult;
using zelko::logging::debug;
using zelko::logging::error;
using zelko::logging::info;
using zelko::logging::verbose;

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

struct Device : shared::device::IDeviceInfo {
    const char* GetClientType() const override { return ""; }
    const char* GetManufacturer() const override { return ""; }
    const char* GetModel() const override { return ""; }
    const char* GetSerialNumber() const override { return "SER1"; }
    const char* GetBiosVersion() const override { return ""; }
    const char* GetSystemUuid() const override { return ""; }
    const char* GetBaseBoardId() const override { return "BB7"; }
    int32_t GetDeviceType() override { return 0; }
    const char* GetDeviceTypeName() const override { return ""; }
    const char* GetFamily() const override { return ""; }
    const char* GetProductId() const override { return nullptr; }
    const char* GetMachineName() const override { return ""; }
    const char* GetDeviceSNRId() const override { return "SNR42"; }
    int32_t GetSupportedSleepStates() const override { return 0; }
    const shared::device::IZelkoSpecificInfo* GetZelkoSpecificInfo() const override { return nullptr; }
};

struct Names : ISource {
    explicit Names(std::vector<std::string> names) : names(std::move(names)) {}
    std::string GetName() const override { return "Names"; }
    FeatureList GetFeatures() override {
        FeatureList list;
        for (const auto& name : names) list.push_back(MakeFeature(name));
        return list;
    }
    std::vector<std::string> names;
};

// The app check answers from a script: true/false, or a standard exception when empty.
struct Scripted : Enrollment {
    using Enrollment::Enrollment;
    bool IsAIExperienceAppInstalled() override {
        if (answers.empty()) throw std::runtime_error("Unable to obtain SID for the logged on user.");
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<bool> answers;
};

class CorvaneEnrollmentTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        WriteFile(ConnectivityConfig(), R"({"cloud":{"stacks":{"dev":{"iot":{"corvaneEnrollmentTopic":"t/enroll/"}}}}})");
        WriteFile(ModuleConfig(), "{}");
        SetConsent("CountryCode", "DE");
    }

    fs::path ConnectivityConfig() const { return scratch() / "connectivity-module-config.json"; }
    fs::path ModuleConfig() const { return scratch() / "corvane-module-config.json"; }
    fs::path StatePath() const { return scratch() / "exe" / kStateFileName; }
    Json State() const { return Json::parse(ReadFile(StatePath())); }

    static void SetConsent(const std::string& name, std::optional<std::string> text,
                           std::optional<uint32_t> number = std::nullopt) {
        platform::RegistryKey key;
        ASSERT_EQ(platform::RegistryKey::Create(platform::RegistryHive::LocalMachine, kConsentKey, key), 0u);
        key.DeleteValue(name);
        if (text) key.SetStringValue(name, *text);
        if (number) key.SetDwordValue(name, *number);
    }

    std::unique_ptr<Scripted> Make(std::vector<std::string> features = {"ss"}) {
        fs::create_directories(scratch() / "exe");
        auto finder = std::make_shared<FeatureFinder>(
            std::vector<std::shared_ptr<ISource>>{std::make_shared<Names>(std::move(features))});
        return std::make_unique<Scripted>(connectivity_, finder, std::make_shared<Device>(), ConnectivityConfig(),
                                          ModuleConfig(), "dev", scratch() / "exe");
    }

    std::vector<std::string> Types() const {
        std::vector<std::string> types;
        for (const auto& [topic, message] : connectivity_->HttpPublished()) {
            EXPECT_EQ(topic, "t/enroll/SNR42");
            types.push_back(Json::parse(message)["type"].get<std::string>() +
                            (Json::parse(message)["type"] == "com.zelko.corvane.action" ? ":uninstall" : ""));
        }
        return types;
    }

    zelko::testing::LogCapture log_;
    std::shared_ptr<zelko::testing::FakeConnectivity> connectivity_ =
        std::make_shared<zelko::testing::FakeConnectivity>();
};

TEST_F(CorvaneEnrollmentTest, FeatureAndTransferConsentGates) {
    struct Case {
        std::vector<std::string> features;
        const char* line;  // null: the pass goes on
    } cases[] = {
        {{}, "has_ss_byte: 0 CheckPIPL(): 1"},
        {{"s", "ssx", "TE"}, "has_ss_byte: 0 CheckPIPL(): 1"},
        {{"te", "TransferOutConsentRequired"}, "has_ss_byte: 1 CheckPIPL(): 0"},
        {{"TransferOutConsentRequired"}, "has_ss_byte: 0 CheckPIPL(): 0"},
        {{"ss", "TransferOutConsentRequired", "AllowTransferOutOfCountry"}, nullptr},
        {{"te"}, nullptr},
    };
    SetConsent("AllowAIExperience", "Accepted");
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.features));
        fs::remove(StatePath());
        connectivity_ = std::make_shared<zelko::testing::FakeConnectivity>();
        zelko::testing::LogCapture log;
        auto module = Make(c.features);
        const std::string before = ReadFile(StatePath());
        EXPECT_FALSE(module->Process());
        if (c.line) {
            EXPECT_TRUE(log.Contains(
                info, std::string("The Corvane module is finished with no processing since, ") + c.line));
            EXPECT_TRUE(connectivity_->HttpPublished().empty());
            EXPECT_EQ(ReadFile(StatePath()), before);
        } else {
            EXPECT_EQ(connectivity_->HttpPublished().size(), 1u);
        }
    }
}

TEST_F(CorvaneEnrollmentTest, EnrollmentMessageOnlyWhenAccepted) {
    struct Case {
        const char* label;
        std::optional<std::string> text;
        std::optional<uint32_t> number;
        bool allowed;
    } cases[] = {
        {"Accepted", "Accepted", {}, true},
        {"lower case", "accepted", {}, false},
        {"Rejected", "Rejected", {}, false},
        {"Unkown", "Unkown", {}, false},
        {"DWORD 1", {}, 1u, false},
        {"missing", {}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(StatePath());
        connectivity_ = std::make_shared<zelko::testing::FakeConnectivity>();
        SetConsent("AllowAIExperience", c.text, c.number);
        zelko::testing::LogCapture log;
        auto module = Make();
        module->answers = {true};
        EXPECT_FALSE(module->Process());
        if (c.allowed) {
            ASSERT_EQ(connectivity_->HttpPublished().size(), 1u);
            const Json message = Json::parse(connectivity_->HttpPublished()[0].second);
            const std::string language = Enrollment::DefaultLanguageCode();
            EXPECT_EQ(message, Json::parse(R"({"version":1,"type":"com.zelko.corvane.enrollment","data":{"deviceInfo":{
                "platformId":"BB7","deviceUniqueId":"SNR42","serialNumber":"SER1","productId":"unknown",
                "countryCode":"DE","languageCode":")" + language + R"("}}})"));
            EXPECT_EQ(module->answers.size(), 1u) << "no app check in the enrollment's pass";
            EXPECT_EQ(State()["is_corvane_enrollment_successful"], true);
            EXPECT_TRUE(log.Contains(info, "The Corvane Enrollment message was submitted successfully"));
        } else {
            EXPECT_TRUE(connectivity_->HttpPublished().empty());
            EXPECT_TRUE(log.Contains(info, "The Corvane Enrollment was not submitted since ai experience is not allowed"));
            EXPECT_TRUE(module->answers.empty()) << "the app check ran";
            EXPECT_EQ(State()["is_corvane_enrollment_successful"], false);
            EXPECT_EQ(State()["zelko_ai_experience_app_installed"], true);
        }
    }
}

TEST_F(CorvaneEnrollmentTest, PublishResults) {
    SetConsent("AllowAIExperience", "Accepted");
    struct Case {
        const char* label;
        IoTResult result;
        ErrorCategory category;
        int64_t code;
    } cases[] = {
        {"HTTP 403", {403, 0, {}, {}}, ErrorCategory::EC_Component, 403},
        {"IoT code", {200, 5, {}, {}}, ErrorCategory::EC_Component, 200},
        {"own error", {0, 0, {}, shared::error::Error(ErrorCategory::EC_Network, 7, "down")}, ErrorCategory::EC_Network, 7},
        {"HTTP 0", {0, 0, {}, {}}, ErrorCategory::EC_NoError, 0},
        {"HTTP 200", {200, 0, {}, {}}, ErrorCategory::EC_NoError, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(StatePath());
        connectivity_ = std::make_shared<zelko::testing::FakeConnectivity>();
        connectivity_->SetPubByHttpResult(c.result);
        zelko::testing::LogCapture log;
        auto module = Make();
        module->answers = {true};
        const auto result = module->Process();
        EXPECT_EQ(result.category(), c.category);
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(module->answers.size(), 1u);
        EXPECT_EQ(State()["is_corvane_enrollment_successful"], !result);
        if (result.category() == ErrorCategory::EC_Component) {
            EXPECT_EQ(result.what(), "Server result code indicates error ");
            EXPECT_EQ(result.type(), "int");
            EXPECT_EQ(result.origin(), "CorvaneEnrollment");
        }
        if (result) {
            EXPECT_TRUE(log.Contains(error, "The Corvane Enrollment failed with code: "));
        }
    }
}

TEST_F(CorvaneEnrollmentTest, UninstallNoticesAcrossAppChecks) {
    SetConsent("AllowAIExperience", "Rejected");
    auto module = Make();
    const IoTResult fail{500, 0, {}, {}};
    const IoTResult ok{200, 0, {}, {}};
    struct Step {
        bool found;
        IoTResult answer;
        int published;  // uninstall messages sent in the pass
    } steps[] = {
        {false, fail, 1},  // first check, app absent: the notice fails...
        {false, ok, 1},    // ...and stays owed until it goes out
        {false, ok, 0},    // absent still: nothing more
        {true, ok, 0},     // installed
        {false, fail, 1},  // removed: notice, failing
        {false, fail, 1},  // again on every check while it fails
        {false, ok, 1},
        {false, ok, 0},
    };
    size_t sent = 0;
    int index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(index++);
        connectivity_->SetPubByHttpResult(step.answer);
        module->answers = {step.found};
        const auto result = module->Process();
        EXPECT_EQ(connectivity_->HttpPublished().size() - sent, static_cast<size_t>(step.published));
        EXPECT_EQ(static_cast<bool>(result), step.published && step.answer.httpCode == 500);
        sent = connectivity_->HttpPublished().size();
    }
    EXPECT_EQ(Types(), std::vector<std::string>(5, "com.zelko.corvane.action:uninstall"));
    EXPECT_EQ(Json::parse(connectivity_->HttpPublished()[0].second),
              Json::parse(R"({"version":1,"type":"com.zelko.corvane.action",
                  "data":{"deviceInfo":{"deviceUniqueId":"SNR42"},"actionInfo":{"action":"uninstall"}}})"));
    EXPECT_EQ(State(), Json::parse(R"({"zelko_ai_experience_app_first_run":false,
        "zelko_ai_experience_app_installed":false,"is_corvane_enrollment_successful":false})"));
    EXPECT_TRUE(log_.Contains(debug, "Zelko AI Experience App status now is: not installed Device SNR ID: SNR42. "
                                     "The previous state installed"));
}

TEST_F(CorvaneEnrollmentTest, AppCheckFailureReturnsAnErrorAndSavesNothing) {
    SetConsent("AllowAIExperience", "Rejected");
    auto module = Make();
    const std::string before = ReadFile(StatePath());
    const auto result = module->Process();  // the script is empty: the query raises
    EXPECT_EQ(result.category(), ErrorCategory::EC_StdException);
    EXPECT_EQ(result.code(), 1);
    EXPECT_EQ(result.what(), "Unable to obtain SID for the logged on user.");
    EXPECT_EQ(ReadFile(StatePath()), before);
    EXPECT_TRUE(module->IsFirstRun());

    // The real query over a configuration that is missing, damaged or not an object: the JSON type
    // error, which Process returns like any standard exception.
    for (const char* bad : {"", "[1]", "{\"app_name\": ", "\"text\""}) {
        SCOPED_TRACE(bad);
        WriteFile(ModuleConfig(), bad);
        Enrollment real(connectivity_, nullptr, std::make_shared<Device>(), ConnectivityConfig(), ModuleConfig(), "dev",
                        scratch() / "exe");
        EXPECT_THROW(real.IsAIExperienceAppInstalled(), nlohmann::json::type_error);
    }
    // An empty object takes the defaults and goes on to the package query.
    WriteFile(ModuleConfig(), "{}");
    Enrollment defaults(connectivity_, nullptr, std::make_shared<Device>(), ConnectivityConfig(), ModuleConfig(), "dev",
                        scratch() / "exe");
    try {
        defaults.IsAIExperienceAppInstalled();
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << e.what();
    } catch (const std::exception&) {
        // no logged-on user here
    }
    fs::remove(ModuleConfig());
    Enrollment missing(connectivity_, nullptr, std::make_shared<Device>(), ConnectivityConfig(), ModuleConfig(), "dev",
                       scratch() / "exe");
    EXPECT_THROW(missing.IsAIExperienceAppInstalled(), nlohmann::json::type_error);
}

TEST_F(CorvaneEnrollmentTest, CountryCodeFromRegistryOrOsInfo) {
    struct Case {
        const char* label;
        std::optional<std::string> text;
        std::optional<uint32_t> number;
        const char* expected;
    } cases[] = {
        {"text", "DE", {}, "DE"},
        {"DWORD 250", {}, 250u, "3.000000"},
        {"DWORD 1", {}, 1u, "1.000000"},
        {"missing, no OS country", {}, {}, "unknown"},
        {"empty text, no OS country", "", {}, "unknown"},
    };
    // No country from the operating system either.
    const char* saved = std::getenv("LC_ALL");
    const std::string saved_all = saved ? saved : "";
    ::unsetenv(shared::os::kCountryVariable);
    ::setenv("LC_ALL", "C", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetConsent("CountryCode", c.text, c.number);
        EXPECT_EQ(Make()->country_code(), c.expected);
    }
    ::setenv(shared::os::kCountryVariable, "FR", 1);
    SetConsent("CountryCode", std::nullopt);
    EXPECT_EQ(Make()->country_code(), "FR");
    ::unsetenv(shared::os::kCountryVariable);
    if (saved) ::setenv("LC_ALL", saved_all.c_str(), 1);
    else ::unsetenv("LC_ALL");
}

TEST_F(CorvaneEnrollmentTest, EnrollmentTopic) {
    EXPECT_EQ(Make()->enrollment_topic(), "t/enroll/");
    WriteFile(ConnectivityConfig(), R"({"cloud":{"stacks":{"dev":{"iot":{}}}}})");
    EXPECT_EQ(Make()->enrollment_topic(), kDefaultEnrollmentTopic);
    for (const char* bad : {"", "{}", R"({"cloud":{"stacks":{"prod":{"iot":{}}}}})",
                            R"({"cloud":{"stacks":{"dev":{"iot":"x"}}}})", R"({"cloud":[1]})"}) {
        SCOPED_TRACE(bad);
        WriteFile(ConnectivityConfig(), bad);
        EXPECT_THROW(Make(), nlohmann::json::type_error);
    }
}

TEST_F(CorvaneEnrollmentTest, DamagedStateFileIsReplacedByTheDefault) {
    const std::string defaults = Json{{"is_corvane_enrollment_successful", false},
                                      {"zelko_ai_experience_app_first_run", true},
                                      {"zelko_ai_experience_app_installed", false}}
                                     .dump(4);
    for (const char* damaged : {"[1, 2", "", "{\"zelko_ai", "not json", "\x01\xff", "[1]", "5"}) {
        SCOPED_TRACE(damaged);
        WriteFile(StatePath(), damaged);
        zelko::testing::LogCapture log;
        auto module = Make();
        EXPECT_TRUE(log.Contains(verbose, "Cannot load the state config file (" + StatePath().string() + ")"));
        EXPECT_EQ(ReadFile(StatePath()), defaults);
        EXPECT_TRUE(module->IsFirstRun());
        EXPECT_FALSE(module->WasAppInstalled());
        EXPECT_FALSE(module->IsEnrollmentSuccessful());
    }
    fs::remove(StatePath());
    zelko::testing::LogCapture log;
    Make();
    EXPECT_TRUE(log.Contains(verbose, "Cannot open the state config file (" + StatePath().string() + ")"));
    EXPECT_EQ(ReadFile(StatePath()), defaults);

    // A value of the wrong type is its default, with a warning naming the file and the key.
    WriteFile(StatePath(),
              R"({"zelko_ai_experience_app_first_run":"no","zelko_ai_experience_app_installed":1})");
    {
        zelko::testing::LogCapture warnings;
        auto damaged = Make();
        EXPECT_TRUE(damaged->IsFirstRun());
        EXPECT_FALSE(damaged->WasAppInstalled());
        EXPECT_TRUE(
            warnings.Contains(zelko::logging::warning,
                              "Setting \"zelko_ai_experience_app_first_run\" of " + StatePath().string()));
        EXPECT_TRUE(
            warnings.Contains(zelko::logging::warning,
                              "Setting \"zelko_ai_experience_app_installed\" of " + StatePath().string()));
    }

    // Other keys survive a save.
    WriteFile(StatePath(), R"({"is_corvane_enrollment_successful":true,"extra":[1]})");
    SetConsent("AllowAIExperience", "Rejected");
    auto module = Make();
    EXPECT_TRUE(module->IsEnrollmentSuccessful());
    module->answers = {true};
    EXPECT_FALSE(module->Process());
    EXPECT_EQ(State()["extra"], Json::parse("[1]"));
    EXPECT_EQ(State()["zelko_ai_experience_app_installed"], true);
}

TEST_F(CorvaneEnrollmentTest, StateFolderMissingLogsAndEverySaveFails) {
    auto finder = std::make_shared<FeatureFinder>(std::vector<std::shared_ptr<ISource>>{});
    Enrollment module(connectivity_, finder, std::make_shared<Device>(), ConnectivityConfig(), ModuleConfig(), "dev",
                      scratch() / "absent");
    EXPECT_TRUE(log_.Contains(error, "Cannot get the folder path - GetLastError: "));
    module.SavePersistedSate();
    EXPECT_TRUE(log_.Contains(error, "Cannot save the state config file - GetLastError: "));
    EXPECT_FALSE(fs::exists(scratch() / "absent"));
}

}  // namespace
}  // namespace zelko::plenar::agent::corvane
