// The local cloud's HTTPS ports with kept connections: a device's TLS session is resumed on a new
// connection, and small answers on a kept connection come without a delayed-acknowledgement wait.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "testing/local_cloud.h"

namespace zelko::cloud::test {
namespace {

using shared::http::HttpClient;
using shared::http::HttpMethod;
using shared::http::HttpRequest;
using shared::http::IHttpResponse;

struct Port {
    const char* name;
    int port;
    bool clientCertificate;
};

std::vector<Port> HttpsPorts() {
    return {{"device", Cloud().https, true}, {"services", Cloud().services, false}};
}

HttpRequest Request(const Port& port, const std::pair<int, nlohmann::json>& device, bool close) {
    HttpRequest request(HttpMethod::GET, "https://127.0.0.1:" + std::to_string(port.port) + "/no-such-path", "", 10);
    request.SetCaCertificate(Cloud().caPem);
    if (port.clientCertificate)
        request.SetClientCertificate(device.second["certificate"], device.second["privateKey"]);
    // The server closes the connection after its answer: the next request resumes the session.
    if (close) request.AddHeader("Connection", "close");
    return request;
}

int Status(HttpClient& client, const HttpRequest& request, std::string& failure) {
    IHttpResponse* response = nullptr;
    const auto error = client.Perform(request, response);
    failure = error ? error.what() : "";
    const int status = response != nullptr ? response->GetStatusCode() : 0;
    shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    return status;
}

TEST(KeptConnections, EveryHttpsPortResumesASessionOnANewConnection) {
    const auto device = Admin(HttpMethod::POST, "/certificates", {{"thing", "kept-connections"}});
    ASSERT_EQ(device.first, 200);
    for (const auto& port : HttpsPorts()) {
        SCOPED_TRACE(port.name);
        HttpClient client(nullptr, nullptr);
        for (int i = 0; i < 3; ++i) {
            std::string failure;
            EXPECT_NE(Status(client, Request(port, device, true), failure), 0) << "request " << i << ": " << failure;
        }
    }
}

TEST(KeptConnections, SmallAnswersOnAKeptConnectionComeAtOnce) {
    const auto device = Admin(HttpMethod::POST, "/certificates", {{"thing", "kept-connections"}});
    ASSERT_EQ(device.first, 200);
    for (const auto& port : HttpsPorts()) {
        SCOPED_TRACE(port.name);
        HttpClient client(nullptr, nullptr);
        std::string failure;
        ASSERT_NE(Status(client, Request(port, device, false), failure), 0) << failure;
        std::vector<double> milliseconds;
        for (int i = 0; i < 9; ++i) {
            const auto start = std::chrono::steady_clock::now();
            Status(client, Request(port, device, false), failure);
            milliseconds.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(milliseconds.begin(), milliseconds.end());
        // A delayed acknowledgement holds an answer sent in two writes for 40 ms.
        EXPECT_LT(milliseconds[milliseconds.size() / 2], 30.0);
    }
}

}  // namespace
}  // namespace zelko::cloud::test
