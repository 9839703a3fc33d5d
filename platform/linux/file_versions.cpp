#include "platform/file_versions.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

namespace zelko::platform {

namespace {

// A version resource starts with wLength, wValueLength, wType, then the UTF-16LE key
// "VS_VERSION_INFO" with its NUL, padding to a 32-bit boundary and the fixed file information,
// which opens with this signature.
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint16_t kFixedInfoSize = 52;
constexpr size_t kHeaderSize = 6;

const std::string& VersionKey() {
    static const std::string key = [] {
        const char ascii[] = "VS_VERSION_INFO";
        std::string utf16;
        for (size_t i = 0; i < sizeof(ascii); ++i) {  // the terminating NUL included
            utf16.push_back(ascii[i]);
            utf16.push_back('\0');
        }
        return utf16;
    }();
    return key;
}

uint16_t Read16(const char* p) {
    auto b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t Read32(const char* p) { return Read16(p) | (static_cast<uint32_t>(Read16(p + 2)) << 16); }

// The version of a resource whose key starts at `key` within [begin, end), if the header and
// the fixed information around it are complete and well formed.
std::optional<FileVersion> VersionAt(const char* begin, const char* end, const char* key) {
    if (key - begin < static_cast<std::ptrdiff_t>(kHeaderSize)) return std::nullopt;
    const char* start = key - kHeaderSize;
    if (Read16(start + 2) != kFixedInfoSize) return std::nullopt;
    size_t offset = kHeaderSize + VersionKey().size();
    offset = (offset + 3) & ~size_t{3};
    if (end - start < static_cast<std::ptrdiff_t>(offset + kFixedInfoSize)) return std::nullopt;
    const char* fixed = start + offset;
    if (Read32(fixed) != kFixedInfoSignature) return std::nullopt;
    const uint32_t ms = Read32(fixed + 8);
    const uint32_t ls = Read32(fixed + 12);
    return FileVersion{static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms & 0xFFFF),
                       static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls & 0xFFFF)};
}

}  // namespace

std::optional<FileVersion> ReadFileVersion(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    // Installers can be large: scan in chunks, keeping enough of the previous chunk that a
    // resource cut by a chunk border is still seen whole.
    constexpr size_t kChunk = 1 << 20;
    const size_t keep = kHeaderSize + VersionKey().size() + 4 + kFixedInfoSize;
    std::vector<char> buffer;
    std::vector<char> chunk(kChunk);
    const std::string& key = VersionKey();
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        const char* begin = buffer.data();
        const char* end = begin + buffer.size();
        const char* search = begin;
        while (true) {
            // memmem skips ahead far faster than a byte-by-byte search over a large binary.
            const auto* found = static_cast<const char*>(
                ::memmem(search, static_cast<size_t>(end - search), key.data(), key.size()));
            if (found == nullptr) break;
            if (auto version = VersionAt(begin, end, found)) return version;
            search = found + 1;
        }
        if (buffer.size() > keep)
            buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(keep));
    }
    return std::nullopt;
}

std::optional<std::string> ReadInstallerProductVersion(const std::filesystem::path&) {
    // Linux has no Windows Installer to open the package with.
    return std::nullopt;
}

}  // namespace zelko::platform
