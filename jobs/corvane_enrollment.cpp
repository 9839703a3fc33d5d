#include "jobs/corvane_enrollment.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <locale>
#include <typeinfo>

#include "connectivity/connectivity_module.h"
#include "features/feature_finder.h"
#include "features/uwp_package_manager.h"
#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils_files.h"
#include "outside/device_info/device_info.h"
#include "platform/last_error.h"
#include "platform/registry.h"

namespace zelko::plenar::agent::corvane {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;

namespace {

Json DefaultState() {
    return Json{{"zelko_ai_experience_app_first_run", true},
                {"zelko_ai_experience_app_installed", false},
                {"is_corvane_enrollment_successful", false}};
}

std::string TextOr(const char* text, const char* fallback) { return text && *text ? text : fallback; }

}  // namespace

Enrollment::Enrollment(std::shared_ptr<ConnectivityModule> connectivity, std::shared_ptr<FeatureFinder> feature_finder,
                       std::shared_ptr<shared::device::IDeviceInfo> device_info,
                       const fs::path& connectivity_config_path, const fs::path& module_config_path,
                       const std::string& stack_name, fs::path state_folder)
    : _connectivity(std::move(connectivity)),
      _feature_finder(std::move(feature_finder)),
      _device_info(std::move(device_info)),
      _state_folder(std::move(state_folder)) {
    LoadPersistedSate();
    // No built-in document for this file: missing or unreadable leaves a null configuration.
    try {
        _module_config = Utils::LoadJsonFile(module_config_path);
    } catch (const std::exception&) {
        _module_config = nullptr;
    }

    // A copy, so that missing levels read as null and end in the type error of GetEnrollmentTopic.
    Json connectivity_config = Utils::LoadConfigFile(connectivity_config_path);
    _enrollment_topic = GetEnrollmentTopic(connectivity_config["cloud"]["stacks"][stack_name]["iot"]);

    if (_feature_finder) {
        for (const auto& feature : _feature_finder->GetFeatures())
            if (feature) _features.push_back(feature->GetName());
    }

    platform::RegistryKey key;
    if (platform::RegistryKey::Open(platform::RegistryHive::LocalMachine, kConsentKey, key) == 0) {
        const std::string country = ToUtf8OrUnknown(ReadRegistryString(key, "CountryCode"));
        if (country != "unknown") _country_code = country;
        key.Close();
    }
    if (_country_code.empty()) {
        shared::os::OSInfoParams params;
        const Error error = shared::os::OSInfo::RetrieveOSInfo(&params);
        _country_code = error ? "unknown" : TextOr(params.countryCode, "unknown");
        ReleaseOSInfoParams(params);
    }
}

std::string Enrollment::SnrId() const { return _device_info ? TextOr(_device_info->GetDeviceSNRId(), "") : ""; }

Error Enrollment::Process() {
    const std::string topic = _enrollment_topic + SnrId();
    const bool has_byte = HasFeatureByte();
    const bool pipl = CheckPIPL();
    if (!has_byte || !pipl) {
        LOG_INFO << "The Corvane module is finished with no processing since, has_ss_byte: " << (has_byte ? 1 : 0)
                 << " CheckPIPL(): " << (pipl ? 1 : 0);
        return {};
    }

    if (!_enrollment_successful) {
        if (IsAIExperienceAllowed()) {
            const Json message = EnrollmentMessage();
            LOG_DEBUG << "Paylod Dump:" << message.dump();
            Error result = PubByHttp(topic, message, "The Corvane Enrollment");
            if (!result) _enrollment_successful = true;
            SavePersistedSate();
            return result;
        }
        LOG_INFO << "The Corvane Enrollment was not submitted since ai experience is not allowed";
    }
    return AppCheck(topic);
}

Error Enrollment::AppCheck(const std::string& topic) {
    bool found = false;
    try {
        found = IsAIExperienceAppInstalled();
    } catch (const std::exception& e) {
        return Error(ErrorCategory::EC_StdException, 1, e.what(), typeid(e).name(), "");
    }
    LOG_DEBUG << "Zelko AI Experience App status now is: " << (found ? "installed" : "not installed")
              << " Device SNR ID: " << SnrId() << ". The previous state "
              << (WasAppInstalled() ? "installed" : "not installed");
    const bool first_run = IsFirstRun();
    if (first_run) {
        LOG_DEBUG << "Zelko AI Experience App Detection First Run";
    }

    Error result;
    bool uninstall_owed = false;
    if (found) {
        _app_installed = true;
    } else if (WasAppInstalled() || first_run) {
        LOG_INFO << "Zelko AI Experience App uninstallation is detected, publishing message";
        const Json message = ActionMessage();
        LOG_DEBUG << "Sending uninstall payload " << message.dump();
        result = PubByHttp(topic, message, "Zelko AI Experience Uninstall");
        if (!result) _app_installed = false;
        // A failed notice of the first check stays owed: the check counts as not yet done.
        uninstall_owed = result && first_run && !_app_installed;
    } else {
        _app_installed = false;
    }
    if (!uninstall_owed) _first_run = false;
    SavePersistedSate();
    return result;
}

Json Enrollment::EnrollmentMessage() const {
    const auto* info = _device_info.get();
    Json message = {
        {"version", 1},
        {"type", "com.zelko.corvane.enrollment"},
        {"data",
         {{"deviceInfo",
           {{"platformId", info ? TextOr(info->GetBaseBoardId(), "unknown") : "unknown"},
            {"deviceUniqueId", SnrId()},
            {"serialNumber", info ? TextOr(info->GetSerialNumber(), "unknown") : "unknown"},
            {"productId", info ? TextOr(info->GetProductId(), "unknown") : "unknown"},
            {"countryCode", _country_code},
            {"languageCode", "en"}}}}},
    };
    message["data"]["deviceInfo"]["languageCode"] = DefaultLanguageCode();
    return message;
}

Json Enrollment::ActionMessage() const {
    return Json{{"version", 1},
                {"type", "com.zelko.corvane.action"},
                {"data", {{"deviceInfo", {{"deviceUniqueId", SnrId()}}}, {"actionInfo", {{"action", "uninstall"}}}}}};
}

Error Enrollment::PubByHttp(const std::string& topic, const Json& message, const std::string& label) {
    const shared::iot::IoTResult result =
        _connectivity ? _connectivity->PubByHttp(topic, message.dump())
                      : shared::iot::IoTResult{0, 0, {}, Error(ErrorCategory::EC_Component, 0, "no connectivity module",
                                                               "", "CorvaneEnrollment")};
    const bool failed = (result.httpCode != 0 && result.httpCode != 200) || result.iotCode != 0 || result.error;
    if (failed) {
        Error error = result.error ? result.error
                                   : Error(ErrorCategory::EC_Component, result.httpCode,
                                           "Server result code indicates error ", "int", "CorvaneEnrollment");
        LOG_ERROR << label << " failed with code: " << agent::error::ErrorToString(error);
        return error;
    }
    LOG_INFO << label << " message was submitted successfully";
    return {};
}

bool Enrollment::HasFeatureByte() {
    for (const auto& name : _features)
        if (name == "ss" || name == "te") return true;
    return false;
}

bool Enrollment::CheckPIPL() {
    bool required = false, allowed = false;
    for (const auto& name : _features) {
        required = required || name == "TransferOutConsentRequired";
        allowed = allowed || name == "AllowTransferOutOfCountry";
    }
    return !required || allowed;
}

bool Enrollment::IsAIExperienceAllowed() {
    platform::RegistryKey key;
    const uint32_t error = platform::RegistryKey::Open(platform::RegistryHive::LocalMachine, kConsentKey, key);
    if (error != 0) {
        LOG_WARNING << "Corvane Enrollment: Cannot open the registry key - GetLastError: " << error;
        return false;
    }
    const std::string value = ToUtf8OrUnknown(ReadRegistryString(key, "AllowAIExperience"));
    key.Close();
    // "Unkown" (0), "Rejected" (1), "Accepted" (2); anything else counts as 0.
    return value == "Accepted";
}

bool Enrollment::IsAIExperienceAppInstalled() {
    const std::string name = _module_config.value("app_name", std::string("K7W3N9Q2.ZelkoAIExperienceCenter"));
    const std::string family = _module_config.value("app_family", std::string("q4m7x2rt9bw3k"));
    return UWPPackageManager::IsPackageInstalledForCurrentUser(family, name);
}

std::string Enrollment::GetEnrollmentTopic(const Json& iot) {
    return iot.value("corvaneEnrollmentTopic", std::string(kDefaultEnrollmentTopic));
}

std::string Enrollment::ReadRegistryString(const platform::RegistryKey& key, const std::string& value_name) {
    platform::RegistryValue value;
    if (key.QueryValue(value_name, value) != 0) return "unknown";
    if (value.type == platform::kRegSz) return value.data.substr(0, value.data.find('\0'));
    if (value.type == platform::kRegDword) {
        if (value.data.size() < 4) return "unknown";
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<uint8_t>(value.data[i]);
        char text[64];
        std::snprintf(text, sizeof text, "%f", static_cast<double>(std::ceil(static_cast<float>(number * 0.01))));
        return text;
    }
    return "";
}

std::string Enrollment::ToUtf8OrUnknown(const std::string& text) {
    if (text == "unknown") return text;
    std::string cut = text.substr(0, text.find('\0'));
    return cut.empty() ? "unknown" : cut;
}

void Enrollment::ReleaseOSInfoParams(shared::os::OSInfoParams& params) {
    for (char** text : {&params.name, &params.version, &params.build, &params.edition, &params.architecture,
                        &params.prettyName, &params.machineName, &params.language, &params.locale,
                        &params.countryCode}) {
        std::free(*text);
        *text = nullptr;
    }
}

std::string Enrollment::DefaultLanguageCode() {
    std::string name;
    try {
        name = std::locale("").name();
    } catch (const std::exception&) {
        return "unknown";
    }
    // "de_DE.UTF-8" and the like; "C" and "POSIX" name no language.
    const std::string language = name.substr(0, name.find_first_of("_.@"));
    if (language.size() < 2 || language.size() > 3 || language == "C" || language == "POSIX") return "unknown";
    for (char c : language)
        if (c < 'a' || c > 'z') return "unknown";
    return language;
}

void Enrollment::LoadPersistedSate() {
    _state = DefaultState();
    fs::path folder = _state_folder.empty() ? Utils::GetExecutableDirectory() : _state_folder;
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) {
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << (ec ? ec.value() : 2);
        return;
    }
    _state_path = folder / kStateFileName;

