#include "outside/attestation/service_call.h"

#include "outside/attestation/key_tools.h"
#include "outside/http/http_errors.h"

namespace zelko::shared::keys {

std::string Dump(const nlohmann::json& document) {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string WithDeviceId(std::string uri, const std::string& deviceId) {
    static const std::string kPlaceholder = "{deviceUniqueId}";
    for (size_t at = uri.find(kPlaceholder); at != std::string::npos; at = uri.find(kPlaceholder, at + deviceId.size()))
        uri.replace(at, kPlaceholder.size(), deviceId);
    return uri;
}

error::Error CallService(http::IHttpClient* client, http::HttpMethod method, const std::string& url,
                         const nlohmann::json& body, const std::string& bearer, ServiceAnswer& answer,
                         const std::string& origin) {
    answer = ServiceAnswer();
    if (client == nullptr) {
        return error::Error(error::ErrorCategory::EC_StdException, 1, "No HTTP client", "class std::invalid_argument",
                            origin);
    }
    http::HttpRequest request(method, url, body.is_null() ? std::string() : Dump(body), 60);
    if (!body.is_null()) request.AddHeader("Content-Type", "application/json");
    request.AddHeader("Accept", "application/json");
    if (const std::string ca = CloudCaFile(); !ca.empty()) request.SetCaFile(ca);
    if (!bearer.empty()) request.AddHeader("Authorization", "Bearer " + bearer);
    http::IHttpResponse* response = nullptr;
    if (error::Error failure = client->Perform(request, response)) {
        http::ReleaseHttpResponse(client->GetAllocator(), response);
        return failure;
    }
    if (response == nullptr) {
        return error::Error(error::ErrorCategory::EC_StdException, 1, "No answer", "class std::runtime_error", origin);
    }
    answer.status = response->GetStatusCode();
    if (response->GetBody() != nullptr) answer.body.assign(response->GetBody(), response->GetBodySize());
    http::ReleaseHttpResponse(client->GetAllocator(), response);
    answer.json = nlohmann::json::parse(answer.body, nullptr, false);
    if (answer.status < 200 || answer.status > 299) return http::MakeStatusError(answer.status, answer.body, origin);
    return {};
}

}  // namespace zelko::shared::keys
