#pragma once

// Enrollment with the maker's AI-experience service, and the notice that its store app was
// removed. Both messages go over HTTP to <enrollment topic><device SNR id>; three flags in
// "zelko-corvane-state.json" remember what has been done.

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "outside/error/error.h"
#include "outside/os_info/os_info.h"

namespace zelko::shared::device {
class IDeviceInfo;
}
namespace zelko::platform {
class RegistryKey;
}

namespace zelko::plenar::agent {
class ConnectivityModule;
class FeatureFinder;
}  // namespace zelko::plenar::agent

namespace zelko::plenar::agent::corvane {

inline constexpr const char* kStateFileName = "zelko-corvane-state.json";
inline constexpr const char* kDefaultEnrollmentTopic = "$aws/rules/zelko_corvane_enrollment/";
inline constexpr const char* kConsentKey = "Software\\Policies\\Zelko\\Consent";

class Enrollment {
  public:
    // state_folder: where the state file lives; empty means the executable's folder. Raises the
    // JSON type error when the connectivity configuration has no "iot" object for the stack, or
    // when the state file holds JSON that is not an object.
    Enrollment(std::shared_ptr<ConnectivityModule> connectivity, std::shared_ptr<FeatureFinder> feature_finder,
               std::shared_ptr<shared::device::IDeviceInfo> device_info,
               const std::filesystem::path& connectivity_config_path, const std::filesystem::path& module_config_path,
               const std::string& stack_name, std::filesystem::path state_folder = {});
    virtual ~Enrollment() = default;

    // One pass; an empty Error is success. Errors of the package query other than standard
    // exceptions pass out to the caller.
    shared::error::Error Process();

    // The device has a feature "ss" or "te".
    virtual bool HasFeatureByte();
    virtual void LoadPersistedSate();
    virtual void SavePersistedSate();
    virtual bool IsFirstRun() { return _first_run; }
    virtual bool WasAppInstalled() { return _app_installed; }
    virtual bool IsEnrollmentSuccessful() { return _enrollment_successful; }
    virtual bool IsAIExperienceAppInstalled();
    // False only when transfer-out consent is required and not given.
    virtual bool CheckPIPL();
    // The consent value "AllowAIExperience" is exactly "Accepted".
    virtual bool IsAIExperienceAllowed();
    virtual shared::error::Error PubByHttp(const std::string& topic, const nlohmann::json& message,
                                           const std::string& label);

    // "corvaneEnrollmentTopic" of the "iot" object, or the built-in default; raises the JSON type
    // error for a value that is not an object.
    static std::string GetEnrollmentTopic(const nlohmann::json& iot);
    // A registry value as text: REG_SZ up to its first NUL; REG_DWORD d as ceil(d * 0.01) with six
    // decimals; "unknown" when it cannot be read; empty for other types.
    static std::string ReadRegistryString(const platform::RegistryKey& key, const std::string& value_name);
    static std::string ToUtf8OrUnknown(const std::string& text);
    static void ReleaseOSInfoParams(shared::os::OSInfoParams& params);
    // Two-letter language of the system's default locale, or "unknown".
    static std::string DefaultLanguageCode();

    const std::string& country_code() const { return _country_code; }
    const std::string& enrollment_topic() const { return _enrollment_topic; }
    const std::filesystem::path& state_path() const { return _state_path; }

  protected:
    // For test doubles of the service: no files, no features.
    Enrollment() = default;

  private:
    nlohmann::json EnrollmentMessage() const;
    nlohmann::json ActionMessage() const;
    std::string SnrId() const;
    shared::error::Error AppCheck(const std::string& topic);

    std::shared_ptr<ConnectivityModule> _connectivity;
    std::shared_ptr<FeatureFinder> _feature_finder;
    std::shared_ptr<shared::device::IDeviceInfo> _device_info;
    std::string _country_code;
    std::string _enrollment_topic;
    std::vector<std::string> _features;
    nlohmann::json _module_config;
    nlohmann::json _state;
    std::filesystem::path _state_folder;
    std::filesystem::path _state_path;
    bool _first_run = true;
    bool _app_installed = false;
    bool _enrollment_successful = false;
};

}  // namespace zelko::plenar::agent::corvane
