// The service program against the local cloud that the CTest fixture started: a fresh subscription
// device, with short retry policies, walks attestation, discovery and enrollment up to its IoT
// credentials, also when the enrollment status answers "not ready" a few times.

#include <signal.h>
#include <stdio.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string>
#include <thread>
#include <vector>

#include "testing/local_cloud.h"
#include "testing/temp_system_root.h"

extern char** environ;

namespace zelko::plenar::agent::test {
namespace {

namespace fs = std::filesystem;
using cloud::test::Admin;
using cloud::test::Cloud;
using nlohmann::json;
using shared::http::HttpMethod;

int ServicesPort() {
    std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
    return json::parse(in).at("services_port").get<int>();
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

json Span(int count, const char* units, int interval, const char* interval_units) {
    return {{"base_value", {{"count", count}, {"units", units}}},
            {"interval", {{"count", interval}, {"units", interval_units}}},
            {"interval_type", "StartingWithBase"}};
}

// Every state and task on one short linear policy, the poll on a short one that ends after a minute.
json ShortRetries() {
    const json quick = {{"type", "Linear"},
                        {"end_type", "Infinite"},
                        {"initial_delay", Span(200, "milli", 100, "milli")},
                        {"diff_or_base", Span(200, "milli", 100, "milli")}};
    json poll = {{"type", "Linear"},
                 {"end_type", "Stop"},
                 {"initial_delay", Span(300, "milli", 100, "milli")},
                 {"diff_or_base", Span(300, "milli", 100, "milli")},
                 {"end_time", Span(1, "min", 0, "milli")}};
    return {{"states", {{"PollEnrollZelkoStatus", "poll"}}},
            {"policies", {{"attest", quick}, {"poll", poll}, {"local_delay", quick}}}};
}

class RoadCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/device-faults");
        Admin(HttpMethod::PUT, "/enrollment", {{"not_ready_polls", 0}});
        home_ = scratch() / "agent";
        ::setenv("ZELKO_AGENT_FOLDER", home_.c_str(), 1);
        const fs::path config = home_ / "Configuration Files";
        fs::create_directories(config);
        fs::copy_file(ZELKO_AGENT_PROGRAM, home_ / "zelko-plenar-agent-service");
        WriteText(scratch() / "cloud-ca.pem", Cloud().caPem);

        const std::string services = "https://127.0.0.1:" + std::to_string(ServicesPort());
        const std::string https = "https://127.0.0.1:" + std::to_string(Cloud().https);
        const json stack = {
            {"stackName", "dev"},
            {"iot",
             {{"telemetryTopic", "$aws/rules/telemetry/"},
              {"corvaneEnrollmentTopic", "$aws/rules/notifications/"},
              {"credentialUri", https + "/role-aliases/zelko-device/credentials"}}},
            {"dataValve", {{"endpointUrl", services + "/clientdatavalvecontroller"}}},
            {"enrollment_v2",
             {{"discoveryUri", services + "/v2/services"},
              {"enrollmentUri", services + "/pciot-enrollment/v1/tpm"},
              {"enrollmentStatusUri", services + "/pciot-enrollment/v1/status"},
              {"preEnrollmentUri", services + "/pciot-enrollment/v1/challenge"}}},
            {"enrollment_1e",
             {{"preEnrollmentUri", services + "/pciot-attestation/v1/{deviceUniqueId}/pre"},
              {"enrollmentUri", services + "/pciot-attestation/v1/{deviceUniqueId}/attestnotpm"}}},
            {"attestation",
             {{"attestUri", services + "/pciot-attestation/v1/{deviceUniqueId}/attest"},
              {"possesionUri", services + "/pciot-attestation/v1/{deviceUniqueId}/pop"},
              {"certificateUri", services + "/pciot-attestation/v1/{deviceUniqueId}/iak/mock_device_1"}}}};
        WriteText(config / "connectivity-module-config.json", json{{"cloud", {{"stacks", {{"dev", stack}}}}}}.dump());
        WriteText(config / "zelko-plenar-agent-config.json",
                  json{{"cloud", {{"stack", "dev"}, {"impersonate", true}}},
                       {"log_severity", "D"},
                       {"run_in_background", false},
                       {"run_with_ecoqos", false}}
                      .dump());
        WriteText(config / "zelko-retries-config.json", ShortRetries().dump());
        WriteConsentConfig(json::object());
        // A new subscription device for each test: the cloud keeps what it knows of a device.
        snr_ = cloud::test::UniqueName("road");
        WriteText(config / "device-info-config.json",
                  json{{"DeviceInfo",
                        {{"DeviceSNRId", snr_},
                         {"SerialNumber", snr_ + "-serial"},
                         {"ZelkoSpecificInfo", {{"FeatureByte", {{"RawBytes", "r6.1"}}}}}}}}
                      .dump());
        WriteText(root() / "Devices" / "devices.json",
                  R"({"{4D36E97D-E325-11CE-BFC1-08002BE10318}": ["ACPI\\VEN_ZLKC&DEV_0016"]})");
        // A user logged on long ago: no start-up grace.
        WriteText(root() / "Sessions" / "logons", "1 user 1000000000\n");
    }

