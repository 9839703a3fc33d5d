#include "platform/named_objects.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "platform/file_replace.h"
#include "platform/last_error.h"
#include "platform/linux/wait_deadline.h"
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
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, PollMillisecondsUntil(deadline, 1000));
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

// The mutex is a file: the holder has an exclusive flock on it and its content names the holder
// while held. A holder that releases empties the file first; one that dies leaves its record, so
// the next owner sees the mutex was abandoned.
//
// As the system's object lives while a handle is open, the file lives while a handle holds it: every
// handle keeps a shared open-file-description lock on its first byte, and the last one to close
// (the only one that can turn it into an exclusive lock) removes the file. So files do not pile up
// with every name ever used.
namespace {

bool HoldPresence(int fd) {
    struct flock presence {};
    presence.l_type = F_RDLCK;
    presence.l_whence = SEEK_SET;
    presence.l_start = 0;
    presence.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLKW, &presence) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool IsLastPresence(int fd) {
    struct flock last {};
    last.l_type = F_WRLCK;
    last.l_whence = SEEK_SET;
    last.l_start = 0;
    last.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &last) == 0;
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::OpenFile(std::string_view name, bool create, uint32_t* error) {
    std::filesystem::path path = NamedObjectPath(name);
    path += ".mutex";
    if (create) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) {
            if (error) *error = ErrorFromErrno(ec.value());
            return nullptr;
        }
    }
    // The last handle elsewhere may remove the file between the open and the hold: then open anew.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
        if (fd < 0) {
            if (error) *error = ErrorFromErrno(errno);
            return nullptr;
        }
        if (!HoldPresence(fd)) {
            const int saved = errno;
            ::close(fd);
            if (error) *error = ErrorFromErrno(saved);
            return nullptr;
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
            opened.st_ino == named.st_ino) {
            return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(path), fd));
        }
        ::close(fd);
    }
    if (error) *error = ErrorFromErrno(EAGAIN);
    return nullptr;
}

std::unique_ptr<NamedMutex> NamedMutex::Open(std::string_view name, uint32_t* error) {
    return OpenFile(name, false, error);
}

std::unique_ptr<NamedMutex> NamedMutex::Create(std::string_view name, uint32_t* error) {
    return OpenFile(name, true, error);
}

NamedMutex::~NamedMutex() {
    // Closing an owned handle abandons the mutex: the record stays, the lock goes with the descriptor.
    // The last handle takes the file with it, as the system's object goes with its last handle.
    if (IsLastPresence(fd_)) ::unlink(path_.c_str());
    ::close(fd_);
}

MutexWait NamedMutex::Wait(std::chrono::milliseconds timeout, uint32_t* error) {
    if (owned_) {
        if (error) *error = kErrorInvalidParameter;
        return MutexWait::Failed;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Watched before the first try, so a release between the try and the poll is not missed.
    int watch = -1;
    while (true) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            if (error) *error = ErrorFromErrno(errno);
            if (watch >= 0) ::close(watch);
            return MutexWait::Failed;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            if (watch >= 0) ::close(watch);
            return MutexWait::TimedOut;
        }
        if (watch < 0) {
            watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
            if (watch >= 0 &&
                ::inotify_add_watch(watch, path_.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
                ::close(watch);
                watch = -1;
            }
            if (watch >= 0) continue;  // try again now that changes are seen
        }
        // A holder's release empties the file and every exit closes it; the cap covers what no
        // event shows (another process's lock on a file it keeps open).
        pollfd p{watch, POLLIN, 0};
        if (watch >= 0) {
            ::poll(&p, 1, PollMillisecondsUntil(deadline, 50));
            char buffer[4096];
            while (::read(watch, buffer, sizeof buffer) > 0) {
            }
        } else {
            ::usleep(static_cast<useconds_t>(PollMillisecondsUntil(deadline, 10)) * 1000);
        }
    }
    if (watch >= 0) ::close(watch);

    struct stat info {};
    const bool abandoned = ::fstat(fd_, &info) == 0 && info.st_size > 0;
    const std::string record = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, record.data(), record.size(), 0) < 0) {
        const int saved = errno;
        ::ftruncate(fd_, 0);
        ::flock(fd_, LOCK_UN);
        if (error) *error = ErrorFromErrno(saved);
        return MutexWait::Failed;
    }
    owned_ = true;
    return abandoned ? MutexWait::Abandoned : MutexWait::Acquired;
}

bool NamedMutex::Release() {
    if (!owned_) return false;
    owned_ = false;
    const bool emptied = ::ftruncate(fd_, 0) == 0;
    return ::flock(fd_, LOCK_UN) == 0 && emptied;
}

}  // namespace zelko::platform
