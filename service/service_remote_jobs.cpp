// The service's side of the remote jobs task: what the jobs read of the states and the
// configuration.
#include "connectivity/connectivity_module.h"
#include "service/service.h"

namespace zelko::plenar::agent {

RemoteJobs::Host Service::RemoteJobsHost() {
    RemoteJobs::Host host;
    host.state_allows = [this] {
        const std::string state = CurrentStateName();
        if (state.empty()) return false;
        if (state == Processing.name) return true;
        return state == RequiredOnStarting.name && _modules.conn_module && _modules.conn_module->isCorvaneDevice;
    };
    host.stopping = [this] { return _stopping.load(); };
    host.send_event = [this](uint32_t control, const std::string& text) {
        SendEventToModules(control, 0, text.c_str(), text.size() + 1);
    };
    host.agent_config_of = [this](const nlohmann::json& document) { return _remote_configs.AgentConfigOf(document); };
    host.next_delay = [this](int64_t& ticks) { return RemoteJobsProcessing.GetNextDelay(ticks); };
    host.config_folder = [this] { return _config_folder; };
    return host;
}

void Service::BindRemoteJobs() { RemoteJobsProcessing.Perform = [this] { _remote_jobs.Perform(); }; }

}  // namespace zelko::plenar::agent
