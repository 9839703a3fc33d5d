#include "outside/http/http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cloud/broker.h"
#include "cloud/local_ca.h"
#include "outside/http/http_errors.h"
#include "state_machine/error_tests.h"
#include "testing/agent_descriptors.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::http {
namespace {

// A loopback server run on its own thread for one test. The server's stop waits out the keep-alive
// time of a connection a client still keeps: beforeStop lets the test's client go first.
template <typename Server>
class Running {
  public:
    explicit Running(Server& server, std::function<void()> beforeStop = {})
        : server_(server), beforeStop_(std::move(beforeStop)) {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~Running() {
        if (beforeStop_) beforeStop_();
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

  private:
    Server& server_;
    std::function<void()> beforeStop_;
    int port_ = 0;
    std::thread thread_;
};

class HttpClientTest : public testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        server_.set_payload_max_length(size_t{1} << 30);
        server_.Get("/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1]);
            response.set_header("X-Answer", "first");
            response.set_header("x-answer", "last");
            response.set_content("body of " + std::string(request.matches[1]), "text/plain");
        });
        auto echo = [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.method + "|" + request.get_header_value("X-Test") + "|" + request.body,
                                 "text/plain");
        };
        server_.Get("/echo", echo);
        server_.Post("/echo", echo);
        server_.Put("/echo", echo);
        server_.Patch("/echo", echo);
        server_.Delete("/echo", echo);
        server_.Options("/echo", echo);
        server_.Get("/slow", [](const httplib::Request&, httplib::Response& response) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            response.set_content("late", "text/plain");
        });
        server_.Get("/file", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("0123456789", "application/octet-stream");  // httplib serves ranges itself
        });
    }

    // The client's connections close before the server stops (see Running).
    std::function<void()> DropClient() {
        return [this] { held_.reset(); };
    }

    std::optional<HttpClient> held_{std::in_place, nullptr, nullptr};
    HttpClient& client_ = *held_;
    httplib::Server server_;
};

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

TEST_F(HttpClientTest, EveryStatusIsAResponseWithBodyAndHeaders) {
    Running running(server_, DropClient());
    for (int status : {200, 202, 404, 503}) {
        SCOPED_TRACE(status);
        IHttpResponse* response = nullptr;
        const auto error = client_.Perform(HttpRequest(HttpMethod::GET, Url(running.port(), "/status/" + std::to_string(status))), response);
        ASSERT_FALSE(error) << error.what();
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->GetStatusCode(), status);
        EXPECT_STREQ(response->GetBody(), ("body of " + std::to_string(status)).c_str());
        EXPECT_EQ(response->GetBodySize(), std::strlen(response->GetBody()));
        EXPECT_STREQ(response->GetHeader("X-ANSWER"), "last");
        EXPECT_EQ(response->GetHeader("missing"), nullptr);
        ReleaseHttpResponse(client_.GetAllocator(), response);
        EXPECT_EQ(response, nullptr);
    }
}

TEST_F(HttpClientTest, MethodsHeadersAndBodiesReachTheServer) {
    Running running(server_, DropClient());
    struct Case {
        HttpMethod method;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {HttpMethod::GET, "", "GET|yes|"},
        {HttpMethod::POST, R"({"a":1})", R"(POST|yes|{"a":1})"},
        {HttpMethod::POST, "", "POST|yes|"},
        {HttpMethod::PUT, "data", "PUT|yes|data"},
        {HttpMethod::PATCH, "p", "PATCH|yes|p"},
        {HttpMethod::DEL, "", "DELETE|yes|"},
        {HttpMethod::OPTIONS, "", "OPTIONS|yes|"},
        {HttpMethod::POST, std::string(3 << 20, 'x'), "POST|yes|" + std::string(3 << 20, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.method));
        HttpRequest request(c.method, Url(running.port(), "/echo"), c.body, 10);
        ASSERT_FALSE(request.AddHeader("X-Test", "yes"));
        IHttpResponse* response = nullptr;
        ASSERT_FALSE(client_.Perform(request, response));
        EXPECT_EQ(response->GetStatusCode(), 200);
        const std::string body(response->GetBody(), response->GetBodySize());
        EXPECT_EQ(body.size(), c.expected.size());
        EXPECT_TRUE(body == c.expected) << body.substr(0, 80);
        ReleaseHttpResponse(client_.GetAllocator(), response);
    }
    IHttpResponse* response = nullptr;
    ASSERT_FALSE(client_.Perform(HttpRequest(HttpMethod::HEAD, Url(running.port(), "/status/200")), response));
    EXPECT_EQ(response->GetStatusCode(), 200);
    EXPECT_EQ(response->GetBodySize(), 0u);
    ReleaseHttpResponse(client_.GetAllocator(), response);
}

