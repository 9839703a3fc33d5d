#pragma once

// What the two roads of the state machine need from the object that hosts them: the current state,
// waits on the agent scheduler, the configuration and the modules. Kept narrow so that a road can
// be driven by a small fake host.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "foundation/retry_policy.h"
#include "foundation/settings.h"
#include "state_machine/service_state.h"

namespace zelko::plenar::agent {

class ConnectivityModule;

class StateHost {
  public:
    virtual ~StateHost() = default;

    // ---- the state machine ----
    virtual void SetState(const ServiceState& target) = 0;
    virtual bool IsCurrentState(const char* state_name) const = 0;
    // The stop has begun.
    virtual bool IsStopping() const = 0;
    // The required collectors have run, in this run or an earlier one.
    virtual bool RequiredOnStartDone() const = 0;

    // ---- waiting: every wait is work posted to the agent scheduler's worker ----
    // Runs the work on the worker once the delay (scheduler ticks, capped at kMaxDelayTicks) is over.
    virtual void PostAfter(int64_t ticks, std::function<void()> work) = 0;
    // Runs the work once the network is back.
    virtual void RequestToRunOnNetwork(std::function<void()> work) = 0;

    // ---- configuration ----
    virtual bool ConfigBool(const char* key, bool default_value) const = 0;
    virtual int64_t ConfigInteger(const char* key, int64_t default_value, int64_t min = Settings::kMinInt,
                                  int64_t max = Settings::kMaxInt) const = 0;
    virtual std::filesystem::path ExecutableFolder() = 0;
    // The shared "local_delay" back-off of local failures: its next delay (false when it gives
    // none), and its start over after a success.
    virtual bool GetLocalDelay(int64_t& ticks) const = 0;
    virtual void ResetLocalDelay() = 0;

    // ---- modules ----
    // None until the module set-up has built it.
    virtual std::shared_ptr<ConnectivityModule> Connectivity() const = 0;
    virtual bool HasFeature(const std::string& name) = 0;
};

}  // namespace zelko::plenar::agent
