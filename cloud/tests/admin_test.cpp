// The local cloud's admin side refuses what it cannot use and stays up.

#include <gtest/gtest.h>

#include "cloud/tests/test_cloud.h"

namespace zelko::cloud::test {
namespace {

using shared::http::HttpMethod;

std::pair<int, nlohmann::json> Raw(HttpMethod method, const std::string& path, const std::string& body) {
    shared::http::HttpClient client(nullptr, nullptr);
    shared::http::HttpRequest request(method, "http://127.0.0.1:" + std::to_string(Cloud().admin) + path, body, 10);
    request.AddHeader("Content-Type", "application/json");
    shared::http::IHttpResponse* response = nullptr;
    const auto error = client.Perform(request, response);
    if (error) return {0, nullptr};
    std::pair<int, nlohmann::json> result{response->GetStatusCode(),
                                          nlohmann::json::parse(response->GetBody(), nullptr, false)};
    shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    return result;
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

}  // namespace
}  // namespace zelko::cloud::test
