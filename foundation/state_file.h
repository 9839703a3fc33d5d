#pragma once

#include <filesystem>
#include <string>

namespace zelko::plenar::agent {

enum class StateFileWrite { Ok, OpenFailed, WriteFailed };

// Writes the text to a temporary file in the same folder and renames it over path, so a crash or a
// failed write never leaves half a state file. On failure errno tells why.
StateFileWrite WriteStateFile(const std::filesystem::path& path, const std::string& text);

}  // namespace zelko::plenar::agent
