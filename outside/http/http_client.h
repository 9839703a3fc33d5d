#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/allocator.h"
#include "outside/error/error.h"

namespace zelko::shared::device {
class IDeviceInfo;
}

namespace zelko::shared::http {

enum class HttpMethod : int32_t {
    GET = 0,
    POST = 1,
    HEAD = 2,
    // Not DELETE: <arpa/nameser.h> defines that name as a macro.
    DEL = 3,
    OPTIONS = 4,
    PATCH = 5,
    TRACE = 6,
    PUT = 7,
};

// Ends the requests that carry it, from any thread and at once: one in progress fails as aborted, a
// later one fails before it is sent. Once cancelled it stays so.
class HttpCancel {
  public:
    HttpCancel() = default;
    HttpCancel(const HttpCancel&) = delete;
    HttpCancel& operator=(const HttpCancel&) = delete;

    void Cancel();
    bool Cancelled() const;

    // For the client: wake is called (under the token's lock) when the token is cancelled while the
    // transfer is registered. False, with nothing registered, when it is cancelled already.
    bool Register(const void* transfer, std::function<void()> wake);
    // Returns once a wake of the transfer in progress has ended.
    void Unregister(const void* transfer);

  private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    std::map<const void*, std::function<void()>> wakes_;
};

// One request. Key material is wiped when the request goes.
class HttpRequest {
  public:
    // timeout: whole transfer, in seconds; 0 means none.
    HttpRequest(HttpMethod method, std::string url, std::string body = {}, long timeout = 0);
    HttpRequest(const HttpRequest& other);
    HttpRequest& operator=(const HttpRequest& other);
    ~HttpRequest();

    // Refuses a name that is empty or holds ':', CR, LF or NUL, and a value with CR, LF or NUL.
    error::Error AddHeader(const std::string& name, const std::string& value);
    // Client certificate and key as PEM texts.
    void SetClientCertificate(std::string certificatePem, std::string privateKeyPem);
    // Trusted roots as PEM text (replaces the system's trust store for this request).
    void SetCaCertificate(std::string caPem);
    // Trusted roots from a PEM file.
    void SetCaFile(std::string path);
    // "http://host:port" or "socks5://host:port"; empty: none.
    void SetProxy(std::string proxy);
    // Ask for the body from this byte on (a Range request); 0: the whole body.
    void SetResumeFrom(uint64_t offset);
    // Abort when fewer than bytesPerSecond arrive for seconds in a row; 0: no limit.
    void SetLowSpeedLimit(long bytesPerSecond, long seconds);
    // Whole transfer, in milliseconds, in place of the timeout in seconds; 0: the seconds apply.
    void SetTimeoutMilliseconds(long milliseconds);
    // The request can be ended from another thread through the token; null: it cannot.
    void SetCancel(std::shared_ptr<HttpCancel> cancel);

    HttpMethod GetMethod() const { return method_; }
    const std::string& GetUrl() const { return url_; }
    const std::string& GetBody() const { return body_; }
    long GetTimeout() const { return timeout_; }
    const std::vector<std::pair<std::string, std::string>>& GetHeaders() const { return headers_; }
    const std::string& GetClientCertificate() const { return certificatePem_; }
    const std::string& GetClientKey() const { return privateKeyPem_; }
    const std::string& GetCaCertificate() const { return caPem_; }
    const std::string& GetCaFile() const { return caFile_; }
    const std::string& GetProxy() const { return proxy_; }
    uint64_t GetResumeFrom() const { return resumeFrom_; }
    long GetLowSpeedBytes() const { return lowSpeedBytes_; }
    long GetLowSpeedSeconds() const { return lowSpeedSeconds_; }
    long GetTimeoutMilliseconds() const { return timeoutMilliseconds_; }
    const std::shared_ptr<HttpCancel>& GetCancel() const { return cancel_; }

  private:
    HttpMethod method_;
    std::string url_;
    std::string body_;
    long timeout_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::string certificatePem_;
    std::string privateKeyPem_;
    std::string caPem_;
    std::string caFile_;
    std::string proxy_;
    uint64_t resumeFrom_ = 0;
    long lowSpeedBytes_ = 0;
    long lowSpeedSeconds_ = 0;
    long timeoutMilliseconds_ = 0;
    std::shared_ptr<HttpCancel> cancel_;
};

// The answer to a request. It lives in memory from the client's allocator: release it by running
// its destructor in place and handing its address to the allocator's free, never with delete.
class IHttpResponse {
  public:
    virtual ~IHttpResponse() = default;
    virtual int32_t GetStatusCode() const = 0;
    // NUL-terminated; empty when the body went to a sink.
    virtual const char* GetBody() const = 0;
    virtual size_t GetBodySize() const = 0;
    // The last value of a header (name compared without case), or null.
    virtual const char* GetHeader(const char* name) const = 0;
};

// Receives the body piece by piece; returning false aborts the transfer.
using HttpBodySink = std::function<bool(const char* data, size_t size)>;

class IHttpClient {
  public:
    virtual ~IHttpClient() = default;
    // Any answer with a status is a response (and no error), whatever the status; an error means
    // no answer (a transfer failure, made by MakeTransferError). response is null then.
    virtual error::Error Perform(const HttpRequest& request, IHttpResponse*& response) = 0;
    // As above, the body going to sink instead of the response.
    virtual error::Error Perform(const HttpRequest& request, IHttpResponse*& response,
                                 const HttpBodySink& sink) = 0;
    virtual const Allocator& GetAllocator() const = 0;
};

// The client over libcurl. Safe to use from several threads at once: each request takes a handle of
// its own. Handles are kept between requests, per client certificate, key and trusted roots, with
// their connections and TLS sessions; that material is parsed once per client.
class HttpClient : public IHttpClient {
  public:
    // allocator: kept by pointer and must outlive the client; null uses the client's own.
    // deviceInfo: not owned, may be null; names the device in the User-Agent.
    HttpClient(const Allocator* allocator, device::IDeviceInfo* deviceInfo);
    ~HttpClient() override;

    error::Error Perform(const HttpRequest& request, IHttpResponse*& response) override;
    error::Error Perform(const HttpRequest& request, IHttpResponse*& response,
                         const HttpBodySink& sink) override;
    const Allocator& GetAllocator() const override;

  private:
    struct Pool;

    Allocator own_;
    const Allocator* allocator_;
    std::string userAgent_;
    std::unique_ptr<Pool> pool_;
};

// Runs the response's destructor in place and frees it through the allocator; null is fine.
void ReleaseHttpResponse(const Allocator& allocator, IHttpResponse*& response);

}  // namespace zelko::shared::http
