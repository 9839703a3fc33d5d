#include "telemetry/windows_event_subscription.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "foundation/logging.h"
#include "foundation/utils.h"
#include "platform/last_error.h"

namespace zelko::plenar::agent {

namespace {

// Values are read into this many bytes first; a larger buffer only when the log asks for one.
constexpr uint32_t kValuesBufferBytes = 6144;

std::u16string ToWide(const std::string& text) { return Utils::Utf8ToWideChecked(text); }

std::u16string PlainQuery(const std::u16string& channel, int32_t eventId) {
    const std::u16string id = ToWide(std::to_string(eventId));
    return u"<QueryList><Query Id=\"0\" Path=\"" + channel + u"\"><Select Path=\"" + channel +
           u"\">*[System[(EventID=" + id + u")]]</Select></Query></QueryList>";
}

}  // namespace

WindowsEvent::WindowsEvent(std::u16string channel, int32_t eventId, std::u16string xml, int32_t level)
    : _pimpl(std::make_unique<Pimpl>(Pimpl{std::move(channel), eventId, std::move(xml), level})) {}

WindowsEvent::WindowsEvent(const WindowsEvent& other) : _pimpl(std::make_unique<Pimpl>(*other._pimpl)) {}

WindowsEvent& WindowsEvent::operator=(const WindowsEvent& other) {
    if (this != &other) *_pimpl = *other._pimpl;
    return *this;
}

WindowsEvent::~WindowsEvent() = default;

WindowsEventSubscription::Pimpl::Pimpl(std::u16string channel, int32_t eventId, int32_t level, void* context,
                                       WindowsEventCallback callback)
    : channel(std::move(channel)), eventId(eventId), level(level), callback(callback), context(context) {
    query = PlainQuery(this->channel, eventId);
    LOG_DEBUG << "EventID= " << eventId << " channel: " << this->channel << " Query: " << query;
}

WindowsEventSubscription::Pimpl::Pimpl(int32_t eventId, void* context, WindowsEventCallback callback,
                                       std::u16string query, std::u16string summaryQuery)
    : eventId(eventId),
      callback(callback),
      query(std::move(query)),
      summaryQuery(std::move(summaryQuery)),
      context(context) {
    LOG_DEBUG << "ID= " << eventId << " Query: " << this->query;
    LOG_DEBUG << "ID= " << eventId << " SummaryQuery: " << this->summaryQuery;
}

namespace {
std::u16string CheckedChannel(const char16_t* channel) {
    if (channel == nullptr) throw std::invalid_argument("channel cannot be null");
    return channel;
}
}  // namespace

WindowsEventSubscription::WindowsEventSubscription(const char16_t* channel, int32_t eventId, int32_t level,
                                                   void* context, WindowsEventCallback callback)
    : _pimpl(std::make_unique<Pimpl>(CheckedChannel(channel), eventId, level, context, callback)) {}

WindowsEventSubscription::WindowsEventSubscription(const WindowsEventSubscription& other)
    : _pimpl(std::make_unique<Pimpl>(other._pimpl->channel, other._pimpl->eventId, other._pimpl->level,
                                     other._pimpl->context, other._pimpl->callback)) {}

WindowsEventSubscription::WindowsEventSubscription(std::unique_ptr<Pimpl> pimpl) : _pimpl(std::move(pimpl)) {}

WindowsEventSubscription& WindowsEventSubscription::operator=(const WindowsEventSubscription& other) {
    if (!_pimpl) _pimpl = std::make_unique<Pimpl>(std::u16string(), 0, 0, nullptr, nullptr);
    CloseHandle();
    _pimpl->channel = other._pimpl->channel;
    _pimpl->eventId = other._pimpl->eventId;
    _pimpl->level = other._pimpl->level;
    _pimpl->context = other._pimpl->context;
    _pimpl->callback = other._pimpl->callback;
    _pimpl->query = other._pimpl->query;
    _pimpl->summaryQuery = other._pimpl->summaryQuery;
    return *this;
}

WindowsEventSubscription::~WindowsEventSubscription() { CloseHandle(); }

void WindowsEventSubscription::CloseHandle() {
    if (_pimpl && _pimpl->handle) {
        platform::EvtClose(_pimpl->handle);
        _pimpl->handle = nullptr;
    }
}

namespace {
std::unique_ptr<WindowsEventSubscription::Pimpl> ExtPimpl(int32_t eventId, void* context,
                                                          WindowsEventCallback callback) {
    const auto folder = Utils::GetExecutableDirectory();
    if (folder.empty()) throw std::logic_error("no executable path found");
    const nlohmann::json config = Utils::LoadWinEventsConfig(folder, "Configuration Files");
    // An id without an element reads as null, whose value() raises the JSON library's type error,
    // as does an element that is not an object.
    const nlohmann::json& queries = config["queries_by_evnet_id"];
    const nlohmann::json element = eventId >= 0 && static_cast<size_t>(eventId) < queries.size()
                                       ? queries[static_cast<size_t>(eventId)]
                                       : nlohmann::json();
    auto text = [&](const char* key) { return ToWide(element.value(key, std::string())); };
    std::u16string query = text("on_event");
    std::u16string summary = text("on_summary");
    return std::make_unique<WindowsEventSubscription::Pimpl>(eventId, context, callback, std::move(query),
                                                             std::move(summary));
}
}  // namespace

WindowsEventExtSubscription::WindowsEventExtSubscription(int32_t eventId, void* context,
                                                         WindowsEventCallback callback)
    : WindowsEventSubscription(ExtPimpl(eventId, context, callback)) {}

WindowsEventExtSubscription::WindowsEventExtSubscription(const WindowsEventExtSubscription& other)
    : WindowsEventSubscription(std::make_unique<Pimpl>(other._pimpl->eventId, other._pimpl->context,
                                                       other._pimpl->callback, other._pimpl->query,
                                                       other._pimpl->summaryQuery)) {}

WindowsEventExtSubscription::~WindowsEventExtSubscription() = default;

}  // namespace zelko::plenar::agent

