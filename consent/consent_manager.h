#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace zelko::plenar::agent {

// Consent values and the agent's own keys are read and written as text. Safe on any thread; no
// state of its own.
class ConsentManager {
  public:
    // The value as text: REG_SZ and REG_EXPAND_SZ (expanded) up to the first NUL, REG_BINARY its
    // bytes, REG_DWORD its decimal digits; "" when anything fails (logged). Never raises.
    static std::string ReadRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                          const std::string& valueName);

    // Creates the key when missing and writes the value as REG_SZ; 0 or the failing call's status.
    static int32_t WriteRegistrySubKey(platform::RegistryHive hive, const std::string& subKey,
                                       const std::string& valueName, const std::string& value);
};

// The system's message text for an error code (with its line break), for log lines.
std::string GetErrorMessageUtf8(uint32_t code);

}  // namespace zelko::plenar::agent
