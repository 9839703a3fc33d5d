#pragma once

// The configuration the service loaded: the main document and what module set-up builds from it.

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/retry_policy.h"

namespace zelko::plenar::agent {

inline constexpr char kConfigFolderName[] = "Configuration Files";
inline constexpr char kAgentConfigFileName[] = "zelko-plenar-agent-config.json";
inline constexpr char kRetriesConfigFileName[] = "zelko-retries-config.json";
inline constexpr char kTelemetryModuleConfigFileName[] = "telemetry-module-config.json";
inline constexpr char kSystemStatusCheckerConfigFileName[] = "system-status-config.json";

struct ServiceDocuments {
    std::filesystem::path _config_folder;
    nlohmann::json _agent_config;
    // Why the main configuration was replaced by the defaults, if it was.
    std::string _config_warning;
    nlohmann::json _install_component_config;
    std::string _stack;
    nlohmann::json _retry_config;
    nlohmann::json _cert_store_policy_doc;
    nlohmann::json _cert_store_save_policy_doc;
    std::shared_ptr<IRandomValue> _cert_store_policy;
    std::shared_ptr<IRandomValue> _cert_store_save_policy;
    std::shared_ptr<IRandomValue> _local_delay_policy;
};

}  // namespace zelko::plenar::agent