TEST_F(HttpClientTest, BadHeadersAreRefused) {
    HttpRequest request(HttpMethod::GET, "http://127.0.0.1/");
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"", "v"}, {"A:B", "v"}, {"A\r\nB", "v"}, {"A", "v\r\nInjected: 1"}, {std::string("A\0B", 3), "v"}}) {
        EXPECT_TRUE(request.AddHeader(name, value)) << name;
    }
    EXPECT_TRUE(request.GetHeaders().empty());
}

TEST_F(HttpClientTest, ResponsesLiveInTheClientsAllocator) {
    Running running(server_, DropClient());
    std::atomic<int> allocated{0}, freed{0};
    Allocator counting;
    counting.allocate = [&](uint64_t size) {
        ++allocated;
        return std::malloc(size);
    };
    counting.free = [&](void* p) {
        ++freed;
        std::free(p);
    };
    HttpClient client(&counting, nullptr);
    EXPECT_EQ(&client.GetAllocator(), &counting);
    IHttpResponse* response = nullptr;
    ASSERT_FALSE(client.Perform(HttpRequest(HttpMethod::GET, Url(running.port(), "/status/200")), response));
    EXPECT_EQ(allocated, 1);
    ReleaseHttpResponse(client.GetAllocator(), response);
    EXPECT_EQ(freed, 1);

    // An allocator that has no memory gives an error, not a response.
    Allocator empty;
    empty.allocate = [](uint64_t) -> void* { return nullptr; };
    HttpClient starved(&empty, nullptr);
    EXPECT_TRUE(starved.Perform(HttpRequest(HttpMethod::GET, Url(running.port(), "/status/200")), response));
    EXPECT_EQ(response, nullptr);
}

