#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "outside/enrollment/discovery_token.h"
#include "outside/error/error.h"

namespace zelko::shared::device {
class IDeviceInfo;
}
namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::attestation {
class DeviceAttestation;
}

namespace zelko::shared::enrollment {

// The discovery service's answer: {"token", "expiresIn" (seconds), "services": [{"serviceName", ...}]}.
class DiscoveryToken {
  public:
    DiscoveryToken(error::Error error, std::string json, std::string token, int64_t expires);
    const error::Error& GetError() const { return error_; }
    // The answer as JSON text.
    const char* GetJson() const { return json_.c_str(); }
    const std::string& GetToken() const { return token_; }
    // Seconds since 1970.
    int64_t GetExpires() const { return expires_; }

  private:
    error::Error error_;
    std::string json_;
    std::string token_;
    int64_t expires_;
};

struct EnrollmentStatus {
    bool isValid = false;
    bool isReady = false;
    std::string tenant;
    // The status document; "cert_store_path" names the folder where the certificate and key are stored.
    std::string status;
};

// Decodes Base64; the text lives as long as the encoder.
class OpenSSLEncode {
  public:
    // Null for text that is not Base64.
    const char* DecodeBase64(const std::string& text);

  private:
    std::string decoded_;
};

// The cached discovery answer, in the settings' folder.
inline constexpr const char* kDiscoveryTokenFile = "zelko-discovery-token.json";
inline constexpr const char* kMakerCertificateStore = "ZelkoPlenarCertStore";
inline constexpr const char* kCertificateStore1E = "ZelkoPlenar1ECertStore";

// Discovery, pre-enrollment (challenge), enrollment and status poll with the maker's services,
// and the certificate stores the issued certificates land in (kept under the system root).
class Enrollment {
  public:
    struct Settings {
        // 1E form.
        Settings(std::string enrollmentUri, device::IDeviceInfo* deviceInfo, std::string folder,
                 attestation::DeviceAttestation* attestation, std::string preEnrollmentUri);
        // Maker form.
        Settings(std::string discoveryUri, std::string enrollmentUri, std::string statusUri,
                 device::IDeviceInfo* deviceInfo, std::string folder, attestation::DeviceAttestation* attestation,
                 std::string preEnrollmentUri);

        std::string discoveryUri;
        std::string enrollmentUri;
        std::string statusUri;
        std::string preEnrollmentUri;
        device::IDeviceInfo* deviceInfo;
        std::string folder;
        attestation::DeviceAttestation* attestation;
        // No error: the settings are usable (absolute http(s) URIs, a device, a folder, an attestation).
        error::Error error;
    };

    // The client, device information and attestation must outlive the object.
    Enrollment(const Settings& settings, std::shared_ptr<http::IHttpClient> httpClient);
    virtual ~Enrollment();
    Enrollment(const Enrollment&) = delete;
    Enrollment& operator=(const Enrollment&) = delete;

    // Virtual so tests can stand in for the library.
    // Asks the discovery service unless a cached token is still valid and force is false.
    virtual std::shared_ptr<const DiscoveryToken> QueryDiscoveryService(bool force);
    virtual error::Error LoadCachedDiscoveryToken();
    virtual std::shared_ptr<const DiscoveryToken> GetDiscoveryToken() const;
    virtual bool IsDiscoveryTokenExpired() const;

    // Sends the request and receives the enrollment challenge; the texts are copied.
    virtual error::Error PreEnroll(const char* requestPem, const char* privateKeyPem);
    // Answers the challenge with the request's key.
    virtual error::Error Enroll();
    // No error once the certificate is issued and stored: GetEnrollmentStatus then has the result.
    virtual error::Error PollEnrollStatus();
    virtual std::shared_ptr<const EnrollmentStatus> GetEnrollmentStatus() const;

    virtual error::Error EnrollDevice_1E(const char* requestPem, const char* privateKeyPem);
    // Stores the certificate of the last EnrollDevice_1E with its key.
    virtual error::Error SaveCertificate(const std::string& storeName);
    virtual error::Error DeleteCertificate(const std::string& storeName);
    virtual error::Error CheckCertificateValidity(const std::string& storeName) const;

  private:
    error::Error StoreCertificate(const std::string& storeName, const std::string& certificate);
    void ForgetRequest();

    Settings settings_;
    std::shared_ptr<http::IHttpClient> httpClient_;
    mutable std::mutex mutex_;
    std::shared_ptr<const DiscoveryToken> token_;
    std::shared_ptr<const EnrollmentStatus> status_;
    std::string requestPem_;
    std::string privateKeyPem_;
    std::string enrollmentId_;
    std::string challenge_;
    std::string certificate1E_;
};

// Removes the certificate stores and the cached discovery token of the executable's folder.
void EnrollmentCleanUp();

// An enrollment object's cached discovery token as the feature sources read it: the token's text
// is {"serviceName": [...]}, the text "serviceName" of each entry of the answer's "services".
class DiscoveryTokenCache : public IDiscoveryTokenCache {
  public:
    explicit DiscoveryTokenCache(std::shared_ptr<Enrollment> enrollment);
    error::Error LoadCachedDiscoveryToken() override;
    const IDiscoveryToken* GetDiscoveryToken() const override;

  private:
    class Token : public IDiscoveryToken {
      public:
        explicit Token(std::shared_ptr<const DiscoveryToken> token) : token_(std::move(token)) {}
        error::Error GetError() const override { return token_->GetError(); }
        std::string GetText() const override;

      private:
        std::shared_ptr<const DiscoveryToken> token_;
    };

    std::shared_ptr<Enrollment> enrollment_;
    std::unique_ptr<Token> token_;
};

}  // namespace zelko::shared::enrollment
