// The simulated event-log source: subscriptions over channel folders, rendering, refusals and
// damaged entry files.

#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/paths.h"
#include "testing/temp_system_root.h"
#include "testing/thread_count.h"

namespace zelko::platform {
namespace {

using namespace std::chrono_literals;

struct Seen {
    EvtSubscribeNotifyAction action;
    std::u16string channel;
    uint32_t event_id = 0;
    uint8_t level = 0;
    std::u16string xml;
    uintptr_t error = 0;
    std::string status;
    std::thread::id thread;
};

// Records what a subscription delivers, rendering each entry while its handle is valid.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Seen> seen;
    EvtHandle close_inside = nullptr;  // closed from inside the first callback

    static uint32_t Callback(EvtSubscribeNotifyAction action, void* context, EvtHandle event) {
        auto* self = static_cast<Recorder*>(context);
        Seen s;
        s.action = action;
        s.thread = std::this_thread::get_id();
        if (action == EvtSubscribeActionDeliver) {
            uint32_t used = 0, count = 0;
            EXPECT_FALSE(EvtRender(nullptr, event, kEvtRenderEventXml, 0, nullptr, &used, &count));
            EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
            std::u16string xml(used / 2, u'\0');
            EXPECT_TRUE(EvtRender(nullptr, event, kEvtRenderEventXml, used, xml.data(), &used, &count));
            s.xml = xml.c_str();

            const char16_t* paths[] = {u"Event/System/Channel", u"Event/System/EventID",
                                       u"Event/System/Level", u"Event/System/Unknown"};
            EvtHandle context_handle = EvtCreateRenderContext(4, paths, kEvtRenderContextValues);
            EXPECT_FALSE(EvtRender(context_handle, event, kEvtRenderEventValues, 16, nullptr, &used, &count));
            std::vector<EvtVariant> values(used / sizeof(EvtVariant) + 1);
            EXPECT_TRUE(
                EvtRender(context_handle, event, kEvtRenderEventValues, used, values.data(), &used, &count));
            EXPECT_EQ(count, 4u);
            EXPECT_EQ(values[0].Type, EvtVarTypeString);
            s.channel = values[0].StringVal;
            EXPECT_EQ(values[1].Type, EvtVarTypeUInt16);
            s.event_id = values[1].UInt16Val;
            s.level = values[2].ByteVal;
            EXPECT_EQ(values[3].Type, EvtVarTypeNull);
            EvtClose(context_handle);
        } else {
            s.error = reinterpret_cast<uintptr_t>(event);
            s.status = EvtGetExtendedStatus();
        }
        std::lock_guard lock(self->mutex);
        if (self->close_inside) {
            EXPECT_TRUE(EvtClose(self->close_inside));
            self->close_inside = nullptr;
        }
        self->seen.push_back(std::move(s));
        self->cv.notify_all();
        return 0;
    }

    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return seen.size() >= count; });
    }
    std::vector<Seen> Take() {
        std::lock_guard lock(mutex);
        return std::exchange(seen, {});
    }
};

class EventLogTest : public zelko::testing::SystemRootTest {
  protected:
    EvtHandle Subscribe(Recorder& recorder, const char16_t* channel, const char16_t* query) {
        EvtHandle handle = EvtSubscribe(nullptr, nullptr, channel, query, nullptr, &recorder,
                                        &Recorder::Callback, kEvtSubscribeToFutureEvents);
        EXPECT_NE(handle, nullptr) << GetLastError();
        return handle;
    }
    void Raise(const std::u16string& channel, uint16_t id, uint8_t level = 4) {
        ASSERT_TRUE(WriteEventLogEntry(channel, id, level));
    }
};

constexpr char16_t kSystem506[] =
    u"<QueryList><Query Id=\"0\" Path=\"System\"><Select Path=\"System\">*[System[(EventID=506)]]</Select>"
    u"</Query></QueryList>";