    void TearDown() override {
        Stop();
        Admin(HttpMethod::PUT, "/enrollment", {{"not_ready_polls", 0}});
    }

    static int ConsentPort() {
        std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
        return json::parse(in).at("consent_port").get<int>();
    }

    // The consent module's configuration for the local cloud's consent service, with `more` keys.
    void WriteConsentConfig(json more) {
        more["stackName"] = "dev";
        more["host"] = "http://127.0.0.1:" + std::to_string(ConsentPort()) + "/";
        WriteText(home_ / "Configuration Files" / "consent-bridge-module-config.json",
                  json{{"stacks", {{"dev", more}}}}.dump());
    }

    void Start() {
        const std::string program = (home_ / "zelko-plenar-agent-service").string();
        std::vector<std::string> env_texts;
        for (char** e = environ; *e != nullptr; ++e) env_texts.emplace_back(*e);
        env_texts.push_back("ZELKO_CLOUD_CA_FILE=" + (scratch() / "cloud-ca.pem").string());
        std::vector<char*> env;
        for (auto& text : env_texts) env.push_back(text.data());
        env.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, env.data()), 0);
    }

    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::string Log() const {
        std::ifstream in(home_ / "zelko-plenar-agent-service.log");
        std::ostringstream text;
        text << in.rdbuf();
        std::string log = text.str();
        std::erase(log, '\r');  // the log's lines end in CR LF
        return log;
    }

    // The agent is another process: its log file is read until the text shows up (30 s at most).
    bool WaitForLog(const std::string& text) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            if (Log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::vector<std::string> StateChanges() const {
        std::vector<std::string> states;
        std::istringstream lines(Log());
        const std::string marker = "Service state changed to ";
        for (std::string line; std::getline(lines, line);) {
            const auto at = line.find(marker);
            if (at != std::string::npos) states.push_back(line.substr(at + marker.size()));
        }
        return states;
    }

    size_t Occurrences(const std::string& text) const {
        const std::string log = Log();
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    }

    fs::path home_;
    std::string snr_;
    pid_t pid_ = -1;
};

TEST_F(RoadCloudTest, AFreshDeviceWalksToItsIotCredentials) {
    Start();
    ASSERT_TRUE(WaitForLog("Service state changed to GettingIotCreds")) << Log();
    // The walk goes on into the connection states; the road up to the credentials comes first.
    const std::vector<std::string> road{"Initializing", "Attestating",   "AttestatingPoP",        "Discovery",
                                        "PreEnrollZelko", "EnrollZelko", "PollEnrollZelkoStatus", "GettingIotCreds"};
    const std::vector<std::string> states = StateChanges();
    ASSERT_GE(states.size(), road.size());
    EXPECT_EQ(std::vector<std::string>(states.begin(), states.begin() + road.size()), road);
    EXPECT_TRUE(fs::exists(home_ / "iot-info.dat"));
    EXPECT_TRUE(fs::exists(home_ / "zelko-plenar-service-state-PollEnrollZelkoStatus.json"));
    Stop();
    EXPECT_NE(Log().find("Service has stopped."), std::string::npos);
}

