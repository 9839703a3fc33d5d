#include "config/registry_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "consent/consent_manager.h"
#include "platform/registry.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using platform::RegistryHive;
using shared::error::Error;
using shared::error::ErrorCategory;

constexpr const char* kKey = "SOFTWARE\\Zelko\\Zelko Plenar Agent\\Collectors";

// What a monitor reported, for the test thread to wait on.
class Reports {
  public:
    RegistryMonitor::ChangeCallback OnChange() {
        return [this](RegistryData data) {
            std::lock_guard lock(mutex_);
            changes_.push_back(std::move(data));
            cv_.notify_all();
        };
    }
    RegistryMonitor::ErrorCallback OnError() {
        return [this](Error error) {
            std::lock_guard lock(mutex_);
            errors_.push_back(std::move(error));
            cv_.notify_all();
        };
    }
    bool WaitForChanges(size_t count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return changes_.size() >= count; });
    }
    bool WaitForError() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return !errors_.empty(); });
    }
    std::vector<RegistryData> Changes() {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    std::vector<Error> Errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<RegistryData> changes_;
    std::vector<Error> errors_;
};

class RegistryMonitorTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        ASSERT_EQ(ConsentManager::WriteRegistrySubKey(RegistryHive::LocalMachine, kKey, "Other", "0"), 0);
    }
    void Write(const std::string& name, const std::string& value) {
        ASSERT_EQ(ConsentManager::WriteRegistrySubKey(RegistryHive::LocalMachine, kKey, name, value), 0);
    }
    std::string Read(const std::string& name) {
        return ConsentManager::ReadRegistrySubKey(RegistryHive::LocalMachine, kKey, name);
    }

    bool WatchIsUp() {
        return log_.WaitFor(
            logging::info,
            "zelko::plenar::agent::RegistryMonitor::Monitor  Listening for registry changes...");
    }

    zelko::testing::LogCapture log_;
    Reports reports_;
};

TEST_F(RegistryMonitorTest, WholeKeyWatchReportsEmptyRecords) {
    RegistryMonitor monitor(kKey, {}, reports_.OnChange(), reports_.OnError());
    ASSERT_TRUE(
        log_.Contains(logging::info, "zelko::plenar::agent::RegistryMonitor::RegistryMonitor  Subscribing"));
    ASSERT_TRUE(WatchIsUp());
    // A value set in a subkey created after the watch started is reported as well.
    platform::RegistryKey sub;
    ASSERT_EQ(platform::RegistryKey::Create(RegistryHive::LocalMachine, std::string(kKey) + "\\Sub", sub),
              0u);
    ASSERT_EQ(sub.SetStringValue("Deep", "x"), 0u);
    ASSERT_TRUE(reports_.WaitForChanges(1));
    RegistryData first = reports_.Changes().front();
    EXPECT_EQ(first.key, kKey);
    EXPECT_EQ(first.sub_key, "");
    EXPECT_EQ(first.value, "");
    EXPECT_FALSE(first.error);
}

TEST_F(RegistryMonitorTest, ListedValuesGetDefaultsAndOnlyChangedTextsAreReported) {
    Write("Rvmqlp4hzwctxjn", "1");
    RegistryMonitor monitor(kKey, {{"Rvmqlp4hzwctxjn", ""}, {"Level", "5"}, {"Empty", ""}},
                            reports_.OnChange(), reports_.OnError());
    EXPECT_EQ(monitor.GetValue("Rvmqlp4hzwctxjn"), "1");
    EXPECT_EQ(monitor.GetValue("Level"), "5");
    EXPECT_EQ(monitor.GetValue("Unlisted"), "");
    EXPECT_EQ(Read("Level"), "5");
    EXPECT_EQ(Read("Empty"), "");

    // Once the watch is up: the same text again, then a new one.
    ASSERT_TRUE(WatchIsUp());
    Write("Level", "5");
    Write("Rvmqlp4hzwctxjn", "0");
    ASSERT_TRUE(reports_.WaitForChanges(1));
    RegistryData change = reports_.Changes().front();
    EXPECT_EQ(change.sub_key, "Rvmqlp4hzwctxjn");
    EXPECT_EQ(change.value, "0");
    EXPECT_EQ(monitor.GetValue("Rvmqlp4hzwctxjn"), "0");

    // A change made by another process reaches the monitor as well.
    platform::RegistryKey key;
    ASSERT_EQ(platform::RegistryKey::Open(RegistryHive::LocalMachine, kKey, key), 0u);
    std::string command = "cd '" + key.Folder().string() +
                          "' && printf '{\"Level\":{\"type\":4,\"data\":9},\"Rvmqlp4hzwctxjn\":{\"type\":1,"
                          "\"data\":\"0\"}}' > values.json.new && mv values.json.new values.json";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(reports_.WaitForChanges(2));
    EXPECT_EQ(reports_.Changes()[1].sub_key, "Level");
    EXPECT_EQ(reports_.Changes()[1].value, "9");
    EXPECT_EQ(monitor.GetValue("Level"), "9");
    // Listed values that vanished read empty: "Empty" was empty before and is not reported.
    EXPECT_EQ(reports_.Changes().size(), 2u);
    EXPECT_TRUE(reports_.Errors().empty());
}

