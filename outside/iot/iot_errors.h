#pragma once

// The failures of the IoT device library. The agent's retry decisions recognise them by their type
// text, their code and the AWS error name in their message, so every error of this library is made here.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "outside/error/error.h"

namespace zelko::shared::iot {

// The broker's HTTP side (publish over HTTP, shadows, credentials) answered with an error status;
// the error's code is the status.
inline constexpr std::string_view kIotHttpErrorType = "enum zelko::shared::iot::IotHttpError";

// The families of connection failures, each with its own type text.
enum class ConnectionFamily {
    AwsIotErrorCodes,
    AwsConnectionConfigBuilderErrors,
    AwsMqttClientErrors,
    MqttConnectionProxyErrors,
    MqttConnectionErrors,
    MqttClientAwsErrors,
};

inline constexpr std::string_view TypeText(ConnectionFamily family) {
    switch (family) {
        case ConnectionFamily::AwsIotErrorCodes:
            return "enum zelko::shared::iot::aws_iot_error_codes";
        case ConnectionFamily::AwsConnectionConfigBuilderErrors:
            return "enum zelko::shared::iot::AwsConnectionConfigBuilderErrors";
        case ConnectionFamily::AwsMqttClientErrors:
            return "enum zelko::shared::iot::AwsMqttClientErrors";
        case ConnectionFamily::MqttConnectionProxyErrors:
            return "enum zelko::shared::iot::MqttConnectionProxyErrors";
        case ConnectionFamily::MqttConnectionErrors:
            return "enum zelko::shared::iot::MqttConnectionErrors";
        case ConnectionFamily::MqttClientAwsErrors:
            return "enum zelko::shared::iot::MqttClientAwsErrors";
    }
    return {};
}

// Code of an aws_iot_error_codes failure for something the broker does not hold.
inline constexpr int64_t kNotFoundCode = 404;

// AWS error names the library puts in its messages. DNS and socket names mean the broker could not be
// reached (the agent reconnects); TLS names mean the device's certificate was refused (it re-enrolls).
inline constexpr std::string_view kAwsDnsQueryFailed = "AWS_IO_DNS_QUERY_FAILED";
inline constexpr std::string_view kAwsDnsNoAddressForHost = "AWS_IO_DNS_NO_ADDRESS_FOR_HOST";
inline constexpr std::string_view kAwsSocketConnectionRefused = "AWS_IO_SOCKET_CONNECTION_REFUSED";
inline constexpr std::string_view kAwsSocketTimeout = "AWS_IO_SOCKET_TIMEOUT";
inline constexpr std::string_view kAwsSocketNetworkDown = "AWS_IO_SOCKET_NETWORK_DOWN";
inline constexpr std::string_view kAwsSocketClosed = "AWS_IO_SOCKET_CLOSED";
inline constexpr std::string_view kAwsSocketNotConnected = "AWS_IO_SOCKET_NOT_CONNECTED";
inline constexpr std::string_view kAwsTlsAlertReceived = "AWS_IO_TLS_ERROR_ALERT_RECEIVED";
inline constexpr std::string_view kAwsTlsNegotiationTimeout = "AWS_IO_TLS_NEGOTIATION_TIMEOUT";
inline constexpr std::string_view kAwsTlsNegotiationFailure = "AWS_IO_TLS_ERROR_NEGOTIATION_FAILURE";
inline constexpr std::string_view kAwsTlsContextError = "AWS_IO_TLS_CTX_ERROR";
inline constexpr std::string_view kAwsFileValidationFailure = "AWS_IO_FILE_VALIDATION_FAILURE";
inline constexpr std::string_view kAwsStreamReadFailed = "AWS_IO_STREAM_READ_FAILED";

inline error::Error MakeIotHttpError(int32_t status, std::string message, std::string origin = {}) {
    return error::Error(error::ErrorCategory::EC_Component, status, std::move(message),
                        std::string(kIotHttpErrorType), std::move(origin));
}

// The message is the detail followed by ": " and the AWS error name; the name must stand apart from
// the text before it, or the retry decisions do not find it.
inline error::Error MakeConnectionError(ConnectionFamily family, int64_t code,
                                        std::string_view aws_error_name, std::string_view detail = {},
                                        std::string origin = {}) {
    std::string message;
    if (!detail.empty()) {
        message.append(detail);
        message.append(": ");
    }
    message.append(aws_error_name);
    return error::Error(error::ErrorCategory::EC_Component, code, std::move(message),
                        std::string(TypeText(family)), std::move(origin));
}

// Something the broker does not hold (no credentials, no such shadow).
inline error::Error MakeNotFoundError(std::string_view aws_error_name, std::string_view detail = {},
                                      std::string origin = {}) {
    return MakeConnectionError(ConnectionFamily::AwsIotErrorCodes, kNotFoundCode, aws_error_name, detail,
                               std::move(origin));
}

}  // namespace zelko::shared::iot
