#include "platform/file_replace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
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
// A writer killed between naming its file and the rename leaves "<name>.tmp-<pid>-<n>" behind.
// The first write of a path in this process removes those of writers that are no longer alive.
void RemoveStaleLinks(const std::filesystem::path& path) {
    static auto* mutex = new std::mutex;
    static auto* cleaned = new std::set<std::string>;
    {
        std::lock_guard lock(*mutex);
        if (!cleaned->insert(path.string()).second) return;
    }
    const std::string prefix = path.filename().string() + ".tmp-";
    const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* rest = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &rest, 10);
        if (pid <= 0 || rest == nullptr || *rest != '-' || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ::unlink(it->path().c_str());
    }
}
}  // namespace

int OpenUnnamedFile(const std::filesystem::path& folder) {
    const std::filesystem::path where = folder.empty() ? std::filesystem::path(".") : folder;
    return ::open(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
}

FileReplace ReplaceFileContent(const std::filesystem::path& path, std::string_view bytes) {
    // The content is written into a file without a name, so a process killed while writing leaves
    // nothing behind; the file is named only once whole and renamed over the old one at once (a
    // name left by a kill just then is removed by the next process that writes the path).
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
        RemoveStaleLinks(path);
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
