#pragma once

// Subscriptions to the system event log for the collectors that run on its entries: a plain one
// selects one event id on one channel, an extended one takes its queries from the encrypted query
// configuration. The owner subscribes and closes them; each delivered entry reaches the owner's
// callback as a WindowsEvent.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event_log.h"

namespace zelko::plenar::agent {

// One event-log entry, handed on by value.
class WindowsEvent {
  public:
    struct Pimpl {
        std::u16string channel;
        int32_t eventId = 0;
        std::u16string xml;
        int32_t level = 0;
    };

    WindowsEvent(std::u16string channel, int32_t eventId, std::u16string xml, int32_t level);
    WindowsEvent(const WindowsEvent& other);
    WindowsEvent& operator=(const WindowsEvent& other);
    virtual ~WindowsEvent();

    const std::u16string& channel() const { return _pimpl->channel; }
    int32_t eventId() const { return _pimpl->eventId; }
    const std::u16string& xml() const { return _pimpl->xml; }
    int32_t level() const { return _pimpl->level; }

  private:
    std::unique_ptr<Pimpl> _pimpl;
};

// Where the entries of a subscription go; the context is the one the subscription was made with.
using WindowsEventCallback = void (*)(void* context, WindowsEvent event);

class WindowsEventSubscription {
  public:
    struct Pimpl {
        // A plain subscription: its query selects the event id on the channel.
        Pimpl(std::u16string channel, int32_t eventId, int32_t level, void* context,
              WindowsEventCallback callback);
        // An extended subscription, with the queries of its id.
        Pimpl(int32_t eventId, void* context, WindowsEventCallback callback, std::u16string query,
              std::u16string summaryQuery);

        std::u16string channel;  // empty in an extended subscription
        int32_t eventId = 0;
        int32_t level = 0;  // kept for the owner, not used here
        WindowsEventCallback callback = nullptr;
        std::u16string query;
        std::u16string summaryQuery;  // empty in a plain subscription
        // Null until the owner subscribes; closed by the destructor, the assignment and the owner.
        platform::EvtHandle handle = nullptr;
        void* context = nullptr;
    };

    // Raises std::invalid_argument "channel cannot be null" for a null channel.
    WindowsEventSubscription(const char16_t* channel, int32_t eventId, int32_t level, void* context,
                             WindowsEventCallback callback);
    // A new subscription of the same selection; never shares the other's handle.
    WindowsEventSubscription(const WindowsEventSubscription& other);
    // Closes this subscription's handle, then takes the other's selection (not its handle).
    WindowsEventSubscription& operator=(const WindowsEventSubscription& other);
    virtual ~WindowsEventSubscription();

    // What the owner reads to subscribe, and where it keeps the handle. The object must stay at its
    // address while subscribed: the event log hands that address to the callback.
    Pimpl& pimpl() { return *_pimpl; }
    const Pimpl& pimpl() const { return *_pimpl; }

  protected:
    explicit WindowsEventSubscription(std::unique_ptr<Pimpl> pimpl);
    void CloseHandle();

    std::unique_ptr<Pimpl> _pimpl;
};

class WindowsEventExtSubscription : public WindowsEventSubscription {
  public:
    // Reads element eventId of "queries_by_evnet_id" in the encrypted query configuration beside the
    // executable. Raises std::logic_error "no executable path found", the configuration's errors
    // and the JSON library's type error for an id without an object.
    WindowsEventExtSubscription(int32_t eventId, void* context, WindowsEventCallback callback);
    // Keeps the other's queries (a copy made through the base would select by channel).
    WindowsEventExtSubscription(const WindowsEventExtSubscription& other);
    WindowsEventExtSubscription& operator=(const WindowsEventExtSubscription& other) = default;
    ~WindowsEventExtSubscription() override;
};

}  // namespace zelko::plenar::agent

// The event log's callback for every subscription made by an owner: the context is the
// WindowsEventSubscription. Renders the entry and hands it to the subscription's callback; an
// entry whose values cannot be read is dropped. Always returns 0.
uint32_t Win32SubscriptionCallback(zelko::platform::EvtSubscribeNotifyAction action, void* context,
                                   zelko::platform::EvtHandle event);
