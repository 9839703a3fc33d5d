#include "platform/network.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/notifications.h"
#include "platform/paths.h"

namespace zelko::platform {

namespace {

constexpr uint32_t kRouteUp = 0x0001;      // RTF_UP
constexpr uint32_t kRouteReject = 0x0200;  // RTF_REJECT
constexpr size_t kOverrideMaxBytes = 256;
// Where netlink is refused the watcher looks every so often instead.
constexpr int kPollFallbackMilliseconds = 10'000;

std::mutex g_simulated_mutex;
std::optional<uint32_t> g_simulated;

std::string ReadSmallFile(const std::filesystem::path& path, size_t limit, bool& too_large) {
    std::ifstream in(path, std::ios::binary);
    std::string text(limit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    too_large = text.size() > limit;
    return text;
}

std::string ReadProcFile(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ParseHex(const std::string& text, uint32_t& out) {
    try {
        size_t used = 0;
        unsigned long value = std::stoul(text, &used, 16);
        if (used != text.size() || value > 0xFFFFFFFFul) return false;
        out = static_cast<uint32_t>(value);
        return true;
    } catch (...) {
        return false;
    }
}

std::vector<std::vector<std::string>> Rows(std::string_view table) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in{std::string(table)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> row;
        std::string word;
        while (words >> word) row.push_back(word);
        if (!row.empty()) rows.push_back(std::move(row));
    }
    return rows;
}

uint32_t ConnectivityFromRoutes() {
    uint32_t flags = kNlmConnectivityDisconnected;
    if (RouteTableHasIpv4Default(ReadProcFile("/proc/net/route"))) flags |= kNlmConnectivityIpv4Internet;
    if (RouteTableHasIpv6Default(ReadProcFile("/proc/net/ipv6_route"))) flags |= kNlmConnectivityIpv6Internet;
    return flags;
}

// Watches the routing and link state while any sink is registered, and announces changes.
class ConnectivityWatcher {
  public:
    static ConnectivityWatcher& Instance() {
        static ConnectivityWatcher watcher;
        return watcher;
    }

    // The notification hub is made first, so it outlives the watcher's thread that feeds it.
    ConnectivityWatcher() { FlushNotifications(); }

    ~ConnectivityWatcher() {
        std::lock_guard lifecycle(lifecycle_);
        Stop();
    }

    void Acquire() {
        std::lock_guard lifecycle(lifecycle_);
        if (users_++ > 0) return;
        const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        {
            std::lock_guard lock(mutex_);
            wake_fd_ = wake_fd;
            last_ = QueryNetworkConnectivity();
        }
        thread_ = std::thread([this, wake_fd] { Run(wake_fd); });
    }

    void ReleaseOne() {
        std::lock_guard lifecycle(lifecycle_);
        if (users_ == 0 || --users_ > 0) return;
        Stop();
    }

    void Recheck() {
        std::lock_guard lock(mutex_);
        Signal(kRecheck);
    }

  private:
    static constexpr uint64_t kRecheck = 1;
    static constexpr uint64_t kQuit = 1ull << 32;

    // Under mutex_.
    void Signal(uint64_t value) {
        if (wake_fd_ < 0) return;
        ssize_t written = ::write(wake_fd_, &value, sizeof value);
        (void)written;
    }

    // Under lifecycle_.
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            Signal(kQuit);
        }
        thread_.join();
        std::lock_guard lock(mutex_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        wake_fd_ = -1;
    }

    static int OpenNetlink() {
        int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (fd < 0) return -1;
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups =
            RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void Run(int wake_fd) {
        const int netlink_fd = OpenNetlink();
        while (true) {
            pollfd fds[2] = {{wake_fd, POLLIN, 0}, {netlink_fd, POLLIN, 0}};
            const int ready =
                ::poll(fds, netlink_fd >= 0 ? 2 : 1, netlink_fd >= 0 ? -1 : kPollFallbackMilliseconds);
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0 && (fds[0].revents & POLLIN)) {
                uint64_t value = 0;
                if (::read(wake_fd, &value, sizeof value) == sizeof value && value >= kQuit) break;
            }
            if (netlink_fd >= 0 && ready > 0 && (fds[1].revents & POLLIN)) {
                // The messages only say that something changed; the state is read afresh below.
                char buffer[8192];
                while (::recv(netlink_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
                }
            }
            const uint32_t flags = QueryNetworkConnectivity();
            std::lock_guard lock(mutex_);
            if (flags != last_) {
                last_ = flags;
                InjectNetworkConnectivity(flags);
            }
        }
        if (netlink_fd >= 0) ::close(netlink_fd);
    }

    std::mutex lifecycle_;  // Acquire, ReleaseOne and the destructor, one at a time
    std::mutex mutex_;      // wake_fd_ and last_
    int users_ = 0;
    int wake_fd_ = -1;
    uint32_t last_ = 0;
    std::thread thread_;
};

// Each registration: the sink and the notification handle that delivers to it.
struct Advised {
    INetworkListManagerEvents* sink;
    NotificationHandle handle;
};
std::mutex g_advised_mutex;
std::map<uint32_t, Advised> g_advised;

}  // namespace

std::filesystem::path NetworkConnectivityOverridePath() { return SystemRoot() / "Network" / "connectivity"; }

std::optional<uint32_t> ParseConnectivityText(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return std::nullopt;
    const auto last = text.find_last_not_of(" \t\r\n");
    const std::string word(text.substr(first, last - first + 1));
    if (word == "connected") return kNlmConnectivityIpv4Internet;
    if (word == "ipv6") return kNlmConnectivityIpv6Internet;
    if (word == "disconnected") return kNlmConnectivityDisconnected;
    if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) return std::nullopt;
    try {
        size_t used = 0;
        const unsigned long long value = std::stoull(word, &used, 0);
        if (used != word.size() || value > 0xFFFFFFFFull) return std::nullopt;
        return static_cast<uint32_t>(value);
    } catch (...) {
        return std::nullopt;
    }
}

bool RouteTableHasIpv4Default(std::string_view table) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    for (const auto& row : Rows(table)) {
        if (row.size() < 8 || row[0] == "lo") continue;
        uint32_t destination = 0, flags = 0, mask = 0;
        if (!ParseHex(row[1], destination) || !ParseHex(row[3], flags) || !ParseHex(row[7], mask)) continue;
        if (destination == 0 && mask == 0 && (flags & kRouteUp) && !(flags & kRouteReject)) return true;
    }
    return false;
}

