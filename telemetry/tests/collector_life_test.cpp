#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "collector_test_support.h"
#include "platform/clock.h"

namespace zelko::plenar::agent::test {
namespace {

using shared::plugin::DynamicBufferResult;
using shared::plugin::IPluginManager;
using shared::plugin::PluginDescriptionResult;
using ::testing::HasSubstr;

// The text of what the constructor raised, and whether it was a std::logic_error; empty when it built.
std::pair<std::string, bool> Refusal(const std::function<void()>& build) {
    try {
        build();
    } catch (const std::logic_error& e) {
        return {e.what(), true};
    } catch (const std::exception& e) {
        return {e.what(), false};
    }
    return {"", false};
}

TEST_F(CollectorTest, ConfiguredCollectorTakesEveryFieldOfItsEntry) {
    const json entry = {
        {"name", "uploader"},
        {"version", ">=1.2.0"},
        {"configuration", json::parse(R"({"k":[1,2]})")},
        {"requiredfeaturebytes", {"ss", "te"}},
        {"events",
         {{{"dwControl", 220}},
          {{"dwControl", 230}, {"dwEventType", 20}, {"dwChannel", 1}, {"dwLevel", 3}, {"comment", "x"}}}},
        {"postpone", "Last"},
        {"runs_in_parallel", true}};
    auto collector = Make(entry, false);
    EXPECT_EQ(collector->name, "uploader");
    EXPECT_EQ(collector->version, ">=1.2.0");
    EXPECT_EQ(collector->configuration, entry["configuration"]);
    EXPECT_EQ(collector->requiredFeatureBytes, (std::vector<std::string>{"ss", "te"}));
    ASSERT_EQ(collector->events.size(), 2u);
    EXPECT_EQ(collector->events[0].dwControl, 220u);
    EXPECT_EQ(collector->events[0].dwEventType, kAnyEventType);
    EXPECT_EQ(collector->events[1].dwEventType, 20u);
    EXPECT_EQ(collector->events[1].dwChannel, 1u);
    EXPECT_EQ(collector->events[1].dwLevel, 3u);
    EXPECT_EQ(collector->postpone, Collector::Last);
    EXPECT_TRUE(collector->runsInParallel);
    EXPECT_FALSE(collector->isCustom);
    EXPECT_FALSE(collector->byHttp);
    EXPECT_EQ(collector->FoundVersion(), "");

    auto plain = Make(Entry(nullptr));
    EXPECT_EQ(plain->postpone, Collector::All);
    EXPECT_FALSE(plain->runsInParallel);
    EXPECT_TRUE(plain->requiredFeatureBytes.empty());
    EXPECT_TRUE(plain->configuration.is_null());

    for (const char* mode : {"All", "First"}) {
        json with = Entry(nullptr);
        with["postpone"] = mode;
        EXPECT_EQ(Make(with)->postpone, std::string(mode) == "All" ? Collector::All : Collector::First);
    }
}

TEST_F(CollectorTest, ConfiguredCollectorRefusesABadEntryWithItsExactError) {
    auto with = [&](const char* key, const json& value) {
        json entry = Entry(nullptr);
        if (value.is_discarded()) {
            entry.erase(key);
        } else {
            entry[key] = value;
        }
        return entry;
    };
    const json removed = json::value_t::discarded;
    const std::string events_error = "Wrong Telemetry.cfg format for 'events', collector uploader\n";
    struct Case {
        json entry;
        std::string text;  // the whole text for a logic_error, else a part of the JSON library's
        bool logic_error;
    } cases[] = {
        {"text", "cannot use operator[] with a string argument with string", false},
        {json::array(), "cannot use operator[] with a string argument with array", false},
        {with("name", 5), "type must be string, but is number", false},
        {with("version", nullptr), "type must be string, but is null", false},
        {with("runs_in_parallel", "true"), "type must be boolean, but is string", false},
        {with("postpone", "all"), "Wrong Telemetry.cfg format for 'postpone', collector uploader\n", true},
        {with("postpone", 1), "Wrong Telemetry.cfg format for 'postpone', collector uploader\n", true},
        {with("events", {{{"dwEventType", 1}}}), events_error, true},
        {with("events", {{{"dwControl", "230"}}}), events_error, true},
        {with("events", {7}), events_error, true},
        {with("events", {{{"dwControl", 245}, {"dwEventType", -1}}}), events_error, true},
        {with("events", {{{"dwControl", 245}}}), events_error, true},
        {with("events", removed), "Wrong Telemetry.cfg format, no 'events', collector uploader\n", true},
        {with("configuration", removed),
         "Wrong Telemetry.cfg format, no 'configuration', collector uploader\n", true},
        {with("version", removed), "Wrong Telemetry.cfg format, no 'version', collector uploader\n", true},
        {with("name", removed), "Wrong Telemetry.cfg format, no 'name', collector \n", true},
    };
    for (const auto& c : cases) {
        auto [text, logic] = Refusal([&] { Make(c.entry); });
        SCOPED_TRACE(c.entry.dump());
        EXPECT_EQ(logic, c.logic_error) << text;
        if (c.logic_error) {
            EXPECT_EQ(text, c.text);
        } else {
            EXPECT_THAT(text, HasSubstr(c.text));
        }
    }
    EXPECT_THROW(Collector(Entry(nullptr), conn_, nullptr, nullptr, nullptr, crypto_, true),
                 std::invalid_argument);
}

// The event-log query configuration lives beside the test program, which other test processes of
// this program may use at the same time: the file is held under an exclusive lock while in use.
class QueryConfiguration {
  public:
    explicit QueryConfiguration(const json& document) {
        fs::create_directories(folder());
        lock_ = ::open((folder() / ".win-events-config.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (lock_ >= 0) ::flock(lock_, LOCK_EX);
        Utils::SaveEncryptedJsonFile(folder() / "win-events-config.ejson", document,
                                     crypto::Cryptography("Tq7vR2mXc9LpW4sJd0HbN6yKf3GzA8eUo1iVw5QnZtE="));
    }
    ~QueryConfiguration() {
        fs::remove(folder() / "win-events-config.ejson");
        if (lock_ >= 0) ::close(lock_);
    }
    static fs::path folder() { return Utils::GetExecutableDirectory() / "Configuration Files"; }

  private:
    int lock_ = -1;
};

TEST_F(CollectorTest, EventLogQueryEventsTakeTheirSummaryQuery) {
    QueryConfiguration queries(json::parse(R"({"queries_by_evnet_id": [
        {"on_event": "E0", "on_summary": "S0"}, {"on_event": "E1"}, 5, {"on_summary": 7}, {"on_summary": "S4"}]})"));
    auto with_events = [&](const json& configuration, const json& ids) {
        json entry = Entry(configuration);
        entry["events"] = json::array({{{"dwControl", 230}}});
        for (const auto& id : ids) entry["events"].push_back({{"dwControl", 245}, {"dwEventType", id}});
        return entry;
    };
    const std::string events_error = "Wrong Telemetry.cfg format for 'events', collector uploader\n";
    struct Case {
        json configuration;
        json ids;
        json expected;  // the configuration built, or the error text
    } cases[] = {
        {nullptr, {0}, {{"summary_query", "S0"}}},
        {{{"a", 1}}, {1}, {{"a", 1}, {"summary_query", ""}}},
        {nullptr, {0, 4}, {{"summary_query", "S4"}}},  // the last one stays
        {nullptr, {2}, events_error},                  // not an object
        {nullptr, {3}, events_error},                  // "on_summary" not a text
        {nullptr, {5}, events_error},                  // beyond the array
        {"text", {0}, events_error},                   // a configuration that is no object
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ids.dump());
        auto [text, logic] = Refusal([&] {
            auto collector = Make(with_events(c.configuration, c.ids));
            EXPECT_EQ(collector->configuration, c.expected);
        });
        if (c.expected.is_string()) {
            EXPECT_TRUE(logic);
            EXPECT_EQ(text, c.expected.get<std::string>());
        } else {
            EXPECT_EQ(text, "");
        }
    }
}

TEST(CollectorHelpers, FormatStringAndPluginErrors) {
    EXPECT_EQ(FormatString("%s_ver_%s", "scan", "1.2.0"), "scan_ver_1.2.0");
    EXPECT_EQ(FormatString("%s_ver_%s", "", ""), "_ver_");

    struct Has {
        json output;
        bool error;
    } has[] = {
        {{{"error", {{"category", "EC_Component"}}}}, true},
        {{{"error", {{"category", "EC_NoError"}}}}, false},
        {{{"error", {{"category", 5}}}}, false},
        {{{"error", "EC_Component"}}, false},
        {{{"error", json::object()}}, false},
        {json::array({1}), false},
    };
    for (const auto& c : has) EXPECT_EQ(HasPluginError(c.output), c.error) << c.output.dump();

    const json full = BuildErrorUpload(
        {{"category", "EC_Component"}, {"code", 42}, {"what", {{"k", 1}}}, {"origin", "scan"}}, "p_ver_1");
    EXPECT_EQ(full,
              json::parse(R"({"gun":"com.zelko.cdm.domain.telemetry.type.eventDetail.category.)"
                          R"(pcTavrinAgentErrorEvent.version.1","data":{"version":"1.0.0","errorCode":"42",)"
                          R"("errorCategory":5,"errorType":"int","errorDescription":{"k":1},)"
                          R"("errorOrigin":"p_ver_1::scan"}})"));
    const json bare = BuildErrorUpload({{"category", "EC_Network"}, {"code", -3}}, "p_ver_1");
    EXPECT_EQ(bare["data"]["errorOrigin"], "p_ver_1::");
    EXPECT_EQ(bare["data"]["errorCode"], "-3");
    EXPECT_EQ(bare["data"]["errorCategory"], 4);
    EXPECT_FALSE(bare["data"].contains("errorDescription"));
    EXPECT_FALSE(
        BuildErrorUpload({{"category", "EC_Network"}, {"code", 1}}, "")["data"].contains("errorOrigin"));
    EXPECT_EQ(BuildErrorUpload({{"category", "EC_Network"}, {"code", 1}, {"origin", "o"}},
                               "")["data"]["errorOrigin"],
              "o");
    EXPECT_ANY_THROW(BuildErrorUpload({{"category", "EC_Component"}}, "p"));
    EXPECT_ANY_THROW(BuildErrorUpload({{"category", "EC_Component"}, {"code", "42"}}, "p"));
}

TEST_F(CollectorTest, IsLoadedAsksForTheCollectorsRange) {
    EXPECT_TRUE(Make(Entry(nullptr))->IsLoaded());
    EXPECT_FALSE(Make(Entry(nullptr, "missing"))->IsLoaded());
    json bad_range = Entry(nullptr);
    bad_range["version"] = "~1";
    zelko::testing::LogCapture log;
    EXPECT_FALSE(Make(bad_range)->IsLoaded());
    EXPECT_TRUE(
        log.Contains(logging::error, "GetPluginDescription failed for IsLoaded: plugin uploader version "));
}

TEST_F(CollectorTest, HangingCountsFromTheRunStartToTheTickAndStopEndsTheRun) {
    const int64_t start = 1'700'000'000 * platform::kTicksPerSecond;
    platform::ScopedFakeClock clock(start);
    const fs::path ready = scratch() / "ready";
    ASSERT_EQ(::mkfifo(ready.c_str(), 0600), 0);
    auto collector = Make(Entry({{"mode", "hang"}, {"ready", ready}}, "hanger"));
    {
        // The module asks as soon as a collector is running, before its plug-in version is known.
        zelko::testing::LogCapture early;
        EXPECT_FALSE(collector->IsHangingMoreThan(0));
        EXPECT_FALSE(early.Contains(logging::warning, "Illegal state"));
    }

    auto run = std::async(std::launch::async, [&] { return collector->Process(MakeEvent(230)); });
    {
        std::ifstream signal(ready);  // opens once the plug-in has started
        ASSERT_EQ(signal.get(), 'r');
    }
    EXPECT_EQ(collector->FoundVersion(), "2.0.0");
    clock.Set(start + 5 * 600'000'000LL);
    EXPECT_FALSE(collector->IsHangingMoreThan(5));
    clock.Advance(1);
    EXPECT_TRUE(collector->IsHangingMoreThan(5));

    zelko::testing::LogCapture log;
    collector->Stop(100);
    EXPECT_EQ(run.get().code(), 6);
    EXPECT_TRUE(log.Contains(logging::info, "TerminatePlugin plugin hanger version 2.0.0 succeeded"));
    EXPECT_FALSE(collector->IsHangingMoreThan(5));  // idle again
}

// Runs write the found version on the worker while the module's other thread asks about hangs and
// stops; the thread sanitizer build shows a race here if the version is not guarded.
TEST_F(CollectorTest, FoundVersionIsReadWhileRunsWriteIt) {
    auto collector = Answering({{"upload", {Element(1)}}});
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            collector->IsHangingMoreThan(60);
            collector->Stop(0, true);
        }
    });
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(collector->Process(MakeEvent(230)));
    done = true;
    watcher.join();
    EXPECT_EQ(collector->FoundVersion(), "1.0.0");
}

