#include "platform/perf_counters.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace zelko::platform {

namespace fs = std::filesystem;

namespace {

enum class Kind { ProcessCpu, ProcessMemory, ProcessIo, TotalCpu };

// One reading of what a counter needs; invalid when the process (or /proc) could not be read.
struct Reading {
    bool valid = false;
    int pid = 0;
    int64_t steady_ns = 0;
    double value = 0;   // cpu seconds, resident bytes or I/O bytes of a process
    uint64_t busy = 0;  // processor ticks spent working (total CPU)
    uint64_t all = 0;   // all processor ticks (total CPU)
};

}  // namespace

struct PerfCountersFake {
    PdhStatus open_status = kPdhOk;
    PdhStatus collect_status = kPdhOk;
    std::map<std::u16string, PdhStatus> add_status;
    std::map<std::u16string, std::optional<double>> values;
    int collects = 0;
};

namespace {

std::mutex g_mutex;  // guards everything below and every query
PerfCountersFake* g_fake = nullptr;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::u16string LowerAscii(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
}

// Paths are ASCII except for the instance, which is matched against UTF-8 file names.
std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

int64_t SteadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The instance name of a process: its executable's file name without the extension, lower case.
std::optional<std::string> InstanceOf(int pid) {
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    std::error_code ec;
    std::string name = fs::read_symlink(proc / "exe", ec).filename().string();
    if (ec) {
        // Another user's process: its first argument is the next best.
        std::ifstream in(proc / "cmdline", std::ios::binary);
        std::string first;
        if (!std::getline(in, first, '\0') || first.empty()) return std::nullopt;
        name = fs::path(first).filename().string();
    }
    constexpr std::string_view kDeleted = " (deleted)";
    if (name.size() > kDeleted.size() &&
        name.compare(name.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        name.resize(name.size() - kDeleted.size());
    }
    if (const size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    if (name.empty()) return std::nullopt;
    return Lower(name);
}

std::optional<int> FindProcess(const std::string& instance, int cached_pid) {
    if (cached_pid > 0 && InstanceOf(cached_pid) == instance) return cached_pid;
    std::optional<int> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const int pid = std::stoi(name);
        if ((!found || pid < *found) && InstanceOf(pid) == instance) found = pid;
    }
    return found;
}

std::optional<double> CpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold anything; the fields follow its last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        try {
            if (index == 14) utime = std::stoull(field);
            if (index == 15) stime = std::stoull(field);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        if (index == 15)
            return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return std::nullopt;
}

std::optional<double> ResidentBytes(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) != 0) continue;
        std::istringstream value(line.substr(6));
        uint64_t kib = 0;
        if (value >> kib) return static_cast<double>(kib) * 1024.0;
    }
    return std::nullopt;
}

std::optional<double> IoBytes(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    uint64_t value = 0, total = 0;
    int found = 0;
    while (in >> key >> value) {
        if (key == "rchar:" || key == "wchar:") total += value, ++found;
    }
    if (found != 2) return std::nullopt;
    return static_cast<double>(total);
}

bool TotalCpuTicks(uint64_t& busy, uint64_t& all) {
    std::ifstream in("/proc/stat");
    std::string label;
    if (!(in >> label) || label != "cpu") return false;
    uint64_t values[8] = {};
    for (uint64_t& v : values) {
        if (!(in >> v)) return false;
    }
    all = 0;
    for (uint64_t v : values) all += v;
    busy = all - values[3] - values[4];  // less idle and iowait
    return true;
}

}  // namespace

struct PdhCounterTag {
    PdhQueryTag* query;
    Kind kind;
    std::u16string counter_name;  // lower case
    std::string instance;         // lower case
    int cached_pid = 0;
    Reading previous;
    Reading current;
    // The fake's reading of the last collect: set when it was taken from the fake.
    std::optional<std::optional<double>> fake_reading;

    void Read() {
        previous = current;
        current = Reading{};
        current.steady_ns = SteadyNanos();
        if (kind == Kind::TotalCpu) {
            current.valid = TotalCpuTicks(current.busy, current.all);
            return;
        }
        const auto pid = FindProcess(instance, cached_pid);
        if (!pid) return;
        cached_pid = *pid;
        current.pid = *pid;
        const auto value = kind == Kind::ProcessCpu      ? CpuSeconds(*pid)
                           : kind == Kind::ProcessMemory ? ResidentBytes(*pid)
                                                         : IoBytes(*pid);
        if (!value) return;
        current.value = *value;
        current.valid = true;
    }

