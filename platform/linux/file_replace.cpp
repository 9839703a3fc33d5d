#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace zelko::platform {

FileReplace ReplaceFileContent(const std::filesystem::path& path, std::string_view bytes) {
    std::string temp = path.string() + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return FileReplace::OpenFailed;
    auto fail = [&] {
        const int error = errno != 0 ? errno : EIO;
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        errno = error;
        return FileReplace::WriteFailed;
    };
    // mkstemp creates the file for its owner only; these files are read by other processes too.
    if (::fchmod(fd, 0644) != 0) return fail();
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail();
        }
        done += static_cast<size_t>(written);
    }
    if (::fsync(fd) != 0) return fail();
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail();
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail();
    return FileReplace::Ok;
}

}  // namespace zelko::platform
