#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>

#include "outside/attestation/device_attestation.h"

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::device {
class IDeviceInfo;
}

namespace zelko::plenar::agent {

// Holds the attestation library's object, built from the stack's "attestation" URIs, and the value
// that passes from the attestation step to the proof of possession.
class DeviceAttestationModule {
  public:
    // Raises the JSON type error when the stack or its "attestation" value is not an object, or a
    // URI is missing or not a text. The device information must outlive the module (its owner, the
    // connectivity module, does).
    DeviceAttestationModule(std::shared_ptr<shared::http::IHttpClient> httpClient,
                            std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                            const nlohmann::json& stackConfig);
    // Takes a library object made elsewhere (tests).
    DeviceAttestationModule(std::unique_ptr<shared::attestation::DeviceAttestation> attestation,
                            std::shared_ptr<shared::http::IHttpClient> httpClient);
    // Deletes the library object before it lets the HTTP client go.
    ~DeviceAttestationModule();
    DeviceAttestationModule(const DeviceAttestationModule&) = delete;
    DeviceAttestationModule& operator=(const DeviceAttestationModule&) = delete;

    // The device holds a valid attestation certificate.
    bool IsAttestated();

    std::unique_ptr<shared::attestation::DeviceAttestation> attestation;
    std::shared_ptr<shared::http::IHttpClient> httpClient;
    // Written by Attestate, read by ProofOfPossesion.
    uint64_t attestationValue = 0;
};

}  // namespace zelko::plenar::agent
