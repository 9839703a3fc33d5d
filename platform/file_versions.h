#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace zelko::platform {

// The fixed file version of a version resource: most significant part first
// (high and low half of the most significant double word, then of the least significant).
using FileVersion = std::array<uint16_t, 4>;

// File version from the file's version resource; empty when the file has none or cannot be read.
std::optional<FileVersion> ReadFileVersion(const std::filesystem::path& path);

// The "ProductVersion" property of a Windows Installer package; empty when it cannot be read.
std::optional<std::string> ReadInstallerProductVersion(const std::filesystem::path& path);

}  // namespace zelko::platform
