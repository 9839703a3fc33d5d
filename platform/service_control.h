#pragma once

// The service control manager as the service program sees it: the dispatcher that runs the
// service main and delivers control requests, status reports, and the service database used to
// install and remove the service. On Linux the dispatcher runs the service in the foreground
// (SIGTERM and SIGINT become the stop control), takes further controls from a local control
// channel under the system root, and reports status to systemd's notify socket when present; the
// database is a folder of systemd units.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelko::platform {

// Service types, start types, states, controls and access rights: the system's numbers.
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceErrorNormal = 1;

constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

constexpr uint32_t kServiceAcceptStop = 0x1;
constexpr uint32_t kServiceAcceptShutdown = 0x4;
constexpr uint32_t kServiceAcceptPowerEvent = 0x40;

constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlDeviceEvent = 11;
constexpr uint32_t kServiceControlPowerEvent = 13;
// Controls 128 to 255 are the service's own.
constexpr uint32_t kServiceControlUserFirst = 128;
constexpr uint32_t kServiceControlUserLast = 255;

constexpr uint32_t kScManagerConnect = 0x1;
constexpr uint32_t kScManagerCreateService = 0x2;
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceQueryConfig = 0x1;
constexpr uint32_t kServiceChangeConfig = 0x2;
constexpr uint32_t kServiceQueryStatus = 0x4;
constexpr uint32_t kServiceStart = 0x10;
constexpr uint32_t kServiceDelete = 0x10000;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

constexpr uint32_t kNoError = 0;

struct ServiceStatus {
    uint32_t dwServiceType = 0;
    uint32_t dwCurrentState = 0;
    uint32_t dwControlsAccepted = 0;
    uint32_t dwWin32ExitCode = 0;
    uint32_t dwServiceSpecificExitCode = 0;
    uint32_t dwCheckPoint = 0;
    uint32_t dwWaitHint = 0;
};

// ---- Running as a service -------------------------------------------------------------------

// The control handler: control, event type, event data (null when none), context; returns an
// error number (kNoError when handled).
using ServiceControlHandler = uint32_t (*)(uint32_t control, uint32_t event_type, void* event_data,
                                           void* context);

struct ServiceStatusHandleTag;
using ServiceStatusHandle = ServiceStatusHandleTag*;

// Runs `service_main` on a thread of its own and delivers control requests to the handler it
// registers, on the calling thread, until `service_main` returns. One dispatcher per process at a
// time. Fails (false, last error set) when the service already runs here or in another process
// (kErrorServiceAlreadyRunning) or when its control channel cannot be opened.
bool StartServiceCtrlDispatcher(const std::string& service_name, std::function<void()> service_main);

// Registers the control handler of the service that the running dispatcher hosts. Null, with the
// last error kErrorFailedServiceControllerConnect, when no dispatcher runs that service.
ServiceStatusHandle RegisterServiceCtrlHandlerEx(const std::string& service_name,
                                                 ServiceControlHandler handler, void* context);

// Records the service's status, delivers a stop that waited for the service to accept it, and
// tells systemd (NOTIFY_SOCKET). False with kErrorInvalidHandle for a handle of no running service.
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// ---- Talking to a running service (the control channel) ----------------------------------------

// Path of the running service's control channel (a local socket under the system root).
std::filesystem::path ServiceControlChannelPath(const std::string& service_name);

// Sends a control to the running service, as an operator's tool would. False with the last error
// set when the service does not run (kErrorServiceNotActive) or refuses the control.
bool ControlService(const std::string& service_name, uint32_t control, uint32_t event_type = 0,
                    const std::vector<uint8_t>& event_data = {});

// Sends one request line to the running service and returns its one-line answer; nullopt when
// the service cannot be reached. Requests: "control <control> [<event type> [<hex data>]]",
// "status", and the verbs added with SetServiceRequestHandler.
std::optional<std::string> SendServiceRequest(const std::string& service_name, const std::string& request);

// Adds (or with an empty handler removes) a request verb that the dispatcher serves on its
// thread; the handler gets the request's words after the verb and returns the answer line.
// Other platform facilities use it to let tools inject their notifications.
using ServiceRequestHandler = std::function<std::string(const std::vector<std::string>& words)>;
void SetServiceRequestHandler(const std::string& verb, ServiceRequestHandler handler);

// ---- The service database (install and remove) ---------------------------------------------------

struct ScHandleTag;
using ScHandle = ScHandleTag*;
// The "invalid handle value" some callers compare against besides null.
inline ScHandle InvalidScHandle() { return reinterpret_cast<ScHandle>(static_cast<intptr_t>(-1)); }

// Folder of the service units: $ZELKO_SERVICE_UNIT_DIR, else <system root>/etc/systemd/system.
std::filesystem::path ServiceUnitFolder();

ScHandle OpenSCManager(const char* machine, const char* database, uint32_t desired_access);

struct ServiceConfig {
    std::string service_name;
    std::string display_name;
    uint32_t desired_access = 0;
    uint32_t service_type = kServiceWin32OwnProcess;
    uint32_t start_type = kServiceDemandStart;
    uint32_t error_control = kServiceErrorNormal;
    std::string binary_path_name;  // command line, the program path quoted
};

// Writes the service's unit; fails with kErrorServiceExists when it is there already.
ScHandle CreateService(ScHandle manager, const ServiceConfig& config);
// Fails with kErrorServiceDoesNotExist when there is no unit of that name.
ScHandle OpenService(ScHandle manager, const std::string& service_name, uint32_t desired_access);
// The running instance's status through its control channel; stopped when none runs.
bool QueryServiceStatus(ScHandle service, ServiceStatus* status);
bool DeleteService(ScHandle service);
bool CloseServiceHandle(ScHandle handle);

constexpr uint32_t kScActionNone = 0;
constexpr uint32_t kScActionRestart = 1;
constexpr uint32_t kScActionReboot = 2;
constexpr uint32_t kScActionRunCommand = 3;

struct ServiceFailureAction {
    uint32_t type = kScActionNone;
    uint32_t delay_ms = 0;
};

struct ServiceFailureActions {
    uint32_t reset_period_seconds = 0;
    std::string reboot_message;
    std::string command;
    std::vector<ServiceFailureAction> actions;
};

// The failure actions and whether they also apply to a stop with a non-zero exit code; both are
// kept in the unit (systemd's Restart, RestartSec and start limit).
bool ChangeServiceFailureActions(ScHandle service, const ServiceFailureActions& actions);
bool ChangeServiceFailureActionsFlag(ScHandle service, bool on_non_crash_failures);

// What the unit of a service holds, for tools and tests.
struct InstalledService {
    ServiceConfig config;
    ServiceFailureActions failure_actions;
    bool failure_actions_on_non_crash_failures = false;
};
std::optional<InstalledService> ReadInstalledService(const std::string& service_name);

}  // namespace zelko::platform
