#pragma once

// Named kernel objects shared with other processes. On Linux they live as files under the system
// root's "Objects" folder; "Global\Name" becomes Objects/Global/Name.

#include <chrono>
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

}  // namespace zelko::platform
