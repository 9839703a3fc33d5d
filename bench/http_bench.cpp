// The HTTP client over HTTPS with a device certificate against an in-process local cloud: one
// shadow read per iteration through the same client (its connection kept between requests), and
// the same through a new client each time (a new connection and TLS handshake every request).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "cloud/local_cloud.h"
#include "outside/http/http_client.h"

namespace {

namespace http = zelko::shared::http;

struct HttpsSetup {
    std::filesystem::path folder;
    std::unique_ptr<zelko::cloud::LocalCloud> cloud;
    std::string certificate;
    std::string key;
    std::string url;

    HttpsSetup() {
        folder = std::filesystem::temp_directory_path() / ("zelko-http-bench-" + std::to_string(getpid()));
        zelko::cloud::LocalCloud::Settings settings;
        settings.folder = folder;
        cloud = std::make_unique<zelko::cloud::LocalCloud>(settings);
        cloud->Start();
        const auto issued = cloud->Ca().IssueDevice("bench-http");
        certificate = issued.certificate;
        key = issued.privateKey;
        cloud->UpdateShadow("bench-http", "config", {{"state", {{"desired", {{"level", 1}}}}}});
        url = "https://127.0.0.1:" + std::to_string(cloud->HttpsPort()) + "/things/bench-http/shadow?name=config";
    }
    ~HttpsSetup() {
        cloud.reset();
        std::filesystem::remove_all(folder);
    }

    http::HttpRequest Request() const {
        http::HttpRequest request(http::HttpMethod::GET, url, {}, 10);
        request.SetClientCertificate(certificate, key);
        request.SetCaCertificate(cloud->Ca().CertificatePem());
        return request;
    }
};

HttpsSetup& Https() {
    static HttpsSetup setup;
    return setup;
}

bool Get(http::HttpClient& client, const http::HttpRequest& request) {
    http::IHttpResponse* response = nullptr;
    const auto error = client.Perform(request, response);
    const bool ok = !error && response != nullptr && response->GetStatusCode() == 200;
    http::ReleaseHttpResponse(client.GetAllocator(), response);
    return ok;
}

void BM_HttpsRequestSameClient(benchmark::State& state) {
    auto& setup = Https();
    http::HttpClient client(nullptr, nullptr);
    const auto request = setup.Request();
    for (auto _ : state) {
        if (!Get(client, request)) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpsRequestSameClient)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_HttpsRequestNewClient(benchmark::State& state) {
    auto& setup = Https();
    const auto request = setup.Request();
    for (auto _ : state) {
        http::HttpClient client(nullptr, nullptr);
        if (!Get(client, request)) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpsRequestNewClient)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
