#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "outside/error/error.h"

namespace zelko::shared::device {
class IDeviceInfo;
}
namespace zelko::shared::http {
class IHttpClient;
}

namespace zelko::shared::valve {

// Refusals of the filter for want of the cloud's consent to the data: the callers tell them from
// other failures by this type text.
struct ValveFilterError {
    enum class ValveFilterErrorType : int32_t {
        NoConsent = 1,
    };
};
inline constexpr std::string_view kValveFilterErrorType =
    "enum zelko::shared::valve::ValveFilterError::ValveFilterErrorType";

// Every other failure of the valve.
enum class ValveClientErrorCodes : int32_t {
    InvalidArgument = 1,
    RulesUnavailable = 2,
    InvalidRules = 3,
    InvalidData = 4,
    BufferTooSmall = 5,
};
inline constexpr std::string_view kValveClientErrorCodesType = "enum zelko::shared::valve::ValveClientErrorCodes";

error::Error MakeError(ValveClientErrorCodes code, std::string message, std::string origin = {});

class IValveControllerMetadata {
  public:
    virtual ~IValveControllerMetadata() = default;
    virtual const char* GetCountry() const = 0;
    virtual const char* GetAssetUnit() const = 0;
    virtual const char* GetDeviceId() const = 0;
    virtual const char* GetEdgeType() const = 0;
    virtual const char* GetAssetId() const = 0;
    virtual const char* GetAssetType() const = 0;
    virtual const char* GetAccountLoginId() const = 0;
    virtual const char* GetAccountPlatformUserId() const = 0;
    virtual const char* GetDeviceUniqueId() const = 0;
};

// Who the filtered data is about; the texts are copied.
class ValveControllerMetadata : public IValveControllerMetadata {
  public:
    ValveControllerMetadata(std::string country, std::string assetUnit, std::string deviceId, std::string edgeType,
                            std::string assetId, std::string assetType, std::string accountLoginId,
                            std::string accountPlatformUserId, std::string deviceUniqueId);
    const char* GetCountry() const override { return country_.c_str(); }
    const char* GetAssetUnit() const override { return assetUnit_.c_str(); }
    const char* GetDeviceId() const override { return deviceId_.c_str(); }
    const char* GetEdgeType() const override { return edgeType_.c_str(); }
    const char* GetAssetId() const override { return assetId_.c_str(); }
    const char* GetAssetType() const override { return assetType_.c_str(); }
    const char* GetAccountLoginId() const override { return accountLoginId_.c_str(); }
    const char* GetAccountPlatformUserId() const override { return accountPlatformUserId_.c_str(); }
    const char* GetDeviceUniqueId() const override { return deviceUniqueId_.c_str(); }

  private:
    std::string country_, assetUnit_, deviceId_, edgeType_, assetId_, assetType_, accountLoginId_,
        accountPlatformUserId_, deviceUniqueId_;
};

enum class Stack : int32_t { Dev = 0, Pie = 1, Stage = 2, Prod = 3 };

// Where and how the client fetches its rules.
class Configuration {
  public:
    // httpClient: not owned, must outlive the clients made from the configuration; null makes the
    // clients use their own libcurl client.
    Configuration(Stack stack, std::string apiKey, http::IHttpClient* httpClient);
    Stack GetStack() const { return stack_; }
    const std::string& GetApiKey() const { return apiKey_; }
    http::IHttpClient* GetHttpClient() const { return httpClient_; }
    // The rules service's base URL; the stack's built-in host unless set.
    const std::string& GetEndpoint() const { return endpoint_; }
    void SetEndpoint(std::string endpoint) { endpoint_ = std::move(endpoint); }

  private:
    Stack stack_;
    std::string apiKey_;
    http::IHttpClient* httpClient_;
    std::string endpoint_;
};

// Rules fetched once, at construction, from <endpoint>/rules (API key in "x-api-key"):
// {"rules": [{"gun": exact gun or a prefix ending in "*", "allow": ["*"] or paths ("a", "a.b")}]}.
// A gun no rule names has no consent. A filtered tree keeps only the allowed paths.
class DataValveClientBase {
  public:
    DataValveClientBase(const Configuration& configuration, device::IDeviceInfo* deviceInfo);
    virtual ~DataValveClientBase();
    // No error: the rules are loaded and the client may filter.
    virtual const error::Error& GetError() const { return error_; }
    // Writes the filtered tree, NUL-terminated, into buffer.
    virtual error::Error FilterCDMTrees(const char* dataTree, const char* gun, char* buffer, size_t bufferSize,
                                        const IValveControllerMetadata& metadata) const;

  protected:
    // A client that fetches nothing and reports error (for stand-ins).
    explicit DataValveClientBase(error::Error error) : error_(std::move(error)) {}

  private:
    struct Rule {
        std::string gun;
        bool prefix = false;
        std::vector<std::string> allow;
    };
    error::Error Load(const Configuration& configuration, device::IDeviceInfo* deviceInfo);

    std::vector<Rule> rules_;
    error::Error error_;
};

template <typename ConfigurationT>
class DataValveClient;

template <>
class DataValveClient<Configuration> : public DataValveClientBase {
  public:
    DataValveClient(const Configuration& configuration, device::IDeviceInfo* deviceInfo)
        : DataValveClientBase(configuration, deviceInfo) {}
};

// The built-in rules host of a stack.
std::string DefaultEndpoint(Stack stack);

}  // namespace zelko::shared::valve
