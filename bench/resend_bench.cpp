// The stores of undelivered telemetry: saving a resend record and a postponed run with an empty
// folder and with 10000 files present, and the resend pass (read, filter, envelope, HTTP publish to
// an in-process local cloud, removal) per record.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/cloud_connectivity.h"
#include "cloud/local_cloud.h"
#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "platform/clock.h"
#include "telemetry/collector.h"
#include "telemetry/resend_record.h"
#include "telemetry/telemetry_module.h"
#include "testing/temp_system_root.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace zelko::plenar::agent;

constexpr const char* kGun = "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";

struct Stores {
    zelko::testing::TempSystemRoot root;
    std::unique_ptr<zelko::cloud::LocalCloud> cloud;
    std::shared_ptr<zelko::plenar::crypto::Cryptography> crypto =
        std::make_shared<zelko::plenar::crypto::Cryptography>("SNR-BENCH");
    std::unique_ptr<TelemetryModule> module;
    json record = MakeResendRecord("pub", "uploader", "1.0.0", kGun, {{"battery", 97}, {"cycles", 312}}, 0, 0, 222);

    Stores() {
        zelko::cloud::LocalCloud::Settings settings;
        settings.folder = root.path() / "cloud";
        cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
        cloud->Start();
        const auto issued = cloud->Ca().IssueDevice("bench-thing");
        auto info = std::make_unique<zelko::shared::iot::IotInfo>(
            "local", "tenant", "127.0.0.1:" + std::to_string(cloud->MqttPort()), "bench-thing",
            issued.certificate, issued.privateKey, "", "", cloud->Ca().CertificatePem(), "credentials",
            "127.0.0.1:" + std::to_string(cloud->HttpsPort()), "/role-aliases/bench/credentials");
        const fs::path folder = root.path() / "bench";
        fs::create_directories(folder / "inmem");
        auto manager = std::make_shared<zelko::shared::plugin::PluginManager>(
            (folder / "collectors").c_str(), "error", "",
            zelko::shared::plugin::ValidatorSettings{folder / "no-key.pem", true});
        Utils::SaveJsonFile(folder / "telemetry-module-config.json", json{{"collectors", json::array()}});
        module = std::make_unique<TelemetryModule>(
            folder / "telemetry-module-config.json", std::make_shared<zelko::bench::CloudConnectivity>(std::move(info)),
            manager, nullptr, nullptr, nullptr, nullptr, nullptr, crypto, true, false);
    }
    ~Stores() {
        module.reset();
        cloud.reset();
    }

    // count copies of one saved record under names of their own.
    void FillResend(int count) {
        fs::remove_all(ResendFolder());
        Collector::SaveForResend(record, "uploader", "1.0.0", crypto);
        const fs::path first = fs::directory_iterator(ResendFolder())->path();
        for (int i = 1; i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "resend_fill_%06d.rsnd", i);
            fs::copy_file(first, ResendFolder() / name);
        }
        // The files made here reach the disk now, not with the first timed save's sync.
        ::sync();
    }
};

Stores& Shared() {
    static Stores stores;
    return stores;
}

// The clock stands still, so each iteration saves under the same name; that file is removed
// untimed, and the folder keeps its size.
constexpr int64_t kStill = 17'096'440'290'070'000LL;

void BM_ResendSave(benchmark::State& state) {
    auto& stores = Shared();
    stores.FillResend(static_cast<int>(state.range(0)));
    zelko::platform::ScopedFakeClock clock(kStill);
    const fs::path saved = ResendFolder() / ResendFileName(kStill);
    for (auto _ : state) {
        Collector::SaveForResend(stores.record, "uploader", "1.0.0", stores.crypto);
        state.PauseTiming();
        if (!fs::remove(saved)) state.SkipWithError("no record saved");
        state.ResumeTiming();
    }
    state.counters["present"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_ResendSave)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_PostponedSave(benchmark::State& state) {
    auto& stores = Shared();
    const fs::path folder = PostponedFolder();
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (int i = 0; i < state.range(0); ++i) {
        std::ofstream(folder / ("postponed_system_fill_" + std::to_string(i) + ".ppnd")) << R"({"version": "1"})";
    }
    ::sync();
    zelko::platform::ScopedFakeClock clock(kStill);
    TelemetryEvent item;
    item.Type = EventKey{222, 0};
    const fs::path saved = folder / PostponedFileName(item.Type, kStill);
    for (auto _ : state) {
        stores.module->SavePostponed(nullptr, item, "bench");
        state.PauseTiming();
        if (!fs::remove(saved)) state.SkipWithError("no run saved");
        state.ResumeTiming();
    }
    state.counters["present"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_PostponedSave)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(50);

// One pass over 200 records, all published and removed; time per record.
void BM_ResendPass(benchmark::State& state) {
    auto& stores = Shared();
    constexpr int kRecords = 200;
    for (auto _ : state) {
        state.PauseTiming();
        stores.FillResend(kRecords);
        state.ResumeTiming();
        if (stores.module->ResendCollectorsData()) state.SkipWithError("a publish failed");
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_ResendPass)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
