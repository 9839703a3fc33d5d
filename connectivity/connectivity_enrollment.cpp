// Certificate requests, discovery, maker and 1E enrollment, onboarding.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>

#include "connectivity/connectivity_module.h"
#include "connectivity/device_attestation_module.h"
#include "connectivity/onboarding.h"
#include "features/feature_finder.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "outside/device_info/device_info.h"
#include "outside/enrollment/enrollment.h"
#include "outside/http/http_errors.h"

namespace zelko::plenar::agent {

namespace {

using nlohmann::json;
using shared::enrollment::Enrollment;

template <typename T, void (*F)(T*)>
struct Free {
    void operator()(T* p) const { F(p); }
};
using Bio = std::unique_ptr<BIO, Free<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Req = std::unique_ptr<X509_REQ, Free<X509_REQ, X509_REQ_free>>;
using Number = std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>>;
using Encoder = std::unique_ptr<OSSL_ENCODER_CTX, Free<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>>;

std::string TextOf(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// The key as PKCS#1 PEM ("RSA PRIVATE KEY" / "RSA PUBLIC KEY"); empty on failure.
std::string Pkcs1Pem(EVP_PKEY* key, int selection) {
    Encoder encoder(OSSL_ENCODER_CTX_new_for_pkey(key, selection, "PEM", "type-specific", nullptr));
    Bio bio(BIO_new(selection == OSSL_KEYMGMT_SELECT_PUBLIC_KEY ? BIO_s_mem() : BIO_s_secmem()));
    if (!encoder || !bio || OSSL_ENCODER_CTX_get_num_encoders(encoder.get()) == 0 ||
        OSSL_ENCODER_to_bio(encoder.get(), bio.get()) != 1)
        return {};
    return TextOf(bio.get());
}

Key NewRsaKey() {
    KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    Number exponent(BN_new());
    if (!context || !exponent || BN_set_word(exponent.get(), 65537) != 1 || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 2048) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), exponent.get()) != 1)
        return {};
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(context.get(), &key) != 1) return {};
    return Key(key);
}

std::string ExecutableFolderText(const std::filesystem::path& folder) { return folder.string(); }

shared::error::Error NotPrepared(const char* what) {
    return shared::error::Error(shared::error::ErrorCategory::EC_StdException, 1,
                                std::string("The ") + what + " enrollment is not prepared", "class std::logic_error",
                                "connectivity");
}

}  // namespace

CertificateRequest::~CertificateRequest() {
    if (!privateKey.empty()) OPENSSL_cleanse(privateKey.data(), privateKey.size());
}

CertificateRequest ConnectivityModule::GenerateCSR(const char* commonName, const char* organisationalUnit,
                                                   const char* fileName) {
    CertificateRequest record;
    // Beside the executable: a service's current folder is not its own.
    const std::filesystem::path file = executableFolder / (fileName != nullptr ? fileName : "x509Req.pem");
    std::ofstream(file, std::ios::trunc).close();

    Key key = NewRsaKey();
    Req request(X509_REQ_new());
    if (!key || !request || X509_REQ_set_version(request.get(), 0) != 1) return record;
    X509_NAME* name = X509_REQ_get_subject_name(request.get());
    auto add = [&](const char* field, const char* value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>(value != nullptr ? value : ""), -1, -1,
                                          0) == 1;
    };
    if (!add("CN", commonName) || !add("OU", organisationalUnit)) return record;
    if (X509_REQ_set_pubkey(request.get(), key.get()) != 1 || X509_REQ_sign(request.get(), key.get(), EVP_sha256()) <= 0)
        return record;

    Bio memory(BIO_new(BIO_s_mem()));
    if (!memory || PEM_write_bio_X509_REQ(memory.get(), request.get()) != 1) return record;
    record.request = TextOf(memory.get());
    record.requestLength = static_cast<int32_t>(record.request.size());
    std::printf("\n%s\n", record.request.c_str());
    std::fflush(stdout);
    {
        Bio out(BIO_new_file(file.c_str(), "w"));
        if (out) PEM_write_bio_X509_REQ(out.get(), request.get());
    }
    record.publicKey = Pkcs1Pem(key.get(), OSSL_KEYMGMT_SELECT_PUBLIC_KEY);
    if (!record.publicKey.empty()) record.privateKey = Pkcs1Pem(key.get(), OSSL_KEYMGMT_SELECT_KEYPAIR);
    return record;
}

