// The telemetry module's stored records, names and contents: resend records (encrypted) read by
// the resend pass, and postponed runs read by the SendPostponed replay. The first byte picks the
// store (even: resend, odd: postponed) and whether the postponed replay spreads; then up to four
// files "name\ncontent" separated by "\n#\n". A resend content goes through EncryptedFileFrom.
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "fuzz/support.h"
#include "fuzz/telemetry_support.h"
#include "telemetry/resend_record.h"
#include "telemetry/telemetry_module.h"
#include "testing/fake_connectivity.h"

namespace {

using namespace zelko::plenar::agent;
namespace fs = std::filesystem;

std::unique_ptr<TelemetryModule> MakeModule(bool spread) {
    const fs::path path = zelko::fuzz::Root() / (spread ? "telemetry-spread.json" : "telemetry.json");
    const nlohmann::json any = {{{"dwControl", 230}, {"dwEventType", -1}}, {{"dwControl", 11}, {"dwEventType", -1}}};
    const nlohmann::json config = {
        {"spread_collectors", spread},
        {"spread_collectors_interval_sec", 300},
        {"collectors",
         {{{"name", "a"}, {"version", ">=1.0.0"}, {"events", any}},
          {{"name", "b"}, {"version", ">=1.0.0"}, {"events", {{{"dwControl", 230}, {"dwEventType", 20}}}}}}}};
    Utils::SaveJsonFile(path, config);
    auto connectivity = std::make_shared<zelko::testing::FakeConnectivity>();
    connectivity->SetCredentialsReady(true);
    TelemetryModule::Environment environment;
    environment.makeCollector = zelko::fuzz::MakeIdleCollector;
    return std::make_unique<TelemetryModule>(path, connectivity, std::make_shared<zelko::fuzz::NoPlugins>(), nullptr, nullptr,
                                             nullptr, nullptr, nullptr,
                                             std::make_shared<zelko::plenar::crypto::Cryptography>(zelko::fuzz::kPassword),
                                             true, false, std::move(environment));
}

TelemetryModule& Module(bool spread) {
    // Made once: building the module starts its worker. Released at exit, before the root goes.
    static std::unique_ptr<TelemetryModule> plain = MakeModule(false);
    static std::unique_ptr<TelemetryModule> spreading = MakeModule(true);
    return spread ? *spreading : *plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool resend = (data[0] & 1) == 0;
    const bool spread = (data[0] & 2) != 0;
    TelemetryModule& module = Module(spread);
    const fs::path folder = resend ? ResendFolder() : PostponedFolder();
    zelko::fuzz::ResetFolder(folder);
    const auto files = zelko::fuzz::Split(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), "\n#\n", 4);
    for (const auto& file : files) {
        if (file.empty()) continue;
        const auto [name, content] = [&] {
            const auto parts = zelko::fuzz::Split(file, "\n", 2);
            return std::pair(zelko::fuzz::SafeFileName(parts[0]), parts[1]);
        }();
        zelko::fuzz::WriteFile(folder / name, resend ? zelko::fuzz::EncryptedFileFrom(content) : content);
    }
    if (resend) {
        (void)module.ResendCollectorsData();
    } else {
        (void)module.PostponedRuns();
        (void)module.IsAnyPostponedCollectors();
        TelemetryModule::RunList runs;
        module.DeserializedAllPostponedCollectors(TelemetryEvent{}, runs);
    }
    return 0;
}
