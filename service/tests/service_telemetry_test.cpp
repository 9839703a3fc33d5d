// The telemetry step of module set-up: the optional status checker, the module over the service's
// members, the schedule types it registers and the event-log subscriptions it creates.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "foundation/utils.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/system_status_checker.h"
#include "telemetry/telemetry_module.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using logging::info;
using logging::warning;
using nlohmann::json;

class TestService : public TestableService {
  public:
    ~TestService() override { EndPostedWork(); }
    explicit TestService(std::filesystem::path exe) : exe_(std::move(exe)) {}
    std::filesystem::path GetExecutablePath() override { return exe_; }

  private:
    std::filesystem::path exe_;
};

class ServiceTelemetryTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        service = std::make_unique<TestService>(scratch() / "zelko-plenar-agent-service");
        service->_config_folder = scratch() / "Configuration Files";
        std::filesystem::create_directories(service->_config_folder);
        service->_modules.conn_module = std::make_shared<zelko::testing::FakeConnectivity>();
        service->_stack = "prod";
        const json event_log = {{"dwControl", 240}, {"dwEventType", 506}, {"dwChannel", 0}};
        Utils::SaveJsonFile(service->_config_folder / kTelemetryModuleConfigFileName,
                            {{"pluginsFolder", (scratch() / "collectors").string()},
                             {"collectors",
                              {{{"name", "a"},
                                {"version", ">=1.0.0"},
                                {"events", {{{"dwControl", 230}, {"dwEventType", 1}}, event_log}}}}}});
    }
    void TearDown() override { service.reset(); }

    zelko::testing::LogCapture log;
    std::unique_ptr<TestService> service;
};

TEST_F(ServiceTelemetryTest, WithoutStatusConfigTheModuleIsBuiltWithoutAChecker) {
    service->InitTelemetry();
    EXPECT_FALSE(service->_modules.system_status_checker);
    EXPECT_TRUE(
        log.Contains(warning, "Failed to load System Status Checker Module [json.exception.type_error.306]"));
    ASSERT_TRUE(service->_modules.telemetry_module);
    EXPECT_TRUE(service->_modules.telemetry_module->IsRunning());
    EXPECT_EQ(service->EventLog().plain().size(), 1u);
    EXPECT_TRUE(log.Contains(
        warning,
        "Bad minute schedule request, the event is not scheduled (minute-based not allowed in Prod)"));
    EXPECT_TRUE(log.Contains(info, "Loading telemetry module completed."));
}

TEST_F(ServiceTelemetryTest, WithStatusConfigTheCheckerSamples) {
    std::ofstream(service->_config_folder / kSystemStatusConfigFileName)
        << R"({"metric_collection_frequency": 3600})";
    service->InitTelemetry();
    ASSERT_TRUE(service->_modules.system_status_checker);
    EXPECT_TRUE(log.WaitFor(info, "SystemStatusChecker:  Started collecting Monitoring Metrics"));
    ASSERT_TRUE(service->_modules.telemetry_module);
}

}  // namespace
}  // namespace zelko::plenar::agent
