#include "outside/http/http_client.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "outside/http/http_errors.h"
#include "platform/sockets.h"

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

// The connection's socket, close-on-exec: a program the agent starts never holds its connections.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address) {
    const int fd = platform::OpenSocket(address->family, address->socktype, address->protocol);
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class Bio {
  public:
    explicit Bio(const std::string& text) : bio_(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))) {}
    ~Bio() { BIO_free(bio_); }
    Bio(const Bio&) = delete;
    Bio& operator=(const Bio&) = delete;
    BIO* get() const { return bio_; }

  private:
    BIO* bio_;
};

std::vector<X509*> ReadCertificates(const std::string& pem) {
    std::vector<X509*> certificates;
    Bio bio(pem);
    if (bio.get() == nullptr) return certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.push_back(certificate);
    }
    return certificates;
}

// A client certificate (with the chain after it), its key and trusted roots, parsed from PEM.
class Credentials {
  public:
    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials() {
        for (X509* certificate : chain_) X509_free(certificate);
        for (X509* root : roots_) X509_free(root);
        EVP_PKEY_free(key_);
    }

    // CURLE_OK, or the code and text of the material that cannot be used.
    CURLcode Parse(const HttpRequest& request, std::string& problem) {
        if (!request.GetClientCertificate().empty()) {
            chain_ = ReadCertificates(request.GetClientCertificate());
            Bio bio(request.GetClientKey());
            key_ = bio.get() != nullptr ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
            if (chain_.empty()) {
                problem = "could not load PEM client certificate";
                return CURLE_SSL_CERTPROBLEM;
            }
            if (key_ == nullptr || X509_check_private_key(chain_.front(), key_) != 1) {
                problem = "unable to set private key";
                return CURLE_SSL_CERTPROBLEM;
            }
        }
        if (!request.GetCaCertificate().empty()) {
            roots_ = ReadCertificates(request.GetCaCertificate());
            if (roots_.empty()) {
                problem = "error setting certificate verify locations: no certificate in the CA text";
                return CURLE_SSL_CACERT_BADFILE;
            }
        }
        return CURLE_OK;
    }

    bool HasRoots() const { return !roots_.empty(); }

    // libcurl calls it for each new TLS connection of a handle.
    static CURLcode Apply(CURL*, void* context, void* user) {
        auto* ssl = static_cast<SSL_CTX*>(context);
        const auto* self = static_cast<const Credentials*>(user);
        if (!self->chain_.empty()) {
            if (SSL_CTX_use_certificate(ssl, self->chain_.front()) != 1) return CURLE_SSL_CERTPROBLEM;
            for (size_t i = 1; i < self->chain_.size(); ++i) {
                if (SSL_CTX_add1_chain_cert(ssl, self->chain_[i]) != 1) return CURLE_SSL_CERTPROBLEM;
            }
            if (SSL_CTX_use_PrivateKey(ssl, self->key_) != 1) return CURLE_SSL_CERTPROBLEM;
        }
        // The connection's own store (libcurl was given no roots) receives the parsed ones.
        X509_STORE* store = SSL_CTX_get_cert_store(ssl);
        for (X509* root : self->roots_) {
            if (store == nullptr || X509_STORE_add_cert(store, root) != 1) return CURLE_SSL_CACERT_BADFILE;
        }
        return CURLE_OK;
    }

  private:
    std::vector<X509*> chain_;
    std::vector<X509*> roots_;
    EVP_PKEY* key_ = nullptr;
};

// A libcurl handle: between requests it keeps its connections, TLS sessions and DNS answers.
struct Handle {
    CURL* curl = curl_easy_init();
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (curl != nullptr) curl_easy_cleanup(curl);
    }
};

struct HeaderList {
    curl_slist* list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
};

constexpr size_t kIdleHandlesPerMaterial = 4;
constexpr size_t kMaterialSets = 8;

// A digest of the material a request brings, so the key is not kept as text; empty for none.
std::string MaterialKey(const HttpRequest& request) {
    if (request.GetClientCertificate().empty() && request.GetCaCertificate().empty()) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    for (const std::string* part :
         {&request.GetClientCertificate(), &request.GetClientKey(), &request.GetCaCertificate()}) {
        const uint64_t length = part->size();
        ok = ok && EVP_DigestUpdate(context, &length, sizeof length) == 1 &&
             EVP_DigestUpdate(context, part->data(), part->size()) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(context, digest, &size) == 1;
    EVP_MD_CTX_free(context);
    return ok ? std::string(reinterpret_cast<const char*>(digest), size) : std::string();
}

// curl_easy_perform, but through a multi handle of its own that the token can wake: a cancel ends
// the transfer at once instead of at libcurl's next check of a quiet connection.
CURLcode PerformCancellable(CURL* curl, HttpCancel& cancel) {
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_FAILED_INIT;
    }
    CURLcode code = CURLE_ABORTED_BY_CALLBACK;
    if (cancel.Register(multi, [multi] { curl_multi_wakeup(multi); })) {
        while (!cancel.Cancelled()) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                code = CURLE_FAILED_INIT;
                break;
            }
            if (running == 0) {
                int left = 0;
                code = CURLE_FAILED_INIT;
                while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                    if (message->msg == CURLMSG_DONE) code = message->data.result;
                }
                break;
            }
            // libcurl shortens the wait to its own next timer (the transfer's timeout among them).
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        cancel.Unregister(multi);
    }
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    return code;
}

}  // namespace

// Handles kept per set of material: a connection is only ever reused with the certificate and
// trusted roots it was opened with.
struct HttpClient::Pool {
    struct Entry {
        std::shared_ptr<const Credentials> credentials;
        std::vector<std::unique_ptr<Handle>> idle;
        uint64_t lastUse = 0;
    };

