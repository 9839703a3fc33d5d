#pragma once

// The agent's states and the two tasks the service runs itself, under the names the service
// and its logs give them, and where the machine stands among them.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "state_machine/service_state.h"

namespace zelko::plenar::agent {

struct ServiceStates {
    ServiceState NotInited;
    ServiceState FailureState;
    ServiceState Initializing;
    ServiceState Onboarding;
    ServiceState Attestating;
    ServiceState AttestatingPoP;
    ServiceState Discovery;
    ServiceState PreEnrollZelko;
    ServiceState EnrollZelko;
    ServiceState PollEnrollZelkoStatus;
    ServiceState GettingIotCreds;
    ServiceState ConnectingToIot;
    ServiceState UpdatingConsent;
    ServiceState RequiredOnStarting;
    ServiceState Processing;
    ServiceState Stopping;
    ServiceTask WaitingForNetwork;
    ServiceTask RemoteJobsProcessing;

    // Replaced whole under its mutex, never changed in place: a handler keeps the state it began in.
    std::shared_ptr<const ServiceState> _current_state = std::make_shared<const ServiceState>();
    mutable std::mutex _current_state_mutex;
    std::atomic<bool> _stopping{false};
    // The required collectors have run, in this run or an earlier one.
    std::atomic<bool> _required_on_start_done{false};
    std::atomic<bool> _iot_connected{false};
    // Work that waits for the network to come back.
    std::vector<std::function<void()>> _network_wait_queue;
};

}  // namespace zelko::plenar::agent
