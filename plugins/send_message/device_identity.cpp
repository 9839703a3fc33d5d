#include "plugins/send_message/device_identity.h"

#include <nlohmann/json.hpp>

#include "foundation/utils_files.h"
#include "outside/device_info/device_info.h"

namespace zelko::shared::plugin {

namespace {

bool ImpersonationOn(const nlohmann::json& config) {
    if (!config.is_object()) return false;
    auto cloud = config.find("cloud");
    if (cloud == config.end() || !cloud->is_object()) return false;
    auto impersonate = cloud->find("impersonate");
    return impersonate != cloud->end() && impersonate->is_boolean() && impersonate->get<bool>();
}

}  // namespace

std::string ServiceDeviceSnrId(const std::filesystem::path& config_folder) {
    // Without a main configuration (a host other than the service's installation) the built-in
    // one applies, which does not impersonate; not loading it keeps the loader's error line out.
    const auto config_file = config_folder / "zelko-plenar-agent-config.json";
    std::error_code ec;
    const auto config =
        std::filesystem::exists(config_file, ec) ? plenar::agent::Utils::LoadConfigFile(config_file) : nlohmann::json();
    auto real_id = [] {
        device::DeviceInfo device;
        const char* id = device.GetDeviceSNRId();
        return std::string(id != nullptr ? id : "");
    };
    if (!ImpersonationOn(config)) return real_id();

    // The same look-up as the service's impersonated device: a text given in the file replaces
    // the real value; a file or object of the wrong shape raises the JSON library's error.
    const auto document = plenar::agent::Utils::LoadConfigFile(config_folder / "device-info-config.json");
    const nlohmann::json device_info = document.value("DeviceInfo", nlohmann::json::object());
    return device_info.value("DeviceSNRId", real_id());
}

}  // namespace zelko::shared::plugin
