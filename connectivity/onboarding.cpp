#include "connectivity/onboarding.h"

#include <utility>

namespace zelko::plenar::agent {

Onboarding::Onboarding(std::filesystem::path configPath, std::string stack,
                       std::shared_ptr<shared::http::IHttpClient> httpClient,
                       std::shared_ptr<shared::device::IDeviceInfo> deviceInfo)
    : configPath_(std::move(configPath)),
      stack_(std::move(stack)),
      httpClient_(std::move(httpClient)),
      deviceInfo_(std::move(deviceInfo)) {}

Onboarding::~Onboarding() = default;

}  // namespace zelko::plenar::agent
