// Remote configuration shadows as applied: a stored state file and configuration file, then one
// shadow fetched and one pushed on the listen topic. The input is "state\n#\nconfig\n#\nfetched\n#\npushed";
// an empty state or configuration part leaves that file out.
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "config/remote_config.h"
#include "foundation/utils_files.h"
#include "fuzz/support.h"
#include "testing/fake_connectivity.h"

namespace {

using namespace zelko::plenar;
namespace fs = std::filesystem;

const std::string kTopic = "fuzz/remote-config";

std::string ShadowName() { return "fuzz-rc-" + std::to_string(::getpid()); }
// The state file lies beside the running program.
fs::path StatePath() { return agent::Utils::GetExecutableDirectory() / (ShadowName() + "-state.json"); }
fs::path Folder() { return zelko::fuzz::Root() / "remote-config"; }

struct Cleanup {
    ~Cleanup() {
        std::error_code ignored;
        fs::remove(StatePath(), ignored);
    }
} cleanup;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = zelko::fuzz::Split(std::string_view(reinterpret_cast<const char*>(data), size), "\n#\n", 4);
    zelko::fuzz::ResetFolder(Folder() / "RemoteConfigs");
    std::error_code ignored;
    fs::remove(StatePath(), ignored);
    if (!parts[0].empty()) zelko::fuzz::WriteFile(StatePath(), parts[0]);
    if (!parts[1].empty()) zelko::fuzz::WriteFile(Folder() / "RemoteConfigs" / "fuzz-config.json", parts[1]);

    static const auto defaults =
        nlohmann::ordered_json::parse(R"({"data": {"grants": ["telemetry"], "interval": 60}, "other": 1})");
    auto connectivity = std::make_shared<zelko::testing::FakeConnectivity>();
    connectivity->SetShadow(parts[2]);
    std::shared_ptr<config::RemoteConfig> remote;
    try {
        remote = config::RemoteConfig::Create("fuzz", ShadowName(), connectivity, kTopic, false,
                                              [](std::shared_ptr<config::BaseConfig> changed) {
                                                  (void)changed->GetConfig();
                                              },
                                              defaults, Folder(), "RemoteConfigs");
    } catch (const std::exception&) {
        return 0;  // the module set-up logs a configuration it cannot make
    }
    try {
        (void)remote->Fetch();
    } catch (const std::exception&) {
        // A fetched document that is not JSON raises to the fetch task, which logs it.
    }
    config::RemoteConfigTopicCallback(zelko::shared::iot::Payload(kTopic, parts[3]), remote.get());
    (void)remote->GetConfig().dump();
    return 0;
}
