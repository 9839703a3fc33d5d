#pragma once

#include <cstdint>
#include <filesystem>

namespace zelko::shared::plugin {

// Checks a file before it is loaded or run.
class IValidator {
  public:
    // 0 when the file's signature is valid, else one of ValidationResult.
    virtual int32_t ValidateFile(const char* path) = 0;
    virtual ~IValidator() = default;
};

enum ValidationResult : int32_t {
    kValidationOk = 0,
    kValidationNoFile = 1,       // the file cannot be read
    kValidationUnsigned = 2,     // no signature file beside it
    kValidationBadSignature = 3, // the signature does not match the file or the key
    kValidationNoKey = 4,        // no usable public key is configured
};

// Settings of the signature check. The signature of a file is the detached file <file>.sig: the
// signature over the SHA-256 digest of the file's bytes made with the private key of
// `public_key_file` (what "openssl dgst -sha256 -sign key.pem -out file.sig file" writes; RSA
// or EC keys).
struct ValidatorSettings {
    std::filesystem::path public_key_file;
    // Development only: a file without a signature file passes. A signature that is present must
    // still match.
    bool accept_unsigned = false;
};

// Name of the settings file in the "Configuration Files" folder beside the running program:
// {"public_key": PEM file (relative to that folder or absolute), "accept_unsigned": false}.
inline constexpr const char* kValidatorConfigFileName = "zelko-plugin-manager-config.json";
inline constexpr const char* kDefaultPublicKeyFileName = "zelko-plugin-signing-key.pem";

// The settings read from the configuration folder; a missing or damaged file gives the defaults
// (the default key file, unsigned files refused).
ValidatorSettings LoadValidatorSettings(const std::filesystem::path& config_folder);

class Validator : public IValidator {
  public:
    // Settings from the "Configuration Files" folder beside the running program.
    Validator();
    explicit Validator(ValidatorSettings settings);

    int32_t ValidateFile(const char* path) override;

    const ValidatorSettings& settings() const { return settings_; }

  private:
    ValidatorSettings settings_;
};

}  // namespace zelko::shared::plugin
