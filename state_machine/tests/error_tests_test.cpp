#include "state_machine/error_tests.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "connectivity/connectivity_errors.h"
#include "foundation/logging.h"
#include "outside/attestation/attestation_errors.h"
#include "outside/enrollment/enrollment_errors.h"
#include "outside/http/http_errors.h"
#include "outside/iot/iot_errors.h"
#include "telemetry/collector_errors.h"

namespace zelko::plenar::agent {
namespace {

using shared::error::Error;
using shared::error::ErrorCategory;

struct NamedTest {
    const char* name;
    bool (*test)(const Error&);
};

constexpr std::array<NamedTest, 24> kTests = {{
    {"EnrollmentError6", &IsEnrollmentError6},
    {"EnrollmentCertMissing", &IsEnrollmentCertMissingError},
    {"EnrollmentCertRead", &IsEnrollmentCertReadError},
    {"EnrollmentError13", &IsEnrollmentError13},
    {"EnrollmentNotFound", &IsEnrollmentNotFoundError},
    {"SlowInternet", &IsSlowInternetError},
    {"DataReachedLimit", &IsDataReachedLimitError},
    {"Network", &IsNetworkError},
    {"AwsInternetConnection", &IsAwsInternetConnectionError},
    {"IotHttp", &IsIotHttpError},
    {"GatewayTimeout", &IsGatewayTimeoutError},
    {"BadRequest", &IsBadRequestError},
    {"AttestationServer", &IsAttestationServerError},
    {"AttestationLocal", &IsAttestationLocalError},
    {"RateLimited", &IsRateLimitedError},
    {"Proxy", &IsProxyError},
    {"Unauthorized", &IsUnauthorizedError},
    {"Auth", &IsAuthError},
    {"EnrollmentErrorsCode0", &IsEnrollmentErrorsCode0},
    {"EnrollmentErrorsCode1", &IsEnrollmentErrorsCode1},
    {"EnrollmentErrorType", &IsEnrollmentErrorType},
    {"Tls", &IsTlsError},
    {"IotDevice", &IsIotDeviceError},
    {"Error5138", &IsError5138},
}};

// The names of the tests that hold for the error.
std::set<std::string> Holding(const Error& error) {
    std::set<std::string> names;
    for (const auto& [name, test] : kTests) {
        if (test(error)) names.insert(name);
    }
    return names;
}

struct Row {
    std::string label;
    Error error;
    std::set<std::string> expected;
};

Error E5(std::string type, int64_t code, std::string message = {}) {
    return Error(ErrorCategory::EC_Component, code, std::move(message), std::move(type));
}

const std::string kEnr = "enum zelko::shared::enrollment::EnrollmentErrorCodes";
const std::string kEnrModule = "enum zelko::plenar::agent::ConnectivityModule::EnrollmentErrors";
const std::string kHttp = "enum zelko::shared::http::HttpStatusCode";
const std::string kHttpLower = "enum zelko::shared::http::httpstatuscode";
const std::string kCurl = "enum CURLcode";
const std::string kCollector = "enum zelko::plenar::agent::Collector::CollectorErrorEnum";
const std::string kIotHttp = "enum zelko::shared::iot::IotHttpError";
const std::string kIotDevice = "enum zelko::plenar::agent::ConnectivityModule::IotDeviceErrors";
const std::string kAwsIot = "enum zelko::shared::iot::aws_iot_error_codes";
const std::string kAtt = "enum zelko::shared::attestation::DeviceAttestationErrorCodes";

// Every row lists all the tests that must hold; every other test must not.
std::vector<Row> ClassificationRows() {
    const int64_t high = int64_t{1} << 32;
    std::vector<Row> rows = {
        // The enrollment library's codes.
        {"enrollment 6", E5(kEnr, 6), {"EnrollmentError6", "EnrollmentErrorType"}},
        {"enrollment 7", E5(kEnr, 7), {"EnrollmentCertMissing", "EnrollmentErrorType"}},
        {"enrollment 27", E5(kEnr, 27), {"EnrollmentCertRead", "EnrollmentErrorType"}},
        {"enrollment 28", E5(kEnr, 28), {"EnrollmentCertRead", "EnrollmentErrorType"}},
        {"enrollment 13", E5(kEnr, 13), {"EnrollmentError13", "EnrollmentErrorType"}},
        {"enrollment 31", E5(kEnr, 31), {"EnrollmentNotFound", "EnrollmentErrorType"}},
        {"enrollment other code", E5(kEnr, 8), {"EnrollmentErrorType"}},
        {"enrollment type in lower case", E5("enum enrollmenterrorcodes", 7), {"EnrollmentErrorType"}},
        // Not found: by enrollment code, by HTTP status, by the JSON "status" of the message.
        {"http 404", E5(kHttp, 404), {"EnrollmentNotFound", "Unauthorized", "Auth"}},
        {"json status 404", E5("int", 0, R"({"status":404,"title":"Not Found"})"), {"EnrollmentNotFound"}},
        {"json status 404.0", E5("int", 0, R"({"status":404.0})"), {"EnrollmentNotFound"}},
        {"json status as text", E5("int", 0, R"({"status":"404"})"), {}},
        {"json status null", E5("int", 0, R"({"status":null})"), {}},
        {"json array", E5("int", 0, R"([404])"), {}},
        {"json status 400", E5("int", 0, R"({"status":400})"), {}},
        {"json status huge float", E5("int", 0, R"({"status":1e300})"), {}},
        // Transfer errors: slow, proxy, else network.
        {"curl 28", E5(kCurl, 28, "Timeout was reached"), {"SlowInternet"}},
        {"curl too slow", E5(kCurl, 56, "Operation too slow. Less than 1 bytes/sec"), {"SlowInternet"}},
        {"curl proxy", E5(kCurl, 5, "Could not resolve proxy: p"), {"Proxy"}},
        {"curl other", E5(kCurl, 7, "Failed to connect"), {"Network"}},
        {"curl type in other case", E5("CurlCode", 6, "Could not resolve host"), {"Network"}},
        // Data limit: code 14 of a collector whose nested IoT error has code 4.
        {"data limit",
         E5(kCollector, 14, R"({"error":"{\"code\":4}","http_code":0,"iot_code":0})"),
         {"DataReachedLimit"}},
        {"data limit code 4.0", E5(kCollector, 14, R"({"error":"{\"code\":4.0}"})"), {"DataReachedLimit"}},
        {"nested code 5", E5(kCollector, 14, R"({"error":"{\"code\":5}"})"), {}},
        {"nested code as text", E5(kCollector, 14, R"({"error":"{\"code\":\"4\"}"})"), {}},
        {"nested not json", E5(kCollector, 14, R"({"error":"Data limit reached."})"), {}},
        {"error not a text", E5(kCollector, 14, R"({"error":{"code":4}})"), {}},
        {"no error member", E5(kCollector, 14, R"({"http_code":500})"), {}},
        {"message not an object", E5(kCollector, 14, "[1,2]"), {}},
        {"plain sentence", E5(kCollector, 14, "publishing failed"), {}},
        {"collector code 13", E5(kCollector, 13, R"({"error":"{\"code\":4}"})"), {}},
        // IoT HTTP errors are also HTTP errors.
        {"iot http 201", E5(kIotHttp, 201, "x"), {"IotHttp"}},
        {"iot http 200", E5(kIotHttp, 200, "x"), {}},
        {"iot http negative", E5(kIotHttp, -1, "x"), {}},
        {"iot http 429", E5(kIotHttp, 429), {"IotHttp", "RateLimited"}},
        {"iot http 400", E5(kIotHttp, 400), {"IotHttp", "BadRequest"}},
        // Gateway timeout and missing IoT device.
        {"http 504", E5(kHttp, 504), {"GatewayTimeout", "RateLimited", "Unauthorized", "Auth"}},
        {"iot device 1",
         E5(kIotDevice, 1, "IoT device is not initialized."),
         {"GatewayTimeout", "IotDevice"}},
        {"iot device 4", E5(kIotDevice, 4, "Data limit reached."), {}},
        // HTTP statuses; every status-typed error counts as unauthorised.
        {"http 400", E5(kHttp, 400), {"BadRequest", "Unauthorized", "Auth"}},
        {"http 499", E5(kHttp, 499), {"Unauthorized", "Auth"}},
        {"http 500", E5(kHttp, 500), {"RateLimited", "Unauthorized", "Auth"}},
        {"http 403 denied", E5(kHttp, 403, "Denied Access"), {"Proxy", "Unauthorized", "Auth"}},
        {"http 403 forbidden", E5(kHttp, 403, "Forbidden"), {"Unauthorized", "Auth"}},
        {"http 403 in low bits",
         E5(kHttp, high + 403, "Denied Access"),
         {"Proxy", "Unauthorized", "Auth", "RateLimited"}},
        {"status type in lower case, 504", E5(kHttpLower, 504), {"RateLimited"}},
        {"status type in lower case, 403 denied", E5(kHttpLower, 403, "Denied Access"), {"Auth"}},
        {"status type in lower case, 404", E5(kHttpLower, 404), {}},
        {"int 401", E5("int", 401), {"Unauthorized", "Auth"}},
        {"int 401 in low bits", E5("int", high + 401), {"Unauthorized", "Auth"}},
        {"int 403", E5("int", 403), {"Auth"}},
        {"proxy in message", E5("int", 0, "connect through proxy failed"), {"Proxy"}},
        {"Proxy capitalised", E5("int", 0, "Proxy refused"), {}},
        // Attestation: codes 10 and 35 are the server's, every other code is local.
        {"attestation 10", E5(kAtt, 10), {"AttestationServer"}},
        {"attestation 35", E5(kAtt, 35), {"AttestationServer"}},
        {"attestation 0", E5(kAtt, 0), {"AttestationLocal"}},
        {"attestation 3", E5(kAtt, 3), {"AttestationLocal"}},
        {"http ATT0 type",
         E5(kHttp, 401, R"({"type":"urn:ATT0123","status":401})"),
         {"AttestationServer", "Unauthorized", "Auth"}},
        {"http other type", E5(kHttp, 400, R"({"type":"ATT1"})"), {"BadRequest", "Unauthorized", "Auth"}},
        {"http type not a text", E5(kHttp, 500, R"({"type":5})"), {"RateLimited", "Unauthorized", "Auth"}},
        {"http without type", E5(kHttp, 500, R"({"title":"ATT0"})"), {"RateLimited", "Unauthorized", "Auth"}},
        {"iot http ATT0",
         E5(kIotHttp, 500, R"({"type":"ATT0"})"),
         {"AttestationServer", "IotHttp", "RateLimited"}},
        // The module's enrollment errors.
        {"enrollment errors 0", E5(kEnrModule, 0), {"EnrollmentErrorsCode0"}},
        {"enrollment errors 1", E5(kEnrModule, 1), {"EnrollmentErrorsCode1"}},
        {"enrollment errors 2", E5(kEnrModule, 2), {}},
        // Message tests.
        {"TLS", E5("int", 0, "AWS_IO_TLS_ERROR_NEGOTIATION_FAILURE"), {"Tls"}},
        {"Tls", E5("int", 0, "Tls handshake failed"), {"Tls"}},
        {"tls", E5("int", 0, "tls handshake failed"), {}},
        {"5138 first", E5("int", 0, "5138 failure"), {"Error5138"}},
        {"5138 inside", E5("int", 0, "code: 5138 while connecting"), {"Error5138"}},
        // AWS connection: a family type and a DNS or socket name of the set.
        {"mqtt socket",
         E5("enum MqttConnectionErrors", 1, "connect failed: AWS_IO_SOCKET_TIMEOUT"),
         {"AwsInternetConnection"}},
        {"config builder dns",
         E5("AwsConnectionConfigBuilderErrors", 1, "AWS_IO_DNS_QUERY_FAILED"),
         {"AwsInternetConnection"}},
        {"mqtt client",
         E5("AwsMqttClientErrors", 1, "x AWS_IO_SOCKET_NETWORK_DOWN."),
         {"AwsInternetConnection"}},
        {"mqtt proxy family",
         E5("MqttConnectionProxyErrors", 1, "x:AWS_IO_SOCKET_CLOSED"),
         {"AwsInternetConnection"}},
        {"client aws", E5("MqttClientAwsErrors", 1, "AWS_IO_DNS_INVALID_NAME"), {"AwsInternetConnection"}},
        {"int dns", E5("int", 3, "AWS_IO_DNS_NO_ADDRESS_FOR_HOST"), {"AwsInternetConnection"}},
        {"aws iot socket", E5(kAwsIot, 0, "AWS_IO_SOCKET_CONNECTION_REFUSED"), {"AwsInternetConnection"}},
        {"socket name, other type", E5(kHttp, 1, "AWS_IO_SOCKET_TIMEOUT"), {"Unauthorized", "Auth"}},
        {"name not in the set", E5("MqttConnectionErrors", 1, "AWS_IO_SOCKET_TIMEOUTX"), {}},
        {"name glued to a word", E5("MqttConnectionErrors", 1, "xAWS_IO_SOCKET_TIMEOUT"), {}},
        {"deprecated name", E5("MqttConnectionErrors", 1, "DEPRECATED_AWS_IO_INVALID_FILE_HANDLE"), {}},
        {"first of two names",
         E5("MqttConnectionErrors", 1, "AWS_IO_TLS_CTX_ERROR then AWS_IO_SOCKET_TIMEOUT"),
         {"Tls"}},
        {"set name not DNS or socket", E5("MqttConnectionErrors", 1, "AWS_IO_BROKEN_PIPE"), {}},
        // AWS not found.
        {"aws not found", E5(kAwsIot, 404, "no credentials: AWS_IO_FILE_VALIDATION_FAILURE"), {"IotDevice"}},
        {"aws not found with DNS name",
         E5(kAwsIot, 404, "AWS_IO_DNS_QUERY_FAILED"),
         {"IotDevice", "AwsInternetConnection"}},
        {"aws not found, name not in set", E5(kAwsIot, 404, "AWS_ERROR_HTTP"), {}},
        {"aws 403", E5(kAwsIot, 403, "AWS_IO_FILE_VALIDATION_FAILURE"), {"Auth"}},
        // Other categories: only the three tests without the category rule answer.
        {"empty error", Error(), {}},
        {"category 2, module enrollment 0",
         Error(ErrorCategory::EC_StdException, 0, "", kEnrModule),
         {"EnrollmentErrorsCode0"}},
        {"category 2, module enrollment 1",
         Error(ErrorCategory::EC_StdException, 1, "", kEnrModule),
         {"EnrollmentErrorsCode1"}},
        {"category 2, enrollment library",
         Error(ErrorCategory::EC_StdException, 7, "", kEnr),
         {"EnrollmentErrorType"}},
        {"category 2, everything else",
         Error(ErrorCategory::EC_StdException, 401, R"({"status":404,"type":"ATT0"} proxy TLS 5138)", kHttp),
         {}},
        {"category 4, curl", Error(ErrorCategory::EC_Network, 7, "", kCurl), {}},
        {"category 1, dns", Error(ErrorCategory::EC_Unknown, 0, "AWS_IO_DNS_QUERY_FAILED", "int"), {}},
    };
    return rows;
}

TEST(ErrorTests, EveryRowHoldsExactlyItsTests) {
    for (const Row& row : ClassificationRows()) {
        EXPECT_EQ(Holding(row.error), row.expected) << row.label;
    }
}

class CapturedLog : public logging::IAppender {
  public:
    void write(const logging::Record& record) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({record.getSeverity(), record.getFunc(), record.getMessage()});
    }
    struct Line {
        logging::Severity severity;
        std::string function;
        std::string message;
    };
    std::vector<Line> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<Line> lines_;
};

CapturedLog& Log() {
    static CapturedLog* log = [] {
        auto* capture = new CapturedLog;
        logging::init<0>(logging::verbose);
        logging::get<0>()->setMaxSeverity(logging::verbose);
        logging::get<0>()->addAppender(capture);
        return capture;
    }();
    return *log;
}

TEST(ErrorTests, DataLimitParseFailureIsLoggedUnderTheServiceName) {
    Log().Take();
    const Error plain = E5(kCollector, 14, "publishing failed");
    EXPECT_FALSE(IsDataReachedLimitError(plain));
    auto lines = Log().Take();
    ASSERT_EQ(lines.size(), 1u);
    std::string text(Error::ToString(plain, nullptr), ' ');
    Error::ToString(plain, text.data());
    EXPECT_EQ(lines[0].severity, logging::warning);
    EXPECT_EQ(lines[0].function, "zelko::plenar::agent::Service::IsDataReachedLimitError");
    EXPECT_EQ(lines[0].message, "Failed to parse error: " + text);

    // A JSON message that is no object is a plain no, not a parse failure.
    EXPECT_FALSE(IsDataReachedLimitError(E5(kCollector, 14, "[1]")));
    EXPECT_TRUE(Log().Take().empty());
}

TEST(ErrorTests, AwsTokenIsTheFirstWholeWordStartingWithAws) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"AWS_IO_SOCKET_TIMEOUT", "AWS_IO_SOCKET_TIMEOUT"},
        {"failed: AWS_IO_SOCKET_TIMEOUT (1048)", "AWS_IO_SOCKET_TIMEOUT"},
        {"failed:AWS_IO_DNS_QUERY_FAILED.", "AWS_IO_DNS_QUERY_FAILED"},
        {"a AWS_X-b", "AWS_X"},
        {"xAWS_IO_SOCKET_TIMEOUT", ""},
        {"1AWS_IO_SOCKET_TIMEOUT", ""},
        {"DEPRECATED_AWS_IO_INVALID_FILE_HANDLE", ""},
        {"AWS_ alone", ""},
        {"AWS_ then AWS_B", "AWS_B"},
        {"aws_io_socket_timeout", ""},
        {"AWS_IO_TLS_CTX_ERROR AWS_IO_SOCKET_TIMEOUT", "AWS_IO_TLS_CTX_ERROR"},
        {"", ""},
    };
    for (const auto& [text, token] : cases) EXPECT_EQ(ExtractAwsErrorToken(text), token) << text;
}

TEST(ErrorTests, AwsTokenScanAgreesWithThePattern) {
    const std::regex pattern(R"(\bAWS_\w+\b)");
    const std::string alphabet = "AWS_ x\xe9";
    // Every text of up to 6 characters over letters that can form a token, break it or glue to it.
    std::vector<std::string> texts = {""};
    std::vector<std::string> level = {""};
    for (int length = 1; length <= 6; ++length) {
        std::vector<std::string> next;
        for (const std::string& text : level) {
            for (char c : alphabet) next.push_back(text + c);
        }
        texts.insert(texts.end(), next.begin(), next.end());
        level = std::move(next);
    }
    for (const std::string& text : texts) {
        std::smatch match;
        const std::string expected = std::regex_search(text, match, pattern) ? match.str(0) : "";
        ASSERT_EQ(ExtractAwsErrorToken(text), expected) << '"' << text << '"';
    }
}

TEST(ErrorTests, AwsTokenOfAHugeWordDoesNotExhaustTheStack) {
    const std::string word = "AWS_" + std::string(2'000'000, 'A');
    EXPECT_EQ(ExtractAwsErrorToken("x " + word + " y"), word);
    EXPECT_FALSE(IsAwsInternetConnectionError(E5("int", 0, word)));
}

TEST(ErrorTests, AwsNamesAreTheFixedListMatchedExactly) {
    const auto list = AwsErrorNameList();
    ASSERT_EQ(list.size(), 156u);
    EXPECT_EQ(list.front(), "AWS_IO_CHANNEL_ERROR_ERROR_CANT_ACCEPT_INPUT");
    EXPECT_EQ(list[25], "AWS_IO_SOCKET_NO_ROUTE_TO_HOST");
    EXPECT_EQ(list.back(), "AWS_ERROR_PEM_MALFORMED");
    EXPECT_EQ(AwsErrorNames().size(), 156u);
    EXPECT_TRUE(AwsErrorNames().contains("DEPRECATED_AWS_IO_INVALID_FILE_HANDLE"));
    EXPECT_FALSE(AwsErrorNames().contains("aws_io_socket_timeout"));
    EXPECT_FALSE(AwsErrorNames().contains("AWS_IO_SOCKET"));
    EXPECT_FALSE(AwsErrorNames().contains("AWS_ERROR_HTTP"));
}

// Each factory of the libraries and modules lands in the tests its retry road expects.
TEST(ErrorTests, FactoriesLandInTheirTests) {
    namespace http = shared::http;
    namespace iot = shared::iot;
    namespace enr = shared::enrollment;
    namespace att = shared::attestation;
    using Enr = enr::EnrollmentErrorCodes;
    using Att = att::DeviceAttestationErrorCodes;
    const Error data_limit = MakeIotDeviceError(IotDeviceErrors::DataLimitReached, "Data limit reached.");
    std::vector<Row> rows = {
        {"http 404",
         http::MakeStatusError(http::HttpStatusCode::NotFound, ""),
         {"EnrollmentNotFound", "Unauthorized", "Auth"}},
        {"http 429",
         http::MakeStatusError(http::HttpStatusCode::TooManyRequests, ""),
         {"RateLimited", "Unauthorized", "Auth"}},
        {"http 504",
         http::MakeStatusError(504, ""),
         {"GatewayTimeout", "RateLimited", "Unauthorized", "Auth"}},
        {"transfer timeout",
         http::MakeTransferError(http::TransferError::OperationTimedOut, "Timeout was reached"),
         {"SlowInternet"}},
        {"transfer host",
         http::MakeTransferError(http::TransferError::CouldNotResolveHost, "Could not resolve host"),
         {"Network"}},
        {"transfer proxy",
         http::MakeTransferError(http::TransferError::CouldNotResolveProxy, "Could not resolve proxy: p"),
         {"Proxy"}},
        {"iot http 503", iot::MakeIotHttpError(503, ""), {"IotHttp", "RateLimited"}},
        {"iot refused",
         iot::MakeConnectionError(iot::ConnectionFamily::MqttConnectionErrors, 1,
                                  iot::kAwsSocketConnectionRefused, "connect failed"),
         {"AwsInternetConnection"}},
        {"iot tls",
         iot::MakeConnectionError(iot::ConnectionFamily::MqttConnectionErrors, 1,
                                  iot::kAwsTlsNegotiationFailure, "connect failed"),
         {"Tls"}},
        {"iot not found",
         iot::MakeNotFoundError(iot::kAwsFileValidationFailure, "no credentials"),
         {"IotDevice"}},
        {"enrollment 6",
         enr::MakeError(Enr::CertificateSaveFailed, ""),
         {"EnrollmentError6", "EnrollmentErrorType"}},
        {"enrollment 7",
         enr::MakeError(Enr::CertificateMissing, ""),
         {"EnrollmentCertMissing", "EnrollmentErrorType"}},
        {"enrollment 27",
         enr::MakeError(Enr::CertificateStoreUnreadable, ""),
         {"EnrollmentCertRead", "EnrollmentErrorType"}},
        {"enrollment 28",
         enr::MakeError(Enr::CertificateUnreadable, ""),
         {"EnrollmentCertRead", "EnrollmentErrorType"}},
        {"enrollment 13",
         enr::MakeError(Enr::CertificateEmpty, ""),
         {"EnrollmentError13", "EnrollmentErrorType"}},
        {"enrollment 31",
         enr::MakeError(Enr::EnrollmentNotFound, ""),
         {"EnrollmentNotFound", "EnrollmentErrorType"}},
        {"enrollment invalid response", enr::MakeError(Enr::InvalidResponse, ""), {"EnrollmentErrorType"}},
        {"attestation rejected", att::MakeError(Att::AttestationRejected, ""), {"AttestationServer"}},
        {"possession rejected", att::MakeError(Att::ProofOfPossessionRejected, ""), {"AttestationServer"}},
        {"attestation tpm", att::MakeError(Att::TpmUnavailable, ""), {"AttestationLocal"}},
        {"attestation service 403",
         att::MakeServiceError(403, "ATT0042", "evidence refused"),
         {"AttestationServer", "Unauthorized", "Auth"}},
        {"attestation service 503",
         att::MakeServiceError(503, "about:blank", "busy"),
         {"RateLimited", "Unauthorized", "Auth"}},
        {"iot device missing",
         MakeIotDeviceError(IotDeviceErrors::NotInitialized, "No credentials."),
         {"GatewayTimeout", "IotDevice"}},
        {"empty topic", MakeIotDeviceError(IotDeviceErrors::EmptyTopic, "topic is empty."), {}},
        {"no discovery token",
         MakeEnrollmentError(EnrollmentErrors::NoDiscoveryToken, "No discovery token"),
         {"EnrollmentErrorsCode0"}},
        {"token expired",
         MakeEnrollmentError(EnrollmentErrors::DiscoveryTokenExpired, "Discovery token Expired"),
         {"EnrollmentErrorsCode1"}},
        {"csr", MakeEnrollmentError(EnrollmentErrors::CsrGenerationFailed, "Error generating CSR"), {}},
        {"collector data limit",
         MakeCollectorError(CollectorErrorEnum::PublishFailed, MakeIotFailureText(0, 0, data_limit)),
         {"DataReachedLimit"}},
        {"collector publish refused",
         MakeCollectorError(CollectorErrorEnum::PublishFailed,
                            MakeIotFailureText(503, 0, iot::MakeIotHttpError(503, ""))),
         {}},
        {"collector no connection",
         MakeCollectorError(CollectorErrorEnum::PublishFailed,
                            "proxy - (no iot connection during pub in required on start collector)"),
         {"Proxy"}},
    };
    for (const iot::ConnectionFamily family :
         {iot::ConnectionFamily::AwsIotErrorCodes, iot::ConnectionFamily::AwsConnectionConfigBuilderErrors,
          iot::ConnectionFamily::AwsMqttClientErrors, iot::ConnectionFamily::MqttConnectionProxyErrors,
          iot::ConnectionFamily::MqttConnectionErrors, iot::ConnectionFamily::MqttClientAwsErrors}) {
        rows.push_back({std::string(iot::TypeText(family)),
                        iot::MakeConnectionError(family, 2, iot::kAwsDnsQueryFailed),
                        {"AwsInternetConnection"}});
    }
    for (const Row& row : rows) {
        EXPECT_EQ(row.error.category(), ErrorCategory::EC_Component) << row.label;
        EXPECT_EQ(Holding(row.error), row.expected) << row.label;
    }
    EXPECT_EQ(MakeCollectorError(CollectorErrorEnum::NoConsent, "").type(), kCollector);
    EXPECT_EQ(MakeIotDeviceError(IotDeviceErrors::EmptyTopic, "").type(), kIotDevice);
    EXPECT_EQ(MakeEnrollmentError(EnrollmentErrors::CsrGenerationFailed, "").type(), kEnrModule);
}

}  // namespace
}  // namespace zelko::plenar::agent
