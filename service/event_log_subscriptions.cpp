#include "service/event_log_subscriptions.h"

#include <memory>

#include "foundation/event_log_channel.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/event_log.h"
#include "platform/last_error.h"
#include "service/service.h"
#include "telemetry/windows_event_subscription.h"

namespace zelko::plenar::agent {

namespace {
constexpr uint32_t kWindowsEventLogEvent = 240;
constexpr uint32_t kWindowsEventExtEvent = 245;
}  // namespace

EventLogSubscriptions::EventLogSubscriptions(Scheduler& scheduler, Host host)
    : _scheduler(scheduler), _host(std::move(host)) {}

void EventLogSubscriptions::Post(WindowsEvent event, bool extended) {
    if (_scheduler.destroyed.load()) return;
    _scheduler.In(Duration::zero(), [this, event = std::move(event), extended] {
        if (_scheduler.destroyed.load()) return;
        const auto state = _host.current_state();
        if (!state || !state->OnProcess) return;
        auto* xml = const_cast<char16_t*>(event.xml().data());
        const uint64_t size = event.xml().size() * sizeof(char16_t);
        const auto id = static_cast<uint32_t>(event.eventId());
        if (extended) {
            state->OnProcess(kWindowsEventExtEvent, id, 0, 0, xml, size);
        } else {
            state->OnProcess(kWindowsEventLogEvent, id, ParseEventChannel(event.channel()),
                             static_cast<uint32_t>(event.level()), xml, size);
        }
    });
}

void EventLogSubscriptions::LogCallback(void* context, WindowsEvent event) {
    if (context != nullptr) static_cast<EventLogSubscriptions*>(context)->Post(std::move(event), false);
}

void EventLogSubscriptions::ExtCallback(void* context, WindowsEvent event) {
    if (context != nullptr) static_cast<EventLogSubscriptions*>(context)->Post(std::move(event), true);
}

void EventLogSubscriptions::Create(const std::vector<EventLogSubscriptionKey>& keys,
                                   const std::vector<int32_t>& ext_ids) {
    for (const auto& key : keys) {
        const std::u16string channel = EventChannelName(static_cast<uint32_t>(key.dwChannel));
        _plain.push_back(std::make_shared<WindowsEventSubscription>(
            channel.c_str(), key.dwEventType, key.dwLevel, this, &EventLogSubscriptions::LogCallback));
    }
    for (const int32_t id : ext_ids) {
        // A missing or damaged query configuration costs the collectors of that id their event,
        // not the start of the whole agent.
        try {
            _extended[id] =
                std::make_shared<WindowsEventExtSubscription>(id, this, &EventLogSubscriptions::ExtCallback);
        } catch (const std::exception& e) {
            LOG_WARNING
                << "No event-log subscription for query id " << id << " from "
                << (Utils::GetExecutableDirectory() / kConfigFolderName / "win-events-config.ejson").string()
                << ": " << e.what();
            continue;
        }
        LOG_DEBUG << "Subscription WindowsEventExt ID " << id;
    }
}

void EventLogSubscriptions::Open() {
    std::lock_guard lock(_mutex);
    // Stopping is current before it closes them under this lock: an opening that comes after the
    // closing must not leave them open.
    if (_host.stopping()) return;
    bool retry = false;
    auto open = [&](WindowsEventSubscription& subscription) {
        auto& p = subscription.pimpl();
        if (p.handle != nullptr) return;
        // The subscription's own address comes back to the callback: it lives on the heap and
        // does not move while subscribed.
        p.handle = platform::EvtSubscribe(nullptr, nullptr, p.channel.c_str(), p.query.c_str(), nullptr,
                                          &subscription, &Win32SubscriptionCallback,
                                          platform::kEvtSubscribeToFutureEvents);
        if (p.handle != nullptr) return;
        const uint32_t error = platform::GetLastError();
        const std::string status = platform::EvtGetExtendedStatus();
        // A query or channel the event log refuses stays refused; anything else may pass later.
        const bool refused = error == platform::kErrorEvtInvalidQuery || error == platform::kErrorEvtChannelNotFound ||
                             error == platform::kErrorInvalidParameter || error == platform::kErrorNotSupported;
        retry = retry || !refused;
        LOG_WARNING << "Failed to subscribe to event id " << p.eventId << " channel: " << p.channel
                    << " - GetLastError: " << error << (status.empty() ? "" : " - " + status)
                    << (refused ? "" : " - tried again later");
    };
    for (const auto& subscription : _plain) {
        if (subscription) open(*subscription);
    }
    for (const auto& [id, subscription] : _extended) {
        if (subscription) open(*subscription);
    }
    if (!retry || _retry_pending) return;
    _retry_pending = true;
    _scheduler.In(_retry_delay, [this] {
        {
            std::lock_guard again(_mutex);
            _retry_pending = false;
        }
        Open();
    });
}

void EventLogSubscriptions::Close() {
    std::lock_guard lock(_mutex);
    auto close = [](WindowsEventSubscription& subscription) {
        auto& p = subscription.pimpl();
        if (p.handle == nullptr) return;
        platform::EvtClose(p.handle);
        p.handle = nullptr;
    };
    for (const auto& subscription : _plain) {
        if (subscription) close(*subscription);
    }
    for (const auto& [id, subscription] : _extended) {
        if (subscription) close(*subscription);
    }
}

void EventLogSubscriptions::Clear() {
    Close();
    std::lock_guard lock(_mutex);
    _plain.clear();
    _extended.clear();
}

}  // namespace zelko::plenar::agent
