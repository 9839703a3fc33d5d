#include "jobs/vev_e_module.h"

#include <cstring>
#include <system_error>

#include "config/config_service.h"
#include "foundation/default_configs.h"
#include "foundation/logging.h"
#include "foundation/string_list.h"
#include "foundation/utils_files.h"

namespace zelko::plenar::agent {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

const DefaultConfigTable& ModuleDefaults() {
    static const DefaultConfigTable table = {
        {"vev-e-module-config.json", R"({
    "type": "VevE Module json config",
    "feature_overrides": {
        "bkc": {
            "enable_grants": ["zelko.com/corvane", "zelko.com/bkc"],
            "disable_grants": ["zelko.com/bkc"]
        }
    }
})"},
    };
    return table;
}

const Json& GrantsFallback() {
    static const Json document = Json::parse(R"({"data":{"grants":[]}})");
    return document;
}

const Json& PoliciesFallback() {
    static const Json document = Json::parse(R"({"data":{"preferenceInfo":{}}})");
    return document;
}

// "feature_overrides" → "bkc" → key as a list of texts; raises the JSON error otherwise.
std::vector<std::string> ReadGrantList(const Json& config, const char* key) {
    return config.at("feature_overrides").at("bkc").at(key).get<std::vector<std::string>>();
}

}  // namespace

SharedConfigFile::SharedConfigFile(std::string name, const fs::path& folder, const std::string& subfolder,
                                   const std::string& config_name)
    : name(std::move(name)),
      path(folder / subfolder / (config_name + "-config.json")),
      event_name(config_name + "_kvrt_event_"),
      mutex_name("kvrt_" + subfolder + "_" + config_name + "_mutex") {
    int error = 0;
    event = platform::NamedEvent::Create(event_name, false, &error);
    if (!event) throw std::system_error(error, std::system_category(), "Failed CreateEvent for:" + event_name);
}

VevEModule::VevEModule(fs::path config_path, fs::path folder, std::string subfolder, std::string grants_config_name,
                       std::string primary_grants_name, std::string policies_config_name,
                       std::string primary_policies_name, std::weak_ptr<config::ConfigService> config_service,
                       std::chrono::milliseconds mutex_timeout)
    : _config_path(std::move(config_path)),
      _folder(std::move(folder)),
      _subfolder(std::move(subfolder)),
      _grants_config_name(std::move(grants_config_name)),
      _primary_grants_name(std::move(primary_grants_name)),
      _policies_config_name(std::move(policies_config_name)),
      _primary_policies_name(std::move(primary_policies_name)),
      _config_service(std::move(config_service)),
      _enable_grants{kCorvaneGrant, kBkcGrant},
      _disable_grants{kBkcGrant},
      _mutex_timeout(mutex_timeout) {
    _files.emplace_back("Grants", _folder, _subfolder, _grants_config_name);
    _files.emplace_back("Policy", _folder, _subfolder, _policies_config_name);

    const Json config = Utils::LoadConfigFile(_config_path, false, "sub", ModuleDefaults());
    try {
        _enable_grants = ReadGrantList(config, "enable_grants");
    } catch (const std::exception& e) {
        LOG_ERROR << "VevEModule: Invalid config file: " << e.what()
                  << " Use default grants to enable BKC: " << WriteStringList(_enable_grants);
    }
    try {
        _disable_grants = ReadGrantList(config, "disable_grants");
    } catch (const std::exception& e) {
        LOG_ERROR << "VevEModule: Invalid config file: " << e.what()
                  << " Use default grants to disable BKC: " << WriteStringList(_disable_grants);
    }

    CopyToPrimary(_grants_config_name, _primary_grants_name);
    CopyToPrimary(_policies_config_name, _primary_policies_name);
}

void VevEModule::CopyToPrimary(const std::string& config_name, const std::string& primary_name) const {
    const fs::path dir = _folder / _subfolder;
    const fs::path source = dir / (config_name + "-config.json");
    const fs::path primary = dir / (primary_name + "-config.json");
    if (fs::exists(source) && !fs::exists(primary)) fs::copy_file(source, primary);
}

void VevEModule::Process(Event& event) {
    if (event.dwControl != VevEBkcEnable && event.dwControl != VevEBkcDisable && event.dwControl != VevEPolicies)
        return;
    // A document of the wrong shape ends this event only; the next one is handled as usual.
    try {
        HandleEvent(event);
    } catch (const std::exception& e) {
        LOG_ERROR << "VevEModule: event " << event.dwControl << " failed: " << e.what();
    }
}

