// The states of a connected device in virtual time: credentials, connection, the consent wait,
// the required collectors' first run, steady processing and the closing work of Stopping.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "consent/consent.h"
#include "consent/consent_bridge.h"
#include "consent/consent_manager.h"
#include "platform/event_log.h"
#include "platform/paths.h"
#include "platform/process_modules.h"
#include "service/tests/connected_fixture.h"
#include "telemetry/windows_event_subscription.h"
#include "testing/scripted_http_client.h"

namespace zelko::plenar::agent::connected_test {
namespace {

using logging::debug;
using logging::error;
using logging::info;
using logging::warning;

constexpr char kAgentDocument[] =
    R"({"version": 2, "state": {"desired": {"data": {"config": {"conn": "pers_mq", "rjs": []}}}}})";

// ---- GettingIotCreds ----

TEST_F(ConnectedTest, CredentialsFetchTheAgentConfigurationAnnounceThemAndConnect) {
    connectivity->SetShadow(kAgentDocument);
    ConnectedRoadPeer(service->Connected()).reset_iot_device() = true;
    Enter(service->GettingIotCreds);

    EXPECT_EQ(service->credential_resets, std::vector<bool>{true});
    EXPECT_FALSE(service->Connected().ResetIotDevice());
    ASSERT_TRUE(service->RemoteConfigurations().AgentConfigStates());
    EXPECT_EQ(service->RemoteConfigurations().AgentConfigStates()->fetch_task.name, "tavragent-config_fetch");
    EXPECT_EQ(connectivity->GetShadowCalls(), 1);
    EXPECT_TRUE(log.Contains(info, "GettingIotCreds.OnEnter fetch called."));
    // The document was applied: persistent connection, then the connection and the required
    // collectors; 430 goes out right after the fetch.
    EXPECT_TRUE(connectivity->keepConnection);
    EXPECT_EQ(service->connects, 1);
    EXPECT_EQ(State(), "RequiredOnStarting");
    EXPECT_EQ(service->Controls(), (std::vector<uint32_t>{430, 220}));
    EXPECT_TRUE(log.Contains(info, "Fetch will rerun in 0h0m17s0ms"));

    // Each success replaces the tasks: the old chain ends.
    auto first = std::weak_ptr(service->RemoteConfigurations().AgentConfigStates());
    Place("GettingIotCreds");
    OnWorker([this] { service->GettingIotCreds.OnEnter(); });
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(connectivity->GetShadowCalls(), 2);
}

TEST_F(ConnectedTest, CredentialsWaitFiveMinutesOfflineWithoutTheNetworkQueue) {
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityDisconnected);
    connectivity->SetShadow(kAgentDocument);
    Enter(service->GettingIotCreds);
    EXPECT_TRUE(service->credential_resets.empty());
    EXPECT_TRUE(service->_network_wait_queue.empty());
    EXPECT_EQ(log.Count(info, "GettingIotCreds waiting for network. Will rerun in 0h5m0s0ms"), 1);
    Advance(5 * kMinute - 1);
    EXPECT_EQ(log.Count(info, "GettingIotCreds waiting for network."), 1);
    Advance(1);
    EXPECT_EQ(log.Count(info, "GettingIotCreds waiting for network."), 2);
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
    Advance(5 * kMinute);
    EXPECT_EQ(service->credential_resets.size(), 1u);
}

TEST_F(ConnectedTest, CredentialFailuresBackOffByTheirRows) {
    const struct {
        const char* what;
        Error error;
        const char* line;
        int seconds;        // 0: no timed retry
        const char* after;  // state after the delay
        bool reset_enrollment;
    } rows[] = {
        {"rate-limited", Err("HttpStatusCode", 429), "GettingIotCreds rate-limited, backing off for: 0h0m7s0ms  error: ",
         kIot, "GettingIotCreds", false},
        {"slow", Err("CURLcode", 28), "GettingIotCreds rate-limited, backing off for: 0h0m7s0ms", kIot,
         "GettingIotCreds", false},
        {"proxy", Err("HttpStatusCode", 407, "proxy refused"), "GettingIotCreds Aws Http error, backing off for: 0h0m13s0ms",
         kLocal, "GettingIotCreds", false},
        {"iot http", Err("IotHttpError", 403), "GettingIotCreds Aws Http error, backing off for: 0h0m13s0ms", kLocal,
         "GettingIotCreds", false},
        {"tls", Err("IotDeviceErrors", 2, "TLS handshake failed"),
         "GettingIotCreds failed on certificate, Discovery in: 0h0m11s0ms  error: ", kDiscovery, "Discovery", true},
        {"other", Err("IotDeviceErrors", 3, "no credentials"),
         "GettingIotCreds failed, no creds found, backing off for: 0h0m7s0ms  error: ", kIot, "GettingIotCreds", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        MakeService();
        zelko::testing::LogCapture log;
        service->credential_results = {row.error, Err("IotDeviceErrors", 3, "again")};
        Enter(service->GettingIotCreds);
        EXPECT_TRUE(log.Contains(info, row.line));
        EXPECT_EQ(service->enrollment_resets, row.reset_enrollment ? 1 : 0);
        EXPECT_EQ(service->Enrollment().ReenrollRequired(), row.reset_enrollment);
        EXPECT_EQ(service->Enrollment().ForceDiscoveryQuery(), row.reset_enrollment);
        Advance(row.seconds * kSecond - 1);
        EXPECT_EQ(service->credential_resets.size(), 1u);
        Advance(1);
        EXPECT_EQ(State(), row.after);
        EXPECT_EQ(service->credential_resets.size(), row.reset_enrollment ? 1u : 2u);
    }

    // Without the network the work waits for it.
    MakeService();
    service->credential_results = {Err("CURLcode", 6)};
    Enter(service->GettingIotCreds);
    ASSERT_EQ(service->_network_wait_queue.size(), 1u);
    OnWorker([this] { service->OnNetworkConnected(); });
    EXPECT_EQ(service->credential_resets.size(), 2u);
}

// ---- ConnectingToIot ----

TEST_F(ConnectedTest, ConnectionChoosesTheRunningStateAndResubscribesTopicsOnOtherDevices) {
    // A configuration with a topic and one without, as the agent configuration made them.
    auto add = [this](const std::string& name, const std::string& topic) {
        auto remote = config::RemoteConfig::Create(name, name, connectivity, topic, false, nullptr,
                                                   nlohmann::ordered_json::object(), scratch(), "RemoteConfigs");
        auto states = std::make_shared<RemoteConfigStates>();
        states->Init(&service->RemoteConfigurations(), remote, nullptr);
        service->RemoteConfigurations().Follow(name, states);
    };
    add("with-topic", "$aws/things/SNR0001/shadow/name/with-topic/update/accepted");
    add("without-topic", "");

    connectivity->SetConnected(false);
    Enter(service->ConnectingToIot);
    EXPECT_EQ(connectivity->SubCalls(), 0);  // not confirmed: no resubscription, but on it goes
    EXPECT_EQ(State(), "RequiredOnStarting");
    EXPECT_EQ(service->_modules.conn_module->callbackContext, service.get());
    EXPECT_EQ(service->_modules.conn_module->interruptCallback, &Service::NotifyAgentOnConnectionInterruptCallback);

    connectivity->SetConnected(true);
    service->_required_on_start_done = true;
    Place("GettingIotCreds");
    Enter(service->ConnectingToIot);
    EXPECT_EQ(connectivity->SubCalls(), 1);
    EXPECT_TRUE(connectivity->IsSubscribed("$aws/things/SNR0001/shadow/name/with-topic/update/accepted", "with-topic"));
    EXPECT_EQ(State(), "Processing");
}

TEST_F(ConnectedTest, ConnectionOnASubscriptionDeviceWaitsForConsent) {
    connectivity->isSubscriptionDevice = true;
    Enter(service->ConnectingToIot);  // no bridge: no consent yet
    EXPECT_EQ(State(), "UpdatingConsent");
    EXPECT_EQ(connectivity->SubCalls(), 0);

    // A consent persisted before: on to the required collectors, or past them once they ran.
    const auto config_path = scratch() / "consent-bridge-module-config.json";
    Utils::SaveJsonFile(config_path, {{"stacks", {{"dev", {{"host", "https://consent.test/"}}}}}});
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"AllowSupport", "Accepted"}, {kConsentProgressValue, "2026-12-10T18:00:00Z"}}) {
        ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name, value);
    }
    for (const bool done : {false, true}) {
        MakeService();
        connectivity->isSubscriptionDevice = true;
        service->_modules.consent_bridge_module = std::make_shared<ConsentBridgeModule>(
            "dev", config_path, device, std::make_shared<zelko::testing::ScriptedHttpClient>());
        service->_required_on_start_done = done;
        Enter(service->ConnectingToIot);
        EXPECT_EQ(State(), done ? "Processing" : "RequiredOnStarting");
    }
}

