#include "platform/notifications.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <variant>

#include "platform/network.h"

namespace zelko::platform {

namespace {

constexpr size_t kInterfaceFixedSize = offsetof(DeviceBroadcastInterface, dbcc_name);
constexpr size_t kSettingFixedSize = offsetof(PowerBroadcastSetting, Data);

struct SuspendResumeItem {
    uint32_t type;
};
struct PowerSettingItem {
    Guid setting;
    RecordBytes record;
};
struct DeviceItem {
    uint32_t event_type;
    RecordBytes record;
};
struct NetworkItem {
    uint32_t flags;
};
using Item = std::variant<SuspendResumeItem, PowerSettingItem, DeviceItem, NetworkItem>;

struct Registration {
    enum Kind { kSuspendResume, kPowerSetting, kDevice, kServicePowerSetting, kNetwork } kind;
    Guid setting;
    SuspendResumeCallback suspend_resume;
    PowerSettingCallback power_setting;
    ServiceControlSink sink;
    NetworkConnectivityCallback network = {};
};

// Owns the queue and the delivery thread. Created at first use, so it is destroyed (and its thread
// joined) before objects constructed earlier, such as a global service.
class Hub {
  public:
    static Hub& Instance() {
        static Hub hub;
        return hub;
    }

    ~Hub() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        queue_cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    NotificationHandle Add(Registration registration) {
        std::lock_guard lock(mutex_);
        NotificationHandle handle = next_handle_++;
        registrations_.emplace(handle, std::move(registration));
        return handle;
    }

    bool Remove(NotificationHandle handle) {
        std::unique_lock lock(mutex_);
        if (registrations_.erase(handle) == 0) return false;
        // Wait out a delivery in flight to this handle, unless this is that delivery.
        if (std::this_thread::get_id() != delivery_thread_id_) {
            idle_cv_.wait(lock, [&] { return delivering_ != handle; });
        }
        return true;
    }

    void Push(Item item) {
        {
            std::lock_guard lock(mutex_);
            if (quit_) return;
            queue_.push_back(std::move(item));
            ++pushed_;
            if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
        }
        queue_cv_.notify_one();
    }

    void Flush() {
        std::unique_lock lock(mutex_);
        if (std::this_thread::get_id() == delivery_thread_id_) return;
        const uint64_t target = pushed_;
        idle_cv_.wait(lock, [&] { return delivered_ >= target || quit_; });
    }

  private:
    Hub() = default;

    void Run() {
        std::unique_lock lock(mutex_);
        delivery_thread_id_ = std::this_thread::get_id();
        while (true) {
            queue_cv_.wait(lock, [&] { return quit_ || !queue_.empty(); });
            if (quit_) break;
            Item item = std::move(queue_.front());
            queue_.pop_front();
            std::vector<NotificationHandle> targets;
            for (auto& [handle, registration] : registrations_) targets.push_back(handle);
            for (NotificationHandle handle : targets) {
                auto it = registrations_.find(handle);
                if (it == registrations_.end()) continue;
                Registration registration = it->second;
                delivering_ = handle;
                lock.unlock();
                Deliver(registration, item);
                lock.lock();
                delivering_ = 0;
                idle_cv_.notify_all();
            }
            ++delivered_;
            idle_cv_.notify_all();
        }
    }

    static void Deliver(const Registration& r, const Item& item) {
        try {
            if (auto* sr = std::get_if<SuspendResumeItem>(&item)) {
                if (r.kind == Registration::kSuspendResume) r.suspend_resume(sr->type, nullptr);
            } else if (auto* ps = std::get_if<PowerSettingItem>(&item)) {
                const auto* setting = reinterpret_cast<const PowerBroadcastSetting*>(ps->record.data());
                if (!(r.setting == ps->setting)) return;
                if (r.kind == Registration::kPowerSetting) r.power_setting(kPbtPowerSettingChange, setting);
                if (r.kind == Registration::kServicePowerSetting) {
                    r.sink(kNotifyPowerEventControl, kPbtPowerSettingChange, setting);
                }
            } else if (auto* dev = std::get_if<DeviceItem>(&item)) {
                if (r.kind == Registration::kDevice) {
                    r.sink(kNotifyDeviceEventControl, dev->event_type, dev->record.data());
                }
            } else if (auto* net = std::get_if<NetworkItem>(&item)) {
                if (r.kind == Registration::kNetwork) r.network(net->flags);
            }
        } catch (...) {
            // A receiver's failure must not end the notification thread for everyone else.
        }
    }

