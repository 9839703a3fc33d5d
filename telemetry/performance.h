#pragma once

// The agent's measurement of its own cost and of the plug-in executor's: a monitor samples one
// process on its own thread into a fixed ring buffer, and the performance collector publishes the
// averages of every monitor as one metrics message.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/connectivity_module.h"
#include "outside/error/error.h"
#include "platform/kernel_objects.h"
#include "platform/perf_counters.h"
#include "platform/waitable_timer.h"

namespace zelko::plenar::agent {

// Fixed-size buffer of the newest samples; allocated once.
template <typename T>
class RingBuffer {
  public:
    // Raises std::invalid_argument for a capacity below 1.
    explicit RingBuffer(int32_t capacity) : capacity(capacity) {
        if (capacity < 1) throw std::invalid_argument("capacity is below 1");
        entries = std::make_unique<T[]>(static_cast<size_t>(capacity));
    }
    virtual ~RingBuffer() = default;

    // Drops the oldest while `keep` or more are held, then appends.
    void Push(const T& item, int32_t keep) {
        while (count > 0 && count >= keep) {
            head = (head + 1) % capacity;
            --count;
        }
        entries[tail] = item;
        tail = (tail + 1) % capacity;
        ++count;
    }
    int32_t Count() const { return count; }
    // The i-th sample, oldest first.
    const T& At(int32_t i) const { return entries[(head + i) % capacity]; }
    void Clear() { head = tail = count = 0; }

  private:
    std::unique_ptr<T[]> entries;
    int32_t capacity;
    int32_t head = 0;
    int32_t tail = 0;
    int32_t count = 0;
};

class ProcessPerformanceMonitor {
  public:
    struct PerformanceData {
        double cpu = 0;     // percent of the whole machine
        double memory = 0;  // working set, bytes
        double disk = 0;    // input and output, bytes per second
    };

    // processName: the process's instance name (its executable's name without the extension).
    // Raises std::invalid_argument "process_name is empty", std::runtime_error when the stop event or
    // the timer cannot be made. A failed counter set-up is logged; the monitor then stores nothing.
    ProcessPerformanceMonitor(const std::string& processName, int32_t capacity, uint64_t intervalSeconds);
    virtual ~ProcessPerformanceMonitor();
    ProcessPerformanceMonitor(const ProcessPerformanceMonitor&) = delete;
    ProcessPerformanceMonitor& operator=(const ProcessPerformanceMonitor&) = delete;

    // (Re)starts sampling: the first sample one interval from now. The samples held stay.
    // Start and Stop may be called from several threads (parallel collectors start plug-ins).
    void Start();
    // Stops sampling and waits for the sampling thread; the samples stay.
    void Stop();
    // One sample, as a timer tick takes it.
    void CalculatePerformance();

    // The samples held, oldest first.
    std::vector<PerformanceData> Samples() const;

  private:
    friend class PerformanceCollector;

    void InitPDH();
    void ThreadFunc();
    void StopLocked();

    platform::SystemInfo systemInfo;
    std::string processName;
    RingBuffer<PerformanceData> samples;
    int32_t capacity;
    std::unique_ptr<platform::Event> stopEvent;
    std::unique_ptr<platform::WaitableTimer> timer;
    platform::PdhQuery query = nullptr;
    platform::PdhCounter cpuCounter = nullptr;
    platform::PdhCounter memoryCounter = nullptr;
    platform::PdhCounter diskCounter = nullptr;
    double processorCount;
    uint64_t intervalSeconds;
    std::unique_ptr<std::thread> thread;
    mutable std::mutex mutex;  // guards samples and the query
    std::mutex controlMutex;   // one Start or Stop at a time
};

class PerformanceCollector {
  public:
    // Raises std::invalid_argument "connectivityModule is null" or "iot_pub_url is empty".
    PerformanceCollector(std::shared_ptr<ConnectivityModule> connectivityModule, std::string iot_pub_url);
    virtual ~PerformanceCollector();
    PerformanceCollector(const PerformanceCollector&) = delete;
    PerformanceCollector& operator=(const PerformanceCollector&) = delete;

    // Adds a monitor that is not started; a name already present is logged and changes nothing.
    // The monitor's construction errors pass to the caller.
    void AddPerformanceMonitor(const std::string& processName, int32_t capacity, uint64_t intervalSeconds);
    // Null when there is none of that name.
    std::shared_ptr<ProcessPerformanceMonitor> GetPerformanceMonitor(const std::string& processName) const;

    // Publishes the averages of every monitor; once accepted, every buffer starts over. A refused
    // publish keeps the samples and returns its error.
    shared::error::Error Process();

  private:
    std::map<std::string, std::shared_ptr<ProcessPerformanceMonitor>> monitors;
    std::shared_ptr<ConnectivityModule> connectivity;
    std::string iot_pub_url;
};

}  // namespace zelko::plenar::agent