std::shared_ptr<Enrollment> ConnectivityModule::MakeEnrollment(const Enrollment::Settings& settings) {
    if (makeEnrollment) return makeEnrollment(settings, httpClient);
    return std::make_shared<Enrollment>(settings, httpClient);
}

shared::error::Error ConnectivityModule::PrepareEnrollment1E() {
    try {
        const json& section = stackConfig.at("enrollment_1e");
        const std::string enrollmentUri = section.at("enrollmentUri").get<std::string>();
        const std::string preEnrollmentUri = section.at("preEnrollmentUri").get<std::string>();
        Enrollment::Settings settings(enrollmentUri, deviceInfo.get(), ExecutableFolderText(executableFolder),
                                      attestationModule ? attestationModule->attestation.get() : nullptr,
                                      preEnrollmentUri);
        if (settings.error) {
            LOG_ERROR << "PrepareEnrollment1E failed. Invalid settings.";
            return settings.error;
        }
        enrollment1E = MakeEnrollment(settings);
        return {};
    } catch (const std::exception& e) {
        LOG_ERROR << "PrepareEnrollment1E failed with exception: " << e.what();
        return error::ErrorFromStdException(e, "enrollment_1e");
    } catch (...) {
        LOG_ERROR << "PrepareEnrollment1E failed with unknown exception";
        return error::ErrorFromException(std::current_exception(), "enrollment_1e");
    }
}

void ConnectivityModule::PrepareEnrollment(const std::shared_ptr<EnrollmentUriOverride>& override_,
                                           const std::shared_ptr<DeviceAttestationModule>& attestation,
                                           bool resetIoTInfo) {
    {
        std::lock_guard lock(stateLock);
        credentialsReady = false;
    }
    const json& section = stackConfig.at("enrollment_v2");
    std::string discoveryUri, enrollmentUri, statusUri;
    if (override_) {
        discoveryUri = override_->discoveryUri;
        enrollmentUri = override_->enrollmentUri;
        statusUri = override_->enrollmentStatusUri;
    } else {
        discoveryUri = section.at("discoveryUri").get<std::string>();
        enrollmentUri = section.at("enrollmentUri").get<std::string>();
        statusUri = section.at("enrollmentStatusUri").get<std::string>();
    }
    const std::string preEnrollmentUri = section.at("preEnrollmentUri").get<std::string>();
    Enrollment::Settings settings(discoveryUri, enrollmentUri, statusUri, deviceInfo.get(),
                                  ExecutableFolderText(executableFolder),
                                  attestation ? attestation->attestation.get() : nullptr, preEnrollmentUri);
    if (settings.error) throw std::runtime_error("Invalid enrollment settings");
    {
        std::lock_guard lock(stateLock);
        // The discovery source reads the old enrollment's token: it goes with it.
        if (makerEnrollment && featureFinder) featureFinder->RemoveSource(DiscoveryServiceSource::kName);
        makerEnrollment.reset();
        makerEnrollment = MakeEnrollment(settings);
    }
    ResetIoTInfo(resetIoTInfo);
}

std::shared_ptr<Enrollment> ConnectivityModule::GetMakerEnrollment() {
    std::lock_guard lock(stateLock);
    return makerEnrollment;
}

