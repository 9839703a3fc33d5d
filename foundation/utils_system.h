#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zelko::plenar::agent::Utils {

// "%d.%d.%d.%d" of the file's version resource, or the "ProductVersion" of a Windows Installer
// package (a name ending in ".msi", any case); "" when there is none.
std::string GetFileVersion(const std::string& path);

// GetFileVersion of one of our own binaries (the running program, a loaded module): read on the
// first call for that path and kept for the life of the process, since a loaded binary does not
// change its version.
std::string GetBinaryFileVersion(const std::filesystem::path& path);

// Count of updates not yet installed, -1 when the search fails. May take minutes; call it on a
// worker thread.
int32_t GetWindowsUpdates();

}  // namespace zelko::plenar::agent::Utils
