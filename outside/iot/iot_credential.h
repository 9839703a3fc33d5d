#pragma once

#include <string>

#include "outside/error/error.h"

namespace zelko::shared::iot {

// Temporary cloud credentials of the thing, as the credentials endpoint handed them out.
class IoTCredential {
  public:
    IoTCredential(error::Error error, std::string accessKeyId, std::string secretAccessKey,
                  std::string sessionToken, std::string expiration);
    IoTCredential(const IoTCredential&) = default;
    IoTCredential& operator=(const IoTCredential&) = default;
    virtual ~IoTCredential();

    // Empty when the credential is usable.
    virtual const error::Error& GetError() const;
    virtual const char* GetAccessKeyId() const;
    virtual const char* GetSecretAccessKey() const;
    virtual const char* GetSessionToken() const;
    // ISO 8601 UTC time ("2026-12-10T15:00:00Z").
    virtual const char* GetExpiration() const;

  private:
    error::Error error_;
    std::string accessKeyId_;
    std::string secretAccessKey_;
    std::string sessionToken_;
    std::string expiration_;
};

}  // namespace zelko::shared::iot
