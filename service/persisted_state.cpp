#include "service/persisted_state.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "foundation/logging.h"
#include "foundation/settings.h"
#include "platform/file_replace.h"
#include "platform/last_error.h"
#include "platform/registry.h"

namespace zelko::plenar::agent {

namespace {

// A flag the file lacks is clear; one of another type is clear too, logged by the typed reader.
bool FlagOf(const nlohmann::json& document, const char* key) {
    if (!Settings::Has(document, key)) return false;
    return Settings::Bool(document, "zelko-plenar-agent-state.json", key, false);
}

}  // namespace

nlohmann::json DefaultServiceState() { return nlohmann::json{{"required_on_start_done", false}}; }

PersistedFlags ReadPersistedFlags(const nlohmann::json& document) {
    PersistedFlags flags;
    if (!document.is_object()) return flags;
    flags.required_on_start_done = FlagOf(document, "required_on_start_done");
    flags.is_state_reset_done = FlagOf(document, "is_state_reset_done");
    flags.tried_to_hw_attest_with_pluton = FlagOf(document, "tried_to_hw_attest_with_pluton");
    flags.prev_grant = FlagOf(document, "prev_grant");
    flags.req_grant_event = FlagOf(document, "req_grant_event");
    return flags;
}

LoadedServiceState LoadServiceState(const std::filesystem::path& folder) {
    LoadedServiceState loaded;
    loaded.document = DefaultServiceState();
    if (folder.empty() || !std::filesystem::exists(folder)) {
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << platform::ErrorFromErrno(errno);
        return loaded;
    }
    loaded.folder_found = true;
    loaded.path = folder / kServiceStateFileName;

    bool parsed = false;
    std::ifstream in(loaded.path, std::ios::binary);
    if (in) {
        try {
            nlohmann::json document = nlohmann::json::parse(in);
            if (!document.is_object()) throw std::runtime_error("the state document is not a JSON object");
            loaded.document = std::move(document);
            parsed = true;
        } catch (const std::exception& e) {
            LOG_VERBOSE << "Cannot load the state config file (" << loaded.path.string()
                        << ") - GetLastError: " << platform::ErrorFromErrno(errno);
            LOG_VERBOSE << e.what();
            loaded.document = DefaultServiceState();
        }
    } else {
        LOG_VERBOSE << "Cannot open the state config file (" << loaded.path.string()
                    << ") - GetLastError: " << platform::ErrorFromErrno(errno);
    }
    in.close();
    if (!parsed) SaveServiceState(loaded.path, loaded.document);
    return loaded;
}

bool SaveServiceState(const std::filesystem::path& path, const nlohmann::json& document) {
    try {
        // Written through a renamed temporary file: a crash during the write never leaves half a file.
        if (platform::ReplaceFileContent(path, document.dump(4)) != platform::FileReplace::Ok) {
            LOG_ERROR << "Cannot save the state config file - GetLastError: "
                      << platform::ErrorFromErrno(errno);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        LOG_ERROR << "Cannot save the state config file - GetLastError: " << platform::ErrorFromErrno(errno)
                  << " " << e.what();
        return false;
    }
}

bool PurgePolicyStateFilesOnce(bool is_state_reset_done,
                               const std::function<bool(const std::string&)>& has_feature,
                               const std::filesystem::path& folder) {
    try {
        if (is_state_reset_done) {
            LOG_INFO << "No state reset needed.";
            return false;
        }
        if (!has_feature("ss") && !has_feature("te")) {
            LOG_INFO << "No state reset needed. No ss or te feature found.";
            return false;
        }
        if (folder.empty() || !std::filesystem::exists(folder)) {
            LOG_WARNING << "No state folder found.";
            return false;
        }
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.is_directory()) continue;
            const std::string name = entry.path().filename().string();
            const bool json = name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
            if (json && name.find(kPolicyStateFileMarker) != std::string::npos) {
                std::filesystem::remove(entry.path());
            }
        }
        return true;
    } catch (const std::exception& e) {
        LOG_ERROR << "ResetState failed with: " << e.what();
        return false;
    }
}

bool IsZelkoPlenarAgentRestrictionApplied() {
    platform::RegistryKey key;
    const int32_t opened = platform::RegistryKey::Open(platform::RegistryHive::LocalMachine,
                                                       "SOFTWARE\\Zelko\\Zelko Plenar Agent", key);
    if (opened != platform::kErrorSuccess) {
        LOG_WARNING << "IsZelkoPlenarAgentRestrictionApplied failed to open the regestry key with code: "
                    << opened;
        return false;
    }
    bool restricted = false;
    platform::RegistryValue value;
    if (key.QueryValue("ZelkoPlenarAgentRestriction", value) != platform::kErrorSuccess ||
        value.data.size() > 4) {
        LOG_WARNING << "IsZelkoPlenarAgentRestrictionApplied is not present in regestry";
    } else {
        // The value's four bytes as a little-endian number, whatever its registry type.
        uint8_t bytes[4] = {0, 0, 0, 0};
        std::memcpy(bytes, value.data.data(), value.data.size());
        const uint32_t number =
            bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
        restricted = number == 1;
    }
    key.Close();
    return restricted;
}

bool FeatureBytesForbidCallHome(const std::string& feature_bytes) {
    for (size_t i = 0; i < feature_bytes.size(); i += 2) {
        if (feature_bytes[i] == '.') break;
        if (feature_bytes.compare(i, 2, "ry") == 0) return true;
    }
    return false;
}

bool DoNotCallHome(const CallHomeInputs& inputs) {
    auto ended_true = [] {
        LOG_DEBUG << "DoNotCallHome check ended as true";
        return true;
    };
    LOG_DEBUG << "DoNotCallHome check starting";
    try {
        if (inputs.stack == "pie" || inputs.stack == "dev") {
            LOG_INFO << "Stack is pie or dev - DoNotCallHome check ended as false";
            return false;
        }
        if (inputs.restriction_applied()) return ended_true();
        if (inputs.product_id().empty()) return ended_true();
        const auto info = inputs.specific_info();
        if (!info || info->error) {
            LOG_ERROR << "Could not read Zelko specific info";
            return ended_true();
        }
        if (!info->feature_bytes || info->build_id.empty()) {
            LOG_ERROR << "Could not read feature byte or build id";
            return ended_true();
        }
        if (info->feature_bytes->empty()) {
            LOG_ERROR << "Feature byte is empty";
            return ended_true();
        }
        if (FeatureBytesForbidCallHome(*info->feature_bytes)) return ended_true();
        LOG_DEBUG << "DoNotCallHome check ended as false";
        return false;
    } catch (...) {
        LOG_ERROR << "Exception checking DoNotCallHome, defaulting to DoNotCallHome";
        return ended_true();
    }
}

}  // namespace zelko::plenar::agent
