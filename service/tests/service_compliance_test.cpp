// The compliance wiring: the compliance and 1E modules of module set-up, the report and failure
// handlers with their status documents, the encrypted message file and its event 217, and the
// reschedule handler.

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "jobs/acm_module.h"
#include "jobs/vev_e_module.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/scoped_time_zone.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using logging::error;
using logging::info;
using logging::warning;
using shared::error::Error;

constexpr const char* kSnrId = "SNR0001";
// 2026-03-05 14:07:09.042 UTC.
constexpr int64_t kReportTime = 1772719629042LL * platform::kTicksPerMillisecond;

class StatusConnectivity : public zelko::testing::FakeConnectivity {
  public:
    Error UpdateShadow(const std::string& name, const std::string& document) override {
        std::lock_guard lock(mutex_);
        updates.emplace_back(name, document);
        return update_error;
    }
    Error DeleteShadow(const std::string& name) override {
        std::lock_guard lock(mutex_);
        deleted.push_back(name);
        return {};
    }
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> updates;
    std::vector<std::string> deleted;
    Error update_error;
};

class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(fs::path exe) : exe_(std::move(exe)) {}
    fs::path GetExecutablePath() override { return exe_; }
    void SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) override {
        std::lock_guard lock(mutex);
        sent.emplace_back(control, data ? std::string(static_cast<const char*>(data), size) : "");
        changed.notify_all();
    }
    bool WaitForSent(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return sent.size() >= count; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<uint32_t, std::string>> sent;

  private:
    fs::path exe_;
};

class ServiceComplianceTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        service = std::make_unique<TestService>(scratch() / "zelko-plenar-agent-service");
        service->_config_folder = scratch() / "Configuration Files";
        fs::create_directories(service->_config_folder);
        conn = std::make_shared<StatusConnectivity>();
        service->_modules.conn_module = conn;
        service->_modules.cryptography = std::make_shared<crypto::Cryptography>(kSnrId);
    }
    void TearDown() override { service.reset(); }
    fs::path Messages() const { return root() / "ProgramData" / "Zelko" / "Zelko Plenar Agent" / "Messages"; }
    std::vector<fs::path> MessageFiles() const {
        std::vector<fs::path> files;
        if (fs::exists(Messages()))
            for (const auto& entry : fs::directory_iterator(Messages())) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }
    static Json Decrypt(const fs::path& path) {
        return Utils::LoadEncryptedJsonFile(path, crypto::Cryptography(kSnrId));
    }

    zelko::testing::LogCapture log;
    zelko::testing::ScopedTimeZone zone{"UTC"};
    std::shared_ptr<StatusConnectivity> conn;
    std::unique_ptr<TestService> service;
};

TEST_F(ServiceComplianceTest, ReportUpdatesTheStatusWritesTheMessageFileAndSends217) {
    platform::ScopedFakeClock clock(kReportTime);
    conn->SetShadow(R"({"state":{}})");
    const Json report = {{"bkcConfigId", "7"},
                         {"agentEvaluationTimeStamp", "2026-03-05T14:07:00Z"},
                         {"bkcStatus", {{{"quenloExitStatus", "SUCCESS"}, {"checkId", "a"}}, "plain"}},
                         {"extra", {{"k", 1}}}};
    service->Compliance().ReportHandler(report);

    EXPECT_EQ(conn->deleted, std::vector<std::string>{"job-acm-bkc-cfg"});
    ASSERT_EQ(conn->updates.size(), 1u);
    EXPECT_EQ(conn->updates[0].first, "status-job-acm-bkc-cfg");
    EXPECT_EQ(conn->updates[0].second,
              R"({"state":{"desired":{"data":{"code":"0","message":"Bkc 7 succeeded!","timestamp":"2026-03-05T14:07:00Z"},"version":"0"}}})");
    EXPECT_TRUE(log.Contains(info, "ACM: status-job-acm-bkc-cfg Successfully updated the status to shadow"));

    const fs::path file = Messages() / "msg_2026-03-05_14-07-09-042.rsnd";
    ASSERT_EQ(MessageFiles(), std::vector<fs::path>{file});
    Json expected_data = report;
    expected_data["bkcStatus"][0]["quenloExitStatus"] = "success";
    EXPECT_EQ(Decrypt(file),
              (Json{{"upload",
                     {{{"data", expected_data},
                       {"gun", "com.zelko.cdm.domain.telemetry.type.eventDetail.category.deviceBkcStatus.version.1"}}}}}));
    ASSERT_EQ(service->sent.size(), 1u);
    EXPECT_EQ(service->sent[0].first, 217u);
    EXPECT_EQ(service->sent[0].second, R"({"params":{"file":")" + file.string() + R"(","op":"acm_report"}})");
}

