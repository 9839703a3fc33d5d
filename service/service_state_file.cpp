// The service's persisted state, the one-time purge of the policy state files, the restriction and
// the do-not-call-home decision, as members of the Service.

#include <cerrno>

#include "foundation/logging.h"
#include "platform/last_error.h"
#include "outside/device_info/device_info.h"
#include "service/service.h"

namespace zelko::plenar::agent {

namespace {

// Without device information the decision reads "must not call home".
std::string DeviceProductId(const shared::device::IDeviceInfo* device) {
    if (device == nullptr) return {};
    const char* id = device->GetProductId();
    return id != nullptr ? id : "";
}

std::optional<ZelkoSpecificInfoFacts> DeviceZelkoSpecificInfo(const shared::device::IDeviceInfo* device) {
    if (device == nullptr) return std::nullopt;
    const shared::device::IZelkoSpecificInfo* info = device->GetZelkoSpecificInfo();
    if (info == nullptr) return std::nullopt;
    ZelkoSpecificInfoFacts facts;
    facts.error = static_cast<bool>(info->GetError());
    const char* build = info->GetBuildID();
    facts.build_id = build != nullptr ? build : "";
    if (const shared::device::IFeatureBytes* bytes = info->GetFeatureBytes()) {
        const char* raw = bytes->GetRawBytes();
        facts.feature_bytes = raw != nullptr ? raw : "";
    }
    return facts;
}

}  // namespace

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
    _remote_configs.SetGrantFlags(flags.prev_grant, flags.req_grant_event);
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
    inputs.product_id = [this] { return DeviceProductId(_device_info.get()); };
    inputs.specific_info = [this] { return DeviceZelkoSpecificInfo(_device_info.get()); };
    return agent::DoNotCallHome(inputs);
}

}  // namespace zelko::plenar::agent
