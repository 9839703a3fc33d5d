#include "platform/kernel_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace zelko::platform {
namespace {

TEST(EventTest, AutoResetReleasesOneWaitPerSignal) {
    auto event = Event::Create(false, true);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitTimeout);
    // Setting a set event twice still releases one wait only.
    event->Set();
    event->Set();
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(*event, 10), kWaitTimeout);
}

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    auto event = Event::Create(true, false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitTimeout);
    event->Set();
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitObject0);
    event->Reset();
    EXPECT_EQ(WaitForSingleObject(*event, 0), kWaitTimeout);
}

TEST(EventTest, WaitForMultipleAnswersTheLowestSignalledIndex) {
    auto first = Event::Create(false, false);
    auto second = Event::Create(false, true);
    auto third = Event::Create(false, true);
    EXPECT_EQ(WaitForMultipleObjects({first.get(), second.get(), third.get()}, kInfinite), kWaitObject0 + 1);
    EXPECT_EQ(WaitForMultipleObjects({first.get(), second.get(), third.get()}, kInfinite), kWaitObject0 + 2);
    EXPECT_EQ(WaitForMultipleObjects({first.get(), second.get(), third.get()}, 0), kWaitTimeout);
    EXPECT_EQ(WaitForMultipleObjects({first.get(), nullptr}, 0), kWaitFailed);
}

TEST(EventTest, SignalFromAnotherThreadWakesExactlyOneOfTwoWaiters) {
    auto event = Event::Create(false, false);
    auto done = Event::Create(true, false);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForMultipleObjects({event.get(), done.get()}, kInfinite) == kWaitObject0) ++woken;
    };
    std::thread a(waiter), b(waiter);
    event->Set();
    while (woken.load() == 0) std::this_thread::yield();
    done->Set();
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);
}

}  // namespace
}  // namespace zelko::platform
