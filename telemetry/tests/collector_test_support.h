#pragma once

// A collector over the real plug-in manager: the collector test plug-in installed under a few
// names (in memory, and one in the collectors folder so it runs through the executor), a fake
// connectivity module, and readers for the resend folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "outside/plugin_manager/plugin_manager.h"
#include "telemetry/collector.h"
#include "telemetry/resend_record.h"
#include "testing/fake_connectivity.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {

namespace fs = std::filesystem;
using nlohmann::json;
using shared::error::Error;
using shared::error::ErrorCategory;
using testing::FakeConnectivity;

inline constexpr const char* kDeviceId = "SNR0001";
inline constexpr const char* kGun =
    "com.zelko.cdm.domain.telemetry.type.eventDetail.category.DeviceBkcStatus.version.1";

inline TelemetryEvent MakeEvent(uint32_t control, uint32_t type = 0, uint32_t channel = 0) {
    TelemetryEvent event;
    event.Type = {control, type, channel, 0};
    event.SysEvent = Event(control, type, nullptr, 0, channel);
    return event;
}

inline json Element(const json& data, const std::string& gun = kGun) {
    return {{"gun", gun}, {"data", data}};
}

class CollectorTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        for (const char* name : {"uploader", "echo"}) Install(in_memory(), name, "1.0.0");
        Install(in_memory(), "echo", "1.5.0");
        Install(collectors(), "hanger", "2.0.0");
        manager_ = std::make_shared<shared::plugin::PluginManager>(
            collectors().c_str(), "info", ZELKO_PLUGIN_EXECUTOR,
            shared::plugin::ValidatorSettings{scratch() / "no-key.pem", true});
        manager_->InitializeInMemoryPlugins(in_memory().c_str());
        conn_ = std::make_shared<FakeConnectivity>();
        conn_->SetConsent(true);
        conn_->SetDeviceUniqueId(kDeviceId);
        crypto_ = std::make_shared<crypto::Cryptography>(kDeviceId);
    }

    fs::path collectors() const { return scratch() / "collectors"; }
    fs::path in_memory() const { return scratch() / "inmem"; }

    fs::path Install(const fs::path& folder, const std::string& name, const std::string& version) {
        const auto target = folder / name / version / (name + ".so");
        fs::create_directories(target.parent_path());
        fs::copy_file(ZELKO_COLLECTOR_TEST_PLUGIN, target, fs::copy_options::overwrite_existing);
        return target;
    }

    json Entry(const json& configuration, const std::string& name = "uploader") const {
        return {{"name", name},
                {"version", ">=1.0.0"},
                {"configuration", configuration},
                {"events", json::array({{{"dwControl", 230}}})}};
    }

    std::unique_ptr<Collector> Make(const json& entry, bool by_http = true,
                                    std::shared_ptr<ConnectivityModule> connectivity = nullptr) {
        if (!connectivity) connectivity = conn_;
        return std::make_unique<Collector>(entry, connectivity, manager_, nullptr, nullptr, crypto_, by_http);
    }

    // A configured collector whose plug-in answers `answer`.
    std::unique_ptr<Collector> Answering(const json& answer, bool by_http = true) {
        return Make(Entry({{"answer", answer}}), by_http);
    }

    std::unique_ptr<Collector> Custom() {
        return std::make_unique<Collector>(conn_, manager_, nullptr, nullptr, crypto_, true);
    }

    // The records of the resend folder in name order, decrypted with the device's key.
    std::vector<std::string> RecordNames() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(ResendFolder(), ec))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<json> Records() const {
        std::vector<json> records;
        for (const auto& name : RecordNames())
            records.push_back(
                Utils::LoadEncryptedJsonFile(ResendFolder() / name, crypto::Cryptography(kDeviceId)));
        return records;
    }
    std::vector<std::string> Reasons() const {
        std::vector<std::string> reasons;
        for (const auto& record : Records()) reasons.push_back(record.at("reason"));
        return reasons;
    }
    std::vector<std::string> Vias() const {
        std::vector<std::string> vias;
        for (const auto& sent : conn_->Sent()) vias.push_back(sent.via);
        return vias;
    }

    std::shared_ptr<shared::plugin::PluginManager> manager_;
    std::shared_ptr<FakeConnectivity> conn_;
    std::shared_ptr<crypto::Cryptography> crypto_;
};

}  // namespace zelko::plenar::agent::test
