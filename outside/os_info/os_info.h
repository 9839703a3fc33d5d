#pragma once

#include <filesystem>

#include "outside/error/error.h"

namespace zelko::shared::os {

// Filled by OSInfo::RetrieveOSInfo. Every text is allocated with malloc and belongs to the
// caller, who frees each one that is not null.
struct OSInfoParams {
    char* name = nullptr;           // "Debian GNU/Linux"
    char* version = nullptr;        // "12"
    char* build = nullptr;          // the kernel release
    char* edition = nullptr;        // the distribution id, "debian"
    char* architecture = nullptr;   // "x86_64"
    char* prettyName = nullptr;
    char* machineName = nullptr;
    char* language = nullptr;       // "en"
    char* locale = nullptr;         // "en_US"
    char* countryCode = nullptr;    // "US"
};

class OSInfo {
  public:
    // Reads /etc/os-release and uname. The country is the value of the environment variable
    // kCountryVariable when set, else the territory of the locale (LC_ALL, LC_MESSAGES, LANG).
    // An error when the record is null, the operating system cannot be told, or no country is
    // known; every text is null then.
    static error::Error RetrieveOSInfo(OSInfoParams* params);
    // The same from another os-release file (tests).
    static error::Error RetrieveOSInfo(OSInfoParams* params, const std::filesystem::path& osRelease);
};

inline constexpr const char* kCountryVariable = "ZELKO_COUNTRY_CODE";

}  // namespace zelko::shared::os