shared::error::Error ConnectivityModule::Discovery(bool forceQuery) {
    std::shared_ptr<Enrollment> enrollment;
    {
        std::lock_guard lock(stateLock);
        credentialsReady = false;
        enrollment = makerEnrollment;
        // Until this discovery succeeds, no features come from a token that may be stale.
        if (featureFinder) featureFinder->RemoveSource(DiscoveryServiceSource::kName);
    }
    if (!enrollment) return NotPrepared("maker");
    try {
        if (isSubscriptionDevice) {
            auto token = enrollment->QueryDiscoveryService(forceQuery);
            if (!token) {
                LOG_ERROR << "Error discoverResponse";
                return MakeEnrollmentError(EnrollmentErrors::NoDiscoveryToken, "No discovery token", "discovery");
            }
            if (token->GetError()) {
                LOG_ERROR << "Error discoverResponse " << error::ErrorToString(token->GetError());
                return token->GetError();
            }
            if (enrollment->IsDiscoveryTokenExpired())
                return MakeEnrollmentError(EnrollmentErrors::DiscoveryTokenExpired, "Discovery token Expired", "discovery");
        } else {
            if (shared::error::Error failure = enrollment->LoadCachedDiscoveryToken()) {
                return MakeEnrollmentError(EnrollmentErrors::NoDiscoveryToken,
                                           "No discovery token " + error::ErrorToString(failure), "discovery");
            }
            auto token = enrollment->GetDiscoveryToken();
            if (!token) return MakeEnrollmentError(EnrollmentErrors::NoDiscoveryToken, "No discovery token", "discovery");
            if (token->GetError()) return token->GetError();
            if (enrollment->IsDiscoveryTokenExpired())
                return MakeEnrollmentError(EnrollmentErrors::DiscoveryTokenExpired, "Discovery token Expired", "discovery");
        }
    } catch (const std::exception& e) {
        LOG_WARNING << "Exception Features updated due Discovery " << e.what();
        return error::ErrorFromStdException(e, "discovery");
    } catch (...) {
        LOG_WARNING << "Unknown exception on Features updated due Discovery";
        return error::ErrorFromException(std::current_exception(), "discovery");
    }
    RefreshDiscoveryFeatures(enrollment);
    return {};
}

void ConnectivityModule::RefreshDiscoveryFeatures(const std::shared_ptr<Enrollment>& enrollment) {
    // Best-effort: the token is good, so the discovery has succeeded whatever happens here.
    try {
        std::lock_guard lock(stateLock);
        if (!featureFinder) return;
        featureFinder->AddSource(
            std::make_shared<DiscoveryServiceSource>(std::make_shared<shared::enrollment::DiscoveryTokenCache>(enrollment)));
        LOG_INFO << "Features updated due Discovery:";
        (void)featureFinder->GetFeatures();  // the source reads the token now
    } catch (const std::exception& e) {
        LOG_WARNING << "Exception Features updated due Discovery " << e.what();
    } catch (...) {
        LOG_WARNING << "Unknown exception on Features updated due Discovery";
    }
}

shared::error::Error ConnectivityModule::PreEnrollZelko() {
    std::shared_ptr<Enrollment> enrollment = GetMakerEnrollment();
    if (!enrollment) return NotPrepared("maker");
    const char* id = deviceInfo->GetDeviceSNRId();
    CertificateRequest request = GenerateCSR(id != nullptr ? id : "", "Vitalix", "x509Req.pem");
    if (request.request.empty() || request.requestLength == 0)
        return MakeEnrollmentError(EnrollmentErrors::CsrGenerationFailed, "Error generating CSR");
    LOG_INFO << "Connectivity module: enrolling zelko device, preEnroll...";
    shared::error::Error result = enrollment->PreEnroll(request.request.c_str(), request.privateKey.c_str());
    if (result) LOG_ERROR << "Enrollment failed: " << error::ErrorToString(result);
    else LOG_INFO << "Connectivity module: enrolling zelko device, preEnroll succeeded.";
    return result;
}

shared::error::Error ConnectivityModule::EnrollZelko() {
    std::shared_ptr<Enrollment> enrollment = GetMakerEnrollment();
    if (!enrollment) return NotPrepared("maker");
    LOG_INFO << "Connectivity module: enrolling zelko device, Enroll...";
    shared::error::Error result = enrollment->Enroll();
    if (result) LOG_ERROR << "Enrollment failed: " << error::ErrorToString(result);
    else LOG_INFO << "Connectivity module: enrolling zelko device, Enroll succeeded.";
    return result;
}

