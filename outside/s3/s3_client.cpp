#include "outside/s3/s3_client.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "outside/attestation/key_tools.h"
#include "outside/http/http_client.h"
#include "outside/http/http_errors.h"
#include "outside/iot/iot_credential.h"
#include "outside/iot/iot_info.h"

namespace zelko::shared::s3 {

namespace {

error::Error MakeError(S3ErrorCodes code, std::string message, std::string origin) {
    return error::Error(error::ErrorCategory::EC_Component, static_cast<int32_t>(code), std::move(message),
                        std::string(kS3ErrorCodesType), std::move(origin));
}

// The object key's characters that pass a URL unchanged.
std::string EscapeKey(const std::string& key) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

error::Error CheckCredential(const iot::IoTCredential* credential, const char* origin) {
    if (credential == nullptr) return MakeError(S3ErrorCodes::NoCredential, "No credential", origin);
    if (credential->GetError()) return credential->GetError();
    return {};
}

void AddCredential(http::HttpRequest& request, const iot::IoTCredential& credential) {
    request.AddHeader("x-amz-security-token", credential.GetSessionToken());
    request.AddHeader("x-zelko-access-key-id", credential.GetAccessKeyId());
    if (const std::string ca = keys::CloudCaFile(); !ca.empty()) request.SetCaFile(ca);
}

}  // namespace

S3Client::S3Client(std::shared_ptr<http::IHttpClient> httpClient, std::string endpoint)
    : httpClient_(httpClient ? std::move(httpClient) : std::make_shared<http::HttpClient>(nullptr, nullptr)),
      endpoint_(std::move(endpoint)) {
    while (!endpoint_.empty() && endpoint_.back() == '/') endpoint_.pop_back();
}

S3Client::~S3Client() = default;

std::string S3Client::ObjectUrl(const std::string& uri, const std::string& key) const {
    std::string base;
    std::string rest;
    if (uri.rfind("https://", 0) == 0 || uri.rfind("http://", 0) == 0) {
        base = uri;
    } else {
        if (uri.rfind("s3://", 0) == 0) rest = uri.substr(5);
        else if (uri.rfind("arn:aws:s3:::", 0) == 0) rest = uri.substr(13);
        else return {};
        const std::string bucket = rest.substr(0, rest.find('/'));
        const std::string prefix = rest.size() > bucket.size() ? rest.substr(bucket.size()) : "";
        if (bucket.empty()) return {};
        base = (endpoint_.empty() ? "https://" + bucket + ".s3.amazonaws.com" : endpoint_ + "/" + bucket) + prefix;
    }
    if (key.empty()) return base;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/" + EscapeKey(key);
}

error::Error S3Client::UploadJsonContent(const iot::IoTCredential* credential, const std::string& uri,
                                         const std::string& key, const std::string& content, const std::string&) {
    if (uri.empty() || key.empty()) return MakeError(S3ErrorCodes::InvalidArgument, "No uri or key", "UploadJsonContent");
    if (error::Error failure = CheckCredential(credential, "UploadJsonContent")) return failure;
    const std::string url = ObjectUrl(uri, key);
    if (url.empty()) return MakeError(S3ErrorCodes::InvalidUri, "Not an S3 uri: " + uri, "UploadJsonContent");
    http::HttpRequest request(http::HttpMethod::PUT, url, content, 300);
    request.AddHeader("Content-Type", "application/json");
    AddCredential(request, *credential);
    http::IHttpResponse* response = nullptr;
    error::Error failure = httpClient_->Perform(request, response);
    if (!failure && response != nullptr && response->GetStatusCode() / 100 != 2) {
        failure = http::MakeStatusError(response->GetStatusCode(),
                                        response->GetBody() != nullptr ? response->GetBody() : "", "UploadJsonContent");
    }
    http::ReleaseHttpResponse(httpClient_->GetAllocator(), response);
    return failure;
}

error::Error S3Client::DownloadFile(const iot::IotInfo*, const iot::IoTCredential* credential, const std::string& uri,
                                    const std::string& path, uint64_t& size, bool& complete) {
    const uint64_t asked = size;
    complete = false;
    if (uri.empty() || path.empty()) return MakeError(S3ErrorCodes::InvalidArgument, "No uri or path", "DownloadFile");
    // This transfer's own flag: a cancel meant for another download neither cuts nor spares it.
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    std::multimap<std::string, std::shared_ptr<std::atomic<bool>>>::iterator registered;
    {
        std::lock_guard lock(transfersMutex_);
        registered = transfers_.emplace(path, cancel);
    }
    struct Unregister {
        S3Client* client;
        std::multimap<std::string, std::shared_ptr<std::atomic<bool>>>::iterator entry;
        ~Unregister() {
            std::lock_guard lock(client->transfersMutex_);
            client->transfers_.erase(entry);
        }
    } unregister{this, registered};
    if (error::Error failure = CheckCredential(credential, "DownloadFile")) return failure;
    const std::string url = ObjectUrl(uri, "");
    if (url.empty()) return MakeError(S3ErrorCodes::InvalidUri, "Not an S3 uri: " + uri, "DownloadFile");

    const std::filesystem::path target(path);
    const std::filesystem::path part(path + ".part");
    std::error_code ec;
    // Continue only from bytes that are really there: a part file that went away, or a finished
    // file that was moved into place, starts the transfer afresh.
    const uint64_t held = std::filesystem::exists(part, ec) ? std::filesystem::file_size(part, ec) : 0;
    const uint64_t start = ec ? 0 : std::min(asked, held);
    if (start == 0) {
        std::filesystem::remove(part, ec);
    } else if (start < held) {
        std::filesystem::resize_file(part, start, ec);
        if (ec) return MakeError(S3ErrorCodes::FileError, "Cannot write " + part.string(), "DownloadFile");
    }
    size = start;
    http::HttpRequest request(http::HttpMethod::GET, url, "", 0);
    request.SetLowSpeedLimit(1, 60);
    AddCredential(request, *credential);
    if (start > 0) request.SetResumeFrom(start);

    std::ofstream out(part, std::ios::binary | std::ios::app);
    if (!out.is_open()) return MakeError(S3ErrorCodes::FileError, "Cannot write " + part.string(), "DownloadFile");
    bool writeFailed = false;
    bool cancelled = false;
    uint64_t arrived = 0;
    int32_t status = 0;
    http::IHttpResponse* response = nullptr;
    error::Error failure = httpClient_->Perform(request, response, [&](const char* data, size_t length) {
        if (*cancel) {
            cancelled = true;
            return false;
        }
        out.write(data, static_cast<std::streamsize>(length));
        writeFailed = !out;
        if (!writeFailed) arrived += length;
        return !writeFailed;
    });
    out.close();
    if (response != nullptr) status = response->GetStatusCode();
    http::ReleaseHttpResponse(httpClient_->GetAllocator(), response);
    if (writeFailed) return MakeError(S3ErrorCodes::FileError, "Cannot write " + part.string(), "DownloadFile");
    if (failure) {
        // Cut off mid-way: what came is kept for the next call to continue from.
        size = start + arrived;
        if (cancelled || arrived > 0) return {};
        return failure;
    }
    if (status / 100 != 2) {
        std::filesystem::remove(part, ec);
        size = 0;
        return http::MakeStatusError(status, "The object store answered " + std::to_string(status), "DownloadFile");
    }
    if (start > 0 && status == 200) {
        // The range was ignored: the whole object followed the old part.
        std::ifstream in(part, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        std::ofstream rewrite(part, std::ios::binary | std::ios::trunc);
        rewrite.write(bytes.data() + start, static_cast<std::streamsize>(bytes.size() - start));
    }
    std::filesystem::rename(part, target, ec);
    if (ec) return MakeError(S3ErrorCodes::FileError, "Cannot move the download to " + path + ": " + ec.message(), "DownloadFile");
    size = std::filesystem::file_size(target, ec);
    complete = true;
    return {};
}

void S3Client::CancelDownload() {
    std::lock_guard lock(transfersMutex_);
    for (auto& [path, cancel] : transfers_) *cancel = true;
}

void S3Client::CancelDownload(const std::string& path) {
    std::lock_guard lock(transfersMutex_);
    auto [first, last] = transfers_.equal_range(path);
    for (auto it = first; it != last; ++it) *it->second = true;
}

}  // namespace zelko::shared::s3
