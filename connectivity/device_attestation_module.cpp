#include "connectivity/device_attestation_module.h"

#include <utility>

namespace zelko::plenar::agent {

DeviceAttestationModule::DeviceAttestationModule(std::shared_ptr<shared::http::IHttpClient> httpClient,
                                                 std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                                                 const nlohmann::json& stackConfig)
    : httpClient_(std::move(httpClient)), deviceInfo_(std::move(deviceInfo)), stackConfig_(stackConfig) {}

DeviceAttestationModule::~DeviceAttestationModule() = default;

}  // namespace zelko::plenar::agent
