#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "outside/error/error.h"

namespace zelko::shared::http {
class IHttpClient;
}
namespace zelko::shared::device {
class IDeviceInfo;
}

namespace zelko::plenar::agent {

// Announces a new device (serial and product numbers) once to the maker's onboarding service,
// configured by "onboarding-module-config.json"; the outcome is kept in
// "zelko-plenar-onboarding-state.json" beside the executable.
class Onboarding {
  public:
    // Raises the JSON type error when the configuration has no object for the stack. stateFolder:
    // where the state file lives; empty means the executable's folder.
    Onboarding(std::filesystem::path configPath, std::string stack,
               std::shared_ptr<shared::http::IHttpClient> httpClient,
               std::shared_ptr<shared::device::IDeviceInfo> deviceInfo, std::filesystem::path stateFolder = {});
    ~Onboarding();

    const std::filesystem::path& ConfigPath() const { return configPath_; }

    // One attempt; the outcome is in inProgress and backoffHint.
    shared::error::Error Perform();

    std::string host;
    std::shared_ptr<shared::device::IDeviceInfo> deviceInfo;
    std::shared_ptr<shared::http::IHttpClient> httpClient;
    nlohmann::json config;
    nlohmann::json stackConfig;
    bool onboarded = false;
    bool inProgress = false;
    // Minutes before the next attempt; -1 = none.
    int32_t backoffHint = -1;
    nlohmann::json onboardingState;
    std::filesystem::path onboardingStatePath;

  private:
    void SaveState();
    std::filesystem::path configPath_;
};

// The onboarding host of a stack ("dev", "pie", "stage"; anything else is production).
std::string OnboardingHost(const std::string& stack);

}  // namespace zelko::plenar::agent