uint32_t Win32SubscriptionCallback(zelko::platform::EvtSubscribeNotifyAction action, void* context,
                                   zelko::platform::EvtHandle event) {
    namespace platform = zelko::platform;
    using zelko::plenar::agent::WindowsEvent;
    using zelko::plenar::agent::WindowsEventSubscription;

    if (action != platform::EvtSubscribeActionDeliver) {
        // The handle is an error number; the entry it stands for cannot be read.
        LOG_WARNING << "Event log subscription error " << reinterpret_cast<uintptr_t>(event) << ": "
                    << platform::EvtGetExtendedStatus();
        return 0;
    }

    std::u16string xml;
    uint32_t used = 0;
    uint32_t count = 0;
    if (!platform::EvtRender(nullptr, event, platform::kEvtRenderEventXml, 0, nullptr, &used, &count) &&
        platform::GetLastError() == platform::kErrorInsufficientBuffer && used >= sizeof(char16_t)) {
        std::u16string rendered(used / sizeof(char16_t), u'\0');
        if (platform::EvtRender(nullptr, event, platform::kEvtRenderEventXml, used, rendered.data(), &used,
                                &count)) {
            xml = rendered.c_str();
        }
    }

    const char16_t* paths[] = {u"Event/System/Channel", u"Event/System/EventID"};
    platform::EvtHandle render_context =
        platform::EvtCreateRenderContext(2, paths, platform::kEvtRenderContextValues);
    if (render_context == nullptr) return 0;
    std::vector<platform::EvtVariant> values(
        (zelko::plenar::agent::kValuesBufferBytes + sizeof(platform::EvtVariant) - 1) /
        sizeof(platform::EvtVariant));
    bool rendered =
        platform::EvtRender(render_context, event, platform::kEvtRenderEventValues,
                            zelko::plenar::agent::kValuesBufferBytes, values.data(), &used, &count);
    if (!rendered && platform::GetLastError() == platform::kErrorInsufficientBuffer) {
        values.resize((used + sizeof(platform::EvtVariant) - 1) / sizeof(platform::EvtVariant));
        rendered = platform::EvtRender(render_context, event, platform::kEvtRenderEventValues,
                                       static_cast<uint32_t>(values.size() * sizeof(platform::EvtVariant)),
                                       values.data(), &used, &count);
    }
    platform::EvtClose(render_context);
    if (!rendered || count < 2) return 0;

    const platform::EvtVariant& channel_value = values[0];
    std::u16string channel;
    if (channel_value.Type == platform::EvtVarTypeString && channel_value.StringVal != nullptr) {
        channel = channel_value.StringVal;
    }
    const int32_t event_id = values[1].Type == platform::EvtVarTypeUInt16 ? values[1].UInt16Val : 0;
    WindowsEvent windows_event(channel, event_id, xml, 0);

    const auto* subscription = static_cast<const WindowsEventSubscription*>(context);
    const auto& pimpl = subscription->pimpl();
    if (pimpl.callback != nullptr) pimpl.callback(pimpl.context, windows_event);
    LOG_DEBUG << "Windows Event: " << channel << " " << event_id;
    return 0;
}
