#pragma once

// Pieces of the control path that do not need the whole `Service`: the device-event filter of the
// processing step and the plug-in run request read from the run parameters file.

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/guid.h"

namespace zelko::plenar::agent {

// Interface classes whose device arrivals and removals reach the modules.
const std::array<platform::Guid, 17>& DeviceEventAllowList();
bool IsDeviceEventClassAllowed(const platform::Guid& interface_class);

// The device-event part of the processing step: logs as it decides and returns the number of bytes
// of the record to hand to the modules (the record's own size), or nothing when the event stays
// here. A null record or one whose size is smaller than what is about to be read is dropped.
std::optional<uint32_t> DeviceEventToForward(uint32_t event_type, const void* record);

// The two options of the plug-in run mode, registered on the service's command-line parser.
void AddPluginRunOptions(CLI::App& app, std::string& plugin_name, std::string& plugin_payload_path);

// Reads the first line of the run parameters file and parses it with `app` (options it does not
// give keep their values), then expands the payload path. Logs and returns false on any failure.
bool ParsePluginRunParameters(CLI::App& app, const std::string& params_path,
                              std::string& plugin_payload_path);

// UTF-16 text of the system (device names, channel names) as UTF-8 for the log.
std::string NarrowText(const std::u16string& text);

// The data of module event 205: name + ", " + payload path (the caller sends it with its NUL).
std::string PluginRunEventText(const std::string& plugin_name, const std::string& plugin_payload_path);

}  // namespace zelko::plenar::agent
