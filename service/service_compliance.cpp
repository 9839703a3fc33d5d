// The compliance and 1E steps of module set-up.

#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "connectivity/connectivity_module.h"
#include "foundation/logging.h"
#include "jobs/acm_module.h"
#include "jobs/vev_e_module.h"
#include "service/service.h"

namespace zelko::plenar::agent {

using Json = nlohmann::json;

namespace {

constexpr const char* kVevEModuleConfigFileName = "vev-e-module-config.json";
constexpr const char* kRemoteConfigsFolderName = "RemoteConfigs";

std::string PrimaryName(const std::string& name) { return "primary-" + name; }

}  // namespace

void Service::InitAcmModule() {
    LOG_INFO << "Loading AcmModule module...";
    try {
        _modules.acm_module = std::make_shared<AcmModule>(
            (_config_folder / kAcmModuleConfigFileName).string(), _modules.conn_module,
            [this](const Json& report) { _compliance.ReportHandler(report); },
            [this](shared::error::Error e, const std::string& text) { _compliance.FailureHandler(e, text); },
            [this](int64_t delay, Event event) { _compliance.RescheduleHandler(delay, event); });
        LOG_INFO << "Loading AcmModule module completed.";
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to load AcmModule module." << e.what();
        _modules.acm_module.reset();
    }
}

void Service::InitVevEModule() {
    LOG_INFO << "Loading VevEModule module...";
    try {
        _modules.onee_module = std::make_shared<VevEModule>(
            _config_folder / kVevEModuleConfigFileName, ExecutableFolder(), kRemoteConfigsFolderName,
            _remote_configs.GrantsName(), PrimaryName(_remote_configs.GrantsName()), _remote_configs.PoliciesName(),
            PrimaryName(_remote_configs.PoliciesName()), std::weak_ptr<config::ConfigService>(_modules.config_service));
        LOG_INFO << "Loading VevEModule module completed.";
    } catch (const std::exception& e) {
        LOG_WARNING << "Failed to load VevEModule module. " << e.what();
        _modules.onee_module.reset();
    }
}

}  // namespace zelko::plenar::agent
