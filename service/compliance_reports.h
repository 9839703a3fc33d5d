#pragma once

// What becomes of the compliance module's reports: the job's status shadow, an encrypted message
// file for the send-message plug-in and module event 217; and the module's delayed events.

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/event.h"
#include "foundation/scheduler.h"
#include "outside/error/error.h"
#include "state_machine/module_set.h"

namespace zelko::plenar::agent {

class ComplianceReports {
  public:
    // Sends a module event to every module.
    using SendEvent = std::function<void(uint32_t control, uint32_t event_type, const void* data, uint64_t size)>;

    ComplianceReports(Scheduler& scheduler, ModuleSet& modules, SendEvent send_event);
    ComplianceReports(const ComplianceReports&) = delete;
    ComplianceReports& operator=(const ComplianceReports&) = delete;

    // The compliance module's callables; they run on the compliance engine's or the module's threads.
    // A finished report: the job shadow goes, the status shadow says so, the report is left in an
    // encrypted message file and module event 217 names it.
    void ReportHandler(const nlohmann::json& report);
    // A failed run: only the status shadow says so.
    void FailureHandler(const shared::error::Error& error, const std::string& text);
    // Posts the event to every module after the delay (100-ns ticks).
    void RescheduleHandler(int64_t delay, const Event& event);
    // Writes the upload document to a new message file and sends 217 with its path; a file that
    // cannot be written is logged and sends nothing.
    void SendReport(const nlohmann::json& upload);

  private:
    Scheduler& _scheduler;
    ModuleSet& _modules;
    SendEvent _send_event;
};

}  // namespace zelko::plenar::agent
