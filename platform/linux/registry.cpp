#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/file_replace.h"
#include "platform/paths.h"

namespace zelko::platform {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kValuesFile = "values.json";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

uint32_t StatusFromErrno(int error, uint32_t fallback) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case ENAMETOOLONG:
            return kErrorInvalidParameter;
        default:
            return fallback;
    }
}

fs::path HiveFolder(RegistryHive hive) {
    const char* name = "HKLM";
    if (hive == RegistryHive::CurrentUser) name = "HKCU";
    if (hive == RegistryHive::Users) name = "HKU";
    return SystemRoot() / "Registry" / name;
}

// Splits a key path at its backslashes; names that cannot be folders are refused.
uint32_t SplitKeyPath(const std::string& sub_key, std::vector<std::string>& parts) {
    std::string part;
    std::istringstream stream(sub_key);
    while (std::getline(stream, part, '\\')) {
        if (part.empty()) continue;
        if (part == "." || part == ".." || part.find('/') != std::string::npos ||
            part.find('\0') != std::string::npos || SameName(part, kValuesFile)) {
            return kErrorInvalidParameter;
        }
        parts.push_back(part);
    }
    return kErrorSuccess;
}

// The existing subfolder of parent named like name without regard to case, preferring the exact name.
std::optional<fs::path> FindChild(const fs::path& parent, const std::string& name) {
    std::error_code ec;
    if (fs::is_directory(parent / name, ec)) return parent / name;
    const std::string wanted = Lower(name);
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_directory(type_ec) && Lower(it->path().filename().string()) == wanted) return it->path();
    }
    return std::nullopt;
}

uint32_t Resolve(RegistryHive hive, const std::string& sub_key, bool create, fs::path& folder) {
    std::vector<std::string> parts;
    if (uint32_t status = SplitKeyPath(sub_key, parts); status != kErrorSuccess) return status;
    fs::path current = HiveFolder(hive);
    std::error_code ec;
    // The hive itself always exists.
    fs::create_directories(current, ec);
    if (ec) return StatusFromErrno(ec.value(), kErrorCantWrite);
    for (const std::string& part : parts) {
        if (auto child = FindChild(current, part)) {
            current = *child;
            continue;
        }
        if (!create) return kErrorFileNotFound;
        current /= part;
        fs::create_directory(current, ec);
        if (ec) return StatusFromErrno(ec.value(), kErrorCantWrite);
    }
    folder = current;
    return kErrorSuccess;
}

std::string ToHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0xF];
    }
    return hex;
}

std::optional<std::string> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = nibble(hex[i]);
        int low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

bool IsUtf8Text(const std::string& text) {
    try {
        (void)json(text).dump();
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

uint64_t LittleEndian(const std::string& data, size_t size) {
    uint64_t number = 0;
    for (size_t i = 0; i < size && i < data.size(); ++i) {
        number |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return number;
}

std::string LittleEndianBytes(uint64_t number, size_t size) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((number >> (8 * i)) & 0xFF);
    return bytes;
}

json EncodeValue(const RegistryValue& value) {
    json entry = {{"type", value.type}};
    switch (value.type) {
        case kRegSz:
        case kRegExpandSz:
            if (IsUtf8Text(value.data)) {
                entry["data"] = value.data;
                return entry;
            }
            break;
        case kRegDword:
            entry["data"] = static_cast<uint32_t>(LittleEndian(value.data, 4));
            return entry;
        case kRegQword:
            entry["data"] = LittleEndian(value.data, 8);
            return entry;
        case kRegMultiSz: {
            std::vector<std::string> texts;
            std::string current;
            for (char c : value.data) {
                if (c != '\0') {
                    current += c;
                } else if (!current.empty()) {
                    texts.push_back(current);
                    current.clear();
                } else {
                    break;
                }
            }
            if (!current.empty()) texts.push_back(current);
            if (std::all_of(texts.begin(), texts.end(), IsUtf8Text)) {
                entry["data"] = texts;
                return entry;
            }
            break;
        }
        default:
            break;
    }
    entry["hex"] = ToHex(value.data);
    return entry;
}

std::optional<RegistryValue> DecodeValue(const json& entry) {
    if (!entry.is_object() || !entry.contains("type") || !entry["type"].is_number_unsigned())
        return std::nullopt;
    RegistryValue value;
    value.type = entry["type"].get<uint32_t>();
    if (entry.contains("hex")) {
        if (!entry["hex"].is_string()) return std::nullopt;
        auto bytes = FromHex(entry["hex"].get<std::string>());
        if (!bytes) return std::nullopt;
        value.data = *bytes;
        return value;
    }
    if (!entry.contains("data")) return std::nullopt;
    const json& data = entry["data"];
    switch (value.type) {
        case kRegDword:
            if (!data.is_number_unsigned()) return std::nullopt;
            value.data = LittleEndianBytes(data.get<uint32_t>(), 4);
            return value;
        case kRegQword:
            if (!data.is_number_unsigned()) return std::nullopt;
            value.data = LittleEndianBytes(data.get<uint64_t>(), 8);
            return value;
        case kRegMultiSz:
            if (!data.is_array()) return std::nullopt;
            for (const json& text : data) {
                if (!text.is_string()) return std::nullopt;
                value.data += text.get<std::string>();
                value.data += '\0';
            }
            value.data += '\0';
            return value;
        default:
            if (!data.is_string()) return std::nullopt;
            value.data = data.get<std::string>();
            return value;
    }
}

// A values file that is missing counts as a key without values; one that is damaged or cannot be
// read (a folder in its place, say) as well, and is reported.
json ReadValues(const fs::path& folder) {
    const fs::path path = folder / kValuesFile;
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) return json::object();
    std::string problem;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in.is_open()) throw std::runtime_error(std::strerror(errno));
        json values = json::parse(in);
        if (values.is_object()) return values;
        problem = "not a JSON object";
    } catch (const std::exception& e) {
        problem = e.what();
    }
    ReportDiagnostic("Registry values file " + path.string() + " cannot be read (" + problem +
                     "); its key counts as holding no values");
    return json::object();
}

