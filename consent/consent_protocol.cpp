#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>

#include "consent/consent_manager.h"
#include "foundation/logging.h"
#include "platform/steady_clock.h"

namespace zelko::plenar::agent {

namespace {

using shared::http::HttpMethod;
using shared::http::HttpRequest;
using shared::http::IHttpClient;
using shared::http::IHttpResponse;

// A JSON string literal; ordinary texts come out as they went in, between quotes.
std::string JsonText(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Unreserved characters stay, every other byte becomes %XX.
std::string UrlEncode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

// The body of a 200 answer, else "" (and a log line for other statuses). A request that would start
// past the manager's deadline is not sent.
std::string Send(HttpRequest& request, const ConsentManager& manager,
                 const std::shared_ptr<IHttpClient>& client, bool logBody, const char* name) {
    if (manager.deadline != 0) {
        const int64_t left = (manager.deadline - platform::SteadyNowNanos()) / 1'000'000;
        if (left <= 0) {
            LOG_WARNING << name << ": no time left for the request";
            return "";
        }
        request.SetTimeoutMilliseconds(
            static_cast<long>(std::min<int64_t>(left, manager.requestTimeoutSeconds * 1000)));
    }
    request.SetCancel(manager.cancel);
    IHttpResponse* response = nullptr;
    const auto error = client->Perform(request, response);
    if (error || response == nullptr) {
        ReleaseResponse(client->GetAllocator(), response);
        return "";
    }
    std::string result;
    const int32_t status = response->GetStatusCode();
    if (status == 200) {
        result = response->GetBody() != nullptr ? response->GetBody() : "";
        if (logBody) {
            LOG_DEBUG << name << " Response: " << result << " for client " << client.get();
        }
    } else {
        LOG_ERROR << "NimbrelDataAccess: http request failure with error code: " << status;
    }
    ReleaseResponse(client->GetAllocator(), response);
    return result;
}

void Assign(const nlohmann::json& element, const char* key, std::string& field) {
    if (auto it = element.find(key); it != element.end()) field = it->get<std::string>();
}

}  // namespace

void ReleaseResponse(const shared::http::Allocator& allocator, IHttpResponse* response) {
    if (response == nullptr) return;
    try {
        response->~IHttpResponse();
        allocator.free(response);
    } catch (...) {
    }
}

std::string ConsentManager::CreateQueryPayload(const std::string& language, const std::string& deviceId,
                                               const std::vector<std::string>& purposeIds) {
    std::string ids;
    for (const auto& id : purposeIds) ids += (ids.empty() ? "" : ",") + JsonText(id);
    const std::string payload = "{\"language\": " + JsonText(language) + ", \"purposeIdList\": [" + ids +
                                "], \"deviceId\": " + JsonText(deviceId) + "}";
    LOG_DEBUG << "Consent Query Payload for purposeIds and biosUUID(deviceId): " << deviceId
              << " payload:" << payload;
    return payload;
}

std::string ConsentManager::CreateQueryPayload(const std::string& language, const std::string& country,
                                               const std::string& deviceId, const std::string& resourceId,
                                               const std::string& state, const std::string& purposeId) {
    const std::string query = "language=" + UrlEncode(language) + "&country=" + UrlEncode(country) +
                              "&deviceId=" + UrlEncode(deviceId) + "&resourceId=" + UrlEncode(resourceId) +
                              "&state=" + UrlEncode(state) + "&purposeId=" + UrlEncode(purposeId);
    LOG_DEBUG << "Consent Query Payload for purposeResourceId and biosUUID(deviceId): " << deviceId
              << " payload:" << query;
    return query;
}

std::string ConsentManager::GetPurposeMetadata(const std::string& payload,
                                               const std::shared_ptr<IHttpClient>& httpClient) const {
    if (payload.empty() || host.empty()) return "";
    LOG_DEBUG << "Payload for GetPurposeMetadata" << payload << " for client " << httpClient.get();
    HttpRequest request(HttpMethod::POST, host + "api/2/consents", payload, requestTimeoutSeconds);
    request.AddHeader("Content-Type", "application/json");
    return Send(request, *this, httpClient, true, "GetPurposeMetadata");
}

std::string ConsentManager::SetSpecificPurposeMetada(const std::string& query,
                                                     const std::shared_ptr<IHttpClient>& httpClient) const {
    if (query.empty()) return "";
    LOG_DEBUG << "Payload for SetSpecificPurposeMetada" << query << " for client " << httpClient.get();
    HttpRequest request(HttpMethod::PUT, host + "api/2/consents?" + query, "", requestTimeoutSeconds);
    return Send(request, *this, httpClient, false, "SetSpecificPurposeMetada");
}

std::vector<Purpose> ConsentManager::DeserializePurposeList(const std::string& text) {
    std::vector<Purpose> purposes;
    try {
        const auto parsed = nlohmann::json::parse(text);
        // A single value counts as a list of one; objects give their member values in key order.
        std::vector<const nlohmann::json*> elements;
        if (parsed.is_array() || parsed.is_object()) {
            for (const auto& element : parsed) elements.push_back(&element);
        } else if (!parsed.is_null()) {
            elements.push_back(&parsed);
        }
        for (const auto* element : elements) {
            Purpose purpose;
            if (element->is_object()) {
                Assign(*element, "resourceId", purpose.resourceId);
                Assign(*element, "tenantId", purpose.tenantId);
                Assign(*element, "state", purpose.state);
                Assign(*element, "organization", purpose.organization);
                Assign(*element, "purposeId", purpose.purposeId);
                Assign(*element, "purposeResourceId", purpose.purposeResourceId);
                Assign(*element, "purposeVersion", purpose.purposeVersion);
                Assign(*element, "originType", purpose.originType);
                Assign(*element, "originId", purpose.originId);
                Assign(*element, "programId", purpose.programId);
                Assign(*element, "verbiageType", purpose.verbiageType);
                Assign(*element, "verbiageValue", purpose.verbiageValue);
                Assign(*element, "verbiageLocale", purpose.verbiageLocale);
                Assign(*element, "deviceId", purpose.deviceId);
                Assign(*element, "processingBasis", purpose.processingBasis);
                Assign(*element, "dateTime", purpose.dateTime);
            }
            purposes.push_back(std::move(purpose));
        }
    } catch (const std::exception& e) {
        LOG_ERROR << "failed to parse response " << text << " " << e.what();
    }
    return purposes;
}

}  // namespace zelko::plenar::agent
