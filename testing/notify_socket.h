#pragma once

#include <filesystem>
#include <string>

namespace zelko::testing {

// Stands in for systemd's notify socket while alive (sets NOTIFY_SOCKET) and collects what a
// service reports to it, one message per status report.
class NotifySocket {
  public:
    explicit NotifySocket(const std::filesystem::path& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The next message; empty when none comes within five seconds.
    std::string Next();

  private:
    int fd_ = -1;
};

// The "STATUS=" line of a message (the whole message when it has none).
std::string NotifyStatus(const std::string& message);

}  // namespace zelko::testing
