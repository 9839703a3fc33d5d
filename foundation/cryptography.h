#pragma once

#include <string>
#include <vector>

namespace zelko::plenar::crypto {

// AES-256-CBC (PKCS#7 padding) keyed by the SHA-256 of a password; the output carries a fresh
// random 16-byte IV in front of the ciphertext. Safe to share between threads.
class Cryptography {
  public:
    explicit Cryptography(std::string password);

    std::vector<unsigned char> Encrypt(const std::string& plain) const;
    // data = IV followed by ciphertext.
    std::string Decrypt(const std::vector<unsigned char>& data) const;

  private:
    std::string _password;
};

}  // namespace zelko::plenar::crypto