TEST_F(HttpClientTest, TransferFailuresAreCurlErrorsTheErrorTestsCallNetwork) {
    Running running(server_, DropClient());
    struct Case {
        const char* name;
        std::string url;
        long timeout;
        TransferError code;
        bool network;  // else the error tests call it a slow connection
    };
    const Case cases[] = {
        {"closed port", Url(cloud::FreeLoopbackPort(), "/"), 5, TransferError::CouldNotConnect, true},
        {"time-out", Url(running.port(), "/slow"), 1, TransferError::OperationTimedOut, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IHttpResponse* response = nullptr;
        const auto error = client_.Perform(HttpRequest(HttpMethod::GET, c.url, "", c.timeout), response);
        EXPECT_EQ(response, nullptr);
        EXPECT_EQ(error.type(), kTransferErrorType);
        EXPECT_EQ(error.code(), static_cast<int>(c.code)) << error.what();
        EXPECT_EQ(plenar::agent::IsNetworkError(error), c.network) << error.what();
        EXPECT_EQ(plenar::agent::IsSlowInternetError(error), !c.network) << error.what();
    }
}

// A request the server holds ends at once when its token is cancelled from another thread, and a
// token once cancelled sends nothing more; a timeout in milliseconds ends one early too.
TEST_F(HttpClientTest, ACancelOrATimeoutInMillisecondsEndsARequestTheServerHolds) {
    using namespace std::chrono_literals;
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    bool released = false;
    server_.Get("/held", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(mutex);
        ++arrived;
        changed.notify_all();
        changed.wait_for(lock, 5s, [&] { return released; });
        response.set_content("late", "text/plain");
    });
    Running running(server_, [&] {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
        held_.reset();
    });
    auto cancel = std::make_shared<HttpCancel>();
    HttpRequest request(HttpMethod::GET, Url(running.port(), "/held"), "", 10);
    request.SetCancel(cancel);
    error::Error error;
    std::thread call([&] {
        IHttpResponse* response = nullptr;
        error = client_.Perform(request, response);
        EXPECT_EQ(response, nullptr);
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return arrived == 1; }));
    }
    auto start = std::chrono::steady_clock::now();
    cancel->Cancel();
    call.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(error.type(), kTransferErrorType);
    EXPECT_EQ(error.code(), 42) << error.what();  // aborted
    EXPECT_NE(std::string(error.what()).find("cancelled"), std::string::npos) << error.what();

    IHttpResponse* response = nullptr;
    error = client_.Perform(request, response);
    EXPECT_EQ(error.code(), 42) << error.what();
    EXPECT_EQ(response, nullptr);

    HttpRequest timed(HttpMethod::GET, Url(running.port(), "/held"), "", 10);
    timed.SetTimeoutMilliseconds(300);
    start = std::chrono::steady_clock::now();
    error = client_.Perform(timed, response);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(error.code(), static_cast<int>(TransferError::OperationTimedOut)) << error.what();
    std::lock_guard lock(mutex);
    EXPECT_EQ(arrived, 2);  // the cancelled token's second request never left
}

TEST_F(HttpClientTest, SinkReceivesTheBodyFromTheResumePointAndCanStopIt) {
    Running running(server_, DropClient());
    std::string received;
    HttpRequest request(HttpMethod::GET, Url(running.port(), "/file"));
    request.SetResumeFrom(4);
    IHttpResponse* response = nullptr;
    ASSERT_FALSE(client_.Perform(request, response, [&](const char* data, size_t size) {
        received.append(data, size);
        return true;
    }));
    EXPECT_EQ(response->GetStatusCode(), 206);
    EXPECT_EQ(response->GetBodySize(), 0u);
    EXPECT_EQ(received, "456789");
    ReleaseHttpResponse(client_.GetAllocator(), response);

    const auto error = client_.Perform(HttpRequest(HttpMethod::GET, Url(running.port(), "/file")), response,
                                       [](const char*, size_t) { return false; });
    EXPECT_TRUE(error);
    EXPECT_EQ(response, nullptr);
}

TEST_F(HttpClientTest, HttpsChecksTheServerAndPresentsTheClientCertificate) {
    cloud::LocalCa ca(scratch() / "ca");
    cloud::LocalCa otherCa(scratch() / "other-ca");
    const auto server = ca.IssueServer({"localhost", "127.0.0.1"});
    cloud::WritePrivateFile(scratch() / "server.pem", server.certificate);
    cloud::WritePrivateFile(scratch() / "server-key.pem", server.privateKey);
    httplib::SSLServer https((scratch() / "server.pem").c_str(), (scratch() / "server-key.pem").c_str(),
                             ca.CertificateFile().c_str());
    https.Get("/who", [](const httplib::Request& request, httplib::Response& response) {
        X509* peer = SSL_get1_peer_certificate(request.ssl);
        response.set_content(cloud::CommonNameOf(peer), "text/plain");
        X509_free(peer);
    });
    Running running(https, DropClient());
    const std::string url = "https://127.0.0.1:" + std::to_string(running.port()) + "/who";
    const auto device = ca.IssueDevice("device-7");

    HttpRequest good(HttpMethod::GET, url, "", 10);
    good.SetCaCertificate(ca.CertificatePem());
    good.SetClientCertificate(device.certificate, device.privateKey);
    IHttpResponse* response = nullptr;
    auto error = client_.Perform(good, response);
    ASSERT_FALSE(error) << error.what();
    EXPECT_STREQ(response->GetBody(), "device-7");
    ReleaseHttpResponse(client_.GetAllocator(), response);

    HttpRequest fromFile(HttpMethod::GET, url, "", 10);
    fromFile.SetCaFile(ca.CertificateFile().string());
    fromFile.SetClientCertificate(device.certificate, device.privateKey);
    EXPECT_FALSE(client_.Perform(fromFile, response));
    ReleaseHttpResponse(client_.GetAllocator(), response);

    HttpRequest wrongCa(HttpMethod::GET, url, "", 10);
    wrongCa.SetCaCertificate(otherCa.CertificatePem());
    wrongCa.SetClientCertificate(device.certificate, device.privateKey);
    error = client_.Perform(wrongCa, response);
    EXPECT_EQ(error.code(), static_cast<int>(TransferError::PeerFailedVerification)) << error.what();

    HttpRequest noCertificate(HttpMethod::GET, url, "", 10);
    noCertificate.SetCaCertificate(ca.CertificatePem());
    error = client_.Perform(noCertificate, response);
    EXPECT_TRUE(error);
    EXPECT_EQ(response, nullptr);
}


