#include "consent/consent_manager.h"

#include "foundation/logging.h"

namespace zelko::plenar::agent {

std::string ConsentManager::ReadRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                               const std::string& valueName) {
    return ReadRegistryValueText(hive, subKey, valueName);
}

int32_t ConsentManager::WriteRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                            const std::string& valueName, const std::string& value) {
    return WriteRegistryStringValue(hive, subKey, valueName, value);
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