TEST_F(CollectorTest, CustomCollectorNeverHangsAndHasNothingToStop) {
    zelko::testing::LogCapture log;
    auto custom = Custom();
    EXPECT_TRUE(custom->isCustom);
    EXPECT_TRUE(custom->runsInParallel);
    EXPECT_FALSE(custom->IsHangingMoreThan(0));
    EXPECT_TRUE(log.Contains(logging::debug, "IsHangingMoreThan Custom plugin name is undefined"));
    custom->Stop(0);
    EXPECT_TRUE(log.Contains(logging::debug, "Collector::Stop custom collector is undefined."));
}

// A manager whose plug-in answers an empty upload list and whose StopPlugin raises what it is told.
class ThrowingManager : public IPluginManager {
  public:
    std::function<void()> raise;
    int stops = 0;

    DynamicBufferResult ExecutePlugin(const char*, const char*, const char*&,
                                      const shared::plugin::PluginExecutionPolicy&,
                                      shared::plugin::IPluginExecutor*,
                                      shared::plugin::IValidator*) override {
        const std::string answer = R"({"upload":[]})";
        return DynamicBufferResult(std::vector<char>(answer.c_str(), answer.c_str() + answer.size() + 1));
    }
    Error GetPluginDescription(const char* name, const char*, PluginDescriptionResult& result,
                               shared::plugin::IValidator*) override {
        result.name = name;
        result.version = "1.0.0";
        result.isSignatureValid = result.isLoaded = true;
        return {};
    }
    Error GetError() const override { return {}; }
    Error TerminatePlugin(const char*, const char*) override { return {}; }
    Error StopPlugin(const char*, const char*, int64_t, shared::plugin::PluginTerminationState&) override {
        ++stops;
        raise();
        return {};
    }
    Error InitializeInMemoryPlugins(const char*) override { return {}; }
};

