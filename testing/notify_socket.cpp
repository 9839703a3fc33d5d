#include "testing/notify_socket.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zelko::testing {

NotifySocket::NotifySocket(const std::filesystem::path& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
}

NotifySocket::~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
}

std::string NotifySocket::Next() {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 5000) != 1) return "";
    char buffer[1024];
    ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

std::string NotifyStatus(const std::string& message) {
    auto at = message.find("STATUS=");
    return at == std::string::npos ? message : message.substr(at + 7, message.find('\n', at) - at - 7);
}

}  // namespace zelko::testing
