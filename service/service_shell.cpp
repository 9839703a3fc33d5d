// Program entry and the service control shell: configuration, status reports, install, remove,
// the service main and its initialisation.

#include <cstdio>
#include <iostream>

#include "foundation/default_configs.h"
#include "foundation/logger.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"
#include "platform/crash_filter.h"
#include "platform/last_error.h"
#include "platform/agent_folder.h"
#include "platform/paths.h"
#include "platform/process_priority.h"
#include "platform/registry.h"
#include "platform/steady_clock.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {

constexpr uint32_t kEventIdServiceError = 0xC0020001;
constexpr char kModernSleepKey[] = "SYSTEM\\CurrentControlSet\\Control\\Power\\ModernSleep";
constexpr size_t kMaxEventText = 79;

// Process-wide status checkpoint; never reset.
uint32_t g_checkpoint = 1;

void SleepSteady(std::chrono::nanoseconds duration) {
    platform::SteadyWaiter waiter;
    waiter.WaitUntil(platform::SteadyNowNanos() + duration.count(), [] { return false; });
}

}  // namespace

// ---- main configuration ----

// An absent key is the default without a word; a damaged value is the default with the typed
// reader's warning naming the file and the key.
bool Service::ConfigBool(const char* key, bool default_value) const {
    if (!Settings::Has(_agent_config, key)) return default_value;
    return Settings::Bool(_agent_config, kAgentConfigFileName, key, default_value);
}

int64_t Service::ConfigInteger(const char* key, int64_t default_value, int64_t min, int64_t max) const {
    if (!Settings::Has(_agent_config, key)) return default_value;
    return Settings::Int(_agent_config, kAgentConfigFileName, key, default_value, min, max);
}

std::string Service::ConfigString(const char* key, const std::string& default_value) const {
    if (!Settings::Has(_agent_config, key)) return default_value;
    return Settings::String(_agent_config, kAgentConfigFileName, key, default_value);
}

bool Service::InitConfig(std::string folder_name, std::string file_name, std::string base_folder) {
    _init_config_args = {folder_name, file_name, base_folder};
    std::filesystem::path base =
        base_folder.empty() ? ExecutableFolder() : std::filesystem::path(base_folder);
    std::error_code ec;
    // A base whose existence cannot be told counts as missing.
    if (base.empty() || !std::filesystem::exists(base, ec) || ec) return false;
    _config_folder = base / folder_name;
    _agent_config = Utils::LoadConfigFile(_config_folder / file_name, false, "sub");
    try {
        _cli_params_path =
            Utils::ExpandEnvironment("%programdata%/zelko/Zelko Plenar Agent/zelko_plenar_cli.txt");
    } catch (...) {
        LOG_WARNING << "Failed to get zelko_plenar_cli path.";
    }
    // A document with nothing in it is as damaged as one that does not parse: the built-in
    // defaults run the agent, and the log says so once it is open.
    if (_agent_config.is_null() || ((_agent_config.is_object() || _agent_config.is_array()) &&
                                    _agent_config.empty())) {
        _config_warning = "Main configuration " + (_config_folder / file_name).string() +
                          " holds no settings (" + _agent_config.dump() + "); using the built-in defaults.";
        const std::string* text = FindDefaultConfig(DefaultConfigs(), file_name, ConfigVariant::Standard);
        _agent_config = text != nullptr ? nlohmann::json::parse(*text) : nlohmann::json::object();
    } else {
        _config_warning.clear();
    }
    return true;
}

int32_t Service::ReadLogSeverity() const {
    if (_agent_config.is_null()) return logging::info;
    const std::string severity = ConfigString("log_severity", "I");
    if (severity.empty()) return logging::none;
    switch (std::toupper(static_cast<unsigned char>(severity[0]))) {
        case 'D':
            return logging::debug;
        case 'E':
            return logging::error;
        case 'F':
            return logging::fatal;
        case 'I':
            return logging::info;
        case 'V':
            return logging::verbose;
        case 'W':
            return logging::warning;
        default:
            return logging::none;
    }
}

std::filesystem::path ServiceControlCalls::GetExecutablePath() {
    auto path = Utils::GetExecutableFilePath();
    if (path.empty()) {
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << platform::ErrorFromErrno(errno);
        return path;
    }
    // The folder is the agent's, found as the plug-ins beside it find it.
    return platform::AgentFolder() / path.filename();
}

