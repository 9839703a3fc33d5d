#pragma once

// The compliance engine: it keeps a queue of manifests (each a set of checks against the machine),
// runs them on its own thread while a policy window is open and keeps the report of the last run.
// A finished run, good or bad, is announced through the completion callable on the engine's
// thread, never inside a call of the caller.
//
// Manifest: {"id": text, "checks": [check, ...]}; a check is {"id": text, "type": "file" or
// "registry", ...}:
//   "file":     "path" (with %VARIABLES%), "exists" (bool, default true), "contains" (text);
//   "registry": "key" ("HKLM\..." or "HKCU\..."), "name", "equals" (text; without it the value
//               only has to exist).
// Policies: {"policyWindows": [{"start": "HH:MM", "durationMinutes": 1..1440}, ...]}, daily windows
// in local time; no windows (or the text null) means runs may start at any time.
// Report: {"bkcConfigId", "agentEvaluationTimeStamp" (UTC), "compliant", "bkcStatus": [{"checkId",
// "type", "quenloExitStatus" ("SUCCESS", "FAILURE" or "ERROR"), "detail"}]}.

#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/logging.h"

namespace zelko::shared::vorlix {

enum ACM_CALLBACK_RESULT : int32_t {
    ACM_RESULT_NONE = 0,
    // A run finished; GetReport holds its report.
    ACM_RESULT_REPORT_AVAILABLE = 1,
    // The manifest taken from the queue could not be run (the text says why).
    ACM_RESULT_MANIFEST_INVALID = 2,
    ACM_RESULT_RESERVED = 3,
    // The run failed part-way.
    ACM_RESULT_RUN_FAILED = 4,
    // The run finished but its report could not be stored.
    ACM_RESULT_REPORT_NOT_STORED = 5,
};

using AcmCompletionCallback = void (*)(ACM_CALLBACK_RESULT result, const char* text, void* user);

class AcmController {
  public:
    // The queue file and the task list file live in work_folder, which must exist. verbose logs
    // every check; persist_queue keeps queued manifests across restarts in the queue file. A
    // damaged queue or task list file is logged and taken as empty.
    AcmController(const std::string& work_folder, const std::string& manifest_queue_name,
                  const std::string& task_list_name, const std::string& schema_path, bool verbose,
                  AcmCompletionCallback callback, void* user, bool persist_queue);
    ~AcmController();
    AcmController(const AcmController&) = delete;
    AcmController& operator=(const AcmController&) = delete;

    void AddLogAppender(logging::Severity severity, logging::IAppender* appender) const;
    std::string GetVersion() const;

    // Starts the engine's thread; false when it already runs.
    bool Start();
    // Ends the engine's thread after the check under way; queued manifests stay queued.
    void Cancel();
    bool IsRunning() const;

    // False (policies unchanged) when the text is not null and not an object of valid windows.
    bool SetPolicies(const std::string& policies);
    // False when the access key or the secret is empty.
    bool SetCredentials(const std::string& access_key_id, const std::string& session_token,
                        const std::string& secret_access_key, const std::string& expiration,
                        const std::string& region, const std::string& profile);
    // Queues a manifest (replacing a queued one of the same id); false when the engine is not
    // running or the manifest is not valid.
    bool AddManifest(const std::string& manifest);
    // The last run's report; {} before the first.
    nlohmann::json GetReport() const;
    // Fills start (and end) with the local times of the open policy window, or else of the next
    // one; false when no windows are set.
    bool GetNextPolicyWindow(std::shared_ptr<std::tm> start, std::shared_ptr<std::tm> end) const;

  private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace zelko::shared::vorlix
