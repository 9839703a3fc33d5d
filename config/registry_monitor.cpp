#include "config/registry_monitor.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "foundation/error_conversion.h"
#include "foundation/logging.h"
#include "foundation/registry_values.h"
#include "platform/kernel_objects.h"
#include "platform/registry.h"

namespace zelko::plenar::agent {

using shared::error::Error;
using shared::error::ErrorCategory;

namespace {

constexpr const char* kConstructorName = "zelko::plenar::agent::RegistryMonitor::RegistryMonitor";
constexpr const char* kMonitorName = "zelko::plenar::agent::RegistryMonitor::Monitor";
constexpr const char* kOrigin = "RegistryMonitor";

Error MonitorError(int32_t code, const std::string& message) {
    return Error(ErrorCategory::EC_Component, code, message, "int", kOrigin);
}

Error SystemError(int code, const char* message) {
    return error::ErrorFromSystemError(std::system_error(code, std::system_category(), message), kOrigin);
}

}  // namespace

RegistryData::RegistryData(const char* key_, const char* sub_key_, const char* value_) noexcept {
    try {
        if (key_ == nullptr) throw std::invalid_argument("key_ is null.");
        if (sub_key_ == nullptr) throw std::invalid_argument("sub_key is null.");
        if (value_ == nullptr) throw std::invalid_argument("value is null.");
        *this = RegistryData(std::string(key_), std::string(sub_key_), std::string(value_));
    } catch (const std::exception& e) {
        error = error::ErrorFromStdException(e, "RegistryData");
    }
}

RegistryData::RegistryData(const std::string& key_, const std::string& sub_key_,
                           const std::string& value_) noexcept {
    const char* step = "key_ allocation failed.";
    try {
        key = key_;
        step = "sub_key allocation failed.";
        sub_key = sub_key_;
        step = "value allocation failed.";
        value = value_;
    } catch (...) {
        key.clear();
        sub_key.clear();
        value.clear();
        try {
            error = error::ErrorFromStdException(std::logic_error(step), "RegistryData");
        } catch (...) {
            error = Error(ErrorCategory::EC_StdException, 1);
        }
    }
}

struct RegistryMonitor::State {
    platform::RegistryKey key;
    platform::RegistryHive hive = platform::RegistryHive::LocalMachine;
    std::unique_ptr<platform::RegistryChangeNotification> registryEvent;
    std::unique_ptr<platform::Event> stopEvent;
    std::string subKey;
    mutable std::mutex valuesMutex;
    std::map<std::string, RegistryData> values;
    ChangeCallback onChange;
    ErrorCallback onError;

    void Report(Error error) const { Call(onError, std::move(error), "error"); }
    void Changed(RegistryData data) const { Call(onChange, std::move(data), "change"); }

  private:
    // Callbacks belong to the owner; whatever they raise must not end the thread uncaught.
    template <typename Callback, typename Argument>
    static void Call(const Callback& callback, Argument argument, const char* which) {
        if (!callback) return;
        try {
            callback(std::move(argument));
        } catch (const std::exception& e) {
            LOG_ERROR << "Registry monitor " << which << " callback failed: " << e.what();
        } catch (...) {
            LOG_ERROR << "Registry monitor " << which << " callback failed";
        }
    }
};

RegistryMonitor::RegistryMonitor(const std::string& subKey,
                                 const std::vector<std::pair<std::string, std::string>>& values,
                                 ChangeCallback onChange, ErrorCallback onError)
    : state(std::make_shared<State>()) {
    state->stopEvent = platform::Event::Create(false, false);
    state->onChange = std::move(onChange);
    state->onError = std::move(onError);
    state->subKey = subKey;
    LOG_INFO << kConstructorName << " "
             << " Subscribing to registry changes";
    for (const auto& [name, defaultText] : values) {
        std::string text = ReadRegistryValueText(state->hive, subKey, name);
        if (text.empty()) {
            text = defaultText;
            WriteRegistryStringValue(state->hive, subKey, name, text);
        }
        state->values[name] = RegistryData(subKey, name, text);
    }
    LOG_DEBUG << kConstructorName << " "
              << " Staring the registry monitor thread...";
    thread = std::thread(&RegistryMonitor::Monitor, state);
}

RegistryMonitor::~RegistryMonitor() {
    LOG_INFO << "zelko::plenar::agent::RegistryMonitor::~RegistryMonitor"
             << " Closing registry event and registry.";
    if (state->stopEvent) state->stopEvent->Set();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        // Released inside one of its own callbacks: the thread ends on its own once the callback
        // returns, and keeps its data alive until then.
        thread.detach();
    } else {
        thread.join();
    }
}

std::string RegistryMonitor::GetValue(const std::string& name) const {
    std::lock_guard lock(state->valuesMutex);
    auto it = state->values.find(name);
    return it == state->values.end() ? std::string() : it->second.value;
}

void RegistryMonitor::Monitor(const std::shared_ptr<State>& shared) {
    State& state = *shared;
    LOG_INFO << kMonitorName << " "
             << " Registry monitor thread started";
    if (!state.stopEvent) {
        state.Report(MonitorError(-1, "Unable to create stop event"));
        return;
    }
    if (platform::RegistryKey::Open(state.hive, state.subKey, state.key) != platform::kErrorSuccess) {
        state.Report(MonitorError(-2, "Unable to open registry key"));
        return;
    }
    state.registryEvent = platform::RegistryChangeNotification::Create();
    if (!state.registryEvent) {
        state.Report(MonitorError(-3, "Unable to create registry event"));
        return;
    }
    if (state.registryEvent->Register(state.key, true, platform::kRegNotifyChangeLastSet) !=
        platform::kErrorSuccess) {
        state.Report(MonitorError(-4, "Error registering for change notifications"));
        return;
    }
    LOG_INFO << kMonitorName << " "
             << " Listening for registry changes...";
    while (true) {
        uint32_t result = platform::WaitForMultipleObjects({state.registryEvent.get(), state.stopEvent.get()},
                                                           platform::kInfinite);
        if (result == platform::kWaitObject0 + 1) {
            LOG_DEBUG << "RegistryMonitor: Stop event signaled";
            return;
        }
        if (result != platform::kWaitObject0) {
            state.Report(SystemError(errno, "WaitForMultipleObjects failed"));
            return;
        }
        // Registered again before the values are read, so changes made meanwhile are not lost.
        uint32_t status = state.registryEvent->Register(state.key, true, platform::kRegNotifyChangeLastSet);
        CompareValues(state);
        if (status != platform::kErrorSuccess) {
            state.Report(SystemError(static_cast<int>(status), "Error registering for change notifications"));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RegistryMonitor::CompareValues(State& state) {
    std::vector<std::string> names;
    {
        std::lock_guard lock(state.valuesMutex);
        for (const auto& [name, record] : state.values) names.push_back(name);
    }
    if (names.empty()) {
        state.Changed(RegistryData(state.subKey, std::string(), std::string()));
        return;
    }
    for (const std::string& name : names) {
        std::string current = ReadRegistryValueText(state.hive, state.subKey, name);
        RegistryData changed;
        {
            std::lock_guard lock(state.valuesMutex);
            RegistryData& stored = state.values[name];
            if (stored.value == current) continue;
            stored = RegistryData(state.subKey, name, current);
            changed = stored;
        }
        state.Changed(std::move(changed));
    }
}

}  // namespace zelko::plenar::agent