// ---- virtual wrappers ----

platform::ScHandle ServiceControlCalls::OpenScManager(const char* machine, const char* database, uint32_t access) {
    return platform::OpenSCManager(machine, database, access);
}

platform::ScHandle ServiceControlCalls::CreateAgentService(platform::ScHandle manager, const std::string& command_line) {
    platform::ServiceConfig config;
    config.service_name = kServiceName;
    config.display_name = kServiceName;
    config.desired_access = platform::kServiceAllAccess;
    config.service_type = platform::kServiceWin32OwnProcess;
    config.start_type = platform::kServiceDemandStart;
    config.error_control = platform::kServiceErrorNormal;
    config.binary_path_name = command_line;
    return platform::CreateService(manager, config);
}

uint32_t ServiceControlCalls::WaitForObject(platform::Waitable* handle, uint32_t milliseconds) {
    if (handle == nullptr) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return platform::kWaitFailed;
    }
    return platform::WaitForSingleObject(*handle, milliseconds);
}

platform::EventSourceHandle ServiceControlCalls::RegisterEventLogSource(const char* server, const std::string& source) {
    return platform::RegisterEventSource(server, source);
}

bool ServiceControlCalls::SignalEvent(platform::Event* handle) {
    if (handle == nullptr) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return false;
    }
    if (!handle->Set()) {
        platform::SetLastError(platform::ErrorFromErrno(errno));
        return false;
    }
    return true;
}

platform::ScHandle ServiceControlCalls::OpenAgentService(platform::ScHandle manager) {
    return platform::OpenService(manager, kServiceName,
                                 platform::kServiceDelete | platform::kServiceQueryStatus);
}

bool ServiceControlCalls::CloseScHandle(platform::ScHandle handle) {
    if (handle == nullptr || handle == platform::InvalidScHandle()) return false;
    return platform::CloseServiceHandle(handle);
}

// ---- status and errors ----

void Service::ReportSvcStatus(uint32_t current_state, uint32_t win32_exit_code, uint32_t wait_hint) {
    // The service thread and the teardown on the scheduler's worker both report.
    std::lock_guard lock(_svc_status_mutex);
    _svc_status.dwCurrentState = current_state;
    _svc_status.dwWin32ExitCode = win32_exit_code;
    _svc_status.dwWaitHint = wait_hint;
    _svc_status.dwControlsAccepted =
        current_state == platform::kServiceStartPending ? 0 : platform::kServiceAcceptStop;
    if (current_state == platform::kServiceRunning || current_state == platform::kServiceStopped) {
        _svc_status.dwCheckPoint = 0;
    } else {
        _svc_status.dwCheckPoint = g_checkpoint++;
    }
    LOG_DEBUG << "SetServiceStatus called with params"
              << " dwCheckPoint " << g_checkpoint << " dwCurrentState " << current_state << " dwWaitHint "
              << wait_hint;
    platform::SetServiceStatus(_svc_status_handle, _svc_status);
}

platform::ServiceStatus Service::LastReportedStatus() const {
    std::lock_guard lock(_svc_status_mutex);
    return _svc_status;
}

void Service::ReportServiceError(const std::string& function_name) {
    const uint32_t error = platform::GetLastError();
    platform::EventSourceHandle source = RegisterEventLogSource(nullptr, kServiceName);
    if (source == nullptr) return;
    char text[kMaxEventText + 1];
    std::snprintf(text, sizeof(text), "%s failed with %d", function_name.c_str(), static_cast<int>(error));
    platform::ReportEvent(source, platform::kEventLogErrorType, 0, kEventIdServiceError,
                          {kServiceName, text});
    platform::DeregisterEventSource(source);
}

void Service::FailShell(const std::string& text) {
    LOG_ERROR << text;
    _last_shell_failure = text;
}

// ---- install and remove ----

bool Service::SvcInstallService() {
    _exe_path_buffer = platform::ExecutablePath();
    if (_exe_path_buffer.empty()) {
        FailShell("Cannot install service - GetLastError: " +
                  std::to_string(platform::ErrorFromErrno(errno)));
        return false;
    }
    const std::string command_line = "\"" + _exe_path_buffer.string() + "\"";
    platform::ScHandle manager = OpenScManager(nullptr, nullptr, platform::kScManagerAllAccess);
    if (manager == nullptr) {
        FailShell("OpenSCManager failed - GetLastError: " + std::to_string(platform::GetLastError()));
        return false;
    }
    bool ok = true;
    platform::ScHandle service = CreateAgentService(manager, command_line);
    if (service != nullptr) {
        LOG_INFO << "Service installed successfully";
        CloseScHandle(service);
    } else {
        FailShell("CreateService failed - GetLastError: " + std::to_string(platform::GetLastError()));
        ok = false;
    }
    CloseScHandle(manager);
    return ok;
}

