#include "platform/named_objects.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "platform/file_replace.h"
#include "platform/paths.h"

namespace zelko::platform {

namespace {
std::atomic<unsigned> g_temp_counter{0};

std::filesystem::path TempPathBeside(const std::filesystem::path& path) {
    return path.parent_path() / ("." + path.filename().string() + "." + std::to_string(::getpid()) + "." +
                                 std::to_string(g_temp_counter.fetch_add(1)) + ".tmp");
}

bool WriteState(const std::filesystem::path& temp, bool set, int* error) {
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (error) *error = errno;
        return false;
    }
    const char byte = set ? '1' : '0';
    bool ok = ::write(fd, &byte, 1) == 1;
    int saved = errno;
    ::close(fd);
    if (!ok) {
        if (error) *error = saved;
        ::unlink(temp.c_str());
    }
    return ok;
}
}  // namespace

std::filesystem::path NamedObjectPath(std::string_view name) {
    std::filesystem::path path = SystemRoot() / "Objects";
    std::string segment;
    auto flush = [&] {
        if (segment.empty()) return;
        if (segment == "." || segment == "..") segment = "_";
        path /= segment;
        segment.clear();
    };
    for (char c : name) {
        if (c == '\\') {
            flush();
        } else {
            segment.push_back(c == '/' || c == '\0' ? '_' : c);
        }
    }
    flush();
    return path;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(std::string_view name, bool initially_set, int* error) {
    std::filesystem::path path = NamedObjectPath(name);
    path += ".event";
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        if (error) *error = ec.value();
        return nullptr;
    }
    // Create only when absent: link() of a filled file fails on an existing name. An unnamed file
    // leaves nothing behind when the process dies meanwhile.
    const FileReplace created = CreateFileWithContent(path, initially_set ? "1" : "0");
    if (created == FileReplace::Ok || (created == FileReplace::WriteFailed && errno == EEXIST)) {
        return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(path)));
    }
    if (created == FileReplace::WriteFailed) {
        if (error) *error = errno;
        return nullptr;
    }
    const auto temp = TempPathBeside(path);
    if (!WriteState(temp, initially_set, error)) return nullptr;
    const int linked = ::link(temp.c_str(), path.c_str());
    const int saved = errno;
    ::unlink(temp.c_str());
    if (linked != 0 && saved != EEXIST) {
        if (error) *error = saved;
        return nullptr;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(path)));
}

bool NamedEvent::Write(bool set, int* error) {
    if (ReplaceFileContent(path_, set ? "1" : "0") != FileReplace::Ok) {
        if (error) *error = errno;
        return false;
    }
    return true;
}

bool NamedEvent::Set(int* error) { return Write(true, error); }
bool NamedEvent::Reset(int* error) { return Write(false, error); }

bool NamedEvent::IsSet() const {
    std::ifstream in(path_, std::ios::binary);
    char byte = 0;
    return in.get(byte) && byte == '1';
}

bool NamedEvent::Wait(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd >= 0 && ::inotify_add_watch(fd, path_.parent_path().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        ::close(fd);
        fd = -1;
    }
    bool set = IsSet();
    while (!set) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
            char buffer[4096];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        } else {
            ::usleep(10'000);  // no inotify: fall back to polling
        }
        set = IsSet();
    }
    if (fd >= 0) ::close(fd);
    return set;
}

}  // namespace zelko::platform
