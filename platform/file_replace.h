#pragma once

#include <filesystem>
#include <string_view>

namespace zelko::platform {

enum class FileReplace { Ok, OpenFailed, WriteFailed };

// Writes the bytes to a temporary file in the same folder and renames it over path, so no reader
// (in this process or another) and no crash ever sees half a file; on failure the old file stays
// as it was, no temporary file is left and errno tells why.
FileReplace ReplaceFileContent(const std::filesystem::path& path, std::string_view bytes);

}  // namespace zelko::platform
