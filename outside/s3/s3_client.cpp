#include "outside/s3/s3_client.h"

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
                                    const std::string& path, uint64_t& size, bool& resumed) {
    size = 0;
    resumed = false;
    if (uri.empty() || path.empty()) return MakeError(S3ErrorCodes::InvalidArgument, "No uri or path", "DownloadFile");
    if (error::Error failure = CheckCredential(credential, "DownloadFile")) return failure;
    const std::string url = ObjectUrl(uri, "");
    if (url.empty()) return MakeError(S3ErrorCodes::InvalidUri, "Not an S3 uri: " + uri, "DownloadFile");

    const std::filesystem::path target(path);
    const std::filesystem::path part(path + ".part");
    std::error_code ec;
    const uint64_t have = std::filesystem::exists(part, ec) ? std::filesystem::file_size(part, ec) : 0;
    http::HttpRequest request(http::HttpMethod::GET, url, "", 0);
    request.SetLowSpeedLimit(1, 60);
    AddCredential(request, *credential);
    if (have > 0) request.SetResumeFrom(have);

    std::ofstream out;
    bool opened = false;
    bool writeFailed = false;
    int32_t status = 0;
    http::IHttpResponse* response = nullptr;
    // The status is known once the first bytes arrive only through the response; the sink appends
    // and the file is truncated below when the server ignored the range.
    out.open(part, std::ios::binary | std::ios::app);
    opened = out.is_open();
    if (!opened) return MakeError(S3ErrorCodes::FileError, "Cannot write " + part.string(), "DownloadFile");
    const uint64_t start = have;
    error::Error failure = httpClient_->Perform(request, response, [&](const char* data, size_t length) {
        out.write(data, static_cast<std::streamsize>(length));
        writeFailed = !out;
        return !writeFailed;
    });
    out.close();
    if (response != nullptr) status = response->GetStatusCode();
    http::ReleaseHttpResponse(httpClient_->GetAllocator(), response);
    if (failure) return failure;
    if (writeFailed) return MakeError(S3ErrorCodes::FileError, "Cannot write " + part.string(), "DownloadFile");
    if (status / 100 != 2) {
        std::filesystem::remove(part, ec);
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
    resumed = start > 0 && status == 206;
    std::filesystem::rename(part, target, ec);
    if (ec) return MakeError(S3ErrorCodes::FileError, "Cannot move the download to " + path + ": " + ec.message(), "DownloadFile");
    size = std::filesystem::file_size(target, ec);
    return {};
}

}  // namespace zelko::shared::s3
