#include "outside/http/http_client.h"

#include <curl/curl.h>

#include <strings.h>

#include <cctype>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "outside/http/http_errors.h"

namespace zelko::shared::http {

namespace {

constexpr const char* kOrigin = "HttpClient::Perform";

class HttpResponse : public IHttpResponse {
  public:
    HttpResponse(int32_t status, std::string body, std::vector<std::pair<std::string, std::string>> headers)
        : status_(status), body_(std::move(body)), headers_(std::move(headers)) {}

    int32_t GetStatusCode() const override { return status_; }
    const char* GetBody() const override { return body_.c_str(); }
    size_t GetBodySize() const override { return body_.size(); }
    const char* GetHeader(const char* name) const override {
        if (name == nullptr) return nullptr;
        const std::string wanted = Lower(name);
        const char* found = nullptr;
        for (const auto& [key, value] : headers_) {
            if (Lower(key) == wanted) found = value.c_str();
        }
        return found;
    }

  private:
    static std::string Lower(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    int32_t status_;
    std::string body_;
    std::vector<std::pair<std::string, std::string>> headers_;
};

struct Transfer {
    std::string body;
    const HttpBodySink* sink = nullptr;
    bool sinkRefused = false;
    std::vector<std::pair<std::string, std::string>> headers;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->sink != nullptr && *transfer->sink) {
        if (!(*transfer->sink)(data, bytes)) {
            transfer->sinkRefused = true;
            return 0;
        }
        return bytes;
    }
    transfer->body.append(data, bytes);
    return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line (after a 100 Continue): the headers before it belong to another answer.
        transfer->headers.clear();
        return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos) return bytes;
    std::string value = line.substr(colon + 1);
    const auto start = value.find_first_not_of(" \t");
    value = start == std::string::npos ? std::string() : value.substr(start);
    transfer->headers.emplace_back(line.substr(0, colon), std::move(value));
    return bytes;
}

const char* MethodName(HttpMethod method) {
    switch (method) {
        case HttpMethod::GET: return "GET";
        case HttpMethod::POST: return "POST";
        case HttpMethod::HEAD: return "HEAD";
        case HttpMethod::DEL: return "DELETE";
        case HttpMethod::OPTIONS: return "OPTIONS";
        case HttpMethod::PATCH: return "PATCH";
        case HttpMethod::TRACE: return "TRACE";
        case HttpMethod::PUT: return "PUT";
    }
    return nullptr;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyHandle {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    ~EasyHandle() {
        curl_slist_free_all(headers);
        if (curl != nullptr) curl_easy_cleanup(curl);
    }
};

curl_blob Blob(const std::string& text) {
    curl_blob blob{};
    blob.data = const_cast<char*>(text.data());
    blob.len = text.size();
    // The request keeps the text (and wipes key material) for longer than the transfer lasts.
    blob.flags = CURL_BLOB_NOCOPY;
    return blob;
}

}  // namespace

HttpClient::HttpClient(const Allocator* allocator, device::IDeviceInfo* deviceInfo)
    : allocator_(allocator != nullptr ? allocator : &own_), userAgent_("zelko-http-client/1.0") {
    GlobalInit();
}

HttpClient::~HttpClient() = default;

error::Error HttpClient::Perform(const HttpRequest& request, IHttpResponse*& response) {
    return Perform(request, response, HttpBodySink());
}

error::Error HttpClient::Perform(const HttpRequest& request, IHttpResponse*& response, const HttpBodySink& sink) {
    response = nullptr;
    const char* method = MethodName(request.GetMethod());
    if (method == nullptr) {
        return error::Error(error::ErrorCategory::EC_StdException, 1, "Unknown HTTP method", "class std::invalid_argument",
                            kOrigin);
    }
    EasyHandle easy;
    if (easy.curl == nullptr) return MakeTransferError(CURLE_FAILED_INIT, "curl_easy_init failed", kOrigin);
    CURL* curl = easy.curl;
    char errorText[CURL_ERROR_SIZE] = {0};
    Transfer transfer;
    transfer.sink = &sink;

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_URL, request.GetUrl().c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent_.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (request.GetTimeout() > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.GetTimeout());

    switch (request.GetMethod()) {
        case HttpMethod::GET:
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
            break;
        case HttpMethod::HEAD:
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
            break;
        default:
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
            break;
    }
    if (request.GetMethod() != HttpMethod::GET && request.GetMethod() != HttpMethod::HEAD &&
        (request.GetMethod() != HttpMethod::DEL || !request.GetBody().empty())) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.GetBody().size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.GetBody().data());
    }

    bool typed = false;
    for (const auto& [name, value] : request.GetHeaders()) {
        typed = typed || strcasecmp(name.c_str(), "Content-Type") == 0;
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* next = curl_slist_append(easy.headers, line.c_str());
        if (next == nullptr) return MakeTransferError(CURLE_OUT_OF_MEMORY, "Out of memory", kOrigin);
        easy.headers = next;
    }
    // No "Expect: 100-continue" pause before large bodies, and no form type the caller did not ask for.
    easy.headers = curl_slist_append(easy.headers, "Expect:");
    if (!typed) easy.headers = curl_slist_append(easy.headers, "Content-Type:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, easy.headers);

    if (!request.GetClientCertificate().empty()) {
        curl_blob certificate = Blob(request.GetClientCertificate());
        curl_blob key = Blob(request.GetClientKey());
        curl_easy_setopt(curl, CURLOPT_SSLCERT_BLOB, &certificate);
        curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "PEM");
        curl_easy_setopt(curl, CURLOPT_SSLKEY_BLOB, &key);
        curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, "PEM");
    }
    if (!request.GetCaCertificate().empty()) {
        curl_blob ca = Blob(request.GetCaCertificate());
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &ca);
    } else if (!request.GetCaFile().empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, request.GetCaFile().c_str());
    }
    if (!request.GetProxy().empty()) curl_easy_setopt(curl, CURLOPT_PROXY, request.GetProxy().c_str());
    if (request.GetResumeFrom() > 0)
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(request.GetResumeFrom()));
    if (request.GetLowSpeedBytes() > 0 && request.GetLowSpeedSeconds() > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, request.GetLowSpeedBytes());
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, request.GetLowSpeedSeconds());
    }

    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        std::string message = curl_easy_strerror(code);
        if (errorText[0] != '\0') message += std::string(": ") + errorText;
        if (transfer.sinkRefused) message += " (the receiver stopped the transfer)";
        return MakeTransferError(static_cast<int32_t>(code), std::move(message), kOrigin);
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);

    void* memory = allocator_->allocate ? allocator_->allocate(sizeof(HttpResponse)) : nullptr;
    if (memory == nullptr) return MakeTransferError(CURLE_OUT_OF_MEMORY, "Out of memory for the response", kOrigin);
    try {
        response = new (memory) HttpResponse(static_cast<int32_t>(status), std::move(transfer.body),
                                             std::move(transfer.headers));
    } catch (...) {
        allocator_->free(memory);
        return MakeTransferError(CURLE_OUT_OF_MEMORY, "Out of memory for the response", kOrigin);
    }
    return {};
}

const Allocator& HttpClient::GetAllocator() const { return *allocator_; }

void ReleaseHttpResponse(const Allocator& allocator, IHttpResponse*& response) {
    if (response == nullptr) return;
    response->~IHttpResponse();
    allocator.free(response);
    response = nullptr;
}

}  // namespace zelko::shared::http
