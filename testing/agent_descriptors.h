#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zelko::testing {

// What the process holds open: descriptor number -> what it refers to ("socket:[123]", "pipe:[45]",
// a file's path); empty when the process is gone.
std::map<int, std::string> OpenDescriptors(int pid);

// Descriptors that a running agent holds and no program it starts may get: the HTTP client's kept
// connection after one HTTPS request to a loopback server of its own (with libcurl's own sockets)
// and the agent's log file, open through the log appender, and a file a library opened without
// close-on-exec. The client and the server go with it.
class AgentDescriptors {
  public:
    explicit AgentDescriptors(const std::filesystem::path& folder);
    ~AgentDescriptors();
    AgentDescriptors(const AgentDescriptors&) = delete;
    AgentDescriptors& operator=(const AgentDescriptors&) = delete;

    const std::filesystem::path& log() const { return log_; }

    // Those of the descriptors' targets (as /proc links show them) that are these: every socket,
    // the log file and the library's file.
    std::vector<std::string> Among(const std::vector<std::string>& targets) const;
    // Those the process holds open.
    std::vector<std::string> HeldBy(int pid) const;

  private:
    struct Parts;
    std::filesystem::path log_;
    std::filesystem::path library_file_;
    int library_fd_ = -1;
    std::unique_ptr<Parts> parts_;
};

}  // namespace zelko::testing