// A consent changed on the device once the consent is valid reaches the consent service from the
// running states, at the consent module's own interval, while the agent runs.
TEST_F(ConnectedTest, ConsentChangedOnTheDeviceIsUploadedAtTheModulesInterval) {
    const auto config_path = scratch() / "consent-bridge-module-config.json";
    Utils::SaveJsonFile(config_path,
                        {{"stacks", {{"dev", {{"host", "https://consent.test/"}, {"upload_local_wait_min", 10}}}}}});
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"AllowSupport", "Accepted"},
             {"AllowMarketing", "Accepted"},
             {kConsentProgressValue, "2026-12-10T18:00:00Z"},
             {kUploadedHashValue, "1100"}}) {
        ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name, value);
    }
    // The consent service: support and marketing, marketing as the device last set it.
    std::string marketing = "OptedIn";
    std::vector<std::string> updates;
    auto http = std::make_shared<zelko::testing::ScriptedHttpClient>([&](const shared::http::HttpRequest& request) {
        if (request.GetMethod() == shared::http::HttpMethod::POST) {
            const json purposes = json::array(
                {{{"resourceId", "r1"}, {"purposeId", "prodsupport.device.telemetry.unmanaged.-.ps"}, {"state", "OptedIn"}},
                 {{"resourceId", "r2"}, {"purposeId", "advertising.device.telemetry.unmanaged.-.ps"}, {"state", marketing}}});
            return zelko::testing::ScriptedHttpClient::Answer{200, purposes.dump(), {}};
        }
        updates.push_back(request.GetUrl());
        marketing = request.GetUrl().find("state=OptedOut") != std::string::npos ? "OptedOut" : "OptedIn";
        return zelko::testing::ScriptedHttpClient::Answer{200, R"({"consents": [{"resourceId": "r2"}]})", {}};
    });
    connectivity->isSubscriptionDevice = true;
    const auto consent = std::make_shared<ConsentBridgeModule>("dev", config_path, device, http);
    service->_modules.consent_bridge_module = consent;
    ASSERT_TRUE(consent->IsConsentValid());
    service->_required_on_start_done = true;
    Enter(service->ConnectingToIot);
    ASSERT_EQ(State(), "Processing");

    // The check runs on the module's own thread: each step waits for it.
    auto advance = [&](int64_t ticks) {
        Advance(ticks);
        ASSERT_TRUE(consent->WaitForUploadCheck(std::chrono::seconds(5)));
    };
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, "AllowMarketing",
                                        "Rejected");
    advance(10 * kMinute);
    EXPECT_TRUE(updates.empty());
    advance(1);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_NE(updates[0].find("resourceId=r2&state=OptedOut"), std::string::npos) << updates[0];
    EXPECT_EQ(ConsentManager::ReadRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey,
                                                 kUploadedHashValue),
              "1200");
    // Nothing changed since: the next checks send nothing, and they go on.
    for (int check = 0; check < 3; ++check) advance(10 * kMinute + 1);
    EXPECT_EQ(updates.size(), 1u);
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, "AllowMarketing",
                                        "Accepted");
    advance(10 * kMinute + 1);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_NE(updates[1].find("resourceId=r2&state=OptedIn"), std::string::npos) << updates[1];
    EXPECT_EQ(http->Outstanding(), 0);
}