TEST_F(CollectorTest, StopNeverRaises) {
    auto manager = std::make_shared<ThrowingManager>();
    manager->raise = [] { throw std::runtime_error("stop exploded"); };
    auto collector = std::make_unique<Collector>(Entry(nullptr, "thrower"), conn_, manager, nullptr, nullptr,
                                                 crypto_, true);
    {
        zelko::testing::LogCapture log;
        collector->Stop(0, true);  // never ran: nothing to stop, nothing said
        EXPECT_EQ(manager->stops, 0);
        EXPECT_TRUE(log.Lines().empty());
    }
    EXPECT_EQ(collector->Process(MakeEvent(230)).code(), 9);
    EXPECT_EQ(collector->FoundVersion(), "1.0.0");

    zelko::testing::LogCapture log;
    EXPECT_NO_THROW(collector->Stop(10));
    EXPECT_TRUE(log.Contains(logging::error, "name thrower version 1.0.0 error "));
    EXPECT_TRUE(log.Contains(logging::error, "stop exploded"));
    manager->raise = [] { throw 7; };
    EXPECT_NO_THROW(collector->Stop(10));
    EXPECT_TRUE(log.Contains(logging::error, "plugin thrower version 1.0.0 error "));
    EXPECT_NO_THROW(collector.reset());  // the destructor's quiet stop
    EXPECT_EQ(manager->stops, 3);
}