// The client port of each request the server saw: one port per connection.
class PortLog {
  public:
    void Add(int port) {
        std::lock_guard guard(mutex_);
        ports_.push_back(port);
    }
    std::vector<int> Ports() {
        std::lock_guard guard(mutex_);
        return ports_;
    }

  private:
    std::mutex mutex_;
    std::vector<int> ports_;
};

bool Ok(HttpClient& client, const HttpRequest& request, std::string* body = nullptr) {
    IHttpResponse* response = nullptr;
    const auto error = client.Perform(request, response);
    const bool ok = !error && response != nullptr && response->GetStatusCode() == 200;
    if (body != nullptr && response != nullptr) body->assign(response->GetBody(), response->GetBodySize());
    ReleaseHttpResponse(client.GetAllocator(), response);
    return ok;
}

TEST_F(HttpClientTest, RequestsOfOneClientShareAConnection) {
    PortLog log;
    server_.Get("/port", [&](const httplib::Request& request, httplib::Response& response) {
        log.Add(request.remote_port);
        response.set_content("ok", "text/plain");
    });
    server_.Post("/port", [&](const httplib::Request& request, httplib::Response& response) {
        log.Add(request.remote_port);
        response.set_content(request.body, "text/plain");
    });
    Running running(server_, DropClient());
    ASSERT_TRUE(Ok(client_, HttpRequest(HttpMethod::GET, Url(running.port(), "/port"))));
    ASSERT_TRUE(Ok(client_, HttpRequest(HttpMethod::POST, Url(running.port(), "/port"), "body", 10)));
    ASSERT_TRUE(Ok(client_, HttpRequest(HttpMethod::GET, Url(running.port(), "/port"))));
    const auto ports = log.Ports();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(std::set<int>(ports.begin(), ports.end()).size(), 1u);
}

// A plain HTTP server on loopback that answers the first request of each connection and keeps the
// connection, then resets it when the next request arrives there: a kept connection the server
// dropped.
class DroppingServer {
  public:
    DroppingServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("no loopback listener");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DroppingServer() {
        stop_ = true;
        thread_.join();
        for (const auto& [fd, answered] : connections_) ::close(fd);
        ::close(listener_);
    }
    int port() const { return port_; }
    int accepted() const { return accepted_; }
    int dropped() const { return dropped_; }

