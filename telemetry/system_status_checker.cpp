#include "telemetry/system_status_checker.h"

#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"

namespace zelko::plenar::agent {

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr char16_t kTotalCpuCounter[] = u"\\Processor(_Total)\\% Processor Time";

// Seconds from the configuration in nanoseconds, without overflow.
int64_t Nanos(int64_t seconds) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max() / kNanosPerSecond;
    return seconds > max    ? std::numeric_limits<int64_t>::max()
           : seconds < -max ? -std::numeric_limits<int64_t>::max()
                            : seconds * kNanosPerSecond;
}

int64_t SaturatingAdd(int64_t base, int64_t seconds) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    if (seconds > (max - base) / kNanosPerSecond) return max;
    return base + seconds * kNanosPerSecond;
}

}  // namespace

SystemStatusChecker::SystemStatusChecker(std::filesystem::path path) : configPath(std::move(path)) {
    LoadConfig();
    if (platform::PdhOpenQuery(nullptr, 0, &query) != platform::kPdhOk) {
        throw std::runtime_error("Failed to open PDH query");
    }
    if (platform::PdhAddCounter(query, kTotalCpuCounter, 0, &counter) != platform::kPdhOk) {
        platform::PdhCloseQuery(query);
        query = nullptr;
        throw std::runtime_error("Failed to add PDH counter");
    }
    platform::PdhCollectQueryData(query);
    LOG_INFO << "SystemStatusChecker: Initialized PDH for CPU usage.";
}

SystemStatusChecker::~SystemStatusChecker() { StopMonitoring(); }

void SystemStatusChecker::LoadConfig() {
    nlohmann::json document;  // null when the file cannot be read: there is no built-in default
    try {
        document = Utils::LoadJsonFile(configPath);
    } catch (...) {
        LOG_ERROR << "Failed to load config: " << configPath.string();
    }
    if (!document.is_object()) throw nlohmann::json::type_error::create(306, "no settings document", &document);
    // An unchanged reload keeps the values read before, and their warnings are not repeated.
    if (loaded && document == lastDocument) return;
    // Read everything first, so a failed reload keeps every previous value.
    constexpr std::string_view doc = kSystemStatusConfigFileName;
    constexpr int64_t day = 24 * 3600;
    const double threshold = Settings::Double(document, doc, "cpu_usage_threshold", 50.0, 0.0, 100.0);
    const int64_t window = Settings::Int(document, doc, "duration_seconds", 300, 1, 366 * day);
    const int64_t duration = Settings::Int(document, doc, "high_cpu_duration_seconds", 60, 0, 366 * day);
    // At least a second between samples: a zero would sample on a full core.
    const int64_t interval = Settings::Int(document, doc, "metric_collection_frequency", 60, 1, day);
    const bool dynamic = Settings::Bool(document, doc, "dynamic_load", false);
    cpuThreshold = threshold;
    windowSeconds = window;
    highCpuDurationSeconds = duration;
    samplingIntervalSeconds = interval;
    dynamicLoad = dynamic;
    lastDocument = std::move(document);
    loaded = true;
    LOG_INFO << "SystemStatusChecker: Configuration initialized.";
}

void SystemStatusChecker::AddSample(int64_t time, double cpu) {
    std::lock_guard lock(historyLock);
    history.push_back({time, cpu});
    const int64_t window = Nanos(windowSeconds);
    while (!history.empty() && window < time - history.front().time) history.pop_front();
}

