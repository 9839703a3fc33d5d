#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::device {
class IDeviceInfo;
}

namespace zelko::plenar::agent {

// Announces a new device to the maker's onboarding service; configured by
// "onboarding-module-config.json".
class Onboarding {
  public:
    Onboarding(std::filesystem::path configPath, std::string stack,
               std::shared_ptr<shared::http::IHttpClient> httpClient,
               std::shared_ptr<shared::device::IDeviceInfo> deviceInfo);
    virtual ~Onboarding();

    const std::filesystem::path& ConfigPath() const { return configPath_; }

  private:
    std::filesystem::path configPath_;
    std::string stack_;
    std::shared_ptr<shared::http::IHttpClient> httpClient_;
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo_;
};

}  // namespace zelko::plenar::agent
