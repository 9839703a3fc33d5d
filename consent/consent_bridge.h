#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "consent/consent.h"
#include "consent/consent_manager.h"
#include "foundation/allocator.h"
#include "outside/device_info/device_info.h"
#include "outside/http/http_client.h"
#include "platform/steady_clock.h"

namespace zelko::plenar::agent {

class FeatureFinder;

// The consent module of subscription devices: brings the user's consent from the consent service
// into the consent hive, and reports a consent changed on the device back to the service.
// Construction and the download run on the agent scheduler's worker, the upload check on the
// module's own thread (StartUploadCheck); IsConsentValid and Stop on any thread.
class ConsentBridgeModule {
  public:
    // httpClient may be empty: the module then makes its own. Raises the JSON library's type
    // error when the stack's settings are not an object or a wait value is not a number.
    ConsentBridgeModule(std::string stackName, const std::filesystem::path& configPath,
                        std::shared_ptr<shared::device::IDeviceInfo> deviceInfo,
                        std::shared_ptr<shared::http::IHttpClient> httpClient);
    ConsentBridgeModule(const ConsentBridgeModule&) = delete;
    ConsentBridgeModule& operator=(const ConsentBridgeModule&) = delete;
    ~ConsentBridgeModule();

    virtual bool IsSubscriptionDevice();
    virtual void WriteConsentToRegistry(const Consent& consent, const std::string& progress);

    // The consent step: downloads the cloud's consent while the consent is not valid, else checks
    // for a local change at most once per interval and uploads it. Raises nothing.
    void Process();
    bool IsConsentValid() const { return consentValid.load(); }
    // Runs the upload check (the step while the consent is valid) on the module's own thread, so a
    // silent consent service holds no caller; a check asked for while one runs is dropped.
    void StartUploadCheck();
    // Until no upload check is asked for or running; false when the timeout passed first.
    bool WaitForUploadCheck(std::chrono::milliseconds timeout);
    // Ends any consent request or wait in progress at once, refuses new ones and joins the module's
    // thread. Callable from any thread but that one; the destructor calls it.
    void Stop();

    std::vector<Purpose> DownloadPurposes();
    bool UploadConsent(const std::string& localHash);
    bool UploadPurpose(const Purpose& purpose);

    // Minutes between two checks for a local change ("upload_local_wait_min").
    int32_t UploadIntervalMinutes() const { return uploadLocalWaitMin; }
    // One pass of the step, its first wait and every request of it, ends within this budget: the
    // download holds the scheduler's worker no longer. Tests shorten it.
    static constexpr std::chrono::milliseconds kPassBudget{60'000};
    void SetPassBudget(std::chrono::milliseconds budget) { passBudgetMs = budget.count(); }

    void WriteDefaultConsentToRegistry();
    void SetRegistryHiveWithDefaultValues();
    std::string biosUUID();

  private:
    void ProcessUploadCheck();
    void ProcessDownload();
    std::string Host() const;
    // A manager for one request of the pass in progress.
    ConsentManager Manager() const;
    void UploadLoop();

    // The deadline of the pass in progress (steady nanoseconds; 0: none), set for the pass's length.
    class Pass {
      public:
        explicit Pass(ConsentBridgeModule& module);
        ~Pass() { module_.passDeadline = 0; }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

      private:
        ConsentBridgeModule& module_;
    };

    nlohmann::json config;
    std::string stackName;
    shared::http::Allocator allocator;
    std::shared_ptr<shared::http::IHttpClient> httpClient;
    bool firstTime = true;
    std::atomic<bool> consentValid{false};
    std::atomic<int64_t> lastUploadCheck{0};  // system clock, 100-ns ticks
    int32_t firstTimeWaitMs = 5000;
    int32_t uploadLocalWaitMin = 720;
    std::atomic<int64_t> passBudgetMs{kPassBudget.count()};
    std::atomic<int64_t> passDeadline{0};
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo;

    // The stop: ends requests through the token and the first wait through the waiter.
    std::shared_ptr<shared::http::HttpCancel> cancel = std::make_shared<shared::http::HttpCancel>();
    std::atomic<bool> stopped{false};
    platform::SteadyWaiter stopWaiter;
    // The upload check's thread, started by the first check asked for.
    std::mutex uploadMutex;
    std::condition_variable uploadChanged;
    bool uploadAsked = false;
    bool uploadRunning = false;
    std::thread uploadThread;
    std::mutex joinMutex;
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
