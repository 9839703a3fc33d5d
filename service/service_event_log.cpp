// The event-log subscriptions of the collectors' events 240 and 245: made with the telemetry
// module, opened once the required collectors have run, closed by Stopping; their entries reach
// the current state's handler as pseudo-controls. Also the control-channel verb that raises an
// entry in the simulated event log.

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

// Posts the entry to the current state's handler, on the scheduler's worker.
void PostWindowsEvent(Service* service, WindowsEvent event, bool extended) {
    if (service == nullptr || service->_scheduler.destroyed.load()) return;
    service->_scheduler.In(Duration::zero(), [service, event = std::move(event), extended] {
        if (service->_scheduler.destroyed.load()) return;
        const auto state = service->CurrentState();
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
}  // namespace

void Service::WindowsEventLogCallback(void* context, WindowsEvent event) {
    PostWindowsEvent(static_cast<Service*>(context), std::move(event), false);
}

void Service::WindowsEventExtCallback(void* context, WindowsEvent event) {
    PostWindowsEvent(static_cast<Service*>(context), std::move(event), true);
}

void Service::CreateWindowsEventSubscriptions(const std::vector<EventLogSubscriptionKey>& keys,
                                              const std::vector<int32_t>& ext_ids) {
    for (const auto& key : keys) {
        const std::u16string channel = EventChannelName(static_cast<uint32_t>(key.dwChannel));
        _win_event_subscriptions.push_back(std::make_shared<WindowsEventSubscription>(
            channel.c_str(), key.dwEventType, key.dwLevel, this, &Service::WindowsEventLogCallback));
    }
    for (const int32_t id : ext_ids) {
        // A missing or damaged query configuration costs the collectors of that id their event,
        // not the start of the whole agent.
        try {
            _win_event_ext_subscriptions[id] =
                std::make_shared<WindowsEventExtSubscription>(id, this, &Service::WindowsEventExtCallback);
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

void Service::OpenWindowsEventSubscriptions() {
    std::lock_guard lock(_win_event_mutex);
    // Stopping is current before it closes them under this lock: an opening that comes after the
    // closing must not leave them open.
    if (IsCurrentState("Stopping")) return;
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
    for (const auto& subscription : _win_event_subscriptions) {
        if (subscription) open(*subscription);
    }
    for (const auto& [id, subscription] : _win_event_ext_subscriptions) {
        if (subscription) open(*subscription);
    }
    if (!retry || _win_event_retry_pending) return;
    _win_event_retry_pending = true;
    _scheduler.In(_win_event_retry_delay, [this] {
        {
            std::lock_guard again(_win_event_mutex);
            _win_event_retry_pending = false;
        }
        OpenWindowsEventSubscriptions();
    });
}

void Service::CloseWindowsEventSubscriptions() {
    std::lock_guard lock(_win_event_mutex);
    auto close = [](WindowsEventSubscription& subscription) {
        auto& p = subscription.pimpl();
        if (p.handle == nullptr) return;
        platform::EvtClose(p.handle);
        p.handle = nullptr;
    };
    for (const auto& subscription : _win_event_subscriptions) {
        if (subscription) close(*subscription);
    }
    for (const auto& [id, subscription] : _win_event_ext_subscriptions) {
        if (subscription) close(*subscription);
    }
}

std::string HandleEventLogRequest(const std::vector<std::string>& words) {
    std::string error;
    const auto file = platform::RaiseEventLogCommand(words, &error);
    if (!file) return "error " + error;
    LOG_INFO << "Event log entry raised through the control channel: " << file->string();
    return "ok " + file->string();
}

}  // namespace zelko::plenar::agent
