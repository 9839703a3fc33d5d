#include <exception>

#include "consent/consent_bridge.h"
#include "features/feature_finder.h"
#include "foundation/logging.h"

namespace zelko::plenar::agent {

std::shared_ptr<ConsentBridgeModule> SetUpConsent(FeatureFinder& featureFinder, const std::string& stackName,
                                                  const std::filesystem::path& configFolder,
                                                  std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                                                  std::shared_ptr<shared::http::IHttpClient> httpClient) {
    if (!featureFinder.GetFeaturesByName("ZelkoPlenarSubscription").empty()) {
        LOG_INFO << "Loading consent bridge module...";
        auto module = std::make_shared<ConsentBridgeModule>(
            stackName, configFolder / "consent-bridge-module-config.json", std::move(deviceInfo),
            std::move(httpClient));
        LOG_INFO << "Loading consent bridge module completed.";
        return module;
    }
    LOG_INFO << "Initial PSConsentSource";
    try {
        featureFinder.AddSource(std::make_shared<PSConsentSource>());
    } catch (const std::exception& e) {
        LOG_ERROR << "Exception on loading PSConsentSource " << e.what();
    } catch (...) {
        LOG_ERROR << "Unknown exception on loading PSConsentSource";
    }
    return nullptr;
}

}  // namespace zelko::plenar::agent
