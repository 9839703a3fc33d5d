#pragma once

// Registry values as text, for the consent manager, the registry monitor and the feature sources
// alike. Safe on any thread; no state.

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace zelko::plenar::agent {

// The value as text: REG_SZ and REG_EXPAND_SZ (expanded) up to the first NUL, REG_BINARY its
// bytes, REG_DWORD its decimal digits; "" when anything fails (logged). Never raises.
std::string ReadRegistryValueText(platform::RegistryHive hive, const std::string& subKey,
                                  const std::string& valueName);

// Creates the key when missing and writes the value as REG_SZ; 0 or the failing call's status.
int32_t WriteRegistryStringValue(platform::RegistryHive hive, const std::string& subKey,
                                 const std::string& valueName, const std::string& value);

// The system's message text for an error code (with its line break), for log lines.
std::string GetErrorMessageUtf8(uint32_t code);

}  // namespace zelko::plenar::agent
