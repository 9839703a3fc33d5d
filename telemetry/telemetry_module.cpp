#include "telemetry/telemetry_module.h"

#include <chrono>
#include <condition_variable>
#include <stdexcept>

#include "config/registry_monitor.h"
#include "features/feature_finder.h"
#include "foundation/default_configs.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"
#include "platform/clock.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr char kDefaultPluginsFolder[] = "%programdata%/Zelko/Telemetry/collectors";

bool NeverSpread(uint32_t code) { return code == 210 || code == 222 || code == 240 || code == 245; }

fs::path ResolveFolder(const std::string& text) {
    const fs::path expanded(Utils::ExpandEnvironment(text));
    if (expanded.is_absolute()) return expanded;
    return Utils::GetExecutableDirectory() / expanded.relative_path();
}

const char* LoggerSeverityName() {
    const auto* logger = logging::get<0>();
    if (logger == nullptr) return "VERB";
    const auto severity = logger->getMaxSeverity();
    if (severity == logging::none) return "NONE";
    return logging::SeverityToString(severity);
}

// How a skipped entry is named in the log: its name when it has a text one, else its start.
std::string EntryName(const json& entry) {
    if (entry.is_object()) {
        if (const auto name = entry.find("name"); name != entry.end() && name->is_string()) {
            return "collector " + name->get<std::string>();
        }
    }
    std::string text = entry.dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() > 80) text = text.substr(0, 77) + "...";
    return "collector entry " + text;
}

}  // namespace

// The collectors-key watch, and a keeper thread that replaces a failed watch: the failure is
// reported on the watch's own thread, whose monitor cannot be released there.
struct TelemetryModule::WatchHolder {
    mutable std::mutex lock;
    std::condition_variable wake;
    std::shared_ptr<RegistryMonitor> monitor;
    bool failed = false;
    bool closing = false;
    std::thread keeper;
};

