// The service's persisted state, the one-time purge of the policy state files, the restriction and
// the do-not-call-home decision, as members of the Service.

#include <cerrno>

#include "foundation/logging.h"
#include "platform/last_error.h"
#include "service/service.h"

namespace zelko::plenar::agent {

void Service::LoadPersistedSate() {
    LoadedServiceState loaded = LoadServiceState(ExecutableFolder());
    _persisted_state = std::move(loaded.document);
    // Without the folder nothing was read: the flags keep what they hold.
    if (!loaded.folder_found) return;
    _state_file_path = loaded.path;
    const PersistedFlags flags = ReadPersistedFlags(_persisted_state);
    _required_on_start_done.store(flags.required_on_start_done);
    _is_state_reset_done = flags.is_state_reset_done;
    _tried_to_hw_attest_with_pluton = flags.tried_to_hw_attest_with_pluton;
    _prev_grant = flags.prev_grant;
    _req_grant_event = flags.req_grant_event;
}

void Service::SavePersistedSate() {
    if (_state_file_path.empty()) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: " << platform::ErrorFromErrno(ENOENT);
        return;
    }
    SaveServiceState(_state_file_path, _persisted_state);
}

bool Service::IsZelkoPlenarAgentRestrictionApplied() { return agent::IsZelkoPlenarAgentRestrictionApplied(); }

void Service::ResetState() {
    if (!PurgePolicyStateFilesOnce(
            _is_state_reset_done, [this](const std::string& name) { return HasFeature(name); },
            ExecutableFolder())) {
        return;
    }
    _is_state_reset_done = true;
    _persisted_state["is_state_reset_done"] = true;
    SavePersistedSate();
}

bool Service::DoNotCallHome() {
    CallHomeInputs inputs;
    inputs.stack = _stack;
    inputs.restriction_applied = [this] { return IsZelkoPlenarAgentRestrictionApplied(); };
    inputs.product_id = [this] { return DeviceProductId(); };
    inputs.specific_info = [this] { return DeviceZelkoSpecificInfo(); };
    return agent::DoNotCallHome(inputs);
}

// The outside device-information library arrives with the module set-up; until then there is no
// device information, which the decision reads as "must not call home".
std::string Service::DeviceProductId() { return {}; }

std::optional<ZelkoSpecificInfoFacts> Service::DeviceZelkoSpecificInfo() { return std::nullopt; }

}  // namespace zelko::plenar::agent