TEST_F(ServiceComplianceTest, ReportsWithinOneMillisecondGetFilesOfTheirOwn) {
    platform::ScopedFakeClock clock(kReportTime);
    conn->SetShadowError(Error(shared::error::ErrorCategory::EC_Component, 14, "none"));
    service->Compliance().ReportHandler({{"bkcConfigId", "1"}, {"agentEvaluationTimeStamp", "t"}});
    service->Compliance().ReportHandler({{"bkcConfigId", "2"}, {"agentEvaluationTimeStamp", "t"}});
    service->Compliance().ReportHandler({{"bkcConfigId", "3"}, {"agentEvaluationTimeStamp", "t"}});
    EXPECT_TRUE(conn->deleted.empty()) << "no job shadow to delete";
    const auto files = MessageFiles();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].filename(), "msg_2026-03-05_14-07-09-042.rsnd");
    EXPECT_EQ(files[1].filename(), "msg_2026-03-05_14-07-09-042_1.rsnd");
    EXPECT_EQ(files[2].filename(), "msg_2026-03-05_14-07-09-042_2.rsnd");
    ASSERT_EQ(service->sent.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const fs::path named = Json::parse(service->sent[i].second)["params"]["file"].get<std::string>();
        EXPECT_EQ(Decrypt(named)["upload"][0]["data"]["bkcConfigId"], std::to_string(i + 1));
        EXPECT_EQ(Decrypt(named)["upload"][0]["data"]["bkcStatus"], nullptr) << "added as null";
    }
}

TEST_F(ServiceComplianceTest, AReportFileThatCannotBeWrittenSendsNothing) {
    conn->update_error = Error(shared::error::ErrorCategory::EC_Network, 5, "offline");
    // The folder's place is taken by a file.
    fs::create_directories(Messages().parent_path());
    std::ofstream(Messages()) << "x";
    service->Compliance().ReportHandler({{"bkcConfigId", "1"}, {"agentEvaluationTimeStamp", "t"}});
    EXPECT_TRUE(log.Contains(error, "ACM: status-job-acm-bkc-cfg failed to updated the status to shadow: "));
    EXPECT_TRUE(log.Contains(error, "Failed to save ACM report to file"));
    EXPECT_TRUE(service->sent.empty());

    // Without the cryptography either: no empty file is left behind.
    fs::remove(Messages());
    service->_modules.cryptography.reset();
    service->Compliance().ReportHandler({{"bkcConfigId", "1"}, {"agentEvaluationTimeStamp", "t"}});
    EXPECT_TRUE(MessageFiles().empty());
    EXPECT_TRUE(service->sent.empty());
}

