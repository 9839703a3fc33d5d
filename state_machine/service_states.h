#pragma once

// The agent's states and the two tasks the service runs itself, under the names the service
// and its logs give them.

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
};

}  // namespace zelko::plenar::agent
