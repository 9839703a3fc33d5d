#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "consent/consent.h"
#include "consent/consent_manager.h"
#include "foundation/allocator.h"
#include "outside/device_info/device_info.h"
#include "outside/http/http_client.h"

namespace zelko::plenar::agent {

class FeatureFinder;

// The consent module of subscription devices: brings the user's consent from the consent service
// into the consent hive, and reports a consent changed on the device back to the service.
// Construction and Process run on the agent scheduler's worker; IsConsentValid on any thread.
class ConsentBridgeModule {
  public:
    // httpClient may be empty: the module then makes its own. Raises the JSON library's type
    // error when the stack's settings are not an object or a wait value is not a number.
    ConsentBridgeModule(std::string stackName, const std::filesystem::path& configPath,
                        std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                        std::shared_ptr<shared::http::IHttpClient> httpClient);
    ConsentBridgeModule(const ConsentBridgeModule&) = delete;
    ConsentBridgeModule& operator=(const ConsentBridgeModule&) = delete;

    virtual bool IsSubscriptionDevice();
    virtual void WriteConsentToRegistry(const Consent& consent, const std::string& progress);

    // The consent step: downloads the cloud's consent while the consent is not valid, else checks
    // for a local change at most once per interval and uploads it. Raises nothing.
    void Process();
    bool IsConsentValid() const { return consentValid.load(); }

    std::vector<Purpose> DownloadPurposes();
    bool UploadConsent(const std::string& localHash);
    bool UploadPurpose(const Purpose& purpose);

    // Minutes between two checks for a local change ("upload_local_wait_min").
    int32_t UploadIntervalMinutes() const { return uploadLocalWaitMin; }
    // Bounds each request to the consent service; tests shorten it.
    void SetRequestTimeout(std::chrono::seconds timeout) { requestTimeoutSeconds = timeout.count(); }

    void WriteDefaultConsentToRegistry();
    void SetRegistryHiveWithDefaultValues();
    std::string biosUUID();

  private:
    void ProcessUploadCheck();
    void ProcessDownload();
    std::string Host() const;

    nlohmann::json config;
    std::string stackName;
    shared::http::Allocator allocator;
    std::shared_ptr<shared::http::IHttpClient> httpClient;
    bool firstTime = true;
    std::atomic<bool> consentValid{false};
    int64_t lastUploadCheck = 0;  // system clock, 100-ns ticks
    int32_t firstTimeWaitMs = 5000;
    int32_t uploadLocalWaitMin = 720;
    long requestTimeoutSeconds = ConsentManager::kRequestTimeoutSeconds;
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo;
};

// The consent purposes in the order the query lists them.
const std::vector<std::string>& QueryPurposeIds();
// The cloud's consent: each known purpose id sets its field; a later duplicate decides.
Consent ConsentFromPurposes(const std::vector<Purpose>& purposes);
// A copy of the first purpose of the field, or an empty one.
Purpose FindPurpose(const std::vector<Purpose>& purposes, ConsentField field);

// The consent step of module set-up: a device with the feature "ZelkoPlenarSubscription" gets the
// consent module (which may raise); any other gets a PSConsentSource in the finder (a failure is
// logged) and no module.
std::shared_ptr<ConsentBridgeModule> SetUpConsent(FeatureFinder& featureFinder, const std::string& stackName,
                                                  const std::filesystem::path& configFolder,
                                                  std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                                                  std::shared_ptr<shared::http::IHttpClient> httpClient);

}  // namespace zelko::plenar::agent
