#include "telemetry/performance.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/utils.h"

namespace zelko::plenar::agent {

namespace {
std::u16string Wide(const std::string& text) { return Utils::Utf8ToWideChecked(text); }

const std::string& CheckedName(const std::string& name) {
    if (name.empty()) throw std::invalid_argument("process_name is empty");
    return name;
}
}  // namespace

ProcessPerformanceMonitor::ProcessPerformanceMonitor(const std::string& processName, int32_t capacity,
                                                     uint64_t intervalSeconds)
    : systemInfo(platform::GetSystemInfo()),
      processName(CheckedName(processName)),
      samples(capacity),
      capacity(capacity),
      processorCount(systemInfo.dwNumberOfProcessors),
      intervalSeconds(intervalSeconds) {
    stopEvent = platform::Event::Create(false, false);
    if (!stopEvent) throw std::runtime_error("Failed to create stop event.");
    timer = platform::WaitableTimer::Create();
    if (!timer) throw std::runtime_error("Failed to create wait timer.");
    InitPDH();
}

ProcessPerformanceMonitor::~ProcessPerformanceMonitor() {
    Stop();
    stopEvent.reset();
    timer.reset();
    std::lock_guard lock(mutex);
    samples.Clear();
    if (query) platform::PdhCloseQuery(query);
    query = nullptr;
}

void ProcessPerformanceMonitor::InitPDH() {
    if (platform::PdhOpenQuery(nullptr, 0, &query) != platform::kPdhOk) {
        LOG_ERROR << "Failed to open PDH query.";
        query = nullptr;
        return;
    }
    const std::u16string name = Wide(processName);
    const struct {
        std::u16string path;
        platform::PdhCounter* counter;
        const char* failure;
    } counters[] = {
        {u"\\Process(" + name + u")\\% Processor Time", &cpuCounter, "Failed to add CPU counter."},
        {u"\\Process(" + name + u")\\Working Set", &memoryCounter, "Failed to add memory counter."},
        {u"\\Process(" + name + u")\\IO Data Bytes/sec", &diskCounter, "Failed to add disk counter."},
    };
    bool failed = false;
    for (const auto& counter : counters) {
        if (platform::PdhAddCounter(query, counter.path.c_str(), 0, counter.counter) != platform::kPdhOk) {
            LOG_ERROR << counter.failure;
            failed = true;
        }
    }
    if (failed) {
        LOG_ERROR << "Failed to add counters.";
        platform::PdhCloseQuery(query);
        query = nullptr;
        return;
    }
    // The rate and time counters compare each reading with the one before.
    platform::PdhCollectQueryData(query);
}

void ProcessPerformanceMonitor::Start() {
    LOG_DEBUG << "ProcessPerformanceMonitor: Starting...";
    std::lock_guard control(controlMutex);
    StopLocked();
    // A stop signalled after the thread had already ended must not end the next one.
    stopEvent->Reset();
    timer->Set(-static_cast<int64_t>(intervalSeconds) * 10'000'000,
               static_cast<uint32_t>(intervalSeconds * 1000));
    thread = std::make_unique<std::thread>(&ProcessPerformanceMonitor::ThreadFunc, this);
}

void ProcessPerformanceMonitor::Stop() {
    std::lock_guard control(controlMutex);
    StopLocked();
}

void ProcessPerformanceMonitor::StopLocked() {
    timer->Cancel();
    if (!thread) return;
    stopEvent->Set();
    if (thread->joinable()) thread->join();
    thread.reset();
}

void ProcessPerformanceMonitor::ThreadFunc() {
    while (true) {
        const uint32_t result =
            platform::WaitForMultipleObjects({stopEvent.get(), timer.get()}, platform::kInfinite);
        if (result == platform::kWaitObject0) {
            LOG_DEBUG << "ProcessPerformanceMonitor: Stop event signaled";
            return;
        }
        if (result != platform::kWaitObject0 + 1) return;
        CalculatePerformance();
    }
}

void ProcessPerformanceMonitor::CalculatePerformance() {
    std::lock_guard lock(mutex);
    if (platform::PdhCollectQueryData(query) != platform::kPdhOk) {
        LOG_ERROR << "Failed to collect PDH query data.";
        return;
    }
    auto read = [](platform::PdhCounter counter, uint32_t format, double& out) {
        platform::PdhFmtCounterValue value{};
        if (platform::PdhGetFormattedCounterValue(counter, format, nullptr, &value) != platform::kPdhOk) {
            out = 0;
            return false;
        }
        out = format == platform::kPdhFmtDouble ? value.doubleValue : static_cast<double>(value.largeValue);
        return true;
    };
    PerformanceData sample;
    const bool cpu_read = read(cpuCounter, platform::kPdhFmtDouble, sample.cpu);
    if (cpu_read) sample.cpu /= processorCount;
    const bool memory_read = read(memoryCounter, platform::kPdhFmtLarge, sample.memory);
    const bool disk_read = read(diskCounter, platform::kPdhFmtLarge, sample.disk);
    if (sample.cpu == 0 && sample.memory == 0 && sample.disk == 0) {
        LOG_DEBUG << "PDH query returned 0 values, value will be ignored";
        return;
    }
    std::ostringstream line;
    line << "ProcessPerformanceMonitor: Collecting for " << processName << " ";
    if (cpu_read) line << "CPU (%): " << sample.cpu;
    if (memory_read) line << " Memory (KB): " << static_cast<uint64_t>(sample.memory / 1024) << "KB";
    if (disk_read) line << " Disk (KBytes/sec): " << static_cast<uint64_t>(sample.disk / 1024);
    LOG_DEBUG << line.str();
    samples.Push(sample, capacity);
}

std::vector<ProcessPerformanceMonitor::PerformanceData> ProcessPerformanceMonitor::Samples() const {
    std::lock_guard lock(mutex);
    std::vector<PerformanceData> out;
    for (int32_t i = 0; i < samples.Count(); ++i) out.push_back(samples.At(i));
    return out;
}

PerformanceCollector::PerformanceCollector(std::shared_ptr<ConnectivityModule> connectivityModule,
                                           std::string iot_pub_url)
    : connectivity(std::move(connectivityModule)), iot_pub_url(std::move(iot_pub_url)) {
    if (!connectivity) throw std::invalid_argument("connectivityModule is null");
    if (this->iot_pub_url.empty()) throw std::invalid_argument("iot_pub_url is empty");
}

PerformanceCollector::~PerformanceCollector() {
    for (auto& [name, monitor] : monitors) monitor->Stop();
}

void PerformanceCollector::AddPerformanceMonitor(const std::string& processName, int32_t capacity,
                                                 uint64_t intervalSeconds) {
    if (monitors.count(processName)) {
        LOG_WARNING << "Monitor for process " << processName << " already exists";
        return;
    }
    auto monitor = std::make_shared<ProcessPerformanceMonitor>(processName, capacity, intervalSeconds);
    monitors.emplace(processName, std::move(monitor));
}

std::shared_ptr<ProcessPerformanceMonitor> PerformanceCollector::GetPerformanceMonitor(
    const std::string& processName) const {
    const auto it = monitors.find(processName);
    return it == monitors.end() ? nullptr : it->second;
}

shared::error::Error PerformanceCollector::Process() {
    nlohmann::json message = {
        {"version", 1},
        {"type", "com.zelko.pciot.metrics"},
        {"data", {{"end", Utils::GetUtcTimestamp()}, {"samples", nlohmann::json::array()}}}};
    for (const auto& [name, monitor] : monitors) {
        double cpu = 0, memory = 0, disk = 0;
        {
            std::lock_guard lock(monitor->mutex);
            const int32_t count = monitor->samples.Count();
            for (int32_t i = 0; i < count; ++i) {
                const auto& sample = monitor->samples.At(i);
                cpu += sample.cpu;
                memory += sample.memory;
                disk += sample.disk;
            }
            if (count > 0) cpu /= count, memory /= count, disk /= count;
        }
        LOG_DEBUG << "Process: " << name << " CPU: " << cpu << " Memory: " << memory << " Disk: " << disk;
        message["data"]["samples"].push_back(
            {{"process", name},
             {"metrics",
              {{"cpu", {{"usage", cpu}}}, {"memory", {{"usage", memory}}}, {"disk", {{"usage", disk}}}}}});
    }

    const shared::iot::IoTResult result = connectivity->PubByHttp(iot_pub_url, message.dump());
    if ((result.httpCode == 0 || result.httpCode == 200) && result.iotCode == 0 && !result.error) {
        LOG_INFO << "PefromanceCollector message was submitted successfully";
        for (const auto& [name, monitor] : monitors) {
            std::lock_guard lock(monitor->mutex);
            monitor->samples.Clear();
        }
        return {};
    }
    shared::error::Error failure =
        result.error
            ? result.error
            : shared::error::Error(shared::error::ErrorCategory::EC_Component, result.httpCode,
                                   "Server result code indicates error ", "int", "PeformanceCollector");
    LOG_ERROR << "PefromanceCollector message publishing failed with code : "
              << error::ErrorToString(failure);
    return failure;
}

}  // namespace zelko::plenar::agent
