// The simulated event-log source: channel folders under the system root, watched with one inotify
// instance and one thread for all the subscriptions of the process (the "event log thread" their
// callbacks run on), so that many subscriptions cost no more threads or descriptors than one.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/event_log.h"
#include "platform/file_replace.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/thread_name.h"

namespace zelko::platform {

namespace fs = std::filesystem;

// Larger entry files are refused: an entry is one record, not a log.
constexpr uintmax_t kMaxEntryFileBytes = 1 << 20;

struct EvtObject {
    virtual ~EvtObject() = default;
};

namespace {

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        size_t need = 0;
        char32_t code = lead;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, code = lead & 0x07;
        } else if (lead >= 0x80) {
            code = 0xFFFD;
        }
        size_t got = 0;
        for (; got < need && i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; ++got) {
            code = (code << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (got < need || code < kLeast[need] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            code = 0xFFFD;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

std::string XmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

thread_local std::string t_extended_status;

fs::path EventLogFolder() { return SystemRoot() / "EventLog"; }

// The channel's folder, or nothing for a name that cannot be one (empty, absolute, a "." or ".."
// part, a NUL, a part longer than a file name may be).
std::optional<fs::path> ChannelFolder(const std::u16string& channel) {
    if (channel.empty() || channel.find(u'\0') != std::u16string::npos) return std::nullopt;
    const std::string name = Utf16ToUtf8(channel);
    if (name.front() == '/' || name.back() == '/') return std::nullopt;
    fs::path folder = EventLogFolder();
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.size() > 255) return std::nullopt;
        folder /= part;
        start = end + 1;
    }
    return folder;
}

struct Entry {
    std::u16string channel;
    uint16_t event_id = 0;
    uint8_t level = 4;
    uint64_t record_id = 0;
    std::u16string xml;
};

std::atomic<uint64_t> g_next_record_id{1};

std::string MakeEntryXml(const std::u16string& channel, uint16_t event_id, uint8_t level,
                         uint64_t record_id) {
    char when[40];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%S.0000000Z", &utc);
    char host[256] = "localhost";
    ::gethostname(host, sizeof(host) - 1);
    return "<Event xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\"><System>"
           "<Provider Name=\"zelko-simulated-event-log\"/><EventID>" +
           std::to_string(event_id) + "</EventID><Level>" + std::to_string(level) +
           "</Level><TimeCreated SystemTime=\"" + when + "\"/><EventRecordID>" + std::to_string(record_id) +
           "</EventRecordID><Channel>" + XmlEscape(Utf16ToUtf8(channel)) + "</Channel><Computer>" +
           XmlEscape(host) + "</Computer></System></Event>";
}

// Reads an entry file; on failure the reason.
std::optional<Entry> ReadEntryFile(const fs::path& file, const std::u16string& channel, std::string& reason) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) {
        reason = "cannot be read: " + ec.message();
        return std::nullopt;
    }
    if (size > kMaxEntryFileBytes) {
        reason = "is larger than " + std::to_string(kMaxEntryFileBytes) + " bytes";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        reason = "cannot be read";
        return std::nullopt;
    }
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        reason = "is not JSON";
        return std::nullopt;
    }
    if (!document.is_object()) {
        reason = "is not a JSON object";
        return std::nullopt;
    }
    Entry entry;
    entry.channel = channel;
    const auto id = document.find("event_id");
    if (id == document.end() || !id->is_number_integer() || id->get<int64_t>() < 0 ||
        id->get<int64_t>() > 0xFFFF) {
        reason = "has no \"event_id\" from 0 to 65535";
        return std::nullopt;
    }
    entry.event_id = static_cast<uint16_t>(id->get<int64_t>());
    if (const auto level = document.find("level"); level != document.end()) {
        if (!level->is_number_integer() || level->get<int64_t>() < 0 || level->get<int64_t>() > 0xFF) {
            reason = "has a \"level\" that is not a number from 0 to 255";
            return std::nullopt;
        }
        entry.level = static_cast<uint8_t>(level->get<int64_t>());
    }
    entry.record_id = g_next_record_id.fetch_add(1);
    if (const auto xml = document.find("xml"); xml != document.end()) {
        if (!xml->is_string()) {
            reason = "has an \"xml\" that is not a text";
            return std::nullopt;
        }
        entry.xml = Utf8ToUtf16(xml->get<std::string>());
    } else {
        entry.xml = Utf8ToUtf16(MakeEntryXml(channel, entry.event_id, entry.level, entry.record_id));
    }
    return entry;
}

