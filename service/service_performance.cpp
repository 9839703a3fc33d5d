// The performance collector of module set-up and the executor monitor that the plug-in start and
// finish callables drive.

#include <memory>

#include "foundation/logging.h"
#include "service/service.h"
#include "telemetry/performance.h"

namespace zelko::plenar::agent {

void Service::InitPerformanceCollector(const std::string& topic) {
    _collect_perf = ConfigBool("collect_perf", false);
    _modules.StorePerformanceCollector(std::shared_ptr<PerformanceCollector>());
    if (!_collect_perf) return;
    LOG_INFO << "Loading performance collector...";
    auto collector = std::make_shared<PerformanceCollector>(_modules.conn_module, topic);
    collector->AddPerformanceMonitor(kServiceMonitorName, 24, 300);
    collector->GetPerformanceMonitor(kServiceMonitorName)->Start();
    collector->AddPerformanceMonitor(kExecutorMonitorName, 7200, 1);
    _modules.StorePerformanceCollector(std::move(collector));
}

// The telemetry module's threads call these while the stop may release the collector: they hold
// their own reference for the call.
void Service::StartExecutorMonitor() {
    if (const auto collector = _modules.LoadPerformanceCollector()) {
        if (const auto monitor = collector->GetPerformanceMonitor(kExecutorMonitorName)) monitor->Start();
    }
}

void Service::StopExecutorMonitor() {
    if (const auto collector = _modules.LoadPerformanceCollector()) {
        if (const auto monitor = collector->GetPerformanceMonitor(kExecutorMonitorName)) monitor->Stop();
    }
}

}  // namespace zelko::plenar::agent