    std::mutex mutex_;
    std::condition_variable queue_cv_;
    std::condition_variable idle_cv_;
    std::deque<Item> queue_;
    std::map<NotificationHandle, Registration> registrations_;
    NotificationHandle next_handle_ = 1;
    NotificationHandle delivering_ = 0;
    uint64_t pushed_ = 0;
    uint64_t delivered_ = 0;
    bool quit_ = false;
    std::thread::id delivery_thread_id_;
    std::thread thread_;
};

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 0x6) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c >> 4) == 0xE) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c >> 3) == 0x1E) {
            cp = c & 0x07;
            extra = 3;
        } else {
            cp = 0xFFFD;
        }
        ++i;
        for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) cp = (cp << 6) | (text[i] & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::vector<std::string> Words(std::string_view command) {
    std::istringstream in{std::string(command)};
    std::vector<std::string> words;
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

bool ParseNumber(const std::string& text, uint32_t& out) {
    try {
        size_t used = 0;
        unsigned long value = std::stoul(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFul) return false;
        out = static_cast<uint32_t>(value);
        return true;
    } catch (...) {
        return false;
    }
}

bool Fail(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return false;
}

}  // namespace

RecordBytes MakeDeviceInterfaceBroadcast(const Guid& interface_class, std::u16string_view name) {
    const size_t size = kInterfaceFixedSize + (name.size() + 1) * sizeof(char16_t);
    RecordBytes bytes(std::max(size, sizeof(DeviceBroadcastInterface)), 0);
    DeviceBroadcastInterface fixed{};
    fixed.dbcc_size = static_cast<uint32_t>(size);
    fixed.dbcc_devicetype = kDbtDevtypDeviceInterface;
    fixed.dbcc_classguid = interface_class;
    std::memcpy(bytes.data(), &fixed, kInterfaceFixedSize);
    std::memcpy(bytes.data() + kInterfaceFixedSize, name.data(), name.size() * sizeof(char16_t));
    bytes.resize(size);
    return bytes;
}

RecordBytes MakeDeviceBroadcastHeader(uint32_t device_type) {
    DeviceBroadcastHeader header{sizeof(DeviceBroadcastHeader), device_type, 0};
    RecordBytes bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

RecordBytes MakePowerBroadcastSetting(const Guid& setting, const std::vector<uint8_t>& data) {
    RecordBytes bytes(std::max(kSettingFixedSize + data.size(), sizeof(PowerBroadcastSetting)), 0);
    std::memcpy(bytes.data(), &setting, sizeof setting);
    const uint32_t length = static_cast<uint32_t>(data.size());
    std::memcpy(bytes.data() + offsetof(PowerBroadcastSetting, DataLength), &length, sizeof length);
    if (!data.empty()) std::memcpy(bytes.data() + kSettingFixedSize, data.data(), data.size());
    return bytes;
}

std::optional<uint32_t> ReadBroadcastDeviceType(const void* record) {
    if (record == nullptr) return std::nullopt;
    uint32_t size = 0;
    std::memcpy(&size, record, sizeof size);
    if (size < sizeof(DeviceBroadcastHeader)) return std::nullopt;
    DeviceBroadcastHeader header;
    std::memcpy(&header, record, sizeof header);
    return header.dbch_devicetype;
}

std::optional<DeviceInterfaceInfo> ReadDeviceInterfaceBroadcast(const void* record) {
    auto type = ReadBroadcastDeviceType(record);
    if (!type || *type != kDbtDevtypDeviceInterface) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(record);
    DeviceInterfaceInfo info;
    std::memcpy(&info.size, bytes, sizeof info.size);
    if (info.size < kInterfaceFixedSize) return std::nullopt;
    std::memcpy(&info.interface_class, bytes + offsetof(DeviceBroadcastInterface, dbcc_classguid),
                sizeof(Guid));
    const size_t chars = (info.size - kInterfaceFixedSize) / sizeof(char16_t);
    for (size_t i = 0; i < chars; ++i) {
        char16_t c;
        std::memcpy(&c, bytes + kInterfaceFixedSize + i * sizeof(char16_t), sizeof c);
        if (c == 0) break;
        info.name.push_back(c);
    }
    return info;
}

std::optional<uint8_t> ReadPowerSettingByte(const PowerBroadcastSetting* setting) {
    if (setting == nullptr || setting->DataLength < 1) return std::nullopt;
    return setting->Data[0];
}

NotificationHandle RegisterSuspendResumeNotification(SuspendResumeCallback callback) {
    if (!callback) return 0;
    Registration r{Registration::kSuspendResume, {}, std::move(callback), {}, {}};
    return Hub::Instance().Add(std::move(r));
}

NotificationHandle RegisterPowerSettingNotification(const Guid& setting, PowerSettingCallback callback) {
    if (!callback) return 0;
    Registration r{Registration::kPowerSetting, setting, {}, std::move(callback), {}};
    return Hub::Instance().Add(std::move(r));
}

NotificationHandle RegisterDeviceInterfaceNotification(ServiceControlSink sink) {
    if (!sink) return 0;
    Registration r{Registration::kDevice, {}, {}, {}, std::move(sink)};
    return Hub::Instance().Add(std::move(r));
}

NotificationHandle RegisterServicePowerSettingNotification(const Guid& setting, ServiceControlSink sink) {
    if (!sink) return 0;
    Registration r{Registration::kServicePowerSetting, setting, {}, {}, std::move(sink)};
    return Hub::Instance().Add(std::move(r));
}

NotificationHandle RegisterNetworkConnectivityNotification(NetworkConnectivityCallback callback) {
    if (!callback) return 0;
    Registration r{Registration::kNetwork, {}, {}, {}, {}, std::move(callback)};
    return Hub::Instance().Add(std::move(r));
}

bool UnregisterNotification(NotificationHandle handle) {
    return handle != 0 && Hub::Instance().Remove(handle);
}

void InjectSuspendResume(uint32_t type) { Hub::Instance().Push(SuspendResumeItem{type}); }

void InjectPowerSetting(const Guid& setting, std::vector<uint8_t> data) {
    Hub::Instance().Push(PowerSettingItem{setting, MakePowerBroadcastSetting(setting, data)});
}

void InjectDeviceEvent(uint32_t event_type, RecordBytes record) {
    // Every record handed on carries at least a whole header, so receivers never read past it.
    if (record.size() < sizeof(DeviceBroadcastHeader)) record.resize(sizeof(DeviceBroadcastHeader), 0);
    Hub::Instance().Push(DeviceItem{event_type, std::move(record)});
}

void InjectNetworkConnectivity(uint32_t flags) { Hub::Instance().Push(NetworkItem{flags}); }

void FlushNotifications() { Hub::Instance().Flush(); }

bool InjectNotificationCommand(std::string_view command, std::string* error) {
    const auto words = Words(command);
    if (words.empty()) return Fail(error, "empty notification command");
    const std::string& what = words[0];
    if (what == "power" && words.size() == 2) {
        uint32_t type = 0;
        if (words[1] == "suspend") {
            type = kPbtApmSuspend;
        } else if (words[1] == "resume") {
            type = kPbtApmResumeAutomatic;
        } else if (words[1] == "resume-user") {
            type = kPbtApmResumeSuspend;
        } else if (!ParseNumber(words[1], type)) {
            return Fail(error, "unknown power event: " + words[1]);
        }
        InjectSuspendResume(type);
        return true;
    }
    if (what == "standby" && words.size() == 2 && (words[1] == "enter" || words[1] == "exit")) {
        InjectPowerSetting(kModernStandbySetting, {static_cast<uint8_t>(words[1] == "enter" ? 1 : 0)});
        return true;
    }
    if (what == "acdc" && words.size() == 2) {
        uint32_t source = 0;
        if (words[1] == "ac") {
            source = kPowerSourceAc;
        } else if (words[1] == "dc") {
            source = kPowerSourceDc;
        } else if (words[1] == "ups") {
            source = kPowerSourceShortTerm;
        } else {
            return Fail(error, "unknown power source: " + words[1]);
        }
        std::vector<uint8_t> data(sizeof source);
        std::memcpy(data.data(), &source, sizeof source);
        InjectPowerSetting(kAcDcPowerSourceSetting, std::move(data));
        return true;
    }
    auto event_type = [&](const std::string& word, uint32_t& out) {
        if (word == "arrival") {
            out = kDbtDeviceArrival;
        } else if (word == "removal") {
            out = kDbtDeviceRemoveComplete;
        } else if (word == "query-remove") {
            out = kDbtDeviceQueryRemove;
        } else {
            return ParseNumber(word, out);
        }
        return true;
    };
    if (what == "device" && words.size() >= 3) {
        uint32_t type = 0;
        if (!event_type(words[1], type)) return Fail(error, "unknown device event: " + words[1]);
        auto guid = ParseGuid(words[2]);
        if (!guid) return Fail(error, "not a GUID: " + words[2]);
        std::string name;
        for (size_t i = 3; i < words.size(); ++i) name += (i > 3 ? " " : "") + words[i];
        InjectDeviceEvent(type, MakeDeviceInterfaceBroadcast(*guid, Utf8ToUtf16(name)));
        return true;
    }
    if (what == "volume" && words.size() == 2) {
        uint32_t type = 0;
        if (!event_type(words[1], type)) return Fail(error, "unknown device event: " + words[1]);
        InjectDeviceEvent(type, MakeDeviceBroadcastHeader(kDbtDevtypVolume));
        return true;
    }
    if (what == "network" && words.size() == 2) {
        if (words[1] == "auto") {
            SetSimulatedNetworkConnectivity(std::nullopt);
            InjectNetworkConnectivity(QueryNetworkConnectivity());
            return true;
        }
        auto flags = ParseConnectivityText(words[1]);
        if (!flags) return Fail(error, "unknown network state: " + words[1]);
        SetSimulatedNetworkConnectivity(*flags);
        InjectNetworkConnectivity(*flags);
        return true;
    }
    return Fail(error, "unknown notification command: " + std::string(command));
}

}  // namespace zelko::platform