struct EventObject : EvtObject {
    Entry entry;
};

struct RenderContext : EvtObject {
    std::vector<std::u16string> paths;
};

// One Select or Suppress of a query.
struct QueryPart {
    std::u16string channel;
    std::set<uint32_t> ids;  // empty: any id
    bool suppress = false;

    bool Matches(const Entry& entry) const {
        return entry.channel == channel && (ids.empty() || ids.count(entry.event_id) > 0);
    }
};

std::set<uint32_t> EventIdsOf(const std::string& xpath) {
    static const std::regex kEventId(R"(EventID\s*=\s*(\d{1,5})(?!\d))");
    std::set<uint32_t> ids;
    for (auto it = std::sregex_iterator(xpath.begin(), xpath.end(), kEventId); it != std::sregex_iterator();
         ++it) {
        ids.insert(static_cast<uint32_t>(std::stoul((*it)[1].str())));
    }
    return ids;
}

std::string XmlUnescape(const std::string& text) {
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto& [entity, c] : kEntities) {
            if (text.compare(i, std::strlen(entity), entity) == 0) {
                out.push_back(c);
                i += std::strlen(entity);
                replaced = true;
                break;
            }
        }
        if (!replaced) out.push_back(text[i++]);
    }
    return out;
}

// The parts of a query; nothing for a query that selects nothing.
std::optional<std::vector<QueryPart>> ParseQuery(const char16_t* channel_path, const char16_t* query) {
    const std::string text = query ? Utf16ToUtf8(query) : std::string();
    const std::u16string channel = channel_path ? std::u16string(channel_path) : std::u16string();
    std::vector<QueryPart> parts;
    if (text.find("<QueryList") != std::string::npos) {
        static const std::regex kElement(
            R"re(<(Select|Suppress)\s+Path\s*=\s*("([^"]*)"|'([^']*)')\s*>([\s\S]*?)</\1\s*>)re");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), kElement); it != std::sregex_iterator();
             ++it) {
            const auto& match = *it;
            QueryPart part;
            part.suppress = match[1].str() == "Suppress";
            part.channel = Utf8ToUtf16(XmlUnescape(match[3].matched ? match[3].str() : match[4].str()));
            part.ids = EventIdsOf(match[5].str());
            parts.push_back(std::move(part));
        }
    } else if (!text.empty() && !channel.empty()) {
        parts.push_back({channel, EventIdsOf(text), false});
    }
    if (std::none_of(parts.begin(), parts.end(), [](const QueryPart& p) { return !p.suppress; })) {
        return std::nullopt;
    }
    return parts;
}

class Subscription;

// One channel folder being watched, and how many open subscriptions watch it.
struct WatchedFolder {
    fs::path folder;
    std::u16string channel;
    size_t users = 0;
};

// The one inotify instance, its wake-up and its thread, alive while any subscription is open.
// Everything but the descriptors is guarded by the hub's mutex.
struct Loop {
    int inotify_fd = -1;
    int wake_fd = -1;
    bool stop = false;
    std::thread thread;
    std::thread::id thread_id;
    std::map<int, WatchedFolder> folders;  // by watch descriptor
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    const Subscription* delivering = nullptr;  // whose callback runs now

    ~Loop() {
        if (inotify_fd >= 0) ::close(inotify_fd);
        if (wake_fd >= 0) ::close(wake_fd);
    }
};

struct Hub {
    std::mutex mutex;
    std::condition_variable delivered;
    std::shared_ptr<Loop> loop;
};
Hub& TheHub() {
    static auto* hub = new Hub;  // outlives every loop thread
    return *hub;
}

// Sets the last error and the extended status for a failed inotify call.
void FailWatch(int error, const std::string& what) {
    std::string cause;
    if (error == EMFILE) {
        cause = "the user's limit of inotify instances (fs.inotify.max_user_instances) or the process's "
                "limit of open files is reached";
    } else if (error == ENOSPC) {
        cause = "the user's limit of inotify watches is reached (fs.inotify.max_user_watches)";
    } else if (error == ENFILE) {
        cause = "the system's limit of open files is reached";
    } else {
        cause = std::strerror(error);
    }
    t_extended_status = "cannot watch the event log: " + what + ": " + cause;
    SetLastError(error == ENOSPC ? kErrorTooManyOpenFiles : ErrorFromErrno(error));
}

