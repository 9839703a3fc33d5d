// IoT device against an in-process local cloud on loopback: QoS 1 publishes (each waits for its
// acknowledgement) and the shadow read round trip over HTTPS.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

#include "cloud/local_cloud.h"
#include "outside/iot/iot_device.h"

namespace {

struct Setup {
    std::filesystem::path folder;
    std::unique_ptr<zelko::cloud::LocalCloud> cloud;
    std::unique_ptr<zelko::shared::iot::IotInfo> info;
    std::unique_ptr<zelko::shared::iot::IoTDevice> device;

    Setup() {
        folder = std::filesystem::temp_directory_path() / ("zelko-iot-bench-" + std::to_string(getpid()));
        zelko::cloud::LocalCloud::Settings settings;
        settings.folder = folder;
        cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
        cloud->Start();
        const auto issued = cloud->Ca().IssueDevice("bench-thing");
        info = std::make_unique<zelko::shared::iot::IotInfo>(
            "local", "tenant", "127.0.0.1:" + std::to_string(cloud->MqttPort()), "bench-thing", issued.certificate,
            issued.privateKey, "", "", cloud->Ca().CertificatePem(), "credentials",
            "127.0.0.1:" + std::to_string(cloud->HttpsPort()), "/role-aliases/bench/credentials");
        device = std::make_unique<zelko::shared::iot::IoTDevice>(info.get(), nullptr);
        device->Connect(nullptr, nullptr, nullptr, nullptr, nullptr);
        cloud->UpdateShadow("bench-thing", "config", {{"state", {{"desired", {{"level", 1}}}}}});
    }
    ~Setup() {
        device.reset();
        cloud.reset();
        std::filesystem::remove_all(folder);
    }
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

void BM_IotQos1Publish(benchmark::State& state) {
    auto& device = *Shared().device;
    const std::string message(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        if (device.Pub("bench/telemetry", message).error) state.SkipWithError("publish failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IotQos1Publish)->Arg(200)->Arg(16 * 1024)->UseRealTime();

void BM_IotShadowGet(benchmark::State& state) {
    auto& device = *Shared().device;
    for (auto _ : state) {
        if (device.GetShadow("config").error) state.SkipWithError("shadow read failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IotShadowGet)->UseRealTime();

}  // namespace
