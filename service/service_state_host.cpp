// The service as the host of the state machine's roads: the waits they post, the network wait and
// the start-up's hooks into the module set-up.

#include <algorithm>

#include "features/network_events.h"
#include "features/system_info.h"
#include "foundation/logging.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {
constexpr int64_t kNetworkRecheck = 3'000'000'000;  // 5 minutes
}  // namespace

void Service::PostAfter(int64_t ticks, std::function<void()> work) {
    _scheduler.In(Duration(std::clamp<int64_t>(ticks, 0, kMaxDelayTicks)), std::move(work));
}

void Service::ResetLocalDelay() {
    if (_local_delay_policy) _local_delay_policy->Reset();
}

void Service::WaitingForNetworkPerform() {
    LOG_INFO << "WaitingForNetwork.Perform";
    WaitingForNetwork.running = false;
    if (SystemInfo::HasInternetConnectivity()) {
        if (_modules.network_events) _modules.network_events->ConnectivityChangedByOldApi();
    } else {
        LOG_INFO << "WaitingForNetwork.OnEnter no network, waiting.";
        WaitingForNetwork.running = true;
        PostAfter(kNetworkRecheck, [this] { WaitingForNetwork.Perform(); });
    }
    LOG_INFO << "WaitingForNetwork.Perform exiting.";
}

int64_t Service::StartupWaitSeconds() {
    if (ConfigBool("skip_modern_sleep_wait", false)) _startup_wake_time = 0;
    return _grace_period.GetTimeToWait(_startup_wake_time.load()).count();
}

void Service::EndStartupGrace() {
    _startup_grace_done = true;
    _in_wake_grace = false;
    _startup_wake_time = 0;
}

bool Service::SetUpModules() {
    InitializeDeviceInfo();
    if (DoNotCallHome()) {
        LOG_INFO << "DoNotCallHome detected, stopping service.";
        return false;
    }
    Initialize();
    return !_stop_for_vxm;
}

void Service::StartScheduledWork() {
    _scheduler.StartScheduledEvents();
    _event_log.Open();
}

std::shared_ptr<IRandomValue> Service::CertStorePolicy(CertStore which) {
    return which == CertStore::Read ? _cert_store_policy : _cert_store_save_policy;
}

std::shared_ptr<IRandomValue> Service::RenewCertStorePolicy(CertStore which) {
    const std::string folder = ExecutableFolder().string();
    if (which == CertStore::Read) {
        _cert_store_policy = CreateRateLimiterPolicy(_cert_store_policy_doc, "EnrollCertificateStore", folder);
        return _cert_store_policy;
    }
    _cert_store_save_policy = CreateRateLimiterPolicy(_cert_store_save_policy_doc, "EnrollCertificateStoreSave", folder);
    return _cert_store_save_policy;
}

}  // namespace zelko::plenar::agent