json::iterator FindValue(json& values, const std::string& name) {
    auto exact = values.find(name);
    if (exact != values.end()) return exact;
    const std::string wanted = Lower(name);
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (Lower(it.key()) == wanted) return it;
    }
    return values.end();
}

// Exclusive lock on the key's folder for one read-modify-write of its values file; released when
// the descriptor closes, also when the holder dies.
class KeyLock {
  public:
    explicit KeyLock(const fs::path& folder) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = errno;
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~KeyLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;

    bool locked() const { return fd_ >= 0; }
    int error() const { return error_; }

  private:
    int fd_ = -1;
    int error_ = 0;
};

uint32_t WriteValues(const fs::path& folder, const json& values) {
    std::string text;
    try {
        text = values.dump();
    } catch (const json::exception&) {
        return kErrorInvalidParameter;
    }
    if (ReplaceFileContent(folder / kValuesFile, text) == FileReplace::Ok) return kErrorSuccess;
    return StatusFromErrno(errno, kErrorCantWrite);
}

// Runs change on the key's values under the key's lock and writes them back when it asks to.
template <typename Change>
uint32_t UpdateValues(const fs::path& folder, Change change) {
    std::error_code ec;
    if (folder.empty()) return kErrorInvalidHandle;
    if (!fs::is_directory(folder, ec)) return kErrorKeyDeleted;
    KeyLock lock(folder);
    if (!lock.locked()) {
        return lock.error() == ENOENT ? kErrorKeyDeleted : StatusFromErrno(lock.error(), kErrorCantWrite);
    }
    json values = ReadValues(folder);
    uint32_t status = change(values);
    if (status != kErrorSuccess) return status;
    return WriteValues(folder, values);
}

}  // namespace

RegistryValue RegistryValue::String(std::string text) { return RegistryValue{kRegSz, std::move(text)}; }

RegistryValue RegistryValue::Dword(uint32_t number) {
    return RegistryValue{kRegDword, LittleEndianBytes(number, 4)};
}

RegistryValue RegistryValue::Binary(std::string bytes) { return RegistryValue{kRegBinary, std::move(bytes)}; }

std::optional<std::string> RegistryValueText(const RegistryValue& value) {
    switch (value.type) {
        case kRegSz:
            return value.data.substr(0, value.data.find('\0'));
        case kRegExpandSz:
            return ExpandEnvironmentStrings(value.data.substr(0, value.data.find('\0')));
        case kRegBinary:
            return value.data;
        case kRegDword:
            return std::to_string(static_cast<uint32_t>(LittleEndian(value.data, 4)));
        default:
            return std::nullopt;
    }
}

uint32_t RegistryKey::Open(RegistryHive hive, const std::string& sub_key, RegistryKey& key) {
    fs::path folder;
    uint32_t status = Resolve(hive, sub_key, false, folder);
    if (status == kErrorSuccess) key.folder_ = folder;
    return status;
}

uint32_t RegistryKey::Create(RegistryHive hive, const std::string& sub_key, RegistryKey& key) {
    fs::path folder;
    uint32_t status = Resolve(hive, sub_key, true, folder);
    if (status == kErrorSuccess) key.folder_ = folder;
    return status;
}

uint32_t RegistryKey::DeleteTree(RegistryHive hive, const std::string& sub_key) {
    fs::path folder;
    uint32_t status = Resolve(hive, sub_key, false, folder);
    if (status != kErrorSuccess) return status;
    if (folder == HiveFolder(hive)) return kErrorAccessDenied;
    std::error_code ec;
    fs::remove_all(folder, ec);
    return ec ? StatusFromErrno(ec.value(), kErrorCantWrite) : kErrorSuccess;
}

uint32_t RegistryKey::QueryValue(const std::string& name, RegistryValue& value) const {
    if (folder_.empty()) return kErrorInvalidHandle;
    std::error_code ec;
    if (!fs::is_directory(folder_, ec)) return kErrorKeyDeleted;
    json values = ReadValues(folder_);
    auto it = FindValue(values, name);
    if (it == values.end()) return kErrorFileNotFound;
    auto decoded = DecodeValue(*it);
    if (!decoded) return kErrorFileNotFound;
    value = *decoded;
    return kErrorSuccess;
}

