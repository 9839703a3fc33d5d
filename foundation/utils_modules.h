#pragma once

#include <filesystem>

namespace zelko::plenar::agent::Utils {

// Writes the info line "Log activated for module <file name>, version <product version>, loaded
// from <folder>" for a module file; the version is "unknown" when the file carries none.
void LogModuleInfo(const std::filesystem::path& path);

}  // namespace zelko::plenar::agent::Utils
