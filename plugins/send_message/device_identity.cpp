#include "plugins/send_message/device_identity.h"

#include <nlohmann/json.hpp>
#include <system_error>

#include "foundation/utils_files.h"
#include "outside/device_info/device_info.h"
#include "outside/device_info/virtual_device_info.h"

namespace zelko::shared::plugin {

std::string ServiceDeviceSnrId(const std::filesystem::path& config_folder) {
    // Without a main configuration (a host other than the service's installation) the built-in
    // one applies, which does not impersonate; not loading it keeps the loader's error line out.
    const auto config_file = config_folder / "zelko-plenar-agent-config.json";
    std::error_code ec;
    const auto config = std::filesystem::exists(config_file, ec)
                            ? plenar::agent::Utils::LoadConfigFile(config_file, false, "sub")
                            : nlohmann::json::object();
    // The service's own choice between the real and the impersonated device.
    const auto device = plenar::agent::MakeDeviceInfo(config, config_folder);
    const char* id = device->GetDeviceSNRId();
    return id != nullptr ? id : "";
}

}  // namespace zelko::shared::plugin
