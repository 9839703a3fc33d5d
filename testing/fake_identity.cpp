#include "testing/fake_identity.h"

#include <cstring>
#include <fstream>

namespace zelko::testing {

using shared::error::Error;

void ScriptedResults::Set(const std::string& operation, Error error, int times) {
    std::lock_guard lock(mutex_);
    scripts_[operation].push_back({std::move(error), times});
}

int ScriptedResults::Calls(const std::string& operation) const {
    std::lock_guard lock(mutex_);
    const auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

Error ScriptedResults::Next(const std::string& operation) const {
    std::lock_guard lock(mutex_);
    ++calls_[operation];
    auto& scripts = scripts_[operation];
    while (!scripts.empty()) {
        Script& script = scripts.front();
        if (script.times == 0) {
            scripts.erase(scripts.begin());
            continue;
        }
        if (script.times > 0) --script.times;
        return script.error;
    }
    return {};
}

FakeDeviceAttestation::FakeDeviceAttestation() : DeviceAttestation(nullptr, nullptr, "", "", "") {}

FakeDeviceAttestation::~FakeDeviceAttestation() {
    if (onDestroy) onDestroy();
}

Error FakeDeviceAttestation::Attestate(bool renew, shared::attestation::AttestationMode mode_, uint64_t* attestationValue) {
    lastRenew = renew;
    lastMode = static_cast<int>(mode_);
    Error error = Next("Attestate");
    if (!error && attestationValue != nullptr) *attestationValue = value;
    return error;
}

Error FakeDeviceAttestation::ProofOfPossesion(uint64_t attestationValue) {
    lastProof = attestationValue;
    return Next("ProofOfPossesion");
}

Error FakeDeviceAttestation::CheckCertificate(shared::attestation::CertificateType) const {
    return Next("CheckCertificate");
}

Error FakeDeviceAttestation::GetCertificate(std::string& certificatePem) const {
    certificatePem = "certificate";
    return Next("GetCertificate");
}

Error FakeDeviceAttestation::Sign(const std::string&, std::string& signatureBase64) const {
    signatureBase64 = "c2lnbmF0dXJl";
    return Next("Sign");
}

namespace {
shared::enrollment::Enrollment::Settings FakeSettings() {
    return shared::enrollment::Enrollment::Settings("https://fake/d", "https://fake/e", "https://fake/s", nullptr, "",
                                                    nullptr, "https://fake/p");
}
}  // namespace

FakeEnrollment::FakeEnrollment() : Enrollment(FakeSettings(), nullptr) {}

std::shared_ptr<const shared::enrollment::DiscoveryToken> FakeEnrollment::QueryDiscoveryService(bool force) {
    lastForce = force;
    Next("QueryDiscoveryService");
    return token;
}

Error FakeEnrollment::LoadCachedDiscoveryToken() { return Next("LoadCachedDiscoveryToken"); }

std::shared_ptr<const shared::enrollment::DiscoveryToken> FakeEnrollment::GetDiscoveryToken() const {
    Next("GetDiscoveryToken");
    return token;
}

bool FakeEnrollment::IsDiscoveryTokenExpired() const {
    Next("IsDiscoveryTokenExpired");
    return expired;
}

Error FakeEnrollment::PreEnroll(const char* requestPem, const char* privateKeyPem) {
    lastRequest = requestPem != nullptr ? requestPem : "";
    lastKey = privateKeyPem != nullptr ? privateKeyPem : "";
    return Next("PreEnroll");
}

Error FakeEnrollment::Enroll() { return Next("Enroll"); }
Error FakeEnrollment::PollEnrollStatus() { return Next("PollEnrollStatus"); }

std::shared_ptr<const shared::enrollment::EnrollmentStatus> FakeEnrollment::GetEnrollmentStatus() const {
    Next("GetEnrollmentStatus");
    return status;
}

Error FakeEnrollment::EnrollDevice_1E(const char* requestPem, const char* privateKeyPem) {
    lastRequest = requestPem != nullptr ? requestPem : "";
    lastKey = privateKeyPem != nullptr ? privateKeyPem : "";
    return Next("EnrollDevice_1E");
}

Error FakeEnrollment::SaveCertificate(const std::string&) { return Next("SaveCertificate"); }

Error FakeEnrollment::DeleteCertificate(const std::string& storeName) {
    deletedStores.push_back(storeName);
    return Next("DeleteCertificate");
}

Error FakeEnrollment::CheckCertificateValidity(const std::string&) const { return Next("CheckCertificateValidity"); }

FakeDataValveClient::FakeDataValveClient(Error error) : DataValveClientBase(std::move(error)) {}

Error FakeDataValveClient::FilterCDMTrees(const char* dataTree, const char*, char* buffer, size_t bufferSize,
                                          const shared::valve::IValveControllerMetadata&) const {
    if (Error error = Next("FilterCDMTrees")) return error;
    if (GetError()) return GetError();  // as the library's client: one that failed to load filters nothing
    const size_t length = std::strlen(dataTree);
    if (length + 1 > bufferSize) return shared::valve::MakeError(shared::valve::ValveClientErrorCodes::BufferTooSmall, "small");
    std::memcpy(buffer, dataTree, length + 1);
    return {};
}

FakeS3Client::FakeS3Client() : S3Client(std::make_shared<shared::http::HttpClient>(nullptr, nullptr)) {}

Error FakeS3Client::UploadJsonContent(const shared::iot::IoTCredential*, const std::string& uri,
                                      const std::string& key, const std::string& content, const std::string&) {
    if (Error error = Next("UploadJsonContent")) return error;
    std::lock_guard lock(uploads_mutex_);
    uploads_.push_back({uri, key, content});
    return {};
}

Error FakeS3Client::DownloadFile(const shared::iot::IotInfo*, const shared::iot::IoTCredential*, const std::string&,
                                 const std::string& path, uint64_t& size, bool& complete) {
    complete = false;
    size = 0;
    if (Error error = Next("DownloadFile")) return error;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << downloadContent;
    size = downloadContent.size();
    complete = true;
    return {};
}

std::vector<FakeS3Client::Upload> FakeS3Client::Uploads() const {
    std::lock_guard lock(uploads_mutex_);
    return uploads_;
}

}  // namespace zelko::testing
