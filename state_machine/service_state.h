#pragma once

// The records of the service's state machine: a named state with its three handlers and a named
// side task with its work, each bound by name to its own retry-policy instance.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/retry_policy.h"

namespace zelko::plenar::agent {

// Control handler of a state: control, event type, channel, level, data, data size.
using StateControlHandler = std::function<void(uint32_t dwControl, uint32_t dwEventType, uint32_t dwChannel,
                                               uint32_t dwLevel, void* data, uint64_t size)>;

class ServiceState {
  public:
    ServiceState();

    // Copies the handlers and the name; the copy shares the policy instance.
    ServiceState(const ServiceState&) = default;
    ServiceState& operator=(const ServiceState&) = default;

    // States are the same state when their names are equal.
    bool operator==(const ServiceState& other) const { return name == other.name; }

    // Binds the name and a policy instance of its own: the policy that the retry configuration's
    // "states" names for it, else "attest". Its counters are kept in the folder (the executable's
    // when empty). Raises the JSON type error of a non-text entry or of a missing policy document.
    void InitState(const std::string& state_name, const nlohmann::json& retry_config,
                   const std::filesystem::path& folder = {});

    // The policy's next delay in scheduler ticks (milliseconds x 10000, capped at kMaxDelayTicks).
    // False, leaving `ticks` as it is, when the policy gives none (or there is none yet).
    bool GetNextDelay(int64_t& ticks) const;
    void ResetPolicy() const;

    std::function<void()> OnEnter;
    StateControlHandler OnProcess;
    std::function<void()> OnExit;
    std::shared_ptr<IRandomValue> policy;
    std::string name;
};

class ServiceTask {
  public:
    ServiceTask();
    ServiceTask(const ServiceTask&) = delete;
    ServiceTask& operator=(const ServiceTask&) = delete;

    // As ServiceState::InitState.
    void InitTask(const std::string& task_name, const nlohmann::json& retry_config,
                  const std::filesystem::path& folder = {});

    bool GetNextDelay(int64_t& ticks) const;
    void ResetPolicy() const;

    std::function<void()> Perform;
    // A run of the task is pending on the scheduler (the network wait uses it).
    bool running = false;
    std::string name;
    std::shared_ptr<IRandomValue> policy;
};

// The policy bound to a state or task of that name: its "states" entry, else "attest" (logged);
// its counters are kept in the folder, the executable's when empty.
std::shared_ptr<IRandomValue> BindRetryPolicy(const std::string& owner_name,
                                              const nlohmann::json& retry_config,
                                              const std::filesystem::path& folder = {});

// The longest wait any delay conversion gives: a year. A longer delay is capped here, so that a
// policy's largest values neither overflow the scheduler's clock nor wrap round to "now".
inline constexpr int64_t kMaxDelayTicks = int64_t{366} * 24 * 3600 * 10'000'000;

// Milliseconds in scheduler ticks, within [0, kMaxDelayTicks].
int64_t MillisecondsToTicks(int64_t milliseconds);

// The next delay of a policy in scheduler ticks, capped at kMaxDelayTicks; false when it gives
// none, or a negative one (logged), so that the caller's own fallback applies.
bool NextPolicyDelay(const std::shared_ptr<IRandomValue>& policy, int64_t& ticks);

}  // namespace zelko::plenar::agent