class Subscription : public EvtObject {
  public:
    Subscription(std::vector<QueryPart> parts, void* context, EvtSubscribeCallback callback)
        : parts_(std::move(parts)), context_(context), callback_(callback) {}

    // Joins the subscription to the watcher (started when none runs); the last error on failure.
    static bool Open(const std::shared_ptr<Subscription>& subscription);
    // Leaves the watcher. Once it returns the callback is not running and will not run again,
    // unless it is called from inside that callback. The last one out stops the watcher.
    void Close();

    bool Watches(int wd) const { return std::find(watches_.begin(), watches_.end(), wd) != watches_.end(); }

    // Hands one entry (or the failure to read it) to the callback when the query selects it.
    void Deliver(const std::optional<Entry>& entry, const std::string& failure) {
        if (!entry) {
            t_extended_status = failure;
            callback_(EvtSubscribeActionError, context_,
                      reinterpret_cast<EvtHandle>(static_cast<uintptr_t>(kErrorInvalidData)));
            return;
        }
        bool selected = false;
        for (const auto& part : parts_) {
            if (!part.Matches(*entry)) continue;
            if (part.suppress) return;
            selected = true;
        }
        if (!selected) return;
        auto event = std::make_shared<EventObject>();
        event->entry = *entry;
        EvtHandle handle = Register(event);
        callback_(EvtSubscribeActionDeliver, context_, handle);
        Unregister(handle);
    }

    static EvtHandle Register(std::shared_ptr<EvtObject> object);
    static std::shared_ptr<EvtObject> Unregister(EvtHandle handle);

    bool open = false;  // under the hub's mutex

  private:
    // Drops this subscription's watches from the loop; caller holds the hub's mutex.
    void ReleaseWatches(Loop& loop) {
        for (const int wd : watches_) {
            auto folder = loop.folders.find(wd);
            if (folder == loop.folders.end() || --folder->second.users > 0) continue;
            ::inotify_rm_watch(loop.inotify_fd, wd);
            loop.folders.erase(folder);
        }
        watches_.clear();
    }

    static void Run(const std::shared_ptr<Loop>& loop);

    std::vector<QueryPart> parts_;
    void* context_;
    EvtSubscribeCallback callback_;
    std::vector<int> watches_;   // under the hub's mutex
    std::shared_ptr<Loop> loop_;  // under the hub's mutex
};

bool Subscription::Open(const std::shared_ptr<Subscription>& subscription) {
    auto& hub = TheHub();
    std::lock_guard lock(hub.mutex);
    std::shared_ptr<Loop> loop = hub.loop;
    const bool fresh = !loop;
    if (fresh) {
        loop = std::make_shared<Loop>();
        loop->inotify_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (loop->inotify_fd < 0) {
            FailWatch(errno, "no inotify instance");
            return false;
        }
        loop->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (loop->wake_fd < 0) {
            FailWatch(errno, "no eventfd");
            return false;
        }
    }
    std::vector<int> watches;
    auto undo = [&] {
        for (const int wd : watches) {
            auto folder = loop->folders.find(wd);
            if (folder != loop->folders.end() && --folder->second.users == 0) {
                ::inotify_rm_watch(loop->inotify_fd, wd);
                loop->folders.erase(folder);
            }
        }
    };
    for (const auto& part : subscription->parts_) {
        if (part.suppress) continue;
        const auto folder = ChannelFolder(part.channel);
        if (!folder) {
            undo();
            SetLastError(kErrorEvtChannelNotFound);
            t_extended_status = "not a channel name: " + Utf16ToUtf8(part.channel);
            return false;
        }
        std::error_code ec;
        fs::create_directories(*folder, ec);
        // The same folder gives the same descriptor: one watch however many subscriptions share it.
        const int wd = fs::is_directory(*folder) ? ::inotify_add_watch(loop->inotify_fd, folder->c_str(),
                                                                       IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR)
                                                 : -1;
        if (wd < 0) {
            const int error = ec ? ec.value() : (errno != 0 ? errno : ENOTDIR);
            undo();
            FailWatch(error, folder->string());
            return false;
        }
        if (std::find(watches.begin(), watches.end(), wd) != watches.end()) continue;
        auto& watched = loop->folders[wd];
        if (watched.users == 0) watched = {*folder, part.channel, 0};
        ++watched.users;
        watches.push_back(wd);
    }
    if (fresh) {
        try {
            loop->thread = std::thread([loop] { Run(loop); });
        } catch (const std::system_error& e) {
            undo();
            FailWatch(e.code().value(), "no thread");
            return false;
        }
        loop->thread_id = loop->thread.get_id();
        hub.loop = loop;
    }
    subscription->watches_ = std::move(watches);
    subscription->loop_ = loop;
    subscription->open = true;
    loop->subscriptions.push_back(subscription);
    return true;
}

