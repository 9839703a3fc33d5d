#pragma once

#include <filesystem>
#include <string_view>

namespace zelko::platform {

enum class FileReplace { Ok, OpenFailed, WriteFailed };

// Writes the bytes to a temporary file in the same folder and renames it over path, so no reader
// (in this process or another) and no crash ever sees half a file; on failure the old file stays
// as it was, no temporary file is left and errno tells why. The temporary file has no name while
// it is written, so a process killed meanwhile leaves none either.
FileReplace ReplaceFileContent(const std::filesystem::path& path, std::string_view bytes);

// Creates path with the bytes only when no file of that name exists (WriteFailed with errno
// EEXIST otherwise); the file appears whole or not at all, and nothing else is left on failure.
// OpenFailed where the file system has no unnamed files.
FileReplace CreateFileWithContent(const std::filesystem::path& path, std::string_view bytes);

}  // namespace zelko::platform
