#include <fstream>

#include "collector_test_support.h"
#include "platform/clock.h"

namespace zelko::plenar::agent::test {
namespace {

using shared::iot::IoTResult;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Strings = std::vector<std::string>;

constexpr const char* kNoRemoteConsentType =
    "enum zelko::shared::valve::ValveFilterError::ValveFilterErrorType";

FakeConnectivity::PublishHook Refused(int http, int iot = 0) {
    return [=](const std::string&, const std::string&) {
        IoTResult result;
        result.httpCode = http;
        result.iotCode = iot;
        return result;
    };
}

FakeConnectivity::FilterHook FilterFails(const std::string& type) {
    return [=](const std::string&, const std::string&, std::string&) {
        return Error(ErrorCategory::EC_Component, 77, "valve says no", type);
    };
}

// 2024-03-05 13:07:09.042 UTC.
constexpr int64_t kSaveTime = 17'096'440'290'420'000LL;

class CollectorRunTest : public CollectorTest {
  protected:
    void Fresh() {
        conn_ = std::make_shared<FakeConnectivity>();
        conn_->SetConsent(true);
        conn_->SetDeviceUniqueId(kDeviceId);
        std::error_code ec;
        fs::remove_all(ResendFolder(), ec);
    }
};

TEST_F(CollectorRunTest, RunTable) {
    const json one = {{"upload", {Element({{"k", 1}})}}};
    const json two = {{"upload", {Element(1), Element(2)}}};
    auto first_refused = [](FakeConnectivity& c) {
        auto calls = std::make_shared<int>(0);
        c.SetPubByHttp([calls](const std::string& t, const std::string& m) {
            return ++*calls == 1 ? Refused(500)(t, m) : IoTResult{};
        });
    };
    struct Row {
        const char* what;
        json output;  // the plug-in's answer; a text is answered as it stands
        std::function<void(FakeConnectivity&)> setup;
        uint32_t control;
        bool by_http;
        int64_t code;  // 0: no error
        Strings sent;
        Strings records;
        std::string message = "";
        int publishes = -1;  // publish calls, when it matters
    } rows[] = {
        {"published by HTTP", one, nullptr, 230, true, 0, {"http"}, {}},
        {"published by IoT", one, nullptr, 230, false, 0, {"pub"}, {}},
        {"upload as an object of elements",
         {{"upload", {{"a", Element(1)}, {"b", Element(2)}}}},
         nullptr,
         230,
         true,
         0,
         {"http", "http"},
         {}},
        // An object is taken as a map of elements, so one bare element offers only its members.
        {"upload as one bare element", {{"upload", Element(1)}}, nullptr, 230, true, 9, {}, {}},
        {"upload as a single value", {{"upload", 5}}, nullptr, 230, true, 9, {}, {}},
        {"invalid elements are passed over",
         {{"upload", {{{"gun", kGun}}, Element(1), 3}}},
         nullptr,
         230,
         true,
         0,
         {"http"},
         {}},
        {"no upload",
         {{"other", 1}},
         nullptr,
         230,
         true,
         7,
         {},
         {},
         "no 'upload' defined in plugin's output json."},
        {"no output",
         "",
         nullptr,
         230,
         true,
         8,
         {},
         {},
         "ExecutePlugin msg plugin uploader version 1.0.0 no output"},
        {"empty upload",
         {{"upload", json::array()}},
         nullptr,
         230,
         true,
         9,
         {},
         {},
         "no 'gun' or 'data' defined in plugin's output at all."},
        {"no element with gun and data",
         {{"upload", {{{"gun", kGun}}, {{"data", 1}}, 3}}},
         nullptr,
         230,
         true,
         9,
         {},
         {}},
        {"output not JSON", "nope", nullptr, 230, true, 2, {}, {}, "Collector ProcessInternal Exception: "},
        {"gun not a text",
         {{"upload", {{{"gun", 5}, {"data", 1}}}}},
         nullptr,
         230,
         true,
         2,
         {},
         {},
         "Collector ProcessInternal Exception: "},
        {"plug-in error without a numeric code",
         {{"upload", json::array()}, {"error", {{"category", "EC_Component"}}}},
         nullptr,
         230,
         true,
         2,
         {},
         {}},
        {"HTTP publish refused",
         one,
         [](auto& c) { c.SetPubByHttp(Refused(500)); },
         230,
         true,
         14,
         {},
         {"pub"},
         R"("http_code":500,"iot_code":0})"},
        {"HTTP 200 is sent", one, [](auto& c) { c.SetPubByHttp(Refused(200)); }, 230, true, 0, {"http"}, {}},
        {"first refused, second sent", two, first_refused, 230, true, 14, {"http"}, {"pub"}},
        {"IoT publish refused",
         one,
         [](auto& c) { c.SetPub(Refused(0, 5)); },
         230,
         false,
         14,
         {},
         {"pub"},
         R"("iot_code":5)"},
        {"no connection: kept, no error",
         two,
         [](auto& c) { c.SetConnected(false); },
         230,
         false,
         0,
         {},
         {"pub", "pub"}},
        {"no connection on 220",
         two,
         [](auto& c) { c.SetConnected(false); },
         220,
         false,
         14,
         {},
         {},
         "proxy - (no iot connection during pub in required on start collector)"},
        {"publish refused on 220 ends the run",
         two,
         [](auto& c) { c.SetPubByHttp(Refused(500)); },
         220,
         true,
         14,
         {},
         {},
         R"("http_code":500)",
         1},
        {"filter failure kept for resend",
         two,
         [](auto& c) { c.SetFilter(FilterFails("ValveError")); },
         230,
         true,
         77,
         {},
         {"cdm", "cdm"},
         "valve says no"},
        {"filter failure on 220",
         two,
         [](auto& c) { c.SetFilter(FilterFails("ValveError")); },
         220,
         true,
         12,
         {},
         {},
         "FilterCDMTrees failed for element plugin uploader version 1.0.0"},
        {"no remote consent",
         two,
         [](auto& c) { c.SetFilter(FilterFails(kNoRemoteConsentType)); },
         230,
         true,
         13,
         {},
         {},
         R"({"error":)"},
        {"no remote consent on a Corvane device",
         two,
         [](auto& c) {
             c.isCorvaneDevice = true;
             c.SetFilter(FilterFails(kNoRemoteConsentType));
         },
         230,
         true,
         16,
         {},
         {"cdm"}},
        {"no remote consent on a Corvane device on 220",
         two,
         [](auto& c) {
             c.isCorvaneDevice = true;
             c.SetFilter(FilterFails(kNoRemoteConsentType));
         },
         220,
         true,
         16,
         {},
         {}},
        {"no consent",
         one,
         [](auto& c) { c.SetConsent(false); },
         230,
         true,
         11,
         {},
         {},
         "No valid consent was provided, no data uploaded for plugin uploader version 1.0.0"},
        {"a Corvane device needs no local consent",
         one,
         [](auto& c) {
             c.SetConsent(false);
             c.isCorvaneDevice = true;
         },
         230,
         true,
         0,
         {"http"},
         {}},
        {"no enrollment on 220",
         one,
         [](auto& c) { c.SetCredentialsReady(false); },
         220,
         true,
         15,
         {},
         {},
         "No valid enrollment, no data uploaded for plugin uploader version 1.0.0"},
        {"no enrollment needed outside 220",
         one,
         [](auto& c) { c.SetCredentialsReady(false); },
         230,
         true,
         0,
         {"http"},
         {}},
        {"mocked enrollment uploads nothing",
         one,
         [](auto& c) {
             c.mocked = true;
             c.SetConsent(false);
         },
         220,
         true,
         10,
         {},
         {},
         "ExecutePlugin Mock mode, no data uploaded for plugin uploader version 1.0.0\nPlugin output: {"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Fresh();
        if (row.setup) row.setup(*conn_);
        auto collector = Make(Entry({{"answer", row.output}}), row.by_http);
        const Error error = collector->Process(MakeEvent(row.control));
        EXPECT_EQ(error.code(), row.code) << error.what();
        if (row.code != 0 && row.code != 77) {
            EXPECT_EQ(error.category(), ErrorCategory::EC_Component);
            EXPECT_EQ(error.type(), "enum zelko::plenar::agent::Collector::CollectorErrorEnum");
        }
        EXPECT_THAT(error.what(), HasSubstr(row.message));
        EXPECT_EQ(Vias(), row.sent);
        EXPECT_EQ(Reasons(), row.records);
        if (row.publishes >= 0) {
            EXPECT_EQ(conn_->PublishCalls(), row.publishes);
        }
    }
}

TEST_F(CollectorRunTest, PublishedEnvelopeAndResendRecordCarryTheElement) {
    platform::ScopedFakeClock clock(kSaveTime);
    conn_->SetDataValveClientInitTime(kSaveTime - 10 * platform::kTicksPerSecond);
    conn_->SetTelemetryTopic("$aws/rules/t/thing-1");
    auto collector = Answering({{"upload", {Element({{"k", 1}}), Element({{"k", 2}})}}});
    auto calls = std::make_shared<int>(0);
    conn_->SetPubByHttp([calls](const std::string& t, const std::string& m) {
        return ++*calls == 2 ? Refused(500)(t, m) : IoTResult{};
    });
    // A grant event (210) on channel 4: the record's event type is the event's control code.
    EXPECT_EQ(collector->Process(MakeEvent(210, 0, 4)).code(), 14);

    const auto sent = conn_->Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].target, "$aws/rules/t/thing-1");
    EXPECT_EQ(sent[0].message, FakeConnectivity::Envelope(kGun, R"({"k":1})"));

    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], json({{"version", "1"},
                                {"reason", "pub"},
                                {"collector", "uploader"},
                                {"ver", "1.0.0"},
                                {"gun", kGun},
                                {"data", {{"k", 2}}},
                                {"last_data_valve", "2024-03-05 13:06:59.0420000"},
                                {"time", "2024-03-05 13:07:09.0420000"},
                                {"event_type", 210}}));
}

