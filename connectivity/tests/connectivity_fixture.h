#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/connectivity_module.h"
#include "connectivity/device_attestation_module.h"
#include "features/feature_finder.h"
#include "testing/named_features.h"
#include "outside/s3/s3_client.h"
#include "outside/device_info/device_info.h"
#include "platform/steady_clock.h"
#include "testing/fake_device_info.h"
#include "testing/fake_iot_device.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {

using namespace std::chrono_literals;
using testing::FakeIoTDevice;
using Call = FakeIoTDevice::Call;
using json = nlohmann::json;

inline constexpr char kThing[] = "SNR-0042";
inline constexpr int64_t kSecond = 1'000'000'000;

class FakeDeviceInfo : public testing::BlankDeviceInfo {
  public:
    explicit FakeDeviceInfo(std::string snr) {
        manufacturer = "Zelko";
        serialNumber = "SN1";
        snrId = std::move(snr);
    }
};

// The fake IoT device, with the steady-clock time of each Disconnect, so tests see when the idle
// close happened in virtual time.
class TimedIoTDevice : public FakeIoTDevice {
  public:
    explicit TimedIoTDevice(std::string thing) : FakeIoTDevice(std::move(thing)) {}

    IoTResult Disconnect() override {
        {
            std::lock_guard lock(mutex_);
            disconnects_.push_back(platform::SteadyNowNanos());
        }
        cv_.notify_all();
        return FakeIoTDevice::Disconnect();
    }
    bool WaitForDisconnects(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return disconnects_.size() >= count; });
    }
    std::vector<int64_t> DisconnectTimes() {
        std::lock_guard lock(mutex_);
        return disconnects_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<int64_t> disconnects_;
};

using testing::FinderOf;

struct ModuleOptions {
    std::string stack = "dev";
    std::set<std::string> features = {"Corvane"};
    bool mocked = false;
    bool makeDevices = true;
    // Stand-ins for the enrollment library (both roads) and the data-valve client; empty: the real ones.
    std::shared_ptr<shared::enrollment::Enrollment> enrollment;
    std::function<std::shared_ptr<shared::valve::DataValveClientBase>(const shared::valve::Configuration&,
                                                                      shared::device::IDeviceInfo*)>
        makeValveClient;
    std::shared_ptr<shared::s3::S3Client> s3;
    std::shared_ptr<DeviceAttestationModule> attestation;
    // Replaces `features` when set.
    std::shared_ptr<FeatureFinder> finder;
    std::shared_ptr<ConsentBridgeModule> consentBridge;
};

// A temporary executable folder, the device "SNR-0042", virtual steady time and a log capture.
// Each IoT device the module makes is a TimedIoTDevice kept in devices().
class ConnectivityTest : public zelko::testing::SystemRootTest {
  protected:
    using Options = ModuleOptions;

    void SetUp() override {
        SystemRootTest::SetUp();
        std::filesystem::create_directories(ConfigPath().parent_path());
        WriteConfig(DevConfig());
    }

    void TearDown() override {
        if (module_) Destroy();
    }

    std::filesystem::path ExeFolder() const { return scratch(); }
    std::filesystem::path ConfigPath() const {
        return scratch() / "Configuration Files" / "connectivity-module-config.json";
    }
    std::filesystem::path StatePath() const { return scratch() / "connectitivy-state.json"; }
    std::filesystem::path IoTInfoPath() const { return scratch() / "iot-info.dat"; }

