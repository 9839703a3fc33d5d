#include "outside/http/http_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "cloud/broker.h"
#include "cloud/local_ca.h"
#include "outside/http/http_errors.h"
#include "state_machine/error_tests.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::http {
namespace {

// A loopback server run on its own thread for one test.
template <typename Server>
class Running {
  public:
    explicit Running(Server& server) : server_(server) {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~Running() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

  private:
    Server& server_;
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

    HttpClient client_{nullptr, nullptr};
    httplib::Server server_;
};

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

TEST_F(HttpClientTest, EveryStatusIsAResponseWithBodyAndHeaders) {
    Running running(server_);
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
    Running running(server_);
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
    Running running(server_);
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
    Running running(server_);
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

TEST_F(HttpClientTest, SinkReceivesTheBodyFromTheResumePointAndCanStopIt) {
    Running running(server_);
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
    Running running(https);
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

}  // namespace
}  // namespace zelko::shared::http
