#pragma once

// Stand-ins for the attestation, enrollment, data-valve and S3 libraries: every operation answers
// what the test scripted (no error by default) and counts its calls. None talks to a network.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outside/attestation/device_attestation.h"
#include "outside/data_valve/data_valve.h"
#include "outside/enrollment/enrollment.h"
#include "outside/http/http_client.h"
#include "outside/s3/s3_client.h"

namespace zelko::testing {

// Results by operation name: "Attestate", "ProofOfPossesion", "CheckCertificate", ...
class ScriptedResults {
  public:
    using Error = shared::error::Error;
    // The next `times` calls of the operation answer error (-1: every call).
    void Set(const std::string& operation, Error error, int times = -1);
    int Calls(const std::string& operation) const;
    Error Next(const std::string& operation) const;

  private:
    struct Script {
        Error error;
        int times = -1;
    };
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::vector<Script>> scripts_;
    mutable std::map<std::string, int> calls_;
};

class FakeDeviceAttestation : public shared::attestation::DeviceAttestation, public ScriptedResults {
  public:
    FakeDeviceAttestation();
    ~FakeDeviceAttestation() override;
    Error Attestate(bool renew, shared::attestation::AttestationMode mode, uint64_t* attestationValue) override;
    Error ProofOfPossesion(uint64_t attestationValue) override;
    shared::attestation::AttestationMode GetAttestationMode() const override { return mode; }
    Error CheckCertificate(shared::attestation::CertificateType type) const override;
    Error GetCertificate(std::string& certificatePem) const override;
    Error Sign(const std::string& data, std::string& signatureBase64) const override;

    shared::attestation::AttestationMode mode = shared::attestation::AttestationMode::SoftwareKey;
    uint64_t value = 4242;  // what a successful Attestate writes
    std::atomic<uint64_t> lastProof{0};
    std::atomic<bool> lastRenew{false};
    std::atomic<int> lastMode{0};
    // Called from the destructor (tests of destruction order).
    std::function<void()> onDestroy;
};

class FakeEnrollment : public shared::enrollment::Enrollment, public ScriptedResults {
  public:
    FakeEnrollment();
    std::shared_ptr<const shared::enrollment::DiscoveryToken> QueryDiscoveryService(bool force) override;
    Error LoadCachedDiscoveryToken() override;
    std::shared_ptr<const shared::enrollment::DiscoveryToken> GetDiscoveryToken() const override;
    bool IsDiscoveryTokenExpired() const override;
    Error PreEnroll(const char* requestPem, const char* privateKeyPem) override;
    Error Enroll() override;
    Error PollEnrollStatus() override;
    std::shared_ptr<const shared::enrollment::EnrollmentStatus> GetEnrollmentStatus() const override;
    Error EnrollDevice_1E(const char* requestPem, const char* privateKeyPem) override;
    Error SaveCertificate(const std::string& storeName) override;
    Error DeleteCertificate(const std::string& storeName) override;
    Error CheckCertificateValidity(const std::string& storeName) const override;

    // What the operations answer; a token and status are set by the test (null: none).
    std::shared_ptr<const shared::enrollment::DiscoveryToken> token;
    std::shared_ptr<const shared::enrollment::EnrollmentStatus> status;
    bool expired = false;
    std::atomic<bool> lastForce{false};
    // Copies of the texts the last PreEnroll or EnrollDevice_1E received.
    std::string lastRequest;
    std::string lastKey;
    std::vector<std::string> deletedStores;
};

class FakeDataValveClient : public shared::valve::DataValveClientBase, public ScriptedResults {
  public:
    // error: what GetError reports. Filtering copies the data tree unless scripted ("FilterCDMTrees").
    explicit FakeDataValveClient(Error error = {});
    Error FilterCDMTrees(const char* dataTree, const char* gun, char* buffer, size_t bufferSize,
                         const shared::valve::IValveControllerMetadata& metadata) const override;
};

class FakeS3Client : public shared::s3::S3Client, public ScriptedResults {
  public:
    FakeS3Client();
    Error UploadJsonContent(const shared::iot::IoTCredential* credential, const std::string& uri,
                            const std::string& key, const std::string& content, const std::string& extra) override;
    Error DownloadFile(const shared::iot::IotInfo* iotInfo, const shared::iot::IoTCredential* credential,
                       const std::string& uri, const std::string& path, uint64_t& size, bool& complete) override;

    struct Upload {
        std::string uri, key, content;
    };
    std::vector<Upload> Uploads() const;
    // What a successful download writes to the path.
    std::string downloadContent = "{}";

  private:
    mutable std::mutex uploads_mutex_;
    std::vector<Upload> uploads_;
};

}  // namespace zelko::testing