bool Service::SvcRemoveService(bool missing_is_failure) {
    platform::ScHandle manager = OpenScManager(nullptr, nullptr, platform::kScManagerConnect);
    if (manager == nullptr) {
        FailShell("OpenSCManager failed - GetLastError: " + std::to_string(platform::GetLastError()));
        return false;
    }
    bool ok = false;
    platform::ScHandle service = OpenAgentService(manager);
    if (service == nullptr || service == platform::InvalidScHandle()) {
        // Before an install, a service that is not there yet is the normal case and stays silent.
        if (missing_is_failure) {
            FailShell("Removing service failed, GetLastError: " + std::to_string(platform::GetLastError()));
        }
    } else {
        platform::ServiceStatus status;
        if (!platform::QueryServiceStatus(service, &status)) {
            FailShell("Removing service failed, GetLastError: " + std::to_string(platform::GetLastError()));
        } else if (status.dwCurrentState == platform::kServiceStopped) {
            // The attestation and enrollment libraries' clean-up exports are called here once they exist.
            if (platform::DeleteService(service)) {
                LOG_INFO << "Successfully uninstalled service";
                ok = true;
            } else {
                FailShell("Removing service failed, GetLastError: " +
                          std::to_string(platform::GetLastError()));
            }
        } else {
            platform::SetLastError(platform::kErrorServiceAlreadyRunning);
            FailShell("Removing service failed, GetLastError: " + std::to_string(platform::GetLastError()));
        }
        CloseScHandle(service);
    }
    CloseScHandle(manager);
    return ok;
}

// ---- running as a service ----

uint32_t ServiceControlHandler(uint32_t control, uint32_t event_type, void* event_data, void* context) {
    static_cast<Service*>(context)->SvcCtrlHandlerImpl(control, event_type, event_data);
    return platform::kNoError;
}

