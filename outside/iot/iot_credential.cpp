#include "outside/iot/iot_credential.h"

#include <openssl/crypto.h>

#include <utility>

namespace zelko::shared::iot {

IoTCredential::IoTCredential(error::Error error, std::string accessKeyId, std::string secretAccessKey,
                             std::string sessionToken, std::string expiration)
    : error_(std::move(error)),
      accessKeyId_(std::move(accessKeyId)),
      secretAccessKey_(std::move(secretAccessKey)),
      sessionToken_(std::move(sessionToken)),
      expiration_(std::move(expiration)) {}

IoTCredential::~IoTCredential() {
    OPENSSL_cleanse(secretAccessKey_.data(), secretAccessKey_.size());
    OPENSSL_cleanse(sessionToken_.data(), sessionToken_.size());
}

const error::Error& IoTCredential::GetError() const { return error_; }
const char* IoTCredential::GetAccessKeyId() const { return accessKeyId_.c_str(); }
const char* IoTCredential::GetSecretAccessKey() const { return secretAccessKey_.c_str(); }
const char* IoTCredential::GetSessionToken() const { return sessionToken_.c_str(); }
const char* IoTCredential::GetExpiration() const { return expiration_.c_str(); }

}  // namespace zelko::shared::iot
