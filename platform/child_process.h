#pragma once

// A child process started with pipes on its standard input, output and error.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelko::platform {

class ChildProcess {
  public:
    // Starts `program` with `arguments` (not including the program name). Null on failure, with
    // the errno value in *error.
    static std::unique_ptr<ChildProcess> Start(const std::filesystem::path& program,
                                               const std::vector<std::string>& arguments, int* error = nullptr);
    // Ends the child (kill) and reaps it when it is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }

    // Writes `input` to the child's standard input and closes it, and reads its standard output
    // and error until both close. Returns false (errno set) when the pipes fail.
    bool Communicate(std::string_view input, std::string& output, std::string& error_output);

    // Waits for the child to end and reaps it: its exit code, or minus the signal that ended it.
    int Wait();

    // Signals the child unless it has been reaped already (so a reused process id is never hit).
    // Callable from any thread while another waits.
    bool Terminate();  // asks it to end
    bool Kill();       // ends it

  private:
    ChildProcess(int pid, int in, int out, int err) : pid_(pid), in_(in), out_(out), err_(err) {}
    bool Signal(int signal);
    std::optional<int> Reap(bool block);

    const int pid_;
    int in_, out_, err_;
    std::mutex mutex_;  // guards status_ against the signal senders
    std::optional<int> status_;
};

}  // namespace zelko::platform
