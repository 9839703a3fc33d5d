#include "state_machine/service_state.h"

#include <stdexcept>

#include "foundation/default_configs.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/clock.h"

namespace zelko::plenar::agent {

namespace {

constexpr char kRetriesFileName[] = "zelko-retries-config.json";

// The policy the document gives the owner; raises std::invalid_argument naming the key that is
// wrong, or what the policy reader raised for it.
std::shared_ptr<IRandomValue> BindFrom(const std::string& owner_name, const nlohmann::json& retry_config,
                                       const std::filesystem::path& state_folder, bool log_default) {
    if (!retry_config.is_object()) throw std::invalid_argument("the document is not an object");
    std::string policy_name = "attest";
    const auto states = retry_config.find("states");
    if (states != retry_config.end() && !states->is_object())
        throw std::invalid_argument("key \"states\" is not an object");
    if (!owner_name.empty() && states != retry_config.end() && states->contains(owner_name)) {
        const auto& named = (*states)[owner_name];
        if (!named.is_string())
            throw std::invalid_argument("key \"states\".\"" + owner_name + "\" is not a text");
        policy_name = named.get<std::string>();
    } else if (log_default) {
        LOG_INFO << "Using attest by default " << owner_name;
    }
    const std::string key = "\"policies\".\"" + policy_name + "\"";
    const auto policies = retry_config.find("policies");
    if (policies == retry_config.end() || !policies->is_object() || !policies->contains(policy_name))
        throw std::invalid_argument("key " + key + " is missing");
    try {
        return CreateRateLimiterPolicy((*policies)[policy_name], owner_name, state_folder.string());
    } catch (const std::exception& e) {
        throw std::invalid_argument("key " + key + ": " + e.what());
    }
}

}  // namespace

std::shared_ptr<IRandomValue> BindRetryPolicy(const std::string& owner_name,
                                              const nlohmann::json& retry_config,
                                              const std::filesystem::path& folder) {
    const auto state_folder = folder.empty() ? Utils::GetExecutableDirectory() : folder;
    try {
        return BindFrom(owner_name, retry_config, state_folder, true);
    } catch (const std::exception& e) {
        LOG_WARNING << "Retry configuration " << kRetriesFileName << " cannot bind " << owner_name << ": "
                    << e.what() << "; using the built-in policy";
    }
    // The built-in document binds every state and task.
    const std::string* text = FindDefaultConfig(DefaultConfigs(), kRetriesFileName, ConfigVariant::Standard);
    return BindFrom(owner_name, nlohmann::json::parse(*text), state_folder, false);
}

int64_t MillisecondsToTicks(int64_t milliseconds) {
    if (milliseconds <= 0) return 0;
    if (milliseconds >= kMaxDelayTicks / platform::kTicksPerMillisecond) return kMaxDelayTicks;
    return milliseconds * platform::kTicksPerMillisecond;
}

bool NextPolicyDelay(const std::shared_ptr<IRandomValue>& policy, int64_t& ticks) {
    if (!policy) return false;
    auto next = policy->Next();
    if (!next) return false;
    const int64_t milliseconds = next->count();
    if (milliseconds < 0) {
        LOG_WARNING << "Retry policy gave a negative delay (" << milliseconds << " ms); using the fallback";
        return false;
    }
    ticks = MillisecondsToTicks(milliseconds);
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
