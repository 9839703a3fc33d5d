// The remote configurations in virtual time: the fetch and subscribe procedures row by row, the
// agent configuration document, and the grant and policy events.

#include "config/grants.h"
#include "service/tests/connected_fixture.h"

namespace zelko::plenar::agent::connected_test {
namespace {

using logging::info;
using logging::warning;

std::string Shadow(int version, const json& data) {
    return json{{"version", version}, {"state", {{"desired", {{"data", data}}}}}}.dump();
}

std::string IotFailure(int http_code) {
    return json{{"error", "failed"}, {"http_code", http_code}, {"iot_code", 0}}.dump();
}

class RemoteConfigsTest : public ConnectedTest {
  protected:
    std::shared_ptr<RemoteConfigStates> Follow(const std::string& shadow, bool topic) {
        const std::string listen = topic ? "$aws/things/SNR0001/shadow/name/" + shadow + "/update/accepted" : "";
        auto remote = config::RemoteConfig::Create(service->RemoteConfigurations().MapPrimaryJobName(service->RemoteConfigurations().MapJobName(shadow)), shadow,
                                                   connectivity, listen, false, nullptr,
                                                   nlohmann::ordered_json::object(), scratch(), "RemoteConfigs");
        service->_modules.config_service->RegisterConfig(service->RemoteConfigurations().MapJobName(shadow), remote);
        auto states = std::make_shared<RemoteConfigStates>();
        states->Init(&service->RemoteConfigurations(), remote, nullptr);
        service->RemoteConfigurations().Follow(shadow, states);
        return states;
    }
    // New tasks for the agent configuration, whose fetches go to the service's own handler; on the worker.
    std::shared_ptr<RemoteConfigStates> NewAgentConfigStates() {
        auto states = std::make_shared<RemoteConfigStates>();
        service->RemoteConfigurations().SetAgentConfigStates(states);
        states->Init(&service->RemoteConfigurations(), service->_modules.tavragent_config,
                     [this](std::weak_ptr<RemoteConfigStates> s, Error e) {
                         service->RemoteConfigurations().ApplyAgentConfig(s, e);
                     });
        return states;
    }
};

TEST_F(RemoteConfigsTest, FetchOutcomesRowByRow) {
    const struct {
        const char* what;
        Error error;
        const char* line;
        int seconds;        // the next fetch follows after this many seconds; 0: none
        const char* after;  // the state after the delay, from Processing
    } rows[] = {
        {"success", {}, "Fetch will rerun in 0h0m23s0ms", kAttest, "Processing"},
        {"shadow not found", Err("IotDeviceErrors", 14, IotFailure(404)),
         "Fetch shadow not found, will refetch in 0h0m23s0ms", kAttest, "Processing"},
        {"404 spelled otherwise", Err("IotDeviceErrors", 14, R"({"http_code": 404})"),
         "Fetch shadow error, will refetch in 0h0m23s0ms  error: ", kAttest, "Processing"},
        {"rate-limited", Err("HttpStatusCode", 429),
         "Fetch Remote Config other-config rate-limited, backing off for: 0h0m23s0ms  error : ", kAttest, "Processing"},
        {"iot http", Err("IotHttpError", 404), "Fetch Remote Config other-config rate-limited", kAttest, "Processing"},
        {"aws connection", Err("aws_iot_error_codes", 3, "AWS_IO_DNS_QUERY_FAILED"),
         "Fetch Remote Config AwsInternetConnectionError reconnect to iot in: 0h0m7s0ms  error: ", 0, nullptr},
        {"tls", Err("IotDeviceErrors", 14, "TLS alert"),
         "GettingIotCreds other-config failed on certificate, Discovery in: 0h0m11s0ms  error: ", 0, nullptr},
        {"other", Err("IotDeviceErrors", 14, IotFailure(500)), "Fetch shadow error, will refetch in 0h0m23s0ms", kAttest,
         "Processing"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        MakeService();
        zelko::testing::LogCapture log;
        connectivity->SetShadow(Shadow(1, {{"a", 1}}));
        connectivity->SetShadowError(row.error);
        const int calls = connectivity->GetShadowCalls();
        auto states = Follow("other-config", false);
        Place("Processing");
        OnWorker([states] { states->fetch_task.Perform(); });
        EXPECT_TRUE(log.Contains(info, row.line));
        EXPECT_TRUE(log.Contains(info, "Fetching Remote Config other-config"));
        if (row.seconds > 0) {
            Advance(row.seconds * kSecond - 1);
            EXPECT_EQ(connectivity->GetShadowCalls(), calls + 1);
            Advance(1);
            EXPECT_EQ(connectivity->GetShadowCalls(), calls + 2);
            EXPECT_EQ(State(), row.after);
        }
    }

    // The AWS connection row asks for new credentials, from Processing only.
    MakeService();
    connectivity->SetShadowError(Err("aws_iot_error_codes", 3, "AWS_IO_SOCKET_TIMEOUT"));
    auto states = Follow("other-config", false);
    Place("Processing");
    service->credential_results = {Err("IotDeviceErrors", 3, "stay")};
    OnWorker([states] { states->fetch_task.Perform(); });
    Advance(kIot * kSecond);
    EXPECT_EQ(State(), "GettingIotCreds");

    // A TLS error resets the enrollment and goes to Discovery with credentials, and ends the chain
    // without them.
    for (const bool ready : {true, false}) {
        MakeService();
        service->credentials_ready = ready;
        connectivity->SetShadowError(Err("IotDeviceErrors", 14, "TLS alert"));
        auto tls = Follow("other-config", false);
        Place("Processing");
        const int calls = connectivity->GetShadowCalls();
        OnWorker([tls] { tls->fetch_task.Perform(); });
        EXPECT_EQ(service->enrollment_resets, ready ? 1 : 0);
        EXPECT_EQ(service->Enrollment().ReenrollRequired(), ready);
        Advance(kHour * 25);
        EXPECT_EQ(State(), ready ? "Discovery" : "Processing");
        EXPECT_EQ(connectivity->GetShadowCalls(), calls + 1);
    }

    // Without the network the fetch waits for it.
    MakeService();
    connectivity->SetShadowError(Err("CURLcode", 6));
    auto offline = Follow("other-config", false);
    OnWorker([offline] { offline->fetch_task.Perform(); });
    EXPECT_EQ(service->_network_wait_queue.size(), 1u);
}

TEST_F(RemoteConfigsTest, FetchedConfigurationWithATopicIsSubscribedInTheRunningStatesOnly) {
    connectivity->SetShadow(Shadow(1, {{"grants", json::array()}}));
    auto states = Follow("job-corvane-grants", true);
    Place("ConnectingToIot");
    OnWorker([states] { states->fetch_task.Perform(); });
    EXPECT_EQ(connectivity->SubCalls(), 0);
    Place("RequiredOnStarting");
    OnWorker([states] { states->fetch_task.Perform(); });
    EXPECT_EQ(connectivity->SubCalls(), 1);
    EXPECT_TRUE(service->RemoteConfigurations().GrantsSubscribed());
    Advance(kHour * 25);  // not fetched again by its own task
    EXPECT_EQ(connectivity->GetShadowCalls(), 2);
}

TEST_F(RemoteConfigsTest, SubscribeOutcomesRowByRow) {
    auto fail = [](const std::string& text) {
        shared::iot::IoTResult result;
        result.iotCode = 5;
        result.error = Error(ErrorCategory::EC_Component, 5, text, "aws_iot_error_codes");
        return result;
    };
    // The AWS connection row: new credentials after the delay of GettingIotCreds.
    connectivity->SetSubResult(fail("AWS_IO_SOCKET_NOT_CONNECTED"));
    auto grants = Follow("job-corvane-grants", true);
    Place("Processing");
    service->credential_results = {Err("IotDeviceErrors", 3, "stay")};
    OnWorker([grants] { grants->sub_task.Perform(); });
    EXPECT_TRUE(log.Contains(info, "Sub job-corvane-grants failed with AwsInternetConnectionError reconnect to iot in: 0h0m7s0ms"));
    EXPECT_FALSE(service->RemoteConfigurations().GrantsSubscribed());
    Advance(kIot * kSecond);
    EXPECT_EQ(State(), "GettingIotCreds");

    // Another error: the policy starts over and the subscription is tried again a day later.
    MakeService();
    connectivity->SetSubResult(fail("refused"));
    grants = Follow("job-corvane-grants", true);
    OnWorker([grants] { grants->sub_task.Perform(); });
    EXPECT_TRUE(log.Contains(info, "Sub shadow error, will resub in 24h0m0s0ms  error: "));
    Advance(24 * kHour - 1);
    EXPECT_EQ(connectivity->SubCalls(), 1);
    Advance(1);
    EXPECT_EQ(connectivity->SubCalls(), 2);

    // TLS: Discovery once the delay of Discovery has passed, when the states still exist.
    MakeService();
    connectivity->SetSubResult(fail("TLS negotiation failed"));
    grants = Follow("job-corvane-grants", true);
    Place("Processing");
    OnWorker([grants] { grants->sub_task.Perform(); });
    EXPECT_EQ(service->enrollment_resets, 1);
    EXPECT_TRUE(service->Enrollment().ForceDiscoveryQuery());
    grants.reset();
    service->RemoteConfigurations().Unfollow("job-corvane-grants");
    Advance(kDiscovery * kSecond);
    EXPECT_EQ(State(), "Processing");

    // Success of both grants and policies starts the AI-experience enrollment once.
    MakeService();
    int enrollments = 0;
    service->Feedback().CorvaneEnrollment().Perform = [&enrollments] { ++enrollments; };
    connectivity->SetSubResult({});
    grants = Follow("job-corvane-grants", true);
    auto policies = Follow("job-corvane-policies", true);
    OnWorker([grants] { grants->sub_task.Perform(); });
    EXPECT_EQ(enrollments, 0);
    OnWorker([policies] { policies->sub_task.Perform(); });
    OnWorker([policies] { policies->sub_task.Perform(); });
    EXPECT_EQ(enrollments, 1);
    EXPECT_TRUE(service->RemoteConfigurations().GrantsSubscribed() && service->RemoteConfigurations().PoliciesSubscribed());
    EXPECT_TRUE(log.Contains(info, "Successfully subscribed to remote config job-corvane-policies changes."));

    // Another subscription type is not implemented: it counts as subscribed.
    WriteMainConfig({{"sub_type", "fetch"}});
    MakeService();
    grants = Follow("job-corvane-grants", true);
    OnWorker([grants] { grants->sub_task.Perform(); });
    EXPECT_EQ(connectivity->SubCalls(), 0);
    EXPECT_TRUE(service->RemoteConfigurations().GrantsSubscribed());
    EXPECT_TRUE(log.Contains(logging::verbose, "Subscribing to Remote Config job-corvane-grants is not implemented"));
}

// ---- the agent configuration document ----

TEST_F(RemoteConfigsTest, AgentConfigurationBuildsTheRemoteConfigurationsAndSkipsBadJobs) {
    const json config = {
        {"conn", "mq"},
        {"rcs",
         {{{"name", "job-corvane-grants"}, {"ival", "10"}, {"subscribe", true}, {"notify", true}, {"ts", "1"}},
          {{"name", "plain"}},
          {{"name", "plain"}, {"subscribe", true}}}},
        {"rjs", {{{"name", "job-a"}}, {{"ival", "1"}}, 5, {{"name", 7}}, {{"name", "job-b"}}}}};
    connectivity->SetShadow(Shadow(3, {{"config", config}, {"grants", {config::kCorvaneGrant}}}));
    Place("Processing");
    OnWorker([this] {
        NewAgentConfigStates();
        service->RemoteConfigurations().AgentConfigStates()->fetch_task.Perform();
    });

    ASSERT_EQ(service->RemoteConfigurations().Following().size(), 2u);
    const auto& grants = service->RemoteConfigurations().Following().at("job-corvane-grants");
    EXPECT_EQ(grants->fetch_task.name, "job-corvane-grants_fetch");
    EXPECT_EQ(grants->sub_task.name, "job-corvane-grants_sub");
    EXPECT_EQ(grants->config->ListenTopic(), "$aws/things/SNR0001/shadow/name/job-corvane-grants/update/accepted");
    EXPECT_EQ(service->_modules.config_service->GetConfig("corvane-grants"), grants->config);
    EXPECT_TRUE(std::filesystem::exists(scratch() / "RemoteConfigs" / "primary-corvane-grants-config.json"));
    EXPECT_TRUE(log.Contains(info, "Creating RemoteConfig: corvane-grants with file name: primary-corvane-grants"
                                   "and notify: on"));
    // The repeated name keeps the later entry; both were registered, the later last.
    const auto& plain = service->RemoteConfigurations().Following().at("plain");
    EXPECT_FALSE(plain->config->ListenTopic().empty());
    EXPECT_EQ(service->_modules.config_service->GetConfig("plain"), plain->config);
    EXPECT_EQ(log.Count(info, "Creating RemoteConfig: plain with file name: plainand notify: off"), 2);
    // Fetched at once; in Processing the grants are subscribed after their fetch.
    EXPECT_TRUE(connectivity->IsSubscribed(grants->config->ListenTopic(), "job-corvane-grants"));
    EXPECT_TRUE(service->RemoteConfigurations().GrantsSubscribed());
    // Jobs without a text name are passed over; the later one still counts.
    EXPECT_TRUE(log.Contains(info, "Remote job: job-a"));
    EXPECT_TRUE(log.Contains(info, "Remote job: job-b"));
    EXPECT_EQ(log.Count(warning, "Remote job entry without a name skipped: "), 3);
    EXPECT_FALSE(log.Contains(info, "Fetched json is invalid"));
    // "conn" unchanged outside GettingIotCreds: no reconnection.
    EXPECT_EQ(service->connects, 0);

    // "conn" becoming persistent in Processing reconnects.
    json persistent = config;
    persistent["conn"] = "pers_mq";
    connectivity->SetShadow(Shadow(4, {{"config", persistent}}));
    OnWorker([this] { service->RemoteConfigurations().AgentConfigStates()->fetch_task.Perform(); });
    EXPECT_TRUE(connectivity->keepConnection);
    EXPECT_EQ(service->connects, 1);
}

// A damaged entry is passed over with a warning; a damaged document is the built-in one. Either
// way the connection step follows from GettingIotCreds.
TEST_F(RemoteConfigsTest, DamagedAgentDocumentsSkipTheBadEntryAndStillConnect) {
    const struct {
        const char* what;
        json data;
        size_t kept;          // remote configurations made
        const char* warning;  // logged once for the document
    } rows[] = {
        {"rcs entry not an object", {{"config", {{"rcs", {{{"name", "a"}}, 5}}, {"rjs", json::array()}}}}, 1,
         "Remote configuration entry without a usable \"name\" skipped: 5"},
        {"name missing", {{"config", {{"rcs", {{{"name", "a"}}, {{"subscribe", true}}}}, {"rjs", json::array()}}}}, 1,
         "Remote configuration entry without a usable \"name\" skipped"},
        {"name a path", {{"config", {{"rcs", {{{"name", "../a"}}, {{"name", "b"}}}}}}}, 1,
         "Remote configuration entry without a usable \"name\" skipped"},
        {"subscribe not a boolean", {{"config", {{"rcs", {{{"name", "a"}}, {{"name", "b"}, {"subscribe", "yes"}}}}}}}, 2,
         "Setting \"subscribe\" of tavragent-config rcs b"},
        {"rcs not an array", {{"config", {{"rcs", {{"name", "a"}}}, {"rjs", json::array()}}}}, 0,
         "Setting \"rcs\" of tavragent-config"},
        {"conn not a text", {{"config", {{"conn", 1}}}}, 0, "Setting \"conn\" of tavragent-config"},
        {"rjs not an array", {{"config", {{"rjs", {{"name", "x"}}}}}}, 0, "Setting \"rjs\" of tavragent-config"},
        {"config not an object", {{"config", json::array()}}, 0, "Agent configuration tavragent-config is damaged"},
        {"data without config", {{"grants", json::array()}}, 0, "Agent configuration tavragent-config is damaged"},
        {"data a text", "config", 0, "Agent configuration tavragent-config is damaged"},
    };
    int version = 5;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        MakeService();
        zelko::testing::LogCapture log;
        connectivity->SetShadow(Shadow(++version, row.data));
        Place("GettingIotCreds");
        OnWorker([this] {
            auto states = NewAgentConfigStates();
            states->fetch_task.Perform();
        });
        EXPECT_FALSE(log.Contains(info, "Fetched json is invalid "));
        EXPECT_EQ(log.Count(warning, row.warning), 1);
        EXPECT_EQ(service->RemoteConfigurations().Following().size(), row.kept);
        EXPECT_EQ(service->connects, 1);
        EXPECT_EQ(State(), "RequiredOnStarting");
    }
}

TEST_F(RemoteConfigsTest, FailedAgentFetchAppliesTheStoredOrBuiltInDocument) {
    auto fetch_agent = [this] {
        OnWorker([this] {
            if (!service->RemoteConfigurations().AgentConfigStates()) NewAgentConfigStates();
            service->RemoteConfigurations().AgentConfigStates()->fetch_task.Perform();
        });
    };
    // Nothing received yet: the built-in document, and from GettingIotCreds the connection.
    connectivity->SetShadowError(Err("IotDeviceErrors", 14, IotFailure(404)));
    Place("GettingIotCreds");
    fetch_agent();
    EXPECT_TRUE(log.Contains(info, "Remote job: job-1e-install"));
    EXPECT_TRUE(service->RemoteConfigurations().Following().empty());
    EXPECT_EQ(service->connects, 1);
    EXPECT_EQ(State(), "RequiredOnStarting");

    // Once a document was stored, a failed fetch applies it again and rebuilds its configurations.
    connectivity->SetShadowError({});
    connectivity->SetShadow(Shadow(2, {{"config", {{"rcs", {{{"name", "plain"}}}}, {"rjs", {{{"name", "job-x"}}}}}}}));
    fetch_agent();
    auto first = std::weak_ptr(service->RemoteConfigurations().Following().at("plain"));
    connectivity->SetShadowError(Err("IotDeviceErrors", 14, IotFailure(503)));
    fetch_agent();
    EXPECT_EQ(log.Count(info, "Remote job: job-x"), 2);
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(service->RemoteConfigurations().Following().size(), 1u);
}

// An agent configuration whose "data" is not an object is damaged: the built-in document serves, so
// the device still connects, and the next good document is applied.
TEST_F(RemoteConfigsTest, AgentConfigurationWithDataNotAnObjectFallsBackToTheBuiltInOne) {
    int version = 1;
    for (const json& data : {json("text"), json::array({1, 2}), json(7)}) {
        SCOPED_TRACE(data.dump());
        MakeService();
        zelko::testing::LogCapture log;
        connectivity->SetShadow(Shadow(++version, data));
        Place("GettingIotCreds");
        OnWorker([this] {
            auto states = NewAgentConfigStates();
            states->fetch_task.Perform();
        });
        EXPECT_TRUE(log.Contains(warning, "Agent configuration tavragent-config is damaged (\"data\" is not an object)"));
        EXPECT_FALSE(log.Contains(info, "Fetched json is invalid"));
        EXPECT_TRUE(log.Contains(info, "Remote job: job-1e-install"));
        EXPECT_EQ(service->connects, 1);
        EXPECT_EQ(State(), "RequiredOnStarting");

        connectivity->SetShadow(Shadow(++version, {{"config", {{"rcs", {{{"name", "plain"}}}}, {"rjs", json::array()}}}}));
        OnWorker([this] { service->RemoteConfigurations().AgentConfigStates()->fetch_task.Perform(); });
        EXPECT_EQ(service->RemoteConfigurations().Following().count("plain"), 1u);
    }
}

TEST_F(RemoteConfigsTest, NameTables) {
    EXPECT_EQ(service->RemoteConfigurations().MapJobName("job-corvane-grants"), "corvane-grants");
    EXPECT_EQ(service->RemoteConfigurations().MapJobName("job-corvane-policies"), "corvane-policies");
    EXPECT_EQ(service->RemoteConfigurations().MapPrimaryJobName("corvane-policies"), "primary-corvane-policies");
    EXPECT_EQ(service->RemoteConfigurations().MapJobName("corvane-grants"), "corvane-grants");
    EXPECT_EQ(service->RemoteConfigurations().MapPrimaryJobName("job-corvane-grants"), "job-corvane-grants");
}

// ---- grants and policies ----

TEST_F(RemoteConfigsTest, GrantsGiveTheBkcEventsBySwitch) {
    const std::string both = config::kCorvaneGrant, bkc = config::kBkcGrant;
    const struct {
        std::vector<std::string> grants;
        bool enabled;
        std::vector<uint32_t> events;
    } rows[] = {
        {{both, bkc}, false, {411, 510}},
        {{bkc, both}, true, {511, 410}},
        {{bkc}, true, {411, 511}},
        {{bkc}, false, {411, 511}},
        {{}, false, {411, 511}},
    };
    for (const auto& row : rows) {
        MakeService();
        connectivity->SetShadow(
            Shadow(2, {{"config", {{"rjs", json::array()}, {"ffs", {{"enable-acm-bkc", row.enabled}}}}}}));
        OnWorker([this] { service->_modules.tavragent_config->Fetch(); });
        connectivity->SetShadow(Shadow(1, {{"grants", row.grants}}));
        auto grants = Follow("job-corvane-grants", true);
        OnWorker([grants] { grants->config->Fetch(); });
        OnWorker([this, grants] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(grants->config); });
        EXPECT_EQ(service->Controls(), row.events) << json(row.grants) << row.enabled;
    }
    EXPECT_TRUE(log.Contains(info, "Check Grants for ACM"));
}

TEST_F(RemoteConfigsTest, PoliciesGoToBothModulesAsText) {
    for (const auto& [data, text] : std::vector<std::pair<json, std::string>>{
             {{{"preferenceInfo", {{"a", 1}}}}, R"({"a":1})"}, {json::object(), "null"}}) {
        MakeService();
        connectivity->SetShadow(Shadow(1, data));
        auto policies = Follow("job-corvane-policies", true);
        OnWorker([policies] { policies->config->Fetch(); });
        OnWorker([this, policies] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(policies->config); });
        const std::string sent = text + std::string(1, '\0');
        EXPECT_EQ(service->events, (std::vector<SentEvent>{{420, sent}, {512, sent}}));
    }
}