TEST_F(CollectorRunTest, PluginInputCarriesTheEventAndTheConfiguration) {
    auto collector = Make(Entry({{"mode", "echo"}, {"gun", kGun}}, "echo"));
    const uint8_t bytes[] = {1, 2, 3};
    TelemetryEvent event = MakeEvent(240, 1001, 1);
    event.SysEvent = Event(240, 1001, bytes, 3, 1, 2);
    ASSERT_FALSE(collector->Process(event));
    ASSERT_EQ(conn_->Sent().size(), 1u);
    const json input = json::parse(conn_->Sent()[0].message)["eventDetail"];
    EXPECT_EQ(input["configuration"], json({{"mode", "echo"}, {"gun", kGun}}));
    EXPECT_EQ(input["event"],
              json::parse(R"({"dwControl":240,"dwEventType":1001,"dwChannel":1,"dwLevel":2,)"
                          R"("lpEventData":{"bytes":[1,2,3],"subtype":null},"dataSize":3,"time":")" +
                          event.SysEvent.time + "\"}"));
    EXPECT_EQ(collector->FoundVersion(), "1.5.0");
}

TEST_F(CollectorRunTest, PluginFailuresEndTheRunBeforeAnyUpload) {
    // A signature file that does not match: the file is not accepted.
    Install(in_memory(), "badsig", "1.0.0");
    std::ofstream(in_memory() / "badsig" / "1.0.0" / "badsig.so.sig") << "forged";
    struct Case {
        const char* name;
        const char* range;
        json configuration;
        bool connectivity;
        int64_t code;
        std::string message;
    } cases[] = {
        {"missing", ">=1.0.0", nullptr, true, 4,
         "GetPluginDescription no plugin found, for msg 230 plugin missing version_range >=1.0.0"},
        {"uploader", "~1", nullptr, true, 4,
         "GetPluginDescription failed for msg 230 plugin uploader version_range ~1 failed: "},
        {"badsig", ">=1.0.0", nullptr, true, 5,
         "GetPluginDescription plugin signeture is not valid, for msg 230 plugin badsig version_range "
         ">=1.0.0"},
        {"uploader", ">=1.0.0", {{"mode", "fail"}}, true, 6, "ExecutePlugin plugin uploader failed: "},
        {"uploader", ">=1.0.0", nullptr, false, 1,
         " _conn_module is not initialized correctly, no data uploaded for plugin uploader version 1.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        json entry = Entry(c.configuration, c.name);
        entry["version"] = c.range;
        auto collector = std::make_unique<Collector>(
            entry, c.connectivity ? std::shared_ptr<ConnectivityModule>(conn_) : nullptr, manager_, nullptr,
            nullptr, crypto_, true);
        const Error error = collector->Process(MakeEvent(230));
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.what().substr(0, c.message.size()), c.message);
    }
    EXPECT_TRUE(conn_->Sent().empty());
    EXPECT_TRUE(RecordNames().empty());
}

