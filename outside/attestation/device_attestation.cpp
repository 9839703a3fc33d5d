#include "outside/attestation/device_attestation.h"

#include <ctime>

#include "outside/attestation/attestation_errors.h"
#include "outside/attestation/key_tools.h"
#include "outside/attestation/service_call.h"
#include "outside/device_info/device_info.h"
#include "outside/iot/iot_info.h"

namespace zelko::shared::attestation {

namespace {

using Codes = DeviceAttestationErrorCodes;

// The attestation service states a refusal as {"status", "type": "ATT0...", "detail"}; an answer
// without a type is passed on as the plain status error.
error::Error ServiceFailure(const error::Error& failure, const keys::ServiceAnswer& answer, const char* origin) {
    if (answer.status == 0 || !answer.json.is_object()) return failure;
    const auto type = answer.json.find("type");
    if (type == answer.json.end() || !type->is_string()) return failure;
    const auto detail = answer.json.find("detail");
    return MakeServiceError(answer.status, type->get<std::string>(),
                            detail != answer.json.end() && detail->is_string() ? detail->get<std::string>() : "",
                            origin);
}

}  // namespace

DeviceAttestation::DeviceAttestation(http::IHttpClient* httpClient, device::IDeviceInfo* deviceInfo,
                                     std::string attestUri, std::string possessionUri, std::string certificateUri)
    : httpClient_(httpClient),
      deviceInfo_(deviceInfo),
      attestUri_(std::move(attestUri)),
      possessionUri_(std::move(possessionUri)),
      certificateUri_(std::move(certificateUri)),
      store_(keys::StoreFolder(kAttestationStore)) {}

DeviceAttestation::~DeviceAttestation() { keys::Cleanse(pendingChallenge_); }

std::string DeviceAttestation::GetDeviceUniqueId() const {
    const char* id = deviceInfo_ != nullptr ? deviceInfo_->GetDeviceSNRId() : nullptr;
    return id != nullptr ? id : "";
}

AttestationMode DeviceAttestation::GetAttestationMode() const { return AttestationMode::SoftwareKey; }

error::Error DeviceAttestation::AttestateTpmDevice(bool, uint64_t*) {
    return MakeError(Codes::TpmUnavailable, "No Trusted Platform Module on this device", "AttestateTpmDevice");
}

error::Error DeviceAttestation::LoadKey(std::string& keyPem) const {
    if (!keys::ReadWholeFile(store_ / iot::kStorePrivateKeyFile, keyPem) || keyPem.empty())
        return MakeError(Codes::KeyCreationFailed, "No attestation key", "Attestate");
    return {};
}

error::Error DeviceAttestation::Attestate(bool renew, AttestationMode mode, uint64_t* attestationValue) {
    if (attestationValue == nullptr) return MakeError(Codes::InvalidArgument, "No attestation value", "Attestate");
    if (mode == AttestationMode::Hardware) return AttestateTpmDevice(renew, attestationValue);
    if (mode != AttestationMode::SoftwareKey) return MakeError(Codes::InvalidArgument, "Unknown attestation mode", "Attestate");
    const std::string deviceId = GetDeviceUniqueId();
    if (deviceId.empty()) return MakeError(Codes::InvalidArgument, "The device has no unique id", "Attestate");

    std::lock_guard lock(mutex_);
    std::string key;
    if (renew || LoadKey(key)) {
        keys::Cleanse(key);
        key = keys::NewEcKeyPem();
        if (key.empty() || !keys::WritePrivateFile(store_ / iot::kStorePrivateKeyFile, key)) {
            keys::Cleanse(key);
            return MakeError(Codes::KeyCreationFailed, "Cannot make the attestation key", "Attestate");
        }
        std::error_code ignored;
        std::filesystem::remove(store_ / iot::kStoreCertificateFile, ignored);
    }
    const std::string request = keys::MakeRequestPem(key, deviceId, "");
    keys::Cleanse(key);
    if (request.empty()) return MakeError(Codes::SigningFailed, "Cannot sign the attestation request", "Attestate");

    const char* serial = deviceInfo_->GetSerialNumber();
    keys::ServiceAnswer answer;
    const nlohmann::json body = {{"deviceUniqueId", deviceId},
                                 {"mode", static_cast<int>(mode)},
                                 {"serialNumber", serial != nullptr ? serial : ""},
                                 {"csr", request}};
    if (error::Error failure = keys::CallService(httpClient_, http::HttpMethod::POST,
                                                 keys::WithDeviceId(attestUri_, deviceId), body, "", answer, "Attestate"))
        return ServiceFailure(failure, answer, "Attestate");
    const auto& json = answer.json;
    if (!json.is_object() || !json.contains("attestationId") || !json["attestationId"].is_number_unsigned() ||
        !json.contains("challenge") || !json["challenge"].is_string() || json["attestationId"].get<uint64_t>() == 0)
        return MakeError(Codes::InvalidResponse, "The attestation answer is not valid: " + answer.body, "Attestate");
    keys::Cleanse(pendingChallenge_);
    pendingId_ = json["attestationId"].get<uint64_t>();
    pendingChallenge_ = json["challenge"].get<std::string>();
    *attestationValue = pendingId_;
    return {};
}

error::Error DeviceAttestation::ProofOfPossesion(uint64_t attestationValue) {
    std::lock_guard lock(mutex_);
    if (attestationValue == 0 || attestationValue != pendingId_)
        return MakeError(Codes::InvalidArgument, "No attestation with this value is pending", "ProofOfPossesion");
    std::string challenge;
    if (!keys::Base64Decode(pendingChallenge_, challenge) || challenge.empty())
        return MakeError(Codes::InvalidResponse, "The attestation challenge is not Base64", "ProofOfPossesion");
    std::string key;
    if (error::Error failure = LoadKey(key)) return failure;
    const std::string signature = keys::SignBase64(key, challenge);
    if (signature.empty()) {
        keys::Cleanse(key);
        return MakeError(Codes::SigningFailed, "Cannot sign the challenge", "ProofOfPossesion");
    }
    const std::string deviceId = GetDeviceUniqueId();
    keys::ServiceAnswer answer;
    if (error::Error failure = keys::CallService(
            httpClient_, http::HttpMethod::POST, keys::WithDeviceId(possessionUri_, deviceId),
            {{"attestationId", attestationValue}, {"signature", signature}}, "", answer, "ProofOfPossesion")) {
        keys::Cleanse(key);
        return ServiceFailure(failure, answer, "ProofOfPossesion");
    }
    // The challenge is spent whatever follows.
    pendingId_ = 0;
    keys::Cleanse(pendingChallenge_);
    if (error::Error failure = keys::CallService(httpClient_, http::HttpMethod::GET,
                                                 keys::WithDeviceId(certificateUri_, deviceId), nullptr, "", answer,
                                                 "ProofOfPossesion")) {
        keys::Cleanse(key);
        return ServiceFailure(failure, answer, "ProofOfPossesion");
    }
    const auto& json = answer.json;
    std::string certificate =
        json.is_object() && json.contains("certificate") && json["certificate"].is_string()
            ? json["certificate"].get<std::string>()
            : std::string();
    const bool matches = !certificate.empty() && keys::KeyMatchesCertificate(certificate, key) &&
                         keys::ReadCertificate(certificate).commonName == deviceId;
    keys::Cleanse(key);
    if (!matches)
        return MakeError(Codes::CertificateInvalid, "The issued certificate is not for this device's key",
                         "ProofOfPossesion");
    if (!keys::WritePrivateFile(store_ / iot::kStoreCertificateFile, certificate))
        return MakeError(Codes::CertificateInvalid, "Cannot store the attestation certificate", "ProofOfPossesion");
    return {};
}

error::Error DeviceAttestation::CheckCertificate(CertificateType type) const {
    if (type != CertificateType::Attestation)
        return MakeError(Codes::InvalidArgument, "Unknown certificate type", "CheckCertificate");
    std::lock_guard lock(mutex_);
    std::string certificate;
    if (!keys::ReadWholeFile(store_ / iot::kStoreCertificateFile, certificate) || certificate.empty())
        return MakeError(Codes::CertificateMissing, "No attestation certificate", "CheckCertificate");
    const keys::CertificateFacts facts = keys::ReadCertificate(certificate);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (!facts.parsed) return MakeError(Codes::CertificateInvalid, "The attestation certificate is damaged", "CheckCertificate");
    if (facts.commonName != GetDeviceUniqueId())
        return MakeError(Codes::CertificateInvalid, "The attestation certificate is another device's", "CheckCertificate");
    if (now < facts.notBefore || now > facts.notAfter)
        return MakeError(Codes::CertificateInvalid, "The attestation certificate is out of its validity", "CheckCertificate");
    std::string key;
    const bool matches = !LoadKey(key) && keys::KeyMatchesCertificate(certificate, key);
    keys::Cleanse(key);
    if (!matches) return MakeError(Codes::CertificateInvalid, "The attestation certificate is not for the key", "CheckCertificate");
    return {};
}

error::Error DeviceAttestation::GetCertificate(std::string& certificatePem) const {
    if (error::Error failure = CheckCertificate(CertificateType::Attestation)) return failure;
    std::lock_guard lock(mutex_);
    if (!keys::ReadWholeFile(store_ / iot::kStoreCertificateFile, certificatePem))
        return MakeError(Codes::CertificateMissing, "No attestation certificate", "GetCertificate");
    return {};
}

error::Error DeviceAttestation::Sign(const std::string& data, std::string& signatureBase64) const {
    std::lock_guard lock(mutex_);
    std::string key;
    if (error::Error failure = LoadKey(key)) return failure;
    signatureBase64 = keys::SignBase64(key, data);
    keys::Cleanse(key);
    if (signatureBase64.empty()) return MakeError(Codes::SigningFailed, "Cannot sign", "Sign");
    return {};
}

void DeviceAttestationCleanUp() {
    std::error_code ignored;
    std::filesystem::remove_all(keys::StoreFolder(kAttestationStore), ignored);
}

}  // namespace zelko::shared::attestation
