#pragma once

// The event-log subscriptions of the collectors' events 240 and 245: made with the telemetry
// module, opened once the required collectors have run, closed by Stopping; their entries reach
// the current state's handler as pseudo-controls, on the scheduler's worker.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/scheduler.h"
#include "state_machine/service_state.h"

namespace zelko::plenar::agent {

class WindowsEvent;
class WindowsEventExtSubscription;
class WindowsEventSubscription;

// What a collector's event-log event selects: the channel number, the event id and its level.
struct EventLogSubscriptionKey {
    int32_t dwChannel = 0;
    int32_t dwEventType = 0;
    int32_t dwLevel = 0;
};

class EventLogSubscriptions {
  public:
    struct Host {
        // The state whose handler gets the entries.
        std::function<std::shared_ptr<const ServiceState>()> current_state;
        // Stopping is the current state: nothing opens any more.
        std::function<bool()> stopping;
    };

    EventLogSubscriptions(Scheduler& scheduler, Host host);
    EventLogSubscriptions(const EventLogSubscriptions&) = delete;
    EventLogSubscriptions& operator=(const EventLogSubscriptions&) = delete;

    // The event log's callbacks of the plain and the extended subscriptions (context: this
    // object): each posts the entry to the current state's handler as control 240 or 245.
    static void LogCallback(void* context, WindowsEvent event);
    static void ExtCallback(void* context, WindowsEvent event);

    // Makes one plain subscription per key, in order, and one extended subscription per query id
    // (a repeated id replaces the earlier one). An id whose queries cannot be read from the query
    // configuration is logged and gets none.
    void Create(const std::vector<EventLogSubscriptionKey>& keys, const std::vector<int32_t>& ext_ids);
    // Subscribes every subscription that is not open: the plain ones in order, then the extended
    // ones by id. A refused one is logged and stays closed; one that failed for want of something
    // that may come back (watches, descriptors, its folder) is tried again after the retry delay.
    void Open();
    // Closes every open subscription.
    void Close();
    // Closes and forgets them all: their module set is gone.
    void Clear();

    void SetRetryDelay(Duration delay) { _retry_delay = delay; }
    // The subscriptions themselves, for tests; not while another thread opens or closes them.
    std::vector<std::shared_ptr<WindowsEventSubscription>>& plain() { return _plain; }
    std::map<int32_t, std::shared_ptr<WindowsEventExtSubscription>>& extended() { return _extended; }

  private:
    void Post(WindowsEvent event, bool extended);

    Scheduler& _scheduler;
    Host _host;
    std::vector<std::shared_ptr<WindowsEventSubscription>> _plain;
    std::map<int32_t, std::shared_ptr<WindowsEventExtSubscription>> _extended;
    // Opening (on the worker) and closing (also on a stop request's thread) of the subscriptions.
    std::mutex _mutex;
    Duration _retry_delay = std::chrono::minutes(1);
    bool _retry_pending = false;  // under _mutex
};

}  // namespace zelko::plenar::agent
