// Construction steps whose subjects (enrollment, the data-valve publisher, the consent test) are
// not built yet. Each keeps its place in the construction so that filling it in changes no caller.

#include "connectivity/connectivity_module.h"

namespace zelko::plenar::agent {

void ConnectivityModule::PrepareEnrollment(const std::shared_ptr<EnrollmentUriOverride>& /*uriOverride*/,
                                           const std::shared_ptr<DeviceAttestationModule>& /*attestation*/,
                                           bool resetIoTInfo) {
    {
        std::lock_guard lock(stateLock);
        credentialsReady = false;
    }
    ResetIoTInfo(resetIoTInfo);
}

shared::error::Error ConnectivityModule::PrepareEnrollment1E() { return {}; }

void ConnectivityModule::InitializePublisher() {
    telemetryTopicPrefix = stackConfig.at("iot").value(
        "telemetryTopic", std::string("$aws/rules/pciot_telemetry_events_rule_pie/"));
}

// Without the consent test nothing may leave the device.
bool ConnectivityModule::IsValidConsent() { return false; }

}  // namespace zelko::plenar::agent
