#include "foundation/cryptography.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace zelko::plenar::crypto {

namespace {
constexpr size_t kIvSize = 16;
constexpr size_t kBlockSize = 16;

using Key = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

Key KeyOf(const std::string& password) {
    Key key{};
    SHA256(reinterpret_cast<const unsigned char*>(password.data()), password.size(), key.data());
    return key;
}

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// The EVP calls take int lengths; larger inputs would be cut silently.
void CheckLength(size_t size) {
    if (size > static_cast<size_t>(std::numeric_limits<int>::max() - 2 * kBlockSize)) {
        throw std::length_error("Data too large to encrypt");
    }
}

CipherContext NewContext() {
    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx) throw std::runtime_error("Failed to create new EVP_CIPHER_CTX");
    return ctx;
}
}  // namespace

Cryptography::Cryptography(std::string password) : _password(std::move(password)) {}

std::vector<unsigned char> Cryptography::Encrypt(const std::string& plain) const {
    CheckLength(plain.size());
    std::array<unsigned char, kIvSize> iv{};
    // A predictable IV would leak equal prefixes between files, so a failed draw is an error.
    if (RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) {
        throw std::runtime_error("Failed to generate random IV");
    }
    const Key key = KeyOf(_password);
    CipherContext ctx = NewContext();

    std::vector<unsigned char> out(plain.size() + kIvSize + kBlockSize, 0);
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data()) != 1) {
        throw std::runtime_error("Failed to initialize encryption");
    }
    int written = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data() + kIvSize, &written,
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1) {
        throw std::runtime_error("Failed to encrypt data");
    }
    int final_written = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + kIvSize + written, &final_written) != 1) {
        throw std::runtime_error("Failed to finalize encryption");
    }
    std::memcpy(out.data(), iv.data(), kIvSize);
    out.resize(kIvSize + written + final_written);
    return out;
}

std::string Cryptography::Decrypt(const std::vector<unsigned char>& data) const {
    if (data.size() < kIvSize) throw std::invalid_argument("Buffer is too small");
    CheckLength(data.size());
    const Key key = KeyOf(_password);
    CipherContext ctx = NewContext();

    const size_t cipher_size = data.size() - kIvSize;
    // One spare block: the cipher may write up to a block beyond its input on partial data.
    std::string out(cipher_size + kBlockSize, '\0');
    auto* out_bytes = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), data.data()) != 1) {
        throw std::runtime_error("Failed to initialize decryption");
    }
    int written = 0;
    if (EVP_DecryptUpdate(ctx.get(), out_bytes, &written, data.data() + kIvSize,
                          static_cast<int>(cipher_size)) != 1) {
        throw std::runtime_error("Failed to decrypt data");
    }
    int final_written = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out_bytes + written, &final_written) != 1) {
        throw std::runtime_error("Failed to finalize decryption");
    }
    out.resize(static_cast<size_t>(written + final_written));
    return out;
}

}  // namespace zelko::plenar::crypto
