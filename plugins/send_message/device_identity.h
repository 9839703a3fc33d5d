#pragma once

#include <filesystem>
#include <string>

namespace zelko::shared::plugin {

// The device identity text (SNR id) that the service derives the message files' key from: the
// impersonated device's when the main configuration in `config_folder` turns impersonation on
// ("cloud" → "impersonate"), else the real device's. Raises, as the service's start would fail,
// when the impersonation switch or file is missing or of the wrong shape.
std::string ServiceDeviceSnrId(const std::filesystem::path& config_folder);

}  // namespace zelko::shared::plugin