void TelemetryModule::ReadSettings() {
    constexpr std::string_view doc = kTelemetryConfigFileName;
    spreadCollectors = Settings::Bool(config, doc, "spread_collectors", false);
    // The forget interval of the postponed store multiplies this by up to 120,960: a week keeps it in range.
    spreadIntervalSeconds = Settings::Int(config, doc, "spread_collectors_interval_sec", 300, 1, 7 * 24 * 3600);
    maxHangTimeMinutes =
        static_cast<int32_t>(Settings::Int(config, doc, "max_hang_time_min", 60, 1, 366 * 24 * 60));
    maxQueueSize = Settings::Int(config, doc, "max_queue_size", 1000, 0, 1'000'000'000);
    // A stop waits this long per plug-in: bounded so a suspend is never held for long.
    waitOnStopMs = Settings::Int(config, doc, "wait_on_stop_ms", 15000, 0, 300'000);
    skipGameCheck = Settings::Bool(config, doc, "skip_game_check", false);
    skipCpuCheck = Settings::Bool(config, doc, "skip_cpu_check", false);
    idleThreshold = Settings::Int(config, doc, "idle_thresh", 40, 0, 100);
}

TelemetryModule::TelemetryModule(fs::path path, std::shared_ptr<ConnectivityModule> connectivity_,
                                 std::shared_ptr<shared::plugin::IPluginManager> manager, DoneCallback done,
                                 ErrorCallback error, PluginCallback pluginStart, PluginCallback pluginFinish,
                                 std::shared_ptr<SystemStatusChecker> checker,
                                 std::shared_ptr<crypto::Cryptography> crypto, bool byHttp, bool restricted,
                                 Environment env)
    : configPath(std::move(path)),
      connectivity(std::move(connectivity_)),
      onDone(std::move(done)),
      onError(std::move(error)),
      onPluginStart(std::move(pluginStart)),
      onPluginFinish(std::move(pluginFinish)),
      statusChecker(std::move(checker)),
      cryptography(std::move(crypto)),
      publishByHttp(byHttp),
      restrictedCollectors(restricted),
      environment(std::move(env)),
      watch(std::make_shared<WatchHolder>()) {
    LOG_INFO << "TelemetryModule is starting with config path: " << configPath.string();
    config = Utils::LoadConfigFile(configPath);
    if (!config.is_object()) {
        LOG_WARNING << kTelemetryConfigFileName << " is not a JSON object; using the built-in document";
        const std::string* builtIn =
            FindDefaultConfig(DefaultConfigs(), kTelemetryConfigFileName, ConfigVariant::Standard);
        config = builtIn ? json::parse(*builtIn, nullptr, false) : json::object();
        if (!config.is_object()) config = json::object();
    }
    ReadSettings();

    const fs::path pluginsFolder = ResolveFolder(
        Settings::String(config, kTelemetryConfigFileName, "pluginsFolder", kDefaultPluginsFolder));
    if (manager) {
        pluginManager = std::move(manager);
    } else {
        LOG_INFO << "Loading Collectors from Path=\"" << pluginsFolder.string() << "\"";
        pluginManager = std::make_shared<shared::plugin::PluginManager>(pluginsFolder.string().c_str(),
                                                                        LoggerSeverityName());
        if (Settings::Has(config, "inMemPluginsFolder")) {
            const fs::path inMemory =
                ResolveFolder(Settings::String(config, kTelemetryConfigFileName, "inMemPluginsFolder", ""));
            pluginManager->InitializeInMemoryPlugins(inMemory.string().c_str());
        }
    }
    if (Error failure = pluginManager->GetError()) throw failure;

    customCollector = environment.makeCustomCollector
                          ? environment.makeCustomCollector()
                          : std::make_shared<Collector>(connectivity, pluginManager, onPluginStart,
                                                        onPluginFinish, cryptography, publishByHttp);
    watch->keeper = std::thread([this, holder = watch] {
        std::unique_lock lock(holder->lock);
        while (true) {
            holder->wake.wait(lock, [&] { return holder->failed || holder->closing; });
            if (holder->closing) return;
            // A failed watch reports once and ends; a new one after 5 seconds.
            if (holder->wake.wait_for(lock, std::chrono::seconds(5), [&] { return holder->closing; })) return;
            holder->failed = false;
            lock.unlock();
            SubscribeLowEndMachineToRegistry();
            lock.lock();
        }
    });
    try {
        SubscribeLowEndMachineToRegistry();
        Initialize();
    } catch (...) {
        // The keeper holds this object and the watch calls into it: neither may outlive a failed construction.
        {
            std::lock_guard lock(sendPostponedLock);
            sendPostponedTask.reset();
        }
        stopping = true;
        Stop();
        CloseWatch();
        throw;
    }
}

void TelemetryModule::CloseWatch() {
    if (!watch) return;
    std::shared_ptr<RegistryMonitor> monitor;
    {
        std::lock_guard lock(watch->lock);
        watch->closing = true;
        monitor = std::move(watch->monitor);
    }
    watch->wake.notify_all();
    if (watch->keeper.joinable()) watch->keeper.join();
    monitor.reset();
}

TelemetryModule::~TelemetryModule() {
    {
        std::lock_guard lock(sendPostponedLock);
        sendPostponedTask.reset();
    }
    LOG_DEBUG << "SendPostponed Task canceled in destructor.";
    stopping = true;
    Stop();
    byKey.clear();
    byCode.clear();
    LOG_DEBUG << "TelemetryModule::~TelemetryModule exiting";
    CloseWatch();
}

void TelemetryModule::SubscribeLowEndMachineToRegistry() {
    std::weak_ptr<WatchHolder> weak = watch;
    std::shared_ptr<RegistryMonitor> monitor;
    try {
        monitor = std::make_shared<RegistryMonitor>(
            kCollectorsRegistryKey, std::vector<std::pair<std::string, std::string>>{{kLowEndSwitchName, ""}},
            nullptr, [weak](const Error& failure) {
                LOG_WARNING << "TelemetryModule: collectors key watch failed: " << failure.what();
                if (auto holder = weak.lock()) {
                    std::lock_guard lock(holder->lock);
                    if (holder->closing) return;
                    holder->failed = true;
                    holder->wake.notify_all();
                }
            });
    } catch (const std::exception& e) {
        LOG_WARNING << "TelemetryModule: collectors key watch not made: " << e.what();
        std::lock_guard lock(watch->lock);
        if (!watch->closing) {
            watch->failed = true;
            watch->wake.notify_all();
        }
        return;
    }
    std::shared_ptr<RegistryMonitor> old;
    {
        std::lock_guard lock(watch->lock);
        if (watch->closing) return;  // released below, never kept during destruction
        old = std::exchange(watch->monitor, monitor);
    }
    // Released here, on the keeper or the constructing thread, never on its own thread.
    old.reset();
}

bool TelemetryModule::IsLowEndSwitchOn() const {
    if (!watch) return false;
    std::shared_ptr<RegistryMonitor> monitor;
    {
        std::lock_guard lock(watch->lock);
        monitor = watch->monitor;
    }
    return monitor && monitor->GetValue(kLowEndSwitchName) == "1";
}

json TelemetryModule::MergeConfiguration(const json& defaults, const json& configuration) {
    json result = defaults.is_object() ? defaults : json::object();
    if (!configuration.is_object()) return result;
    for (const auto& [key, value] : configuration.items()) {
        auto found = result.find(key);
        if (found != result.end() && found->is_object() && value.is_object()) {
            *found = MergeConfiguration(*found, value);
        } else {
            result[key] = value;
        }
    }
    return result;
}

void TelemetryModule::Initialize() {
    if (stopping) return;
    const json defaults = Settings::Has(config, "configuration_default")
                              ? Settings::Object(config, kTelemetryConfigFileName, "configuration_default")
                              : json();
    if (const json entries = Settings::Array(config, kTelemetryConfigFileName, "collectors"); !entries.empty()) {
        for (json entry : entries) {
            try {
                const json own = entry.is_object() ? entry.value("configuration", json()) : json();
                if (entry.is_object()) entry["configuration"] = MergeConfiguration(defaults, own);
                CollectorPtr collector =
                    environment.makeCollector
                        ? environment.makeCollector(entry)
                        : std::make_shared<Collector>(entry, connectivity, pluginManager, onPluginStart,
                                                      onPluginFinish, cryptography, publishByHttp);
                if (!collector->requiredFeatureBytes.empty()) {
                    bool found = false;
                    if (environment.featureFinder) {
                        for (const auto& feature : collector->requiredFeatureBytes) {
                            if (!environment.featureFinder->GetFeaturesByName(feature).empty()) {
                                found = true;
                                break;
                            }
                        }
                    }
                    if (!found) {
                        std::string names;
                        for (const auto& feature : collector->requiredFeatureBytes) names += " " + feature;
                        LOG_INFO << "Collector Name:\"" << collector->name
                                 << "\" skipped due to non supported feature bytes: " << names;
                        continue;
                    }
                }
                if (restrictedCollectors) {
                    bool needed = false;
                    for (const auto& key : collector->events) {
                        if (key.dwControl == 220 || key.dwChannel == 210) needed = true;
                    }
                    if (!needed) {
                        LOG_INFO << "Collector Name:\"" << collector->name
                                 << "\" is not required on start or post corvane event, skipping";
                        continue;
                    }
                }
                collectors.push_back(collector);
                if (collector->IsLoaded()) {
                    LOG_INFO << "Collector Name:\"" << collector->name << "\" Loaded successfully";
                } else {
                    LOG_WARNING << "Collector Name:\"" << collector->name << "\" Failed to load";
                }
                for (const auto& key : collector->events) {
                    if (key.dwControl == 230) scheduleTypes.insert(key.dwEventType);
                    if (key.dwEventType == kAnyEventType) {
                        byCode[key.dwControl].push_back(collector);
                    } else {
                        byKey[key].push_back(collector);
                    }
                }
            } catch (const std::logic_error& e) {
                LOG_WARNING << "Bad collector, skipping " << e.what();
            } catch (const json::exception& e) {
                // A mistyped "name", "version" or "runs_in_parallel" of one entry: the others still run.
                LOG_WARNING << "Bad collector, skipping " << EntryName(entry) << ": " << e.what();
            }
        }
    }
    if (IsAnyPostponedCollectors()) {
        LOG_DEBUG << "SendPostponed Task created on initialization.";
        EnsureSendPostponedTask();
    }
    Start();
}

bool TelemetryModule::EnsureSendPostponedTask() {
    std::lock_guard lock(sendPostponedLock);
    if (sendPostponedTask || stopping) return false;
    sendPostponedTask = std::make_shared<Task>(
        [this] {
            LOG_DEBUG << "SendPostponed Task sending event.";
            Process(Event(216, 0));
        },
        Duration(spreadIntervalSeconds * platform::kTicksPerSecond), true);
    scheduler.AddTask(sendPostponedTask);
    return true;
}

EventKeySet TelemetryModule::GetWindowsEventSubscriptions() const {
    EventKeySet keys;
    for (const auto& collector : collectors) {
        for (const auto& key : collector->events) {
            if (key.dwControl == 240) keys.insert(key);
        }
    }
    return keys;
}

EventKeySet TelemetryModule::GetExtEventSubscriptions() const {
    EventKeySet keys;
    for (const auto& collector : collectors) {
        for (const auto& key : collector->events) {
            if (key.dwControl == 245) keys.insert(key);
        }
    }
    return keys;
}

std::vector<TelemetryModule::CollectorPtr> TelemetryModule::CollectorsForKey(const EventKey& key) const {
    const auto found = byKey.find(key);
    return found == byKey.end() ? std::vector<CollectorPtr>{} : found->second;
}

std::vector<TelemetryModule::CollectorPtr> TelemetryModule::CollectorsForCode(uint32_t control) const {
    const auto found = byCode.find(control);
    return found == byCode.end() ? std::vector<CollectorPtr>{} : found->second;
}

// ---- intake ----

void TelemetryModule::Process(const Event& event) {
    if (stopping) return;
    if (event.dwControl == 252) Resume();
    try {
        {
            std::lock_guard lock(runningCollectorLock);
            if (runningCollector && runningCollector->IsHangingMoreThan(maxHangTimeMinutes) &&
                static_cast<int64_t>(queue.Size()) > maxQueueSize) {
                runningCollector->Stop(0, false);
            }
        }
        if (customCollector && customCollector->IsHangingMoreThan(maxHangTimeMinutes)) {
            customCollector->Stop(0, false);
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "TelemetryModule::Process hang guard failed: " << e.what();
    }

    TelemetryEvent item = MakeQueuedEvent(event);
    if (event.dwControl != 251) {
        queue.Push(item);
        LOG_DEBUG << "Process Event enqueue: dwControl:" << item.Type.dwControl
                  << " eventId:" << item.Type.dwEventType;
        return;
    }
    std::lock_guard lock(workerLock);
    if (!worker.joinable()) return;
    queue.PushFront(item);
    worker.join();
}

void TelemetryModule::Start() {
    LOG_INFO << "TelemetryModule::Start";
    std::lock_guard lock(workerLock);
    running = true;
    worker = std::thread([this] { ProcessingLoopFunc(); });
}

void TelemetryModule::Stop() {
    LOG_INFO << "TelemetryModule::Stop";
    queue.Clear();
    TelemetryEvent stop;
    stop.IsStop = true;
    queue.Push(stop);
    std::lock_guard lock(workerLock);
    if (worker.joinable()) worker.join();
    running = false;
}

void TelemetryModule::Resume() {
    LOG_INFO << "TelemetryModule::Resume";
    std::lock_guard lock(workerLock);
    if (running) return;
    LOG_INFO << "TelemetryModule::loop started again";
    if (worker.joinable()) worker.join();
    running = true;
    worker = std::thread([this] { ProcessingLoopFunc(); });
}

// ---- worker ----

void TelemetryModule::StopCollectors() {
    {
        std::lock_guard lock(runningCollectorLock);
        if (runningCollector) runningCollector->Stop(waitOnStopMs, false);
    }
    if (customCollector) customCollector->Stop(waitOnStopMs, false);
}

void TelemetryModule::Report(const Error& result, const TelemetryEvent& item) {
    if (result) {
        if (onError) onError(result, item);
    } else if (onDone) {
        onDone(item);
    }
}

void TelemetryModule::ProcessingLoopFunc() {
    bool quiet = false;
    while (!stopping) {
        auto item = std::make_shared<TelemetryEvent>(queue.Pop());
        LOG_DEBUG << "EventProcessingLoop dwControl:" << item->Type.dwControl
                  << " eventID:" << item->Type.dwEventType;
        bool leave = false;
        try {
            ProcessItem(item, leave);
        } catch (const std::exception& e) {
            // One bad item must not end the module: report it and go on.
            LOG_ERROR << "TelemetryModule: processing of event " << item->Type.dwControl
                      << " failed: " << e.what();
            {
                std::lock_guard lock(runningCollectorLock);
                runningCollector.reset();
            }
            if (onError) onError(Error(shared::error::ErrorCategory::EC_StdException, 1, e.what()), *item);
        } catch (...) {
            LOG_ERROR << "TelemetryModule: processing of event " << item->Type.dwControl << " failed";
            {
                std::lock_guard lock(runningCollectorLock);
                runningCollector.reset();
            }
            if (onError)
                onError(Error(shared::error::ErrorCategory::EC_Unknown, 1, "Unknown exception type."), *item);
        }
        if (leave) {
            quiet = stopping && !item->IsStop && item->Type.dwControl != 251;
            break;
        }
    }
    running = false;
    if (!quiet) LOG_INFO << "TelemetryModule ProcessingLoopFunc exiting...";
}

void TelemetryModule::ProcessItem(const std::shared_ptr<TelemetryEvent>& item, bool& leave) {
    const uint32_t code = item->Type.dwControl;
    if (item->IsStop || code == 250 || code == 251) {
        // Decided first: whatever the stop calls do, a stop request ends the loop.
        leave = code != 250;
        StopCollectors();
        return;
    }
    if (code == 205) {
        customCollector->Process(*item);
        return;
    }
    if (code == 215) {
        Report(ResendCollectorsData(), *item);
        return;
    }

    RunList runList;
    if (code == 216) {
        DeserializedAllPostponedCollectors(*item, runList);
        if (runList.empty()) return;
    } else {
        if (const auto found = byKey.find(item->Type); found != byKey.end()) {
            for (const auto& collector : found->second) {
                LOG_DEBUG << "Collector " << collector->name << " to run by type  dwControl : " << code
                          << " eventID : " << item->Type.dwEventType;
                runList.emplace_back(collector, item);
            }
        }
        if (const auto found = byCode.find(code); found != byCode.end()) {
            for (const auto& collector : found->second) {
                LOG_DEBUG << "Collector " << collector->name << " to run by dwConrol : " << code
                          << " eventID : " << item->Type.dwEventType;
                runList.emplace_back(collector, item);
            }
        }
        if (code != 220 && !NeverSpread(code) && spreadCollectors && !runList.empty()) {
            const int64_t now = platform::NowTicks();
            if (now - lastRunTime < spreadIntervalSeconds * platform::kTicksPerSecond ||
                IsAnyPostponedCollectors()) {
                for (const auto& [collector, pairItem] : runList) SavePostponed(collector, *pairItem, "time");
                return;
            }
            for (size_t i = runList.size(); i > 1; --i)
                SavePostponed(runList[i - 1].first, *runList[i - 1].second, "time");
            runList.resize(1);
        }
    }

    const bool lowEnd = IsLowEndSwitchOn();
    Error result;
    for (const auto& [collector, pairItem] : runList) {
        if (stopping) {
            leave = true;
            return;
        }
        const uint32_t pairCode = pairItem->Type.dwControl;
        if (lowEnd && pairCode != 220 && pairCode != 222) continue;
        {
            std::lock_guard lock(runningCollectorLock);
            runningCollector = collector;
        }
        bool stop = false;
        result = RunCollectorGated(collector, *pairItem, stop);
        LOG_DEBUG << "Process collector " << collector->name << " dwControl " << pairCode
                  << (result ? " FAILED " + result.what() : std::string());
        if (!stop && code != 220) Report(result, *pairItem);
        {
            std::lock_guard lock(runningCollectorLock);
            runningCollector.reset();
        }
        if (stop) break;
        const bool stopNext =
            queue.Inspect([](const TelemetryEvent* front, size_t) { return front && front->IsStop; });
        if (stopNext) break;
    }
    if (code == 220) Report(result, *item);
}

TelemetryModule::Error TelemetryModule::RunCollectorGated(const CollectorPtr& collector,
                                                          const TelemetryEvent& item, bool& stop) {
    stop = false;
    if (stopping) {
        stop = true;
        return MakeCollectorError(CollectorErrorEnum::RunFailed, "Collector is done.");
    }
    const uint32_t code = item.Type.dwControl;
    if (code != 220) {
        if (!skipGameCheck && statusChecker && statusChecker->IsFullScreenD3DRunning()) {
            SavePostponed(collector, item, "game");
            return {};
        }
        const double threshold = code == 222 ? static_cast<double>(idleThreshold) : -1.0;
        if (!skipCpuCheck && statusChecker &&
            statusChecker->IsCpuUsageConsistentlyHigh(threshold)) {
            SavePostponed(collector, item, "cpu");
            return {};
        }
    }
    Error result = collector->Process(item);
    lastRunTime = platform::NowTicks();
    if (code == 220 && result.type() == kCollectorErrorType) stop = true;
    return result;
}

}  // namespace zelko::plenar::agent
