#pragma once

// The compliance module: drives the compliance engine (vorlix) for the service. It starts and
// stops the engine as the grants say, hands it the policies and the IoT credentials, keeps the
// cloud's compliance job ("job-acm-bkc-cfg"), fetches the job document into its cache file on its
// own update thread, pushes it to the engine as a manifest and hands each finished report to the
// service. Every delayed piece of work is asked of the service as a module event and a delay.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "foundation/event.h"
#include "outside/error/error.h"
#include "outside/vorlix/acm_controller.h"

namespace zelko::plenar::agent {

class ConnectivityModule;

// Module event codes of the compliance module.
enum AcmEvents : uint32_t {
    AcmBkcEnable = 410,
    AcmBkcDisable = 411,
    AcmPolicies = 420,
    IotCredentialsReady = 430,
    AcmJobReceived = 440,
    AcmJobDownloadRetry = 450,
    AcmJobStored = 451,
    AcmRunJob = 452,
};

inline constexpr const char* kAcmBkcJobName = "job-acm-bkc-cfg";
inline constexpr const char* kAcmBkcStatusName = "status-job-acm-bkc-cfg";
inline constexpr const char* kAcmModuleConfigFileName = "acm-module-config.json";

// 100-ns ticks.
inline constexpr int64_t kAcmTicksPerSecond = 10'000'000;

// One entry of the remote job list. JSON: {"name", "ival", "ts"} (all texts); the interval is read
// from "ival" and not written.
struct AcmJob {
    std::string name;
    std::string ival;
    std::string ts;
    int32_t interval = 720;  // minutes
};
void to_json(nlohmann::json& document, const AcmJob& job);
// Texts absent are ""; an "ival" that is not a 32-bit number is logged and leaves the interval.
// Raises the JSON type error for a document that is not an object or a key that is not a text.
void from_json(const nlohmann::json& document, AcmJob& job);

class AcmModule {
  public:
    using ReportCallback = std::function<void(const nlohmann::json& report)>;
    using ErrorCallback = std::function<void(shared::error::Error error, const std::string& text)>;
    // delay: 100-ns ticks.
    using RescheduleCallback = std::function<void(int64_t delay, Event event)>;

    // Reads the configuration (built-in defaults when missing or not JSON) and makes the engine.
    // Raises the JSON type error for a configuration that is not an object or a key of another
    // type, and the file-system error when the work folder cannot be created.
    AcmModule(std::string configPath, std::shared_ptr<ConnectivityModule> connectivity, ReportCallback onReport,
              ErrorCallback onError, RescheduleCallback onReschedule);
    virtual ~AcmModule();
    AcmModule(const AcmModule&) = delete;
    AcmModule& operator=(const AcmModule&) = delete;

    // A module event from the service's bus, on the scheduler's worker. Never raises.
    virtual void Process(Event& event);
    // Starts the engine and asks for the cached job's run and each job's next entry.
    void Start();
    // Cancels the engine and joins the update thread. The jobs and the cache file stay.
    virtual void Stop();
    // The engine's last report; {} without an engine.
    nlohmann::json GetReport();

    // Whether the caller may ask for the event now, and with which delay (unchanged for 440, the
    // time to the next run for 452). A code already on its way is refused. Any thread.
    bool NeedsReschedule(int64_t& delay, const Event& event);
    // The event's code is no longer on its way.
    void EventCalled(const Event& event);
    // The engine's completion, on its thread. Never raises.
    void AcmCallback(shared::vorlix::ACM_CALLBACK_RESULT result, const std::string& text);

    const std::string& WorkFolder() const { return workFolder; }
    const std::string& SchemaPath() const { return schemaPath; }
    int64_t DefaultSchedule() const { return defaultSchedule; }
    bool SendsReport() const { return sendReport; }
    bool RunsAtStart() const { return runAtStart; }
    // Worker thread only.
    const std::map<std::string, AcmJob>& Jobs() const { return jobs; }
    bool IsRunning() const;

  protected:
    // For stand-ins: no engine, so every event is ignored.
    AcmModule() = default;

  private:
    void Initialize();
    void RescheduleCachedJob(const AcmJob& job);
    void InitAcmJob(const std::string& name);
    void UpdateCorvaneBkcAcm(const std::string& text);
    void SaveAcmJobCfg(nlohmann::json document);
    void RunCachedJob();
    void PassCredentials();
    std::string CachePath() const;
    // Asks for the event when the rule grants it; forced_delay replaces the rule's delay. True
    // when asked.
    bool RequestThroughRule(Event event, int64_t delay, const int64_t* forced_delay = nullptr);
    // Whether no entry of the job is on its way any more (none asked, or its time has come).
    bool EntryDue(const std::string& name) const;

    std::string configPath;
    std::shared_ptr<ConnectivityModule> connectivity;
    ReportCallback onReport;
    ErrorCallback onError;
    RescheduleCallback onReschedule;
    nlohmann::json config;
    std::string workFolder;
    std::string schemaPath;
    std::unique_ptr<shared::vorlix::AcmController> controller;
    int64_t defaultSchedule = 600 * kAcmTicksPerSecond;
    // Worker and the engine's callback thread.
    std::mutex pendingLock;
    std::map<uint32_t, bool> pending;
    std::map<std::string, AcmJob> jobs;
    // Worker thread only: when each job's next entry was asked for (clock ticks) and its wait.
    struct EntryRequest {
        int64_t due = 0;
        int64_t span = 0;
    };
    std::map<std::string, EntryRequest> entryDue;
    std::thread updateThread;
    bool sendReport = false;
    bool runAtStart = false;
};

}  // namespace zelko::plenar::agent