    // The value of the last two readings, or the status that says why there is none.
    std::pair<PdhStatus, double> Value() const {
        if (fake_reading) {
            return *fake_reading ? std::pair{kPdhOk, **fake_reading} : std::pair{kPdhInvalidData, 0.0};
        }
        if (!current.valid)
            return {current.pid == 0 && kind != Kind::TotalCpu ? kPdhCstatusNoInstance : kPdhInvalidData, 0};
        if (kind == Kind::ProcessMemory) return {kPdhOk, current.value};
        if (!previous.valid || previous.pid != current.pid) return {kPdhInvalidData, 0};
        if (kind == Kind::TotalCpu) {
            if (current.all <= previous.all || current.busy < previous.busy) return {kPdhInvalidData, 0};
            return {kPdhOk, 100.0 * static_cast<double>(current.busy - previous.busy) /
                                static_cast<double>(current.all - previous.all)};
        }
        const double seconds = static_cast<double>(current.steady_ns - previous.steady_ns) / 1e9;
        if (seconds <= 0 || current.value < previous.value) return {kPdhInvalidData, 0};
        const double rate = (current.value - previous.value) / seconds;
        return {kPdhOk, kind == Kind::ProcessCpu ? rate * 100.0 : rate};
    }
};

struct PdhQueryTag {
    std::vector<std::unique_ptr<PdhCounterTag>> counters;
};

namespace {

std::set<PdhQueryTag*>& Queries() {
    static auto* queries = new std::set<PdhQueryTag*>;
    return *queries;
}

bool IsCounter(PdhCounter counter) {
    for (PdhQueryTag* query : Queries()) {
        for (const auto& owned : query->counters) {
            if (owned.get() == counter) return true;
        }
    }
    return false;
}

// "\Object(Instance)\Counter" into its three parts; nothing when the path has another shape.
struct CounterPath {
    std::u16string object, instance, counter;
};
std::optional<CounterPath> ParseCounterPath(const std::u16string& path) {
    const size_t last = path.rfind(u'\\');
    if (path.size() < 4 || path[0] != u'\\' || last == 0 || last + 1 >= path.size()) return std::nullopt;
    CounterPath parts;
    parts.counter = path.substr(last + 1);
    std::u16string head = path.substr(1, last - 1);
    if (const size_t open = head.find(u'('); open != std::u16string::npos) {
        if (head.back() != u')' || open == 0) return std::nullopt;
        parts.object = head.substr(0, open);
        parts.instance = head.substr(open + 1, head.size() - open - 2);
    } else {
        parts.object = head;
    }
    if (parts.object.empty() || parts.object.find(u'\\') != std::u16string::npos) return std::nullopt;
    return parts;
}

}  // namespace

PdhStatus PdhOpenQuery(const char16_t* data_source, uintptr_t, PdhQuery* query) {
    if (query == nullptr) return kPdhInvalidArgument;
    std::lock_guard lock(g_mutex);
    if (g_fake && g_fake->open_status != kPdhOk) return g_fake->open_status;
    if (data_source != nullptr && *data_source != u'\0') return kPdhInvalidArgument;
    *query = new PdhQueryTag;
    Queries().insert(*query);
    return kPdhOk;
}

