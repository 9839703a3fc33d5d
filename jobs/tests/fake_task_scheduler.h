#pragma once

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/task_scheduler.h"

namespace zelko::testing {

// Records registrations and deletions; can be told to fail a registration at a given step.
class FakeTaskScheduler : public platform::TaskScheduler {
  public:
    platform::TaskRegistration Register(const platform::TaskDefinition& definition) override {
        std::lock_guard lock(mutex);
        registered.push_back(definition);
        platform::TaskRegistration result;
        result.trigger_id_failed = fail_trigger_id;
        result.code = code;
        if (fail_at) {
            result.failed_step = *fail_at;
            return result;
        }
        result.registered = true;
        live.push_back(definition.name);
        return result;
    }
    bool Delete(const std::string& name) override {
        std::lock_guard lock(mutex);
        deleted.push_back(name);
        auto it = std::find(live.begin(), live.end(), name);
        if (it == live.end()) return false;
        live.erase(it);
        return true;
    }

    std::mutex mutex;
    std::vector<platform::TaskDefinition> registered;
    std::vector<std::string> deleted;
    std::vector<std::string> live;
    std::optional<platform::TaskStep> fail_at;
    bool fail_trigger_id = false;
    int32_t code = 0;
};

}  // namespace zelko::testing