shared::error::Error ConnectivityModule::PollEnrollZelkoStatus() {
    std::shared_ptr<Enrollment> enrollment = GetMakerEnrollment();
    if (!enrollment) return NotPrepared("maker");
    LOG_INFO << "Connectivity module: enrolling zelko device, PollEnrollStatus...";
    if (shared::error::Error failure = enrollment->PollEnrollStatus()) {
        LOG_INFO << "PollEnrollStatus not ready: " << error::ErrorToString(failure);
        return failure;
    }
    LOG_INFO << "Connectivity module: enrolling zelko device, PollEnrollStatus succeeded.";
    auto status = enrollment->GetEnrollmentStatus();
    if (!status || !status->isValid || !status->isReady) {
        LOG_ERROR << "Internal error: Enrollment status is invalid.";
        return MakeEnrollmentError(EnrollmentErrors::InvalidEnrollmentStatus, "Internal error: Enrollment status is invalid.");
    }
    try {
        LOG_INFO << "Preparing iot device for connection.";
        const json document = json::parse(status->status);
        const json& info = document.at("IotInfo");
        if (!info.is_object()) (void)info.value("amazonCa", std::string());  // the JSON type error
        const auto [credentialEndpoint, credentialPath] = SplitCredentialUri(GetCredentialUri(stackConfig.at("iot")));
        {
            std::lock_guard lock(iotLock);
            shared::enrollment::OpenSSLEncode encoder;
            const char* decoded = encoder.DecodeBase64(info.value("amazonCa", std::string()));
            const std::string rootCa = decoded != nullptr ? decoded : "";
            iotInfo = std::make_shared<shared::iot::IotInfo>(
                info.value("iot_region", std::string()), status->tenant, info.value("iot_endpoint", std::string()),
                document.value("deviceId", std::string()), document.at("cert_store_path").get<std::string>(), "",
                document.at("creds_topic").get<std::string>(), "", rootCa, "credentials", credentialEndpoint,
                credentialPath);
            SaveIoTInfo(IoTInfoPath(), iotInfo);
        }
        {
            std::lock_guard lock(stateLock);
            (void)InitializeDataValveClient();
            credentialsReady = true;
        }
        return {};
    } catch (const json::exception& e) {
        LOG_ERROR << "Internal error: Enrollment status has invalid format.";
        const std::string text = "Enrollment status: Raw " + status->status + " exc " + e.what();
        LOG_DEBUG << text;
        return MakeEnrollmentError(EnrollmentErrors::EnrollmentStatusFormat, text, "connectivity");
    } catch (...) {
        LOG_ERROR << "Internal error: Enrollment status has invalid format.";
        shared::error::Error failure = error::ErrorFromException(std::current_exception(), "connectivity");
        LOG_DEBUG << "Enrollment status: " << error::ErrorToString(failure);
        return failure;
    }
}

void ConnectivityModule::ResetEnrollment() {
    std::error_code ignored;
    std::filesystem::remove(IoTInfoPath(), ignored);
    if (std::shared_ptr<Enrollment> enrollment = GetMakerEnrollment())
        (void)enrollment->DeleteCertificate(shared::enrollment::kMakerCertificateStore);
}

shared::error::Error ConnectivityModule::Enroll1E() {
    if (!enrollment1E) return NotPrepared("1E");
    try {
        const char* id = deviceInfo->GetDeviceSNRId();
        CertificateRequest request = GenerateCSR(id != nullptr ? id : "", "ZelkoPlenar", "x509Req1E.pem");
        if (request.request.empty())
            return MakeEnrollmentError(EnrollmentErrors::CsrGenerationFailed, "Error generating CSR");
        LOG_INFO << "Enrollment1E sending request ...";
        if (shared::error::Error failure = enrollment1E->EnrollDevice_1E(request.request.c_str(), request.privateKey.c_str()))
            return failure;
        if (shared::error::Error failure = enrollment1E->SaveCertificate(shared::enrollment::kCertificateStore1E)) {
            LOG_ERROR << "Certificate saving failed: " << error::ErrorToString(failure);
            return failure;
        }
        return {};
    } catch (const std::exception& e) {
        LOG_ERROR << "1E Enrollment failed with exception:" << e.what();
        return error::ErrorFromStdException(e, "enrollment_1e");
    } catch (...) {
        LOG_ERROR << "1E Enrollment failed with unknown exception";
        return error::ErrorFromException(std::current_exception(), "enrollment_1e");
    }
}

void ConnectivityModule::Onboard() {
    if (!onboarding) {
        LOG_WARNING << "Onboarding module is not initialized";
        onboardingInProgress = false;
        return;
    }
    onboardingInProgress = true;
    onboardingBackoffHint = -1;
    try {
        (void)onboarding->Perform();
    } catch (const std::exception& e) {
        throw std::runtime_error(e.what());
    }
    onboardingInProgress = onboarding->inProgress;
    onboardingBackoffHint = onboarding->backoffHint;
}

}  // namespace zelko::plenar::agent
