#include "outside/attestation/key_tools.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "platform/paths.h"

namespace zelko::shared::keys {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Req = std::unique_ptr<X509_REQ, Deleter<X509_REQ, X509_REQ_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

Bio MemoryOf(const std::string& text) { return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))); }

std::string TextOf(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

Key ReadPrivateKey(const std::string& pem) {
    Bio bio = MemoryOf(pem);
    return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Cert ReadX509(const std::string& pem) {
    Bio bio = MemoryOf(pem);
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The public key of a certificate, a request or a public key PEM.
Key ReadPublicKey(const std::string& pem) {
    if (Cert certificate = ReadX509(pem)) return Key(X509_get_pubkey(certificate.get()));
    {
        Bio bio = MemoryOf(pem);
        Req request(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (request) return Key(X509_REQ_get_pubkey(request.get()));
    }
    Bio bio = MemoryOf(pem);
    return Key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

int64_t SecondsOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return 0;
    return static_cast<int64_t>(timegm(&tm));
}

}  // namespace

std::filesystem::path StoreFolder(const std::string& storeName) {
    return platform::ProgramDataFolder() / "Zelko" / "CertificateStores" / storeName;
}

bool WritePrivateFile(const std::filesystem::path& path, std::string_view bytes) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::string temp = path.string() + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());  // created with mode 0600
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) ok = false;
        else done += static_cast<size_t>(written);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return false;
    bytes = text.str();
    return true;
}

std::string Base64Encode(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c == ' ' || c == '\r' || c == '\n' || c == '\t') continue;
        clean.push_back(c);
    }
    bytes.clear();
    if (clean.empty()) return true;
    if (clean.size() % 4 != 0) return false;
    std::string out(clean.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(clean.data()),
                                       static_cast<int>(clean.size()));
    if (length < 0) return false;
    size_t size = static_cast<size_t>(length);
    // EVP_DecodeBlock counts the padding as zero bytes.
    if (clean.size() >= 1 && clean[clean.size() - 1] == '=') --size;
    if (clean.size() >= 2 && clean[clean.size() - 2] == '=') --size;
    out.resize(size);
    bytes = std::move(out);
    return true;
}

std::string NewEcKeyPem() {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) return {};
    Bio bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
    return TextOf(bio.get());
}

std::string MakeRequestPem(const std::string& privateKeyPem, const std::string& commonName,
                           const std::string& unit) {
    Key key = ReadPrivateKey(privateKeyPem);
    Req request(X509_REQ_new());
    if (!key || !request || X509_REQ_set_version(request.get(), 0) != 1) return {};
    X509_NAME* name = X509_REQ_get_subject_name(request.get());
    auto add = [&](const char* field, const std::string& value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
    };
    if (!add("CN", commonName) || (!unit.empty() && !add("OU", unit))) return {};
    if (X509_REQ_set_pubkey(request.get(), key.get()) != 1 || X509_REQ_sign(request.get(), key.get(), EVP_sha256()) <= 0)
        return {};
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509_REQ(bio.get(), request.get()) != 1) return {};
    return TextOf(bio.get());
}

std::string SignBase64(const std::string& privateKeyPem, std::string_view data) {
    Key key = ReadPrivateKey(privateKeyPem);
    MdCtx context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return {};
    size_t size = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(context.get(), nullptr, &size, bytes, data.size()) != 1) return {};
    std::string signature(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, bytes, data.size()) != 1)
        return {};
    signature.resize(size);
    return Base64Encode(signature);
}

bool VerifyBase64(const std::string& pem, std::string_view data, const std::string& signatureBase64) {
    std::string signature;
    if (!Base64Decode(signatureBase64, signature) || signature.empty()) return false;
    Key key = ReadPublicKey(pem);
    MdCtx context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

CertificateFacts ReadCertificate(const std::string& certificatePem) {
    CertificateFacts facts;
    Cert certificate = ReadX509(certificatePem);
    if (!certificate) return facts;
    facts.parsed = true;
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
        if (length > 0) facts.commonName.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
        OPENSSL_free(utf8);
    }
    facts.notBefore = SecondsOf(X509_get0_notBefore(certificate.get()));
    facts.notAfter = SecondsOf(X509_get0_notAfter(certificate.get()));
    return facts;
}

bool KeyMatchesCertificate(const std::string& certificatePem, const std::string& privateKeyPem) {
    Cert certificate = ReadX509(certificatePem);
    Key key = ReadPrivateKey(privateKeyPem);
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

std::string CloudCaFile() {
    const char* file = std::getenv(kCloudCaVariable);
    return file != nullptr ? file : "";
}

void Cleanse(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

}  // namespace zelko::shared::keys