void Subscription::Close() {
    auto& hub = TheHub();
    std::shared_ptr<Loop> stopped;
    {
        std::unique_lock lock(hub.mutex);
        if (!open) return;
        open = false;
        auto loop = std::move(loop_);
        ReleaseWatches(*loop);
        std::erase_if(loop->subscriptions, [this](const auto& s) { return s.get() == this; });
        const bool on_loop_thread = std::this_thread::get_id() == loop->thread_id;
        if (!on_loop_thread) hub.delivered.wait(lock, [&] { return loop->delivering != this; });
        if (loop->subscriptions.empty()) {
            loop->stop = true;
            if (hub.loop == loop) hub.loop.reset();
            uint64_t one = 1;
            (void)!::write(loop->wake_fd, &one, sizeof(one));
            stopped = std::move(loop);
        }
    }
    if (!stopped || !stopped->thread.joinable()) return;
    if (stopped->thread_id == std::this_thread::get_id()) {
        stopped->thread.detach();  // it holds the loop and ends after this callback
    } else {
        stopped->thread.join();
    }
}

void Subscription::Run(const std::shared_ptr<Loop>& loop) {
    SetCurrentThreadName("zelko-eventlog");
    auto& hub = TheHub();
    auto stopping = [&] {
        std::lock_guard lock(hub.mutex);
        return loop->stop;
    };
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    while (!stopping()) {
        pollfd fds[2] = {{loop->wake_fd, POLLIN, 0}, {loop->inotify_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents & POLLIN) continue;  // the stop, seen at the top
        const ssize_t length = ::read(loop->inotify_fd, buffer, sizeof(buffer));
        if (length <= 0) continue;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            std::vector<std::shared_ptr<Subscription>> targets;
            fs::path file;
            std::u16string channel;
            {
                std::lock_guard lock(hub.mutex);
                if (loop->stop) return;
                const auto watched = loop->folders.find(event->wd);
                if (watched == loop->folders.end()) continue;
                if (event->mask & IN_IGNORED) {  // the folder went away with its watch
                    loop->folders.erase(watched);
                    continue;
                }
                if (event->len == 0) continue;
                const std::string name = event->name;
                if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
                file = watched->second.folder / name;
                channel = watched->second.channel;
                for (const auto& subscription : loop->subscriptions) {
                    if (subscription->Watches(event->wd)) targets.push_back(subscription);
                }
            }
            if (targets.empty()) continue;
            // Read once for every subscription of the channel.
            std::string reason;
            const auto entry = ReadEntryFile(file, channel, reason);
            const std::string failure = entry ? "" : "event-log entry " + file.string() + " " + reason;
            for (const auto& subscription : targets) {
                {
                    std::lock_guard lock(hub.mutex);
                    if (!subscription->open) continue;
                    loop->delivering = subscription.get();
                }
                subscription->Deliver(entry, failure);
                std::lock_guard lock(hub.mutex);
                loop->delivering = nullptr;
                hub.delivered.notify_all();
            }
        }
    }
}

// Every open handle, so that a stale or foreign handle is refused instead of followed.
struct Handles {
    std::mutex mutex;
    std::unordered_map<EvtObject*, std::shared_ptr<EvtObject>> objects;
    size_t subscriptions = 0;
};
Handles& AllHandles() {
    static auto* handles = new Handles;  // outlives every subscription thread
    return *handles;
}