TEST_F(CollectorRunTest, PluginStartAndFinishCallbacksSurroundTheExecution) {
    std::vector<std::string> calls;
    auto collector = std::make_unique<Collector>(
        Entry({{"mode", "fail"}}), conn_, manager_, [&] { calls.push_back("start"); },
        [&] { calls.push_back("finish"); }, crypto_, true);
    EXPECT_EQ(collector->Process(MakeEvent(230)).code(), 6);
    EXPECT_THAT(calls, ElementsAre("start", "finish"));
}

TEST_F(CollectorRunTest, LargeEnvelopesGoToS3AboveTheThreshold) {
    platform::ScopedFakeClock clock(kSaveTime);
    const size_t overhead = FakeConnectivity::Envelope(kGun, R"("")").size();
    const size_t at_threshold = 131'071 - overhead;  // envelope length + 1 == 131,072 bytes
    auto large = [&](size_t size) { return Make(Entry({{"mode", "large"}, {"size", size}, {"gun", kGun}})); };

    ASSERT_FALSE(large(at_threshold)->Process(MakeEvent(230)));
    ASSERT_FALSE(large(at_threshold + 1)->Process(MakeEvent(230)));
    const auto sent = conn_->Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].via, "http");
    EXPECT_EQ(sent[0].message.size(), 131'071u);
    EXPECT_EQ(sent[1].via, "s3");
    EXPECT_EQ(sent[1].target,
              "arn:aws:s3:::telemetry/SNR0001_2024-03-05-13-07-09-0420000_devicebkcstatus.json");
    EXPECT_EQ(sent[1].message,
              FakeConnectivity::Envelope(kGun, json(std::string(at_threshold + 1, 'x')).dump()));

    // A gun of fewer than nine parts names the object "no_gun".
    Fresh();
    ASSERT_FALSE(Make(Entry({{"mode", "large"}, {"size", at_threshold + 100}, {"gun", "short.gun"}}))
                     ->Process(MakeEvent(230)));
    EXPECT_THAT(conn_->Sent().at(0).target, HasSubstr("_2024-03-05-13-07-09-0420000_no_gun.json"));
}