// The upload check waits on the consent service off the scheduler's worker: a service that does not
// answer holds none of the work scheduled behind the check.
TEST_F(ConnectedTest, AnUploadCheckWaitingOnASilentConsentServiceHoldsNoScheduledWork) {
    const auto config_path = scratch() / "consent-bridge-module-config.json";
    Utils::SaveJsonFile(
        config_path,
        {{"stacks", {{"dev", {{"host", "https://consent.test/"}, {"upload_local_wait_min", 10}}}}}});
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"AllowSupport", "Accepted"},
                                                          {kConsentProgressValue, "2026-12-10T18:00:00Z"},
                                                          {kUploadedHashValue, "1000"}}) {
        ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, name, value);
    }
    // The service takes the query and answers only once released (or after 3 s).
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false, released = false, answered = false;
    auto http = std::make_shared<zelko::testing::ScriptedHttpClient>([&](const shared::http::HttpRequest&) {
        std::unique_lock lock(mutex);
        asked = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(3), [&] { return released; });
        answered = true;
        changed.notify_all();
        return zelko::testing::ScriptedHttpClient::Answer{200, "[]", {}};
    });
    connectivity->isSubscriptionDevice = true;
    service->_modules.consent_bridge_module =
        std::make_shared<ConsentBridgeModule>("dev", config_path, device, http);
    service->_required_on_start_done = true;
    Enter(service->ConnectingToIot);
    ASSERT_EQ(State(), "Processing");
    ConsentManager::WriteRegistrySubKey(platform::RegistryHive::LocalMachine, kConsentKey, "AllowMarketing",
                                        "Rejected");
    bool later_work = false;
    OnWorker([&] { service->PostAfter(10 * kMinute + 2, [&] { later_work = true; }); });

    const auto start = std::chrono::steady_clock::now();
    Advance(10 * kMinute + 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(later_work);
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return asked; }));
    EXPECT_FALSE(answered);
    released = true;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return answered; }));
}

