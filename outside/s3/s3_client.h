#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "outside/error/error.h"

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::iot {
class IotInfo;
class IoTCredential;
}

namespace zelko::shared::s3 {

enum class S3ErrorCodes : int32_t {
    InvalidArgument = 1,
    InvalidUri = 2,
    NoCredential = 3,
    FileError = 4,
};
inline constexpr std::string_view kS3ErrorCodesType = "enum zelko::shared::s3::S3ErrorCodes";

// Objects over HTTPS with the thing's temporary credential. A URI is "s3://bucket[/prefix]",
// "arn:aws:s3:::bucket[/prefix]" or an https URL; the first two go to the client's endpoint
// (https://<bucket>.s3.amazonaws.com unless one is given: <endpoint>/<bucket>/...).
// The credential travels as the access key id and session token headers.
class S3Client {
  public:
    // httpClient: null uses the library's own libcurl client.
    explicit S3Client(std::shared_ptr<http::IHttpClient> httpClient = nullptr, std::string endpoint = {});
    virtual ~S3Client();

    // Stores content as the object key under uri. extra: reserved, empty.
    virtual error::Error UploadJsonContent(const iot::IoTCredential* credential, const std::string& uri,
                                   const std::string& key, const std::string& content, const std::string& extra);
    // Fetches the object at uri into path, through path + ".part". size: in, the byte to continue
    // from (0 starts afresh; never past what the part file holds); out, the bytes present.
    // complete: set when the whole object is at path. A transfer cut after bytes arrived (or
    // cancelled) is no error: complete stays false and the part file keeps what came.
    virtual error::Error DownloadFile(const iot::IotInfo* iotInfo, const iot::IoTCredential* credential, const std::string& uri,
                              const std::string& path, uint64_t& size, bool& complete);
    // Stops every download under way; each returns incomplete, with what arrived kept.
    virtual void CancelDownload();
    // Stops the download under way to path alone (others go on); a download to path that starts
    // later is not affected.
    virtual void CancelDownload(const std::string& path);

    // The URL an uri (and key) names; empty when the uri is not one of the three forms.
    std::string ObjectUrl(const std::string& uri, const std::string& key) const;

  private:
    std::shared_ptr<http::IHttpClient> httpClient_;
    std::string endpoint_;
    // The downloads under way, by target path, each with its own cancel flag.
    std::mutex transfersMutex_;
    std::multimap<std::string, std::shared_ptr<std::atomic<bool>>> transfers_;
};

}  // namespace zelko::shared::s3
