#pragma once

// Named kernel objects shared with other processes. On Linux they live as files under the system
// root's "Objects" folder; "Global\Name" becomes Objects/Global/Name.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace zelko::platform {

// File path (without suffix) of a named object; "\" separates namespace folders, other unsafe
// characters are replaced.
std::filesystem::path NamedObjectPath(std::string_view name);

// A named manual-reset event. Its state is a one-byte file written by rename, so every process
// (and every handle in this one) sees the same state; waits follow changes through inotify.
class NamedEvent {
  public:
    // Opens the event, creating it with `initially_set` when it does not exist yet (an existing event
    // keeps its state). Null on failure, with the system error in *error.
    static std::unique_ptr<NamedEvent> Create(std::string_view name, bool initially_set,
                                              int* error = nullptr);

    // Each returns false on failure, with the system error in *error.
    bool Set(int* error = nullptr);
    bool Reset(int* error = nullptr);

    bool IsSet() const;
    // True when the event is set within the timeout.
    bool Wait(std::chrono::milliseconds timeout) const;

    const std::filesystem::path& path() const { return path_; }

  private:
    explicit NamedEvent(std::filesystem::path path) : path_(std::move(path)) {}
    bool Write(bool set, int* error);

    std::filesystem::path path_;
};

enum class MutexWait {
    Acquired,
    Abandoned,  // acquired, but its previous owner ended while holding it
    TimedOut,
    Failed,
};

// A named mutex shared between processes. Each handle is its own claimant (two handles in one
// process exclude each other; a handle is not recursive). A holder that ends or closes its handle
// without releasing leaves the mutex abandoned: the next waiter gets it with MutexWait::Abandoned.
class NamedMutex {
  public:
    // Opens an existing mutex; null when there is none (kErrorFileNotFound) or on failure, with the
    // system error number in *error.
    static std::unique_ptr<NamedMutex> Open(std::string_view name, uint32_t* error = nullptr);
    // Opens the mutex, creating it when absent; never initially owned.
    static std::unique_ptr<NamedMutex> Create(std::string_view name, uint32_t* error = nullptr);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Waits until this handle owns the mutex or the timeout passes. On Failed, *error holds the
    // system error number.
    MutexWait Wait(std::chrono::milliseconds timeout, uint32_t* error = nullptr);
    // False when this handle does not own the mutex.
    bool Release();

    const std::filesystem::path& path() const { return path_; }

  private:
    NamedMutex(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
    static std::unique_ptr<NamedMutex> OpenFile(std::string_view name, bool create, uint32_t* error);

    std::filesystem::path path_;
    int fd_;
    bool owned_ = false;
};

}  // namespace zelko::platform
