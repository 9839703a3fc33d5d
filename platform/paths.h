#pragma once

#include <filesystem>
#include <string>

namespace zelko::platform {

// Root folder of the emulated Windows machine: $ZELKO_SYSTEM_ROOT, else
// /var/lib/zelko-plenar-agent/root. Read on every call so tests can repoint it.
std::filesystem::path SystemRoot();

// "C:\ProgramData" and "C:\Program Files" of the emulated machine.
std::filesystem::path ProgramDataFolder();
std::filesystem::path ProgramFilesFolder();

// Full path of the running executable (/proc/self/exe).
std::filesystem::path ExecutablePath();

// Expands %NAME% references: names are matched without regard to case, "programdata" maps to
// ProgramDataFolder(), "programfiles" to ProgramFilesFolder(), others to the environment.
// An unknown name is left as it stands, percent signs included.
std::string ExpandEnvironmentStrings(const std::string& text);

// Id of the calling thread as the system numbers it.
uint32_t CurrentThreadId();

}  // namespace zelko::platform
