#include "features/network_events.h"

#include <ios>
#include <utility>

#include "foundation/logging.h"

namespace zelko::plenar::agent {

platform::HResult NetworkEvents::QueryInterface(const platform::Guid& iid, void** out) {
    if (out == nullptr) return platform::kEPointer;
    if (iid == platform::kIidIUnknown || iid == platform::kIidINetworkListManagerEvents) {
        *out = static_cast<platform::INetworkListManagerEvents*>(this);
        AddRef();
        return platform::kSOk;
    }
    *out = nullptr;
    return platform::kENoInterface;
}

uint32_t NetworkEvents::AddRef() { return ++_ref_count; }

uint32_t NetworkEvents::Release() { return --_ref_count; }

platform::HResult NetworkEvents::ConnectivityChanged(uint32_t new_connectivity) {
    LOG_INFO << "Internet ConnectivityChanged 0x" << std::hex << new_connectivity;
    if (new_connectivity & platform::kNlmConnectivityIpv4Internet) {
        InternetAvailable();
    } else {
        std::lock_guard lock(_mutex);
        LOG_INFO << "Internet connection is not available";
    }
    return platform::kSOk;
}

void NetworkEvents::ConnectivityChangedByOldApi() { InternetAvailable(); }

void NetworkEvents::InternetAvailable() {
    std::function<void()> callback;
    {
        std::lock_guard lock(_mutex);
        callback = _internet_available;
        LOG_INFO << "Internet connection is available";
    }
    if (callback) callback();
}

void NetworkEvents::SetInternetAvailableCallback(std::function<void()> callback) {
    std::lock_guard lock(_mutex);
    _internet_available = std::move(callback);
}

void NetworkEvents::SetNetworkWaitCallback(std::function<void()> callback) {
    std::lock_guard lock(_mutex);
    _network_wait = std::move(callback);
}

}  // namespace zelko::plenar::agent