TEST_F(EventLogTest, PlainQueryDeliversItsChannelAndIdOnAnEventLogThread) {
    Recorder recorder;
    WriteEventLogEntry(u"System", 506);  // before the subscription: not delivered
    EvtHandle handle = Subscribe(recorder, u"System", kSystem506);
    EXPECT_EQ(OpenEventLogSubscriptions(), 1u);

    Raise(u"System", 507);
    Raise(u"Application", 506);
    Raise(u"System", 506, 2);
    ASSERT_TRUE(recorder.WaitFor(1));
    // The last one written is the only match, so once it arrived nothing else is coming.
    auto seen = recorder.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].action, EvtSubscribeActionDeliver);
    EXPECT_EQ(seen[0].channel, u"System");
    EXPECT_EQ(seen[0].event_id, 506u);
    EXPECT_EQ(seen[0].level, 2u);
    EXPECT_NE(seen[0].thread, std::this_thread::get_id());
    EXPECT_NE(seen[0].xml.find(u"<EventID>506</EventID>"), std::u16string::npos);
    EXPECT_NE(seen[0].xml.find(u"<Channel>System</Channel>"), std::u16string::npos);

    EXPECT_TRUE(EvtClose(handle));
    EXPECT_FALSE(EvtClose(handle));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(OpenEventLogSubscriptions(), 0u);
}

TEST_F(EventLogTest, StructuredQueryNamesItsChannelsAndSuppresses) {
    Recorder recorder;
    EvtHandle handle =
        Subscribe(recorder, nullptr,
                  u"<QueryList><Query Id=\"0\" Path=\"Application\">"
                  u"<Select Path=\"Application\">*[System[(EventID=1 or EventID = 2)]]</Select>"
                  u"<Select Path='Microsoft-Windows-PushNotification-Platform/Operational'>*</Select>"
                  u"<Suppress Path=\"Application\">*[System[(EventID=2)]]</Suppress></Query></QueryList>");
    Raise(u"Application", 2);
    Raise(u"Application", 3);
    Raise(u"Application", 1);
    Raise(u"Microsoft-Windows-PushNotification-Platform/Operational", 4000);
    ASSERT_TRUE(recorder.WaitFor(2));
    auto seen = recorder.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event_id, 1u);
    EXPECT_EQ(seen[1].channel, u"Microsoft-Windows-PushNotification-Platform/Operational");
    EXPECT_EQ(seen[1].event_id, 4000u);
    EvtClose(handle);
}

