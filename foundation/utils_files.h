#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/cryptography.h"
#include "foundation/default_configs.h"

namespace zelko::plenar::agent::Utils {

// Folder of the running executable (absolute); empty when it cannot be found.
std::filesystem::path GetExecutableDirectory();
// Full path of the running executable; empty when it cannot be found.
std::filesystem::path GetExecutableFilePath();

// Replaces every %NAME% reference (names without regard to case; %programdata% is the system
// root's ProgramData folder).
std::string ExpandEnvironment(const std::string& text);

// Strict JSON (no comments, nothing after the value). Raises std::runtime_error
// "file doesn't not exist <path>" for a missing file, the JSON parse error otherwise.
nlohmann::json LoadJsonFile(const std::filesystem::path& path);

// Writes the document compactly through a temporary file renamed over the old one. File errors
// are logged, not raised; a text that is not valid UTF-8 raises the JSON type error.
void SaveJsonFile(const std::filesystem::path& path, const nlohmann::json& document);

// The file's document, or, when the file is missing or not valid JSON, the built-in default
// document of its file name whole (never merged), or {} when there is none. Never raises.
// With use_variant, variant "sub" picks the subscription defaults, any other text the
// five-minute-fetch defaults.
nlohmann::json LoadConfigFile(const std::filesystem::path& path, bool use_variant = false,
                              const std::string& variant = "sub");
// The same over another default table.
nlohmann::json LoadConfigFile(const std::filesystem::path& path, bool use_variant, const std::string& variant,
                              const DefaultConfigTable& defaults);

// Encrypted JSON file: random 16-byte IV, then AES-256-CBC over the zlib stream of the compact
// JSON text. The reader raises on a missing or unreadable file, a failed decryption, damaged
// compressed data and invalid JSON; the writer raises std::runtime_error when the file cannot be
// written, so callers never report data as stored when it is not.
nlohmann::json LoadEncryptedJsonFile(const std::filesystem::path& path, const crypto::Cryptography& crypto);
void SaveEncryptedJsonFile(const std::filesystem::path& path, const nlohmann::json& document,
                           const crypto::Cryptography& crypto);

// folder/subfolder/"win-events-config.ejson", decrypted with the built-in password. Raises
// std::logic_error "no configuration file found" or "no queries found in the configuration file".
nlohmann::json LoadWinEventsConfig(const std::filesystem::path& folder, const std::string& subfolder);

}  // namespace zelko::plenar::agent::Utils
