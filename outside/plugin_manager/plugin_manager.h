#pragma once

// Our plug-in manager. Plug-ins live in a collectors folder, one folder per plug-in name holding
// one folder per version:
//   <folder>/<name>/<version>/<name>.so     the plug-in library
//   <folder>/<name>/<version>/<name>.so.sig its detached signature (see Validator)
// Plug-ins found in the in-memory folder run inside this process, on a plug-in object kept from
// their first use; the others run in zelko-plugin-executor processes that the manager keeps from
// run to run (a few idle ones at most), one run at a time each. An executor runs one plug-in file
// only, as it was when the executor started: once the file has been replaced or rewritten, or when
// its run crashed or was stopped, it is not used again.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "outside/error/error.h"
#include "outside/plugin_manager/validator.h"
#include "platform/file_identity.h"

namespace zelko::platform {
class ChildProcess;
}

namespace zelko::shared::plugin {

using shared::error::Error;

inline constexpr const char* kPluginLibrarySuffix = ".so";
inline constexpr const char* kPluginExecutorName = "zelko-plugin-executor";

// Run states of a plug-in.
enum PluginRunState : int32_t { kPluginIdle = 0, kPluginRunning = 1 };

struct PluginDescriptionResult {
    bool notFound = false;
    bool isSignatureValid = false;
    // The plug-in is ready to run: its file checked and, in process, its library loaded.
    bool isLoaded = false;
    bool inMemory = false;
    std::string name;
    std::string version;  // exact version found
    std::filesystem::path path;
    int32_t state = kPluginIdle;
    // Start of the current run as UTC "YYYY-MM-DDThh:mm:ss+00:00"; empty when idle.
    std::string startTime;
};

struct PluginExecutionPolicy {};

struct PluginTerminationState {
    bool wasRunning = false;
    bool terminated = false;  // every run of it ended
    bool killed = false;      // a run had to be killed after the timeout
};

// Runs a plug-in somewhere else than the manager would; accepted for the calling contract, unused.
class IPluginExecutor {
  public:
    virtual ~IPluginExecutor() = default;
};

class DynamicBufferResult {
  public:
    DynamicBufferResult() = default;
    explicit DynamicBufferResult(Error error) : error_(std::move(error)) {}
    explicit DynamicBufferResult(std::vector<char> output) : output_(std::move(output)) {}

    Error GetError() const { return error_; }
    // Bytes of the output with its NUL: 1 means no output (0 only with an error).
    uint64_t GetOutputSize() const { return output_.size(); }
    // NUL-terminated text, valid while the result lives.
    const char* GetOutput() const { return output_.empty() ? "" : output_.data(); }

  private:
    Error error_;
    std::vector<char> output_;
};

class IPluginManager {
  public:
    virtual DynamicBufferResult ExecutePlugin(const char* name, const char* version, const char*& input,
                                              const PluginExecutionPolicy& policy, IPluginExecutor* executor,
                                              IValidator* validator) = 0;
    // version: an exact version ("1.2.0") or a range (">=1.2.0", ">", "<=", "<", "=").
    virtual Error GetPluginDescription(const char* name, const char* version, PluginDescriptionResult& result,
                                       IValidator* validator) = 0;
    virtual Error GetError() const = 0;
    virtual Error TerminatePlugin(const char* name, const char* version) = 0;
    // Ends the executor processes running the plug-in: asked first, killed once `timeout`
    // milliseconds have passed. Later runs get new executors.
    virtual Error StopPlugin(const char* name, const char* version, int64_t timeout,
                             PluginTerminationState& state) = 0;
    virtual Error InitializeInMemoryPlugins(const char* folder) = 0;
    virtual ~IPluginManager() = default;
};

// Numeric dotted versions ("1", "1.2.0", "10.0.3.4"); empty when the text is not one.
std::optional<std::vector<uint64_t>> ParsePluginVersion(const std::string& text);
// Whether the version satisfies the range; a range that cannot be read matches nothing.
bool VersionMatchesRange(const std::vector<uint64_t>& version, const std::string& range);
bool IsValidVersionRange(const std::string& range);

class PluginManager : public IPluginManager {
  public:
    // executor: the executor program; empty means zelko-plugin-executor beside the running program.
    PluginManager(const char* plugins_folder, const char* severity, std::filesystem::path executor = {});
    // Settings for the manager's own signature checks (else those of a default Validator).
    PluginManager(const char* plugins_folder, const char* severity, std::filesystem::path executor,
                  ValidatorSettings validation);
    ~PluginManager() override;
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    DynamicBufferResult ExecutePlugin(const char* name, const char* version, const char*& input,
                                      const PluginExecutionPolicy& policy, IPluginExecutor* executor,
                                      IValidator* validator) override;
    Error GetPluginDescription(const char* name, const char* version, PluginDescriptionResult& result,
                               IValidator* validator) override;
    Error GetError() const override;
    Error TerminatePlugin(const char* name, const char* version) override;
    Error StopPlugin(const char* name, const char* version, int64_t timeout,
                     PluginTerminationState& state) override;
    Error InitializeInMemoryPlugins(const char* folder) override;

  private:
    struct LoadedPlugin;
    struct RunRecord;
    struct Executor;
    struct CachedCheck {
        platform::FileIdentity library;
        std::optional<platform::FileIdentity> signature;
        int32_t result = 0;
    };

    Error Describe(const char* name, const char* version, PluginDescriptionResult& result,
                   IValidator* validator);
    int32_t Check(const std::filesystem::path& path, IValidator* validator);
    Error Load(const std::filesystem::path& path, std::shared_ptr<LoadedPlugin>& plugin);
    DynamicBufferResult RunInProcess(LoadedPlugin& plugin, const char* input);
    DynamicBufferResult RunThroughExecutor(const std::string& key, const std::filesystem::path& library,
                                           const char* input);
    // An idle executor of this plug-in file as it is now, or a new one; null with the reason when
    // none can be started. Idle ones of the file as it was before are ended.
    std::unique_ptr<Executor> TakeExecutor(const std::filesystem::path& library,
                                           const std::optional<platform::FileIdentity>& identity,
                                           std::string& failure);
    // Keeps the executor for later runs of its file, unless it was stopped; when enough are idle,
    // the one idle longest is ended.
    void ReturnExecutor(std::unique_ptr<Executor> executor);
    // executor: the executor of the run, null for a run in this process.
    void BeginRun(const std::string& key, Executor* executor);
    void EndRun(const std::string& key, Executor* executor);

    std::filesystem::path plugins_folder_;
    std::filesystem::path executor_;
    Error error_;
    Validator validator_;

    std::mutex mutex_;  // everything below
    std::condition_variable run_ended_;
    std::filesystem::path in_memory_folder_;
    std::map<std::filesystem::path, std::shared_ptr<LoadedPlugin>> loaded_;
    std::map<std::filesystem::path, CachedCheck> checks_;
    std::map<std::string, RunRecord> runs_;  // by name + "\n" + exact version
    std::vector<std::unique_ptr<Executor>> idle_executors_;  // the most recently used last
};

}  // namespace zelko::shared::plugin
