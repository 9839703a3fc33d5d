#pragma once

// A connectivity module for benchmarks: the real IoT client against a local cloud, a data valve
// that passes the data through and the test envelope.

#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "outside/iot/iot_device.h"
#include "telemetry/telemetry_module.h"
#include "testing/fake_connectivity.h"

namespace zelko::bench {

using nlohmann::json;
using zelko::plenar::agent::ConnectivityModule;
using zelko::shared::error::Error;
using zelko::shared::iot::IoTResult;

// The real IoT client; the data valve passes the data through.
class CloudConnectivity : public ConnectivityModule {
  public:
    explicit CloudConnectivity(std::unique_ptr<zelko::shared::iot::IotInfo> info)
        : info_(std::move(info)), device_(info_.get(), nullptr) {}
    IoTResult Pub(const std::string& topic, const std::string& message) override {
        return device_.Pub(topic, message);
    }
    IoTResult PubByHttp(const std::string& topic, const std::string& message) override {
        return device_.PublishByHttp(topic, message);
    }
    Error GetShadow(const std::string&, std::string&) override { return {}; }
    IoTResult Sub(const std::string&, const std::string&, zelko::shared::iot::PayloadCallback,
                  void*) override {
        return {};
    }
    IoTResult Unsub(const std::string&, const std::string&) override { return {}; }
    bool IsValidConsent() override { return true; }
    Error FilterCDMTrees(const std::string& data, const std::string&, char* buffer, size_t size) override {
        if (data.size() + 1 > size)
            return Error(zelko::shared::error::ErrorCategory::EC_Component, 1, "too small");
        std::memcpy(buffer, data.c_str(), data.size() + 1);
        return {};
    }
    int64_t GetDataValveClientInitTime() override { return 0; }
    void FormatForPublishing(const std::string& gun, const std::string& filtered,
                             std::vector<char>& envelope) override {
        const std::string text = zelko::testing::FakeConnectivity::Envelope(gun, filtered);
        envelope.assign(text.begin(), text.end());
        envelope.push_back('\0');
    }
    std::string GetTelemetryTopic() override { return "$aws/rules/bench/telemetry"; }
    bool IsConnected() override { return false; }
    bool IsCredentialsReady() override { return true; }
    Error UploadToS3(const std::string&, const std::string&, const json&) override {
        return Error(zelko::shared::error::ErrorCategory::EC_Component, 1, "no S3 here");
    }
    std::string GetPublishDataS3Uri() override { return ""; }
    std::string GetDeviceUniqueId() override { return "SNR-BENCH"; }

  private:
    std::unique_ptr<zelko::shared::iot::IotInfo> info_;
    zelko::shared::iot::IoTDevice device_;
};

}  // namespace zelko::bench