PdhStatus PdhAddCounter(PdhQuery query, const char16_t* path, uintptr_t, PdhCounter* counter) {
    if (path == nullptr || counter == nullptr) return kPdhInvalidArgument;
    std::lock_guard lock(g_mutex);
    if (!Queries().count(query)) return kPdhInvalidHandle;
    const auto parts = ParseCounterPath(path);
    if (!parts) return kPdhCstatusBadCountername;
    const std::u16string object = LowerAscii(parts->object);
    const std::u16string name = LowerAscii(parts->counter);
    if (g_fake) {
        for (const auto& [fake_name, status] : g_fake->add_status) {
            if (LowerAscii(fake_name) == name && status != kPdhOk) return status;
        }
    }
    Kind kind;
    if (object == u"process") {
        if (parts->instance.empty()) return kPdhCstatusBadCountername;
        if (name == u"% processor time") {
            kind = Kind::ProcessCpu;
        } else if (name == u"working set") {
            kind = Kind::ProcessMemory;
        } else if (name == u"io data bytes/sec") {
            kind = Kind::ProcessIo;
        } else {
            return kPdhCstatusNoCounter;
        }
    } else if (object == u"processor") {
        if (LowerAscii(parts->instance) != u"_total") return kPdhCstatusNoInstance;
        if (name != u"% processor time") return kPdhCstatusNoCounter;
        kind = Kind::TotalCpu;
    } else {
        return kPdhCstatusNoObject;
    }
    auto owned = std::make_unique<PdhCounterTag>();
    owned->query = query;
    owned->kind = kind;
    owned->counter_name = name;
    owned->instance = Lower(Narrow(parts->instance));
    *counter = owned.get();
    query->counters.push_back(std::move(owned));
    return kPdhOk;
}

PdhStatus PdhCollectQueryData(PdhQuery query) {
    std::lock_guard lock(g_mutex);
    if (!Queries().count(query)) return kPdhInvalidHandle;
    if (g_fake) {
        ++g_fake->collects;
        if (g_fake->collect_status != kPdhOk) return g_fake->collect_status;
    }
    if (query->counters.empty()) return kPdhNoData;
    for (auto& counter : query->counters) {
        if (g_fake) {
            std::optional<double> value;
            for (const auto& [name, fake_value] : g_fake->values) {
                if (LowerAscii(name) == counter->counter_name) value = fake_value;
            }
            counter->fake_reading = value;
        } else {
            counter->fake_reading.reset();
            counter->Read();
        }
    }
    return kPdhOk;
}

PdhStatus PdhGetFormattedCounterValue(PdhCounter counter, uint32_t format, uint32_t* type,
                                      PdhFmtCounterValue* value) {
    if (value == nullptr) return kPdhInvalidArgument;
    std::lock_guard lock(g_mutex);
    if (!IsCounter(counter)) return kPdhInvalidHandle;
    const auto [status, reading] = counter->Value();
    if (type) *type = 0;
    value->CStatus = status;
    value->largeValue = 0;
    if (status != kPdhOk) return kPdhInvalidData;
    if (format & kPdhFmtDouble) {
        value->doubleValue = reading;
    } else if (format & kPdhFmtLarge) {
        value->largeValue = std::llround(reading);
    } else if (format & kPdhFmtLong) {
        value->longValue = static_cast<int32_t>(std::lround(std::min(reading, 2147483647.0)));
    } else {
        return kPdhInvalidArgument;
    }
    return kPdhOk;
}

PdhStatus PdhCloseQuery(PdhQuery query) {
    std::lock_guard lock(g_mutex);
    if (!Queries().erase(query)) return kPdhInvalidHandle;
    delete query;
    return kPdhOk;
}

SystemInfo GetSystemInfo() {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return {online > 0 ? static_cast<uint32_t>(online) : std::max(1u, std::thread::hardware_concurrency())};
}

ScopedFakePerfCounters::ScopedFakePerfCounters() : state_(new PerfCountersFake) {
    std::lock_guard lock(g_mutex);
    previous_ = g_fake;
    g_fake = state_;
}

ScopedFakePerfCounters::~ScopedFakePerfCounters() {
    std::lock_guard lock(g_mutex);
    g_fake = previous_;
    delete state_;
}

void ScopedFakePerfCounters::SetOpenStatus(PdhStatus status) {
    std::lock_guard lock(g_mutex);
    state_->open_status = status;
}

void ScopedFakePerfCounters::SetAddStatus(const std::u16string& counter_name, PdhStatus status) {
    std::lock_guard lock(g_mutex);
    state_->add_status[counter_name] = status;
}

void ScopedFakePerfCounters::SetCollectStatus(PdhStatus status) {
    std::lock_guard lock(g_mutex);
    state_->collect_status = status;
}

void ScopedFakePerfCounters::SetValue(const std::u16string& counter_name, std::optional<double> value) {
    std::lock_guard lock(g_mutex);
    state_->values[counter_name] = value;
}

int ScopedFakePerfCounters::Collects() const {
    std::lock_guard lock(g_mutex);
    return state_->collects;
}

}  // namespace zelko::platform
