#pragma once

#include <memory>
#include <nlohmann/json.hpp>

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::device {
class IDeviceInfo;
}

namespace zelko::plenar::agent {

// Proves the device's identity to the cloud through the attestation library.
class DeviceAttestationModule {
  public:
    DeviceAttestationModule(std::shared_ptr<shared::http::IHttpClient> httpClient,
                            std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                            const nlohmann::json& stackConfig);
    virtual ~DeviceAttestationModule();

  private:
    std::shared_ptr<shared::http::IHttpClient> httpClient_;
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo_;
    nlohmann::json stackConfig_;
};

}  // namespace zelko::plenar::agent