void SystemStatusChecker::MonitorCpuUsage() {
    LOG_INFO << "SystemStatusChecker: "
             << " Started collecting Monitoring Metrics";
    while (true) {
        double value = 0;
        if (const auto status = platform::PdhCollectQueryData(query); status != platform::kPdhOk) {
            std::cerr << "Failed to collect PDH data: " << static_cast<int32_t>(status) << "\n";
        } else {
            platform::PdhFmtCounterValue formatted{};
            if (const auto read = platform::PdhGetFormattedCounterValue(counter, platform::kPdhFmtDouble,
                                                                        nullptr, &formatted);
                read != platform::kPdhOk) {
                std::cerr << "Failed to get formatted PDH counter value: " << static_cast<int32_t>(read)
                          << "\n";
            } else {
                value = formatted.doubleValue;
            }
        }
        AddSample(platform::SteadyNowNanos(), value);

        const int64_t interval = samplingIntervalSeconds;
        if (interval > 0) {
            const int64_t deadline = SaturatingAdd(platform::SteadyNowNanos(), interval);
            wakeUp.WaitUntil(deadline, [this] { return stopFlag.load(); });
        }
        if (stopFlag) {
            LOG_INFO << "SystemStatusChecker: "
                     << " Stop event received";
            return;
        }
    }
}

void SystemStatusChecker::Process() {
    std::lock_guard lock(stopLock);
    if (monitoringTask.valid() &&
        monitoringTask.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
    }
    if (query == nullptr) return;  // stopped for good
    stopFlag = false;
    monitoringTask = std::async(std::launch::async, [this] { MonitorCpuUsage(); });
}

void SystemStatusChecker::StopMonitoring() {
    std::lock_guard lock(stopLock);
    stopFlag = true;
    wakeUp.NotifyAll();
    if (monitoringTask.valid()) monitoringTask.wait();
    if (query != nullptr) {
        platform::PdhCloseQuery(query);
        query = nullptr;
        counter = nullptr;
        LOG_INFO << "SystemStatusChecker: Monitoring stopped";
    }
}

bool SystemStatusChecker::IsFullScreenD3DRunning() { return false; }

bool SystemStatusChecker::IsCpuUsageConsistentlyHigh(double threshold) {
    std::lock_guard lock(historyLock);
    if (dynamicLoad) {
        try {
            LoadConfig();
        } catch (const std::exception& e) {
            LOG_WARNING << "SystemStatusChecker: reload failed, keeping the previous values: " << e.what();
        }
    }
    if (history.empty()) {
        LOG_DEBUG << "SystemStatusChecker: CPU usage history is empty.";
        return false;
    }
    const int64_t now = platform::SteadyNowNanos();
    if (threshold < 0) threshold = cpuThreshold;
    const int64_t window = Nanos(windowSeconds);
    const int64_t oldest = now < std::numeric_limits<int64_t>::min() + window
                               ? std::numeric_limits<int64_t>::min()
                               : now - window;
    bool open = false;
    int64_t start = 0;
    for (const Sample& sample : history) {
        if (sample.time < oldest) continue;
        if (sample.cpu > threshold) {
            if (!open) {
                open = true;
                start = sample.time;
                LOG_DEBUG << "SystemStatusChecker: High CPU period started.";
            }
            if (sample.time - start >= Nanos(highCpuDurationSeconds)) {
                LOG_INFO << "SystemStatusChecker: CPU usage consistently high, threshold " << threshold;
                return true;
            }
        } else {
            open = false;
            LOG_DEBUG << "SystemStatusChecker: CPU usage below threshold.";
        }
    }
    LOG_DEBUG << "SystemStatusChecker: CPU usage not consistently high, threshold " << threshold;
    return false;
}

bool SystemStatusChecker::IsCpuUsageBelowThreshold() {
    std::lock_guard lock(historyLock);
    if (history.empty()) {
        LOG_DEBUG << "SystemStatusChecker: CPU usage history is empty.";
        return false;
    }
    for (const Sample& sample : history) {
        if (sample.cpu > cpuThreshold) {
            LOG_INFO << "SystemStatusChecker: CPU usage above threshold.";
            return false;
        }
    }
    LOG_DEBUG << "SystemStatusChecker: CPU usage below threshold.";
    return true;
}

std::deque<SystemStatusChecker::Sample> SystemStatusChecker::History() {
    std::lock_guard lock(historyLock);
    return history;
}

}  // namespace zelko::plenar::agent
