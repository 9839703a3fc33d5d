#include "consent/consent_manager.h"

namespace zelko::plenar::agent {

std::string ConsentManager::ReadRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                               const std::string& valueName) {
    return ReadRegistryValueText(hive, subKey, valueName);
}

int32_t ConsentManager::WriteRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                            const std::string& valueName, const std::string& value) {
    return WriteRegistryStringValue(hive, subKey, valueName, value);
}

}  // namespace zelko::plenar::agent
