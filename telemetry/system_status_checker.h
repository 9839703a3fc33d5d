#pragma once

// Tells the telemetry module whether the device is busy, so collector runs can wait: samples the
// total CPU on a task of its own and keeps the samples of one window.

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/perf_counters.h"
#include "platform/steady_clock.h"

namespace zelko::plenar::agent {

inline constexpr char kSystemStatusConfigFileName[] = "system-status-config.json";

class SystemStatusChecker {
  public:
    struct Sample {
        int64_t time;  // steady-clock nanoseconds
        double cpu;    // percent
    };

    // Loads the configuration and opens the counter query. Raises the JSON library's type error
    // for a missing, unreadable or non-object file (a damaged value gives its default), and
    // std::runtime_error when the query cannot be opened or the counter added.
    explicit SystemStatusChecker(std::filesystem::path configPath);
    // Virtual only so that tests can answer the full-screen test; the checker is owned through a
    // shared pointer of its own type.
    virtual ~SystemStatusChecker();
    SystemStatusChecker(const SystemStatusChecker&) = delete;
    SystemStatusChecker& operator=(const SystemStatusChecker&) = delete;

    // No sample of the whole history is above the configured threshold (false when empty).
    virtual bool IsCpuUsageBelowThreshold();
    // A full-screen Direct3D application runs. There is no such shell state here: false.
    virtual bool IsFullScreenD3DRunning();
    // Within the window, an unbroken run of samples above the threshold (negative: the configured
    // one) spans at least the high-CPU duration.
    virtual bool IsCpuUsageConsistentlyHigh(double threshold);

    // Starts the sampler unless one runs.
    void Process();
    // Ends the sampler at once, waits for it and closes the query. Final.
    void StopMonitoring();

    // The history, oldest first (tests and diagnostics).
    std::deque<Sample> History();

  protected:
    // Adds a sample and drops those older than the window.
    void AddSample(int64_t time, double cpu);

  private:
    // Loads the members from the file; on failure raises and leaves them as they were.
    void LoadConfig();
    void MonitorCpuUsage();

    double cpuThreshold = 50;
    int64_t windowSeconds = 300;
    std::deque<Sample> history;
    std::mutex historyLock;
    std::future<void> monitoringTask;
    int64_t highCpuDurationSeconds = 60;
    std::atomic<int64_t> samplingIntervalSeconds{60};
    platform::SteadyWaiter wakeUp;
    std::atomic<bool> stopFlag{false};
    std::filesystem::path configPath;
    bool dynamicLoad = false;
    nlohmann::json lastDocument;
    bool loaded = false;
    platform::PdhQuery query = nullptr;
    platform::PdhCounter counter = nullptr;
    std::mutex stopLock;  // one StopMonitoring at a time (explicit call, then the destructor)
};

}  // namespace zelko::plenar::agent