void Service::SvcMain() {
    _svc_status_handle = platform::RegisterServiceCtrlHandlerEx(kServiceName, ServiceControlHandler, this);
    if (_svc_status_handle == nullptr) {
        ReportServiceError("RegisterServiceCtrlHandler");
        return;
    }
    ReportSvcStatus(platform::kServiceStartPending, platform::kNoError, 5000);

    // Failure actions: restart after 5 s twice, then nothing; reset after a day; non-crash failures too.
    if (platform::ScHandle manager = platform::OpenSCManager(nullptr, nullptr, 0x20025)) {
        if (platform::ScHandle service = platform::OpenService(manager, kServiceName, 0x12)) {
            platform::ServiceFailureActions actions;
            actions.reset_period_seconds = 86400;
            actions.actions = {{platform::kScActionRestart, 5000},
                               {platform::kScActionRestart, 5000},
                               {platform::kScActionNone, 0}};
            platform::ChangeServiceFailureActions(service, actions);
            platform::ChangeServiceFailureActionsFlag(service, true);
            platform::CloseServiceHandle(service);
        }
        platform::CloseServiceHandle(manager);
    }

    {
        std::lock_guard lock(_svc_status_mutex);
        _svc_status.dwServiceType = platform::kServiceWin32OwnProcess;
        _svc_status.dwServiceSpecificExitCode = 0;
    }

    auto to_handler = [this](uint32_t control, uint32_t event_type, const void* data) {
        ServiceControlHandler(control, event_type, const_cast<void*>(data), this);
    };
    _dev_notify_handle = platform::RegisterDeviceInterfaceNotification(to_handler);

    platform::RegistryKey key;
    platform::RegistryValue enabled_actions;
    const bool modern_standby =
        platform::RegistryKey::Open(platform::RegistryHive::LocalMachine, kModernSleepKey, key) == 0 &&
        key.QueryValue("EnabledActions", enabled_actions) == 0 && enabled_actions.data.size() <= 4;
    key.Close();
    auto suspend_resume = [this](uint32_t type, const void* setting) {
        return SuspendResumeCallback(type, setting);
    };
    if (modern_standby) {
        LOG_INFO << "Modern Sleep detected, registering to Modern Sleep events.";
        _suspend_resume_notify_handle = platform::RegisterSuspendResumeNotification(suspend_resume);
        _modern_sleep_notify_handle = platform::RegisterPowerSettingNotification(
            platform::kModernStandbySetting,
            [this](uint32_t type, const platform::PowerBroadcastSetting* setting) {
                return ModernSuspendResumeCallbackImpl(type, setting);
            });
        if (_modern_sleep_notify_handle == 0) {
            LOG_ERROR << "Failed to register to Modern Sleep events.";
        }
    } else {
        LOG_INFO << "Modern Sleep not detected, registering to Sleep events.";
        _suspend_resume_notify_handle = platform::RegisterSuspendResumeNotification(suspend_resume);
    }

    // Power events reach the control handler only while the service accepts them, which it never
    // reports: the registration stands, as on the system, and the changes stay outside.
    _acdc_notify_handle = platform::RegisterServicePowerSettingNotification(
        platform::kAcDcPowerSourceSetting, [this](uint32_t control, uint32_t event_type, const void* data) {
            if ((LastReportedStatus().dwControlsAccepted & platform::kServiceAcceptPowerEvent) == 0) return;
            ServiceControlHandler(control, event_type, const_cast<void*>(data), this);
        });

    // Operators and the run script inject power and device notifications through the control
    // channel: "notify power suspend", "notify device arrival <class GUID> <name>", ...
    platform::SetServiceRequestHandler("notify", [](const std::vector<std::string>& words) {
        std::string command;
        for (const auto& word : words) command += (command.empty() ? "" : " ") + word;
        std::string error;
        if (!platform::InjectNotificationCommand(command, &error)) return "error " + error;
        return std::string("ok");
    });
    platform::SetServiceRequestHandler("eventlog", HandleEventLogRequest);

    if (ConfigBool("run_in_background", true) && !platform::SetProcessBelowNormalPriority()) {
        const uint32_t error = platform::GetLastError();
        if (error != platform::kErrorProcessModeAlreadyBackground) {
            LOG_WARNING << "Could not set process to Below Normal Priority: " << GetErrorMessage(error);
        }
    }
    if (ConfigBool("run_with_ecoqos", true)) {
        if (!platform::SetProcessPowerThrottling()) {
            const uint32_t error = platform::GetLastError();
            if (error != platform::kErrorProcessModeAlreadyBackground) {
                LOG_WARNING << "Could not set process to use EcoQoS " << GetErrorMessage(error);
            }
        }
        if (!platform::SetCurrentThreadPowerThrottling()) {
            const uint32_t error = platform::GetLastError();
            if (error != platform::kErrorProcessModeAlreadyBackground) {
                LOG_WARNING << "Could not set thread to use EcoQoS " << GetErrorMessage(error);
            }
        }
    }

    InitConfig(_init_config_args[0], _init_config_args[1], _init_config_args[2]);
    SvcInit();
}

void Service::SvcInit() {
    ReportSvcStatus(platform::kServiceStartPending, platform::kNoError, 100000);

    _svc_stop_event_handle = platform::Event::Create(true, false);
    if (!_svc_stop_event_handle) {
        ReportSvcStatus(platform::kServiceStopped, platform::ErrorFromErrno(errno), 0);
        return;
    }

    try {
        InitBaseStates();
    } catch (const std::exception& e) {
        // Without its base states the service cannot run, nor be stopped: end the start here.
        LOG_ERROR << "Service failed to bind its base states: " << e.what();
        ReportSvcStatus(platform::kServiceStopped, platform::kErrorExceptionInService, 0);
        return;
    }
    SetState(Initializing);

    ReportSvcStatus(platform::kServiceRunning, platform::kNoError, 0);

    const uint32_t result = WaitForObject(_svc_stop_event_handle.get(), platform::kInfinite);
    if (result == platform::kWaitObject0) {
        LOG_DEBUG << "WaitForSingleObject on _svc_stop_event_handle fired.";
    } else {
        LOG_ERROR << "WaitForSingleObject on _svc_stop_event_handle - GetLastError: "
                  << platform::GetLastError();
    }
    StopService();
}

// ---- error texts and the crash filter ----

