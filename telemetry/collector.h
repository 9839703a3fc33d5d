#pragma once

// One telemetry plug-in tied to the module events that start it: a run takes an event through the
// plug-in and sends every upload element of its answer, filtered and enveloped, to the cloud, or
// keeps it in a resend record when it cannot go.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/connectivity_module.h"
#include "foundation/cryptography.h"
#include "foundation/event_queue.h"
#include "outside/error/error.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "telemetry/collector_errors.h"
#include "telemetry/telemetry_records.h"

namespace zelko::plenar::agent {

// printf-style formatting of two texts ("%s_ver_%s"). Raises std::runtime_error
// "Error during formatting." when the text cannot be formatted.
std::string FormatString(const char* format, const std::string& first, const std::string& second);

// The output holds an "error" object whose "category" is a text other than "EC_NoError".
bool HasPluginError(const nlohmann::json& output);
// The error upload element for the plug-in's "error" object; raises when "code" is missing or not a number.
nlohmann::json BuildErrorUpload(const nlohmann::json& error, const std::string& pluginId);

class Collector {
  public:
    using CollectorErrorEnum = agent::CollectorErrorEnum;
    using Error = shared::error::Error;
    using Callback = std::function<void()>;

    enum Postpone : int32_t { All = 0, First = 1, Last = 2 };

    // The custom collector: runs whatever plug-in an event 205 names; owns a processing thread.
    Collector(std::shared_ptr<ConnectivityModule> connectivity,
              std::shared_ptr<shared::plugin::IPluginManager> pluginManager, Callback onPluginStart,
              Callback onPluginFinish, std::shared_ptr<crypto::Cryptography> cryptography, bool byHttp);
    // A configured collector from one element of "collectors". Raises the JSON library's type
    // errors for a non-object entry, a non-text "name" or "version" and a non-boolean
    // "runs_in_parallel", std::logic_error for a bad "events" element or "postpone" value.
    Collector(const nlohmann::json& entry, std::shared_ptr<ConnectivityModule> connectivity,
              std::shared_ptr<shared::plugin::IPluginManager> pluginManager, Callback onPluginStart,
              Callback onPluginFinish, std::shared_ptr<crypto::Cryptography> cryptography, bool byHttp);
    // Quiet stop of the plug-in, then the processing thread is ended and joined.
    virtual ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // One run with fresh working buffers. Never raises.
    virtual Error Process(const TelemetryEvent& event);
    // One run over the caller's buffers; fills pluginName and versionRange. Never raises.
    Error ProcessInternal(const TelemetryEvent& event, std::vector<char>& filterBuffer,
                          std::vector<char>& envelopeBuffer, std::string& pluginName,
                          std::string& versionRange);

    // Writes one resend record into the resend folder; failures are logged, never raised.
    static void SaveForResend(const nlohmann::json& record, const std::string& name,
                              const std::string& version,
                              const std::shared_ptr<crypto::Cryptography>& cryptography);

    virtual bool IsLoaded();
    // The plug-in's current run started more than `minutes` ago. False on every failure.
    virtual bool IsHangingMoreThan(int32_t minutes);
    // Asks the plug-in manager to stop the plug-in version of the last run. Never raises.
    virtual void Stop(int64_t timeout, bool quiet = false) noexcept;
    // Ends the processing thread of a parallel collector and joins it.
    void StopInternalQueue();
    void ProcessingLoopFunc();
    // Sets configuration["summary_query"] from the event-log query configuration beside the executable.
    void LoadSummaryQuery(int32_t queryId);

    // Exact plug-in version of the last run; empty before the first. Safe from any thread.
    std::string FoundVersion() const;

    std::vector<std::string> requiredFeatureBytes;
    std::string name;
    std::string version;  // version range
    bool runsInParallel = false;
    std::vector<EventKey> events;
    Postpone postpone = All;
    nlohmann::json configuration;
    bool byHttp = false;
    // Work queue of a parallel collector; only the stop item is posted to it by the system.
    EventQueue<TelemetryEvent> queue;
    bool isCustom = false;
    int32_t bufferSize = 10240;
    int32_t maxErrorUploads = 10;

  private:
    void SetFoundVersion(const std::string& found);
    void StartThread();
    // The "error" of the output becomes an upload element while the day's window allows.
    void AddErrorUpload(nlohmann::json& output, const std::string& pluginId);

    // The steps of one run. Each gives the error that ends the run, or none to go on.
    Error ReadRunInput(const TelemetryEvent& event, std::string& pluginName, std::string& versionRange,
                       uint32_t& control, nlohmann::json& eventPart, nlohmann::json& configurationPart);
    Error FindRunnablePlugin(const std::string& pluginName, const std::string& versionRange, uint32_t eventControl,
                             const std::string& controlText, shared::plugin::PluginDescriptionResult& description);
    Error CheckUploadAllowed(uint32_t eventControl, const std::string& named);
    Error ExecuteRunPlugin(const shared::plugin::PluginDescriptionResult& description, const std::string& pluginName,
                           uint32_t eventControl, const std::string& input, std::string& output);

    // What sending one run's upload elements works with.
    struct UploadRun {
        const TelemetryEvent& event;
        uint32_t eventControl;
        const std::string& pluginName;
        const std::string& found;
        std::vector<char>& filterBuffer;
        std::vector<char>& envelopeBuffer;
        std::string pluginText;
        std::string elementText;
    };
    Error SendUpload(const UploadRun& run, const nlohmann::json& output);
    // Sending one element: an error ends the run; others that let the run go on are kept in recorded.
    Error SendElement(const UploadRun& run, const nlohmann::json& element, Error& recorded);
    Error SendToS3(const UploadRun& run, const nlohmann::json& element, const std::string& gun,
                   const std::string& envelope, Error& recorded);
    Error PublishEnvelope(const UploadRun& run, const nlohmann::json& element, const std::string& topic,
                          const std::string& envelope, Error& recorded);
    // Keeps the element in a resend record.
    void SaveElement(const UploadRun& run, const nlohmann::json& element, const char* reason);

    std::thread thread;
    std::shared_ptr<shared::plugin::IPluginManager> pluginManager;
    std::shared_ptr<crypto::Cryptography> cryptography;
    std::shared_ptr<ConnectivityModule> connectivity;
    Callback onPluginStart;
    Callback onPluginFinish;
    int32_t errorUploadCount = 0;
    int64_t errorWindowStart = 0;

    // Written by a run, read by Stop and IsHangingMoreThan on other threads.
    mutable std::mutex foundVersionLock;
    std::string foundVersion;
};

}  // namespace zelko::plenar::agent
