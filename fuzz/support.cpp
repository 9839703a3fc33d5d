#include "fuzz/support.h"

#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "foundation/cryptography.h"

namespace zelko::fuzz {

namespace {

struct TempRoot {
    std::filesystem::path path;
    TempRoot() {
        // A memory file system when there is one: the targets write and remove files on every run.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "zelko-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
        ::setenv("ZELKO_SYSTEM_ROOT", path.c_str(), 1);
    }
    ~TempRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::filesystem::path& Root() {
    static TempRoot root;
    return root.path;
}

void ResetFolder(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder);
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> Split(std::string_view input, std::string_view separator, size_t parts) {
    std::vector<std::string> pieces;
    while (pieces.size() + 1 < parts) {
        const size_t at = input.find(separator);
        if (at == std::string_view::npos) break;
        pieces.emplace_back(input.substr(0, at));
        input.remove_prefix(at + separator.size());
    }
    pieces.emplace_back(input);
    pieces.resize(parts);
    return pieces;
}

std::string Compress(std::string_view bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    if (compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                 static_cast<uLong>(bytes.size())) != Z_OK)
        std::abort();
    out.resize(size);
    return out;
}

std::string Encrypt(std::string_view plain_stream) {
    static const plenar::crypto::Cryptography crypto(kPassword);
    const auto bytes = crypto.Encrypt(std::string(plain_stream));
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace zelko::fuzz

namespace zelko::fuzz {

std::string EncryptedFileFrom(std::string_view input) {
    if (input.empty()) return {};
    const unsigned char layer = static_cast<unsigned char>(input[0]) % 3;
    input.remove_prefix(1);
    if (layer == 0) return std::string(input);
    if (layer == 1) return Encrypt(input);
    return Encrypt(Compress(input));
}

std::string SafeFileName(std::string_view name) {
    std::string safe(name.substr(0, 200));
    for (char& c : safe)
        if (c == '/' || c == '\0') c = '_';
    if (safe.empty() || safe == "." || safe == "..") safe += "x";
    return safe;
}

}  // namespace zelko::fuzz

// Every file the agent rewrites is flushed to the disk before its rename; a fuzz run writes
// thousands per second and needs no durability, so the flush is a no-op in the fuzz programs.
extern "C" int fsync(int) { return 0; }
extern "C" int fdatasync(int) { return 0; }