  private:
    void Serve() {
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const auto& [fd, answered] : connections_) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    connections_[fd] = false;
                    ++accepted_;
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                const int fd = fds[i].fd;
                if (!ReadRequest(fd) || connections_[fd]) {
                    dropped_ += connections_[fd] ? 1 : 0;
                    linger reset{1, 0};  // a reset, not an orderly close
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    ::close(fd);
                    connections_.erase(fd);
                    continue;
                }
                const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";
                if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(answer.size()))
                    connections_[fd] = true;
            }
        }
    }

    // The head and the Content-Length bytes of a body; false at the end of the stream.
    static bool ReadRequest(int fd) {
        std::string text;
        char buffer[4096];
        size_t need = std::string::npos;
        while (need == std::string::npos || text.size() < need) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) return false;
            text.append(buffer, static_cast<size_t>(got));
            const auto head = text.find("\r\n\r\n");
            if (need == std::string::npos && head != std::string::npos) {
                const auto length = text.find("Content-Length: ");
                need = head + 4 + (length != std::string::npos && length < head ? std::stoul(text.substr(length + 16)) : 0);
            }
        }
        return true;
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::map<int, bool> connections_;  // descriptor -> its first request answered
    std::atomic<int> accepted_{0};
    std::atomic<int> dropped_{0};
};

TEST_F(HttpClientTest, AKeptConnectionTheServerDroppedIsReopenedUnseen) {
    DroppingServer server;
    const std::string url = Url(server.port(), "/");
    for (const auto& request : {HttpRequest(HttpMethod::GET, url, "", 10), HttpRequest(HttpMethod::POST, url, "one", 10),
                                HttpRequest(HttpMethod::PUT, url, "two", 10), HttpRequest(HttpMethod::GET, url, "", 10)}) {
        std::string body;
        EXPECT_TRUE(Ok(client_, request, &body));
        EXPECT_EQ(body, "ok");
    }
    // Each request after the first went out on the kept connection, was dropped and sent again.
    EXPECT_EQ(server.dropped(), 3);
    EXPECT_EQ(server.accepted(), 4);
}

TEST_F(HttpClientTest, OneClientServesManyThreadsAtOnce) {
    server_.Post("/echo-body", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(request.body, "text/plain");
    });
    Running running(server_, DropClient());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string sent = std::to_string(t) + "/" + std::to_string(i);
                std::string body;
                if (!Ok(client_, HttpRequest(HttpMethod::POST, Url(running.port(), "/echo-body"), sent, 10), &body) ||
                    body != sent)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}

class HttpsClientTest : public HttpClientTest {
  protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        const auto server = ca_.IssueServer({"localhost", "127.0.0.1"});
        cloud::WritePrivateFile(scratch() / "server.pem", server.certificate);
        cloud::WritePrivateFile(scratch() / "server-key.pem", server.privateKey);
    }

    // A server that checks client certificates and answers each request with the client's name,
    // whether its TLS session was resumed, and its port.
    std::unique_ptr<httplib::SSLServer> Server(PortLog& ports) {
        auto https = std::make_unique<httplib::SSLServer>((scratch() / "server.pem").c_str(),
                                                          (scratch() / "server-key.pem").c_str(),
                                                          ca_.CertificateFile().c_str());
        static constexpr unsigned char kContext[] = "test";
        SSL_CTX_set_session_id_context(https->ssl_context(), kContext, sizeof kContext - 1);
        https->Get("/who", [&ports](const httplib::Request& request, httplib::Response& response) {
            X509* peer = SSL_get1_peer_certificate(request.ssl);
            response.set_content(cloud::CommonNameOf(peer) + (SSL_session_reused(request.ssl) ? " resumed" : ""),
                                 "text/plain");
            X509_free(peer);
            ports.Add(request.remote_port);
        });
        return https;
    }

    HttpRequest Who(int port, const cloud::IssuedCertificate& device) {
        HttpRequest request(HttpMethod::GET, "https://127.0.0.1:" + std::to_string(port) + "/who", "", 10);
        request.SetCaCertificate(ca_.CertificatePem());
        request.SetClientCertificate(device.certificate, device.privateKey);
        return request;
    }

    cloud::LocalCa ca_{scratch() / "ca"};
};

