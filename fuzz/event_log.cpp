// An event-log entry file as another process writes it into a channel's folder, read through the
// collectors' subscriptions: one plain subscription (an event id on a channel) and one that takes
// every entry of the channel, both answered by the agent's subscription callback.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "foundation/event.h"
#include "foundation/event_log_channel.h"
#include "fuzz/support.h"
#include "platform/event_log.h"
#include "platform/file_replace.h"
#include "telemetry/telemetry_records.h"
#include "telemetry/windows_event_subscription.h"

namespace {

using namespace zelko::plenar::agent;
namespace platform = zelko::platform;

std::mutex g_mutex;
std::condition_variable g_changed;
uint64_t g_answers = 0;  // of the every-entry subscription: deliveries and errors

// What the service does with a delivered entry: a 240 event of the entry's channel and level
// carrying its XML, queued for the collectors.
void Handed(void*, WindowsEvent event) {
    const Event posted(240, static_cast<uint32_t>(event.eventId()), event.xml().data(),
                       event.xml().size() * sizeof(char16_t), ParseEventChannel(event.channel()),
                       static_cast<uint32_t>(event.level()));
    const TelemetryEvent queued = MakeQueuedEvent(posted);
    (void)TelemetryEventFromJson(nlohmann::json::parse(TelemetryEventToJson(queued).dump()));
}

uint32_t CountingCallback(platform::EvtSubscribeNotifyAction action, void* context, platform::EvtHandle event) {
    const uint32_t result = Win32SubscriptionCallback(action, context, event);
    std::lock_guard lock(g_mutex);
    ++g_answers;
    g_changed.notify_all();
    return result;
}

struct Subscriptions {
    WindowsEventSubscription plain{u"System", 506, 4, nullptr, &Handed};
    WindowsEventSubscription every{u"System", 0, 4, nullptr, &Handed};
    Subscriptions() {
        zelko::fuzz::ResetFolder(zelko::fuzz::Root() / "EventLog" / "System");
        every.pimpl().query = u"<QueryList><Query Id=\"0\"><Select Path=\"System\">*</Select></Query></QueryList>";
        for (WindowsEventSubscription* subscription : {&plain, &every}) {
            auto& p = subscription->pimpl();
            p.handle = platform::EvtSubscribe(nullptr, nullptr, p.channel.c_str(), p.query.c_str(), nullptr,
                                              subscription, subscription == &every ? &CountingCallback
                                                                                   : &Win32SubscriptionCallback,
                                              platform::kEvtSubscribeToFutureEvents);
            if (p.handle == nullptr) {
                std::fprintf(stderr, "cannot subscribe: %s\n", platform::EvtGetExtendedStatus().c_str());
                std::abort();
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Subscriptions* subscriptions = new Subscriptions();  // open for the whole process
    (void)subscriptions;
    static uint64_t counter = 0;
    const auto file = zelko::fuzz::Root() / "EventLog" / "System" /
                      ("entry-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".json");
    std::unique_lock lock(g_mutex);
    const uint64_t before = g_answers;
    lock.unlock();
    // Written whole and renamed into place, as WriteEventLogEntry does.
    if (platform::ReplaceFileContent(file, std::string_view(reinterpret_cast<const char*>(data), size)) !=
        platform::FileReplace::Ok)
        std::abort();
    lock.lock();
    if (!g_changed.wait_for(lock, std::chrono::seconds(10), [&] { return g_answers > before; })) {
        std::fprintf(stderr, "the entry %s was neither delivered nor refused\n", file.c_str());
        std::abort();
    }
    lock.unlock();
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return 0;
}
