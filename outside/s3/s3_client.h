#pragma once

#include <cstdint>
#include <memory>
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
    // Fetches the object at uri into path (through path + ".part", resumed when one is there).
    // size: the file's size afterwards; resumed: a partial download was continued.
    virtual error::Error DownloadFile(const iot::IotInfo* iotInfo, const iot::IoTCredential* credential, const std::string& uri,
                              const std::string& path, uint64_t& size, bool& resumed);

    // The URL an uri (and key) names; empty when the uri is not one of the three forms.
    std::string ObjectUrl(const std::string& uri, const std::string& key) const;

  private:
    std::shared_ptr<http::IHttpClient> httpClient_;
    std::string endpoint_;
};

}  // namespace zelko::shared::s3
