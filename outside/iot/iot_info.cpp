#include "outside/iot/iot_info.h"

#include <utility>

namespace zelko::shared::iot {

IotInfo::IotInfo(std::string region, std::string tenant, std::string endpoint, std::string thingName,
                 std::string certificate, std::string privateKey, std::string credsTopic, std::string proxy,
                 std::string rootCA, std::string credentialsShadowName, std::string credentialEndpoint,
                 std::string credentialPath)
    : region_(std::move(region)),
      tenant_(std::move(tenant)),
      endpoint_(std::move(endpoint)),
      thingName_(std::move(thingName)),
      certificate_(std::move(certificate)),
      privateKey_(std::move(privateKey)),
      credsTopic_(std::move(credsTopic)),
      proxy_(std::move(proxy)),
      rootCA_(std::move(rootCA)),
      credentialsShadowName_(std::move(credentialsShadowName)),
      credentialEndpoint_(std::move(credentialEndpoint)),
      credentialPath_(std::move(credentialPath)) {}

IotInfo::~IotInfo() = default;

const char* IotInfo::GetRegion() const { return region_.c_str(); }
const char* IotInfo::GetTenant() const { return tenant_.c_str(); }
const char* IotInfo::GetEndpoint() const { return endpoint_.c_str(); }
const char* IotInfo::GetThingName() const { return thingName_.c_str(); }
const char* IotInfo::GetCertificate() const { return certificate_.c_str(); }
const char* IotInfo::GetPrivateKey() const { return privateKey_.c_str(); }
const char* IotInfo::GetCredsTopic() const { return credsTopic_.c_str(); }
const char* IotInfo::GetProxy() const { return proxy_.c_str(); }
const char* IotInfo::GetRootCA() const { return rootCA_.c_str(); }
const char* IotInfo::GetsCredentialsShadowName() const { return credentialsShadowName_.c_str(); }
const char* IotInfo::GetCredentialEndpoint() const { return credentialEndpoint_.c_str(); }
const char* IotInfo::GetCredentialPath() const { return credentialPath_.c_str(); }
const error::Error& IotInfo::GetError() const { return error_; }

}  // namespace zelko::shared::iot
