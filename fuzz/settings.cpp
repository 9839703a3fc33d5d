// Configuration documents as the agent reads them at start: the main configuration, the retry
// policies, the telemetry module's and the system status checker's files, and the typed settings
// reader over whatever document arrives. The first byte picks the document; the rest is the file.
#include <cstdint>
#include <string>

#include "foundation/settings.h"
#include "fuzz/support.h"
#include "fuzz/telemetry_support.h"
#include "service/service.h"
#include "testing/testable_service.h"
#include "telemetry/system_status_checker.h"
#include "telemetry/telemetry_module.h"

namespace {

using namespace zelko::plenar::agent;
namespace fs = std::filesystem;

// The service as the program makes it, beside a program folder under the fuzz root.
class FolderService : public TestableService {
  public:
    ~FolderService() override { EndPostedWork(); }
    std::filesystem::path GetExecutablePath() override { return zelko::fuzz::Root() / "program" / "agent"; }
};

fs::path ConfigFolder() { return zelko::fuzz::Root() / "program" / kConfigFolderName; }

void MainConfiguration(const std::string& text) {
    static FolderService* service = new FolderService();  // lives as long as the process
    zelko::fuzz::WriteFile(ConfigFolder() / kAgentConfigFileName, text);
    if (service->InitConfig(kConfigFolderName, kAgentConfigFileName, "")) (void)service->ReadLogSeverity();
}

void RetryPolicies(const std::string& text) {
    static FolderService* service = new FolderService();
    zelko::fuzz::WriteFile(ConfigFolder() / kRetriesConfigFileName, text);
    service->InitBaseStates();
}

void TelemetryConfiguration(const std::string& text) {
    const fs::path path = ConfigFolder() / kTelemetryModuleConfigFileName;
    zelko::fuzz::WriteFile(path, text);
    TelemetryModule::Environment environment;
    environment.makeCollector = zelko::fuzz::MakeIdleCollector;
    try {
        TelemetryModule module(path, nullptr, std::make_shared<zelko::fuzz::NoPlugins>(), nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, true, false, std::move(environment));
        (void)module.GetWindowsEventSubscriptions();
        (void)module.ScheduleTypes();
    } catch (const std::exception&) {
        // A configuration the module refuses raises to the module set-up, which logs it.
    }
}

void StatusCheckerConfiguration(const std::string& text) {
    const fs::path path = ConfigFolder() / kSystemStatusCheckerConfigFileName;
    zelko::fuzz::WriteFile(path, text);
    try {
        SystemStatusChecker checker(path);
    } catch (const std::exception&) {
        // Refused documents raise to the module set-up, which logs them.
    }
}

// Every reader over every member, as a module reads its own keys.
void TypedReader(const std::string& text) {
    const nlohmann::json document = Settings::Parse(text, "fuzz.json");
    if (!document.is_object()) return;
    for (const auto& [key, value] : document.items()) {
        (void)Settings::Int(document, "fuzz.json", key, 1, -5, 1000);
        (void)Settings::Double(document, "fuzz.json", key, 0.5, 0, 1);
        (void)Settings::Bool(document, "fuzz.json", key, false);
        (void)Settings::String(document, "fuzz.json", key, "x");
        (void)Settings::Object(document, "fuzz.json", key);
        (void)Settings::Array(document, "fuzz.json", key);
        (void)Settings::Milliseconds(document, "fuzz.json", key, 1000);
        (void)Settings::Seconds(document, "fuzz.json", key, 1);
        (void)Settings::Minutes(document, "fuzz.json", key, 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelko::fuzz::ResetFolder(ConfigFolder());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0: MainConfiguration(text); break;
        case 1: RetryPolicies(text); break;
        case 2: TelemetryConfiguration(text); break;
        case 3: StatusCheckerConfiguration(text); break;
        default: TypedReader(text); break;
    }
    return 0;
}