bool RouteTableHasIpv6Default(std::string_view table) {
    // destination prefix-length source prefix-length next-hop metric refcount use flags interface
    for (const auto& row : Rows(table)) {
        if (row.size() < 10 || row[9] == "lo") continue;
        uint32_t flags = 0;
        if (row[0] != std::string(32, '0') || row[1] != "00" || !ParseHex(row[8], flags)) continue;
        if ((flags & kRouteUp) && !(flags & kRouteReject)) return true;
    }
    return false;
}

uint32_t QueryNetworkConnectivity(std::string* problem) {
    if (problem) problem->clear();
    {
        std::lock_guard lock(g_simulated_mutex);
        if (g_simulated) return *g_simulated;
    }
    const auto path = NetworkConnectivityOverridePath();
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        bool too_large = false;
        const std::string text = ReadSmallFile(path, kOverrideMaxBytes, too_large);
        auto flags = too_large ? std::nullopt : ParseConnectivityText(text);
        if (flags) return *flags;
        if (problem) {
            *problem = "ignoring " + path.string() +
                       (too_large ? ": larger than " + std::to_string(kOverrideMaxBytes) + " bytes"
                                  : ": not connected, disconnected, ipv6 or a number");
        }
    }
    return ConnectivityFromRoutes();
}

bool QueryInternetConnectedState(uint32_t* flags, std::string* problem) {
    const uint32_t connectivity = QueryNetworkConnectivity(problem);
    if (flags) *flags = connectivity;
    if ((connectivity & (kNlmConnectivityIpv4Internet | kNlmConnectivityIpv6Internet)) == 0) {
        SetLastError(kErrorNetworkUnreachable);
        return false;
    }
    return true;
}

void SetSimulatedNetworkConnectivity(std::optional<uint32_t> flags) {
    std::lock_guard lock(g_simulated_mutex);
    g_simulated = flags;
}

void RecheckNetworkConnectivity() { ConnectivityWatcher::Instance().Recheck(); }

HResult AdviseNetworkListManagerEvents(INetworkListManagerEvents* sink, uint32_t* cookie) {
    if (sink == nullptr || cookie == nullptr) return kEPointer;
    void* events = nullptr;
    const HResult result = sink->QueryInterface(kIidINetworkListManagerEvents, &events);
    if (result != kSOk || events == nullptr) return result != kSOk ? result : kENoInterface;
    auto* target = static_cast<INetworkListManagerEvents*>(events);
    const NotificationHandle handle = RegisterNetworkConnectivityNotification(
        [target](uint32_t flags) { target->ConnectivityChanged(flags); });
    if (handle == 0) {
        target->Release();
        return kEFail;
    }
    ConnectivityWatcher::Instance().Acquire();
    std::lock_guard lock(g_advised_mutex);
    *cookie = static_cast<uint32_t>(handle);
    g_advised[*cookie] = {target, handle};
    return kSOk;
}

HResult UnadviseNetworkListManagerEvents(uint32_t cookie) {
    Advised advised;
    {
        std::lock_guard lock(g_advised_mutex);
        auto it = g_advised.find(cookie);
        if (it == g_advised.end()) return kEFail;
        advised = it->second;
        g_advised.erase(it);
    }
    UnregisterNotification(advised.handle);
    ConnectivityWatcher::Instance().ReleaseOne();
    advised.sink->Release();
    return kSOk;
}

}  // namespace zelko::platform
