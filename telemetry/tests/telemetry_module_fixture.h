#pragma once

// Fixture of the telemetry module tests: fake collectors that journal their runs, a checker whose
// gate the test sets, and a module built over them.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "telemetry/telemetry_module.h"
#include "testing/fake_connectivity.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent::test {

using nlohmann::json;
using shared::error::Error;
namespace plugin = shared::plugin;

struct NullPluginManager : plugin::IPluginManager {
    plugin::DynamicBufferResult ExecutePlugin(const char*, const char*, const char*&,
                                              const plugin::PluginExecutionPolicy&, plugin::IPluginExecutor*,
                                              plugin::IValidator*) override {
        return {};
    }
    Error GetPluginDescription(const char*, const char*, plugin::PluginDescriptionResult& result,
                               plugin::IValidator*) override {
        result.isLoaded = true;
        return {};
    }
    Error GetError() const override { return {}; }
    Error TerminatePlugin(const char*, const char*) override { return {}; }
    Error StopPlugin(const char*, const char*, int64_t, plugin::PluginTerminationState&) override {
        return {};
    }
    Error InitializeInMemoryPlugins(const char*) override { return {}; }
};

// What the fake collectors did, in order: "name:code" per run, "stop:name" per stop.
struct Journal {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> runs;
    std::vector<std::pair<std::string, uint32_t>> done;  // callback: (error text or "", code)
    std::map<std::string, Error> results;                // collector name -> its answer
    bool holdSlow = false;                               // "slow" waits until this is cleared

    void Add(std::string entry) {
        std::lock_guard guard(lock);
        runs.push_back(std::move(entry));
        changed.notify_all();
    }
    void Callback(const std::string& error, uint32_t code) {
        std::lock_guard guard(lock);
        done.emplace_back(error, code);
        changed.notify_all();
    }
    bool WaitCallbacks(size_t count) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), [&] { return done.size() >= count; });
    }
};

class FakeCollector : public Collector {
  public:
    // The keys are read here, so a 245 key needs no query configuration.
    FakeCollector(const json& entry, Journal& journal)
        : Collector(WithoutEvents(entry), nullptr, std::make_shared<NullPluginManager>(), nullptr, nullptr,
                    nullptr, true),
          journal(journal) {
        for (const auto& key : entry.at("events")) {
            try {
                events.push_back(key.get<EventKey>());
            } catch (const json::exception&) {
                throw std::logic_error("Wrong Telemetry.cfg format for 'events', collector " + name);
            }
        }
    }
    static json WithoutEvents(json entry) {
        entry["events"] = json::array();
        return entry;
    }
    Error Process(const TelemetryEvent& event) override {
        journal.Add(name + ":" + std::to_string(event.Type.dwControl));
        std::unique_lock guard(journal.lock);
        if (name == "slow") journal.changed.wait(guard, [&] { return !journal.holdSlow; });
        const auto found = journal.results.find(name);
        return found == journal.results.end() ? Error{} : found->second;
    }
    void Stop(int64_t, bool) noexcept override { journal.Add("stop:" + name); }
    bool IsLoaded() override { return true; }
    bool IsHangingMoreThan(int32_t) override { return false; }

  private:
    Journal& journal;
};

class BusyChecker : public SystemStatusChecker {
  public:
    using SystemStatusChecker::SystemStatusChecker;
    bool IsFullScreenD3DRunning() override { return game; }
    bool IsCpuUsageConsistentlyHigh(double) override { return cpu; }
    std::atomic<bool> game{false};
    std::atomic<bool> cpu{false};
};

inline json Entry(const std::string& name, json events) {
    return {{"name", name}, {"version", ">=1.0.0"}, {"events", std::move(events)}};
}

class TelemetryModuleTest : public zelko::testing::SystemRootTest {
  protected:
    std::unique_ptr<TelemetryModule> Make(json config, std::shared_ptr<SystemStatusChecker> checker = nullptr,
                                          bool restricted = false, bool fakeCollectors = true,
                                          std::shared_ptr<crypto::Cryptography> crypto = nullptr,
                                          std::shared_ptr<ConnectivityModule> connectivity = nullptr) {
        const auto path = scratch() / kTelemetryConfigFileName;
        if (!config.is_null()) Utils::SaveJsonFile(path, config);
        TelemetryModule::Environment env;
        if (fakeCollectors) {
            env.makeCollector = [this](const json& entry) {
                return std::make_shared<FakeCollector>(entry, journal);
            };
        }
        env.makeCustomCollector = [this] {
            json entry = Entry("custom", json::array());
            entry["configuration"] = json::object();
            return std::make_shared<FakeCollector>(entry, journal);
        };
        return std::make_unique<TelemetryModule>(
            path, connectivity ? connectivity : std::make_shared<zelko::testing::FakeConnectivity>(),
            std::make_shared<NullPluginManager>(),
            [this](TelemetryEvent item) { journal.Callback("", item.Type.dwControl); },
            [this](Error error, TelemetryEvent item) { journal.Callback(error.what(), item.Type.dwControl); },
            nullptr, nullptr, std::move(checker), std::move(crypto), true, restricted, std::move(env));
    }

    std::vector<std::string> Runs() {
        std::lock_guard guard(journal.lock);
        return journal.runs;
    }
    std::vector<std::pair<std::string, uint32_t>> Done() {
        std::lock_guard guard(journal.lock);
        return journal.done;
    }
    // A 220 that selects nothing reports success: waiting for it shows the items before it are done.
    void Drain(TelemetryModule& module) {
        const auto count = [this] {
            size_t n = 0;
            for (const auto& [error, code] : journal.done) n += code == 220;
            return n;
        };
        size_t before;
        {
            std::lock_guard guard(journal.lock);
            before = count();
        }
        module.Process(Event(220, 9, nullptr, 0, 7));
        std::unique_lock guard(journal.lock);
        ASSERT_TRUE(
            journal.changed.wait_for(guard, std::chrono::seconds(5), [&] { return count() > before; }));
    }

    Journal journal;
};

}  // namespace zelko::plenar::agent::test
