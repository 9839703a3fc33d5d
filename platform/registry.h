#pragma once

// The registry of the emulated machine: keys are folders under SystemRoot()/Registry/<hive>/,
// each holding its values in one JSON file ("values.json", name -> {type, data}) that every
// writer replaces through a renamed temporary file. Key and value names are matched without
// regard to ASCII case, as the system does.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/kernel_objects.h"
#include "platform/last_error.h"

namespace zelko::platform {

enum class RegistryHive { LocalMachine, CurrentUser, Users };

// Value types, numbered as the system numbers them.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

// The calls answer the system error numbers of platform/last_error.h.

// What a change notification reports: subkeys added or deleted, values set or deleted.
constexpr uint32_t kRegNotifyChangeName = 0x1;
constexpr uint32_t kRegNotifyChangeLastSet = 0x4;

struct RegistryValue {
    uint32_t type = kRegNone;
    // Raw content: texts without their terminating NUL, numbers little-endian, binary as is,
    // multi-texts each followed by a NUL plus a final NUL.
    std::string data;

    static RegistryValue String(std::string text);
    static RegistryValue Dword(uint32_t number);
    static RegistryValue Binary(std::string bytes);
};

// A value as text: REG_SZ up to its first NUL, REG_EXPAND_SZ the same with its %VARIABLES%
// expanded, REG_DWORD as decimal digits, REG_BINARY its bytes unchanged. Other types have no text.
std::optional<std::string> RegistryValueText(const RegistryValue& value);

// An open key. Keys live as long as their folder; an open key whose folder was deleted answers
// kErrorKeyDeleted.
class RegistryKey {
  public:
    RegistryKey() = default;

    // sub_key is a backslash-separated path below the hive; empty components are ignored.
    static uint32_t Open(RegistryHive hive, const std::string& sub_key, RegistryKey& key);
    // Opens the key, creating it and every missing key on its path.
    static uint32_t Create(RegistryHive hive, const std::string& sub_key, RegistryKey& key);
    // Deletes the key with all its subkeys and values.
    static uint32_t DeleteTree(RegistryHive hive, const std::string& sub_key);

    bool IsOpen() const { return !folder_.empty(); }
    void Close() { folder_.clear(); }
    const std::filesystem::path& Folder() const { return folder_; }

    uint32_t QueryValue(const std::string& name, RegistryValue& value) const;
    uint32_t SetValue(const std::string& name, const RegistryValue& value) const;
    uint32_t SetStringValue(const std::string& name, const std::string& text) const;
    uint32_t SetDwordValue(const std::string& name, uint32_t number) const;
    // Sets several values in one write of the key.
    uint32_t SetValues(const std::vector<std::pair<std::string, RegistryValue>>& values) const;
    uint32_t DeleteValue(const std::string& name) const;

  private:
    std::filesystem::path folder_;
};

// Change notification on a key (and, when asked, its whole subtree). Changes made by any process
// are seen. Once registered, every change after the registration signals the object until a
// wait takes the signal; registering again keeps the watch (and picks up new subkeys). After the
// watched key is deleted the object signals once and every later registration fails.
class RegistryChangeNotification : public Waitable {
  public:
    // Null when the system refuses a new notification object (errno tells why).
    static std::unique_ptr<RegistryChangeNotification> Create();
    ~RegistryChangeNotification() override;
    RegistryChangeNotification(const RegistryChangeNotification&) = delete;
    RegistryChangeNotification& operator=(const RegistryChangeNotification&) = delete;

    uint32_t Register(const RegistryKey& key, bool watch_subtree, uint32_t filter);

    int PollDescriptor() const override { return fd_; }
    bool TryAcquire() override;

  private:
    explicit RegistryChangeNotification(int fd) : fd_(fd) {}
    // Watches folder (and its subtree when asked); true when a newly watched folder holds values.
    bool WatchTree(const std::filesystem::path& folder, bool subtree, uint32_t& status);

    int fd_;
    std::mutex mutex_;
    std::unordered_map<int, std::filesystem::path> watches_;
    std::filesystem::path root_;
    int root_watch_ = -1;
    bool subtree_ = false;
    uint32_t filter_ = 0;
    bool pending_ = false;
    bool root_gone_ = false;
};

}  // namespace zelko::platform
