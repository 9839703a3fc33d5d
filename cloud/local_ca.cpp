#include "cloud/local_ca.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace zelko::cloud {

namespace {

struct Free {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("Local CA: " + what); }

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string CertificateText(X509* certificate) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_X509(bio.get(), certificate)) Fail("cannot write a certificate");
    return BioText(bio.get());
}

std::string KeyText(EVP_PKEY* key) {
    Owned<BIO> bio(BIO_new(BIO_s_secmem()));
    if (!bio) bio.reset(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) Fail("cannot write a key");
    return BioText(bio.get());
}

Owned<EVP_PKEY> NewKey() {
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    if (!key) Fail("cannot make a key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || !X509_add_ext(certificate, extension.get(), -1)) Fail("cannot add extension " + value);
}

Owned<X509> NewCertificate(const std::string& commonName, EVP_PKEY* publicKey, X509* issuer, long days) {
    Owned<X509> certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    // A little in the past, so a clock a few minutes behind still accepts it.
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), days * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Zelko Local Cloud"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(certificate.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(certificate.get(), publicKey);
    return certificate;
}

bool IsIpAddress(const std::string& text) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

}  // namespace

IssuedCertificate::~IssuedCertificate() { OPENSSL_cleanse(privateKey.data(), privateKey.size()); }

void WritePrivateFile(const std::filesystem::path& path, const std::string& bytes) {
    std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temp.data());  // mode 0600
    if (fd < 0) Fail("cannot create a file beside " + path.string() + ": " + std::strerror(errno));
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            close(fd);
            unlink(temp.c_str());
            Fail("cannot write " + path.string() + ": " + std::strerror(saved));
        }
        written += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlink(temp.c_str());
        Fail("cannot write " + path.string() + ": " + std::strerror(saved));
    }
}

std::string CommonNameOf(const void* x509) {
    if (x509 == nullptr) return {};
    X509_NAME* name = X509_get_subject_name(static_cast<const X509*>(x509));
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) return {};
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

LocalCa::LocalCa(const std::filesystem::path& folder) : folder_(folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    const auto certificateFile = folder_ / "ca.pem";
    const auto keyFile = folder_ / "ca-key.pem";
    if (!std::filesystem::exists(certificateFile) || !std::filesystem::exists(keyFile)) {
        Owned<EVP_PKEY> key = NewKey();
        // A name of its own, so certificates of another local CA are never taken for this one's.
        unsigned char tag[4];
        RAND_bytes(tag, sizeof tag);
        char name[64];
        std::snprintf(name, sizeof name, "Zelko Local Cloud CA %02X%02X%02X%02X", tag[0], tag[1], tag[2], tag[3]);
        Owned<X509> certificate = NewCertificate(name, key.get(), nullptr, 3650);
        AddExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
        AddExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
        if (!X509_sign(certificate.get(), key.get(), EVP_sha256())) Fail("cannot sign the CA certificate");
        std::string keyText = KeyText(key.get());
        WritePrivateFile(keyFile, keyText);
        OPENSSL_cleanse(keyText.data(), keyText.size());
        WritePrivateFile(certificateFile, CertificateText(certificate.get()));
        std::filesystem::permissions(certificateFile, std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_write |
                                                          std::filesystem::perms::group_read |
                                                          std::filesystem::perms::others_read);
    }
    certificatePem_ = ReadFile(certificateFile);
    std::string keyText = ReadFile(keyFile);
    Owned<BIO> certificateBio(BIO_new_mem_buf(certificatePem_.data(), static_cast<int>(certificatePem_.size())));
    Owned<BIO> keyBio(BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
    certificate_ = PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr);
    key_ = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr);
    OPENSSL_cleanse(keyText.data(), keyText.size());
    if (certificate_ == nullptr || key_ == nullptr) {
        X509_free(static_cast<X509*>(certificate_));
        EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
        Fail("the CA in " + folder_.string() + " cannot be read");
    }
}

LocalCa::~LocalCa() {
    X509_free(static_cast<X509*>(certificate_));
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

IssuedCertificate LocalCa::IssueServer(const std::vector<std::string>& names) const {
    auto* caCertificate = static_cast<X509*>(certificate_);
    Owned<EVP_PKEY> key = NewKey();
    Owned<X509> certificate =
        NewCertificate(names.empty() ? "localhost" : names.front(), key.get(), caCertificate, 825);
    std::string alternative;
    for (const auto& name : names) {
        if (!alternative.empty()) alternative += ",";
        alternative += (IsIpAddress(name) ? "IP:" : "DNS:") + name;
    }
    if (!alternative.empty()) AddExtension(certificate.get(), caCertificate, NID_subject_alt_name, alternative);
    AddExtension(certificate.get(), caCertificate, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), caCertificate, NID_ext_key_usage, "serverAuth,clientAuth");
    if (!X509_sign(certificate.get(), static_cast<EVP_PKEY*>(key_), EVP_sha256())) Fail("cannot sign");
    IssuedCertificate issued;
    issued.certificate = CertificateText(certificate.get());
    issued.privateKey = KeyText(key.get());
    return issued;
}

IssuedCertificate LocalCa::IssueDevice(const std::string& commonName) const {
    auto* caCertificate = static_cast<X509*>(certificate_);
    Owned<EVP_PKEY> key = NewKey();
    Owned<X509> certificate = NewCertificate(commonName, key.get(), caCertificate, 365);
    AddExtension(certificate.get(), caCertificate, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), caCertificate, NID_ext_key_usage, "clientAuth");
    if (!X509_sign(certificate.get(), static_cast<EVP_PKEY*>(key_), EVP_sha256())) Fail("cannot sign");
    IssuedCertificate issued;
    issued.certificate = CertificateText(certificate.get());
    issued.privateKey = KeyText(key.get());
    return issued;
}

std::string LocalCa::SignRequest(const std::string& requestPem) const {
    Owned<BIO> bio(BIO_new_mem_buf(requestPem.data(), static_cast<int>(requestPem.size())));
    Owned<X509_REQ> request(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    if (!request) throw std::invalid_argument("not a PEM certificate request");
    EVP_PKEY* publicKey = X509_REQ_get0_pubkey(request.get());
    if (publicKey == nullptr || X509_REQ_verify(request.get(), publicKey) != 1)
        throw std::invalid_argument("the certificate request's signature does not verify");
    X509_NAME* subject = X509_REQ_get_subject_name(request.get());
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    std::string commonName;
    if (index >= 0) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
        if (length > 0) commonName.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
        OPENSSL_free(utf8);
    }
    if (commonName.empty()) throw std::invalid_argument("the certificate request has no common name");
    auto* caCertificate = static_cast<X509*>(certificate_);
    Owned<X509> certificate = NewCertificate(commonName, publicKey, caCertificate, 365);
    AddExtension(certificate.get(), caCertificate, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), caCertificate, NID_ext_key_usage, "clientAuth");
    if (!X509_sign(certificate.get(), static_cast<EVP_PKEY*>(key_), EVP_sha256())) Fail("cannot sign");
    return CertificateText(certificate.get());
}

}  // namespace zelko::cloud
