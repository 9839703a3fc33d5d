#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace zelko::platform {

namespace {
std::atomic<unsigned> g_link_counter{0};

bool WriteWhole(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

// Gives the unnamed file its name; a name left by a process that died at this step is taken over.
bool LinkUnnamed(int fd, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST) return false;
        ::unlink(name.c_str());
    }
    return false;
}
}  // namespace

int OpenUnnamedFile(const std::filesystem::path& folder) {
    const std::filesystem::path where = folder.empty() ? std::filesystem::path(".") : folder;
    return ::open(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
}

FileReplace ReplaceFileContent(const std::filesystem::path& path, std::string_view bytes) {
    // The content is written into a file without a name, so a process killed while writing leaves
    // nothing behind; the file is named only once whole, and renamed over the old one at once.
    std::string temp;
    int fd = OpenUnnamedFile(path.parent_path());
    const bool unnamed = fd >= 0;
    if (!unnamed) {
        // File systems without unnamed files get a named temporary file.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return FileReplace::OpenFailed;
        temp = path.string() + ".XXXXXX";
        fd = ::mkstemp(temp.data());
        if (fd < 0) return FileReplace::OpenFailed;
    }
    auto fail = [&] {
        const int error = errno != 0 ? errno : EIO;
        if (fd >= 0) ::close(fd);
        if (!temp.empty()) ::unlink(temp.c_str());
        errno = error;
        return FileReplace::WriteFailed;
    };
    // Created for their owner only; these files are read by other processes too.
    if (::fchmod(fd, 0644) != 0) return fail();
    if (!WriteWhole(fd, bytes)) return fail();
    if (::fsync(fd) != 0) return fail();
    if (unnamed) {
        const std::string name = path.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(g_link_counter.fetch_add(1));
        if (!LinkUnnamed(fd, name)) return fail();
        temp = name;
    }
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail();
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail();
    return FileReplace::Ok;
}

FileReplace CreateFileWithContent(const std::filesystem::path& path, std::string_view bytes) {
    int fd = OpenUnnamedFile(path.parent_path());
    if (fd < 0) return FileReplace::OpenFailed;
    auto fail = [&] {
        const int error = errno != 0 ? errno : EIO;
        ::close(fd);
        errno = error;
        return FileReplace::WriteFailed;
    };
    if (::fchmod(fd, 0644) != 0 || !WriteWhole(fd, bytes)) return fail();
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) return fail();
    ::close(fd);
    return FileReplace::Ok;
}

}  // namespace zelko::platform
