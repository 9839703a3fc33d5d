#include "consent/consent_manager.h"

#include <exception>

#include "foundation/logging.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

std::string GetErrorMessageUtf8(uint32_t code) {
    std::string text = platform::FormatSystemMessage(code);
    if (text.empty())
        text = "The system cannot find message text for error code " + std::to_string(code) + "\r\n";
    return text;
}

std::string ConsentManager::ReadRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                               const std::string& valueName) {
    try {
        platform::RegistryKey key;
        uint32_t status = platform::RegistryKey::Open(hive, subKey, key);
        if (status != platform::kErrorSuccess) {
            LOG_ERROR << "Failed to RegOpenKeyExA keyTop key " << subKey << " subKey " << valueName << ": "
                      << GetErrorMessageUtf8(status);
            return "";
        }
        platform::RegistryValue value;
        status = key.QueryValue(valueName, value);
        if (status != platform::kErrorSuccess) {
            LOG_ERROR << "Failed to RegQueryValueExA key " << subKey << " subKey " << valueName << ": "
                      << GetErrorMessageUtf8(status);
            return "";
        }
        auto text = platform::RegistryValueText(value);
        if (!text) {
            LOG_ERROR << "Consent bridge module unsupported registry type: " << value.type;
            return "";
        }
        return *text;
    } catch (const std::exception& e) {
        LOG_ERROR << "Consent bridge module exception while reading registry: " << e.what();
    } catch (...) {
        LOG_ERROR << "Consent bridge module exception while reading registry";
    }
    return "";
}

int32_t ConsentManager::WriteRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                            const std::string& valueName, const std::string& value) {
    platform::RegistryKey key;
    uint32_t status = platform::RegistryKey::Create(hive, subKey, key);
    if (status != platform::kErrorSuccess) {
        LOG_ERROR << "Consent Module: failed to Write the value: " << value
                  << " to the subkey : " << valueName
                  << " with an error code: " << GetErrorMessageUtf8(status);
        return static_cast<int32_t>(status);
    }
    return static_cast<int32_t>(key.SetStringValue(valueName, value));
}

int32_t ConsentManager::WriteRegistrySubKeys(platform::RegistryHive hive, const std::string& subKey,
                                             const std::vector<std::pair<std::string, std::string>>& values) {
    platform::RegistryKey key;
    uint32_t status = platform::RegistryKey::Create(hive, subKey, key);
    if (status == platform::kErrorSuccess) {
        std::vector<std::pair<std::string, platform::RegistryValue>> texts;
        texts.reserve(values.size());
        for (const auto& [name, value] : values) texts.emplace_back(name, platform::RegistryValue::String(value));
        status = key.SetValues(texts);
    }
    if (status != platform::kErrorSuccess) {
        LOG_ERROR << "Consent Module: failed to Write " << values.size() << " values to the key " << subKey
                  << " with an error code: " << GetErrorMessageUtf8(status);
    }
    return static_cast<int32_t>(status);
}

}  // namespace zelko::plenar::agent
