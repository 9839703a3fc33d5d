// The control path (controls into the current state's handler, its default and processing steps)
// and the module event bus that carries module events to the telemetry, compliance and 1E modules.

#include "foundation/event_log_channel.h"
#include "foundation/logging.h"
#include "foundation/utils.h"
#include "jobs/acm_module.h"
#include "jobs/vev_e_module.h"
#include "platform/clock.h"
#include "platform/notifications.h"
#include "service/control_dispatch.h"
#include "service/service.h"
#include "telemetry/telemetry_module.h"

namespace zelko::plenar::agent {

namespace {
constexpr uint32_t kDroppedControl = 150;
constexpr uint32_t kRunPluginNow = 205;
constexpr uint32_t kTestAllCollectors = 211;
constexpr uint32_t kStopCollectors = 250;
constexpr uint32_t kUrgentStop = 251;
constexpr uint32_t kResumeCollectors = 252;
constexpr uint32_t kDeviceEvent = 11;
constexpr uint32_t kPowerEvent = 13;
constexpr uint32_t kScheduledEvent = 230;
constexpr uint32_t kWindowsEventLogEvent = 240;
constexpr uint32_t kWindowsEventExtEvent = 245;
}  // namespace

void Service::SvcCtrlHandlerImpl(uint32_t control, uint32_t event_type, void* event_data) {
    LOG_DEBUG << "Service handling control " << control << " with event type " << event_type << " time "
              << Utils::FormatUtcIso8601(platform::NowTicks());
    if (control == kDroppedControl) return;
    CurrentState()->OnProcess(control, event_type, 0, 0, event_data, 0);
}

bool Service::SvcCtrlHandlerImplDefault(uint32_t control) {
    switch (control) {
        case platform::kServiceControlStop:
            LOG_INFO << "Service received stop event. Stopping.OnEnter";
            SetState(Stopping);
            return false;
        case platform::kServiceControlShutdown:
            LOG_INFO << "Service received shut down event. Stopping.OnEnter";
            SetState(Stopping);
            return false;
        case kRunPluginNow: {
            if (_is_sleeping.load() || _in_wake_grace.load()) {
                LOG_INFO << "Service waiting for 60 sec after wake up";
                return true;
            }
            if (!InitCustomEventParams()) return true;
            LOG_INFO << _app.get_name() << " starting with configuration: " << _app.config_to_str();
            const std::string text = PluginRunEventText(_plugin_name, _plugin_payload_path);
            SendEventToModules(kRunPluginNow, 0, text.c_str(), text.size() + 1);
            return true;
        }
        case kTestAllCollectors:
            LOG_INFO << "Custom event for 211. Test all collectors";
            SendEventToModules(kPowerEvent, platform::kPbtApmResumeAutomatic);
            SendEventToModules(kDeviceEvent, platform::kDbtDeviceArrival);
            SendEventToModules(kDeviceEvent, platform::kDbtDeviceRemoveComplete);
            return true;
        case kStopCollectors:
        case kUrgentStop:
        case kResumeCollectors:
            SendEventToModules(control, 0);
            return true;
        default:
            return true;
    }
}

bool Service::SvcCtrlHandlerImplProcessing(uint32_t control, uint32_t event_type, uint32_t channel,
                                           uint32_t level, void* data, uint64_t size) {
    // Notifications reach the modules only once the required collectors have run on this device.
    if (!_required_on_start_done.load()) return true;
    switch (control) {
        case kDeviceEvent:
            if (const auto record_size = DeviceEventToForward(event_type, data)) {
                SendEventToModules(kDeviceEvent, event_type, data, *record_size);
            }
            break;
        case kPowerEvent:
            LOG_INFO << "Power/Device Event notifications received, dwControl: " << control
                     << " dwEventType: " << event_type;
            SendEventToModules(kPowerEvent, event_type);
            break;
        case kScheduledEvent:
            SendEventToModules(kScheduledEvent, event_type);
            break;
        case kWindowsEventLogEvent:
            LOG_INFO << "WindowsEvent: dwChannel " << NarrowText(EventChannelName(channel)) << " dwEventType "
                     << event_type << " dwLevel " << level;
            SendWindowsEventToModules(channel, event_type, level, data, size);
            break;
        case kWindowsEventExtEvent:
            LOG_INFO << "WindowsEventExt: EventType "
                     << " dwEventType " << event_type;
            SendWindowsEventExtToModules(event_type, data, size);
            break;
        default:
            break;
    }
    return true;
}

bool Service::InitCustomEventParams() {
    return ParsePluginRunParameters(_app, _cli_params_path, _plugin_payload_path);
}

void Service::SendEventToModules(uint32_t control, uint32_t event_type) {
    SendEventToModules(control, event_type, nullptr, 0);
}

void Service::SendEventToModules(uint32_t control, uint32_t event_type, const void* data, uint64_t size) {
    PostEventToModules(Event(control, event_type, data, size), false);
}

void Service::SendWindowsEventToModules(uint32_t channel, uint32_t event_type, uint32_t level,
                                        const void* data, uint64_t size) {
    PostEventToModules(Event(kWindowsEventLogEvent, event_type, data, size, channel, level), true);
}

void Service::SendWindowsEventExtToModules(uint32_t event_type, const void* data, uint64_t size) {
    PostEventToModules(Event(kWindowsEventExtEvent, event_type, data, size), true);
}

void Service::PostEventToModules(Event event, bool telemetry_only) {
    // An event of a stopping service would only arrive late; it is dropped here already.
    if (_stopping.load() || _scheduler.destroyed.load()) {
        LOG_DEBUG << "Event " << event.dwControl << " dropped: the service is stopping";
        return;
    }
    _scheduler.In(Duration::zero(), [this, event = std::move(event), telemetry_only]() mutable {
        if (_scheduler.destroyed.load() || _stopping.load()) return;
        if (_modules.telemetry_module) _modules.telemetry_module->Process(event);
        if (telemetry_only) return;
        if (_modules.acm_module) _modules.acm_module->Process(event);
        if (_modules.onee_module) _modules.onee_module->Process(event);
    });
}

}  // namespace zelko::plenar::agent