TEST_F(EventLogTest, RefusedSubscriptions) {
    Recorder recorder;
    int signal = 0;
    struct Case {
        const char* what;
        void* signal;
        const char16_t* channel;
        const char16_t* query;
        EvtSubscribeCallback callback;
        uint32_t error;
    } cases[] = {
        {"empty query", nullptr, u"System", u"", &Recorder::Callback, kErrorEvtInvalidQuery},
        {"null query", nullptr, u"System", nullptr, &Recorder::Callback, kErrorEvtInvalidQuery},
        {"XPath without channel", nullptr, nullptr, u"*[System[(EventID=1)]]", &Recorder::Callback,
         kErrorEvtInvalidQuery},
        {"query list without Select", nullptr, nullptr, u"<QueryList><Query Id=\"0\"></Query></QueryList>",
         &Recorder::Callback, kErrorEvtInvalidQuery},
        {"channel leaving the folder", nullptr, u"..", u"*", &Recorder::Callback, kErrorEvtChannelNotFound},
        {"absolute channel", nullptr, u"/etc", u"*", &Recorder::Callback, kErrorEvtChannelNotFound},
        {"signal event", &signal, u"System", u"*", &Recorder::Callback, kErrorNotSupported},
        {"no callback", nullptr, u"System", u"*", nullptr, kErrorInvalidParameter},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(EvtSubscribe(nullptr, c.signal, c.channel, c.query, nullptr, &recorder, c.callback,
                               kEvtSubscribeToFutureEvents),
                  nullptr)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(OpenEventLogSubscriptions(), 0u);
    uint32_t used = 0, count = 0;
    EXPECT_FALSE(EvtRender(nullptr, reinterpret_cast<EvtHandle>(uintptr_t{13}), kEvtRenderEventXml, 0,
                           nullptr, &used, &count));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(EventLogTest, DamagedEntryFilesBecomeErrorNotificationsNamingTheFile) {
    Recorder recorder;
    EvtHandle handle = Subscribe(recorder, u"Setup", u"*");
    const auto folder = SystemRoot() / "EventLog" / "Setup";
    const std::pair<const char*, std::string> cases[] = {
        {"empty.json", ""},
        {"cut.json", R"({"event_id": 5)"},
        {"text.json", "not json"},
        {"array.json", "[1, 2]"},
        {"no-id.json", R"({"level": 4})"},
        {"text-id.json", R"({"event_id": "5"})"},
        {"big-id.json", R"({"event_id": 65536})"},
        {"bad-level.json", R"({"event_id": 5, "level": 300})"},
        {"bad-xml.json", R"({"event_id": 5, "xml": 7})"},
        {"huge.json", R"({"event_id": 5, "xml": ")" + std::string(2 << 20, 'x') + "\"}"},
    };
    for (const auto& [name, content] : cases) std::ofstream(folder / name) << content;
    std::ofstream(folder / "ignored.txt") << "{}";
    Raise(u"Setup", 77);
    ASSERT_TRUE(recorder.WaitFor(std::size(cases) + 1));
    auto seen = recorder.Take();
    ASSERT_EQ(seen.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(seen[i].action, EvtSubscribeActionError) << cases[i].first;
        EXPECT_EQ(seen[i].error, kErrorInvalidData);
        EXPECT_NE(seen[i].status.find((folder / cases[i].first).string()), std::string::npos)
            << seen[i].status;
    }
    // The subscription goes on after them.
    EXPECT_EQ(seen.back().action, EvtSubscribeActionDeliver);
    EXPECT_EQ(seen.back().event_id, 77u);
    EvtClose(handle);
}

TEST_F(EventLogTest, CloseFromInsideTheCallbackAndCloseWhileEntriesArrive) {
    Recorder inside;
    inside.close_inside = Subscribe(inside, u"System", u"*");
    Raise(u"System", 1);
    ASSERT_TRUE(inside.WaitFor(1));
    Recorder busy;
    EvtHandle handle = Subscribe(busy, u"System", u"*");
    std::thread writer([&] {
        for (int i = 0; i < 50; ++i) WriteEventLogEntry(u"System", static_cast<uint16_t>(i));
    });
    EXPECT_TRUE(EvtClose(handle));
    const size_t after_close = busy.Take().size();
    writer.join();
    EXPECT_LE(after_close, 50u);
    EXPECT_TRUE(busy.Take().empty());  // nothing once the close returned
    EXPECT_EQ(inside.Take().size(), 1u);
    EXPECT_EQ(OpenEventLogSubscriptions(), 0u);
}

size_t EntriesOf(const char* folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}
size_t Threads() { return zelko::testing::ThreadCount(); }
size_t Descriptors() { return EntriesOf("/proc/self/fd"); }

TEST_F(EventLogTest, ManySubscriptionsShareOneWatcherAndEachSeesAnEntryOnce) {
    const size_t threads_before = Threads(), descriptors_before = Descriptors();
    std::vector<std::unique_ptr<Recorder>> recorders;
    std::vector<EvtHandle> handles;
    auto subscribe = [&](const char16_t* channel) {
        recorders.push_back(std::make_unique<Recorder>());
        handles.push_back(Subscribe(*recorders.back(), channel, u"*[System[(EventID=506)]]"));
    };
    subscribe(u"System");
    const size_t threads_one = Threads(), descriptors_one = Descriptors();
    EXPECT_LE(threads_one, threads_before + 1);
    for (int i = 1; i < 200; ++i) subscribe(u"System");
    subscribe(u"Application");
    EXPECT_EQ(OpenEventLogSubscriptions(), 201u);
    EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads_one), threads_one);
    EXPECT_EQ(Descriptors(), descriptors_one);

    Raise(u"System", 506);
    Raise(u"System", 507);
    Raise(u"Application", 506);
    for (auto& recorder : recorders) ASSERT_TRUE(recorder->WaitFor(1));
    // The Application entry came last, after both System ones were handed to every subscriber.
    std::set<std::thread::id> threads;
    for (size_t i = 0; i < recorders.size(); ++i) {
        auto seen = recorders[i]->Take();
        ASSERT_EQ(seen.size(), 1u) << i;
        EXPECT_EQ(seen[0].channel, i < 200 ? u"System" : u"Application");
        threads.insert(seen[0].thread);
    }
    EXPECT_EQ(threads.size(), 1u);

    // Closing all but one keeps the watcher; closing the last one ends its thread and descriptors.
    for (size_t i = 1; i < handles.size(); ++i) EXPECT_TRUE(EvtClose(handles[i]));
    Raise(u"System", 506);
    ASSERT_TRUE(recorders[0]->WaitFor(1));
    EXPECT_TRUE(EvtClose(handles[0]));
    EXPECT_EQ(zelko::testing::ThreadCountSettlingAt(threads_before), threads_before);
    EXPECT_EQ(Descriptors(), descriptors_before);
}