EvtHandle Subscription::Register(std::shared_ptr<EvtObject> object) {
    auto& handles = AllHandles();
    std::lock_guard lock(handles.mutex);
    EvtHandle handle = object.get();
    if (dynamic_cast<Subscription*>(handle)) ++handles.subscriptions;
    handles.objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<EvtObject> Subscription::Unregister(EvtHandle handle) {
    auto& handles = AllHandles();
    std::lock_guard lock(handles.mutex);
    const auto it = handles.objects.find(handle);
    if (it == handles.objects.end()) return nullptr;
    auto object = std::move(it->second);
    handles.objects.erase(it);
    if (dynamic_cast<Subscription*>(object.get())) --handles.subscriptions;
    return object;
}

template <typename T>
std::shared_ptr<T> Find(EvtHandle handle) {
    auto& handles = AllHandles();
    std::lock_guard lock(handles.mutex);
    const auto it = handles.objects.find(handle);
    return it == handles.objects.end() ? nullptr : std::dynamic_pointer_cast<T>(it->second);
}

bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
}

// The value of one path for an entry.
EvtVariant ValueOf(const std::u16string& path, const Entry& entry, const char16_t* text_at) {
    EvtVariant value{};
    value.Type = EvtVarTypeNull;
    if (path == u"Event/System/Channel") {
        value.StringVal = text_at;
        value.Type = EvtVarTypeString;
    } else if (path == u"Event/System/EventID") {
        value.UInt16Val = entry.event_id;
        value.Type = EvtVarTypeUInt16;
    } else if (path == u"Event/System/Level") {
        value.ByteVal = entry.level;
        value.Type = EvtVarTypeByte;
    } else if (path == u"Event/System/EventRecordID") {
        value.UInt64Val = entry.record_id;
        value.Type = EvtVarTypeUInt64;
    }
    return value;
}

}  // namespace

