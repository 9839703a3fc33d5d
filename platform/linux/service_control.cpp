#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/file_replace.h"
#include "platform/last_error.h"
#include "platform/linux/wait_deadline.h"
#include "platform/notifications.h"
#include "platform/paths.h"

namespace zelko::platform {

namespace {

// ---- small helpers ----------------------------------------------------------------------------

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::optional<uint32_t> ParseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int high = nibble(text[i]);
        int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

// A request line is short; device-event data in hex is the longest there is.
constexpr size_t kMaxRequestBytes = 1u << 20;
// Clients are served side by side; one that does not finish its line in this time is dropped, and
// beyond the limit the oldest one is.
constexpr size_t kMaxClients = 64;
constexpr int kClientTimeoutMs = 5000;
// How long a tool waits for the answer: the service answers as soon as its handler returns.
constexpr int kAnswerTimeoutMs = 60000;

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads up to the first line feed, waiting at most `timeout_ms` in all.
std::optional<std::string> ReadLine(int fd, int timeout_ms) {
    std::string line;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.size() < kMaxRequestBytes) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, PollMillisecondsUntil(deadline, timeout_ms));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
        line.append(buffer, static_cast<size_t>(n));
        auto lf = line.find('\n');
        if (lf != std::string::npos) return line.substr(0, lf);
    }
    return std::nullopt;
}

// A socket address for a path of any length: the folder is reached through /proc/self/fd.
struct ChannelAddress {
    int folder_fd = -1;
    sockaddr_un addr{};
    socklen_t length = 0;
    ~ChannelAddress() { CloseFd(folder_fd); }
};

bool MakeChannelAddress(const std::filesystem::path& path, ChannelAddress& out) {
    out.folder_fd = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.folder_fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    std::string short_path =
        "/proc/self/fd/" + std::to_string(out.folder_fd) + "/" + path.filename().string();
    if (short_path.size() >= sizeof(out.addr.sun_path)) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    out.addr.sun_family = AF_UNIX;
    std::memcpy(out.addr.sun_path, short_path.c_str(), short_path.size() + 1);
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + short_path.size() + 1);
    return true;
}

int ConnectChannel(const std::string& service_name) {
    ChannelAddress address;
    if (!MakeChannelAddress(ServiceControlChannelPath(service_name), address)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address.addr), address.length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ---- systemd notification -----------------------------------------------------------------

const char* StateName(uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return "Stopped";
        case kServiceStartPending:
            return "Start pending";
        case kServiceStopPending:
            return "Stop pending";
        case kServiceRunning:
            return "Running";
        default:
            return "Unknown";
    }
}

