#pragma once

// The configuration the service loaded: the main document and what module set-up builds from it.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
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

    // What the set-up did, so that a rebuild of the modules does not do it twice.
    bool _collect_perf = false;
    bool _start_work_scheduled = false;
    bool _scheduler_reinitialized = false;
    std::set<uint32_t> _registered_schedule_types;
    bool _corvane_enrollment_started = false;
};

// The back-off documents the service builds its certificate-store and local-delay policies from.
nlohmann::json CertStorePolicyDocument();
nlohmann::json CertStoreSavePolicyDocument();
nlohmann::json LocalDelayPolicyDocument();
// "cloud"."stack" of the main configuration; "prod" when absent or damaged (logged).
std::string ReadStackName(const nlohmann::json& agent_config);

}  // namespace zelko::plenar::agent
