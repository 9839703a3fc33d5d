// Event-log subscriptions: their queries, the handle they own, the extended queries from the
// encrypted configuration, and the callback that renders each entry, over the simulated event log.

#include "telemetry/windows_event_subscription.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "testing/log_capture.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// What the owner's callback received.
struct Owner {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<WindowsEvent> events;

    static void Callback(void* context, WindowsEvent event) {
        auto* self = static_cast<Owner*>(context);
        std::lock_guard lock(self->mutex);
        self->events.push_back(event);
        self->cv.notify_all();
    }
    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return events.size() >= count; });
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

// What the service does to open a subscription.
void Open(WindowsEventSubscription& subscription) {
    auto& p = subscription.pimpl();
    p.handle =
        platform::EvtSubscribe(nullptr, nullptr, p.channel.c_str(), p.query.c_str(), nullptr, &subscription,
                               &Win32SubscriptionCallback, platform::kEvtSubscribeToFutureEvents);
    ASSERT_NE(p.handle, nullptr) << platform::GetLastError();
}

class WindowsEventSubscriptionTest : public zelko::testing::SystemRootTest {
  protected:
    zelko::testing::LogCapture log;
    Owner owner;
};

TEST_F(WindowsEventSubscriptionTest, PlainQueryTextsAndTheNullChannel) {
    WindowsEventSubscription system(u"System", 506, 4, &owner, &Owner::Callback);
    EXPECT_EQ(system.pimpl().query,
              u"<QueryList><Query Id=\"0\" Path=\"System\"><Select Path=\"System\">*[System[(EventID=506)]]"
              u"</Select></Query></QueryList>");
    EXPECT_EQ(system.pimpl().level, 4);
    EXPECT_TRUE(system.pimpl().summaryQuery.empty());
    EXPECT_EQ(system.pimpl().handle, nullptr);
    EXPECT_TRUE(
        log.Contains(logging::debug, "EventID= 506 channel: System Query: <QueryList><Query Id=\"0\""));

    WindowsEventSubscription application(u"Application", 134, 0, &owner, &Owner::Callback);
    EXPECT_EQ(application.pimpl().query,
              u"<QueryList><Query Id=\"0\" Path=\"Application\"><Select Path=\"Application\">"
              u"*[System[(EventID=134)]]</Select></Query></QueryList>");

    try {
        WindowsEventSubscription refused(nullptr, 1, 0, &owner, &Owner::Callback);
        ADD_FAILURE() << "a null channel was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "channel cannot be null");
    }
}

TEST_F(WindowsEventSubscriptionTest, CopiesAndAssignmentCloseEachHandleOnce) {
    {
        WindowsEventSubscription a(u"System", 1, 2, &owner, &Owner::Callback);
        WindowsEventSubscription b(u"Application", 2, 3, &owner, &Owner::Callback);
        Open(a);
        Open(b);
        ASSERT_EQ(platform::OpenEventLogSubscriptions(), 2u);

        WindowsEventSubscription copy(a);
        EXPECT_EQ(copy.pimpl().handle, nullptr);
        EXPECT_EQ(copy.pimpl().query, a.pimpl().query);
        EXPECT_EQ(copy.pimpl().level, 2);
        EXPECT_EQ(platform::OpenEventLogSubscriptions(), 2u);

        const platform::EvtHandle a_handle = a.pimpl().handle;
        a = b;  // closes a's own subscription first, never takes b's
        EXPECT_EQ(a.pimpl().handle, nullptr);
        EXPECT_EQ(a.pimpl().query, b.pimpl().query);
        EXPECT_EQ(a.pimpl().channel, u"Application");
        EXPECT_EQ(platform::OpenEventLogSubscriptions(), 1u);
        EXPECT_FALSE(platform::EvtClose(a_handle));

        // The owner's close, then the destructor: the handle is closed once.
        EXPECT_TRUE(platform::EvtClose(b.pimpl().handle));
        b.pimpl().handle = nullptr;
        Open(b);
    }
    EXPECT_EQ(platform::OpenEventLogSubscriptions(), 0u);
}