TEST_F(EventLogTest, AWatchThatCannotBeMadeNamesItsCause) {
    Recorder recorder;
    // A file where the channel's folder should be.
    std::filesystem::create_directories(SystemRoot() / "EventLog");
    std::ofstream(SystemRoot() / "EventLog" / "Blocked") << "in the way";
    SetLastError(0);
    EXPECT_EQ(EvtSubscribe(nullptr, nullptr, u"Blocked", u"*", nullptr, &recorder, &Recorder::Callback,
                           kEvtSubscribeToFutureEvents),
              nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_NE(GetLastError(), kErrorGenFailure);
    EXPECT_NE(EvtGetExtendedStatus().find((SystemRoot() / "EventLog" / "Blocked").string()), std::string::npos)
        << EvtGetExtendedStatus();

    // No descriptor left for the watcher: the limit is named, not a borrowed code.
    rlimit old_limit{};
    ::getrlimit(RLIMIT_NOFILE, &old_limit);
    rlimit none_left = old_limit;
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    none_left.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &none_left);
    EvtHandle refused = EvtSubscribe(nullptr, nullptr, u"System", u"*", nullptr, &recorder, &Recorder::Callback,
                                     kEvtSubscribeToFutureEvents);
    const uint32_t error = GetLastError();
    const std::string status = EvtGetExtendedStatus();
    ::setrlimit(RLIMIT_NOFILE, &old_limit);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(error, kErrorTooManyOpenFiles);
    EXPECT_NE(status.find("inotify instances"), std::string::npos) << status;

    // A later try succeeds once the cause is gone.
    EvtHandle handle = Subscribe(recorder, u"System", u"*");
    Raise(u"System", 9);
    ASSERT_TRUE(recorder.WaitFor(1));
    EvtClose(handle);
}

TEST_F(EventLogTest, RaiseCommand) {
    std::string error;
    const auto file = RaiseEventLogCommand({"raise", "Application", "134", "2"}, &error);
    ASSERT_TRUE(file) << error;
    std::ifstream in(*file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, R"({"event_id":134,"level":2})");
    EXPECT_EQ(file->parent_path(), SystemRoot() / "EventLog" / "Application");

    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{}, "usage"},
        {{"raise", "System"}, "usage"},
        {{"lower", "System", "1"}, "usage"},
        {{"raise", "System", "65536"}, "event id is not a number"},
        {{"raise", "System", "-1"}, "event id is not a number"},
        {{"raise", "System", "1", "256"}, "level is not a number"},
        {{"raise", "../x", "1"}, "not a channel name"},
    };
    for (const auto& [words, reason] : bad) {
        error.clear();
        EXPECT_FALSE(RaiseEventLogCommand(words, &error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace zelko::platform
