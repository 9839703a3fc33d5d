#pragma once

// One JSON exchange with a maker service over the HTTP client, shared by the attestation and
// enrollment libraries.

#include <nlohmann/json.hpp>
#include <string>

#include "outside/error/error.h"
#include "outside/http/http_client.h"

namespace zelko::shared::keys {

struct ServiceAnswer {
    int32_t status = 0;
    std::string body;
    nlohmann::json json;  // the body parsed; discarded when it is not JSON
};

// Sends the request (JSON body when not null, Bearer token when not empty) and fills answer.
// A transfer failure is returned as the client's error; an answer whose status is not 2xx as an
// HTTP status error whose message is the answer's body (the retry decisions read its "status"
// and "type"). A null client is an invalid-argument error of the given type.
error::Error CallService(http::IHttpClient* client, http::HttpMethod method, const std::string& url,
                         const nlohmann::json& body, const std::string& bearer, ServiceAnswer& answer,
                         const std::string& origin);

// The URI with every "{deviceUniqueId}" replaced by the id.
std::string WithDeviceId(std::string uri, const std::string& deviceId);

// The dump of a document for a request, never raising on text that is not UTF-8.
std::string Dump(const nlohmann::json& document);

}  // namespace zelko::shared::keys