// Every entry reaches the owner as channel, id, XML and level 0, also when its values need more
// than the first 6144-byte buffer (a channel name of 3100 characters).
TEST_F(WindowsEventSubscriptionTest, DeliveredEntriesWithSmallAndLargeValues) {
    std::u16string long_channel;
    for (int part = 0; part < 16; ++part)
        long_channel += (part ? u"/" : u"") + std::u16string(193, u'a' + part);
    ASSERT_GT(long_channel.size() * 2, 6144u);

    for (const std::u16string& channel : {std::u16string(u"System"), long_channel}) {
        Owner received;
        WindowsEventSubscription subscription(channel.c_str(), 506, 4, &received, &Owner::Callback);
        Open(subscription);
        ASSERT_TRUE(platform::WriteEventLogEntry(channel, 506, 2));
        ASSERT_TRUE(received.WaitFor(1));
        const WindowsEvent& event = received.events[0];
        EXPECT_EQ(event.channel(), channel);
        EXPECT_EQ(event.eventId(), 506);
        EXPECT_EQ(event.level(), 0);
        EXPECT_NE(event.xml().find(u"<EventID>506</EventID>"), std::u16string::npos);
        EXPECT_EQ(event.xml().back(), u'>');
    }
    EXPECT_TRUE(log.Contains(logging::debug, "Windows Event: System 506"));
}

TEST_F(WindowsEventSubscriptionTest, NotificationsWithoutAnEntryReachNobody) {
    WindowsEventSubscription subscription(u"Setup", 5, 0, &owner, &Owner::Callback);
    EXPECT_EQ(Win32SubscriptionCallback(platform::EvtSubscribeActionError, &subscription,
                                        reinterpret_cast<platform::EvtHandle>(uintptr_t{15})),
              0u);

    // A damaged entry file arrives as such a notification; it is logged with the file's name.
    Open(subscription);
    const auto folder = platform::SystemRoot() / "EventLog" / "Setup";
    std::ofstream(folder / "damaged.json") << "{\"event_id\":";
    ASSERT_TRUE(log.WaitFor(logging::warning, (folder / "damaged.json").string()));
    ASSERT_TRUE(platform::WriteEventLogEntry(u"Setup", 5));
    ASSERT_TRUE(owner.WaitFor(1));
    EXPECT_EQ(owner.Count(), 1u);
}

// One test writes the configuration beside the test program, so no other test process races it.
TEST_F(WindowsEventSubscriptionTest, ExtendedSubscriptionsFromTheEncryptedQueryConfiguration) {
    const auto folder = Utils::GetExecutableDirectory() / "Configuration Files";
    const auto file = folder / "win-events-config.ejson";
    std::filesystem::create_directories(folder);
    std::filesystem::remove(file);
    try {
        WindowsEventExtSubscription missing(0, &owner, &Owner::Callback);
        ADD_FAILURE() << "built without a configuration";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "no configuration file found");
    }

    const std::string on_event =
        "<QueryList><Query Id=\"0\" Path=\"Application\"><Select Path=\"Application\">"
        "*[System[(EventID=1000 or EventID=1001)]]</Select></Query></QueryList>";
    const json config = {{"queries_by_evnet_id",
                          {{{"on_event", on_event}, {"on_summary", "<QueryList>summary é</QueryList>"}},
                           nullptr,
                           {{"on_event", on_event}},
                           5}}};
    Utils::SaveEncryptedJsonFile(file, config,
                                 crypto::Cryptography("Tq7vR2mXc9LpW4sJd0HbN6yKf3GzA8eUo1iVw5QnZtE="));

    {
        WindowsEventExtSubscription first(0, &owner, &Owner::Callback);
        EXPECT_EQ(first.pimpl().query, Utils::Utf8ToWideChecked(on_event));
        EXPECT_EQ(first.pimpl().summaryQuery, u"<QueryList>summary é</QueryList>");
        EXPECT_TRUE(first.pimpl().channel.empty());
        EXPECT_EQ(first.pimpl().level, 0);
        EXPECT_TRUE(log.Contains(logging::debug, "ID= 0 SummaryQuery: <QueryList>summary é</QueryList>"));

        WindowsEventExtSubscription copy(first);
        EXPECT_EQ(copy.pimpl().query, first.pimpl().query);
        EXPECT_EQ(copy.pimpl().summaryQuery, first.pimpl().summaryQuery);

        WindowsEventExtSubscription without_summary(2, &owner, &Owner::Callback);
        EXPECT_TRUE(without_summary.pimpl().summaryQuery.empty());

        // Matched by the ids of its query on the channels the query names.
        Open(first);
        ASSERT_TRUE(platform::WriteEventLogEntry(u"Application", 1002));
        ASSERT_TRUE(platform::WriteEventLogEntry(u"Application", 1001));
        ASSERT_TRUE(owner.WaitFor(1));
        EXPECT_EQ(owner.events[0].eventId(), 1001);
        EXPECT_EQ(owner.events[0].channel(), u"Application");
    }

    for (int32_t id : {1, 3, 4, 99, -1}) {
        EXPECT_THROW(WindowsEventExtSubscription(id, &owner, &Owner::Callback), json::type_error) << id;
    }
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace zelko::plenar::agent
