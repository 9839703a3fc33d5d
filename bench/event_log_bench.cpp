// The whole path of a collector event: an entry written into the simulated event log reaches a
// subscription, becomes module event 240, runs a collector plug-in through zelko-plugin-executor,
// and its envelope is published over HTTPS to the local cloud. Events per second, one at a time.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/cloud_connectivity.h"
#include "cloud/local_cloud.h"
#include "connectivity/connectivity_module.h"
#include "foundation/utils.h"
#include "foundation/utils_system.h"
#include "outside/iot/iot_device.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "platform/event_log.h"
#include "telemetry/telemetry_module.h"
#include "telemetry/windows_event_subscription.h"
#include "testing/fake_device_info.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace zelko::plenar::agent;
using zelko::shared::error::Error;
using zelko::shared::iot::IoTResult;

constexpr const char* kGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";
constexpr uint32_t kEventId = 506;

// The real IoT client over HTTPS and the real envelope; the data valve passes the data through.
class CloudConnectivity : public zelko::bench::CloudConnectivity {
  public:
    using zelko::bench::CloudConnectivity::CloudConnectivity;
    // What the module's own formatting does: the envelope with the agent's file version.
    void FormatForPublishing(const std::string& gun, const std::string& filtered,
                             std::vector<char>& envelope) override {
        const std::string text = BuildTelemetryEnvelope(gun, filtered, json::object(), device_info_,
                                                        Utils::GetUtcTimestamp(), AgentVersion())
                                     .dump();
        envelope.assign(text.begin(), text.end());
        envelope.push_back('\0');
    }

  private:
    static std::string AgentVersion() { return Utils::GetBinaryFileVersion(Utils::GetExecutableFilePath()); }

    zelko::testing::FakeDeviceInfo device_info_;
};

struct Path {
    fs::path folder;
    std::unique_ptr<zelko::cloud::LocalCloud> cloud;
    std::unique_ptr<TelemetryModule> module;
    std::unique_ptr<WindowsEventSubscription> subscription;
    std::mutex lock;
    std::condition_variable changed;
    size_t done = 0;
    size_t failed = 0;

    Path() {
        folder = fs::temp_directory_path() / ("zelko-event-log-bench-" + std::to_string(getpid()));
        fs::create_directories(folder / "root");
        ::setenv("ZELKO_SYSTEM_ROOT", (folder / "root").c_str(), 1);
        zelko::cloud::LocalCloud::Settings settings;
        settings.folder = folder / "cloud";
        cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
        cloud->Start();
        const auto issued = cloud->Ca().IssueDevice("bench-thing");
        auto info = std::make_unique<zelko::shared::iot::IotInfo>(
            "local", "tenant", "127.0.0.1:" + std::to_string(cloud->MqttPort()), "bench-thing",
            issued.certificate, issued.privateKey, "", "", cloud->Ca().CertificatePem(), "credentials",
            "127.0.0.1:" + std::to_string(cloud->HttpsPort()), "/role-aliases/bench/credentials");

        // In the collectors folder, not the in-memory one: every run goes through the executor.
        const auto library = folder / "collectors" / "uploader" / "1.0.0" / "uploader.so";
        fs::create_directories(library.parent_path());
        fs::copy_file(ZELKO_COLLECTOR_TEST_PLUGIN, library, fs::copy_options::overwrite_existing);
        auto manager = std::make_shared<zelko::shared::plugin::PluginManager>(
            (folder / "collectors").c_str(), "error", ZELKO_PLUGIN_EXECUTOR,
            zelko::shared::plugin::ValidatorSettings{folder / "no-key.pem", true});

        const json config = {
            {"collectors",
             {{{"name", "uploader"},
               {"version", ">=1.0.0"},
               {"configuration", {{"answer", {{"upload", {{{"gun", kGun}, {"data", {{"battery", 97}}}}}}}}}},
               {"events", {{{"dwControl", 240}, {"dwEventType", kEventId}, {"dwChannel", 0}}}}}}}};
        Utils::SaveJsonFile(folder / "telemetry-module-config.json", config);
        module = std::make_unique<TelemetryModule>(
            folder / "telemetry-module-config.json", std::make_shared<CloudConnectivity>(std::move(info)),
            manager, [this](TelemetryEvent) { Count(false); }, [this](Error, TelemetryEvent) { Count(true); },
            nullptr, nullptr, nullptr, std::make_shared<zelko::plenar::crypto::Cryptography>("SNR-BENCH"),
            true, false);

        subscription = std::make_unique<WindowsEventSubscription>(u"System", kEventId, 0, this, &Path::OnEntry);
        auto& p = subscription->pimpl();
        p.handle = zelko::platform::EvtSubscribe(nullptr, nullptr, p.channel.c_str(), p.query.c_str(), nullptr,
                                                 subscription.get(), &Win32SubscriptionCallback,
                                                 zelko::platform::kEvtSubscribeToFutureEvents);
    }
    ~Path() {
        if (subscription && subscription->pimpl().handle) {
            zelko::platform::EvtClose(subscription->pimpl().handle);
            subscription->pimpl().handle = nullptr;
        }
        module.reset();
        cloud.reset();
        fs::remove_all(folder);
    }

    // As the service hands an entry on: module event 240 with the entry's XML.
    static void OnEntry(void* context, WindowsEvent event) {
        auto* path = static_cast<Path*>(context);
        const auto& xml = event.xml();
        path->module->Process(Event(240, static_cast<uint32_t>(event.eventId()), xml.data(),
                                    xml.size() * sizeof(char16_t), 0, static_cast<uint32_t>(event.level())));
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

void BM_EventLogEntryToCloud(benchmark::State& state) {
    Path path;
    if (path.subscription->pimpl().handle == nullptr) {
        state.SkipWithError("the event-log subscription could not be made");
        return;
    }
    size_t target = 0;
    for (auto _ : state) {
        zelko::platform::WriteEventLogEntry(u"System", kEventId);
        path.WaitFor(++target);
    }
    if (path.failed) state.SkipWithError("a collector run failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventLogEntryToCloud)->UseRealTime()->MinTime(3.0);

}  // namespace
