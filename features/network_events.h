#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/network.h"

namespace zelko::plenar::agent {

// The service's sink for connectivity changes. The service owns it through a shared pointer for its
// whole life; the reference count only serves the platform's references and never destroys it.
class NetworkEvents : public platform::INetworkListManagerEvents {
  public:
    NetworkEvents() = default;
    virtual ~NetworkEvents() = default;
    NetworkEvents(const NetworkEvents&) = delete;
    NetworkEvents& operator=(const NetworkEvents&) = delete;

    platform::HResult QueryInterface(const platform::Guid& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // Calls the internet-available callback when the flags hold IPv4 internet; always kSOk.
    platform::HResult ConnectivityChanged(uint32_t new_connectivity) override;
    // The service's polling path once its probe sees the internet: the callback without a flag test.
    void ConnectivityChangedByOldApi();

    void SetInternetAvailableCallback(std::function<void()> callback);
    // Kept for the service's network wait; no change here calls it.
    void SetNetworkWaitCallback(std::function<void()> callback);

  private:
    void InternetAvailable();

    std::atomic<uint32_t> _ref_count{1};
    std::mutex _mutex;
    std::function<void()> _internet_available;
    std::function<void()> _network_wait;
};

}  // namespace zelko::plenar::agent
