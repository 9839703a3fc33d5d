#include "outside/enrollment/enrollment.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "outside/attestation/device_attestation.h"
#include "outside/attestation/key_tools.h"
#include "outside/attestation/service_call.h"
#include "outside/device_info/device_info.h"
#include "outside/enrollment/enrollment_errors.h"
#include "outside/iot/iot_info.h"
#include "platform/paths.h"

namespace zelko::shared::enrollment {

namespace {

using Codes = EnrollmentErrorCodes;
using nlohmann::json;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

bool IsWebUri(const std::string& uri) { return uri.rfind("https://", 0) == 0 || uri.rfind("http://", 0) == 0; }

error::Error CheckSettings(const Enrollment::Settings& s, bool maker) {
    std::string missing;
    if (!IsWebUri(s.enrollmentUri)) missing = "enrollment URI";
    else if (!IsWebUri(s.preEnrollmentUri)) missing = "pre-enrollment URI";
    else if (maker && !IsWebUri(s.discoveryUri)) missing = "discovery URI";
    else if (maker && !IsWebUri(s.statusUri)) missing = "enrollment status URI";
    else if (s.deviceInfo == nullptr) missing = "device information";
    else if (s.folder.empty()) missing = "folder";
    else if (s.attestation == nullptr) missing = "attestation";
    if (missing.empty()) return {};
    return MakeError(Codes::InvalidSettings, "Invalid enrollment settings: no valid " + missing, "Settings");
}

std::string DeviceId(const Enrollment::Settings& s) {
    const char* id = s.deviceInfo != nullptr ? s.deviceInfo->GetDeviceSNRId() : nullptr;
    return id != nullptr ? id : "";
}

std::string StringOf(const json& document, const char* key) {
    if (!document.is_object()) return {};
    const auto it = document.find(key);
    return it != document.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The token, "expiresIn" seconds from `now`; a token with an error when the answer has none.
std::shared_ptr<const DiscoveryToken> TokenFrom(const json& answer, int64_t expires) {
    const std::string token = StringOf(answer, "token");
    if (token.empty()) {
        return std::make_shared<DiscoveryToken>(
            MakeError(Codes::InvalidResponse, "The discovery answer holds no token", "QueryDiscoveryService"),
            keys::Dump(answer), "", 0);
    }
    return std::make_shared<DiscoveryToken>(error::Error(), keys::Dump(answer), token, expires);
}

}  // namespace

DiscoveryToken::DiscoveryToken(error::Error error, std::string json, std::string token, int64_t expires)
    : error_(std::move(error)), json_(std::move(json)), token_(std::move(token)), expires_(expires) {}

const char* OpenSSLEncode::DecodeBase64(const std::string& text) {
    if (!keys::Base64Decode(text, decoded_)) return nullptr;
    return decoded_.c_str();
}

Enrollment::Settings::Settings(std::string enrollmentUri_, device::IDeviceInfo* deviceInfo_, std::string folder_,
                               attestation::DeviceAttestation* attestation_, std::string preEnrollmentUri_)
    : enrollmentUri(std::move(enrollmentUri_)),
      preEnrollmentUri(std::move(preEnrollmentUri_)),
      deviceInfo(deviceInfo_),
      folder(std::move(folder_)),
      attestation(attestation_) {
    error = CheckSettings(*this, false);
}

Enrollment::Settings::Settings(std::string discoveryUri_, std::string enrollmentUri_, std::string statusUri_,
                               device::IDeviceInfo* deviceInfo_, std::string folder_,
                               attestation::DeviceAttestation* attestation_, std::string preEnrollmentUri_)
    : discoveryUri(std::move(discoveryUri_)),
      enrollmentUri(std::move(enrollmentUri_)),
      statusUri(std::move(statusUri_)),
      preEnrollmentUri(std::move(preEnrollmentUri_)),
      deviceInfo(deviceInfo_),
      folder(std::move(folder_)),
      attestation(attestation_) {
    error = CheckSettings(*this, true);
}

Enrollment::Enrollment(const Settings& settings, std::shared_ptr<http::IHttpClient> httpClient)
    : settings_(settings), httpClient_(std::move(httpClient)) {}

Enrollment::~Enrollment() {
    ForgetRequest();
    keys::Cleanse(certificate1E_);
}

void Enrollment::ForgetRequest() {
    keys::Cleanse(privateKeyPem_);
    keys::Cleanse(challenge_);
    requestPem_.clear();
    enrollmentId_.clear();
}

std::shared_ptr<const DiscoveryToken> Enrollment::QueryDiscoveryService(bool force) {
    std::lock_guard lock(mutex_);
    if (!force && token_ && !token_->GetError() && token_->GetExpires() > Now()) return token_;
    if (settings_.error) return token_ = std::make_shared<DiscoveryToken>(settings_.error, "", "", 0);

    const std::string deviceId = DeviceId(settings_);
    std::string certificate;
    std::string signature;
    const std::string timestamp = std::to_string(Now());
    error::Error failure = settings_.attestation->GetCertificate(certificate);
    if (!failure) failure = settings_.attestation->Sign(deviceId + "|" + timestamp, signature);
    keys::ServiceAnswer answer;
    if (!failure) {
        const json body = {{"deviceUniqueId", deviceId},
                           {"certificate", certificate},
                           {"timestamp", timestamp},
                           {"signature", signature}};
        failure = keys::CallService(httpClient_.get(), http::HttpMethod::POST, settings_.discoveryUri, body, "", answer,
                                    "QueryDiscoveryService");
    }
    if (failure) return token_ = std::make_shared<DiscoveryToken>(failure, answer.body, "", 0);

    int64_t lifetime = 0;
    if (answer.json.is_object() && answer.json.contains("expiresIn") && answer.json["expiresIn"].is_number_integer())
        lifetime = answer.json["expiresIn"].get<int64_t>();
    token_ = TokenFrom(answer.json, Now() + std::max<int64_t>(lifetime, 0));
    if (!token_->GetError()) {
        const json cache = {{"answer", answer.json}, {"expires", token_->GetExpires()}};
        // A token that cannot be cached is still good for this run.
        keys::WritePrivateFile(std::filesystem::path(settings_.folder) / kDiscoveryTokenFile, keys::Dump(cache));
    }
    return token_;
}

error::Error Enrollment::LoadCachedDiscoveryToken() {
    std::lock_guard lock(mutex_);
    const auto path = std::filesystem::path(settings_.folder) / kDiscoveryTokenFile;
    std::string text;
    if (!keys::ReadWholeFile(path, text))
        return MakeError(Codes::InvalidArgument, "No cached discovery token in " + path.string(), "LoadCachedDiscoveryToken");
    const json cache = json::parse(text, nullptr, false);
    if (!cache.is_object() || !cache.contains("expires") || !cache["expires"].is_number_integer() ||
        !cache.contains("answer") || StringOf(cache["answer"], "token").empty())
        return MakeError(Codes::InvalidResponse, "The cached discovery token is damaged: " + path.string(),
                         "LoadCachedDiscoveryToken");
    token_ = TokenFrom(cache["answer"], cache["expires"].get<int64_t>());
    return {};
}

std::shared_ptr<const DiscoveryToken> Enrollment::GetDiscoveryToken() const {
    std::lock_guard lock(mutex_);
    return token_;
}

bool Enrollment::IsDiscoveryTokenExpired() const {
    std::lock_guard lock(mutex_);
    return !token_ || token_->GetExpires() <= Now();
}

error::Error Enrollment::PreEnroll(const char* requestPem, const char* privateKeyPem) {
    if (requestPem == nullptr || privateKeyPem == nullptr || *requestPem == '\0' || *privateKeyPem == '\0')
        return MakeError(Codes::InvalidArgument, "No certificate request or key", "PreEnroll");
    std::lock_guard lock(mutex_);
    if (settings_.error) return settings_.error;
    if (!token_ || token_->GetError() || token_->GetExpires() <= Now())
        return MakeError(Codes::InvalidArgument, "No valid discovery token", "PreEnroll");
    ForgetRequest();
    keys::ServiceAnswer answer;
    if (error::Error failure = keys::CallService(httpClient_.get(), http::HttpMethod::POST, settings_.preEnrollmentUri,
                                                 {{"csr", requestPem}}, token_->GetToken(), answer, "PreEnroll"))
        return failure;
    const std::string id = StringOf(answer.json, "enrollmentId");
    const std::string challenge = StringOf(answer.json, "challenge");
    if (id.empty() || challenge.empty())
        return MakeError(Codes::InvalidResponse, "The enrollment challenge is not valid: " + answer.body, "PreEnroll");
    requestPem_ = requestPem;
    privateKeyPem_ = privateKeyPem;
    enrollmentId_ = id;
    challenge_ = challenge;
    status_.reset();
    return {};
}

error::Error Enrollment::Enroll() {
    std::lock_guard lock(mutex_);
    if (enrollmentId_.empty() || !token_) return MakeError(Codes::InvalidArgument, "No enrollment challenge", "Enroll");
    std::string challenge;
    if (!keys::Base64Decode(challenge_, challenge))
        return MakeError(Codes::InvalidResponse, "The enrollment challenge is not Base64", "Enroll");
    const std::string signature = keys::SignBase64(privateKeyPem_, challenge);
    if (signature.empty()) return MakeError(Codes::InvalidArgument, "Cannot sign the enrollment challenge", "Enroll");
    keys::ServiceAnswer answer;
    return keys::CallService(httpClient_.get(), http::HttpMethod::POST, settings_.enrollmentUri,
                             {{"enrollmentId", enrollmentId_}, {"csr", requestPem_}, {"signature", signature}},
                             token_->GetToken(), answer, "Enroll");
}

error::Error Enrollment::PollEnrollStatus() {
    std::lock_guard lock(mutex_);
    if (enrollmentId_.empty() || !token_)
        return MakeError(Codes::EnrollmentNotFound, "No enrollment to poll", "PollEnrollStatus");
    keys::ServiceAnswer answer;
    const std::string separator = settings_.statusUri.find('?') == std::string::npos ? "?" : "&";
    if (error::Error failure = keys::CallService(httpClient_.get(), http::HttpMethod::GET,
                                                 settings_.statusUri + separator + "enrollmentId=" + enrollmentId_,
                                                 nullptr, token_->GetToken(), answer, "PollEnrollStatus"))
        return failure;
    if (!answer.json.is_object() || !answer.json.contains("status") || !answer.json["status"].is_object())
        return MakeError(Codes::InvalidResponse, "The enrollment status is not valid: " + answer.body, "PollEnrollStatus");
    json status = answer.json["status"];
    const std::string certificate = StringOf(status, "certificate");
    if (certificate.empty()) return MakeError(Codes::CertificateEmpty, "The issued certificate is empty", "PollEnrollStatus");
    if (!keys::KeyMatchesCertificate(certificate, privateKeyPem_))
        return MakeError(Codes::InvalidResponse, "The issued certificate is not for the request's key", "PollEnrollStatus");
    if (error::Error failure = StoreCertificate(kMakerCertificateStore, certificate)) return failure;
    status.erase("certificate");
    status["cert_store_path"] = keys::StoreFolder(kMakerCertificateStore).string();
    auto result = std::make_shared<EnrollmentStatus>();
    result->isValid = true;
    result->isReady = true;
    result->tenant = StringOf(answer.json, "tenant");
    result->status = keys::Dump(status);
    status_ = std::move(result);
    ForgetRequest();
    return {};
}

std::shared_ptr<const EnrollmentStatus> Enrollment::GetEnrollmentStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

error::Error Enrollment::StoreCertificate(const std::string& storeName, const std::string& certificate) {
    const auto folder = keys::StoreFolder(storeName);
    if (!keys::WritePrivateFile(folder / iot::kStorePrivateKeyFile, privateKeyPem_) ||
        !keys::WritePrivateFile(folder / iot::kStoreCertificateFile, certificate))
        return MakeError(Codes::CertificateSaveFailed, "Cannot save the certificate to the store " + storeName,
                         "SaveCertificate");
    return {};
}

error::Error Enrollment::EnrollDevice_1E(const char* requestPem, const char* privateKeyPem) {
    if (requestPem == nullptr || privateKeyPem == nullptr || *requestPem == '\0' || *privateKeyPem == '\0')
        return MakeError(Codes::InvalidArgument, "No certificate request or key", "EnrollDevice_1E");
    std::lock_guard lock(mutex_);
    if (settings_.error) return settings_.error;
    const std::string deviceId = DeviceId(settings_);
    std::string attestationCertificate;
    if (error::Error failure = settings_.attestation->GetCertificate(attestationCertificate)) return failure;
    keys::ServiceAnswer answer;
    if (error::Error failure = keys::CallService(httpClient_.get(), http::HttpMethod::POST,
                                                 keys::WithDeviceId(settings_.preEnrollmentUri, deviceId),
                                                 {{"csr", requestPem}, {"certificate", attestationCertificate}}, "",
                                                 answer, "EnrollDevice_1E"))
        return failure;
    std::string challenge;
    if (!keys::Base64Decode(StringOf(answer.json, "challenge"), challenge) || challenge.empty())
        return MakeError(Codes::InvalidResponse, "The 1E challenge is not valid: " + answer.body, "EnrollDevice_1E");
    std::string key = privateKeyPem;
    const std::string signature = keys::SignBase64(key, challenge);
    if (signature.empty()) {
        keys::Cleanse(key);
        return MakeError(Codes::InvalidArgument, "Cannot sign the 1E challenge", "EnrollDevice_1E");
    }
    if (error::Error failure = keys::CallService(httpClient_.get(), http::HttpMethod::POST,
                                                 keys::WithDeviceId(settings_.enrollmentUri, deviceId),
                                                 {{"csr", requestPem}, {"signature", signature}}, "", answer,
                                                 "EnrollDevice_1E")) {
        keys::Cleanse(key);
        return failure;
    }
    const std::string certificate = StringOf(answer.json, "certificate");
    if (certificate.empty()) {
        keys::Cleanse(key);
        return MakeError(Codes::CertificateEmpty, "The issued 1E certificate is empty", "EnrollDevice_1E");
    }
    keys::Cleanse(privateKeyPem_);
    privateKeyPem_ = std::move(key);
    certificate1E_ = certificate;
    return {};
}

error::Error Enrollment::SaveCertificate(const std::string& storeName) {
    std::lock_guard lock(mutex_);
    if (certificate1E_.empty() || privateKeyPem_.empty())
        return MakeError(Codes::CertificateMissing, "No certificate to save", "SaveCertificate");
    error::Error failure = StoreCertificate(storeName, certificate1E_);
    keys::Cleanse(privateKeyPem_);
    certificate1E_.clear();
    return failure;
}

error::Error Enrollment::DeleteCertificate(const std::string& storeName) {
    std::error_code ec;
    std::filesystem::remove_all(keys::StoreFolder(storeName), ec);
    if (ec) return MakeError(Codes::CertificateStoreUnreadable, "Cannot remove the store " + storeName + ": " + ec.message(),
                             "DeleteCertificate");
    return {};
}

error::Error Enrollment::CheckCertificateValidity(const std::string& storeName) const {
    const auto folder = keys::StoreFolder(storeName);
    std::error_code ec;
    if (!std::filesystem::exists(folder / iot::kStoreCertificateFile, ec)) {
        if (ec) return MakeError(Codes::CertificateStoreUnreadable, "Cannot read the store " + storeName, "CheckCertificateValidity");
        return MakeError(Codes::CertificateMissing, "No certificate in the store " + storeName, "CheckCertificateValidity");
    }
    std::string certificate;
    std::string key;
    if (!keys::ReadWholeFile(folder / iot::kStoreCertificateFile, certificate))
        return MakeError(Codes::CertificateUnreadable, "Cannot read the certificate of " + storeName, "CheckCertificateValidity");
    if (certificate.empty())
        return MakeError(Codes::CertificateEmpty, "The certificate of " + storeName + " is empty", "CheckCertificateValidity");
    const keys::CertificateFacts facts = keys::ReadCertificate(certificate);
    if (!facts.parsed)
        return MakeError(Codes::CertificateUnreadable, "The certificate of " + storeName + " is damaged", "CheckCertificateValidity");
    const bool keyOk = keys::ReadWholeFile(folder / iot::kStorePrivateKeyFile, key) && keys::KeyMatchesCertificate(certificate, key);
    keys::Cleanse(key);
    if (!keyOk)
        return MakeError(Codes::CertificateUnreadable, "The key of " + storeName + " is missing or not the certificate's",
                         "CheckCertificateValidity");
    const int64_t now = Now();
    if (now > facts.notAfter || now < facts.notBefore)
        return MakeError(Codes::CertificateExpired, "The certificate of " + storeName + " is out of its validity",
                         "CheckCertificateValidity");
    if (facts.commonName != DeviceId(settings_))
        return MakeError(Codes::CertificateUnreadable, "The certificate of " + storeName + " is another device's",
                         "CheckCertificateValidity");
    return {};
}

void EnrollmentCleanUp() {
    std::error_code ignored;
    std::filesystem::remove_all(keys::StoreFolder(kMakerCertificateStore), ignored);
    std::filesystem::remove_all(keys::StoreFolder(kCertificateStore1E), ignored);
    std::filesystem::remove(platform::ExecutablePath().parent_path() / kDiscoveryTokenFile, ignored);
}

DiscoveryTokenCache::DiscoveryTokenCache(std::shared_ptr<Enrollment> enrollment)
    : enrollment_(std::move(enrollment)) {}

error::Error DiscoveryTokenCache::LoadCachedDiscoveryToken() {
    token_.reset();
    if (!enrollment_)
        return MakeError(Codes::InvalidArgument, "No enrollment to read the discovery token of", "LoadCachedDiscoveryToken");
    if (error::Error failure = enrollment_->LoadCachedDiscoveryToken()) return failure;
    if (auto token = enrollment_->GetDiscoveryToken()) token_ = std::make_unique<Token>(std::move(token));
    return {};
}

const IDiscoveryToken* DiscoveryTokenCache::GetDiscoveryToken() const { return token_.get(); }

std::string DiscoveryTokenCache::Token::GetText() const {
    json names = json::array();
    const json answer = json::parse(token_->GetJson(), nullptr, false);
    if (answer.is_object() && answer.contains("services") && answer["services"].is_array()) {
        for (const auto& service : answer["services"]) {
            const std::string name = StringOf(service, "serviceName");
            if (!name.empty()) names.push_back(name);
        }
    }
    return json{{"serviceName", names}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace zelko::shared::enrollment