TEST_F(ServiceComplianceTest, DamagedReportsAreHandledWithoutStopping) {
    struct Case {
        Json report;
        bool sent;
    };
    const std::vector<Case> cases = {
        {Json::array({1}), false},
        {"text", false},
        {nullptr, false},
        {Json::object(), true},
        {{{"bkcConfigId", 7}, {"agentEvaluationTimeStamp", {1}}}, true},
        {{{"bkcStatus", "SUCCESS"}}, true},
        {{{"bkcStatus", {{{"quenloExitStatus", 3}}, nullptr, {1, 2}}}}, true},
        {{{"bkcStatus", Json::object()}, {"big", std::string(2 << 20, 'X')}}, true},
    };
    for (const auto& c : cases) {
        const size_t before = service->sent.size();
        const size_t updates = conn->updates.size();
        service->Compliance().ReportHandler(c.report);
        EXPECT_EQ(service->sent.size(), before + (c.sent ? 1 : 0)) << c.report.dump().substr(0, 60);
        EXPECT_EQ(conn->updates.size(), updates + (c.sent ? 1 : 0)) << c.report.dump().substr(0, 60);
    }
    // Missing or non-text id and time give empty texts in the status.
    EXPECT_EQ(Json::parse(conn->updates[1].second)["state"]["desired"]["data"]["message"], "Bkc  succeeded!");
    EXPECT_TRUE(log.Contains(warning, "ACM: the report has no text bkcConfigId"));
}

TEST_F(ServiceComplianceTest, FailureUpdatesOnlyTheStatusShadow) {
    service->Compliance().FailureHandler(Error(shared::error::ErrorCategory::EC_Component, 2, "x"), "bad manifest");
    ASSERT_EQ(conn->updates.size(), 1u);
    EXPECT_EQ(conn->updates[0].second,
              R"({"state":{"desired":{"data":{"code":"1","message":"ACM: bad manifest"},"version":"0"}}})");
    EXPECT_TRUE(log.Contains(info, "AcmModule failed. bad manifest"));
    EXPECT_TRUE(MessageFiles().empty());
    EXPECT_TRUE(service->sent.empty());
}

TEST_F(ServiceComplianceTest, RescheduleResendsTheEventThroughTheBusAfterTheDelay) {
    platform::ScopedFakeClock clock(kReportTime);
    const std::string text = R"({"name":"job-acm-bkc-cfg"})";
    service->Compliance().RescheduleHandler(60 * platform::kTicksPerSecond,
                                            Event(440, 0, text.c_str(), text.size() + 1));
    EXPECT_TRUE(log.Contains(info, "AcmModule reschedule  in 0h1m0s0ms"));
    clock.Advance(59 * platform::kTicksPerSecond);
    {
        std::lock_guard lock(service->mutex);
        EXPECT_TRUE(service->sent.empty());
    }
    clock.Advance(platform::kTicksPerSecond);
    ASSERT_TRUE(service->WaitForSent(1));
    EXPECT_EQ(service->sent[0].first, 440u);
    EXPECT_EQ(service->sent[0].second, text + std::string(1, '\0'));

    service->_scheduler.Destroy();
    service->Compliance().RescheduleHandler(0, Event(452, 0));
    EXPECT_EQ(service->sent.size(), 1u);
}

TEST_F(ServiceComplianceTest, ModuleSetUpBuildsBothModulesOrLeavesThemOut) {
    std::ofstream(service->_config_folder / "acm-module-config.json") << "[]";
    fs::create_directories(scratch() / "RemoteConfigs");
    service->InitAcmModule();
    EXPECT_FALSE(service->_modules.acm_module);
    EXPECT_TRUE(log.Contains(warning, "Failed to load AcmModule module.[json.exception.type_error.306]"));

    std::ofstream(service->_config_folder / "acm-module-config.json") << R"({"workFolder":"%programdata%/A"})";
    service->InitAcmModule();
    ASSERT_TRUE(service->_modules.acm_module);
    EXPECT_EQ(fs::path(service->_modules.acm_module->WorkFolder()), root() / "ProgramData" / "A");
    EXPECT_TRUE(log.Contains(info, "Loading AcmModule module completed."));

    // The 1E module copies a plain grants file beside the executable to its primary name.
    std::ofstream(scratch() / "RemoteConfigs" / "corvane-grants-config.json") << R"({"data":{}})";
    service->InitVevEModule();
    EXPECT_TRUE(service->_modules.onee_module);
    EXPECT_TRUE(fs::exists(scratch() / "RemoteConfigs" / "primary-corvane-grants-config.json"));
    EXPECT_TRUE(log.Contains(info, "Loading VevEModule module completed."));
}

}  // namespace
}  // namespace zelko::plenar::agent
