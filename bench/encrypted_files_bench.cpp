#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "foundation/cryptography.h"
#include "foundation/utils.h"

namespace {

using zelko::plenar::agent::Utils::LoadEncryptedJsonFile;
using zelko::plenar::agent::Utils::SaveEncryptedJsonFile;

// About 64 KB of compact JSON shaped like queued telemetry: many small records.
nlohmann::json TelemetryLikeDocument() {
    std::mt19937 random(7);
    nlohmann::json records = nlohmann::json::array();
    while (nlohmann::json{{"records", records}}.dump().size() < 64 * 1024) {
        records.push_back({{"id", random()},
                           {"name", "collector-" + std::to_string(random() % 50)},
                           {"value", static_cast<double>(random() % 100000) / 7.0},
                           {"time", "2024-03-05T13:07:09.0420000"}});
    }
    return {{"records", records}};
}

void BM_EncryptedRoundTrip64KB(benchmark::State& state) {
    const auto document = TelemetryLikeDocument();
    const zelko::plenar::crypto::Cryptography crypto("bench-password");
    const auto path =
        std::filesystem::temp_directory_path() / ("zelko-bench-" + std::to_string(::getpid()) + ".rsnd");
    for (auto _ : state) {
        SaveEncryptedJsonFile(path, document, crypto);
        auto loaded = LoadEncryptedJsonFile(path, crypto);
        benchmark::DoNotOptimize(loaded);
    }
    std::filesystem::remove(path);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(document.dump().size()));
}
BENCHMARK(BM_EncryptedRoundTrip64KB)->Unit(benchmark::kMicrosecond);

}  // namespace
