#include "foundation/event_queue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/allocator.h"
#include "foundation/event_log_channel.h"

namespace zelko::plenar::agent {
namespace {

TEST(EventQueueTest, PopsInPushOrderWithFrontPushFirst) {
    EventQueue<int> queue;
    queue.Push(1);
    queue.Push(2);
    queue.PushFront(0);
    queue.Push(3);
    queue.PushFront(-1);
    EXPECT_EQ(queue.Size(), 5u);
    std::vector<int> popped;
    for (int i = 0; i < 5; ++i) popped.push_back(queue.Pop());
    EXPECT_EQ(popped, (std::vector<int>{-1, 0, 1, 2, 3}));
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(EventQueueTest, FrontAndInspectSeeTheNextItemWithoutRemovingIt) {
    EventQueue<std::string> queue;
    EXPECT_FALSE(queue.Front().has_value());
    EXPECT_EQ(
        queue.Inspect([](const std::string* front, size_t size) { return front == nullptr && size == 0; }),
        true);
    queue.Push("b");
    queue.PushFront("a");
    EXPECT_EQ(queue.Front(), "a");
    auto seen =
        queue.Inspect([](const std::string* front, size_t size) { return *front + std::to_string(size); });
    EXPECT_EQ(seen, "a2");
    EXPECT_EQ(queue.Size(), 2u);
}

TEST(EventQueueTest, OnPushRunsAfterEveryPushButNotOnClear) {
    EventQueue<int> queue;
    // Size() would deadlock here (non-recursive lock), so the callback only records that it ran.
    int calls = 0;
    queue.onPush = [&] { ++calls; };
    queue.Push(1);
    queue.PushFront(2);
    EXPECT_EQ(calls, 2);
    queue.Clear();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(queue.Size(), 0u);
}

// The consumer announces that it is about to wait; the test pushes only after that, so Pop must
// have blocked on an empty queue and returned the pushed item.
TEST(EventQueueTest, PopBlocksUntilPushAndClearKeepsConsumerWaiting) {
    EventQueue<int> queue;
    std::promise<void> waiting;
    auto consumer = std::async(std::launch::async, [&] {
        waiting.set_value();
        return queue.Pop();
    });
    waiting.get_future().wait();
    queue.Clear();  // nothing to wake for
    EXPECT_EQ(consumer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    queue.Push(42);
    EXPECT_EQ(consumer.get(), 42);
}

TEST(EventQueueTest, ManyProducersOneConsumerLoseNothing) {
    EventQueue<int> queue;
    constexpr int kProducers = 4;
    constexpr int kEach = 1000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) queue.Push(p * kEach + i);
        });
    }
    std::vector<int> last(kProducers, -1);
    for (int n = 0; n < kProducers * kEach; ++n) {
        int item = queue.Pop();
        int producer = item / kEach;
        EXPECT_GT(item, last[producer]);  // each producer's items keep their order
        last[producer] = item;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(EventLogChannelTest, NamesAndNumbers) {
    struct Case {
        std::u16string name;
        uint32_t number;
    };
    const Case cases[] = {
        {u"System", 0},          {u"Application", 1},
        {u"Security", 2},        {u"Setup", 3},
        {u"ForwardedEvents", 4}, {u"Microsoft-Windows-PushNotification-Platform/Operational", 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseEventChannel(c.name), c.number);
        EXPECT_EQ(EventChannelName(c.number), c.name);
    }
    for (const char16_t* other :
         {u"system", u"", u"Setup ", u"Microsoft-Windows-PushNotification-Platform"}) {
        EXPECT_EQ(ParseEventChannel(other), 0u);
    }
    EXPECT_EQ(EventChannelName(6), u"System");
    EXPECT_EQ(EventChannelName(0xFFFFFFFFu), u"System");
}

}  // namespace
}  // namespace zelko::plenar::agent
