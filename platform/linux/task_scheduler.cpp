#include "platform/task_scheduler.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/file_replace.h"
#include "platform/paths.h"

namespace zelko::platform {

namespace {

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int64_t ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

// Writes the last run's result (decimal) to the precomputed path: async-signal-safe.
void WriteResult(const char* path, int value) {
    char text[16];
    int n = 0;
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        text[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) text[n++] = '-';
    char out[18];
    for (int i = 0; i < n; ++i) out[i] = text[n - 1 - i];
    out[n++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, out, n);
    close(fd);
}

// Closes every descriptor from 3 up but `keep` (-1: none) in a forked child, so that what it starts
// gets none of this process's connections and files, whatever flags they were opened with:
// async-signal-safe. Without close_range the descriptors below `limit` are closed one by one.
void CloseInherited(int keep, long limit) {
    auto close_span = [limit](unsigned first, unsigned last) {
        if (first > last || close_range(first, last, 0) == 0) return;
        for (unsigned fd = first; fd <= last && long(fd) < limit; ++fd) close(int(fd));
    };
    if (keep < 3) {
        close_span(3, ~0u);
        return;
    }
    close_span(3, unsigned(keep) - 1);
    close_span(unsigned(keep) + 1, ~0u);
}

// Paths and the registration's token, fixed before the supervisor is forked.
struct SupervisorFiles {
    const char* owner_path;  // holds the token of the registration that owns the name
    const char* lock_path;   // locked by the supervisor for its whole life
    const char* result_path;
    const char* token;
};

enum class Ownership { Ours, Deleted, Replaced };

// Whether the task is still the one this supervisor runs: async-signal-safe.
Ownership CheckOwnership(const SupervisorFiles& f) {
    int fd = open(f.owner_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Ownership::Deleted : Ownership::Ours;
    char text[64];
    ssize_t n = read(fd, text, sizeof text);
    close(fd);
    size_t length = strlen(f.token);
    if (n == ssize_t(length) && memcmp(text, f.token, length) == 0) return Ownership::Ours;
    return Ownership::Replaced;
}

void EndRun(pid_t child) {
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
}

// Runs in the forked supervisor: async-signal-safe calls only. A deleted task is not started
// again (the run under way ends on its own); a replaced one ends at once, and its successor
// starts only once this supervisor has gone, so two runs of one name never overlap.
[[noreturn]] void Supervise(char* const* argv, const TaskDefinition& d, const SupervisorFiles& f) {
    int lock_fd = open(f.lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd >= 0) {
        while (flock(lock_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    // The registration itself starts the first run, even when the task is deleted meanwhile.
    if (CheckOwnership(f) == Ownership::Replaced) _exit(0);
    for (int run = 0;; ++run) {
        pid_t child = fork();
        if (child == 0) {
            setpgid(0, 0);  // so the time limit ends what the run started too
            execv(argv[0], argv);
            _exit(127);
        }
        int status = 0;
        bool ok = false;
        bool deleted = false;
        if (child > 0) {
            int64_t start = NowMs();
            int64_t limit = d.execution_time_limit.count();
            for (;;) {
                pid_t done = waitpid(child, &status, WNOHANG);
                if (done == child) break;
                if (done < 0 && errno != EINTR) break;
                const Ownership owner = CheckOwnership(f);
                if (owner == Ownership::Replaced) {
                    EndRun(child);
                    _exit(0);
                }
                deleted = deleted || owner == Ownership::Deleted;
                if (limit > 0 && NowMs() - start >= limit) {
                    EndRun(child);
                    status = -1;
                    break;
                }
                SleepMs(20);
            }
            ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (deleted || CheckOwnership(f) != Ownership::Ours) _exit(0);
        if (ok || run >= d.restart_count) {
            int code = child < 0 ? 127 : status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            WriteResult(f.result_path, code);
            _exit(0);
        }
        for (int64_t waited = 0; waited < d.restart_interval.count(); waited += 20) {
            SleepMs(std::min<int64_t>(20, d.restart_interval.count() - waited));
            if (CheckOwnership(f) != Ownership::Ours) _exit(0);
        }
    }
}

// The program as the system would find it to start it: a name without a folder is looked for on
// PATH. 0, or the errno value why it cannot be started.
int ResolveProgram(const std::string& program, std::string& resolved) {
    auto runnable = [](const std::string& path) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) return errno;
        if (!S_ISREG(info.st_mode)) return EACCES;
        return access(path.c_str(), X_OK) == 0 ? 0 : errno;
    };
    if (program.empty()) return ENOENT;
    if (program.find('/') != std::string::npos) {
        resolved = program;
        return runnable(program);
    }
    const char* path = std::getenv("PATH");
    const std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    int error = ENOENT;
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + program;
        const int found = runnable(candidate);
        if (found == 0) {
            resolved = candidate;
            return 0;
        }
        if (found != ENOENT && found != ENOTDIR) error = found;
        start = end + 1;
    }
    return error;
}

std::string NewToken() {
    static std::atomic<uint64_t> counter{0};
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::to_string(getpid()) + "-" + std::to_string(int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec) +
           "-" + std::to_string(++counter);
}

class LinuxTaskScheduler : public TaskScheduler {
  public:
    TaskRegistration Register(const TaskDefinition& d) override {
        TaskRegistration result;
        std::error_code error;
        std::filesystem::create_directories(Folder(), error);
        if (error) return Failed(TaskStep::Folder, error.value());
        Delete(d.name);
        std::string program;
        if (int missing = ResolveProgram(d.program.string(), program))
            return Failed(TaskStep::ActionPath, missing);
        const std::string result_path = ResultPath(d.name).string();
        const std::string owner_path = OwnerPath(d.name).string();
        const std::string lock_path = LockPath(d.name).string();
        const std::string token = NewToken();
        if (ReplaceFileContent(owner_path, token) != FileReplace::Ok)
            return Failed(TaskStep::Register, errno);
        const SupervisorFiles files{owner_path.c_str(), lock_path.c_str(), result_path.c_str(),
                                    token.c_str()};

        std::vector<std::string> args{program};
        args.insert(args.end(), d.arguments.begin(), d.arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        const long limit = sysconf(_SC_OPEN_MAX);
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) return Failed(TaskStep::Register, errno);
        pid_t middle = fork();
        if (middle < 0) {
            int e = errno;
            close(pipe_fds[0]);
            close(pipe_fds[1]);
            return Failed(TaskStep::Register, e);
        }
        if (middle == 0) {
            // Detached: a session of its own, re-parented to init once the middle process ends.
            setsid();
            close(pipe_fds[0]);
            pid_t supervisor = fork();
            if (supervisor == 0) {
                close(pipe_fds[1]);
                int null_fd = open("/dev/null", O_RDWR);
                if (null_fd >= 0) {
                    dup2(null_fd, 0);
                    dup2(null_fd, 1);
                    dup2(null_fd, 2);
                }
                // The supervisor outlives this process: it holds nothing of it, nor do the runs.
                CloseInherited(-1, limit);
                Supervise(argv.data(), d, files);
            }
            (void)!write(pipe_fds[1], &supervisor, sizeof supervisor);
            _exit(0);
        }
        close(pipe_fds[1]);
        pid_t supervisor = -1;
        ssize_t got = read(pipe_fds[0], &supervisor, sizeof supervisor);
        close(pipe_fds[0]);
        waitpid(middle, nullptr, 0);
        if (got != sizeof supervisor || supervisor <= 0) {
            Delete(d.name);
            return Failed(TaskStep::Register, ECHILD);
        }

        nlohmann::json record = {{"name", d.name},
                                 {"author", d.author},
                                 {"user", d.user},
                                 {"highest_privileges", d.highest_privileges},
                                 {"program", d.program.string()},
                                 {"arguments", d.arguments},
                                 {"restart_interval_ms", d.restart_interval.count()},
                                 {"restart_count", d.restart_count},
                                 {"execution_time_limit_ms", d.execution_time_limit.count()},
                                 {"trigger_id", d.trigger_id},
                                 {"supervisor_pid", supervisor}};
        if (ReplaceFileContent(RecordPath(d.name), record.dump(4)) != FileReplace::Ok) {
            return Failed(TaskStep::Register, errno);
        }
        result.registered = true;
        return result;
    }

    bool Delete(const std::string& name) override {
        std::error_code error;
        // Without its owner file the supervisor starts no further run.
        std::filesystem::remove(OwnerPath(name), error);
        std::filesystem::remove(ResultPath(name), error);
        return std::filesystem::remove(RecordPath(name), error);
    }

    // Folder of the task records; a record "<name>.json" per registered task, and "<name>.last-run"
    // with the exit code of its last run (-1 when the time limit ended it) once the task is done.
    static std::filesystem::path Folder() { return SystemRoot() / "Tasks"; }

  private:
    // Task names hold no folder separators here; any that slip in are replaced.
    static std::string FileName(std::string name) {
        for (char& c : name) {
            if (c == '/' || c == '\\' || c == '\0') c = '_';
        }
        return name;
    }
    static std::filesystem::path RecordPath(const std::string& name) { return Folder() / (FileName(name) + ".json"); }
    static std::filesystem::path ResultPath(const std::string& name) {
        return Folder() / (FileName(name) + ".last-run");
    }
    static std::filesystem::path OwnerPath(const std::string& name) {
        return Folder() / (FileName(name) + ".owner");
    }
    // Kept after a deletion: a successor of the name waits on it for the earlier supervisor.
    static std::filesystem::path LockPath(const std::string& name) {
        return Folder() / (FileName(name) + ".lock");
    }
    static TaskRegistration Failed(TaskStep step, int code) {
        TaskRegistration r;
        r.failed_step = step;
        r.code = code;
        return r;
    }
};

}  // namespace

std::shared_ptr<TaskScheduler> SystemTaskScheduler() { return std::make_shared<LinuxTaskScheduler>(); }

bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments, int* error) {
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const long limit = sysconf(_SC_OPEN_MAX);
    // The exec result comes back through a close-on-exec pipe: nothing read means it started.
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        if (error) *error = errno;
        return false;
    }
    pid_t middle = fork();
    if (middle < 0) {
        if (error) *error = errno;
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return false;
    }
    if (middle == 0) {
        setsid();
        close(pipe_fds[0]);
        pid_t child = fork();
        if (child == 0) {
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0) {
                dup2(null_fd, 0);
                dup2(null_fd, 1);
                dup2(null_fd, 2);
            }
            CloseInherited(pipe_fds[1], limit);
            execvp(argv[0], argv.data());
            int e = errno;
            (void)!write(pipe_fds[1], &e, sizeof e);
            _exit(127);
        }
        if (child < 0) {
            int e = errno;
            (void)!write(pipe_fds[1], &e, sizeof e);
        }
        _exit(0);
    }
    close(pipe_fds[1]);
    int exec_error = 0;
    ssize_t got = read(pipe_fds[0], &exec_error, sizeof exec_error);
    close(pipe_fds[0]);
    waitpid(middle, nullptr, 0);
    if (got == sizeof exec_error) {
        if (error) *error = exec_error;
        return false;
    }
    return true;
}

bool MakeExecutable(const std::filesystem::path& file, int* error) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0 ||
        chmod(file.c_str(), info.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) != 0) {
        if (error) *error = errno;
        return false;
    }
    return true;
}

std::vector<std::string> SplitCommandLine(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= text.size()) break;
        std::string arg;
        bool quoted = false;
        for (; i < text.size(); ++i) {
            char c = text[i];
            if (!quoted && (c == ' ' || c == '\t')) break;
            if (c == '\\') {
                size_t n = 0;
                while (i < text.size() && text[i] == '\\') {
                    ++n;
                    ++i;
                }
                if (i < text.size() && text[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2) {
                        arg += '"';
                        continue;
                    }
                    --i;  // the quote is handled on the next pass
                    continue;
                }
                arg.append(n, '\\');
                --i;
                continue;
            }
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            arg += c;
        }
        out.push_back(std::move(arg));
    }
    return out;
}

}  // namespace zelko::platform