void NotifySystemd(const ServiceStatus& status) {
    const char* socket_path = std::getenv("NOTIFY_SOCKET");
    if (socket_path == nullptr || *socket_path == '\0') return;
    std::ostringstream message;
    if (status.dwCurrentState == kServiceRunning) message << "READY=1\n";
    if (status.dwCurrentState == kServiceStopPending) message << "STOPPING=1\n";
    message << "STATUS=" << StateName(status.dwCurrentState) << " (state " << status.dwCurrentState
            << ", checkpoint " << status.dwCheckPoint << ", wait hint " << status.dwWaitHint
            << " ms, exit code " << status.dwWin32ExitCode << ")";
    bool pending =
        status.dwCurrentState == kServiceStartPending || status.dwCurrentState == kServiceStopPending;
    if (pending && status.dwWaitHint > 0) {
        message << "\nEXTEND_TIMEOUT_USEC=" << static_cast<uint64_t>(status.dwWaitHint) * 1000;
    }
    if (status.dwCurrentState == kServiceStopped && status.dwWin32ExitCode != 0) {
        message << "\nERRNO=" << status.dwWin32ExitCode;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t length = std::strlen(socket_path);
    if (length >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, socket_path, length);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    std::string text = message.str();
    ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    ::close(fd);
}

// ---- the dispatcher -------------------------------------------------------------------------

struct Dispatcher {
    std::string name;
    std::mutex mutex;
    ServiceControlHandler handler = nullptr;
    void* context = nullptr;
    ServiceStatus status{};
    bool stop_requested = false;  // a signal asked to stop before the service accepted it
    int wake_write = -1;
};

std::mutex g_dispatcher_mutex;
Dispatcher* g_dispatcher = nullptr;

// Written by the signal handler, so only plain stores of an int.
volatile sig_atomic_t g_signal_write_fd = -1;

std::mutex g_request_handlers_mutex;
std::map<std::string, ServiceRequestHandler>& RequestHandlers() {
    static std::map<std::string, ServiceRequestHandler> handlers;
    return handlers;
}

void OnStopSignal(int signo) {
    int saved = errno;
    int fd = g_signal_write_fd;
    if (fd >= 0) {
        unsigned char byte = static_cast<unsigned char>(signo);
        ssize_t ignored = ::write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

void Wake(Dispatcher& d) {
    if (d.wake_write >= 0) {
        char byte = 'w';
        ssize_t ignored = ::write(d.wake_write, &byte, 1);
        (void)ignored;
    }
}

bool AcceptsStop(const ServiceStatus& status) {
    return status.dwCurrentState != kServiceStopped && status.dwCurrentState != 0 &&
           (status.dwControlsAccepted & kServiceAcceptStop) != 0;
}

uint32_t Deliver(Dispatcher& d, uint32_t control, uint32_t event_type, void* data) {
    ServiceControlHandler handler;
    void* context;
    {
        std::lock_guard lock(d.mutex);
        handler = d.handler;
        context = d.context;
    }
    if (handler == nullptr) return kErrorServiceCannotAcceptCtrl;
    return handler(control, event_type, data, context);
}

// A stop asked by a signal waits until the service accepts stop (it reports start pending first).
void DeliverPendingStop(Dispatcher& d) {
    {
        std::lock_guard lock(d.mutex);
        if (!d.stop_requested || d.handler == nullptr || !AcceptsStop(d.status)) return;
        d.stop_requested = false;
    }
    Deliver(d, kServiceControlStop, 0, nullptr);
}

// The answer to "control ..." on the channel: whether the service takes the control now.
uint32_t CheckControl(Dispatcher& d, uint32_t control) {
    std::lock_guard lock(d.mutex);
    if (d.handler == nullptr || d.status.dwCurrentState == 0) return kErrorServiceCannotAcceptCtrl;
    if (d.status.dwCurrentState == kServiceStopped) return kErrorServiceNotActive;
    uint32_t accepted = d.status.dwControlsAccepted;
    switch (control) {
        case kServiceControlStop:
            if ((accepted & kServiceAcceptStop) != 0) return kNoError;
            return d.status.dwCurrentState == kServiceRunning ? kErrorInvalidServiceControl
                                                              : kErrorServiceCannotAcceptCtrl;
        case kServiceControlShutdown:
            return (accepted & kServiceAcceptShutdown) != 0 ? kNoError : kErrorInvalidServiceControl;
        case kServiceControlPowerEvent:
            return (accepted & kServiceAcceptPowerEvent) != 0 ? kNoError : kErrorInvalidServiceControl;
        case kServiceControlDeviceEvent:
        case kServiceControlInterrogate:
            return kNoError;
        default:
            if (control >= kServiceControlUserFirst && control <= kServiceControlUserLast) return kNoError;
            return kErrorInvalidServiceControl;
    }
}

bool HoldsDeviceBroadcast(const std::vector<uint8_t>& data) {
    if (data.size() < sizeof(DeviceBroadcastHeader)) return false;
    uint32_t size = 0;
    std::memcpy(&size, data.data(), sizeof size);
    return size >= sizeof(DeviceBroadcastHeader) && size <= data.size();
}

std::string StatusLine(const ServiceStatus& s) {
    std::ostringstream out;
    out << "status " << s.dwCurrentState << ' ' << s.dwControlsAccepted << ' ' << s.dwWin32ExitCode << ' '
        << s.dwCheckPoint << ' ' << s.dwWaitHint;
    return out.str();
}

std::string ServeRequest(Dispatcher& d, const std::string& line) {
    auto words = SplitWords(line);
    if (words.empty()) return "error " + std::to_string(kErrorInvalidParameter);
    if (words[0] == "status") {
        std::lock_guard lock(d.mutex);
        return StatusLine(d.status);
    }
    if (words[0] == "control") {
        std::optional<uint32_t> control = words.size() > 1 ? ParseNumber(words[1]) : std::nullopt;
        std::optional<uint32_t> type = words.size() > 2 ? ParseNumber(words[2]) : std::optional<uint32_t>(0);
        std::optional<std::vector<uint8_t>> data =
            words.size() > 3 ? ParseHex(words[3])
                             : std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{});
        if (!control || !type || !data || words.size() > 4)
            return "error " + std::to_string(kErrorInvalidParameter);
        // A device event's record goes on as a bare pointer and is read as far as its own size
        // says: the bytes sent must hold a header and all that size.
        if (*control == kServiceControlDeviceEvent && !data->empty() && !HoldsDeviceBroadcast(*data))
            return "error " + std::to_string(kErrorInvalidParameter);
        uint32_t refusal = CheckControl(d, *control);
        if (refusal != kNoError) return "error " + std::to_string(refusal);
        uint32_t result = Deliver(d, *control, *type, data->empty() ? nullptr : data->data());
        return "ok " + std::to_string(result);
    }
    ServiceRequestHandler handler;
    {
        std::lock_guard lock(g_request_handlers_mutex);
        auto it = RequestHandlers().find(words[0]);
        if (it != RequestHandlers().end()) handler = it->second;
    }
    if (!handler) return "error " + std::to_string(kErrorInvalidParameter) + " unknown request";
    try {
        return handler(std::vector<std::string>(words.begin() + 1, words.end()));
    } catch (const std::exception& e) {
        return std::string("error ") + std::to_string(kErrorGenFailure) + " " + e.what();
    }
}

// One connection of the control channel, read without blocking so that no client waits on another.
struct Client {
    int fd = -1;
    std::string buffer;
    std::chrono::steady_clock::time_point deadline;
};

void AcceptClients(int listen_fd, std::vector<Client>& clients) {
    while (true) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN: none left; other errors end with the client that caused them
        }
        // At the limit the oldest client goes: a flood of stalled connections cannot lock out a
        // tool that sends its line at once.
        if (clients.size() >= kMaxClients) {
            CloseFd(clients.front().fd);
            clients.erase(clients.begin());
        }
        clients.push_back(
            {fd, {}, std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientTimeoutMs)});
    }
}