TEST_F(ConnectedTest, ConnectionFailuresBackOffByTheirRows) {
    const struct {
        const char* what;
        Error error;
        const char* line;
        int seconds;
        const char* after;
    } rows[] = {
        {"rate-limited", Err("HttpStatusCode", 503), "ConnectingToIot rate-limited, backing off for: 0h0m7s0ms  error: ",
         kIot, "ConnectingToIot"},
        {"bad request", Err("HttpStatusCode", 400), "ConnectingToIot rate-limited, backing off for: 0h0m7s0ms", kIot,
         "ConnectingToIot"},
        {"aws connection", Err("MqttConnectionErrors", 5, "AWS_IO_SOCKET_TIMEOUT"),
         "ConnectingToIot AWS Http error, backing off for: 0h0m13s0ms", kLocal, "ConnectingToIot"},
        {"proxy", Err("IotDeviceErrors", 9, "proxy - refused"), "ConnectingToIot AWS Http error, backing off for: 0h0m13s0ms",
         kLocal, "ConnectingToIot"},
        {"other", Err("IotDeviceErrors", 1, "refused"), "ConnectingToIot failed, update credentials in: 0h0m7s0ms  error: ",
         kIot, "GettingIotCreds"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        MakeService();
        zelko::testing::LogCapture log;
        service->connect_results = {row.error, Err("IotDeviceErrors", 3, "x")};
        service->credential_results = {Err("IotDeviceErrors", 3, "stay")};
        Enter(service->ConnectingToIot);
        EXPECT_TRUE(log.Contains(info, row.line));
        Advance(row.seconds * kSecond - 1);
        EXPECT_EQ(service->connects, 1);
        Advance(1);
        EXPECT_EQ(State(), row.after);
        if (std::string(row.after) == "GettingIotCreds") {
            EXPECT_EQ(service->credential_resets, std::vector<bool>{true});
        } else {
            EXPECT_EQ(service->connects, 2);
        }
    }

    // A failure whose body runs after the state was left still asks for a new IoT device.
    MakeService();
    service->connect_results = {Err("IotDeviceErrors", 1, "refused")};
    Enter(service->ConnectingToIot);
    Place("Processing");
    Advance(kIot * kSecond);
    EXPECT_EQ(State(), "Processing");
    EXPECT_TRUE(service->Connected().ResetIotDevice());

    // Without the network it waits for it.
    MakeService();
    service->connect_results = {Err("CURLcode", 7)};
    Enter(service->ConnectingToIot);
    EXPECT_EQ(service->_network_wait_queue.size(), 1u);
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityDisconnected);
    MakeService();
    Enter(service->ConnectingToIot);
    EXPECT_EQ(service->connects, 0);
    EXPECT_TRUE(log.Contains(info, "ConnectingToIot will run once the internet connection is back"));
    platform::SetSimulatedNetworkConnectivity(platform::kNlmConnectivityIpv4Internet);
    OnWorker([this] { service->OnNetworkConnected(); });
    EXPECT_EQ(service->connects, 1);
}

