#include "state_machine/error_tests.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <nlohmann/json.hpp>

#include "foundation/logging.h"

namespace zelko::plenar::agent {

using shared::error::Error;
using shared::error::ErrorCategory;

namespace {

constexpr std::array<std::string_view, 156> kAwsErrorNames = {
    "AWS_IO_CHANNEL_ERROR_ERROR_CANT_ACCEPT_INPUT",
    "AWS_IO_CHANNEL_UNKNOWN_MESSAGE_TYPE",
    "AWS_IO_CHANNEL_READ_WOULD_EXCEED_WINDOW",
    "AWS_IO_EVENT_LOOP_ALREADY_ASSIGNED",
    "AWS_IO_EVENT_LOOP_SHUTDOWN",
    "AWS_IO_TLS_ERROR_NEGOTIATION_FAILURE",
    "AWS_IO_TLS_ERROR_NOT_NEGOTIATED",
    "AWS_IO_TLS_ERROR_WRITE_FAILURE",
    "AWS_IO_TLS_ERROR_ALERT_RECEIVED",
    "AWS_IO_TLS_CTX_ERROR",
    "AWS_IO_TLS_VERSION_UNSUPPORTED",
    "AWS_IO_TLS_CIPHER_PREF_UNSUPPORTED",
    "AWS_IO_MISSING_ALPN_MESSAGE",
    "AWS_IO_UNHANDLED_ALPN_PROTOCOL_MESSAGE",
    "AWS_IO_FILE_VALIDATION_FAILURE",
    "AWS_ERROR_IO_EVENT_LOOP_THREAD_ONLY",
    "AWS_ERROR_IO_ALREADY_SUBSCRIBED",
    "AWS_ERROR_IO_NOT_SUBSCRIBED",
    "AWS_ERROR_IO_OPERATION_CANCELLED",
    "AWS_IO_READ_WOULD_BLOCK",
    "AWS_IO_BROKEN_PIPE",
    "AWS_IO_SOCKET_UNSUPPORTED_ADDRESS_FAMILY",
    "AWS_IO_SOCKET_INVALID_OPERATION_FOR_TYPE",
    "AWS_IO_SOCKET_CONNECTION_REFUSED",
    "AWS_IO_SOCKET_TIMEOUT",
    "AWS_IO_SOCKET_NO_ROUTE_TO_HOST",
    "AWS_IO_SOCKET_NETWORK_DOWN",
    "AWS_IO_SOCKET_CLOSED",
    "AWS_IO_SOCKET_NOT_CONNECTED",
    "AWS_IO_SOCKET_INVALID_OPTIONS",
    "AWS_IO_SOCKET_ADDRESS_IN_USE",
    "AWS_IO_SOCKET_INVALID_ADDRESS",
    "AWS_IO_SOCKET_ILLEGAL_OPERATION_FOR_STATE",
    "AWS_IO_SOCKET_CONNECT_ABORTED",
    "AWS_IO_DNS_QUERY_FAILED",
    "AWS_IO_DNS_INVALID_NAME",
    "AWS_IO_DNS_NO_ADDRESS_FOR_HOST",
    "AWS_IO_DNS_HOST_REMOVED_FROM_CACHE",
    "AWS_IO_STREAM_INVALID_SEEK_POSITION",
    "AWS_IO_STREAM_READ_FAILED",
    "DEPRECATED_AWS_IO_INVALID_FILE_HANDLE",
    "AWS_IO_SHARED_LIBRARY_LOAD_FAILURE",
    "AWS_IO_SHARED_LIBRARY_FIND_SYMBOL_FAILURE",
    "AWS_IO_TLS_NEGOTIATION_TIMEOUT",
    "AWS_IO_TLS_ALERT_NOT_GRACEFUL",
    "AWS_IO_MAX_RETRIES_EXCEEDED",
    "AWS_IO_RETRY_PERMISSION_DENIED",
    "AWS_IO_TLS_DIGEST_ALGORITHM_UNSUPPORTED",
    "AWS_IO_TLS_SIGNATURE_ALGORITHM_UNSUPPORTED",
    "AWS_ERROR_PKCS11_VERSION_UNSUPPORTED",
    "AWS_ERROR_PKCS11_TOKEN_NOT_FOUND",
    "AWS_ERROR_PKCS11_KEY_NOT_FOUND",
    "AWS_ERROR_PKCS11_KEY_TYPE_UNSUPPORTED",
    "AWS_ERROR_PKCS11_UNKNOWN_CRYPTOKI_RETURN_VALUE",
    "AWS_ERROR_PKCS11_CKR_CANCEL",
    "AWS_ERROR_PKCS11_CKR_HOST_MEMORY",
    "AWS_ERROR_PKCS11_CKR_SLOT_ID_INVALID",
    "AWS_ERROR_PKCS11_CKR_GENERAL_ERROR",
    "AWS_ERROR_PKCS11_CKR_FUNCTION_FAILED",
    "AWS_ERROR_PKCS11_CKR_ARGUMENTS_BAD",
    "AWS_ERROR_PKCS11_CKR_NO_EVENT",
    "AWS_ERROR_PKCS11_CKR_NEED_TO_CREATE_THREADS",
    "AWS_ERROR_PKCS11_CKR_CANT_LOCK",
    "AWS_ERROR_PKCS11_CKR_ATTRIBUTE_READ_ONLY",
    "AWS_ERROR_PKCS11_CKR_ATTRIBUTE_SENSITIVE",
    "AWS_ERROR_PKCS11_CKR_ATTRIBUTE_TYPE_INVALID",
    "AWS_ERROR_PKCS11_CKR_ATTRIBUTE_VALUE_INVALID",
    "AWS_ERROR_PKCS11_CKR_ACTION_PROHIBITED",
    "AWS_ERROR_PKCS11_CKR_DATA_INVALID",
    "AWS_ERROR_PKCS11_CKR_DATA_LEN_RANGE",
    "AWS_ERROR_PKCS11_CKR_DEVICE_ERROR",
    "AWS_ERROR_PKCS11_CKR_DEVICE_MEMORY",
    "AWS_ERROR_PKCS11_CKR_DEVICE_REMOVED",
    "AWS_ERROR_PKCS11_CKR_ENCRYPTED_DATA_INVALID",
    "AWS_ERROR_PKCS11_CKR_ENCRYPTED_DATA_LEN_RANGE",
    "AWS_ERROR_PKCS11_CKR_FUNCTION_CANCELED",
    "AWS_ERROR_PKCS11_CKR_FUNCTION_NOT_PARALLEL",
    "AWS_ERROR_PKCS11_CKR_FUNCTION_NOT_SUPPORTED",
    "AWS_ERROR_PKCS11_CKR_KEY_HANDLE_INVALID",
    "AWS_ERROR_PKCS11_CKR_KEY_SIZE_RANGE",
    "AWS_ERROR_PKCS11_CKR_KEY_TYPE_INCONSISTENT",
    "AWS_ERROR_PKCS11_CKR_KEY_NOT_NEEDED",
    "AWS_ERROR_PKCS11_CKR_KEY_CHANGED",
    "AWS_ERROR_PKCS11_CKR_KEY_NEEDED",
    "AWS_ERROR_PKCS11_CKR_KEY_INDIGESTIBLE",
    "AWS_ERROR_PKCS11_CKR_KEY_FUNCTION_NOT_PERMITTED",
    "AWS_ERROR_PKCS11_CKR_KEY_NOT_WRAPPABLE",
    "AWS_ERROR_PKCS11_CKR_KEY_UNEXTRACTABLE",
    "AWS_ERROR_PKCS11_CKR_MECHANISM_INVALID",
    "AWS_ERROR_PKCS11_CKR_MECHANISM_PARAM_INVALID",
    "AWS_ERROR_PKCS11_CKR_OBJECT_HANDLE_INVALID",
    "AWS_ERROR_PKCS11_CKR_OPERATION_ACTIVE",
    "AWS_ERROR_PKCS11_CKR_OPERATION_NOT_INITIALIZED",
    "AWS_ERROR_PKCS11_CKR_PIN_INCORRECT",
    "AWS_ERROR_PKCS11_CKR_PIN_INVALID",
    "AWS_ERROR_PKCS11_CKR_PIN_LEN_RANGE",
    "AWS_ERROR_PKCS11_CKR_PIN_EXPIRED",
    "AWS_ERROR_PKCS11_CKR_PIN_LOCKED",
    "AWS_ERROR_PKCS11_CKR_SESSION_CLOSED",
    "AWS_ERROR_PKCS11_CKR_SESSION_COUNT",
    "AWS_ERROR_PKCS11_CKR_SESSION_HANDLE_INVALID",
    "AWS_ERROR_PKCS11_CKR_SESSION_PARALLEL_NOT_SUPPORTED",
    "AWS_ERROR_PKCS11_CKR_SESSION_READ_ONLY",
    "AWS_ERROR_PKCS11_CKR_SESSION_EXISTS",
    "AWS_ERROR_PKCS11_CKR_SESSION_READ_ONLY_EXISTS",
    "AWS_ERROR_PKCS11_CKR_SESSION_READ_WRITE_SO_EXISTS",
    "AWS_ERROR_PKCS11_CKR_SIGNATURE_INVALID",
    "AWS_ERROR_PKCS11_CKR_SIGNATURE_LEN_RANGE",
    "AWS_ERROR_PKCS11_CKR_TEMPLATE_INCOMPLETE",
    "AWS_ERROR_PKCS11_CKR_TEMPLATE_INCONSISTENT",
    "AWS_ERROR_PKCS11_CKR_TOKEN_NOT_PRESENT",
    "AWS_ERROR_PKCS11_CKR_TOKEN_NOT_RECOGNIZED",
    "AWS_ERROR_PKCS11_CKR_TOKEN_WRITE_PROTECTED",
    "AWS_ERROR_PKCS11_CKR_UNWRAPPING_KEY_HANDLE_INVALID",
    "AWS_ERROR_PKCS11_CKR_UNWRAPPING_KEY_SIZE_RANGE",
    "AWS_ERROR_PKCS11_CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT",
    "AWS_ERROR_PKCS11_CKR_USER_ALREADY_LOGGED_IN",
    "AWS_ERROR_PKCS11_CKR_USER_NOT_LOGGED_IN",
    "AWS_ERROR_PKCS11_CKR_USER_PIN_NOT_INITIALIZED",
    "AWS_ERROR_PKCS11_CKR_USER_TYPE_INVALID",
    "AWS_ERROR_PKCS11_CKR_USER_ANOTHER_ALREADY_LOGGED_IN",
    "AWS_ERROR_PKCS11_CKR_USER_TOO_MANY_TYPES",
    "AWS_ERROR_PKCS11_CKR_WRAPPED_KEY_INVALID",
    "AWS_ERROR_PKCS11_CKR_WRAPPED_KEY_LEN_RANGE",
    "AWS_ERROR_PKCS11_CKR_WRAPPING_KEY_HANDLE_INVALID",
    "AWS_ERROR_PKCS11_CKR_WRAPPING_KEY_SIZE_RANGE",
    "AWS_ERROR_PKCS11_CKR_WRAPPING_KEY_TYPE_INCONSISTENT",
    "AWS_ERROR_PKCS11_CKR_RANDOM_SEED_NOT_SUPPORTED",
    "AWS_ERROR_PKCS11_CKR_RANDOM_NO_RNG",
    "AWS_ERROR_PKCS11_CKR_DOMAIN_PARAMS_INVALID",
    "AWS_ERROR_PKCS11_CKR_CURVE_NOT_SUPPORTED",
    "AWS_ERROR_PKCS11_CKR_BUFFER_TOO_SMALL",
    "AWS_ERROR_PKCS11_CKR_SAVED_STATE_INVALID",
    "AWS_ERROR_PKCS11_CKR_INFORMATION_SENSITIVE",
    "AWS_ERROR_PKCS11_CKR_STATE_UNSAVEABLE",
    "AWS_ERROR_PKCS11_CKR_CRYPTOKI_NOT_INITIALIZED",
    "AWS_ERROR_PKCS11_CKR_CRYPTOKI_ALREADY_INITIALIZED",
    "AWS_ERROR_PKCS11_CKR_MUTEX_BAD",
    "AWS_ERROR_PKCS11_CKR_MUTEX_NOT_LOCKED",
    "AWS_ERROR_PKCS11_CKR_NEW_PIN_MODE",
    "AWS_ERROR_PKCS11_CKR_NEXT_OTP",
    "AWS_ERROR_PKCS11_CKR_EXCEEDED_MAX_ITERATIONS",
    "AWS_ERROR_PKCS11_CKR_FIPS_SELF_TEST_FAILED",
    "AWS_ERROR_PKCS11_CKR_LIBRARY_LOAD_FAILED",
    "AWS_ERROR_PKCS11_CKR_PIN_TOO_WEAK",
    "AWS_ERROR_PKCS11_CKR_PUBLIC_KEY_INVALID",
    "AWS_ERROR_PKCS11_CKR_FUNCTION_REJECTED",
    "AWS_ERROR_IO_PINNED_EVENT_LOOP_MISMATCH",
    "AWS_ERROR_PKCS11_ENCODING_ERROR",
    "AWS_IO_TLS_ERROR_DEFAULT_TRUST_STORE_NOT_FOUND",
    "AWS_IO_STREAM_SEEK_FAILED",
    "AWS_IO_STREAM_GET_LENGTH_FAILED",
    "AWS_IO_STREAM_SEEK_UNSUPPORTED",
    "AWS_IO_STREAM_GET_LENGTH_UNSUPPORTED",
    "AWS_IO_TLS_ERROR_READ_FAILURE",
    "AWS_ERROR_PEM_MALFORMED",
};

bool IsComponent(const Error& error) { return error.category() == ErrorCategory::EC_Component; }

bool Contains(std::string_view text, std::string_view fragment) {
    return text.find(fragment) != std::string_view::npos;
}

// Letters A to Z only: type texts are compared byte by byte, whatever the locale.
std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool LowerTypeContains(const Error& error, std::string_view lower_fragment) {
    return Contains(LowerAscii(error.type()), lower_fragment);
}

bool IsEnrollmentLibraryType(const Error& error) {
    return Contains(error.type(), "Enrollment") && Contains(error.type(), "ErrorCodes");
}

bool IsAttestationLibraryType(const Error& error) {
    return Contains(error.type(), "DeviceAttestation") && Contains(error.type(), "ErrorCodes");
}

uint32_t Low32(int64_t code) { return static_cast<uint32_t>(static_cast<uint64_t>(code)); }

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// These two tests are the Service's; their records carry its names.
void LogParseFailure(const char* function, const Error& error) {
    auto* logger = logging::get<0>();
    if (logger == nullptr || !logger->checkSeverity(logging::warning)) return;
    std::string text(Error::ToString(error, nullptr), '\0');
    Error::ToString(error, text.data());
    *logger += logging::Record(logging::warning, function, __LINE__, nullptr).ref()
               << "Failed to parse error: " << text;
}

bool IsAwsNameInSet(std::string_view token) { return !token.empty() && AwsErrorNames().contains(token); }

// Built while the program loads, so no thread ever waits for it.
[[maybe_unused]] const bool kAwsErrorNamesFilled = !AwsErrorNames().empty();

}  // namespace

const std::unordered_set<std::string_view>& AwsErrorNames() {
    static const std::unordered_set<std::string_view> names(kAwsErrorNames.begin(), kAwsErrorNames.end());
    return names;
}

std::span<const std::string_view> AwsErrorNameList() { return kAwsErrorNames; }

// A scan rather than std::regex: libstdc++'s matcher recurses per character and overflows the stack on
// a long word, and messages can hold whole server answers.
std::string ExtractAwsErrorToken(std::string_view text) {
    constexpr std::string_view kPrefix = "AWS_";
    for (size_t start = text.find(kPrefix); start != std::string_view::npos;
         start = text.find(kPrefix, start + 1)) {
        if (start > 0 && IsWordChar(text[start - 1])) continue;
        size_t end = start + kPrefix.size();
        while (end < text.size() && IsWordChar(text[end])) ++end;
        if (end > start + kPrefix.size()) return std::string(text.substr(start, end - start));
    }
    return {};
}

bool IsEnrollmentError6(const Error& error) {
    return IsComponent(error) && IsEnrollmentLibraryType(error) && error.code() == 6;
}

bool IsEnrollmentCertMissingError(const Error& error) {
    return IsComponent(error) && IsEnrollmentLibraryType(error) && error.code() == 7;
}

bool IsEnrollmentCertReadError(const Error& error) {
    return IsComponent(error) && IsEnrollmentLibraryType(error) && (error.code() == 27 || error.code() == 28);
}

bool IsEnrollmentError13(const Error& error) {
    return IsComponent(error) && IsEnrollmentLibraryType(error) && error.code() == 13;
}

bool IsEnrollmentNotFoundError(const Error& error) {
    if (!IsComponent(error)) return false;
    if (IsEnrollmentLibraryType(error) && error.code() == 31) return true;
    if (Contains(error.type(), "HttpStatusCode") && error.code() == 404) return true;
    const auto message = nlohmann::json::parse(error.what(), nullptr, false);
    if (!message.is_object()) return false;
    const auto status = message.find("status");
    if (status == message.end() || !status->is_number()) return false;
    // A fraction is cut to its integer part; a float is never cast, as a huge one would not fit.
    if (status->is_number_float()) return std::trunc(status->get<double>()) == 404.0;
    return status->get<int64_t>() == 404;
}

bool IsSlowInternetError(const Error& error) {
    return IsComponent(error) && LowerTypeContains(error, "curlcode") &&
           (error.code() == 28 || Contains(error.what(), "too slow"));
}

bool IsDataReachedLimitError(const Error& error) {
    if (!IsComponent(error) || !Contains(error.type(), "CollectorErrorEnum") || error.code() != 14)
        return false;
    try {
        const auto message = nlohmann::json::parse(error.what());
        if (!message.is_object() || !message.contains("error")) return false;
        const auto cause = nlohmann::json::parse(message.at("error").get<std::string>());
        return cause.is_object() && cause.contains("code") && cause.at("code") == 4;
    } catch (...) {
        LogParseFailure("zelko::plenar::agent::Service::IsDataReachedLimitError", error);
        return false;
    }
}

bool IsNetworkError(const Error& error) {
    return IsComponent(error) && LowerTypeContains(error, "curlcode") && !IsSlowInternetError(error) &&
           !IsProxyError(error);
}

bool IsAwsInternetConnectionError(const Error& error) {
    static constexpr std::array<std::string_view, 7> kFamilies = {"AwsConnectionConfigBuilderErrors",
                                                                  "AwsMqttClientErrors",
                                                                  "MqttConnectionProxyErrors",
                                                                  "MqttConnectionErrors",
                                                                  "MqttClientAwsErrors",
                                                                  "int",
                                                                  "aws_iot_error_codes"};
    if (!IsComponent(error)) return false;
    bool family = false;
    for (std::string_view fragment : kFamilies) family = family || Contains(error.type(), fragment);
    if (!family) return false;
    try {
        const std::string token = ExtractAwsErrorToken(error.what());
        if (!IsAwsNameInSet(token)) return false;
        return Contains(token, "AWS_IO_DNS") || Contains(token, "AWS_IO_SOCKET");
    } catch (...) {
        LogParseFailure("zelko::plenar::agent::Service::IsAwsInternetConnectionError", error);
        return false;
    }
}

bool IsIotHttpError(const Error& error) {
    return IsComponent(error) && Contains(error.type(), "IotHttpError") && error.code() > 200;
}

bool IsGatewayTimeoutError(const Error& error) {
    return IsComponent(error) && ((Contains(error.type(), "HttpStatusCode") && error.code() == 504) ||
                                  (Contains(error.type(), "IotDeviceErrors") && error.code() == 1));
}

bool IsBadRequestError(const Error& error) {
    return IsComponent(error) && LowerTypeContains(error, "http") && error.code() == 400;
}

bool IsAttestationServerError(const Error& error) {
    if (!IsComponent(error)) return false;
    if (LowerTypeContains(error, "http")) {
        const auto message = nlohmann::json::parse(error.what(), nullptr, false);
        if (!message.is_object()) return false;
        const auto type = message.find("type");
        if (type == message.end()) return false;
        return type->is_string() && Contains(type->get_ref<const std::string&>(), "ATT0");
    }
    return IsAttestationLibraryType(error) && (error.code() == 10 || error.code() == 35);
}

bool IsAttestationLocalError(const Error& error) {
    return IsComponent(error) && IsAttestationLibraryType(error) && error.code() != 10 && error.code() != 35;
}

bool IsRateLimitedError(const Error& error) {
    return IsComponent(error) && LowerTypeContains(error, "http") &&
           (error.code() == 429 || error.code() >= 500);
}

bool IsProxyError(const Error& error) {
    if (!IsComponent(error)) return false;
    return (Contains(error.type(), "HttpStatusCode") && Low32(error.code()) == 403 &&
            Contains(error.what(), "Denied Access")) ||
           Contains(error.what(), "proxy");
}

// Every error typed as an HTTP status counts, whatever the status: callers rely on it.
bool IsUnauthorizedError(const Error& error) {
    return IsComponent(error) && (Low32(error.code()) == 401 || Contains(error.type(), "HttpStatusCode"));
}

bool IsAuthError(const Error& error) {
    return IsComponent(error) && (Low32(error.code()) == 401 || Low32(error.code()) == 403 ||
                                  Contains(error.type(), "HttpStatusCode"));
}

bool IsEnrollmentErrorsCode0(const Error& error) {
    return Contains(error.type(), "EnrollmentErrors") && error.code() == 0;
}

bool IsEnrollmentErrorsCode1(const Error& error) {
    return Contains(error.type(), "EnrollmentErrors") && error.code() == 1;
}

bool IsEnrollmentErrorType(const Error& error) {
    const std::string lower = LowerAscii(error.type());
    return Contains(lower, "enrollment") && Contains(lower, "errorcodes");
}

bool IsTlsError(const Error& error) {
    return IsComponent(error) && (Contains(error.what(), "TLS") || Contains(error.what(), "Tls"));
}

bool IsIotDeviceError(const Error& error) {
    if (!IsComponent(error)) return false;
    if (Contains(error.type(), "IotDeviceErrors") && error.code() == 1) return true;
    if (!Contains(error.type(), "aws_iot_error_codes") || error.code() != 404) return false;
    try {
        return IsAwsNameInSet(ExtractAwsErrorToken(error.what()));
    } catch (...) {
        return false;
    }
}

bool IsError5138(const Error& error) { return IsComponent(error) && Contains(error.what(), "5138"); }

}  // namespace zelko::plenar::agent