TEST_F(RemoteConfigsTest, GrantEventWaitsForBothSubscriptionsAcrossARestart) {
    int version = 0;
    auto grants_with = [this, &version](bool corvane) {
        connectivity->SetShadow(Shadow(++version,
                                       {{"grants", corvane ? json{config::kCorvaneGrant} : json::array()}}));
        auto grants = Follow("job-corvane-grants", true);
        OnWorker([grants] { grants->config->Fetch(); });
        return grants;
    };
    auto count_210 = [this] {
        const auto controls = service->Controls();
        return std::count(controls.begin(), controls.end(), 210u);
    };

    auto grants = grants_with(true);
    service->RemoteConfigurations().SetSubscribed(true, false);  // the policies are not subscribed yet
    OnWorker([this] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(nullptr); });
    EXPECT_EQ(count_210(), 0);
    EXPECT_TRUE(service->RemoteConfigurations().GrantEventRequested());
    auto saved = Utils::LoadJsonFile(scratch() / "zelko-plenar-agent-state.json");
    EXPECT_EQ(saved["prev_grant"], true);
    EXPECT_EQ(saved["req_grant_event"], true);

    // After a restart the pending event goes out once both are subscribed.
    MakeService();
    EXPECT_TRUE(service->RemoteConfigurations().GrantEventRequested());
    grants = grants_with(true);
    service->RemoteConfigurations().SetSubscribed(true, true);
    OnWorker([this] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(nullptr); });
    OnWorker([this] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(nullptr); });
    EXPECT_EQ(count_210(), 1);

    // A grant that goes and comes back is announced again.
    grants = grants_with(false);
    OnWorker([this] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(nullptr); });
    EXPECT_FALSE(service->RemoteConfigurations().PrevGrant());
    grants = grants_with(true);
    OnWorker([this] { service->RemoteConfigurations().SendCorvaneEventIfNeeded(nullptr); });
    EXPECT_EQ(count_210(), 2);
    saved = Utils::LoadJsonFile(scratch() / "zelko-plenar-agent-state.json");
    EXPECT_EQ(saved["req_grant_event"], false);
}

TEST_F(RemoteConfigsTest, NotifiedChangeSendsTheEventsFromTheWorker) {
    connectivity->SetShadow(Shadow(1, {{"grants", {config::kBkcGrant}}}));
    auto remote = config::RemoteConfig::Create("primary-corvane-grants", "job-corvane-grants", connectivity,
                                               "$aws/things/SNR0001/shadow/name/job-corvane-grants/update/accepted",
                                               false, service->RemoteConfigurations().OnRemoteConfigChanged("corvane-grants"),
                                               nlohmann::ordered_json::object(), scratch(), "RemoteConfigs");
    ASSERT_FALSE(remote->Subscribe());
    // A pushed document arrives on the IoT library's thread.
    std::thread([&] {
        connectivity->Push("$aws/things/SNR0001/shadow/name/job-corvane-grants/update/accepted",
                           Shadow(2, {{"grants", {config::kBkcGrant}}}));
    }).join();
    Settle();
    EXPECT_EQ(service->Controls(), (std::vector<uint32_t>{411, 511}));
}

}  // namespace
}  // namespace zelko::plenar::agent::connected_test
