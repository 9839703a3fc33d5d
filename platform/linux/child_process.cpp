#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>

extern char** environ;

namespace zelko::platform {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int StatusToResult(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

// A write to a pipe whose reader has gone must fail with EPIPE, not end this process with SIGPIPE:
// the signal is blocked for this thread during the write and a pending one taken back.
ssize_t WriteNoSignal(int fd, const char* data, size_t size) {
    sigset_t pipe_signal, previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    ssize_t n = ::write(fd, data, size);
    const int saved = errno;
    if (n < 0 && saved == EPIPE && !was_pending) {
        timespec zero{};
        while (::sigtimedwait(&pipe_signal, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
    return n;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::filesystem::path& program,
                                                  const std::vector<std::string>& arguments, int* error) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto fail = [&](int code) {
        for (int* pair : {in, out, err}) {
            CloseFd(pair[0]);
            CloseFd(pair[1]);
        }
        if (error) *error = code;
        return nullptr;
    };
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        return fail(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Nothing else of this process reaches the program, whatever flags a descriptor was opened with
    // (a library's sockets, a file opened elsewhere): its connections and log stay ours.
    const int closing = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (closing != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return fail(closing);
    }
    // The child starts with default signal handling whatever this process changed.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> texts;
    texts.push_back(program.string());
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, texts[0].c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return fail(spawned);
    CloseFd(in[0]);
    CloseFd(out[1]);
    CloseFd(err[1]);
    // Writes must never block: a child busy writing its output would never read the rest.
    ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, in[1], out[0], err[0]));
}

ChildProcess::~ChildProcess() {
    CloseFd(in_);
    CloseFd(out_);
    CloseFd(err_);
    if (!Reap(false)) {
        Kill();
        Wait();
    }
}

bool ChildProcess::Communicate(std::string_view input, std::string& output, std::string& error_output) {
    if (input.empty()) CloseFd(in_);
    return Pump(input, true, output, error_output, nullptr);
}

bool ChildProcess::Exchange(std::string_view input, std::string& output, std::string& error_output,
                            const std::function<bool(const std::string&)>& answered) {
    return Pump(input, false, output, error_output, &answered);
}

bool ChildProcess::Pump(std::string_view input, bool close_input, std::string& output, std::string& error_output,
                        const std::function<bool(const std::string&)>* answered) {
    size_t written = 0;
    bool writing = in_ >= 0 && !input.empty();
    while (writing || out_ >= 0 || err_ >= 0) {
        if (answered != nullptr && !writing && (*answered)(output)) return true;
        // Without an answer to wait for the exchange ends with the output; a standard error
        // still open alone is drained by the next exchange.
        if (answered != nullptr && !writing && out_ < 0) break;
        pollfd fds[3] = {{writing ? in_ : -1, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (writing && fds[0].revents != 0) {
            ssize_t n = (fds[0].revents & POLLOUT) ? WriteNoSignal(in_, input.data() + written, input.size() - written)
                                                   : -1;
            // A child that stops reading (or ends) early is not our failure: its answer tells.
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) {
                writing = false;
                if (close_input || n <= 0) CloseFd(in_);
            }
        }
        for (int i : {1, 2}) {
            int& fd = i == 1 ? out_ : err_;
            if (fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                CloseFd(fd);
            } else {
                (i == 1 ? output : error_output).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    return true;
}

bool ChildProcess::HasEnded() { return Reap(false).has_value(); }

std::optional<int> ChildProcess::Reap(bool block) {
    {
        std::lock_guard lock(mutex_);
        if (status_) return status_;
    }
    // Wait without reaping, so the id stays ours until the reap below happens under the lock.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG)) != 0) {
        if (errno != EINTR) break;
    }
    if (info.si_pid != pid_) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!status_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = StatusToResult(status);
    }
    return status_;
}

int ChildProcess::Wait() { return Reap(true).value_or(-1); }

bool ChildProcess::Signal(int signal) {
    std::lock_guard lock(mutex_);
    if (status_) return false;
    return ::kill(pid_, signal) == 0;
}

bool ChildProcess::Terminate() { return Signal(SIGTERM); }
bool ChildProcess::Kill() { return Signal(SIGKILL); }

}  // namespace zelko::platform
