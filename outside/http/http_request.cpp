#include "outside/http/http_client.h"

#include <openssl/crypto.h>

namespace zelko::shared::http {

namespace {

void Wipe(std::string& text) {
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

bool HasControl(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

}  // namespace

HttpRequest::HttpRequest(HttpMethod method, std::string url, std::string body, long timeout)
    : method_(method), url_(std::move(url)), body_(std::move(body)), timeout_(timeout < 0 ? 0 : timeout) {}

HttpRequest::HttpRequest(const HttpRequest& other) = default;

HttpRequest& HttpRequest::operator=(const HttpRequest& other) {
    if (this != &other) {
        Wipe(privateKeyPem_);
        method_ = other.method_;
        url_ = other.url_;
        body_ = other.body_;
        timeout_ = other.timeout_;
        headers_ = other.headers_;
        certificatePem_ = other.certificatePem_;
        privateKeyPem_ = other.privateKeyPem_;
        caPem_ = other.caPem_;
        caFile_ = other.caFile_;
        proxy_ = other.proxy_;
        resumeFrom_ = other.resumeFrom_;
        lowSpeedBytes_ = other.lowSpeedBytes_;
        lowSpeedSeconds_ = other.lowSpeedSeconds_;
    }
    return *this;
}

HttpRequest::~HttpRequest() { Wipe(privateKeyPem_); }

error::Error HttpRequest::AddHeader(const std::string& name, const std::string& value) {
    if (name.empty() || name.find(':') != std::string::npos || HasControl(name) || HasControl(value)) {
        return error::Error(error::ErrorCategory::EC_StdException, 1,
                            "Invalid header name or value: " + (HasControl(name) ? std::string("?") : name),
                            "class std::invalid_argument", "HttpRequest::AddHeader");
    }
    headers_.emplace_back(name, value);
    return {};
}

void HttpRequest::SetClientCertificate(std::string certificatePem, std::string privateKeyPem) {
    Wipe(privateKeyPem_);
    certificatePem_ = std::move(certificatePem);
    privateKeyPem_ = std::move(privateKeyPem);
}

void HttpRequest::SetCaCertificate(std::string caPem) { caPem_ = std::move(caPem); }
void HttpRequest::SetCaFile(std::string path) { caFile_ = std::move(path); }
void HttpRequest::SetProxy(std::string proxy) { proxy_ = std::move(proxy); }
void HttpRequest::SetResumeFrom(uint64_t offset) { resumeFrom_ = offset; }

void HttpRequest::SetLowSpeedLimit(long bytesPerSecond, long seconds) {
    lowSpeedBytes_ = bytesPerSecond < 0 ? 0 : bytesPerSecond;
    lowSpeedSeconds_ = seconds < 0 ? 0 : seconds;
}

}  // namespace zelko::shared::http
