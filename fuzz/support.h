#pragma once
// What the fuzz targets share: one temporary system root for the process, and small helpers to
// lay out the files a target's code reads.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zelko::fuzz {

// The process's system root (ZELKO_SYSTEM_ROOT points at it), made on first use and removed at exit.
const std::filesystem::path& Root();

// Empties the folder (made when missing) so that runs do not see each other's files.
void ResetFolder(const std::filesystem::path& folder);

void WriteFile(const std::filesystem::path& path, std::string_view bytes);

// The input split at the separator into at most `parts` pieces (the last takes the rest).
std::vector<std::string> Split(std::string_view input, std::string_view separator, size_t parts);

// zlib stream of the bytes, as the encrypted files hold it before encryption.
std::string Compress(std::string_view bytes);

// The password of the agent's encrypted state files.
inline constexpr const char* kPassword = "zelko-fuzz-password";

// The bytes of an encrypted file whose plain content is the given (already compressed) stream.
std::string Encrypt(std::string_view plain_stream);

}  // namespace zelko::fuzz

namespace zelko::fuzz {

// Bytes of an encrypted file from a fuzz input. The first byte picks the layer the rest reaches:
// 0 the file's own bytes, 1 the compressed stream inside the encryption, otherwise the JSON text
// inside the compression.
std::string EncryptedFileFrom(std::string_view input);

// A file name the fuzzer chose, made safe to create inside one folder: separators and NUL become
// "_", "." and ".." and empty names get a letter, and the length stays under the file system's limit.
std::string SafeFileName(std::string_view name);

}  // namespace zelko::fuzz
