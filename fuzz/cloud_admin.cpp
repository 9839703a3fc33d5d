// Requests on the local cloud's admin side, sent as raw bytes over its loopback port: shadows,
// messages, faults, the broker, certificates, consents and the device services' admin routes.
// The cloud is started once; every few thousand requests its stores are cleared in place, so what
// earlier ones stored does not grow without bound. Making the cloud again instead ended its MQTT
// loop thread each time, and now and then the TLS library's per-thread state of an ended thread
// was lost. After the start the target waits for the cloud's threads to be up: a leak check that
// ran while a new server's workers were still starting counted their start-up state, held by no
// thread the checker scans yet, as lost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "cloud/local_cloud.h"
#include "fuzz/support.h"

namespace {

std::unique_ptr<zelko::cloud::LocalCloud> g_cloud;

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "Threads:") {
            int count = 0;
            status >> count;
            return count;
        }
    }
    return 0;
}

// Waits until the thread count has stayed the same for a fifth of a second, then a little more
// for the last thread to reach its own code; at most five seconds.
void WaitForThreads() {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int last = ThreadCount();
    int unchanged = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        const int now = ThreadCount();
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
        if (unchanged >= 20) break;
    }
    std::this_thread::sleep_for(50ms);
}

void StartCloud() {
    zelko::cloud::LocalCloud::Settings settings;
    settings.folder = zelko::fuzz::Root() / "cloud";  // the CA made at first start is kept
    g_cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
    g_cloud->Start();
    WaitForThreads();
}

struct StopAtExit {
    ~StopAtExit() {
        if (g_cloud) g_cloud->Stop();
    }
} stop_at_exit;

// Sends the bytes, ends the sending side and reads until the server closes. False when the
// server neither answered nor closed in time.
bool Exchange(int port, const uint8_t* data, size_t size) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = true;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        for (size_t sent = 0; sent < size;) {
            const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        char buffer[4096];
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                answered = false;
                break;
            }
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
        }
    }
    ::close(fd);
    return answered;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)zelko::fuzz::Root();
    StartCloud();
    return 0;
}

extern "C" void ZelkoFuzzAfterReplay() {
    if (g_cloud) g_cloud->Stop();
    g_cloud.reset();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static uint64_t runs = 0;
    if (++runs % 5000 == 0) g_cloud->ClearStores();
    if (!Exchange(g_cloud->AdminPort(), data, size)) {
        std::fprintf(stderr, "the admin side neither answered nor closed the connection\n");
        std::abort();
    }
    return 0;
}