TEST_F(HttpsClientTest, ConnectionsAreKeptPerCertificate) {
    PortLog ports;
    auto https = Server(ports);
    Running running(*https, DropClient());
    const auto seven = ca_.IssueDevice("device-7");
    const auto eight = ca_.IssueDevice("device-8");
    std::vector<std::string> names;
    for (const auto* device : {&seven, &eight, &seven, &eight, &seven}) {
        std::string body;
        EXPECT_TRUE(Ok(client_, Who(running.port(), *device), &body));
        names.push_back(body);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"device-7", "device-8", "device-7", "device-8", "device-7"}));
    const auto seen = ports.Ports();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0], seen[2]);
    EXPECT_EQ(seen[0], seen[4]);
    EXPECT_EQ(seen[1], seen[3]);
    EXPECT_NE(seen[0], seen[1]);
}

TEST_F(HttpsClientTest, TheTlsSessionOutlivesAConnectionTheServerClosed) {
    PortLog ports;
    auto https = Server(ports);
    https->set_keep_alive_max_count(1);  // one request per connection
    Running running(*https, DropClient());
    const auto seven = ca_.IssueDevice("device-7");
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        std::string body;
        EXPECT_TRUE(Ok(client_, Who(running.port(), seven), &body));
        names.push_back(body);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"device-7", "device-7 resumed", "device-7 resumed"}));
    const auto seen = ports.Ports();
    EXPECT_EQ(std::set<int>(seen.begin(), seen.end()).size(), 3u);
}

// The descriptor of this process's loopback TCP connection from port `local` to port `remote`; -1
// when there is none.
int ConnectionDescriptor(int local, int remote) {
    std::ifstream table("/proc/self/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    std::string inode;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, from, to, skip;
        fields >> slot >> from >> to >> skip >> skip >> skip >> skip >> skip >> skip >> inode;
        if (std::stoi(from.substr(from.find(':') + 1), nullptr, 16) == local &&
            std::stoi(to.substr(to.find(':') + 1), nullptr, 16) == remote) {
            for (const auto& [fd, target] : testing::OpenDescriptors(::getpid())) {
                if (target == "socket:[" + inode + "]") return fd;
            }
        }
    }
    return -1;
}

TEST_F(HttpsClientTest, AKeptConnectionIsClosedOnExec) {
    PortLog ports;
    auto https = Server(ports);
    Running running(*https, DropClient());
    ASSERT_TRUE(Ok(client_, Who(running.port(), ca_.IssueDevice("device-7"))));
    ASSERT_EQ(ports.Ports().size(), 1u);
    const int kept = ConnectionDescriptor(ports.Ports()[0], running.port());
    ASSERT_GE(kept, 0);
    EXPECT_TRUE(::fcntl(kept, F_GETFD) & FD_CLOEXEC);
}

TEST_F(HttpsClientTest, DamagedCertificateKeyOrRootsAreTransferErrors) {
    const auto seven = ca_.IssueDevice("device-7");
    const auto eight = ca_.IssueDevice("device-8");
    struct Case {
        const char* name;
        std::string certificate;
        std::string key;
        std::string roots;
        int code;
    };
    const std::string cut = seven.certificate.substr(0, seven.certificate.size() / 2);
    const Case cases[] = {
        {"certificate not PEM", "not a certificate", seven.privateKey, ca_.CertificatePem(), 58},
        {"certificate cut", cut, seven.privateKey, ca_.CertificatePem(), 58},
        {"key of another certificate", seven.certificate, eight.privateKey, ca_.CertificatePem(), 58},
        {"no key", seven.certificate, "", ca_.CertificatePem(), 58},
        {"roots not PEM", seven.certificate, seven.privateKey, "{\"json\": true}", 77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequest request(HttpMethod::GET, "https://127.0.0.1:1/who", "", 10);
        request.SetClientCertificate(c.certificate, c.key);
        request.SetCaCertificate(c.roots);
        IHttpResponse* response = nullptr;
        const auto error = client_.Perform(request, response);
        EXPECT_EQ(response, nullptr);
        EXPECT_EQ(error.type(), kTransferErrorType);
        EXPECT_EQ(error.code(), c.code) << error.what();
    }
}
}  // namespace
}  // namespace zelko::shared::http