std::string GetErrorMessage(uint32_t code) {
    std::string text = platform::FormatSystemMessage(code);
    if (!text.empty()) return text;
    const uint32_t error = platform::GetLastError();
    char buffer[256];
    if (error == platform::kErrorMrMidNotFound) {
        std::snprintf(buffer, sizeof(buffer), "The system cannot find message text for error code %d\r\n",
                      static_cast<int>(code));
    } else if (error == platform::kErrorInsufficientBuffer) {
        std::snprintf(buffer, sizeof(buffer),
                      "Message text for error code %d is larger than max buffer size of %d\r\n",
                      static_cast<int>(code), 2018);
    } else {
        std::snprintf(buffer, sizeof(buffer),
                      "Could not format message for error code %d due to new error %d\r\n",
                      static_cast<int>(code), static_cast<int>(error));
    }
    return buffer;
}

int32_t AgentUnhandledExceptionFilter(platform::ExceptionPointers* info) {
    try {
        LOG_ERROR << "Unhandled Exception crashed the Agent";
    } catch (...) {
        return platform::kExceptionContinueSearch;
    }
    try {
        if (info == nullptr || info->ExceptionRecord == nullptr) {
            LOG_ERROR << "ExceptionInfo is null";
        } else {
            const platform::ExceptionRecord& record = *info->ExceptionRecord;
            LOG_ERROR << "Exception code: " << record.ExceptionCode;
            LOG_ERROR << "Exception flags: " << record.ExceptionFlags;
            LOG_ERROR << "Exception address: " << record.ExceptionAddress;
            switch (record.ExceptionCode) {
                case platform::kExceptionAccessViolation:
                    LOG_ERROR << "Access violation at address: " << record.ExceptionInformation[1];
                    if (record.ExceptionInformation[0] == 0) {
                        LOG_ERROR << "Attempted to read inaccessible data";
                    } else {
                        LOG_ERROR << "Attempted to write to an inaccessible address";
                    }
                    break;
                case platform::kExceptionArrayBoundsExceeded:
                    LOG_ERROR << "Array bounds exceeded";
                    break;
                case platform::kExceptionFloatDivideByZero:
                    LOG_ERROR << "Floating-point division by zero";
                    break;
                case platform::kExceptionIntegerDivideByZero:
                    LOG_ERROR << "Integer division by zero";
                    break;
                case platform::kExceptionStackOverflow:
                    LOG_ERROR << "Stack overflow";
                    break;
                default:
                    LOG_ERROR << "Unhandled exception";
                    break;
            }
        }
        // Nothing is written after the crash report.
        logging::LoggerSlot<0>() = nullptr;
    } catch (...) {
    }
    return platform::kExceptionContinueSearch;
}

// ---- the program ----

int ServiceProgramMain(Service& service, int argc, char** argv) {
    if (!service.InitConfig(kConfigFolderName, kAgentConfigFileName, "")) return -1;
    InitLogger(service.ReadLogSeverity());
    platform::SetUnhandledExceptionFilter(AgentUnhandledExceptionFilter);
    LOG_INFO << "Starting zelko-plenar-agent service.";
    if (!service.ConfigWarning().empty()) {
        LOG_WARNING << service.ConfigWarning();
    }

    const std::string command = argc > 1 ? Utils::ToLower(argv[1]) : std::string();
    int exit_code = 0;
    auto fail = [&](const std::string& what) {
        std::cerr << kServiceName << ": " << what << std::endl;
        exit_code = 1;
    };
    if (command == "install") {
        service.SvcRemoveService(false);
        SleepSteady(std::chrono::seconds(2));
        if (!service.SvcInstallService()) fail("install failed: " + service.LastShellFailure());
    } else if (command == "remove") {
        if (!service.SvcRemoveService()) fail("remove failed: " + service.LastShellFailure());
    } else if (!platform::StartServiceCtrlDispatcher(kServiceName, [&service] { service.SvcMain(); })) {
        const uint32_t error = platform::GetLastError();
        service.ReportServiceError("StartServiceCtrlDispatcher");
        LOG_ERROR << "StartServiceCtrlDispatcher failed with " << error;
        fail("StartServiceCtrlDispatcher failed with " + std::to_string(error) + ": " +
             GetErrorMessage(error));
    } else {
        // A stop with an error code is a failure for the service manager as well.
        const platform::ServiceStatus status = service.LastReportedStatus();
        if (status.dwCurrentState == platform::kServiceStopped && status.dwWin32ExitCode != 0) exit_code = 1;
    }
    return exit_code;
}

}  // namespace zelko::plenar::agent
