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
        timeoutMilliseconds_ = other.timeoutMilliseconds_;
        cancel_ = other.cancel_;
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

void HttpRequest::SetTimeoutMilliseconds(long milliseconds) {
    timeoutMilliseconds_ = milliseconds < 0 ? 0 : milliseconds;
}

void HttpRequest::SetCancel(std::shared_ptr<HttpCancel> cancel) { cancel_ = std::move(cancel); }

void HttpCancel::Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    for (auto& [transfer, wake] : wakes_) wake();
}

bool HttpCancel::Cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool HttpCancel::Register(const void* transfer, std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;
    wakes_[transfer] = std::move(wake);
    return true;
}

void HttpCancel::Unregister(const void* transfer) {
    std::lock_guard lock(mutex_);
    wakes_.erase(transfer);
}

}  // namespace zelko::shared::http