    // A handle for the request's material (parsed on its first use), or null with the reason.
    std::unique_ptr<Handle> Take(const HttpRequest& request, std::string& key,
                                 std::shared_ptr<const Credentials>& credentials, CURLcode& code,
                                 std::string& problem) {
        const bool material = !request.GetClientCertificate().empty() || !request.GetCaCertificate().empty();
        key = MaterialKey(request);
        if (material && key.empty()) {
            code = CURLE_OUT_OF_MEMORY;
            problem = "no digest of the certificate";
            return nullptr;
        }
        {
            std::lock_guard guard(mutex);
            auto found = entries.find(key);
            if (found != entries.end()) {
                Entry& entry = found->second;
                entry.lastUse = ++clock;
                credentials = entry.credentials;
                if (entry.idle.empty()) return std::make_unique<Handle>();
                std::unique_ptr<Handle> handle = std::move(entry.idle.back());
                entry.idle.pop_back();
                return handle;
            }
        }
        if (material) {
            auto parsed = std::make_shared<Credentials>();
            code = parsed->Parse(request, problem);
            if (code != CURLE_OK) return nullptr;
            credentials = std::move(parsed);
        }
        std::lock_guard guard(mutex);
        auto [it, added] = entries.try_emplace(key);
        // Another request may have parsed the same material meanwhile: the first copy serves both.
        if (added) {
            it->second.credentials = credentials;
        } else {
            credentials = it->second.credentials;
        }
        it->second.lastUse = ++clock;
        if (entries.size() > kMaterialSets) {
            auto oldest = entries.end();
            for (auto other = entries.begin(); other != entries.end(); ++other) {
                if (other != it && (oldest == entries.end() || other->second.lastUse < oldest->second.lastUse))
                    oldest = other;
            }
            retired.push_back(std::move(oldest->second));
            entries.erase(oldest);
        }
        return std::make_unique<Handle>();
    }

    void Give(const std::string& key, std::unique_ptr<Handle> handle) {
        std::unique_ptr<Handle> surplus;
        std::vector<Entry> gone;
        std::lock_guard guard(mutex);
        // Connections of retired material close here, outside the lock.
        gone.swap(retired);
        auto found = entries.find(key);
        if (found == entries.end() || found->second.idle.size() >= kIdleHandlesPerMaterial) {
            surplus = std::move(handle);
            return;
        }
        found->second.idle.push_back(std::move(handle));
    }

    std::mutex mutex;
    std::map<std::string, Entry> entries;
    std::vector<Entry> retired;
    uint64_t clock = 0;
};

HttpClient::HttpClient(const Allocator* allocator, device::IDeviceInfo* deviceInfo)
    : allocator_(allocator != nullptr ? allocator : &own_),
      userAgent_("zelko-http-client/1.0"),
      pool_(std::make_unique<Pool>()) {
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
    const std::shared_ptr<HttpCancel>& cancel = request.GetCancel();
    if (cancel && cancel->Cancelled()) {
        return MakeTransferError(CURLE_ABORTED_BY_CALLBACK, "The request was cancelled before it was sent",
                                 kOrigin);
    }
    std::string key;
    std::shared_ptr<const Credentials> credentials;
    CURLcode refused = CURLE_OK;
    std::string problem;
    std::unique_ptr<Handle> handle = pool_->Take(request, key, credentials, refused, problem);
    if (handle == nullptr) {
        return MakeTransferError(static_cast<int32_t>(refused),
                                 std::string(curl_easy_strerror(refused)) + ": " + problem, kOrigin);
    }
    if (handle->curl == nullptr) return MakeTransferError(CURLE_FAILED_INIT, "curl_easy_init failed", kOrigin);
    CURL* curl = handle->curl;
    // Options back to their defaults; the handle's connections, TLS sessions and DNS answers stay.
    curl_easy_reset(curl);
    HeaderList headers;
    char errorText[CURL_ERROR_SIZE] = {0};
    Transfer transfer;
    transfer.sink = &sink;

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_URL, request.GetUrl().c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent_.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (request.GetTimeoutMilliseconds() > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.GetTimeoutMilliseconds());
    } else if (request.GetTimeout() > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.GetTimeout());
    }

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
        curl_slist* next = curl_slist_append(headers.list, line.c_str());
        if (next == nullptr) return MakeTransferError(CURLE_OUT_OF_MEMORY, "Out of memory", kOrigin);
        headers.list = next;
    }
    // No "Expect: 100-continue" pause before large bodies, and no form type the caller did not ask for.
    headers.list = curl_slist_append(headers.list, "Expect:");
    if (!typed) headers.list = curl_slist_append(headers.list, "Content-Type:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);

    if (credentials) {
        // The parsed certificate, key and roots go into each new TLS connection of the handle.
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &Credentials::Apply);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, const_cast<Credentials*>(credentials.get()));
    }
    if (credentials && credentials->HasRoots()) {
        // The given roots replace the system's trust store.
        curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
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

    const CURLcode code = cancel ? PerformCancellable(curl, *cancel) : curl_easy_perform(curl);
    long status = 0;
    if (code == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    pool_->Give(key, std::move(handle));
    if (code != CURLE_OK) {
        std::string message = curl_easy_strerror(code);
        if (errorText[0] != '\0') message += std::string(": ") + errorText;
        if (transfer.sinkRefused) message += " (the receiver stopped the transfer)";
        if (code == CURLE_ABORTED_BY_CALLBACK && cancel && cancel->Cancelled()) message += " (cancelled)";
        return MakeTransferError(static_cast<int32_t>(code), std::move(message), kOrigin);
    }

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
