#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace zelko::platform {

// What tells the file found at a path now from the one found there before: a file renamed over it
// gets another inode, one rewritten in place another size or modification (or change) time.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modified_ns = 0;  // modification time, nanoseconds since the epoch
    int64_t changed_ns = 0;   // status change time: moves on any write, even one that resets the other
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at path (links followed); empty when there is none or it cannot be read.
std::optional<FileIdentity> ReadFileIdentity(const std::filesystem::path& path);

}  // namespace zelko::platform
