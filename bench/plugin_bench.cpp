// Plug-in executions per second through our plug-in manager: the feature-source plug-in answering
// a small remote configuration, in this process and through zelko-plugin-executor.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "outside/plugin_manager/plugin_manager.h"

namespace {

namespace fs = std::filesystem;
using namespace zelko::shared::plugin;

// A system root with the service's remote configuration and the plug-in installed in both folders.
struct Setup {
    fs::path root;
    std::unique_ptr<PluginManager> manager;

    Setup() {
        char pattern[] = "/tmp/zelko-plugin-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        ::setenv("ZELKO_SYSTEM_ROOT", root.c_str(), 1);
        // The agent's folder, where the service keeps its remote configurations.
        ::setenv("ZELKO_AGENT_FOLDER", (root / "agent").c_str(), 1);
        const auto configs = root / "agent" / "RemoteConfigs";
        fs::create_directories(configs);
        std::ofstream(configs / "corvane-grants-config.json") << R"({"grants": ["telemetry", "corvane"], "v": 3})";
        for (const char* folder : {"collectors", "inmem"}) {
            const auto target = root / folder / "zelko-plenar-feature-source" / "1.0.0";
            fs::create_directories(target);
            fs::copy_file(ZELKO_FEATURE_SOURCE_PLUGIN, target / "zelko-plenar-feature-source.so");
        }
        // Unsigned plug-ins: the development setting.
        manager = std::make_unique<PluginManager>((root / "collectors").c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
                                                  ValidatorSettings{root / "none.pem", true});
    }
    ~Setup() {
        manager.reset();
        ::unsetenv("ZELKO_AGENT_FOLDER");
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    void Run(benchmark::State& state) {
        const std::string input = R"({"name": "corvane-grants"})";
        // One run before the timing: a kept executor starts once, not per run.
        const char* first = input.c_str();
        manager->ExecutePlugin("zelko-plenar-feature-source", "1.0.0", first, {}, nullptr, nullptr);
        for (auto _ : state) {
            const char* text = input.c_str();
            auto result = manager->ExecutePlugin("zelko-plenar-feature-source", "1.0.0", text, {}, nullptr, nullptr);
            if (result.GetError() || result.GetOutputSize() < 10) {
                state.SkipWithError(result.GetError().what().c_str());
                break;
            }
            benchmark::DoNotOptimize(result.GetOutput());
        }
        state.SetItemsProcessed(state.iterations());
    }
};

void BM_PluginInProcess(benchmark::State& state) {
    Setup setup;
    setup.manager->InitializeInMemoryPlugins((setup.root / "inmem").c_str());
    setup.Run(state);
}
BENCHMARK(BM_PluginInProcess)->UseRealTime();

void BM_PluginThroughExecutor(benchmark::State& state) {
    Setup setup;
    setup.Run(state);
}
BENCHMARK(BM_PluginThroughExecutor)->UseRealTime();

}  // namespace