void VevEModule::HandleEvent(Event& event) {
    switch (event.dwControl) {
        case VevEBkcEnable: {
            LOG_INFO << "VevEModule: GrantEnableVevEBkcEvent";
            Json document = GetGrantsConfig();
            RemoveGrants(document, _disable_grants);
            AddGrants(document, _enable_grants);
            SaveConfigFile(0, document);
            break;
        }
        case VevEBkcDisable: {
            LOG_INFO << "VevEModule: GrantDisableVevEBkcEvent";
            Json document = GetGrantsConfig();
            RemoveGrants(document, _disable_grants);
            SaveConfigFile(0, document);
            break;
        }
        case VevEPolicies: {
            std::string text;
            if (event.lpEventData) {
                const char* data = reinterpret_cast<const char*>(event.lpEventData);
                text.assign(data, ::strnlen(data, event.dataSize));
            }
            LOG_INFO << "VevEModule: Updating policy " << text;
            SaveConfigFile(1, GetPoliciesConfig());
            break;
        }
        default:
            break;
    }
}

Json VevEModule::ConfigOrFallback(const std::string& name, const Json& fallback) const {
    if (auto service = _config_service.lock()) {
        if (auto config = service->GetConfig(name)) return config->GetConfig();
    }
    return fallback;
}

Json VevEModule::GetGrantsConfig() const { return ConfigOrFallback(_grants_config_name, GrantsFallback()); }

Json VevEModule::GetPoliciesConfig() const { return ConfigOrFallback(_policies_config_name, PoliciesFallback()); }

void VevEModule::AddGrants(Json& document, const std::vector<std::string>& grants) {
    Json& list = document["data"]["grants"];
    for (const auto& grant : grants) {
        bool present = false;
        if (list.is_array()) {
            for (const auto& element : list) present = present || element == grant;
        }
        if (!present) list.push_back(grant);
    }
}

void VevEModule::RemoveGrants(Json& document, const std::vector<std::string>& grants) {
    if (!document.is_object()) return;
    auto data = document.find("data");
    if (data == document.end() || !data->is_object()) return;
    auto list = data->find("grants");
    if (list == data->end() || !list->is_array()) return;
    for (const auto& grant : grants) {
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (*it == grant) {
                list->erase(it);
                break;
            }
        }
    }
}

void VevEModule::SaveConfigFile(size_t index, const Json& document) {
    SharedConfigFile& file = _files.at(index);
    LOG_INFO << "VevEModule: " << file.name << ": saving config to file: " << file.path.string();

    uint32_t error = 0;
    auto mutex = platform::NamedMutex::Open(file.mutex_name, &error);
    if (!mutex) mutex = platform::NamedMutex::Create(file.mutex_name, &error);
    if (!mutex) {
        LOG_ERROR << "VevEModule: Failed saving " << file.name << ": could not create mutex: " << file.mutex_name
                  << ". Error: " << error;
        return;
    }
    // The handle closes when `mutex` goes, on every path.
    switch (mutex->Wait(_mutex_timeout, &error)) {
        case platform::MutexWait::Acquired:
            LOG_DEBUG << "VevEModule: " << file.name << ": signaled mutex: " << file.mutex_name;
            try {
                // The folder may not exist yet on a fresh device; a failure shows in the save's log.
                std::error_code ignored;
                fs::create_directories(file.path.parent_path(), ignored);
                Utils::SaveJsonFile(file.path, document);
                if (!file.event->Set(nullptr)) {
                    LOG_ERROR << "VevEModule: " << file.name << ": could not set event: " << file.event_name;
                }
            } catch (...) {
                mutex->Release();
                throw;
            }
            mutex->Release();
            break;
        case platform::MutexWait::Abandoned:
            LOG_ERROR << "VevEModule: Failed saving " << file.name << ": abandoned mutex: " << file.mutex_name;
            mutex->Release();
            break;
        case platform::MutexWait::TimedOut:
            LOG_ERROR << "VevEModule: Failed saving " << file.name << ": timed out mutex: " << file.mutex_name;
            break;
        case platform::MutexWait::Failed:
            LOG_ERROR << "VevEModule: Failed saving " << file.name << ": unexpected wait result: " << error
                      << " for mutex : " << file.mutex_name;
            break;
    }
}

}  // namespace zelko::plenar::agent
