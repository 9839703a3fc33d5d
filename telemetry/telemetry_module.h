#pragma once

// The telemetry module: turns module events into collector runs. Every event goes through Process,
// which guards against hung plug-ins and queues it; one worker thread then takes the items in
// order, matches collectors by their event keys, spreads and gates their runs and reports each
// outcome through the done and error callbacks.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "connectivity/connectivity_module.h"
#include "foundation/cryptography.h"
#include "foundation/event.h"
#include "foundation/event_queue.h"
#include "foundation/scheduler.h"
#include "foundation/task.h"
#include "outside/error/error.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "telemetry/collector.h"
#include "telemetry/system_status_checker.h"
#include "telemetry/telemetry_records.h"

namespace zelko::plenar::agent {

class FeatureFinder;
class RegistryMonitor;

inline constexpr char kTelemetryConfigFileName[] = "telemetry-module-config.json";
inline constexpr char kCollectorsRegistryKey[] = "SOFTWARE\\Zelko\\Zelko Plenar Agent\\Collectors";
inline constexpr char kLowEndSwitchName[] = "Rvmqlp4hzwctxjn";

using EventKeySet = std::unordered_set<EventKey, EventKeyHash>;

// "C:\ProgramData\Zelko\Zelko Plenar Agent\Postponed" of the machine.
std::filesystem::path PostponedFolder();
// A save is refused while the files of the Postponed folder hold more than this many bytes.
inline constexpr uintmax_t kPostponedFolderCap = 100'000'000;
// "postponed_" + origin ("sched-<type>" for a schedule event, else "system") + "_" + the UTC time
// "%Y-%m-%d-%H-%M-%S-<7-digit fraction>" + ".ppnd"; the n-th further run saved in the same tick,
// of any origin, gets "_<n>" before the ending.
std::string PostponedFileName(const EventKey& key, int64_t ticks, int clash = 0);

class TelemetryModule {
  public:
    using Error = shared::error::Error;
    using DoneCallback = std::function<void(TelemetryEvent)>;
    using ErrorCallback = std::function<void(Error, TelemetryEvent)>;
    using PluginCallback = std::function<void()>;
    using CollectorPtr = std::shared_ptr<Collector>;
    using RunList = std::vector<std::pair<CollectorPtr, std::shared_ptr<TelemetryEvent>>>;

    // What the module reaches besides its arguments. The feature finder answers the collectors'
    // feature test (none: a collector that requires features is dropped); the factory makes the
    // configured collectors (none: real ones over the plug-in manager).
    struct Environment {
        std::shared_ptr<FeatureFinder> featureFinder;
        std::function<CollectorPtr(const nlohmann::json& entry)> makeCollector;
        std::function<CollectorPtr()> makeCustomCollector;
    };

    // Loads the configuration, builds the collectors and starts the worker. A document that is no
    // object counts as missing (the built-in one is used); a damaged setting gives its default; a
    // collector entry that cannot be read is skipped. Raises the plug-in manager's construction
    // error and whatever else fails; a failed construction leaves no thread and no watch.
    TelemetryModule(std::filesystem::path configPath, std::shared_ptr<ConnectivityModule> connectivity,
                    std::shared_ptr<shared::plugin::IPluginManager> pluginManager, DoneCallback onDone,
                    ErrorCallback onError, PluginCallback onPluginStart, PluginCallback onPluginFinish,
                    std::shared_ptr<SystemStatusChecker> statusChecker,
                    std::shared_ptr<crypto::Cryptography> cryptography, bool publishByHttp,
                    bool restrictedCollectors, Environment environment = {});
    // Cancels the SendPostponed task, stops the worker and lets the watch go.
    virtual ~TelemetryModule();
    TelemetryModule(const TelemetryModule&) = delete;
    TelemetryModule& operator=(const TelemetryModule&) = delete;

    // A module event from any thread. 251 jumps the queue and returns once the worker has ended;
    // 252 restarts a halted worker.
    virtual void Process(const Event& event);
    void Start();
    void Stop();
    void Resume();

    // The keys of the collectors' 240 and 245 events.
    EventKeySet GetWindowsEventSubscriptions() const;
    EventKeySet GetExtEventSubscriptions() const;
    // The calendar schedule types the collectors' 230 keys ask for.
    const std::set<uint32_t>& ScheduleTypes() const { return scheduleTypes; }
    const std::vector<CollectorPtr>& Collectors() const { return collectors; }
    // Collectors selected by exactly this key, and by any type of the code.
    std::vector<CollectorPtr> CollectorsForKey(const EventKey& key) const;
    std::vector<CollectorPtr> CollectorsForCode(uint32_t control) const;
    bool IsRunning() const { return running; }

