#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zelko::cloud {

// A certificate and its private key, both PEM. The key is wiped when the pair goes.
struct IssuedCertificate {
    std::string certificate;
    std::string privateKey;
    IssuedCertificate() = default;
    IssuedCertificate(const IssuedCertificate&) = default;
    IssuedCertificate& operator=(const IssuedCertificate&) = default;
    ~IssuedCertificate();
};

// The local certificate authority: made at first use in its folder ("ca.pem", "ca-key.pem", the key
// mode 0600), loaded afterwards. Keys are EC P-256, signatures SHA-256.
class LocalCa {
  public:
    // Throws std::runtime_error when the folder's CA cannot be read or made.
    explicit LocalCa(const std::filesystem::path& folder);
    ~LocalCa();
    LocalCa(const LocalCa&) = delete;
    LocalCa& operator=(const LocalCa&) = delete;

    const std::string& CertificatePem() const { return certificatePem_; }
    std::filesystem::path CertificateFile() const { return folder_ / "ca.pem"; }

    // A TLS server certificate for the given DNS names and IP addresses.
    IssuedCertificate IssueServer(const std::vector<std::string>& names) const;
    // A device (TLS client) certificate whose subject CN is commonName.
    IssuedCertificate IssueDevice(const std::string& commonName) const;
    // Signs a PEM certificate request; the subject CN is taken from the request. Throws
    // std::invalid_argument for a request that is not valid or not self-signed.
    std::string SignRequest(const std::string& requestPem) const;

  private:
    std::filesystem::path folder_;
    std::string certificatePem_;
    void* certificate_ = nullptr;  // X509*
    void* key_ = nullptr;          // EVP_PKEY*
};

// Writes bytes to path by a temporary file (mode 0600) and rename. Throws std::runtime_error.
void WritePrivateFile(const std::filesystem::path& path, const std::string& bytes);

// The subject CN of a PEM or DER certificate held by an X509*; "" when none.
std::string CommonNameOf(const void* x509);

}  // namespace zelko::cloud
