#include "outside/plugin_manager/validator.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace zelko::shared::plugin {

namespace {

bool ReadFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

ValidatorSettings LoadValidatorSettings(const std::filesystem::path& config_folder) {
    ValidatorSettings settings;
    settings.public_key_file = config_folder / kDefaultPublicKeyFileName;
    std::ifstream in(config_folder / kValidatorConfigFileName, std::ios::binary);
    if (!in) return settings;
    // A damaged settings file must not open the door: its values are used only when well-typed.
    auto document = nlohmann::json::parse(in, nullptr, false);
    if (!document.is_object()) return settings;
    if (auto key = document.find("public_key"); key != document.end() && key->is_string()) {
        settings.public_key_file = config_folder / std::filesystem::path(key->get<std::string>());
    }
    if (auto unsigned_files = document.find("accept_unsigned");
        unsigned_files != document.end() && unsigned_files->is_boolean()) {
        settings.accept_unsigned = unsigned_files->get<bool>();
    }
    return settings;
}

Validator::Validator()
    : Validator(LoadValidatorSettings(platform::ExecutablePath().parent_path() / "Configuration Files")) {}

Validator::Validator(ValidatorSettings settings) : settings_(std::move(settings)) {}

int32_t Validator::ValidateFile(const char* path) {
    if (path == nullptr) return kValidationNoFile;
    std::vector<unsigned char> content;
    if (!std::filesystem::is_regular_file(path) || !ReadFile(path, content)) return kValidationNoFile;

    std::vector<unsigned char> signature;
    const std::filesystem::path signature_file = std::string(path) + ".sig";
    if (!std::filesystem::exists(signature_file)) {
        return settings_.accept_unsigned ? kValidationOk : kValidationUnsigned;
    }
    if (!ReadFile(signature_file, signature) || signature.empty()) return kValidationBadSignature;

    std::unique_ptr<EVP_PKEY, KeyFree> key;
    if (std::FILE* file = std::fopen(settings_.public_key_file.c_str(), "rb")) {
        key.reset(PEM_read_PUBKEY(file, nullptr, nullptr, nullptr));
        std::fclose(file);
    }
    if (!key) return kValidationNoKey;

    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return kValidationNoKey;
    }
    const int verified = EVP_DigestVerify(context.get(), signature.data(), signature.size(), content.data(),
                                          content.size());
    return verified == 1 ? kValidationOk : kValidationBadSignature;
}

}  // namespace zelko::shared::plugin