// Reads what the client has sent and answers once its line is whole; true while the client is kept.
bool ReadClient(Dispatcher& d, Client& client) {
    char buffer[4096];
    while (true) {
        ssize_t n = ::recv(client.fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n > 0) {
            client.buffer.append(buffer, static_cast<size_t>(n));
            if (client.buffer.find('\n') == std::string::npos) {
                if (client.buffer.size() >= kMaxRequestBytes) return false;
                continue;
            }
        } else if (client.buffer.empty()) {
            return false;  // closed without a request
        }
        // A line feed came, or the client ended its request by closing its side.
        std::string line = client.buffer.substr(0, client.buffer.find('\n'));
        // The answer is one short line into an empty socket buffer, so it does not block.
        WriteAll(client.fd, ServeRequest(d, line) + "\n");
        return false;
    }
}

void CloseClients(std::vector<Client>& clients) {
    for (auto& client : clients) CloseFd(client.fd);
    clients.clear();
}

// Binds the control channel; refuses when another instance answers on it.
int OpenChannel(const std::string& service_name) {
    auto path = ServiceControlChannelPath(service_name);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        SetLastError(ErrorFromErrno(ec.value()));
        return -1;
    }
    int probe = ConnectChannel(service_name);
    if (probe >= 0) {
        ::close(probe);
        SetLastError(kErrorServiceAlreadyRunning);
        return -1;
    }
    std::filesystem::remove(path, ec);  // left behind by an instance that died
    ChannelAddress address;
    if (!MakeChannelAddress(path, address)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address.addr), address.length) != 0 ||
        ::listen(fd, 64) != 0) {
        SetLastError(ErrorFromErrno(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// Answers stop signals, wake-ups and the control channel's clients until the service's main ends.
void ServeChannel(Dispatcher& d, int signal_fd, int wake_fd, int listen_fd, const std::atomic<bool>& main_done) {
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    while (!main_done) {
        fds.assign({{signal_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}});
        int timeout_ms = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const auto& client : clients) {
            fds.push_back({client.fd, POLLIN, 0});
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(client.deadline - now).count() + 1;
            left = std::max<int64_t>(left, 0);
            if (timeout_ms < 0 || left < timeout_ms) timeout_ms = static_cast<int>(left);
        }
        int ready = ::poll(fds.data(), fds.size(), timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char buffer[64];
        if (fds[0].revents & POLLIN) {
            while (::read(signal_fd, buffer, sizeof(buffer)) > 0) {
            }
            {
                std::lock_guard lock(d.mutex);
                d.stop_requested = true;
            }
            DeliverPendingStop(d);
        }
        if (fds[1].revents & POLLIN) {
            while (::read(wake_fd, buffer, sizeof(buffer)) > 0) {
            }
            DeliverPendingStop(d);
        }
        // Clients polled in this round sit at the front of the list, in the order of fds.
        const size_t polled = fds.size() - 3;
        const auto after = std::chrono::steady_clock::now();
        std::vector<Client> kept;
        kept.reserve(clients.size());
        for (size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            bool keep = true;
            if (i < polled && fds[3 + i].revents != 0) keep = ReadClient(d, client);
            if (keep && after >= client.deadline) keep = false;
            if (keep) {
                kept.push_back(std::move(client));
            } else {
                CloseFd(client.fd);
            }
        }
        clients.swap(kept);
        if (fds[2].revents & POLLIN) AcceptClients(listen_fd, clients);
    }
    CloseClients(clients);
}

}  // namespace

std::filesystem::path ServiceControlChannelPath(const std::string& service_name) {
    return SystemRoot() / "Services" / (service_name + ".control");
}

bool StartServiceCtrlDispatcher(const std::string& service_name, std::function<void()> service_main) {
    Dispatcher d;
    d.name = service_name;
    {
        std::lock_guard lock(g_dispatcher_mutex);
        if (g_dispatcher != nullptr) {
            SetLastError(kErrorServiceAlreadyRunning);
            return false;
        }
        g_dispatcher = &d;
    }
    auto leave = [&](bool result) {
        std::lock_guard lock(g_dispatcher_mutex);
        g_dispatcher = nullptr;
        return result;
    };

    int listen_fd = OpenChannel(service_name);
    if (listen_fd < 0) return leave(false);
    int signal_pipe[2];
    int wake_pipe[2];
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        SetLastError(ErrorFromErrno(errno));
        ::close(listen_fd);
        return leave(false);
    }
    if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        SetLastError(ErrorFromErrno(errno));
        ::close(listen_fd);
        ::close(signal_pipe[0]);
        ::close(signal_pipe[1]);
        return leave(false);
    }
    d.wake_write = wake_pipe[1];

    g_signal_write_fd = signal_pipe[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction old_term {
    }, old_int{};
    ::sigaction(SIGTERM, &action, &old_term);
    ::sigaction(SIGINT, &action, &old_int);

    std::atomic<bool> main_done{false};
    std::thread service_thread([&] {
        service_main();
        main_done = true;
        Wake(d);
    });

    ServeChannel(d, signal_pipe[0], wake_pipe[0], listen_fd, main_done);
    service_thread.join();

    ::sigaction(SIGTERM, &old_term, nullptr);
    ::sigaction(SIGINT, &old_int, nullptr);
    g_signal_write_fd = -1;
    ::close(listen_fd);
    std::error_code ec;
    std::filesystem::remove(ServiceControlChannelPath(service_name), ec);
    {
        std::lock_guard lock(d.mutex);
        d.wake_write = -1;
    }
    for (int fd : {signal_pipe[0], signal_pipe[1], wake_pipe[0], wake_pipe[1]}) ::close(fd);
    SetLastError(kErrorSuccess);
    return leave(true);
}

ServiceStatusHandle RegisterServiceCtrlHandlerEx(const std::string& service_name,
                                                 ServiceControlHandler handler, void* context) {
    std::lock_guard lock(g_dispatcher_mutex);
    if (g_dispatcher == nullptr || g_dispatcher->name != service_name || handler == nullptr) {
        SetLastError(handler == nullptr ? kErrorInvalidParameter : kErrorFailedServiceControllerConnect);
        return nullptr;
    }
    std::lock_guard dispatcher_lock(g_dispatcher->mutex);
    g_dispatcher->handler = handler;
    g_dispatcher->context = context;
    return reinterpret_cast<ServiceStatusHandle>(g_dispatcher);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    std::lock_guard lock(g_dispatcher_mutex);
    auto* d = reinterpret_cast<Dispatcher*>(handle);
    if (d == nullptr || d != g_dispatcher) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    {
        std::lock_guard dispatcher_lock(d->mutex);
        d->status = status;
        Wake(*d);
    }
    NotifySystemd(status);
    return true;
}

std::optional<std::string> SendServiceRequest(const std::string& service_name, const std::string& request) {
    int fd = ConnectChannel(service_name);
    if (fd < 0) {
        SetLastError(kErrorServiceNotActive);
        return std::nullopt;
    }
    std::optional<std::string> answer;
    if (WriteAll(fd, request + "\n")) {
        ::shutdown(fd, SHUT_WR);
        answer = ReadLine(fd, kAnswerTimeoutMs);
    }
    ::close(fd);
    // The service took the request but gave no answer: it may still act on it, so this is no
    // "not running".
    if (!answer) SetLastError(kErrorServiceRequestTimeout);
    return answer;
}

bool ControlService(const std::string& service_name, uint32_t control, uint32_t event_type,
                    const std::vector<uint8_t>& event_data) {
    std::string request = "control " + std::to_string(control) + " " + std::to_string(event_type);
    if (!event_data.empty()) request += " " + ToHex(event_data);
    auto answer = SendServiceRequest(service_name, request);
    if (!answer) return false;
    auto words = SplitWords(*answer);
    if (words.size() >= 1 && words[0] == "ok") return true;
    auto code = words.size() >= 2 ? ParseNumber(words[1]) : std::nullopt;
    SetLastError(code.value_or(kErrorGenFailure));
    return false;
}

void SetServiceRequestHandler(const std::string& verb, ServiceRequestHandler handler) {
    std::lock_guard lock(g_request_handlers_mutex);
    if (handler) {
        RequestHandlers()[verb] = std::move(handler);
    } else {
        RequestHandlers().erase(verb);
    }
}

// ---- the service database -----------------------------------------------------------------

struct ScHandleTag {
    bool is_manager = false;
    uint32_t access = 0;
    std::string service_name;
};

namespace {

std::filesystem::path UnitPath(const std::string& service_name) {
    return ServiceUnitFolder() / (service_name + ".service");
}

const char* ActionName(uint32_t type) {
    switch (type) {
        case kScActionRestart:
            return "restart";
        case kScActionReboot:
            return "reboot";
        case kScActionRunCommand:
            return "run";
        default:
            return "none";
    }
}

uint32_t ActionType(const std::string& name) {
    if (name == "restart") return kScActionRestart;
    if (name == "reboot") return kScActionReboot;
    if (name == "run") return kScActionRunCommand;
    return kScActionNone;
}

std::string QuoteForUnit(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The unit tells systemd what the failure actions mean to it: the leading restarts become
// Restart= with RestartSec= and a start limit over the reset period; the "X-Zelko" keys keep
// the values themselves, which systemd ignores.
std::string UnitText(const InstalledService& s) {
    const auto& actions = s.failure_actions.actions;
    size_t restarts = 0;
    while (restarts < actions.size() && actions[restarts].type == kScActionRestart) ++restarts;
    std::ostringstream out;
    out << "# Service unit of " << s.config.service_name << "; written by its \"install\" and removed by its "
        << "\"remove\".\n";
    out << "[Unit]\n";
    out << "Description=" << s.config.display_name << "\n";
    if (restarts > 0) {
        out << "StartLimitIntervalSec=" << s.failure_actions.reset_period_seconds << "\n";
        out << "StartLimitBurst=" << restarts + 1 << "\n";
    }
    out << "\n[Service]\n";
    out << "Type=notify\n";
    out << "NotifyAccess=main\n";
    out << "ExecStart=" << s.config.binary_path_name << "\n";
    out << "Environment=" << QuoteForUnit("ZELKO_SYSTEM_ROOT=" + SystemRoot().string()) << "\n";
    if (restarts > 0) {
        out << "Restart=" << (s.failure_actions_on_non_crash_failures ? "on-failure" : "on-abnormal") << "\n";
        out << "RestartSec=" << (actions[0].delay_ms + 999) / 1000 << "\n";
    } else {
        out << "Restart=no\n";
    }
    out << "X-ZelkoServiceType=" << s.config.service_type << "\n";
    out << "X-ZelkoStartType=" << s.config.start_type << "\n";
    out << "X-ZelkoErrorControl=" << s.config.error_control << "\n";
    out << "X-ZelkoFailureResetPeriod=" << s.failure_actions.reset_period_seconds << "\n";
    out << "X-ZelkoFailureActions=";
    for (size_t i = 0; i < actions.size(); ++i) {
        out << (i ? " " : "") << ActionName(actions[i].type) << "/" << actions[i].delay_ms;
    }
    out << "\n";
    out << "X-ZelkoFailureActionsOnNonCrashFailures="
        << (s.failure_actions_on_non_crash_failures ? "yes" : "no") << "\n";
    if (s.config.start_type == kServiceAutoStart) out << "\n[Install]\nWantedBy=multi-user.target\n";
    return out.str();
}

bool WriteUnit(const InstalledService& s) {
    if (ReplaceFileContent(UnitPath(s.config.service_name), UnitText(s)) == FileReplace::Ok) return true;
    SetLastError(errno == EACCES || errno == EPERM || errno == EROFS ? kErrorAccessDenied
                                                                      : ErrorFromErrno(errno));
    return false;
}

bool HasAccess(ScHandle handle, uint32_t wanted) {
    if (handle == nullptr || handle == InvalidScHandle()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if ((handle->access & wanted) != wanted) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

}  // namespace

std::filesystem::path ServiceUnitFolder() {
    const char* folder = std::getenv("ZELKO_SERVICE_UNIT_DIR");
    if (folder != nullptr && *folder != '\0') return folder;
    return SystemRoot() / "etc" / "systemd" / "system";
}

std::optional<InstalledService> ReadInstalledService(const std::string& service_name) {
    std::ifstream in(UnitPath(service_name));
    if (!in) return std::nullopt;
    InstalledService s;
    s.config.service_name = service_name;
    for (std::string line; std::getline(in, line);) {
        auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        auto number = [&] { return ParseNumber(value).value_or(0); };
        if (key == "Description") s.config.display_name = value;
        if (key == "ExecStart") s.config.binary_path_name = value;
        if (key == "X-ZelkoServiceType") s.config.service_type = number();
        if (key == "X-ZelkoStartType") s.config.start_type = number();
        if (key == "X-ZelkoErrorControl") s.config.error_control = number();
        if (key == "X-ZelkoFailureResetPeriod") s.failure_actions.reset_period_seconds = number();
        if (key == "X-ZelkoFailureActionsOnNonCrashFailures")
            s.failure_actions_on_non_crash_failures = value == "yes";
        if (key == "X-ZelkoFailureActions") {
            for (const auto& word : SplitWords(value)) {
                auto slash = word.find('/');
                if (slash == std::string::npos) continue;
                s.failure_actions.actions.push_back(
                    {ActionType(word.substr(0, slash)), ParseNumber(word.substr(slash + 1)).value_or(0)});
            }
        }
    }
    // A unit without a command is not one we wrote: rewriting it would only make it worse.
    if (s.config.binary_path_name.empty()) {
        ReportDiagnostic("Service unit " + UnitPath(service_name).string() +
                         " is damaged (no ExecStart=); it is left as it is");
        return std::nullopt;
    }
    return s;
}

ScHandle OpenSCManager(const char* machine, const char* database, uint32_t desired_access) {
    if ((machine != nullptr && *machine != '\0') ||
        (database != nullptr && *database != '\0' && std::string(database) != "ServicesActive")) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    if ((desired_access & kScManagerCreateService) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(ServiceUnitFolder(), ec);
        if (ec || ::access(ServiceUnitFolder().c_str(), W_OK) != 0) {
            SetLastError(kErrorAccessDenied);
            return nullptr;
        }
    }
    auto* handle = new ScHandleTag;
    handle->is_manager = true;
    handle->access = desired_access;
    SetLastError(kErrorSuccess);
    return handle;
}

ScHandle CreateService(ScHandle manager, const ServiceConfig& config) {
    if (!HasAccess(manager, kScManagerCreateService)) return nullptr;
    if (!manager->is_manager || config.service_name.empty() || config.binary_path_name.empty()) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    std::error_code ec;
    if (std::filesystem::exists(UnitPath(config.service_name), ec)) {
        SetLastError(kErrorServiceExists);
        return nullptr;
    }
    InstalledService s;
    s.config = config;
    if (!WriteUnit(s)) return nullptr;
    auto* handle = new ScHandleTag;
    handle->service_name = config.service_name;
    handle->access = config.desired_access;
    SetLastError(kErrorSuccess);
    return handle;
}

ScHandle OpenService(ScHandle manager, const std::string& service_name, uint32_t desired_access) {
    if (!HasAccess(manager, kScManagerConnect) && !HasAccess(manager, kScManagerCreateService))
        return nullptr;
    if (!manager->is_manager) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    std::error_code ec;
    if (!std::filesystem::exists(UnitPath(service_name), ec)) {
        SetLastError(kErrorServiceDoesNotExist);
        return nullptr;
    }
    auto* handle = new ScHandleTag;
    handle->service_name = service_name;
    handle->access = desired_access;
    SetLastError(kErrorSuccess);
    return handle;
}

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
    if (!HasAccess(service, kServiceQueryStatus)) return false;
    if (service->is_manager || status == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    ServiceStatus result{};
    result.dwServiceType = kServiceWin32OwnProcess;
    result.dwCurrentState = kServiceStopped;
    if (auto answer = SendServiceRequest(service->service_name, "status")) {
        auto words = SplitWords(*answer);
        if (words.size() == 6 && words[0] == "status") {
            result.dwCurrentState = ParseNumber(words[1]).value_or(kServiceStopped);
            result.dwControlsAccepted = ParseNumber(words[2]).value_or(0);
            result.dwWin32ExitCode = ParseNumber(words[3]).value_or(0);
            result.dwCheckPoint = ParseNumber(words[4]).value_or(0);
            result.dwWaitHint = ParseNumber(words[5]).value_or(0);
        }
    }
    *status = result;
    SetLastError(kErrorSuccess);
    return true;
}

bool DeleteService(ScHandle service) {
    if (!HasAccess(service, kServiceDelete)) return false;
    std::error_code ec;
    // A temporary unit that earlier versions could leave behind goes with the unit.
    auto stale = UnitPath(service->service_name);
    stale += ".tmp";
    std::filesystem::remove(stale, ec);
    if (!std::filesystem::remove(UnitPath(service->service_name), ec)) {
        SetLastError(ec ? ErrorFromErrno(ec.value()) : kErrorServiceMarkedForDelete);
        return false;
    }
    SetLastError(kErrorSuccess);
    return true;
}

bool CloseServiceHandle(ScHandle handle) {
    if (handle == nullptr || handle == InvalidScHandle()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    delete handle;
    return true;
}

bool ChangeServiceFailureActions(ScHandle service, const ServiceFailureActions& actions) {
    if (!HasAccess(service, kServiceChangeConfig)) return false;
    bool restarts = false;
    for (const auto& action : actions.actions) restarts = restarts || action.type == kScActionRestart;
    if (restarts && (service->access & kServiceStart) == 0) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    auto installed = ReadInstalledService(service->service_name);
    if (!installed) {
        std::error_code ec;
        SetLastError(std::filesystem::exists(UnitPath(service->service_name), ec) ? kErrorCantRead
                                                                                  : kErrorServiceMarkedForDelete);
        return false;
    }
    installed->failure_actions = actions;
    return WriteUnit(*installed);
}

bool ChangeServiceFailureActionsFlag(ScHandle service, bool on_non_crash_failures) {
    if (!HasAccess(service, kServiceChangeConfig)) return false;
    auto installed = ReadInstalledService(service->service_name);
    if (!installed) {
        std::error_code ec;
        SetLastError(std::filesystem::exists(UnitPath(service->service_name), ec) ? kErrorCantRead
                                                                                  : kErrorServiceMarkedForDelete);
        return false;
    }
    installed->failure_actions_on_non_crash_failures = on_non_crash_failures;
    return WriteUnit(*installed);
}

}  // namespace zelko::platform
