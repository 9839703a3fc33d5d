#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <string>

namespace zelko::cloud {

// A mosquitto broker run as a child process on a loopback port, with one TLS listener that
// requires a client certificate from the given CA (the certificate's CN becomes the user name).
class Broker {
  public:
    struct Settings {
        std::filesystem::path folder;       // configuration and log
        std::filesystem::path caFile;
        std::filesystem::path certificateFile;
        std::filesystem::path keyFile;
        int port = 0;                        // 0: a free port, kept across restarts
        std::string executable = "/usr/sbin/mosquitto";
    };

    explicit Broker(Settings settings);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts the broker and waits until it accepts connections. Throws std::runtime_error (with
    // the broker's log) when it does not come up within a few seconds.
    void Start();
    // Stops it (SIGTERM, then SIGKILL after a few seconds); nothing when not running.
    void Stop();
    bool Running() const;
    int Port() const;
    std::filesystem::path LogFile() const { return settings_.folder / "mosquitto.log"; }

  private:
    void WriteConfiguration() const;

    Settings settings_;
    mutable std::mutex mutex_;
    pid_t pid_ = -1;
};

// A port that was free on 127.0.0.1 a moment ago.
int FreeLoopbackPort();
// Whether something accepts TCP connections on 127.0.0.1:port.
bool PortAccepts(int port);

}  // namespace zelko::cloud
