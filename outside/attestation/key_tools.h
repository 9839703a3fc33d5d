#pragma once

// Small OpenSSL helpers shared by the attestation and enrollment libraries: private files of a
// certificate store, Base64, keys, requests and signatures.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zelko::shared::keys {

// <system root>/ProgramData/Zelko/CertificateStores/<storeName>: one folder per store, holding the
// certificate and private key PEM files the IoT library reads (kStoreCertificateFile, kStorePrivateKeyFile).
std::filesystem::path StoreFolder(const std::string& storeName);

// Writes bytes through a temporary file (owner read/write only) renamed over path, creating the
// folder. False on failure, with nothing left behind.
bool WritePrivateFile(const std::filesystem::path& path, std::string_view bytes);
// False when the file cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes);

std::string Base64Encode(std::string_view bytes);
// False for text that is not Base64 (whitespace and line breaks are allowed).
bool Base64Decode(std::string_view text, std::string& bytes);

// A new private key as unencrypted PEM (PKCS#8): EC P-256. Empty on failure.
std::string NewEcKeyPem();
// A PKCS#10 request for the key with the subject CN (and OU when not empty), signed with SHA-256.
// Empty on failure.
std::string MakeRequestPem(const std::string& privateKeyPem, const std::string& commonName,
                           const std::string& unit);
// SHA-256 signature of data with the private key (PEM, PKCS#1 or PKCS#8), Base64. Empty on failure.
std::string SignBase64(const std::string& privateKeyPem, std::string_view data);
// Verifies a Base64 signature of data with the public key of a PEM certificate, request or public key.
bool VerifyBase64(const std::string& pem, std::string_view data, const std::string& signatureBase64);

// The parts of a PEM certificate the libraries check.
struct CertificateFacts {
    bool parsed = false;
    std::string commonName;
    int64_t notBefore = 0;  // seconds since 1970
    int64_t notAfter = 0;
};
CertificateFacts ReadCertificate(const std::string& certificatePem);
// The certificate's public key is the private key's.
bool KeyMatchesCertificate(const std::string& certificatePem, const std::string& privateKeyPem);

// The environment variable naming a PEM file of extra trusted roots for the maker's services (the
// local cloud's CA on a development machine); unset: the system's trust store.
inline constexpr const char* kCloudCaVariable = "ZELKO_CLOUD_CA_FILE";
// The value of kCloudCaVariable, or empty.
std::string CloudCaFile();

// Overwrites the text's bytes before clearing it.
void Cleanse(std::string& secret);

}  // namespace zelko::shared::keys