EvtHandle EvtSubscribe(EvtHandle session, void* signal_event, const char16_t* channel_path,
                       const char16_t* query, EvtHandle bookmark, void* context,
                       EvtSubscribeCallback callback, uint32_t flags) {
    t_extended_status.clear();
    if (session != nullptr || signal_event != nullptr || bookmark != nullptr ||
        flags != kEvtSubscribeToFutureEvents) {
        SetLastError(kErrorNotSupported);
        return nullptr;
    }
    if (callback == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto parts = ParseQuery(channel_path, query);
    if (!parts) {
        SetLastError(kErrorEvtInvalidQuery);
        return nullptr;
    }
    auto subscription = std::make_shared<Subscription>(std::move(*parts), context, callback);
    if (!Subscription::Open(subscription)) return nullptr;
    return Subscription::Register(subscription);
}

EvtHandle EvtCreateRenderContext(uint32_t value_paths_count, const char16_t* const* value_paths,
                                 uint32_t flags) {
    if (flags != kEvtRenderContextValues || value_paths_count == 0 || value_paths == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto context = std::make_shared<RenderContext>();
    for (uint32_t i = 0; i < value_paths_count; ++i) {
        if (value_paths[i] == nullptr) {
            SetLastError(kErrorInvalidParameter);
            return nullptr;
        }
        context->paths.emplace_back(value_paths[i]);
    }
    return Subscription::Register(context);
}

bool EvtRender(EvtHandle context, EvtHandle fragment, uint32_t flags, uint32_t buffer_size, void* buffer,
               uint32_t* buffer_used, uint32_t* property_count) {
    if (buffer_used == nullptr || property_count == nullptr || (buffer == nullptr && buffer_size > 0)) {
        return Fail(kErrorInvalidParameter);
    }
    const auto event = Find<EventObject>(fragment);
    if (!event) return Fail(kErrorInvalidHandle);
    const Entry& entry = event->entry;

    if (flags == kEvtRenderEventXml) {
        if (context != nullptr) return Fail(kErrorInvalidParameter);
        const size_t needed = (entry.xml.size() + 1) * sizeof(char16_t);
        *buffer_used = static_cast<uint32_t>(needed);
        *property_count = 0;
        if (buffer_size < needed) return Fail(kErrorInsufficientBuffer);
        std::memcpy(buffer, entry.xml.c_str(), needed);
        return true;
    }
    if (flags != kEvtRenderEventValues) return Fail(kErrorInvalidParameter);
    const auto render = Find<RenderContext>(context);
    if (!render) return Fail(kErrorInvalidHandle);

    const size_t variants = render->paths.size() * sizeof(EvtVariant);
    size_t needed = variants;
    for (const auto& path : render->paths) {
        if (path == u"Event/System/Channel") needed += (entry.channel.size() + 1) * sizeof(char16_t);
    }
    *buffer_used = static_cast<uint32_t>(needed);
    *property_count = static_cast<uint32_t>(render->paths.size());
    if (buffer_size < needed) return Fail(kErrorInsufficientBuffer);

    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t text_offset = variants;
    for (size_t i = 0; i < render->paths.size(); ++i) {
        auto* text_at = reinterpret_cast<char16_t*>(bytes + text_offset);
        const EvtVariant value = ValueOf(render->paths[i], entry, text_at);
        if (value.Type == EvtVarTypeString) {
            const size_t text_bytes = (entry.channel.size() + 1) * sizeof(char16_t);
            std::memcpy(bytes + text_offset, entry.channel.c_str(), text_bytes);
            text_offset += text_bytes;
        }
        std::memcpy(bytes + i * sizeof(EvtVariant), &value, sizeof(value));
    }
    return true;
}

bool EvtClose(EvtHandle object) {
    auto closed = Subscription::Unregister(object);
    if (!closed) return Fail(kErrorInvalidHandle);
    if (auto* subscription = dynamic_cast<Subscription*>(closed.get())) subscription->Close();
    return true;
}

std::string EvtGetExtendedStatus() { return t_extended_status; }

std::optional<fs::path> WriteEventLogEntry(const std::u16string& channel, uint16_t event_id, uint8_t level,
                                           const std::optional<std::string>& xml) {
    const auto folder = ChannelFolder(channel);
    if (!folder) {
        SetLastError(kErrorEvtChannelNotFound);
        return std::nullopt;
    }
    std::error_code ec;
    fs::create_directories(*folder, ec);
    if (ec) {
        SetLastError(ErrorFromErrno(ec.value()));
        return std::nullopt;
    }
    nlohmann::json document = {{"event_id", event_id}, {"level", level}};
    if (xml) document["xml"] = *xml;
    // Unique within the folder: time, process and a counter of this process.
    static std::atomic<uint64_t> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const fs::path file =
        *folder /
        ("entry-" + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) + "-" +
         std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".json");
    if (ReplaceFileContent(file, document.dump()) != FileReplace::Ok) {
        SetLastError(ErrorFromErrno(errno));
        return std::nullopt;
    }
    return file;
}

std::optional<fs::path> RaiseEventLogCommand(const std::vector<std::string>& words, std::string* error) {
    auto refuse = [&](const std::string& reason) -> std::optional<fs::path> {
        if (error) *error = reason;
        return std::nullopt;
    };
    if (words.empty() || words[0] != "raise" || words.size() < 3 || words.size() > 4) {
        return refuse("usage: raise <channel> <event id> [<level>]");
    }
    auto number = [](const std::string& text, unsigned long max) -> std::optional<unsigned long> {
        if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        const unsigned long value = std::stoul(text);
        return value <= max ? std::optional(value) : std::nullopt;
    };
    const auto id = number(words[2], 0xFFFF);
    if (!id) return refuse("event id is not a number from 0 to 65535: " + words[2]);
    std::optional<unsigned long> level = 4;
    if (words.size() == 4 && !(level = number(words[3], 0xFF))) {
        return refuse("level is not a number from 0 to 255: " + words[3]);
    }
    const auto file =
        WriteEventLogEntry(Utf8ToUtf16(words[1]), static_cast<uint16_t>(*id), static_cast<uint8_t>(*level));
    if (!file) {
        const uint32_t code = GetLastError();
        return refuse(code == kErrorEvtChannelNotFound ? "not a channel name: " + words[1]
                                                       : "cannot write the entry: " + std::to_string(code));
    }
    return file;
}

size_t OpenEventLogSubscriptions() {
    auto& handles = AllHandles();
    std::lock_guard lock(handles.mutex);
    return handles.subscriptions;
}

}  // namespace zelko::platform
