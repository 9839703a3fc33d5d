#pragma once

#include <string>

#include "outside/error/error.h"

namespace zelko::shared::iot {

// The connection data of one thing. The certificate and private key are PEM texts, or paths: a
// PEM file, or a certificate-store folder holding kStoreCertificateFile and kStorePrivateKeyFile.
// The root CA is a PEM text or a path to a PEM file; empty means the system's trust store.
class IotInfo {
  public:
    IotInfo(std::string region, std::string tenant, std::string endpoint, std::string thingName,
            std::string certificate, std::string privateKey, std::string credsTopic, std::string proxy,
            std::string rootCA, std::string credentialsShadowName, std::string credentialEndpoint,
            std::string credentialPath);
    IotInfo(const IotInfo&) = default;
    IotInfo& operator=(const IotInfo&) = default;

    virtual const char* GetRegion() const;
    virtual const char* GetTenant() const;
    // "host" or "host:port"; the MQTT port defaults to 8883.
    virtual const char* GetEndpoint() const;
    virtual const char* GetThingName() const;
    virtual const char* GetCertificate() const;
    virtual const char* GetPrivateKey() const;
    virtual const char* GetCredsTopic() const;
    virtual const char* GetProxy() const;
    virtual const char* GetRootCA() const;
    virtual const char* GetsCredentialsShadowName() const;
    // "host" or "host:port" of the HTTPS side (shadows, HTTP publish, credentials; port 443 when
    // none is given); empty: the endpoint's host on port 8443.
    virtual const char* GetCredentialEndpoint() const;
    virtual const char* GetCredentialPath() const;
    virtual const error::Error& GetError() const;
    virtual ~IotInfo();

  private:
    std::string region_;
    std::string tenant_;
    std::string endpoint_;
    std::string thingName_;
    std::string certificate_;
    std::string privateKey_;
    std::string credsTopic_;
    std::string proxy_;
    std::string rootCA_;
    std::string credentialsShadowName_;
    std::string credentialEndpoint_;
    std::string credentialPath_;
    error::Error error_;
};

// File names inside a certificate-store folder.
inline constexpr const char* kStoreCertificateFile = "certificate.pem";
inline constexpr const char* kStorePrivateKeyFile = "private_key.pem";

}  // namespace zelko::shared::iot
