#include "outside/plugin_manager/plugin_manager.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <exception>
#include <system_error>

#include "outside/plugin_manager/executor_protocol.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/file_identity.h"
#include "platform/paths.h"
#include "platform/processes.h"
#include "plugins/interface/plugin_interface.h"

namespace zelko::shared::plugin {

using shared::error::ErrorCategory;

namespace {

constexpr const char* kOrigin = "PluginManager";
// Idle executors kept for later runs; runs beyond them at the same time start executors of their own.
constexpr size_t kMaxIdleExecutors = 4;

// Codes of the manager's own errors (category EC_Component).
enum ManagerError : int64_t {
    kBadArgument = 1,
    kNotFound = 2,
    kSignatureInvalid = 3,
    kLoadFailed = 4,
    kExecutionFailed = 5,
    kExecutorFailed = 6,
    kCannotStop = 7,
};

Error MakeError(ManagerError code, const std::string& message) {
    return Error(ErrorCategory::EC_Component, code, message, "PluginManagerError", kOrigin);
}

std::string RunKey(const std::string& name, const std::string& version) { return name + "\n" + version; }

std::string FormatUtc(int64_t ticks) {
    std::time_t seconds = static_cast<std::time_t>(ticks / platform::kTicksPerSecond);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &utc);
    return text;
}

int CompareVersions(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        uint64_t x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// Splits a range into its operator and its version; false when it cannot be read.
bool ReadRange(const std::string& range, std::string& op, std::vector<uint64_t>& version) {
    size_t start = 0;
    while (start < range.size() && std::strchr("<>=", range[start]) != nullptr) ++start;
    op = range.substr(0, start);
    if (op != "" && op != "=" && op != "==" && op != ">=" && op != ">" && op != "<=" && op != "<") return false;
    auto parsed = ParsePluginVersion(range.substr(start));
    if (!parsed) return false;
    version = std::move(*parsed);
    return true;
}

}  // namespace

std::optional<std::vector<uint64_t>> ParsePluginVersion(const std::string& text) {
    std::vector<uint64_t> parts;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        std::string_view piece(text.data() + start, (dot == std::string::npos ? text.size() : dot) - start);
        uint64_t value = 0;
        auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (piece.empty() || ec != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
        parts.push_back(value);
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

bool IsValidVersionRange(const std::string& range) {
    std::string op;
    std::vector<uint64_t> version;
    return ReadRange(range, op, version);
}

bool VersionMatchesRange(const std::vector<uint64_t>& version, const std::string& range) {
    std::string op;
    std::vector<uint64_t> bound;
    if (!ReadRange(range, op, bound)) return false;
    const int order = CompareVersions(version, bound);
    if (op == ">=") return order >= 0;
    if (op == ">") return order > 0;
    if (op == "<=") return order <= 0;
    if (op == "<") return order < 0;
    return order == 0;
}

// An in-process plug-in: its library and the one plug-in object made by its LoadPlugin. The
// object goes before its library closes; one Execute at a time.
struct PluginManager::LoadedPlugin {
    platform::LibraryHandle library;
    std::unique_ptr<IDynamicPluginModule> object;
    std::mutex run_mutex;
};

// A kept executor process and the one plug-in file it runs: the path and what the file was when
// the executor was started for it. `stopped` (under the manager's mutex) marks one that StopPlugin
// has signalled: it never runs again.
struct PluginManager::Executor {
    std::unique_ptr<platform::ChildProcess> process;
    std::filesystem::path library;
    std::optional<platform::FileIdentity> identity;
    bool stopped = false;
};

struct PluginManager::RunRecord {
    int running = 0;
    int in_process = 0;
    int64_t start_ticks = 0;
    std::vector<Executor*> executors;
};

PluginManager::PluginManager(const char* plugins_folder, const char* severity, std::filesystem::path executor)
    : PluginManager(plugins_folder, severity, std::move(executor),
                    LoadValidatorSettings(platform::ExecutablePath().parent_path() / "Configuration Files")) {}

PluginManager::PluginManager(const char* plugins_folder, const char* severity, std::filesystem::path executor,
                             ValidatorSettings validation)
    : plugins_folder_(plugins_folder != nullptr ? plugins_folder : ""),
      executor_(std::move(executor)),
      validator_(std::move(validation)) {
    if (executor_.empty()) executor_ = platform::ExecutablePath().parent_path() / kPluginExecutorName;
    if (plugins_folder_.empty()) error_ = MakeError(kBadArgument, "no plug-ins folder given");
}

PluginManager::~PluginManager() {
    // Executor runs still going belong to callers' threads; they must have returned by now.
    std::vector<std::unique_ptr<Executor>> idle;
    {
        std::lock_guard lock(mutex_);
        loaded_.clear();
        idle.swap(idle_executors_);
    }
    // Closing its input ends an idle executor; the process object reaps it (or kills a slow one).
    idle.clear();
}

Error PluginManager::GetError() const { return error_; }

Error PluginManager::InitializeInMemoryPlugins(const char* folder) {
    std::lock_guard lock(mutex_);
    in_memory_folder_ = folder != nullptr ? folder : "";
    return {};
}

int32_t PluginManager::Check(const std::filesystem::path& path, IValidator* validator) {
    if (validator != nullptr) return validator->ValidateFile(path.c_str());
    // By identity, not by time and size alone: a file renamed over the checked one may keep both.
    const auto library = platform::ReadFileIdentity(path);
    const auto signature = platform::ReadFileIdentity(path.string() + ".sig");
    if (library) {
        std::lock_guard lock(mutex_);
        auto cached = checks_.find(path);
        if (cached != checks_.end() && cached->second.library == *library &&
            cached->second.signature == signature) {
            return cached->second.result;
        }
    }
    const int32_t result = validator_.ValidateFile(path.c_str());
    std::lock_guard lock(mutex_);
    if (library) {
        checks_[path] = CachedCheck{*library, signature, result};
    } else {
        checks_.erase(path);
    }
    return result;
}

Error PluginManager::Load(const std::filesystem::path& path, std::shared_ptr<LoadedPlugin>& plugin) {
    std::lock_guard lock(mutex_);
    if (auto found = loaded_.find(path); found != loaded_.end()) {
        plugin = found->second;
        return {};
    }
    auto loaded = std::make_shared<LoadedPlugin>();
    loaded->library = platform::LibraryHandle(path);
    if (!loaded->library.IsOpen()) {
        return MakeError(kLoadFailed, "cannot load plug-in " + path.string() + ": " + loaded->library.Error());
    }
    auto load = reinterpret_cast<LoadPluginFunction>(loaded->library.Symbol(kLoadPluginExport));
    if (load == nullptr) return MakeError(kLoadFailed, "plug-in " + path.string() + " has no LoadPlugin");
    try {
        loaded->object.reset(load());
    } catch (const std::exception& e) {
        return MakeError(kLoadFailed, "LoadPlugin of " + path.string() + " failed: " + e.what());
    } catch (...) {
        return MakeError(kLoadFailed, "LoadPlugin of " + path.string() + " failed");
    }
    if (!loaded->object) return MakeError(kLoadFailed, "LoadPlugin of " + path.string() + " gave nothing");
    loaded_[path] = loaded;
    plugin = std::move(loaded);
    return {};
}

Error PluginManager::Describe(const char* name, const char* version, PluginDescriptionResult& result,
                              IValidator* validator) {
    result = PluginDescriptionResult{};
    if (name == nullptr || *name == '\0' || version == nullptr) {
        return MakeError(kBadArgument, "a plug-in name and version are required");
    }
    const std::string range = version;
    if (!IsValidVersionRange(range)) return MakeError(kBadArgument, "invalid version range '" + range + "'");
    const std::string plugin_name = name;
    if (plugin_name.find_first_of("/\\") != std::string::npos || plugin_name == "." || plugin_name == "..") {
        return MakeError(kBadArgument, "invalid plug-in name '" + plugin_name + "'");
    }

    std::filesystem::path in_memory;
    {
        std::lock_guard lock(mutex_);
        in_memory = in_memory_folder_;
    }
    // The highest matching version; the in-memory folder wins a tie.
    std::optional<std::vector<uint64_t>> best;
    for (const auto& [folder, is_in_memory] : {std::pair{in_memory, true}, std::pair{plugins_folder_, false}}) {
        if (folder.empty()) continue;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(folder / plugin_name, ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string text = it->path().filename().string();
            auto parsed = ParsePluginVersion(text);
            if (!parsed || !VersionMatchesRange(*parsed, range)) continue;
            const auto library = it->path() / (plugin_name + kPluginLibrarySuffix);
            if (!std::filesystem::is_regular_file(library, ec)) continue;
            if (best && CompareVersions(*parsed, *best) <= 0) continue;
            best = parsed;
            result.version = text;
            result.path = library;
            result.inMemory = is_in_memory;
        }
    }
    if (!best) {
        result.notFound = true;
        return {};
    }
    result.name = plugin_name;
    result.isSignatureValid = Check(result.path, validator) == kValidationOk;
    if (result.isSignatureValid) {
        if (result.inMemory) {
            std::shared_ptr<LoadedPlugin> plugin;
            if (Error error = Load(result.path, plugin)) return error;
        }
        result.isLoaded = true;
    }
    std::lock_guard lock(mutex_);
    if (auto run = runs_.find(RunKey(result.name, result.version)); run != runs_.end() && run->second.running > 0) {
        result.state = kPluginRunning;
        result.startTime = FormatUtc(run->second.start_ticks);
    }
    return {};
}

Error PluginManager::GetPluginDescription(const char* name, const char* version, PluginDescriptionResult& result,
                                          IValidator* validator) {
    return Describe(name, version, result, validator);
}

void PluginManager::BeginRun(const std::string& key, Executor* executor) {
    std::lock_guard lock(mutex_);
    auto& record = runs_[key];
    if (record.running++ == 0) record.start_ticks = platform::NowTicks();
    if (executor != nullptr) {
        record.executors.push_back(executor);
    } else {
        ++record.in_process;
    }
}

void PluginManager::EndRun(const std::string& key, Executor* executor) {
    std::lock_guard lock(mutex_);
    auto& record = runs_[key];
    if (executor != nullptr) {
        std::erase(record.executors, executor);
    } else {
        --record.in_process;
    }
    if (--record.running == 0) runs_.erase(key);
    run_ended_.notify_all();
}

DynamicBufferResult PluginManager::ExecutePlugin(const char* name, const char* version, const char*& input,
                                                 const PluginExecutionPolicy&, IPluginExecutor*,
                                                 IValidator* validator) {
    PluginDescriptionResult description;
    if (Error error = Describe(name, version, description, validator)) return DynamicBufferResult(error);
    if (description.notFound) {
        return DynamicBufferResult(MakeError(kNotFound, std::string("no plug-in ") + name + " version " + version));
    }
    if (!description.isSignatureValid) {
        return DynamicBufferResult(
            MakeError(kSignatureInvalid, "plug-in file " + description.path.string() + " is not validly signed"));
    }
    if (input == nullptr) return DynamicBufferResult(MakeError(kBadArgument, "no plug-in input"));

    const std::string key = RunKey(description.name, description.version);
    if (description.inMemory) {
        std::shared_ptr<LoadedPlugin> plugin;
        if (Error error = Load(description.path, plugin)) return DynamicBufferResult(error);
        std::lock_guard run_lock(plugin->run_mutex);
        BeginRun(key, nullptr);
        auto result = RunInProcess(*plugin, input);
        EndRun(key, nullptr);
        return result;
    }
    return RunThroughExecutor(key, description.path, input);
}

DynamicBufferResult PluginManager::RunInProcess(LoadedPlugin& plugin, const char* input) {
    // The host's buffers: the first one and any the plug-in asks for instead.
    std::map<char*, std::unique_ptr<char[]>> buffers;
    std::map<char*, uint64_t> sizes;
    auto allocate_buffer = [&](uint64_t size) {
        auto buffer = std::make_unique<char[]>(size);
        char* raw = buffer.get();
        buffers[raw] = std::move(buffer);
        sizes[raw] = size;
        return raw;
    };
    PluginBufferAllocator allocator;
    allocator.allocate = allocate_buffer;
    allocator.release = [&](char*& buffer, uint64_t) {
        buffers.erase(buffer);
        sizes.erase(buffer);
        buffer = nullptr;
    };
    char* output = allocate_buffer(kOutputBufferSize);
    output[0] = '\0';
    try {
        plugin.object->Execute(input, output, allocator);
    } catch (const std::exception& e) {
        return DynamicBufferResult(MakeError(kExecutionFailed, std::string("plug-in raised: ") + e.what()));
    } catch (...) {
        return DynamicBufferResult(MakeError(kExecutionFailed, "plug-in raised an exception"));
    }
    std::vector<char> answer{'\0'};
    if (auto size = sizes.find(output); output != nullptr && size != sizes.end()) {
        // Never read past the buffer, whatever the plug-in wrote.
        const size_t length = strnlen(output, size->second);
        answer.assign(output, output + length);
        answer.push_back('\0');
    }
    return DynamicBufferResult(std::move(answer));
}

std::unique_ptr<PluginManager::Executor> PluginManager::TakeExecutor(
    const std::filesystem::path& library, const std::optional<platform::FileIdentity>& identity,
    std::string& failure) {
    // Ended outside the lock: closing an executor waits for it.
    std::vector<std::unique_ptr<Executor>> ended;
    std::unique_ptr<Executor> found;
    {
        std::lock_guard lock(mutex_);
        for (size_t i = idle_executors_.size(); i-- > 0;) {
            auto& executor = idle_executors_[i];
            const bool same_file = executor->library == library;
            // One that ended while idle (killed from outside) would fail the run it is given, and one
            // whose file has changed would run the old library: the loader never unloads a library
            // with GNU-unique symbols, so opening the path again hands back the old one.
            if (executor->process->HasEnded() || (same_file && executor->identity != identity)) {
                ended.push_back(std::move(executor));
            } else if (same_file && !found) {
                found = std::move(executor);
            } else {
                continue;
            }
            idle_executors_.erase(idle_executors_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    if (found) return found;
    int spawn_error = 0;
    auto process = platform::ChildProcess::Start(executor_, {executor_protocol::kServeOption}, &spawn_error);
    if (!process) {
        failure = "cannot start " + executor_.string() + ": " + std::system_category().message(spawn_error);
        return nullptr;
    }
    auto executor = std::make_unique<Executor>();
    executor->process = std::move(process);
    executor->library = library;
    executor->identity = identity;
    return executor;
}

void PluginManager::ReturnExecutor(std::unique_ptr<Executor> executor) {
    std::unique_ptr<Executor> oldest;
    {
        std::lock_guard lock(mutex_);
        // Without its file's identity it could not be told from a replaced one later.
        if (executor->stopped || !executor->identity) {
            oldest = std::move(executor);
        } else {
            // Most recently used last; when too many are idle, the one idle longest goes.
            idle_executors_.push_back(std::move(executor));
            if (idle_executors_.size() > kMaxIdleExecutors) {
                oldest = std::move(idle_executors_.front());
                idle_executors_.erase(idle_executors_.begin());
            }
        }
    }
    oldest.reset();  // ends it, outside the lock
}

DynamicBufferResult PluginManager::RunThroughExecutor(const std::string& key,
                                                      const std::filesystem::path& library,
                                                      const char* input) {
    auto trimmed = [](std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    };
    // A second attempt only when the file changed between this look at it and the executor's.
    for (int attempt = 1;; ++attempt) {
        std::string failure;
        auto executor = TakeExecutor(library, platform::ReadFileIdentity(library), failure);
        if (!executor) return DynamicBufferResult(MakeError(kExecutorFailed, failure));
        BeginRun(key, executor.get());
        std::string output, error_output;
        const bool exchanged = executor->process->Exchange(
            executor_protocol::Request(library.string(), input), output, error_output,
            [](const std::string& received) { return executor_protocol::ParseReply(received).has_value(); });
        const auto reply = exchanged ? executor_protocol::ParseReply(output) : std::nullopt;
        // Without a whole reply the executor has ended (crashed, killed, stopped): never reused.
        const int status = reply ? 0 : executor->process->Wait();
        EndRun(key, executor.get());

        if (!reply) {
            executor.reset();
            if (!exchanged) {
                return DynamicBufferResult(MakeError(kExecutorFailed, "plug-in executor pipes failed"));
            }
            const std::string message = trimmed(error_output);
            std::string how = status < 0 ? "was ended by signal " + std::to_string(-status)
                                         : "failed with exit code " + std::to_string(status);
            return DynamicBufferResult(MakeError(
                kExecutorFailed, "plug-in executor " + how + (message.empty() ? "" : ": " + message)));
        }
        if (reply->status == executor_protocol::kFileChangedStatus) {
            executor.reset();
            if (attempt < 2) continue;
        } else {
            ReturnExecutor(std::move(executor));
        }
        if (reply->status != 0) {
            return DynamicBufferResult(MakeError(kExecutorFailed, "plug-in executor failed with exit code " +
                                                                      std::to_string(reply->status) + ": " +
                                                                      trimmed(std::string(reply->payload))));
        }
        std::vector<char> answer(reply->payload.begin(),
                                 std::find(reply->payload.begin(), reply->payload.end(), '\0'));
        answer.push_back('\0');
        return DynamicBufferResult(std::move(answer));
    }
}

Error PluginManager::StopPlugin(const char* name, const char* version, int64_t timeout,
                                PluginTerminationState& state) {
    state = PluginTerminationState{};
    if (name == nullptr || version == nullptr) return MakeError(kBadArgument, "a plug-in name and version are required");
    const std::string key = RunKey(name, version);
    std::unique_lock lock(mutex_);
    auto record = runs_.find(key);
    if (record == runs_.end()) {
        state.terminated = true;
        return {};
    }
    state.wasRunning = true;
    if (record->second.in_process > 0) {
        return MakeError(kCannotStop, std::string("plug-in ") + name + " version " + version +
                                          " runs inside this process and cannot be stopped");
    }
    for (auto* executor : record->second.executors) {
        executor->stopped = true;
        executor->process->Terminate();
    }
    auto ended = [&] { return runs_.find(key) == runs_.end(); };
    if (!run_ended_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeout, 0)), ended)) {
        if (auto still = runs_.find(key); still != runs_.end()) {
            for (auto* executor : still->second.executors) {
                executor->stopped = true;
                executor->process->Kill();
            }
        }
        state.killed = true;
        // A killed executor ends at once; its run only has to read the closed pipes.
        if (!run_ended_.wait_for(lock, std::chrono::seconds(5), ended)) {
            return MakeError(kCannotStop, std::string("plug-in ") + name + " version " + version + " did not end");
        }
    }
    state.terminated = true;
    return {};
}

Error PluginManager::TerminatePlugin(const char* name, const char* version) {
    PluginTerminationState state;
    return StopPlugin(name, version, 0, state);
}

}  // namespace zelko::shared::plugin
