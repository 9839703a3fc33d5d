#pragma once

// A child process started with pipes on its standard input, output and error.

#include <filesystem>
#include <functional>
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

    // Writes `input` to the child's standard input, keeping it open for the next exchange, and
    // reads its standard output and error until `answered(output)` is true or both close. Returns
    // false (errno set) when the pipes fail; a child that ends early is not a failure here: the
    // caller sees the answer missing and asks Wait.
    bool Exchange(std::string_view input, std::string& output, std::string& error_output,
                  const std::function<bool(const std::string&)>& answered);

    // Whether the child has ended (it is reaped then); never blocks.
    bool HasEnded();

    // Waits for the child to end and reaps it: its exit code, or minus the signal that ended it.
    int Wait();

    // Signals the child unless it has been reaped already (so a reused process id is never hit).
    // Callable from any thread while another waits.
    bool Terminate();  // asks it to end
    bool Kill();       // ends it

  private:
    ChildProcess(int pid, int in, int out, int err) : pid_(pid), in_(in), out_(out), err_(err) {}
    bool Signal(int signal);
    bool Pump(std::string_view input, bool close_input, std::string& output, std::string& error_output,
              const std::function<bool(const std::string&)>* answered);
    std::optional<int> Reap(bool block);

    const int pid_;
    int in_, out_, err_;
    std::mutex mutex_;  // guards status_ against the signal senders
    std::optional<int> status_;
};

}  // namespace zelko::platform
