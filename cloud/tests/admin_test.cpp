// The local cloud's admin side refuses what it cannot use and stays up.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

#include "cloud/local_cloud.h"
#include "testing/local_cloud.h"
#include "testing/temp_system_root.h"

namespace zelko::cloud::test {
namespace {

using shared::http::HttpMethod;

std::pair<int, nlohmann::json> Raw(int port, HttpMethod method, const std::string& path, const std::string& body) {
    shared::http::HttpClient client(nullptr, nullptr);
    shared::http::HttpRequest request(method, "http://127.0.0.1:" + std::to_string(port) + path, body, 10);
    request.AddHeader("Content-Type", "application/json");
    shared::http::IHttpResponse* response = nullptr;
    const auto error = client.Perform(request, response);
    if (error) return {0, nullptr};
    std::pair<int, nlohmann::json> result{response->GetStatusCode(),
                                          nlohmann::json::parse(response->GetBody(), nullptr, false)};
    shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    return result;
}

std::pair<int, nlohmann::json> Raw(HttpMethod method, const std::string& path, const std::string& body) {
    return Raw(Cloud().admin, method, path, body);
}

TEST(LocalCloudAdminTest, DamagedRequestsAreRefusedAndChangeNothing) {
    const std::string shadow = "/shadows/" + UniqueName("admin") + "/config";
    struct Case {
        const char* name;
        HttpMethod method;
        std::string path;
        std::string body;
        int status;
    };
    const std::vector<Case> cases = {
        {"empty shadow", HttpMethod::PUT, shadow, "", 400},
        {"cut shadow", HttpMethod::PUT, shadow, R"({"state":{"desired":)", 400},
        {"shadow not JSON", HttpMethod::PUT, shadow, "level=3", 400},
        {"shadow of wrong shape", HttpMethod::PUT, shadow, "[1,2]", 400},
        {"state of wrong type", HttpMethod::PUT, shadow, R"({"state":5})", 400},
        {"unknown section", HttpMethod::PUT, shadow, R"({"state":{"wished":{}}})", 400},
        {"version of wrong type", HttpMethod::PUT, shadow, R"({"state":{"desired":{}},"version":"1"})", 400},
        {"huge nesting", HttpMethod::PUT, shadow, std::string(200000, '['), 400},
        {"fault without endpoint", HttpMethod::POST, "/faults", R"({"status":500})", 400},
        {"fault of unknown endpoint", HttpMethod::POST, "/faults", R"({"endpoint":"everything"})", 400},
        {"fault count of wrong type", HttpMethod::POST, "/faults", R"({"endpoint":"publish","count":"many"})", 400},
        {"fault status out of range", HttpMethod::POST, "/faults", R"({"endpoint":"publish","status":42})", 400},
        // No number can hold these: converting them would be undefined.
        {"fault count a huge float", HttpMethod::POST, "/faults", R"({"endpoint":"publish","count":1e20})", 400},
        {"device fault count a huge float", HttpMethod::POST, "/device-faults", R"({"endpoint":"enroll","count":-1e30})",
         400},
        {"certificate without thing", HttpMethod::POST, "/certificates", R"({"thing":""})", 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Raw(c.method, c.path, c.body).first, c.status);
    }
    EXPECT_EQ(Raw(HttpMethod::GET, shadow, "").first, 404);
    EXPECT_EQ(Raw(HttpMethod::GET, "/status", "").second.value("broker_running", false), true);
    // The refused requests recorded nothing.
    EXPECT_EQ(Raw(HttpMethod::GET, "/messages?topic=nothing-here", "").second, nlohmann::json::array());
}

// The answer's status line to a request written as it stands, or "" when none comes in 3 s.
std::string RawStatusLine(const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(Cloud().admin));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) answer.assign(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

// A POST with no body at all (no length given, as "curl -X POST" sends it) is answered at once.
TEST(LocalCloudAdminTest, PostWithoutABodyIsAnswered) {
    for (const char* path : {"/broker/stop", "/broker/start"}) {
        SCOPED_TRACE(path);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RawStatusLine(std::string("POST ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
                  "HTTP/1.1 200 OK");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    EXPECT_EQ(Raw(HttpMethod::GET, "/status", "").second.value("broker_running", false), true);
}

// What admin requests stored is forgotten in place, and the stopped broker runs again: a long
// fuzzing run resets the cloud so, without ending its threads.
TEST(LocalCloudAdminTest, ClearStoresForgetsWhatRequestsStoredAndTheCloudServesOn) {
    testing::TempSystemRoot root;
    LocalCloud::Settings settings;
    settings.folder = root.path() / "cloud";
    LocalCloud cloud(settings);
    cloud.Start();
    const int port = cloud.AdminPort();
    ASSERT_EQ(Raw(port, HttpMethod::PUT, "/shadows/box/config", R"({"state":{"desired":{"level":3}}})").first, 200);
    ASSERT_EQ(Raw(port, HttpMethod::PUT, "/consents/box", R"([{"purposeId":"p1","state":"granted"}])").first, 200);
    ASSERT_EQ(Raw(port, HttpMethod::PUT, "/objects/bucket/key", "bytes").first, 200);
    ASSERT_EQ(Raw(port, HttpMethod::POST, "/broker/stop", "").first, 200);

    cloud.ClearStores();

    EXPECT_EQ(Raw(port, HttpMethod::GET, "/shadows/box/config", "").first, 404);
    EXPECT_EQ(Raw(port, HttpMethod::GET, "/consents/box", "").first, 404);
    EXPECT_EQ(Raw(port, HttpMethod::GET, "/objects", "").second, nlohmann::json::array());
    EXPECT_EQ(Raw(port, HttpMethod::GET, "/messages", "").second, nlohmann::json::array());
    EXPECT_EQ(Raw(port, HttpMethod::GET, "/status", "").second.value("broker_running", false), true);
    EXPECT_EQ(Raw(port, HttpMethod::PUT, "/shadows/box/config", R"({"state":{"desired":{"level":4}}})").first, 200);
    cloud.Stop();
}

}  // namespace
}  // namespace zelko::cloud::test
