#pragma once

// What the program entry and the service control shell keep between calls.

#include <CLI/CLI.hpp>
#include <array>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/kernel_objects.h"
#include "platform/service_control.h"

namespace zelko::plenar::agent {

struct ServiceShellState {
    platform::ServiceStatus _svc_status{};
    mutable std::mutex _svc_status_mutex;
    platform::ServiceStatusHandle _svc_status_handle = nullptr;
    std::unique_ptr<platform::Event> _svc_stop_event_handle;
    std::filesystem::path _exe_path_buffer;
    CLI::App _app{"Zelko Plenar Agent service", "ZelkoPlenarAgent"};
    std::string _plugin_name;
    std::string _plugin_payload_path;
    std::string _cli_params_path;
    // What the last failed install or removal logged.
    std::string _last_shell_failure;
    // The arguments of the first InitConfig, which the service main reads again.
    std::array<std::string, 3> _init_config_args;
};

}  // namespace zelko::plenar::agent
