#pragma once

// The program entry and the service control shell: the names they go by, what they keep between
// calls, and the functions around the service object.

#include <CLI/CLI.hpp>
#include <array>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crash_filter.h"
#include "platform/event_log.h"
#include "platform/kernel_objects.h"
#include "platform/service_control.h"

namespace zelko::plenar::agent {

class Service;

inline constexpr char kServiceName[] = "zelko-plenar-agent-service";
inline constexpr char kServiceMonitorName[] = "zelko-plenar-agent-service";
inline constexpr char kExecutorMonitorName[] = "zelko-plugin-executor";

// Virtual wrappers over the service control manager, the event log and the stop event; tests
// replace them.
class ServiceControlCalls {
  public:
    virtual ~ServiceControlCalls() = default;
    virtual platform::ScHandle OpenScManager(const char* machine, const char* database, uint32_t access);
    virtual platform::ScHandle CreateAgentService(platform::ScHandle manager, const std::string& command_line);
    virtual uint32_t WaitForObject(platform::Waitable* handle, uint32_t milliseconds);
    virtual platform::EventSourceHandle RegisterEventLogSource(const char* server, const std::string& source);
    virtual bool SignalEvent(platform::Event* handle);
    virtual platform::ScHandle OpenAgentService(platform::ScHandle manager);
    virtual bool CloseScHandle(platform::ScHandle handle);
    virtual std::filesystem::path GetExecutablePath();
};

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

// The control handler the service registers with the service control layer; the context is the
// Service. Every control is answered with no error.
uint32_t ServiceControlHandler(uint32_t control, uint32_t event_type, void* event_data, void* context);

// The top-level crash filter: logs what crashed, ends the logger and lets the crash go on.
int32_t AgentUnhandledExceptionFilter(platform::ExceptionPointers* info);

// The text of a system error number, ending in "\r\n" for system texts; a substitute when there is
// none.
std::string GetErrorMessage(uint32_t code);

// The control channel's "eventlog" request: "raise <channel> <event id> [<level>]" writes an entry
// into the simulated event log; the answer is "ok " + its file, or "error " + the reason.
std::string HandleEventLogRequest(const std::vector<std::string>& words);

// Ends the first of the processes whose program is the plug-in executor by name; false when none
// could be ended.
bool KillExecutorAmong(const std::vector<int>& pids);

// The program: loads the main configuration, starts the logger and either installs, removes or
// runs the service under the service control layer. Returns the process exit code.
int ServiceProgramMain(Service& service, int argc, char** argv);

}  // namespace zelko::plenar::agent
