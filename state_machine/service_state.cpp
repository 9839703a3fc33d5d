#include "state_machine/service_state.h"

#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"

namespace zelko::plenar::agent {

std::shared_ptr<IRandomValue> BindRetryPolicy(const std::string& owner_name,
                                              const nlohmann::json& retry_config,
                                              const std::filesystem::path& folder) {
    std::string policy_name = "attest";
    const bool listed = !owner_name.empty() && retry_config.is_object() && retry_config.contains("states") &&
                        retry_config["states"].is_object() && retry_config["states"].contains(owner_name);
    if (listed) {
        policy_name = retry_config["states"][owner_name].get<std::string>();
    } else {
        LOG_INFO << "Using attest by default " << owner_name;
    }
    nlohmann::json policy_document;
    if (retry_config.is_object() && retry_config.contains("policies") &&
        retry_config["policies"].is_object() && retry_config["policies"].contains(policy_name)) {
        policy_document = retry_config["policies"][policy_name];
    }
    const auto state_folder = folder.empty() ? Utils::GetExecutableDirectory() : folder;
    return CreateRateLimiterPolicy(policy_document, owner_name, state_folder.string());
}

bool NextPolicyDelay(const std::shared_ptr<IRandomValue>& policy, int64_t& ticks) {
    if (!policy) return false;
    auto next = policy->Next();
    if (!next) return false;
    ticks = static_cast<int64_t>(next->count()) * platform::kTicksPerMillisecond;
    return true;
}

ServiceState::ServiceState()
    : OnEnter([] {}),
      OnProcess([](uint32_t, uint32_t, uint32_t, uint32_t, void*, uint64_t) {}),
      OnExit([] {}) {}

void ServiceState::InitState(const std::string& state_name, const nlohmann::json& retry_config,
                             const std::filesystem::path& folder) {
    name = state_name;
    policy = BindRetryPolicy(state_name, retry_config, folder);
}

bool ServiceState::GetNextDelay(int64_t& ticks) const { return NextPolicyDelay(policy, ticks); }

void ServiceState::ResetPolicy() const {
    if (policy) policy->Reset();
}

ServiceTask::ServiceTask() : Perform([] {}) {}

void ServiceTask::InitTask(const std::string& task_name, const nlohmann::json& retry_config,
                           const std::filesystem::path& folder) {
    name = task_name;
    policy = BindRetryPolicy(task_name, retry_config, folder);
}

bool ServiceTask::GetNextDelay(int64_t& ticks) const { return NextPolicyDelay(policy, ticks); }

void ServiceTask::ResetPolicy() const {
    if (policy) policy->Reset();
}

}  // namespace zelko::plenar::agent
