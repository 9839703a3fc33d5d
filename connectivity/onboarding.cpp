#include "connectivity/onboarding.h"

#include <system_error>
#include <utility>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/settings.h"
#include "foundation/utils.h"
#include "outside/device_info/device_info.h"
#include "outside/http/http_client.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

namespace {

constexpr char kStateFileName[] = "zelko-plenar-onboarding-state.json";
constexpr char kDefaultPath[] = "/pciot-autoprovisiong/v1/device";

}  // namespace

std::string OnboardingHost(const std::string& stack) {
    if (stack == "dev") return "https://api.dev.pciot.zelko.com";
    if (stack == "pie") return "https://api.pie.pciot.zelko.com";
    if (stack == "stage") return "https://api.stage.pciot.zelko.com";
    return "https://api.us-east-1.pciot.zelko.com";
}

Onboarding::Onboarding(std::filesystem::path configPath, std::string stack,
                       std::shared_ptr<shared::http::IHttpClient> httpClient_,
                       std::shared_ptr<shared::device::IDeviceInfo> deviceInfo_, std::filesystem::path stateFolder)
    : deviceInfo(std::move(deviceInfo_)), httpClient(std::move(httpClient_)), configPath_(configPath) {
    config = Utils::LoadConfigFile(configPath, false, "sub");
    if (config.is_object() && config.contains("stacks") && config["stacks"].is_object()) {
        auto it = config["stacks"].find(stack);
        if (it != config["stacks"].end()) stackConfig = *it;
    }
    // A stack the configuration lacks raises "cannot use value() with null".
    if (!stackConfig.is_object()) (void)stackConfig.value("host", std::string());
    host = Settings::String(stackConfig, configPath_.string(), "host", OnboardingHost(stack));

    const std::filesystem::path folder = stateFolder.empty() ? Utils::GetExecutableDirectory() : stateFolder;
    std::error_code ec;
    const bool exists = std::filesystem::exists(folder, ec);
    if (ec) throw std::filesystem::filesystem_error("exists", folder, ec);
    if (!exists) {
        const uint32_t last = platform::GetLastError();
        LOG_ERROR << "Cannot get the folder path - GetLastError: " << last;
        throw std::filesystem::filesystem_error("Cannot get the folder path", folder,
                                                std::error_code(static_cast<int>(last), std::system_category()));
    }
    onboardingStatePath = folder / kStateFileName;
    try {
        onboardingState = Utils::LoadJsonFile(onboardingStatePath);
        if (!onboardingState.is_object()) throw std::runtime_error("not an object");
        onboarded = Settings::Bool(onboardingState, onboardingStatePath.string(), "is_onboarded", false);
    } catch (...) {
        LOG_WARNING << "Onboarding Cannot find state file: " << onboardingStatePath.string() << " Using defalult";
        onboardingState = nlohmann::json::object();
        onboarded = false;
    }
}

Onboarding::~Onboarding() = default;

void Onboarding::SaveState() {
    try {
        Utils::SaveJsonFile(onboardingStatePath, onboardingState);
    } catch (const std::exception& e) {
        LOG_WARNING << "Onboarding Cannot save state file: " << onboardingStatePath.string() << " exc: " << e.what();
    }
}

shared::error::Error Onboarding::Perform() {
    if (onboarded) {
        inProgress = false;
        LOG_INFO << "Device is already onboarded";
        return {};
    }
    backoffHint = -1;
    inProgress = true;
    onboarded = false;
    onboardingState["is_onboarded"] = false;
    SaveState();

    shared::http::IHttpResponse* response = nullptr;
    try {
        const char* serial = deviceInfo ? deviceInfo->GetSerialNumber() : nullptr;
        const char* product = deviceInfo ? deviceInfo->GetProductId() : nullptr;
        const nlohmann::json body = {{"serialNumber", serial != nullptr ? serial : ""},
                                     {"productNumber", product != nullptr ? product : ""}};
        const std::string path = Settings::String(config, configPath_.string(), "onboarding_path", kDefaultPath);
        const std::string url = host + path;
        shared::http::HttpRequest request(shared::http::HttpMethod::POST, url, body.dump(), 600);
        (void)request.AddHeader("Content-Type", "application/json");
        if (!httpClient) throw std::invalid_argument("Onboarding has no HTTP client");
        if (shared::error::Error failure = httpClient->Perform(request, response)) {
            LOG_ERROR << "Onboarding failed with error: " << error::ErrorToString(failure);
            shared::http::ReleaseHttpResponse(httpClient->GetAllocator(), response);
            return failure;
        }
        const int32_t status = response->GetStatusCode();
        const std::string text = response->GetBody() != nullptr ? std::string(response->GetBody(), response->GetBodySize()) : "";
        if (status == 200) {
            LOG_INFO << "Onboarding suceeded.";
            onboarded = true;
            onboardingState["is_onboarded"] = true;
            SaveState();
        } else if (status == 202) {
            backoffHint = nlohmann::json::parse(text).at("backoffHint").get<int32_t>();
            LOG_INFO << "Onboarding is Accepted, backoff hint " << status << " backoff hint: " << backoffHint;
        } else {
            const nlohmann::json ignored = nlohmann::json::parse(text);  // an answer that is not JSON is a failure
            (void)ignored;
            backoffHint = 1440;
            LOG_INFO << "Onboarding failed with HTTP error, backoff hint " << status << " backoff hint: " << backoffHint;
        }
        shared::http::ReleaseHttpResponse(httpClient->GetAllocator(), response);
        return {};
    } catch (...) {
        LOG_ERROR << "Onboarding failed with unknown exception";
        if (httpClient) shared::http::ReleaseHttpResponse(httpClient->GetAllocator(), response);
        return error::ErrorFromException(std::current_exception(), "onboarding");
    }
}

}  // namespace zelko::plenar::agent
