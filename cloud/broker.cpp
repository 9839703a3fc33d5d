#include "cloud/broker.h"

#include <arpa/inet.h>
#include <pwd.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace zelko::cloud {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::string ReadFrom(const std::filesystem::path& file, std::streamoff offset) {
    std::ifstream in(file);
    in.seekg(offset);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Tail(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

// Waits for the child to end, at most timeout; true when it has.
bool Reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool PortAccepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

Broker::Broker(Settings settings) : settings_(std::move(settings)) {
    if (settings_.port == 0) settings_.port = FreeLoopbackPort();
}

Broker::~Broker() { Stop(); }

int Broker::Port() const { return settings_.port; }

bool Broker::Running() const {
    std::lock_guard lock(mutex_);
    return pid_ > 0;
}

void Broker::WriteConfiguration() const {
    std::ofstream out(settings_.folder / "mosquitto.conf", std::ios::trunc);
    out << "# Written by zelko-local-cloud at each start.\n"
        << "per_listener_settings false\n"
        << "allow_anonymous false\n"
        << "persistence false\n"
        << "log_dest stderr\n"
        << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
        << "connection_messages true\n"
        << "max_queued_messages 10000\n"
        << "listener " << settings_.port << " 127.0.0.1\n"
        << "cafile " << settings_.caFile.string() << "\n"
        << "certfile " << settings_.certificateFile.string() << "\n"
        << "keyfile " << settings_.keyFile.string() << "\n"
        << "require_certificate true\n"
        << "use_identity_as_username true\n";
    // Started as root, mosquitto would switch to its own user, which cannot read our files.
    if (const passwd* user = getpwuid(geteuid()); user != nullptr && geteuid() == 0)
        out << "user " << user->pw_name << "\n";
    if (!out) throw std::runtime_error("cannot write " + (settings_.folder / "mosquitto.conf").string());
}

void Broker::Start() {
    std::lock_guard lock(mutex_);
    if (pid_ > 0) return;
    WriteConfiguration();
    const std::string configuration = (settings_.folder / "mosquitto.conf").string();
    const std::string log = LogFile().string();
    std::error_code ec;
    const auto logStart = std::filesystem::exists(LogFile()) ? static_cast<std::streamoff>(std::filesystem::file_size(LogFile(), ec)) : 0;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // The broker outlives connections of the cloud and may be restarted: it holds none of them.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> argv = {const_cast<char*>(settings_.executable.c_str()), const_cast<char*>("-c"),
                               const_cast<char*>(configuration.c_str()), nullptr};
    // The child starts with no blocked and no ignored signals, whatever this process does with them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int result =
        posix_spawn(&pid, settings_.executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) throw std::runtime_error("cannot start " + settings_.executable + ": " + std::strerror(result));

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Ready once it says it runs: it opens the port before it loads the certificates.
    while (ReadFrom(LogFile(), logStart).find(" running") == std::string::npos || !PortAccepts(settings_.port)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            throw std::runtime_error("mosquitto ended at start; its log:\n" + Tail(LogFile()));
        }
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid, SIGKILL);
            Reap(pid, std::chrono::seconds(5));
            throw std::runtime_error("mosquitto did not listen on port " + std::to_string(settings_.port) +
                                     "; its log:\n" + Tail(LogFile()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = pid;
}

void Broker::Stop() {
    std::lock_guard lock(mutex_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!Reap(pid_, std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        Reap(pid_, std::chrono::seconds(5));
    }
    pid_ = -1;
}

}  // namespace zelko::cloud
