#include "config/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zelko::plenar::config {

void ReplaceFileContent(const std::filesystem::path& path, const std::string& text) {
    std::string temp = path.string() + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) throw std::system_error(errno, std::system_category(), "Cannot create " + temp);
    auto fail = [&](const std::string& what) {
        int error = errno;
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        throw std::system_error(error, std::system_category(), what + " " + path.string());
    };
    // mkstemp creates the file for its owner only; the file is meant to be read by others too.
    if (::fchmod(fd, 0644) != 0) fail("Cannot set the mode of");
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("Cannot write");
        }
        done += static_cast<size_t>(written);
    }
    if (::fsync(fd) != 0) fail("Cannot write");
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) fail("Cannot write");
    if (::rename(temp.c_str(), path.c_str()) != 0) fail("Cannot replace");
}

}  // namespace zelko::plenar::config
