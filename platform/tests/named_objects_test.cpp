#include "platform/named_objects.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>

#include "platform/kernel_objects.h"
#include "platform/last_error.h"
#include "platform/waitable_timer.h"
#include "testing/temp_system_root.h"

namespace zelko::platform {
namespace {

class NamedObjectsTest : public testing::SystemRootTest {};

TEST_F(NamedObjectsTest, NamesMapUnderTheSystemRoot) {
    EXPECT_EQ(NamedObjectPath("Global\\SystemSleepEvent"),
              root() / "Objects" / "Global" / "SystemSleepEvent");
    EXPECT_EQ(NamedObjectPath("a/b\\..\\c"), root() / "Objects" / "a_b" / "_" / "c");
}

TEST_F(NamedObjectsTest, ManualResetEventIsSharedByNameAndKeepsItsState) {
    auto first = NamedEvent::Create("Global\\SystemSleepEvent", false);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->IsSet());
    EXPECT_TRUE(first->Set());
    EXPECT_TRUE(first->IsSet());
    EXPECT_TRUE(first->IsSet());  // manual reset: reading does not clear it

    // Opening an existing event keeps its state, whatever the initial state asked for.
    auto second = NamedEvent::Create("Global\\SystemSleepEvent", false);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->IsSet());
    EXPECT_TRUE(second->Reset());
    EXPECT_FALSE(first->IsSet());
    EXPECT_FALSE(first->Wait(std::chrono::milliseconds(20)));

    std::thread setter([&] { second->Set(); });
    EXPECT_TRUE(first->Wait(std::chrono::seconds(5)));
    setter.join();
}

TEST_F(NamedObjectsTest, CreationFailureReportsTheSystemError) {
    std::filesystem::create_directories(root() / "Objects");
    {
        std::ofstream blocker(root() / "Objects" / "Global");  // a file where the folder should be
    }
    int error = 0;
    EXPECT_FALSE(NamedEvent::Create("Global\\X", false, &error));
    EXPECT_NE(error, 0);
}

TEST_F(NamedObjectsTest, MutexHandlesExcludeEachOtherAndAClosedOwnerAbandonsIt) {
    using namespace std::chrono_literals;
    uint32_t error = 0;
    EXPECT_EQ(NamedMutex::Open("kvrt_x_mutex", &error), nullptr);
    EXPECT_EQ(error, kErrorFileNotFound);

    auto first = NamedMutex::Create("kvrt_x_mutex");
    auto second = NamedMutex::Open("kvrt_x_mutex");
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(second->Release());  // not its owner
    EXPECT_EQ(first->Wait(0ms), MutexWait::Acquired);
    EXPECT_EQ(second->Wait(20ms), MutexWait::TimedOut);

    // A release wakes a waiter long before its timeout.
    std::thread releaser([&] { EXPECT_TRUE(first->Release()); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(second->Wait(10s), MutexWait::Acquired);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    releaser.join();

    // The owner's handle goes without a release.
    second.reset();
    EXPECT_EQ(first->Wait(1s), MutexWait::Abandoned);
    EXPECT_TRUE(first->Release());
    EXPECT_EQ(first->Wait(0ms), MutexWait::Acquired);
}

// The mutex lives while a handle does: names used once leave no file behind, while one handle that
// stays keeps the mutex (and its owner) for the others. Handles opened and closed on other threads
// while one is held never lose it.
TEST_F(NamedObjectsTest, MutexFileGoesWithItsLastHandle) {
    using namespace std::chrono_literals;
    for (int i = 0; i < 50; ++i) {
        auto mutex = NamedMutex::Create("kvrt_RemoteConfigs_name" + std::to_string(i) + "_mutex");
        ASSERT_TRUE(mutex);
        ASSERT_EQ(mutex->Wait(0ms), MutexWait::Acquired);
        EXPECT_TRUE(mutex->Release());
    }
    EXPECT_TRUE(std::filesystem::is_empty(root() / "Objects"));

    auto kept = NamedMutex::Create("kvrt_y_mutex");
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->Wait(0ms), MutexWait::Acquired);
    const auto file = kept->path();
    std::vector<std::thread> others;
    for (int t = 0; t < 4; ++t) {
        others.emplace_back([] {
            for (int i = 0; i < 50; ++i) {
                auto other = NamedMutex::Create("kvrt_y_mutex");
                ASSERT_TRUE(other);
                EXPECT_EQ(other->Wait(0ms), MutexWait::TimedOut);
            }
        });
    }
    for (auto& other : others) other.join();
    EXPECT_TRUE(std::filesystem::exists(file));
    auto opened = NamedMutex::Open("kvrt_y_mutex");
    ASSERT_TRUE(opened);
    EXPECT_TRUE(kept->Release());
    kept.reset();
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(opened->Wait(0ms), MutexWait::Acquired);
    EXPECT_TRUE(opened->Release());
    opened.reset();
    EXPECT_FALSE(std::filesystem::exists(file));
    uint32_t error = 0;
    EXPECT_EQ(NamedMutex::Open("kvrt_y_mutex", &error), nullptr);
    EXPECT_EQ(error, kErrorFileNotFound);
}

// A wait that nothing satisfies ends no earlier than its deadline on the steady clock: a time left
// truncated to whole milliseconds ended it up to 1 ms early. Timeouts of a few milliseconds, each
// taken many times, meet every sub-millisecond remainder.
TEST_F(NamedObjectsTest, TimedWaitsNeverEndBeforeTheirDeadline) {
    using namespace std::chrono_literals;
    auto holder = NamedMutex::Create("kvrt_deadline_mutex");
    auto waiter = NamedMutex::Open("kvrt_deadline_mutex");
    auto named_event = NamedEvent::Create("Global\\DeadlineEvent", false);
    auto event = Event::Create(true, false);
    auto timer = WaitableTimer::Create();
    ASSERT_TRUE(holder && waiter && named_event && event && timer);
    ASSERT_EQ(holder->Wait(0ms), MutexWait::Acquired);
    ASSERT_TRUE(timer->Set(-int64_t{36'000'000'000}, 0));  // due in an hour
    const struct {
        const char* what;
        std::function<bool(std::chrono::milliseconds)> timed_out;
    } waits[] = {
        {"named mutex", [&](auto timeout) { return waiter->Wait(timeout) == MutexWait::TimedOut; }},
        {"named event", [&](auto timeout) { return !named_event->Wait(timeout); }},
        {"event", [&](auto timeout) { return WaitForSingleObject(*event, timeout.count()) == kWaitTimeout; }},
        {"waitable timer",
         [&](auto timeout) {
             return WaitForMultipleObjects({event.get(), timer.get()}, timeout.count()) == kWaitTimeout;
         }},
    };
    for (const auto& wait : waits) {
        SCOPED_TRACE(wait.what);
        for (int i = 0; i < 40; ++i) {
            const auto timeout = std::chrono::milliseconds(1 + i % 4);
            const auto start = std::chrono::steady_clock::now();
            ASSERT_TRUE(wait.timed_out(timeout));
            const auto took = std::chrono::steady_clock::now() - start;
            ASSERT_GE(took, timeout) << "wait " << i << " ended after "
                                     << std::chrono::duration<double, std::milli>(took).count() << " ms";
        }
    }
}

}  // namespace
}  // namespace zelko::platform
