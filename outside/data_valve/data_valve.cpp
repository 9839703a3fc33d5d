#include "outside/data_valve/data_valve.h"

#include <cstring>

#include "outside/attestation/key_tools.h"
#include "outside/attestation/service_call.h"
#include "outside/device_info/device_info.h"
#include "outside/http/http_client.h"

namespace zelko::shared::valve {

namespace {

using nlohmann::json;

// Copies the allowed path of source into target; a missing path is skipped.
void CopyPath(const json& source, json& target, const std::string& path) {
    const size_t dot = path.find('.');
    const std::string head = path.substr(0, dot);
    const auto it = source.find(head);
    if (it == source.end()) return;
    if (dot == std::string::npos) {
        target[head] = *it;
        return;
    }
    if (!it->is_object()) return;
    json& inner = target[head];
    if (!inner.is_object()) inner = json::object();
    CopyPath(*it, inner, path.substr(dot + 1));
    if (inner.empty()) target.erase(head);
}

}  // namespace

error::Error MakeError(ValveClientErrorCodes code, std::string message, std::string origin) {
    return error::Error(error::ErrorCategory::EC_Component, static_cast<int32_t>(code), std::move(message),
                        std::string(kValveClientErrorCodesType), std::move(origin));
}

ValveControllerMetadata::ValveControllerMetadata(std::string country, std::string assetUnit, std::string deviceId,
                                                 std::string edgeType, std::string assetId, std::string assetType,
                                                 std::string accountLoginId, std::string accountPlatformUserId,
                                                 std::string deviceUniqueId)
    : country_(std::move(country)),
      assetUnit_(std::move(assetUnit)),
      deviceId_(std::move(deviceId)),
      edgeType_(std::move(edgeType)),
      assetId_(std::move(assetId)),
      assetType_(std::move(assetType)),
      accountLoginId_(std::move(accountLoginId)),
      accountPlatformUserId_(std::move(accountPlatformUserId)),
      deviceUniqueId_(std::move(deviceUniqueId)) {}

std::string DefaultEndpoint(Stack stack) {
    switch (stack) {
        case Stack::Dev: return "https://api.dev.pciot.zelko.com/clientdatavalvecontroller";
        case Stack::Pie: return "https://api.pie.pciot.zelko.com/clientdatavalvecontroller";
        case Stack::Stage: return "https://api.stage.pciot.zelko.com/clientdatavalvecontroller";
        case Stack::Prod: break;
    }
    return "https://api.us-east-1.pciot.zelko.com/clientdatavalvecontroller";
}

Configuration::Configuration(Stack stack, std::string apiKey, http::IHttpClient* httpClient)
    : stack_(stack), apiKey_(std::move(apiKey)), httpClient_(httpClient), endpoint_(DefaultEndpoint(stack)) {}

DataValveClientBase::DataValveClientBase(const Configuration& configuration, device::IDeviceInfo* deviceInfo) {
    error_ = Load(configuration, deviceInfo);
}

DataValveClientBase::~DataValveClientBase() = default;

error::Error DataValveClientBase::Load(const Configuration& configuration, device::IDeviceInfo* deviceInfo) {
    std::unique_ptr<http::HttpClient> own;
    http::IHttpClient* client = configuration.GetHttpClient();
    if (client == nullptr) {
        own = std::make_unique<http::HttpClient>(nullptr, deviceInfo);
        client = own.get();
    }
    const char* id = deviceInfo != nullptr ? deviceInfo->GetDeviceSNRId() : nullptr;
    http::HttpRequest request(http::HttpMethod::GET,
                              configuration.GetEndpoint() + "/rules?deviceUniqueId=" + (id != nullptr ? id : ""), "", 60);
    request.AddHeader("x-api-key", configuration.GetApiKey());
    if (const std::string ca = keys::CloudCaFile(); !ca.empty()) request.SetCaFile(ca);
    request.AddHeader("Accept", "application/json");
    http::IHttpResponse* response = nullptr;
    if (error::Error failure = client->Perform(request, response)) {
        http::ReleaseHttpResponse(client->GetAllocator(), response);
        return MakeError(ValveClientErrorCodes::RulesUnavailable, "Cannot fetch the filter rules: " + failure.what(),
                         "DataValveClient");
    }
    const int32_t status = response->GetStatusCode();
    const std::string body = response->GetBody() != nullptr ? std::string(response->GetBody(), response->GetBodySize()) : "";
    http::ReleaseHttpResponse(client->GetAllocator(), response);
    if (status != 200)
        return MakeError(ValveClientErrorCodes::RulesUnavailable,
                         "The rules service answered " + std::to_string(status) + ": " + body, "DataValveClient");
    const json document = json::parse(body, nullptr, false);
    if (!document.is_object() || !document.contains("rules") || !document["rules"].is_array())
        return MakeError(ValveClientErrorCodes::InvalidRules, "The filter rules are not valid", "DataValveClient");
    for (const auto& entry : document["rules"]) {
        if (!entry.is_object() || !entry.contains("gun") || !entry["gun"].is_string() || !entry.contains("allow") ||
            !entry["allow"].is_array())
            return MakeError(ValveClientErrorCodes::InvalidRules, "A filter rule is not valid: " + keys::Dump(entry),
                             "DataValveClient");
        Rule rule;
        rule.gun = entry["gun"].get<std::string>();
        if (!rule.gun.empty() && rule.gun.back() == '*') {
            rule.prefix = true;
            rule.gun.pop_back();
        }
        for (const auto& path : entry["allow"]) {
            if (!path.is_string() || path.get<std::string>().empty())
                return MakeError(ValveClientErrorCodes::InvalidRules, "A filter rule is not valid: " + keys::Dump(entry),
                                 "DataValveClient");
            rule.allow.push_back(path.get<std::string>());
        }
        rules_.push_back(std::move(rule));
    }
    return {};
}

error::Error DataValveClientBase::FilterCDMTrees(const char* dataTree, const char* gun, char* buffer,
                                                 size_t bufferSize, const IValveControllerMetadata&) const {
    if (error_) return error_;
    if (dataTree == nullptr || gun == nullptr || buffer == nullptr || bufferSize == 0)
        return MakeError(ValveClientErrorCodes::InvalidArgument, "No data, gun or buffer", "FilterCDMTrees");
    const json data = json::parse(dataTree, nullptr, false);
    if (!data.is_object()) return MakeError(ValveClientErrorCodes::InvalidData, "The data tree is not a JSON object", "FilterCDMTrees");
    const std::string name = gun;
    const Rule* match = nullptr;
    for (const auto& rule : rules_) {
        if (rule.prefix ? name.rfind(rule.gun, 0) == 0 : name == rule.gun) {
            match = &rule;
            break;
        }
    }
    if (match == nullptr) {
        return error::Error(error::ErrorCategory::EC_Component,
                            static_cast<int32_t>(ValveFilterError::ValveFilterErrorType::NoConsent),
                            "No consent for " + name, std::string(kValveFilterErrorType), "FilterCDMTrees");
    }
    json filtered = json::object();
    for (const auto& path : match->allow) {
        if (path == "*") {
            filtered = data;
            break;
        }
        CopyPath(data, filtered, path);
    }
    const std::string text = keys::Dump(filtered);
    if (text.size() + 1 > bufferSize)
        return MakeError(ValveClientErrorCodes::BufferTooSmall, "The buffer is too small for the filtered tree", "FilterCDMTrees");
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return {};
}

}  // namespace zelko::shared::valve
