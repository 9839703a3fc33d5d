// The telemetry engine: events per second from TelemetryModule::Process through a test collector's
// run, filter, envelope and HTTP publish to an in-process local cloud; and the engine's idle cost,
// processor time per second of wall time with no events.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "bench/cloud_connectivity.h"
#include "cloud/local_cloud.h"
#include "foundation/utils.h"
#include "outside/iot/iot_device.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "telemetry/telemetry_module.h"
#include "testing/fake_connectivity.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace zelko::plenar::agent;
using zelko::shared::error::Error;
using zelko::shared::iot::IoTResult;

constexpr const char* kGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";

using zelko::bench::CloudConnectivity;

struct Engine {
    fs::path folder;
    std::unique_ptr<zelko::cloud::LocalCloud> cloud;
    std::unique_ptr<TelemetryModule> module;
    std::mutex lock;
    std::condition_variable changed;
    size_t done = 0;
    size_t failed = 0;

    Engine() {
        folder = fs::temp_directory_path() / ("zelko-telemetry-bench-" + std::to_string(getpid()));
        zelko::cloud::LocalCloud::Settings settings;
        settings.folder = folder / "cloud";
        cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
        cloud->Start();
        const auto issued = cloud->Ca().IssueDevice("bench-thing");
        auto info = std::make_unique<zelko::shared::iot::IotInfo>(
            "local", "tenant", "127.0.0.1:" + std::to_string(cloud->MqttPort()), "bench-thing",
            issued.certificate, issued.privateKey, "", "", cloud->Ca().CertificatePem(), "credentials",
            "127.0.0.1:" + std::to_string(cloud->HttpsPort()), "/role-aliases/bench/credentials");

        const auto library = folder / "inmem" / "uploader" / "1.0.0" / "uploader.so";
        fs::create_directories(library.parent_path());
        fs::copy_file(ZELKO_COLLECTOR_TEST_PLUGIN, library, fs::copy_options::overwrite_existing);
        auto manager = std::make_shared<zelko::shared::plugin::PluginManager>(
            (folder / "collectors").c_str(), "error", ZELKO_PLUGIN_EXECUTOR,
            zelko::shared::plugin::ValidatorSettings{folder / "no-key.pem", true});
        manager->InitializeInMemoryPlugins((folder / "inmem").c_str());

        const json config = {
            {"collectors",
             {{{"name", "uploader"},
               {"version", ">=1.0.0"},
               {"configuration", {{"answer", {{"upload", {{{"gun", kGun}, {"data", {{"battery", 97}}}}}}}}}},
               {"events", {{{"dwControl", 222}}}}}}}};
        Utils::SaveJsonFile(folder / "telemetry-module-config.json", config);
        module = std::make_unique<TelemetryModule>(
            folder / "telemetry-module-config.json", std::make_shared<CloudConnectivity>(std::move(info)),
            manager, [this](TelemetryEvent) { Count(false); }, [this](Error, TelemetryEvent) { Count(true); },
            nullptr, nullptr, nullptr, std::make_shared<zelko::plenar::crypto::Cryptography>("SNR-BENCH"),
            true, false);
    }
    ~Engine() {
        module.reset();
        cloud.reset();
        fs::remove_all(folder);
    }
    void Count(bool error) {
        std::lock_guard guard(lock);
        ++done;
        failed += error;
        changed.notify_all();
    }
    void WaitFor(size_t count) {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return done >= count; });
    }
};

Engine& Shared() {
    static Engine engine;
    return engine;
}

// 222 is never spread; without a status checker the gate lets every run through.
void BM_TelemetryEventToCloud(benchmark::State& state) {
    auto& engine = Shared();
    size_t target;
    {
        std::lock_guard guard(engine.lock);
        target = engine.done;
    }
    for (auto _ : state) {
        engine.module->Process(Event(222, 0));
        engine.WaitFor(++target);
    }
    if (engine.failed) state.SkipWithError("a collector run failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TelemetryEventToCloud)->UseRealTime();

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Processor time the idle engine (worker waiting, the collectors-key watch, the "-telemetry"
// scheduler) spends per second; the local cloud runs in the same process and is idle too.
void BM_TelemetryIdleCost(benchmark::State& state) {
    auto& engine = Shared();
    (void)engine;
    for (auto _ : state) {
        const double before = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        state.counters["cpu_ms_per_s"] = (ProcessCpuSeconds() - before) * 1000.0;
    }
}
BENCHMARK(BM_TelemetryIdleCost)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