TEST_F(CollectorTest, ParallelCollectorRunsEveryQueuedItemUntilTheStopItemAndIsJoinedWhenDestroyed) {
    std::mutex mutex;
    std::condition_variable finished;
    int runs = 0;
    auto on_finish = [&] {
        std::lock_guard lock(mutex);
        ++runs;
        finished.notify_all();
    };
    // Event type 1 gets no output (a failed run), type 2 one upload.
    json entry = Entry({{"answers", {{"1", ""}, {"2", {{"upload", {Element(1)}}}}}}});
    entry["runs_in_parallel"] = true;
    zelko::testing::LogCapture log;
    auto collector = std::make_unique<Collector>(entry, conn_, manager_, nullptr, on_finish, crypto_, true);
    for (uint32_t type : {1, 2, 1, 2}) collector->queue.Push(MakeEvent(230, type));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(finished.wait_for(lock, std::chrono::seconds(5), [&] { return runs == 4; }));
    }
    collector.reset();
    EXPECT_EQ(conn_->Sent().size(), 2u);
    EXPECT_EQ(log.Count(logging::error, "ProcessingLoopFunc run failed for collector uploader >=1.0.0"), 2);
    EXPECT_TRUE(log.Contains(logging::debug, "ProcessingLoopFunc exiting for collector  uploader >=1.0.0"));
}

}  // namespace
}  // namespace zelko::plenar::agent::test
