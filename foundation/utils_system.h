#pragma once

#include <cstdint>
#include <string>

namespace zelko::plenar::agent::Utils {

// "%d.%d.%d.%d" of the file's version resource, or the "ProductVersion" of a Windows Installer
// package (a name ending in ".msi", any case); "" when there is none.
std::string GetFileVersion(const std::string& path);

// Count of updates not yet installed, -1 when the search fails. May take minutes; call it on a
// worker thread.
int32_t GetWindowsUpdates();

}  // namespace zelko::plenar::agent::Utils
