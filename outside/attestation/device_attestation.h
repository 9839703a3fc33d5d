#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "outside/error/error.h"

namespace zelko::shared::device {
class IDeviceInfo;
}
namespace zelko::shared::http {
class IHttpClient;
}

namespace zelko::shared::attestation {

enum class AttestationMode : int32_t {
    Unknown = 0,
    // The key lives in the Trusted Platform Module.
    Hardware = 1,
    // A software key kept in the attestation certificate store.
    SoftwareKey = 2,
};

enum class CertificateType : int32_t {
    Attestation = 1,
};

// The store holding the attestation key and certificate.
inline constexpr const char* kAttestationStore = "ZelkoPlenarAttestationStore";

// Proves the device's identity to the attestation service: Attestate sends a request signed by
// the attestation key and receives a challenge, ProofOfPossesion answers it with the same key and
// stores the certificate the service then issues. There is no TPM here: the key is a software key
// (EC P-256) in the attestation store, so only AttestationMode::SoftwareKey attests.
class DeviceAttestation {
  private:
    virtual error::Error AttestateTpmDevice(bool renew, uint64_t* attestationValue);

  public:
    // The client and device information are not owned and must outlive the object. The URIs may
    // hold "{deviceUniqueId}", replaced by the device's SNR id.
    DeviceAttestation(http::IHttpClient* httpClient, device::IDeviceInfo* deviceInfo, std::string attestUri,
                      std::string possessionUri, std::string certificateUri);
    virtual ~DeviceAttestation();
    DeviceAttestation(const DeviceAttestation&) = delete;
    DeviceAttestation& operator=(const DeviceAttestation&) = delete;

    // renew: make a new key first. On success attestationValue holds the service's attestation id.
    virtual error::Error Attestate(bool renew, AttestationMode mode, uint64_t* attestationValue);
    // Answers the challenge of the attestation with that id and stores the issued certificate.
    virtual error::Error ProofOfPossesion(uint64_t attestationValue);

    // The slots after the first four let tests stand in for the whole library.
    virtual AttestationMode GetAttestationMode() const;
    // No error: the store holds a certificate of this device, in its validity period, for its key.
    virtual error::Error CheckCertificate(CertificateType type) const;

    // For the enrollment library, which proves the device to the discovery service: the attestation
    // certificate PEM, and a Base64 SHA-256 signature of data with the attestation key.
    virtual error::Error GetCertificate(std::string& certificatePem) const;
    virtual error::Error Sign(const std::string& data, std::string& signatureBase64) const;
    std::string GetDeviceUniqueId() const;

  private:
    error::Error LoadKey(std::string& keyPem) const;

    http::IHttpClient* httpClient_;
    device::IDeviceInfo* deviceInfo_;
    std::string attestUri_;
    std::string possessionUri_;
    std::string certificateUri_;
    std::filesystem::path store_;
    mutable std::mutex mutex_;
    uint64_t pendingId_ = 0;
    std::string pendingChallenge_;
};

// Removes the attestation store.
void DeviceAttestationCleanUp();

}  // namespace zelko::shared::attestation