TEST_F(ConnectedTest, PerformanceCollectionIsScheduledByTheFirstOnlineConnectionOnly) {
    int runs = 0;
    service->Feedback().CollectPerformance().Perform = [&runs] { ++runs; };
    service->_collect_perf = true;
    Enter(service->ConnectingToIot);
    EXPECT_TRUE(log.Contains(info, "CollectPerformance process will run in 0h0m29s0ms"));
    Place("GettingIotCreds");
    Enter(service->ConnectingToIot);
    Advance(kPerf * kSecond);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(log.Count(info, "CollectPerformance process will run in"), 1);
}

// ---- UpdatingConsent, with the real consent bridge over a scripted consent service ----

TEST_F(ConnectedTest, ConsentIsRetriedAfter30Then45Then60Seconds) {
    const auto config_path = scratch() / "consent-bridge-module-config.json";
    Utils::SaveJsonFile(config_path,
                        {{"stacks", {{"dev", {{"host", "https://consent.test/"}, {"first_time_wait_ms", 0}}}}}});
    int downloads = 0;
    auto http = std::make_shared<zelko::testing::ScriptedHttpClient>(
        [&downloads](const shared::http::HttpRequest&) {
            ++downloads;
            if (downloads < 3) return zelko::testing::ScriptedHttpClient::Answer{200, "[]", {}};
            const json purposes = json::array({{{"resourceId", "r1"},
                                                {"purposeId", "prodsupport.device.telemetry.unmanaged.-.ps"},
                                                {"state", "OptedIn"},
                                                {"tenantId", "t"},
                                                {"dateTime", "2026-12-10T18:00:00Z"}}});
            return zelko::testing::ScriptedHttpClient::Answer{200, purposes.dump(), {}};
        });
    service->_modules.consent_bridge_module = std::make_shared<ConsentBridgeModule>("dev", config_path, device, http);
    ASSERT_FALSE(service->_modules.consent_bridge_module->IsConsentValid());

    Enter(service->UpdatingConsent);
    EXPECT_EQ(downloads, 1);
    EXPECT_TRUE(log.Contains(error, "Invalid Consent"));
    EXPECT_TRUE(log.Contains(debug, "Queuing UpdatingConsent.OnEnter to 30000"));
    Advance(30 * kSecond - 1);
    EXPECT_EQ(downloads, 1);
    Advance(1);
    EXPECT_EQ(downloads, 2);
    EXPECT_TRUE(log.Contains(info, "Retrying Consent..."));
    Advance(45 * kSecond - 1);
    EXPECT_EQ(downloads, 2);
    Advance(1);
    EXPECT_EQ(downloads, 3);
    EXPECT_TRUE(log.Contains(info, "Updating Consent successful"));
    EXPECT_EQ(State(), "RequiredOnStarting");
    EXPECT_EQ(http->Outstanding(), 0);

    // A later return in the same process starts at 60 s, and stays there.
    service->_modules.consent_bridge_module.reset();
    Place("UpdatingConsent");
    OnWorker([this] { service->UpdatingConsent.OnEnter(); });
    EXPECT_TRUE(log.Contains(debug, "Queuing UpdatingConsent.OnEnter to 60000"));
    Advance(60 * kSecond);
    EXPECT_EQ(log.Count(debug, "Queuing UpdatingConsent.OnEnter to 60000"), 2);

    // Once the stop has begun the state does nothing after its entry line.
    service->_stopping = true;
    const int exits = log.Count(info, "UpdatingConsent.OnEnter exiting.");
    const int entries = log.Count(info, "UpdatingConsent.OnEnter") - exits;
    Advance(60 * kSecond);
    EXPECT_EQ(log.Count(info, "UpdatingConsent.OnEnter") - exits, entries + 1);
    EXPECT_EQ(log.Count(info, "UpdatingConsent.OnEnter exiting."), exits);
}

