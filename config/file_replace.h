#pragma once

#include <filesystem>
#include <string>

namespace zelko::plenar::config {

// Writes text to a temporary file in the same folder and renames it over path, so no reader (in
// this process or another) and no crash ever sees half a file. Raises std::system_error on failure
// and leaves the old file as it was.
void ReplaceFileContent(const std::filesystem::path& path, const std::string& text);

}  // namespace zelko::plenar::config
