#pragma once

// The service's own state file beside the executable, the one-time purge of the retry-policy state
// files, the registry restriction and the decision whether the device may call home. The `Service`
// keeps the document and the flags as its members and calls these with them.

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace zelko::plenar::agent {

inline constexpr char kServiceStateFileName[] = "zelko-plenar-agent-state.json";
inline constexpr char kPolicyStateFileMarker[] = "zelko-plenar-service-state-";

// What the service knows of the device's standing: the state file and the flags decided at set-up.
struct DeviceStanding {
    std::filesystem::path _state_file_path;
    nlohmann::json _persisted_state;
    bool _is_state_reset_done = false;
    bool _tried_to_hw_attest_with_pluton = false;
    bool _is_commercial_managed = false;
    bool _has_vxm_deployer = false;
    bool _has_ss_or_te = false;
    bool _is_test_env = false;
    bool _is_vxm_managed_subscription = false;
    bool _stop_for_vxm = false;
};

// {"required_on_start_done": false}
nlohmann::json DefaultServiceState();

// The flags the service keeps in memory; each reads false when absent or not a boolean.
struct PersistedFlags {
    bool required_on_start_done = false;
    bool is_state_reset_done = false;
    bool tried_to_hw_attest_with_pluton = false;
    bool prev_grant = false;
    bool req_grant_event = false;
};
PersistedFlags ReadPersistedFlags(const nlohmann::json& document);

struct LoadedServiceState {
    bool folder_found = false;   // false: nothing was read or written, the flags stay as they are
    std::filesystem::path path;  // the state file, when the folder was found
    nlohmann::json document;     // the file's object, or the default document
};

// Reads folder/"zelko-plenar-agent-state.json". A missing, unreadable or broken file (including one
// that is valid JSON but not an object) gives the default document, which is written back at once.
// Raises only when the folder's existence cannot be determined.
LoadedServiceState LoadServiceState(const std::filesystem::path& folder);

// Writes the document with an indentation of 4 through a temporary file renamed over the old one.
// Logs and returns false when it cannot; never raises.
bool SaveServiceState(const std::filesystem::path& path, const nlohmann::json& document);

// The purge of the retry-policy state files that runs once per installation, on the first start on
// which the device has the feature "ss" or "te". True when the files are gone and the caller must
// record "is_state_reset_done"; false when nothing was to be done or it failed (both logged).
bool PurgePolicyStateFilesOnce(bool is_state_reset_done,
                               const std::function<bool(const std::string&)>& has_feature,
                               const std::filesystem::path& folder);

// HKLM "SOFTWARE\Zelko\Zelko Plenar Agent", value "ZelkoPlenarAgentRestriction" holding 1.
bool IsZelkoPlenarAgentRestrictionApplied();

// What the device-information library tells about the maker-specific information.
struct ZelkoSpecificInfoFacts {
    bool error = false;  // reading it failed
    std::string build_id;
    std::optional<std::string> feature_bytes;  // nullopt: no feature-byte object
};

struct CallHomeInputs {
    std::string stack;
    std::function<bool()> restriction_applied;
    std::function<std::string()> product_id;
    // nullopt: the library returned no maker-specific information.
    std::function<std::optional<ZelkoSpecificInfoFacts>()> specific_info;
};

// True when the service must not contact the cloud; true as well on any failure.
bool DoNotCallHome(const CallHomeInputs& inputs);

// The feature-byte codes: two characters each from the start, up to a "." that begins a code;
// the code "ry" forbids calling home.
bool FeatureBytesForbidCallHome(const std::string& feature_bytes);

}  // namespace zelko::plenar::agent
