#include "connectivity/device_attestation_module.h"

#include <utility>

#include "foundation/logging.h"

namespace zelko::plenar::agent {

DeviceAttestationModule::DeviceAttestationModule(std::shared_ptr<shared::http::IHttpClient> httpClient_,
                                                 std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                                                 const nlohmann::json& stackConfig)
    : httpClient(std::move(httpClient_)) {
    const nlohmann::json& uris = stackConfig.at("attestation");
    if (!uris.is_object()) (void)uris.value("attestUri", std::string());  // the JSON type error
    const std::string attestUri = uris.at("attestUri").get<std::string>();
    const std::string possessionUri = uris.at("possesionUri").get<std::string>();
    const std::string certificateUri = uris.at("certificateUri").get<std::string>();
    attestation = std::make_unique<shared::attestation::DeviceAttestation>(httpClient.get(), deviceInfo.get(), attestUri,
                                                                           possessionUri, certificateUri);
}

DeviceAttestationModule::DeviceAttestationModule(std::unique_ptr<shared::attestation::DeviceAttestation> attestation_,
                                                 std::shared_ptr<shared::http::IHttpClient> httpClient_)
    : attestation(std::move(attestation_)), httpClient(std::move(httpClient_)) {}

DeviceAttestationModule::~DeviceAttestationModule() {
    // The library object uses the client; members would go in the other order.
    attestation.reset();
    httpClient.reset();
}

bool DeviceAttestationModule::IsAttestated() {
    if (!attestation || attestation->CheckCertificate(shared::attestation::CertificateType::Attestation)) return false;
    LOG_INFO << "Device has a valid attestation certificate";
    return true;
}

}  // namespace zelko::plenar::agent