TEST_F(RegistryMonitorTest, MissingKeyReportsMinusTwoAndEnds) {
    auto started = std::chrono::steady_clock::now();
    {
        RegistryMonitor monitor("SOFTWARE\\Policies\\Zelko\\Absent", {}, reports_.OnChange(),
                                reports_.OnError());
        ASSERT_TRUE(reports_.WaitForError());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    ASSERT_EQ(reports_.Errors().size(), 1u);
    Error error = reports_.Errors().front();
    EXPECT_EQ(error.category(), ErrorCategory::EC_Component);
    EXPECT_EQ(error.code(), -2);
    EXPECT_EQ(error.what(), "Unable to open registry key");
    EXPECT_EQ(error.type(), "int");
    EXPECT_EQ(error.origin(), "RegistryMonitor");
}

TEST_F(RegistryMonitorTest, DeletedKeyEndsTheWatchWithARegistrationError) {
    RegistryMonitor monitor(kKey, {}, reports_.OnChange(), reports_.OnError());
    ASSERT_TRUE(WatchIsUp());
    ASSERT_EQ(platform::RegistryKey::DeleteTree(RegistryHive::LocalMachine, kKey), 0u);
    ASSERT_TRUE(reports_.WaitForError());
    Error error = reports_.Errors().front();
    EXPECT_EQ(error.category(), ErrorCategory::EC_StdException);
    EXPECT_EQ(error.code(), 1);
    EXPECT_NE(error.what().find("Error registering for change notifications"), std::string::npos);
}

TEST_F(RegistryMonitorTest, MonitorReleasedInsideItsOwnCallback) {
    // Shared with the callback, which may still run its last lines after the test has returned.
    struct Sync {
        std::mutex mutex;
        std::condition_variable cv;
        bool released = false;
        std::shared_ptr<RegistryMonitor> monitor;
    };
    auto sync = std::make_shared<Sync>();
    auto monitor = std::make_shared<RegistryMonitor>(
        kKey, std::vector<std::pair<std::string, std::string>>{},
        [sync](RegistryData) {
            std::unique_lock lock(sync->mutex);
            std::shared_ptr<RegistryMonitor> last = std::move(sync->monitor);
            lock.unlock();
            last.reset();
            lock.lock();
            sync->released = true;
            sync->cv.notify_all();
        },
        nullptr);
    {
        std::lock_guard lock(sync->mutex);
        sync->monitor = monitor;
    }
    monitor.reset();
    ASSERT_TRUE(WatchIsUp());
    Write("Other", "1");
    std::unique_lock lock(sync->mutex);
    EXPECT_TRUE(sync->cv.wait_for(lock, std::chrono::seconds(5), [&] { return sync->released; }));
}

TEST(RegistryDataTest, NullTextsAreRecordedNotRaised) {
    RegistryData data("key", nullptr, "value");
    EXPECT_EQ(data.error.category(), ErrorCategory::EC_StdException);
    EXPECT_EQ(data.error.code(), 1);
    EXPECT_EQ(data.error.what(), "sub_key is null.");
    EXPECT_EQ(data.error.origin(), "RegistryData");
    EXPECT_NE(data.error.type().find("invalid_argument"), std::string::npos);
    EXPECT_EQ(RegistryData(nullptr, nullptr, nullptr).error.what(), "key_ is null.");
    RegistryData fine("k", "s", "v");
    RegistryData copy = fine;
    EXPECT_FALSE(copy.error);
    EXPECT_EQ(copy.value, "v");
}

}  // namespace
}  // namespace zelko::plenar::agent
