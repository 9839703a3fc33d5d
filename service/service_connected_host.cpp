// The service's side of the connected road: the connectivity calls, the machine work of
// RequiredOnStarting, and the hooks into the remote configurations and the connection notices.

#include <filesystem>
#include <mutex>
#include <string>

#include "connectivity/connectivity_module.h"
#include "consent/consent_bridge.h"
#include "foundation/logging.h"
#include "outside/device_info/device_info.h"
#include "platform/paths.h"
#include "platform/process_modules.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {

using shared::error::Error;

constexpr char kExecutorImage[] = "zelko-plugin-executor.exe";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The image name of the plug-in executor, without regard to case. The Linux build of the program
// carries no ".exe", so the bare name counts too; nothing else does.
bool IsExecutorImage(const std::string& path) {
    const std::string name = Lower(std::filesystem::path(path).filename().string());
    return name == kExecutorImage || name == std::string(kExecutorImage, sizeof(kExecutorImage) - 5);
}

// Before module set-up there is no connectivity module; the states then back off like any failure.
Error NoConnectivity() {
    return Error(shared::error::ErrorCategory::EC_Component, 1, "connectivity module not initialised", "int",
                 "zelko-plenar-agent-service.exe");
}

}  // namespace

// ---- seams over the connectivity module and the machine ----

Error Service::IotGetCredentials(bool reset_device) {
    if (!_modules.conn_module) return NoConnectivity();
    return _modules.conn_module->GetCredentials(reset_device);
}

Error Service::IotConnect() {
    if (!_modules.conn_module) return NoConnectivity();
    return _modules.conn_module->ConnectToIot();
}

void Service::IotResetEnrollment() {
    if (_modules.conn_module) _modules.conn_module->ResetEnrollment();
}

bool Service::IotCredentialsReady() { return _modules.conn_module && _modules.conn_module->IsCredentialsReady(); }

std::filesystem::path Service::TelemetryDataFolder() const {
    return platform::ProgramDataFolder() / "zelko" / "Telemetry" / "data";
}

bool Service::RemoveTelemetryData(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    if (error) {
        LOG_DEBUG << "Removing " << folder.string() << " failed: " << error.message();
    }
    return !error;
}

bool Service::KillPluginExecutor() {
    const auto ids = platform::ListProcessIds();
    return ids && KillExecutorAmong(*ids);
}

bool KillExecutorAmong(const std::vector<int>& pids) {
    for (const int pid : pids) {
        const auto image = platform::ProcessImagePath(pid);
        if (!image || !IsExecutorImage(*image)) continue;
        // The first executor that can be ended; one that cannot is passed over like the others.
        if (platform::TerminateProcessById(pid)) {
            LOG_INFO << "Stopped the plug-in executor, process " << pid;
            return true;
        }
    }
    return false;
}

// ---- the connected road's hooks ----

void Service::ScheduleConnectionTransition() {
    if (_scheduler.destroyed.load()) return;
    _connected->ScheduleConnectionTransition();
}

void Service::HookConnectionNotices(ConnectivityModule& module) {
    // The module reads them under this lock when a publish reconnects.
    std::lock_guard lock(module.iotLock);
    module.connectSuccessCallback = &Service::NotifyAgentOnConnectSuccess;
    module.resumeCallback = &Service::NotifyAgentOnResumeCallback;
    module.disconnectCallback = &Service::NotifyAgentOnDisconnectCallback;
    module.interruptCallback = &Service::NotifyAgentOnConnectionInterruptCallback;
    module.callbackContext = this;
}

RemoteConfigs::Host Service::RemoteConfigsHost() {
    RemoteConfigs::Host host;
    host.is_current = [this](const char* state) { return IsCurrentState(state); };
    auto state_named = [this](const std::string& name) -> ServiceState& {
        return name == "GettingIotCreds" ? GettingIotCreds : Discovery;
    };
    host.set_state = [this, state_named](const char* state) { SetState(state_named(state)); };
    host.next_delay = [state_named](const char* state, int64_t& ticks) { state_named(state).GetNextDelay(ticks); };
    host.run_on_network = [this](std::function<void()> work) { RequestToRunOnNetwork(std::move(work)); };
    host.credentials_ready = [this] { return IotCredentialsReady(); };
    host.reset_enrollment = [this] { IotResetEnrollment(); };
    host.require_reenrollment = [this] { _enrollment->RequireReenrollment(); };
    host.config_string = [this](const char* key, const std::string& default_value) {
        return ConfigString(key, default_value);
    };
    host.policies_subscribed = [this] {
        if (_corvane_enrollment_started) return;
        _corvane_enrollment_started = true;
        _scheduler.In(Duration::zero(), [this] { _feedback.CorvaneEnrollment().Perform(); });
    };
    host.send_event = [this](uint32_t control, const void* data, uint64_t size) {
        SendEventToModules(control, 0, data, size);
    };
    host.schedule_connection_transition = [this] { ScheduleConnectionTransition(); };
    host.device_snr = [this] { return _device_info ? std::string(_device_info->GetDeviceSNRId()) : std::string(); };
    host.executable_folder = [this] { return ExecutableFolder(); };
    host.retry_config = [this] { return _retry_config; };
    host.save_grant_flags = [this](bool prev_grant, bool req_grant_event) {
        _persisted_state["prev_grant"] = prev_grant;
        _persisted_state["req_grant_event"] = req_grant_event;
        SavePersistedSate();
    };
    return host;
}

}  // namespace zelko::plenar::agent
