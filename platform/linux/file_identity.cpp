#include "platform/file_identity.h"

#include <sys/stat.h>

namespace zelko::platform {

namespace {
int64_t Nanoseconds(const struct timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + static_cast<int64_t>(time.tv_nsec);
}
}  // namespace

std::optional<FileIdentity> ReadFileIdentity(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                        static_cast<uint64_t>(info.st_size), Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

}  // namespace zelko::platform