TEST_F(CollectorRunTest, FailedOrImpossibleS3UploadsAreKeptForResend) {
    const std::string big(140'000, 'x');
    const json output = {{"upload", {Element(big), Element(1)}}};
    auto s3_refused = [](FakeConnectivity& c) {
        c.SetUploadToS3([](const std::string&, const std::string&, const std::string&) {
            return Error(ErrorCategory::EC_Network, 28, "timed out");
        });
    };
    auto no_credentials = [](FakeConnectivity& c) { c.SetCredentialsReady(false); };
    struct Case {
        const char* what;
        std::function<void(FakeConnectivity&)> setup;
        uint32_t control;
        int64_t code;
        std::string message;
        Strings sent;
        Strings records;
    } cases[] = {
        {"upload refused", s3_refused, 230, 14, R"("error":)", {"http"}, {"pub"}},
        {"upload refused on 220", s3_refused, 220, 14, "timed out", {}, {}},
        {"no credentials",
         no_credentials,
         230,
         15,
         "proxy - (no valid enrolment during upload to s3)",
         {"http"},
         {"pub"}},
        {"no credentials on 220", no_credentials, 220, 15, "No valid enrollment", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        c.setup(*conn_);
        const Error error = Answering(output)->Process(MakeEvent(c.control));
        EXPECT_EQ(error.code(), c.code);
        EXPECT_THAT(error.what(), HasSubstr(c.message));
        EXPECT_EQ(Vias(), c.sent);
        EXPECT_EQ(Reasons(), c.records);
        if (!c.records.empty()) {
            EXPECT_EQ(Records()[0]["data"], big);
        }
    }
}

TEST_F(CollectorRunTest, PluginErrorsAreUploadedTenTimesPerWindow) {
    const int64_t start = kSaveTime;
    platform::ScopedFakeClock clock(start);
    const json error = {{"category", "EC_Component"}, {"code", 3}, {"what", "disk"}, {"origin", "scan"}};
    auto collector = Answering({{"upload", json::array()}, {"error", error}});
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(collector->Process(MakeEvent(230))) << i;
    EXPECT_EQ(collector->Process(MakeEvent(230)).code(), 9);  // the eleventh adds none
    clock.Set(start + 86'400 * platform::kTicksPerSecond);
    EXPECT_EQ(collector->Process(MakeEvent(230)).code(), 9);  // the window is 86,400 seconds, strictly
    clock.Advance(platform::kTicksPerSecond);
    EXPECT_FALSE(collector->Process(MakeEvent(230)));
    ASSERT_EQ(conn_->Sent().size(), 11u);
    const json detail = json::parse(conn_->Sent()[0].message)["eventDetail"];
    EXPECT_EQ(detail["errorOrigin"], "uploader_ver_1.0.0::scan");
    EXPECT_EQ(detail["errorCode"], "3");
    EXPECT_EQ(detail["errorDescription"], "disk");

    // The plug-in's own elements go first; "EC_NoError" reports nothing.
    Fresh();
    auto both = Answering({{"upload", {Element(1)}}, {"error", error}});
    EXPECT_FALSE(both->Process(MakeEvent(230)));
    EXPECT_EQ(conn_->Sent().size(), 2u);
    auto no_error =
        Answering({{"upload", json::array()}, {"error", {{"category", "EC_NoError"}, {"code", 0}}}});
    EXPECT_EQ(no_error->Process(MakeEvent(230)).code(), 9);
}

TEST_F(CollectorRunTest, CustomCollectorRunsThePluginTheEventNames) {
    const fs::path payload = scratch() / "payload.json";
    std::ofstream(payload) << json({{"dwControl", 210},
                                    {"dwEventType", 3},
                                    {"time", "old"},
                                    {"configuration", {{"mode", "echo"}, {"gun", kGun}}}})
                                  .dump();
    struct Case {
        std::string plugin;
        std::string found;
    } cases[] = {
        {" 'echo_ver_<1.5.0' ", "1.0.0"},
        {"echo ", "1.5.0"},  // without "_ver_" the range is >=1.0.0
        {"echo_ver_1.0.0_ver_9", "1.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        Fresh();
        auto custom = Custom();
        TelemetryEvent event = MakeEvent(205);
        event.Plugin = c.plugin;
        event.Payload = payload.string();
        const Error error = custom->Process(event);
        ASSERT_FALSE(error) << error.what();
        ASSERT_EQ(conn_->Sent().size(), 1u);
        const json input = json::parse(conn_->Sent()[0].message)["eventDetail"];
        EXPECT_EQ(input["event"]["time"], event.SysEvent.time);
        EXPECT_EQ(input["event"]["dwControl"], 210);
        EXPECT_EQ(input["configuration"], json({{"mode", "echo"}, {"gun", kGun}}));
        EXPECT_EQ(custom->FoundVersion(), c.found);
    }
    auto custom = Custom();

    const fs::path not_json = scratch() / "not.json", bad_control = scratch() / "bad.json",
                   listed = scratch() / "list.json", bare = scratch() / "bare.json";
    std::ofstream(not_json) << "{\"dwControl\":";
    std::ofstream(bad_control) << R"({"dwControl":"210","dwEventType":3})";
    std::ofstream(listed) << "[210, 3]";
    std::ofstream(bare) << R"({"dwControl":210,"dwEventType":3})";
    // Numbers that are no 32-bit control code: casting them would be undefined.
    const fs::path huge_control = scratch() / "huge.json", negative_control = scratch() / "negative.json",
                   too_wide_control = scratch() / "wide.json";
    std::ofstream(huge_control) << R"({"dwControl":1e300,"dwEventType":3})";
    std::ofstream(negative_control) << R"({"dwControl":-1,"dwEventType":3})";
    std::ofstream(too_wide_control) << R"({"dwControl":4294967296,"dwEventType":3})";
    struct Failure {
        std::string plugin;
        fs::path payload;
        int64_t code;
        std::string message;
    } failures[] = {
        {"echo_ver_2.0.0", payload, 4,
         "GetPluginDescription no plugin found, for msg 210 plugin echo version_range 2.0.0"},
        {"echo", scratch() / "absent.json", 2,
         "Payload file doesn't not exist '" + (scratch() / "absent.json").string() + "'"},
        {"echo", not_json, 2, "Custom Collector failed to parse using defaults 'echo' "},
        {"echo", bad_control, 2, "Custom Collector failed to parse using defaults 'echo' "},
        {"echo", listed, 2, "Custom Collector failed to parse using defaults 'echo' "},
        {"echo", huge_control, 2, "Custom Collector failed to parse using defaults 'echo' "},
        {"echo", negative_control, 2, "Custom Collector failed to parse using defaults 'echo' "},
        {"echo", too_wide_control, 2, "Custom Collector failed to parse using defaults 'echo' "},
        // No configuration: the plug-in gets {} and answers nothing.
        {"uploader", bare, 8, "ExecutePlugin msg plugin uploader version 1.0.0 no output"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.message);
        TelemetryEvent event = MakeEvent(205);
        event.Plugin = f.plugin;
        event.Payload = f.payload.string();
        const Error error = custom->Process(event);
        EXPECT_EQ(error.code(), f.code);
        EXPECT_EQ(error.what().substr(0, f.message.size()), f.message);
    }
}

}  // namespace
}  // namespace zelko::plenar::agent::test
