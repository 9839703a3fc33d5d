#pragma once
// A telemetry module for the fuzz targets: collectors that run nothing over no plug-ins.
#include <cstdint>
#include <memory>

#include "telemetry/collector.h"
#include "telemetry/telemetry_module.h"

namespace zelko::fuzz {

namespace plugin = zelko::shared::plugin;
using zelko::plenar::agent::Collector;
using zelko::plenar::agent::TelemetryEvent;
using zelko::shared::error::Error;

struct NoPlugins : plugin::IPluginManager {
    plugin::DynamicBufferResult ExecutePlugin(const char*, const char*, const char*&,
                                              const plugin::PluginExecutionPolicy&, plugin::IPluginExecutor*,
                                              plugin::IValidator*) override {
        return {};
    }
    Error GetPluginDescription(const char*, const char*, plugin::PluginDescriptionResult& result,
                               plugin::IValidator*) override {
        result.isLoaded = true;
        return {};
    }
    Error GetError() const override { return {}; }
    Error TerminatePlugin(const char*, const char*) override { return {}; }
    Error StopPlugin(const char*, const char*, int64_t, plugin::PluginTerminationState&) override { return {}; }
    Error InitializeInMemoryPlugins(const char*) override { return {}; }
};

// A configured collector that runs nothing: the replay only picks collectors, it does not run them.
class IdleCollector : public Collector {
  public:
    explicit IdleCollector(const nlohmann::json& entry)
        : Collector(entry, nullptr, std::make_shared<NoPlugins>(), nullptr, nullptr, nullptr, true) {}
    Error Process(const TelemetryEvent&) override { return {}; }
    void Stop(int64_t, bool) noexcept override {}
    bool IsLoaded() override { return true; }
    bool IsHangingMoreThan(int32_t) override { return false; }
};

inline std::shared_ptr<Collector> MakeIdleCollector(const nlohmann::json& entry) {
    return std::make_shared<IdleCollector>(entry);
}

}  // namespace zelko::fuzz
