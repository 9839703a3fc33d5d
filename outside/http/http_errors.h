#pragma once

// The failures of the HTTP client. The agent's retry decisions recognise them by their type text and
// code, so every error of this library is made here.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "outside/error/error.h"

namespace zelko::shared::http {

// The server answered with an error status; the error's code is the status itself.
inline constexpr std::string_view kHttpStatusCodeType = "enum zelko::shared::http::HttpStatusCode";
// The transfer failed before a status arrived; the error's code is libcurl's result code.
inline constexpr std::string_view kTransferErrorType = "enum CURLcode";

// Statuses the retry decisions single out; any other status is passed on as its number.
enum class HttpStatusCode : int32_t {
    BadRequest = 400,
    Unauthorized = 401,
    Forbidden = 403,
    NotFound = 404,
    TooManyRequests = 429,
    InternalServerError = 500,
    ServiceUnavailable = 503,
    GatewayTimeout = 504,
};

// libcurl result codes the client reports (same numbers as libcurl's CURLcode).
enum class TransferError : int32_t {
    CouldNotResolveProxy = 5,
    CouldNotResolveHost = 6,
    CouldNotConnect = 7,
    OperationTimedOut = 28,
    SslConnectError = 35,
    SendError = 55,
    ReceiveError = 56,
    PeerFailedVerification = 60,
};

// The message should hold the response body: the enrollment and attestation services explain a
// refusal in a JSON body that the retry decisions read ("status", "type").
inline error::Error MakeStatusError(int32_t status, std::string message, std::string origin = {}) {
    return error::Error(error::ErrorCategory::EC_Component, status, std::move(message),
                        std::string(kHttpStatusCodeType), std::move(origin));
}

inline error::Error MakeStatusError(HttpStatusCode status, std::string message, std::string origin = {}) {
    return MakeStatusError(static_cast<int32_t>(status), std::move(message), std::move(origin));
}

// The message should hold libcurl's own text: a low-speed abort says "too slow" and a proxy failure
// names the proxy, and both are read by the retry decisions.
inline error::Error MakeTransferError(int32_t curl_code, std::string message, std::string origin = {}) {
    return error::Error(error::ErrorCategory::EC_Component, curl_code, std::move(message),
                        std::string(kTransferErrorType), std::move(origin));
}

inline error::Error MakeTransferError(TransferError code, std::string message, std::string origin = {}) {
    return MakeTransferError(static_cast<int32_t>(code), std::move(message), std::move(origin));
}

}  // namespace zelko::shared::http