// ---- RequiredOnStarting ----

TEST_F(ConnectedTest, RequiredCollectorsDeleteTheDataUnlessConfiguredFalseAndSend220) {
    const struct {
        const char* what;
        json config;
        bool deleted;
    } rows[] = {
        {"absent", json::object(), true},
        {"true", {{"delete_data_on_start", true}}, true},
        {"false", {{"delete_data_on_start", false}}, false},
        {"not a boolean", {{"delete_data_on_start", "no"}}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WriteMainConfig(row.config);
        MakeService();
        const auto data = service->TelemetryDataFolder();
        std::filesystem::create_directories(data / "sub");
        std::ofstream(data / "sub" / "collected.json") << "{}";
        Enter(service->RequiredOnStarting);
        EXPECT_EQ(std::filesystem::exists(data), !row.deleted);
        EXPECT_EQ(service->Controls(), std::vector<uint32_t>{220});
        EXPECT_EQ(State(), "RequiredOnStarting");
        EXPECT_TRUE(log.Contains(info, "RequiredOnStarting.OnEnter exiting."));
    }
    EXPECT_TRUE(log.Contains(warning, "Setting \"delete_data_on_start\" of zelko-plenar-agent-config.json"));
    std::filesystem::remove_all(service->TelemetryDataFolder());
}

TEST_F(ConnectedTest, LockedDataFolderTriesTwiceStoppingTheExecutorBetween) {
    service->removal_fails = true;
    Enter(service->RequiredOnStarting);
    EXPECT_EQ(service->removals, 2);
    EXPECT_EQ(service->kills, 2);
    EXPECT_EQ(log.Count(error, "Failed to delete Telemetry data"), 2);
    EXPECT_EQ(log.Count(error, "Failed to kill the process zelko-plugin-executor.exe"), 2);
    EXPECT_EQ(service->Controls(), std::vector<uint32_t>{220});

    // An executor that could be stopped: the second attempt follows at once.
    MakeService();
    service->removal_fails = true;
    service->kill_succeeds = true;
    zelko::testing::LogCapture second;
    Enter(service->RequiredOnStarting);
    EXPECT_EQ(second.Count(error, "Failed to kill the process"), 0);
    EXPECT_EQ(second.Count(error, "Failed to delete Telemetry data"), 2);
    EXPECT_EQ(service->Controls(), std::vector<uint32_t>{220});
}

// Only the processes this test starts are offered, so no other executor on the machine is touched.
TEST_F(ConnectedTest, ExecutorIsStoppedByItsProgramNameWithoutRegardToCase) {
    const auto start = [this](const std::string& name) {
        const auto program = scratch() / name;
        std::filesystem::copy_file("/bin/sleep", program);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(program.c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return static_cast<int>(pid);
    };
    const int decoy = start("zelko-plugin-executor-old");
    const int other = start("sleeper");
    const int executor = start("Zelko-Plugin-Executor.EXE");
    // The programs are running once /proc shows their images.
    for (int pid : {decoy, other, executor}) {
        for (int i = 0; i < 500 && !platform::ProcessImagePath(pid).value_or("").starts_with(scratch().string()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_FALSE(KillExecutorAmong({decoy, other}));
    EXPECT_TRUE(KillExecutorAmong({decoy, other, executor}));
    int status = 0;
    ASSERT_EQ(::waitpid(executor, &status, 0), executor);
    EXPECT_TRUE(WIFSIGNALED(status));
    for (int pid : {decoy, other}) {
        EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0);  // still running
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

TEST_F(ConnectedTest, RequiredCollectorsStartRemoteJobsOnCorvaneDevicesAndMoveOnOnceDone) {
    int jobs = 0;
    service->RemoteJobsProcessing.Perform = [&jobs] { ++jobs; };
    Enter(service->RequiredOnStarting);
    EXPECT_EQ(jobs, 0);
    EXPECT_FALSE(service->Jobs().started());

    MakeService();
    service->RemoteJobsProcessing.Perform = [&jobs] { ++jobs; };
    connectivity->isCorvaneDevice = true;
    Enter(service->RequiredOnStarting);
    EXPECT_EQ(jobs, 1);
    EXPECT_TRUE(service->Jobs().started());
    connectivity->isCorvaneDevice = false;

    MakeService();
    service->_required_on_start_done = true;
    Enter(service->RequiredOnStarting);
    EXPECT_TRUE(log.Contains(
        info, "RequiredOnStarting.OnEnter: Required on start already successful, moving to Processing"));
    EXPECT_EQ(State(), "Processing");
    EXPECT_EQ(service->Controls(), std::vector<uint32_t>{215});
}

// ---- Processing ----

TEST_F(ConnectedTest, ProcessingResendsEachTimeAndStartsItsTasksOnce) {
    int jobs = 0, measures = 0;
    service->RemoteJobsProcessing.Perform = [&jobs] { ++jobs; };
    service->Feedback().PerformanceMeasure().Perform = [&measures] { ++measures; };
    Enter(service->Processing);
    EXPECT_EQ(jobs, 1);
    EXPECT_TRUE(log.Contains(info, "Processing is triggering TelemetryEventType::ResendCollectedData"));
    EXPECT_TRUE(log.Contains(info, "PerformanceMeasure enqued and will run in 0h0m31s0ms"));
    Place("ConnectingToIot");
    Enter(service->Processing);
    EXPECT_EQ(service->Controls(), (std::vector<uint32_t>{215, 215}));
    Advance(kMonth * kSecond);
    EXPECT_EQ(jobs, 1);
    EXPECT_EQ(measures, 1);
    EXPECT_EQ(log.Count(info, "PerformanceMeasure enqued"), 1);
}

// ---- Stopping ----

TEST_F(ConnectedTest, StoppingRacingAnOpeningLeavesNoSubscriptionOpen) {
    for (int round = 0; round < 20; ++round) {
        MakeService();
        service->EventLog().plain().push_back(std::make_shared<WindowsEventSubscription>(
            u"System", 506, 0, &service->EventLog(), &EventLogSubscriptions::LogCallback));
        Place("Processing");
        std::thread opener([this] {
            for (int i = 0; i < 50; ++i) service->EventLog().Open();
        });
        service->SetState(service->Stopping);
        opener.join();
        EXPECT_EQ(platform::OpenEventLogSubscriptions(), 0u);
        EXPECT_EQ(service->WaitForObject(service->_svc_stop_event_handle.get(), 0), platform::kWaitObject0);
    }
    EXPECT_TRUE(log.Contains(info, "Stopping.OnEnter exiting."));
}

}  // namespace
}  // namespace zelko::plenar::agent::connected_test