    std::ifstream in(_state_path, std::ios::binary);
    bool loaded = false;
    if (!in) {
        LOG_VERBOSE << "Cannot open the state config file (" << _state_path.string()
                    << ") - GetLastError: " << errno;
    } else {
        try {
            _state = Json::parse(in);
            if (!_state.is_object()) throw std::runtime_error("the state is not a JSON object");
            loaded = true;
        } catch (const std::exception& e) {
            LOG_VERBOSE << "Cannot load the state config file (" << _state_path.string() << ") - GetLastError: 0";
            LOG_VERBOSE << e.what();
            _state = DefaultState();
        }
    }
    if (!loaded) SavePersistedSate();
    const std::string document = _state_path.string();
    _first_run = Settings::Bool(_state, document, "zelko_ai_experience_app_first_run", true);
    _app_installed = Settings::Bool(_state, document, "zelko_ai_experience_app_installed", false);
    _enrollment_successful = Settings::Bool(_state, document, "is_corvane_enrollment_successful", false);
}

void Enrollment::SavePersistedSate() {
    if (_state.is_object()) {
        _state["zelko_ai_experience_app_first_run"] = _first_run;
        _state["zelko_ai_experience_app_installed"] = _app_installed;
        _state["is_corvane_enrollment_successful"] = _enrollment_successful;
    }
    // Written whole to a temporary file first, so a stop midway leaves the old state.
    const fs::path temp = _state_path.empty() ? fs::path() : fs::path(_state_path.string() + ".tmp");
    std::ofstream out;
    if (!temp.empty()) out.open(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: "
                  << (temp.empty() ? platform::kErrorFileNotFound : platform::ErrorFromErrno(errno));
        return;
    }
    out << _state.dump(4);
    out.close();
    std::error_code ec;
    if (!out || (fs::rename(temp, _state_path, ec), ec)) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: "
                  << platform::ErrorFromErrno(ec ? ec.value() : errno);
        fs::remove(temp, ec);
    }
}

}  // namespace zelko::plenar::agent::corvane