    // The collector's own values win; nested objects merge key by key; other values are replaced.
    static nlohmann::json MergeConfiguration(const nlohmann::json& defaults,
                                             const nlohmann::json& configuration);

    // (Re)creates the collectors-key watch.
    void SubscribeLowEndMachineToRegistry();
    // The switch is on: only 220 and 222 run.
    bool IsLowEndSwitchOn() const;

    // Postponed runs: one small file per run in the Postponed folder, replayed by the module's own
    // 216 (the SendPostponed task). Never raise.
    void SavePostponed(const CollectorPtr& collector, const TelemetryEvent& item, const std::string& reason);
    bool IsAnyPostponedCollectors() const;
    void DeserializedAllPostponedCollectors(const TelemetryEvent& item, RunList& runList);
    // Resend of the saved unsent data, oldest record first: empty, code 15 without a valid
    // enrollment, or code 14 for the last failed publish.
    Error ResendCollectorsData();
    struct ResendDecision {
        Error error;
        bool skip = false;
        bool remove = false;
    };
    // One record: filter again, let it wait or drop it. `filtered` receives the filtered tree.
    ResendDecision ResendLogic(const std::string& path, const nlohmann::json& record, std::vector<char>& filtered);

    // The postponed runs on disk as (collector, reason), oldest first (tests and diagnostics).
    std::vector<std::pair<std::string, std::string>> PostponedRuns() const;
    bool HasSendPostponedTask();

  protected:
    // An event sink without collectors, worker or watch, for tests of the senders.
    TelemetryModule() = default;

  private:
    struct WatchHolder;

    void Initialize();
    void ProcessingLoopFunc();
    void ProcessItem(const std::shared_ptr<TelemetryEvent>& item, bool& leave);
    Error RunCollectorGated(const CollectorPtr& collector, const TelemetryEvent& item, bool& stop);
    void StopCollectors();
    void Report(const Error& result, const TelemetryEvent& item);
    // Makes the SendPostponed task unless there is one; true when it made it.
    bool EnsureSendPostponedTask();
    void CancelSendPostponedTask();
    // Reads the settings of the document once; a damaged value gives its default.
    void ReadSettings();
    // Ends the keeper and lets the watch go; the destructor's and a failed construction's last step.
    void CloseWatch();

    std::filesystem::path configPath;
    std::shared_ptr<ConnectivityModule> connectivity;
    DoneCallback onDone;
    ErrorCallback onError;
    PluginCallback onPluginStart;
    PluginCallback onPluginFinish;
    std::shared_ptr<SystemStatusChecker> statusChecker;
    std::shared_ptr<crypto::Cryptography> cryptography;
    bool publishByHttp = true;
    bool restrictedCollectors = false;
    Environment environment;

    nlohmann::json config;
    std::shared_ptr<shared::plugin::IPluginManager> pluginManager;
    std::vector<CollectorPtr> collectors;
    std::unordered_map<EventKey, std::vector<CollectorPtr>, EventKeyHash> byKey;
    std::map<uint32_t, std::vector<CollectorPtr>> byCode;
    std::set<uint32_t> scheduleTypes;
    CollectorPtr customCollector;

    std::mutex runningCollectorLock;
    CollectorPtr runningCollector;

    bool spreadCollectors = false;
    int64_t spreadIntervalSeconds = 300;
    std::atomic<int64_t> lastRunTime{0};
    int32_t postponedPreferSystem = 0;
    int32_t maxHangTimeMinutes = 60;
    int64_t maxQueueSize = 1000;
    int64_t waitOnStopMs = 15000;
    bool skipGameCheck = false;
    bool skipCpuCheck = false;
    int64_t idleThreshold = 40;


    // The watch is replaced from its own failing thread: it is held here under a lock, and a
    // replaced watch is released on a thread of its own.
    std::shared_ptr<WatchHolder> watch;

    // Declared last but one: the scheduler goes before the queue.
    EventQueue<TelemetryEvent> queue;
    Scheduler scheduler{"-telemetry"};
    std::shared_ptr<Task> sendPostponedTask;
    std::mutex sendPostponedLock;

    std::thread worker;
    std::mutex workerLock;  // Start, Stop, Resume and the 251 join
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
};

}  // namespace zelko::plenar::agent