    // The enrollment and attestation addresses every stack object needs.
    static json EnrollmentSections() {
        const std::string api = "https://api.local";
        return {{"enrollment_v2",
                 {{"discoveryUri", api + "/v2/services"},
                  {"enrollmentUri", api + "/pciot-enrollment/v1/tpm"},
                  {"enrollmentStatusUri", api + "/pciot-enrollment/v1/status"},
                  {"preEnrollmentUri", api + "/pciot-enrollment/v1/challenge"}}},
                {"enrollment_1e",
                 {{"preEnrollmentUri", api + "/pciot-attestation/v1/{deviceUniqueId}/pre"},
                  {"enrollmentUri", api + "/pciot-attestation/v1/{deviceUniqueId}/attestnotpm"}}},
                {"attestation",
                 {{"attestUri", api + "/pciot-attestation/v1/{deviceUniqueId}/attest"},
                  {"possesionUri", api + "/pciot-attestation/v1/{deviceUniqueId}/pop"},
                  {"certificateUri", api + "/pciot-attestation/v1/{deviceUniqueId}/iak/mock_device_1"}}}};
    }
    static json DevConfig(json top = json::object(), json iot = json::object()) {
        json stack = EnrollmentSections();
        stack["stackName"] = "dev";
        stack["iot"] = std::move(iot);
        top["cloud"]["stacks"]["dev"] = std::move(stack);
        return top;
    }
    void WriteConfig(const json& document) { WriteFile(ConfigPath(), document.dump(4)); }
    static void WriteFile(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::shared_ptr<ConnectivityModule> Make(Options options = {}) {
        ConnectivityModule::Environment environment;
        environment.executableFolder = ExeFolder();
        if (options.makeDevices) {
            environment.makeIoTDevice = [this](const shared::iot::IotInfo* info) {
                auto device =
                    std::make_shared<TimedIoTDevice>(info != nullptr ? info->GetThingName() : kThing);
                std::lock_guard lock(devices_mutex_);
                devices_.push_back(device);
                return device;
            };
        } else {
            environment.makeIoTDevice = [](const shared::iot::IotInfo*) { return nullptr; };
        }
        if (options.enrollment) {
            environment.makeEnrollment = [enrollment = options.enrollment](const auto&, auto) { return enrollment; };
        }
        environment.makeValveClient = options.makeValveClient;
        return std::make_shared<ConnectivityModule>(
            options.stack, ConfigPath().string(), nullptr, options.finder ? options.finder : FinderOf(options.features),
            std::make_shared<FakeDeviceInfo>(kThing), options.consentBridge, options.attestation, options.s3,
            options.mocked, nullptr, environment);
    }

    // Makes the fixture's module (destroyed by TearDown).
    ConnectivityModule& Module(Options options = {}) {
        module_ = Make(options);
        return *module_;
    }

    // Destroys the module in virtual time: its destructor pauses a second on the steady clock. log is
    // the capture that takes the records at that moment.
    void Destroy() { Destroy(module_); }
    void Destroy(std::shared_ptr<ConnectivityModule>& module) { Destroy(module, log_); }
    void Destroy(std::shared_ptr<ConnectivityModule>& module, const zelko::testing::LogCapture& log) {
        constexpr char kStopped[] = "Stopping the connection closing thread.";
        const bool threaded = !module->mocked;
        const int stopped = log.Count(logging::info, kStopped);
        std::thread destroyer([doomed = std::move(module)]() mutable { doomed.reset(); });
        // The closing thread logs its end once it has left its wait; then the pause is the only sleeper.
        if (threaded) {
            EXPECT_TRUE(log.WaitFor(logging::info, kStopped, stopped + 1));
        }
        EXPECT_TRUE(clock_.WaitForSleepers(1));
        clock_.Advance(1s);
        destroyer.join();
    }

    std::shared_ptr<TimedIoTDevice> Device(size_t index = 0) {
        std::lock_guard lock(devices_mutex_);
        return index < devices_.size() ? devices_[index] : nullptr;
    }
    size_t DeviceCount() {
        std::lock_guard lock(devices_mutex_);
        return devices_.size();
    }

    // Waits until the closing thread has gone back to waiting, seeing that many seconds left, for the
    // n-th time.
    void WaitForSecondsLeft(int seconds, int n = 1) {
        ASSERT_TRUE(log_.WaitFor(logging::debug,
                                 "Idle connection closes in " + std::to_string(seconds) + " seconds.", n));
    }

    zelko::testing::LogCapture log_;
    platform::ScopedFakeSteadyClock clock_;
    std::shared_ptr<ConnectivityModule> module_;

  private:
    std::mutex devices_mutex_;
    std::vector<std::shared_ptr<TimedIoTDevice>> devices_;
};

}  // namespace zelko::plenar::agent::test