TEST_F(RoadCloudTest, ThePollRepeatsWhileTheEnrollmentIsNotReady) {
    ASSERT_EQ(Admin(HttpMethod::PUT, "/enrollment", {{"not_ready_polls", 3}}).first, 200);
    Start();
    ASSERT_TRUE(WaitForLog("Service state changed to GettingIotCreds")) << Log();
    EXPECT_EQ(Occurrences("PollEnrollZelkoStatus not ready, backing off for: "), 3u);
    EXPECT_EQ(Occurrences("PollEnrollZelkoStatus.OnEnter\n"), 4u);
}

// A consent service that never answers: the agent waits in the consent download of its connected
// road, and a stop ends that request at once.
TEST_F(RoadCloudTest, AStopEndsAConsentRequestTheServiceNeverAnswers) {
    WriteConsentConfig({{"first_time_wait_ms", 0}});
    ASSERT_EQ(Admin(HttpMethod::POST, "/faults",
                    {{"endpoint", "consent-query"}, {"delay_ms", 600'000}, {"count", -1}})
                  .first,
              200);
    Start();
    const bool asked = WaitForLog("Payload for GetPurposeMetadata");
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid_, SIGTERM);
    // Ten seconds at most, then the test ends the agent itself.
    int status = 0;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto took = std::chrono::steady_clock::now() - start;
    if (!ended) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    Admin(HttpMethod::DEL, "/faults");
    ASSERT_TRUE(asked) << Log();
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_NE(Log().find("Service has stopped."), std::string::npos) << Log();
}

// A damaged agent configuration in the cloud ("data" not an object) does not keep the device from
// connecting: it goes on with the built-in one. A good one put in the cloud meanwhile is applied at
// the next start's fetch, though the fetch policy would wait an hour. The feature-source plug-in,
// run beside the agent as the plug-in executor runs it, answers what the service stored.
TEST_F(RoadCloudTest, DamagedAgentConfigurationThenAGoodOneAcrossARestart) {
    json retries = ShortRetries();
    retries["states"]["tavragent-config_fetch"] = "hourly";
    retries["policies"]["hourly"] = {{"type", "Linear"},
                                     {"end_type", "Infinite"},
                                     {"initial_delay", Span(1, "hr", 0, "milli")},
                                     {"diff_or_base", Span(1, "hr", 0, "milli")}};
    WriteText(home_ / "Configuration Files" / "zelko-retries-config.json", retries.dump());
    // No consent in the cloud for this device: its first wait would only slow each stop.
    WriteConsentConfig({{"first_time_wait_ms", 0}});
    const std::string shadow = "/shadows/" + snr_ + "/tavragent-config";
    for (const json& damaged : {json("not a document"), json::array({1, 2})}) {
        SCOPED_TRACE(damaged.dump());
        ASSERT_EQ(Admin(HttpMethod::PUT, shadow, {{"state", {{"desired", {{"data", damaged}}}}}}).first, 200);
        Start();
        ASSERT_TRUE(WaitForLog("Service state changed to ConnectingToIot")) << Log();
        EXPECT_NE(Log().find("Agent configuration tavragent-config is damaged (\"data\" is not an object)"),
                  std::string::npos);
        Stop();
        fs::remove(home_ / "zelko-plenar-agent-service.log");
    }

    const json good = {{"config", {{"conn", "mq"}, {"rcs", {{{"name", "probe-config"}}}}, {"rjs", json::array()}}}};
    ASSERT_EQ(Admin(HttpMethod::PUT, shadow, {{"state", {{"desired", {{"data", good}}}}}}).first, 200);
    Start();
    ASSERT_TRUE(WaitForLog("Creating RemoteConfig: probe-config")) << Log();
    EXPECT_EQ(Log().find("is not an object"), std::string::npos);
    Stop();

    // The plug-in executor beside the agent, running the feature-source plug-in.
    fs::copy_file(ZELKO_PLUGIN_EXECUTOR, home_ / "zelko-plugin-executor");
    const std::string command = "echo '{\"name\": \"tavragent-config\"}' | '" +
                                (home_ / "zelko-plugin-executor").string() + "' '" + ZELKO_FEATURE_SOURCE_PLUGIN + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> query(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_NE(query, nullptr);
    std::string answer;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, query.get())) > 0;) answer.append(buffer, got);
    const json parsed = json::parse(answer, nullptr, false);
    ASSERT_TRUE(parsed.is_object()) << answer;
    EXPECT_EQ(parsed["data"]["data"], good) << answer;
}

}  // namespace
}  // namespace zelko::plenar::agent::test
