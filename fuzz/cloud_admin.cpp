// Requests on the local cloud's admin side, sent as raw bytes over its loopback port: shadows,
// messages, faults, the broker, certificates, consents and the device services' admin routes.
// The cloud is made again every few thousand requests, so what earlier ones stored does not grow
// without bound. After each start the target waits for the cloud's threads to be up: a leak check
// that ran while a new server's workers were still starting counted their start-up state, held by
// no thread the checker scans yet, as lost.
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
// The process's threads with a started cloud and nothing in flight.
int g_settled_threads = 0;

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

// Waits until the count is `expected` (or, with none, has stayed the same for a fifth of a
// second), then a little more for the last thread to reach its own code; at most five seconds.
int WaitForThreads(int expected) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int last = ThreadCount();
    int unchanged = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        const int now = ThreadCount();
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
        if (expected > 0 ? now == expected : unchanged >= 20) break;
    }
    std::this_thread::sleep_for(50ms);
    return last;
}

void StartCloud() {
    if (g_cloud) g_cloud->Stop();
    g_cloud.reset();
    zelko::cloud::LocalCloud::Settings settings;
    settings.folder = zelko::fuzz::Root() / "cloud";  // the CA made at first start is kept
    g_cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
    g_cloud->Start();
    g_settled_threads = WaitForThreads(g_settled_threads);
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

// The leak checker now and then reports what the cloud's MQTT loop thread holds: the TLS library's
// per-thread state (error queue, private random generator), which that thread releases itself
// before it ends, and the MQTT library's own records. Those allocations carry no frame past the
// libraries' allocators, so the suppressions name the libraries.
extern "C" const char* __lsan_default_suppressions() { return "leak:CRYPTO_zalloc\nleak:libmosquitto.so\n"; }

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
    if (++runs % 5000 == 0) StartCloud();
    if (!Exchange(g_cloud->AdminPort(), data, size)) {
        std::fprintf(stderr, "the admin side neither answered nor closed the connection\n");
        std::abort();
    }
    return 0;
}