uint32_t RegistryKey::SetValue(const std::string& name, const RegistryValue& value) const {
    return SetValues({{name, value}});
}

uint32_t RegistryKey::SetValues(const std::vector<std::pair<std::string, RegistryValue>>& values) const {
    return UpdateValues(folder_, [&](json& stored) {
        for (const auto& [name, value] : values) {
            json entry = EncodeValue(value);
            auto it = FindValue(stored, name);
            if (it != stored.end()) {
                *it = entry;
            } else {
                stored[name] = entry;
            }
        }
        return kErrorSuccess;
    });
}

uint32_t RegistryKey::SetStringValue(const std::string& name, const std::string& text) const {
    return SetValue(name, RegistryValue::String(text));
}

uint32_t RegistryKey::SetDwordValue(const std::string& name, uint32_t number) const {
    return SetValue(name, RegistryValue::Dword(number));
}

uint32_t RegistryKey::DeleteValue(const std::string& name) const {
    return UpdateValues(folder_, [&](json& values) {
        auto it = FindValue(values, name);
        if (it == values.end()) return kErrorFileNotFound;
        values.erase(it);
        return kErrorSuccess;
    });
}

std::unique_ptr<RegistryChangeNotification> RegistryChangeNotification::Create() {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<RegistryChangeNotification>(new RegistryChangeNotification(fd));
}

RegistryChangeNotification::~RegistryChangeNotification() { ::close(fd_); }

namespace {
constexpr uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
}

bool RegistryChangeNotification::WatchTree(const fs::path& folder, bool subtree, uint32_t& status) {
    bool found_values = false;
    auto add = [&](const fs::path& path) {
        int wd = ::inotify_add_watch(fd_, path.c_str(), kWatchMask);
        if (wd < 0) {
            if (status == kErrorSuccess && errno != ENOENT && errno != ENOTDIR) {
                status = StatusFromErrno(errno, kErrorCantRead);
            }
            return;
        }
        if (watches_.emplace(wd, path).second) {
            std::error_code ec;
            if (fs::exists(path / kValuesFile, ec)) found_values = true;
        }
    };
    add(folder);
    if (!subtree) return found_values;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_directory(type_ec) && !it->is_symlink(type_ec)) add(it->path());
    }
    return found_values;
}

uint32_t RegistryChangeNotification::Register(const RegistryKey& key, bool watch_subtree, uint32_t filter) {
    std::lock_guard lock(mutex_);
    if (!key.IsOpen()) return kErrorInvalidHandle;
    if (root_gone_) return kErrorKeyDeleted;
    if (!root_.empty() && root_ != key.Folder()) {
        for (auto& [wd, path] : watches_) ::inotify_rm_watch(fd_, wd);
        watches_.clear();
        root_watch_ = -1;
    }
    std::error_code ec;
    if (!fs::is_directory(key.Folder(), ec)) return kErrorKeyDeleted;
    const bool first = watches_.empty();
    root_ = key.Folder();
    subtree_ = watch_subtree;
    filter_ = filter;
    uint32_t status = kErrorSuccess;
    bool new_values = WatchTree(root_, subtree_, status);
    int wd = ::inotify_add_watch(fd_, root_.c_str(), kWatchMask);
    if (wd < 0) return StatusFromErrno(errno, kErrorCantRead);
    root_watch_ = wd;
    // Values that appeared in a subkey before it was watched would otherwise go unreported.
    if (!first && new_values && (filter_ & kRegNotifyChangeLastSet) != 0) pending_ = true;
    return status;
}

bool RegistryChangeNotification::TryAcquire() {
    std::lock_guard lock(mutex_);
    bool signalled = pending_;
    pending_ = false;
    alignas(inotify_event) char buffer[16 * 1024];
    while (true) {
        ssize_t length = ::read(fd_, buffer, sizeof(buffer));
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) break;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                signalled = true;
                continue;
            }
            auto watch = watches_.find(event->wd);
            if (watch == watches_.end()) continue;
            const bool is_root = event->wd == root_watch_;
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                if (is_root) {
                    root_gone_ = true;
                    signalled = true;
                }
                if ((event->mask & IN_IGNORED) != 0) watches_.erase(watch);
                continue;
            }
            const std::string name = event->len > 0 ? std::string(event->name) : std::string();
            if ((event->mask & IN_ISDIR) != 0) {
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                    if ((filter_ & kRegNotifyChangeName) != 0) signalled = true;
                    if (subtree_) {
                        uint32_t ignored = kErrorSuccess;
                        fs::path folder = watch->second / name;
                        if (WatchTree(folder, true, ignored) && (filter_ & kRegNotifyChangeLastSet) != 0) {
                            signalled = true;
                        }
                    }
                } else if ((filter_ & kRegNotifyChangeName) != 0) {
                    signalled = true;
                }
                continue;
            }
            if (name == kValuesFile && (filter_ & kRegNotifyChangeLastSet) != 0 &&
                (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) != 0) {
                signalled = true;
            }
        }
    }
    return signalled;
}

}  // namespace zelko::platform
